"""Build, grow, compact and inspect Ulmora segments from Python."""

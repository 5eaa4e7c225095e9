"""Benchmarks of ulmoradb and its peers; run from the repository root as
``python -m bench.NAME`` (see bench/README.md)."""

"""Build, grow, compact and inspect Ulmora segments from Python.

    ulmora.build(path, vectors, ...)   -> summary dict
    seg = ulmora.open(path)            -> ulmora.Segment (a context manager)
    ulmora.info(path)                  -> dict

Files written here stay readable by ``ulmoradb.Index``.
"""

from .api import Segment, SegmentLockedError, build, info, open

__all__ = ["Segment", "SegmentLockedError", "build", "info", "open"]

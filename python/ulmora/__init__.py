"""Build, grow, compact and inspect Ulmora segments from Python.

    ulmora.build(path, vectors, ...)   -> summary dict
    seg = ulmora.open(path)            -> ulmora.Segment (a context manager)
    seg = ulmora.open(path, readonly=True)  -> a reader: no lock, refresh()
    ulmora.info(path)                  -> dict

Several segments searched and changed as one (a directory of shards):

    ulmora.build_collection(dir, inputs, shards=4, ...)  -> summary dict
    ulmora.create_collection(dir, dim, shards=4, ...)    -> ulmora.Collection
    coll = ulmora.open_collection(dir)                   -> ulmora.Collection

Files written here stay readable by ``ulmoradb.Index``.
"""

from .api import ReadOnlyError, Segment, SegmentLockedError, build, info, open
from .collection import Collection, build_collection, create_collection, open_collection

__all__ = ["Collection", "ReadOnlyError", "Segment", "SegmentLockedError", "build", "build_collection", "create_collection", "info",
           "open", "open_collection"]

"""What one Ray actor runs: one shard's segment, opened for writing (the
shard's writer: every mutation of the shard goes through it) or read-only
(a search replica that follows the writer's log by refresh()).

A plain class, so the rest of the package can use and test it without Ray;
ulmora.cluster makes it an actor.
"""

from __future__ import annotations

import os
import struct
import time
from typing import Any

import numpy as np

from .. import api

_LOCK_WAIT_S = 10.0  # a restarted writer may start before the dead one's lock is gone
# A single query without options travels as one byte string: k, ef (0: the default), refresh, the vector.
SEARCH_ONE = struct.Struct("<qqq")
# A small batch without options likewise: rows, k, ef, threads (0: the default), refresh, the matrix.
SEARCH_MANY = struct.Struct("<qqqqq")


class ShardServer:
    def __init__(self, path: str, writer: bool):
        self.writer, self.error = writer, None
        if not writer:
            self.seg = api.open(path, readonly=True)
            return
        try:
            self.seg = _open_writer(path, _LOCK_WAIT_S if _restarted() else 0.0)
        except api.SegmentLockedError as e:  # reported by meta(): the actor stays up to say so
            self.error = e

    # ---- searches (any replica)
    def search(self, query: bytes, k: int, ef: int | None, options: dict, refresh: bool) -> tuple:
        """One query as float32 bytes; the ids and scores come back as bytes too (Ray passes bytes
        several times faster than small arrays), anything after them as it is."""
        if refresh:
            self.seg.refresh()
        ids, scores, *rest = self.seg.search(np.frombuffer(query, np.float32), k, ef, **options)
        return (ids.tobytes(), scores.tobytes(), *rest)

    def search_one(self, blob: bytes) -> bytes:
        """`search` without options, packed (SEARCH_ONE, then the float32 query); answers the ids'
        bytes then the scores'. Ray serialises each argument and result on its own, so one of each
        is the cheapest call it carries."""
        k, ef, refresh = SEARCH_ONE.unpack_from(blob)
        if refresh:
            self.seg.refresh()
        ids, scores = self.seg.search(np.frombuffer(blob, np.float32, offset=SEARCH_ONE.size), k, ef or None)
        return ids.tobytes() + scores.tobytes()

    def search_many(self, blob: bytes) -> bytes:
        """`search_batch` without options, packed (SEARCH_MANY, then the float32 matrix); answers the
        ids' bytes then the scores' (n x k each)."""
        n, k, ef, threads, refresh = SEARCH_MANY.unpack_from(blob)
        if refresh:
            self.seg.refresh()
        queries = np.frombuffer(blob, np.float32, offset=SEARCH_MANY.size).reshape(n, -1)
        ids, scores = self.seg.search_batch(queries, k, ef or None, threads or None)
        return ids.tobytes() + scores.tobytes()

    def search_batch(self, queries: np.ndarray, k: int, ef: int | None, threads: int | None, options: dict,
                     refresh: bool) -> tuple:
        if refresh:
            self.seg.refresh()
        return self.seg.search_batch(queries, k, ef, threads, **options)

    def noop(self, *_args: Any) -> None:
        """Answers at once: what a fan-out costs without the search."""
        return None

    def pid(self) -> int:
        return os.getpid()

    # ---- the writer's calls
    def refused(self, ids: np.ndarray) -> np.ndarray:
        """Per id, whether an insert would refuse it: live in the shard."""
        return self.seg._seg.contains(ids)

    def insert(self, vectors: np.ndarray, ids: np.ndarray, payloads: list | None, threads: int | None) -> None:
        self.seg.insert(vectors, ids, payloads, threads=threads)  # acknowledged once in the shard's log

    def upsert(self, vectors: np.ndarray, ids: np.ndarray, payloads: list | None, threads: int | None) -> None:
        self.seg.upsert(vectors, ids, payloads, threads=threads)

    def delete(self, ids: np.ndarray) -> None:
        self.seg.delete(ids)

    def delete_matching(self, filter: dict) -> int:
        return self.seg.delete(filter=filter)

    def update_payload(self, point: int, payload: dict) -> None:
        self.seg.update_payload(point, payload)

    def compact(self, threads: int | None) -> None:
        self.seg.compact(threads=threads)

    # ---- inspection
    def get(self, point: int) -> tuple | None:
        return self.seg.get(point)

    def get_many(self, ids: np.ndarray) -> tuple:
        return self.seg.get_many(ids)

    def ids(self) -> np.ndarray:
        return self.seg.ids()

    def info(self) -> dict:
        return self.seg.info()

    def meta(self) -> tuple[int, int]:
        """(live points, next id)."""
        if self.error is not None:
            raise self.error
        return len(self.seg), self.seg.next_id

    def close(self) -> None:
        if self.error is None:
            self.seg.close()


def _restarted() -> bool:
    """Whether this is an actor restarted after a crash (whose old process may still hold the lock)."""
    try:
        import warnings

        import ray

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return bool(ray.get_runtime_context().was_current_actor_reconstructed)
    except Exception:  # not in a Ray actor
        return False


def _open_writer(path: str, wait_s: float) -> api.Segment:
    deadline = time.monotonic() + wait_s
    while True:
        try:
            return api.open(path)
        except api.SegmentLockedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)

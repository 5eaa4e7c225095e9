"""Collections: several segments (shards) searched and changed as one.

A collection is a directory holding ``manifest.json`` and one segment per
shard. Ids are global; each id belongs to the shard its bucket names (see
manifest.py). Searches ask every shard for k results on Python threads (the
native calls release the GIL) and merge them by score, then id. The
failure and consistency rules are in docs/collections.md.
"""

from __future__ import annotations

import inspect
import operator
import os
import re
import threading
import time
from concurrent.futures import ThreadPoolExecutor, wait
from typing import Any, Callable, Mapping, Sequence

import numpy as np

from . import _native, api, manifest as mf
from .api import (ReadOnlyError, Segment, SegmentLockedError, _ef, _id, _ids, _k, _matrix, _path, _required_ids,
                  _threads, _vector)
from .filters import compile_filter

_PAD = np.uint64(2**64 - 1)
_EFC_DEFAULT = inspect.signature(api.build).parameters["ef_construction"].default  # ulmora.build's


class Collection:
    """A collection open for writing (or reading only); see `ulmora.open_collection`.

    Same methods, arguments and results as `ulmora.Segment`. Searches may
    run from several threads at once; mutations run one at a time.
    """

    def __init__(self, path: str | os.PathLike, *, readonly: bool = False):
        self._dir = _path(path)
        self._readonly = bool(readonly)
        self._manifest = mf.read_manifest(self._dir)
        self._routing = mf.Routing(self._manifest)
        self._shards = _open_shards(self._dir, self._manifest, self._readonly)
        # A leftover temp file of an interrupted manifest write; the writer lock is ours now.
        if not self._readonly:
            try:
                os.remove(os.path.join(self._dir, mf.MANIFEST_TMP))
            except FileNotFoundError:
                pass
        self._pool = ThreadPoolExecutor(len(self._shards), "ulmora-shard") if len(self._shards) > 1 else None
        self._write = threading.Lock()

    # ---- mutations
    def insert(self, vectors: Any, ids: Any = None, payloads: Sequence[Mapping[str, Any] | None] | None = None,
               *, threads: int | None = None) -> np.ndarray:
        """Insert a batch; ids default to next_id onward. Returns the ids (uint64).

        The whole batch is checked before any shard writes; then each shard
        writes its part, in shard order.
        """
        self._refuse_read_only("insert")
        vectors = _matrix(vectors, "vectors")
        id_array = None if ids is None else _ids(ids)
        if payloads is not None and not isinstance(payloads, (list, tuple)):
            payloads = list(payloads)
        threads = _threads(threads)
        with self._write:
            shards = self._live_shards()
            id_array = check_batch(vectors, id_array, payloads, self.dim, lambda: self.next_id)
            if len(id_array) == 0:
                return id_array
            parts = self._routing.parts(id_array)
            self._check_absent(id_array, parts)
            check_payloads(payloads, parts)
            for s, rows in parts:
                shards[s]._seg.insert(np.ascontiguousarray(vectors[rows]), id_array[rows],
                                      None if payloads is None else [payloads[i] for i in rows], threads)
            return id_array

    def upsert(self, vectors: Any, ids: Any, payloads: Sequence[Mapping[str, Any] | None] | None = None,
               *, threads: int | None = None) -> np.ndarray:
        """Replace-or-insert a batch, as `ulmora.Segment.upsert`. Returns the ids (uint64).

        The whole batch is checked before any shard writes; then each shard
        upserts its part, in shard order (a shard whose part replaces or
        re-inserts an id compacts once). A crash midway can leave a shard's
        replaced points deleted without their new versions; running the
        same upsert again repairs that.
        """
        self._refuse_read_only("upsert")
        vectors = _matrix(vectors, "vectors")
        id_array = _required_ids(ids, len(vectors))
        if payloads is not None and not isinstance(payloads, (list, tuple)):
            payloads = list(payloads)
        threads = _threads(threads)
        with self._write:
            shards = self._live_shards()
            check_batch(vectors, id_array, payloads, self.dim, lambda: self.next_id)
            parts = self._routing.parts(id_array)
            check_payloads(payloads, parts)
            for s, rows in parts:
                shards[s]._seg.upsert(np.ascontiguousarray(vectors[rows]), id_array[rows],
                                      None if payloads is None else [payloads[i] for i in rows], threads)
            return id_array

    def delete(self, ids: Any = None, *, filter: Mapping[str, Any] | None = None) -> int | None:
        """Delete ids (an int or 1-D array-like; unknown ids are a no-op, returns None),
        or every live point matching `filter` in every shard (returns how many).

        Exactly one of `ids` and `filter`. A filter delete runs shard by
        shard, each one logged call; a crash midway leaves the earlier
        shards' deletes done and the later ones not (docs/collections.md).
        """
        if (ids is None) == (filter is None):
            raise ValueError("delete takes exactly one of ids and filter")
        self._refuse_read_only("delete")
        if filter is not None:
            compiled = compile_filter(filter)
            with self._write:
                return sum(seg._seg.delete_matching(compiled) for seg in self._live_shards())
        id_array = _ids(ids)
        with self._write:
            shards = self._live_shards()
            for s, rows in self._routing.parts(id_array):
                shards[s]._seg.delete(id_array[rows])
        return None

    def update_payload(self, id: int, payload: Mapping[str, Any]) -> None:
        """Replace the payload of a live point (ValueError when it is not live)."""
        self._refuse_read_only("update_payload")
        id = _id(id)
        with self._write:
            self._live_shards()[self._shard_of(id)]._seg.update_payload(id, payload)

    def compact(self, *, threads: int | None = None) -> None:
        """Compact every shard in turn, then rewrite the manifest with the next generation."""
        self._refuse_read_only("compact")
        threads = _threads(threads)
        with self._write:
            shards = self._live_shards()
            for seg in shards:
                seg._seg.compact(threads)
            doc = dict(self._manifest, generation=self._manifest["generation"] + 1)
            mf.write_manifest(self._dir, doc)
            self._manifest = doc

    def close(self) -> None:
        """Close every shard (releasing its writer lock); later calls raise ValueError."""
        with self._write:
            shards, self._shards = self._shards, None
            if self._pool is not None:
                self._pool.shutdown(wait=True)
        if shards is None:
            return
        _close_all(shards)

    def refresh(self) -> None:
        """Read-only collections: reload every shard (each as Segment.refresh) and the manifest."""
        with self._write:
            for seg in self._live_shards():
                seg.refresh()
            if self._readonly:
                doc = mf.read_manifest(self._dir)
                if [s["file"] for s in doc["shards"]] == [s["file"] for s in self._manifest["shards"]]:
                    self._manifest = doc

    @property
    def readonly(self) -> bool:
        return self._readonly

    # ---- searches
    def search(self, query: Any, k: int = 10, ef: int | None = None, **options: Any) -> tuple:
        """Best k points over all shards: (ids uint64[<=k], raw scores float32[<=k]).

        Further keyword options (filters, payloads) go to every shard's search
        as they are; when the shards return payloads, they are merged too.
        """
        query, k, ef = _vector(query, "query"), _k(k), _ef(ef)
        parts = self._fan_out(lambda seg: seg.search(query, k, ef or None, **options))
        return merge_search(parts, k, self.metric)

    def search_batch(self, queries: Any, k: int = 10, ef: int | None = None,
                     threads: int | None = None, **options: Any) -> tuple:
        """(ids uint64[n, k], scores float32[n, k]); short rows padded with 2**64-1 and NaN."""
        queries, k, ef = _matrix(queries, "queries"), _k(k), _ef(ef)
        threads = 1 if threads is None else _threads(threads)
        parts = self._fan_out(lambda seg: seg.search_batch(queries, k, ef or None, threads, **options))
        return merge_batch(parts, k, self.metric)

    # ---- inspection
    def get(self, id: int) -> tuple[np.ndarray, dict | None] | None:
        """(stored vector, payload or None) of a live point, or None."""
        id = _id(id)
        return self._live_shards()[self._shard_of(id)]._seg.get(id)

    def get_many(self, ids: Any) -> tuple[np.ndarray, list[dict | None], np.ndarray]:
        """(vectors float32[n, dim], payloads list of n, found bool[n]), as `ulmora.Segment.get_many`."""
        id_array = _ids(ids)
        shards = self._live_shards()
        parts = self._routing.parts(id_array)
        return gather_many(len(id_array), self.dim,
                           [(rows, shards[s]._seg.get_many(id_array[rows])) for s, rows in parts])

    def ids(self) -> np.ndarray:
        """The live ids (uint64), ascending, as `ulmora.Segment.ids`."""
        return np.sort(np.concatenate([seg.ids() for seg in self._live_shards()]))

    def info(self) -> dict:
        """Counts over all shards, the routing, and each shard's own info dict."""
        return collection_info(self._dir, self._manifest, [seg.info() for seg in self._live_shards()])

    def shard_of(self, id: int) -> int:
        """The shard (its position in the manifest) that owns an id."""
        return self._shard_of(_id(id))

    def __len__(self) -> int:
        return sum(len(seg) for seg in self._live_shards())

    @property
    def dim(self) -> int:
        return self._manifest["dim"]

    @property
    def metric(self) -> str:
        return self._manifest["metric"]

    @property
    def next_id(self) -> int:
        return max(seg.next_id for seg in self._live_shards())

    @property
    def path(self) -> str:
        return self._dir

    @property
    def shard_count(self) -> int:
        return len(self._manifest["shards"])

    def __enter__(self) -> "Collection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._shards is None:
            return "<ulmora.Collection (closed)>"
        return f"<ulmora.Collection {self._dir!r} dim={self.dim} shards={self.shard_count} live={len(self)}>"

    # ---- internals
    def _refuse_read_only(self, call: str) -> None:
        if self._readonly:
            raise ReadOnlyError(f"{self._dir}: {call}() is refused: the collection is open read-only")

    def _live_shards(self) -> list[Segment]:
        shards = self._shards
        if shards is None:
            raise ValueError("collection is closed")
        return shards

    def _shard_of(self, id: int) -> int:
        return self._routing.shard_of(id)

    def _fan_out(self, call: Callable[[Segment], Any]) -> list[Any]:
        shards = self._live_shards()
        if self._pool is None:
            return [call(seg) for seg in shards]
        try:
            futures = [self._pool.submit(call, seg) for seg in shards]
        except RuntimeError:  # the pool was shut down by a close() on another thread
            raise ValueError("collection is closed") from None
        wait(futures)
        return [f.result() for f in futures]

    def _check_absent(self, ids: np.ndarray, parts: list[tuple[int, np.ndarray]]) -> None:
        """Refuse ids live in their shard."""
        shards = self._live_shards()
        check_absent(ids, [(rows, shards[s]._seg.contains(ids[rows])) for s, rows in parts])


def collection_info(directory: str, doc: dict, shards: Sequence[dict]) -> dict:
    """A collection's info dict from its manifest and its shards' own info dicts."""
    return {
        "path": directory,
        "dim": doc["dim"],
        "metric": doc["metric"],
        "m": doc["m"],
        "ef_construction": doc["ef_construction"],
        "format_version": doc["version"],
        "generation": doc["generation"],
        "buckets": doc["routing"]["buckets"],
        "points": sum(s["points"] for s in shards),
        "live": sum(s["live"] for s in shards),
        "deleted": sum(s["deleted"] for s in shards),
        "next_id": max(s["next_id"] for s in shards),
        "shards": [dict(s, file=m["file"]) for s, m in zip(shards, doc["shards"])],
    }


def check_batch(vectors: np.ndarray, ids: np.ndarray | None, payloads: Sequence | None, dim: int,
                next_id: Callable[[], int]) -> np.ndarray:
    """A batch's own checks, as a segment makes them; returns its ids (from next_id() onward when none)."""
    n = len(vectors)
    if ids is not None and len(ids) != n:
        raise ValueError(f"got {len(ids)} ids for {n} vectors")
    if payloads is not None and len(payloads) != n:
        raise ValueError(f"got {len(payloads)} payloads for {n} vectors")
    if vectors.shape[1] != dim:
        raise ValueError(f"Vector length mismatch: expected {dim}, got {vectors.shape[1]}")
    _check_finite(vectors)
    if ids is None:
        start = next_id()
        if n > 2**64 - 1 - start:  # the last id handed out stays below 2^64 - 1
            raise ValueError(f"no ids left after {start}")
        return np.arange(start, start + n, dtype=np.uint64)
    order = np.argsort(ids, kind="stable")
    repeat = order[1:][ids[order][1:] == ids[order][:-1]]  # later occurrences
    if len(repeat):
        raise ValueError(f"duplicate id {int(ids[repeat.min()])}")  # the first repeat in batch order
    return ids


def check_absent(ids: np.ndarray, masks: Sequence[tuple[np.ndarray, np.ndarray]]) -> None:
    """Raise as a segment would for the first id of the batch some shard refuses.

    `masks`: per shard, (row positions of its ids, whether each is live there).
    """
    hits = [rows[known] for rows, known in masks if known.any()]
    if hits:
        raise ValueError(f"Point with ID {int(ids[min(int(h[0]) for h in hits)])} already exists")


def gather_many(n: int, dim: int, parts: Sequence[tuple[np.ndarray, tuple]]) -> tuple:
    """get_many's answer for n ids from the shards' answers: (row positions, their get_many)."""
    vectors = np.full((n, dim), np.nan, dtype=np.float32)
    payloads: list = [None] * n
    found = np.zeros(n, dtype=bool)
    for rows, (v, p, f) in parts:
        vectors[rows], found[rows] = v, f
        for i, payload in zip(rows.tolist(), p):
            payloads[i] = payload
    return vectors, payloads, found


def check_payloads(payloads: Sequence | None, parts: list[tuple[int, np.ndarray]]) -> None:
    """Convert each shard's payloads natively, as its insert will, writing nothing."""
    if payloads is None or all(p is None for p in payloads):
        return
    for _s, rows in parts:
        try:
            _native.check_payloads([payloads[i] for i in rows])
        except (ValueError, TypeError, OverflowError) as e:
            raise _renumbered(e, rows) from None


def _key(scores: np.ndarray, metric: str) -> np.ndarray:
    # Lower is better: distances as they are, inner products negated.
    return -scores if metric == "dot" else scores


def merge_search(parts: Sequence[tuple], k: int, metric: str) -> tuple:
    """The best k of the shards' answers to one query, by score then id.

    Each part is (ids, scores) or (ids, scores, payloads); payloads, when
    the shards return them, follow their points.
    """
    ids = np.concatenate([p[0] for p in parts])
    scores = np.concatenate([p[1] for p in parts])
    order = np.lexsort((ids, _key(scores, metric)))[:k]
    if len(parts[0]) < 3:
        return ids[order], scores[order]
    payloads = [item for p in parts for item in p[2]]
    return ids[order], scores[order], [payloads[i] for i in order.tolist()]


def merge_batch(parts: Sequence[tuple], k: int, metric: str) -> tuple:
    """merge_search row by row over (n, k) answers; short rows padded with 2**64-1 and NaN."""
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    pad = (ids == _PAD) & np.isnan(scores)
    key = np.where(pad, np.float32(0), _key(scores, metric))
    order = np.lexsort((ids, key, pad), axis=1)[:, :k]
    out = (np.ascontiguousarray(np.take_along_axis(ids, order, axis=1)),
           np.ascontiguousarray(np.take_along_axis(scores, order, axis=1)))
    if len(parts[0]) < 3:
        return out
    # Per row, the shards' payload lists side by side, in the column order of `ids`.
    rows = [[item for p in parts for item in _padded(p[2][r], p[0].shape[1])] for r in range(len(ids))]
    return out + ([[row[c] for c in cols] for row, cols in zip(rows, order.tolist())],)


def _padded(row: Sequence, width: int) -> list:
    return list(row) + [None] * (width - len(row))


def _renumbered(error: Exception, rows: np.ndarray) -> Exception:
    """The error with "payloads[i]" of a shard's part renamed to the batch's position."""
    match = re.match(r"payloads\[(\d+)\]", str(error))
    if not match or int(match.group(1)) >= len(rows):
        return error
    return type(error)(f"payloads[{int(rows[int(match.group(1))])}]{str(error)[match.end():]}")


def _check_finite(vectors: np.ndarray) -> None:
    # In row blocks, so the temporary mask stays small for large inputs.
    step = max(1, (1 << 22) // max(1, vectors.shape[1]))
    for start in range(0, len(vectors), step):
        bad = ~np.isfinite(vectors[start:start + step])
        if bad.any():
            row, col = divmod(int(np.argmax(bad)), vectors.shape[1])
            raise ValueError(f"non-finite value at row {start + row}, column {col}")


def _open_shards(directory: str, doc: dict, readonly: bool = False) -> list[Segment]:
    """Every shard open (for writing, or read-only), or none (the first locked one named)."""
    shards: list[Segment] = []
    try:
        for n, entry in enumerate(doc["shards"]):
            file = os.path.join(directory, entry["file"])
            try:
                seg = Segment(file, readonly=readonly)
            except SegmentLockedError as e:
                raise SegmentLockedError(f"{directory}: shard {n} ({entry['file']}) has another writer: {e}") \
                    from None
            shards.append(seg)
            if seg.dim != doc["dim"] or seg.metric != doc["metric"]:
                raise ValueError(f"{file}: holds {seg.metric} vectors of dimension {seg.dim}, the manifest says "
                                 f"{doc['metric']} of dimension {doc['dim']}")
    except BaseException:
        _close_all(shards)
        raise
    return shards


def _close_all(shards: list[Segment]) -> None:
    error = None
    for seg in shards:
        try:
            seg.close()
        except Exception as e:  # close the rest, then report the first problem
            error = error or e
    if error is not None:
        raise error


def _check_layout(shards: Any, buckets: Any) -> tuple[int, int]:
    shards, buckets = operator.index(shards), operator.index(buckets)
    if not 1 <= shards <= 10_000:
        raise ValueError(f"shards must be between 1 and 10000, got {shards}")
    if not shards <= buckets <= 2**32:
        raise ValueError(f"buckets must be between shards ({shards}) and 2^32, got {buckets}")
    return shards, buckets


def _new_directory(directory: str) -> None:
    os.makedirs(directory, exist_ok=True)
    if os.path.exists(os.path.join(directory, mf.MANIFEST)):
        raise FileExistsError(f"{directory}: already holds a collection")


def create_collection(path: str | os.PathLike, dim: int, *, metric: str = "cosine", shards: int, m: int = 16,
                      ef_construction: int = _EFC_DEFAULT, buckets: int = 4096) -> Collection:
    """Create an empty collection of `shards` segments in directory `path`; returns it open."""
    directory = _path(path)
    dim = operator.index(dim)
    if dim < 1:
        raise ValueError(f"dim must be at least 1, got {dim}")
    shards, buckets = _check_layout(shards, buckets)
    _new_directory(directory)
    empty = np.zeros((0, dim), dtype=np.float32)
    doc = None
    for s in range(shards):
        summary = api.build(os.path.join(directory, mf.shard_file(s)), empty, metric=metric, m=m,
                            ef_construction=ef_construction, threads=1, progress=False)
        doc = doc or mf.new_manifest(dim, summary["metric"], shards, operator.index(m),
                                     operator.index(ef_construction), buckets)
    mf.write_manifest(directory, doc)  # last: until it exists there is no collection
    return Collection(directory)


def _read_inputs(inputs: Any) -> np.ndarray:
    """An array, or one or more vector files read in order and stacked."""
    from . import readers

    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    if isinstance(inputs, (list, tuple)) and inputs and all(isinstance(p, (str, os.PathLike)) for p in inputs):
        arrays = [readers.read_vectors(p) for p in inputs]
        dims = {a.shape[1] for a in arrays}
        if len(dims) > 1:
            raise ValueError(f"input files have different dimensions: {sorted(dims)}")
        return arrays[0] if len(arrays) == 1 else np.concatenate(arrays)
    return _matrix(inputs, "vectors")


def build_collection(path: str | os.PathLike, inputs: Any, *, shards: int, metric: str = "cosine", ids: Any = None,
                     payloads: Sequence[Mapping[str, Any] | None] | None = None, m: int = 16,
                     ef_construction: int = _EFC_DEFAULT, threads: int | None = None,
                     progress: bool | Callable[[int, int], Any] | None = None, seed: int | None = None,
                     buckets: int = 4096) -> dict:
    """Build a collection in directory `path`: each shard by `ulmora.build` from its routed rows.

    `inputs`: an (n, dim) array, or a list of .npy/.fvecs/.bvecs/.hdf5
    files read in order. Ids default to 0..n-1 in input order. The manifest
    is written last, so a build that fails leaves no collection. Returns a
    summary dict as `ulmora.build` does, with the shard count.
    """
    plan = BuildPlan(path, inputs, shards=shards, ids=ids, payloads=payloads, m=m, ef_construction=ef_construction,
                     buckets=buckets)
    n = plan.points
    callback, bar = api._progress(progress, n)
    done, summaries = 0, []
    try:
        for s in range(plan.shards):
            step = None if callback is None else (lambda d, _t, base=done: callback(base + d, n))
            summaries.append(plan.build_shard(s, *plan.shard_input(s), metric=metric, threads=threads,
                                              progress=step if step is not None else False, seed=seed))
            done += summaries[-1]["points"]
    finally:
        if bar is not None:
            bar.close()
    return plan.finish(summaries)


class BuildPlan:
    """A collection build's checked input, its manifest and routing; the shards
    may be built anywhere (one after another here, as Ray tasks in
    ulmora.cluster), the manifest is written last by finish()."""

    def __init__(self, path: str | os.PathLike, inputs: Any, *, shards: int, ids: Any, payloads: Any, m: int,
                 ef_construction: int, buckets: int):
        self.started = time.perf_counter()
        self.directory = _path(path)
        self.shards, buckets = _check_layout(shards, buckets)
        self.vectors = vectors = _read_inputs(inputs)
        n = self.points = len(vectors)
        self.ids = np.arange(n, dtype=np.uint64) if ids is None else _ids(ids)
        if len(self.ids) != n:
            raise ValueError(f"got {len(self.ids)} ids for {n} vectors")
        if len(np.unique(self.ids)) != n:
            raise ValueError("ids must be unique")
        self.payloads = None if payloads is None else list(payloads)
        if self.payloads is not None and len(self.payloads) != n:
            raise ValueError(f"got {len(self.payloads)} payloads for {n} vectors")
        _check_finite(vectors)
        _new_directory(self.directory)
        self.m, self.ef_construction = operator.index(m), operator.index(ef_construction)
        self.doc = mf.new_manifest(int(vectors.shape[1]), "", self.shards, self.m, self.ef_construction, buckets)
        self.owner = mf.Routing(self.doc).shards_of(self.ids)

    def shard_input(self, s: int) -> tuple[np.ndarray, np.ndarray, list | None]:
        """(vectors, ids, payloads) of the rows routed to shard s, in input order."""
        rows = np.flatnonzero(self.owner == s)
        return (np.ascontiguousarray(self.vectors[rows]), self.ids[rows],
                None if self.payloads is None else [self.payloads[i] for i in rows])

    def build_shard(self, s: int, vectors: np.ndarray, ids: np.ndarray, payloads: list | None, **options) -> dict:
        return build_shard(self.directory, s, vectors, ids, payloads, m=self.m, ef_construction=self.ef_construction,
                           **options)

    def finish(self, summaries: Sequence[dict]) -> dict:
        """Write the manifest (the build's last step) and return the build's summary."""
        self.doc["metric"] = summaries[0]["metric"]
        mf.write_manifest(self.directory, self.doc)
        insert_s = sum(s["insert_seconds"] for s in summaries)
        return {"path": self.directory, "points": self.points, "dim": int(self.vectors.shape[1]),
                "metric": self.doc["metric"], "shards": self.shards, "seconds": time.perf_counter() - self.started,
                "insert_seconds": insert_s,
                "points_per_second": self.points / insert_s if insert_s > 0 else float("inf"),
                "bytes": sum(s["bytes"] for s in summaries)}


def build_shard(directory: str, s: int, vectors: np.ndarray, ids: np.ndarray, payloads: list | None,
                **options) -> dict:
    """Shard s's segment file, built by ulmora.build; returns its summary."""
    return api.build(os.path.join(directory, mf.shard_file(s)), vectors, ids=ids, payloads=payloads, **options)


def open_collection(path: str | os.PathLike, readonly: bool = False) -> Collection:
    """Open a collection for writing: every shard loaded with its writer lock.

    A second writer gets SegmentLockedError naming the shard, and nothing
    stays open. `readonly=True` opens every shard as `ulmora.open(...,
    readonly=True)` does (no locks, nothing written); mutations raise
    ReadOnlyError, `refresh()` brings every shard up to its log.
    """
    return Collection(path, readonly=readonly)

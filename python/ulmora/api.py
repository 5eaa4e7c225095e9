"""The Python face of the ulmora native core: build, open, info.

Arrays are checked and converted here (NumPy in, NumPy out); payload dicts
are converted natively, which raises TypeError naming a bad key. Native work
runs with the GIL released.
"""

from __future__ import annotations

import operator
import os
import sys
from typing import Any, Callable, Mapping, Sequence

import numpy as np

from . import _native
from .filters import compile_filter

SegmentLockedError = _native.SegmentLockedError
ReadOnlyError = _native.ReadOnlyError  # a PermissionError: a mutation of a segment opened with readonly=True

_METRICS = {"cosine": 0, "dot": 1, "euclidean": 2}
_U64_MAX = 2**64 - 1


def _threads(threads: int | None) -> int:
    if threads is None:
        return os.cpu_count() or 1
    threads = operator.index(threads)
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return threads


def _path(path: str | os.PathLike) -> str:
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not isinstance(path, str):
        raise TypeError(f"path must be str or os.PathLike, not {type(path).__name__}")
    return path


def _matrix(values: Any, name: str) -> np.ndarray:
    """A C-contiguous float32 copy/view of a 2-D numeric array-like."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "fiu" or arr.dtype.kind == "b":
        raise TypeError(f"{name} must hold numbers, got dtype {arr.dtype}")
    if arr.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array, got shape {arr.shape}")
    with np.errstate(over="ignore"):  # values beyond float32 become inf and are refused
        arr = np.ascontiguousarray(arr, dtype=np.float32)
    return arr


def _vector(values: Any, name: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold numbers, got dtype {arr.dtype}")
    if arr.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array, got shape {arr.shape}")
    with np.errstate(over="ignore"):  # values beyond float32 become inf and are refused natively
        arr = np.ascontiguousarray(arr, dtype=np.float32)
    return arr


def _id(value: Any) -> int:
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"ids must be integers, got {type(value).__name__}") from None
    if value < 0:
        raise ValueError(f"ids must be non-negative, got {value}")
    if value > _U64_MAX:
        raise OverflowError(f"id {value} does not fit in 64 bits")
    return value


def _ids(ids: Any) -> np.ndarray:
    """A 1-D C-contiguous uint64 array of non-negative integer ids."""
    if isinstance(ids, (int, np.integer)) and not isinstance(ids, bool):
        return np.array([_id(ids)], dtype=np.uint64)
    arr = np.asarray(ids)
    if arr.ndim != 1:
        raise ValueError(f"ids must be a 1-D array, got shape {arr.shape}")
    if arr.size == 0:
        return np.zeros(0, dtype=np.uint64)
    # Python ints beyond int64/uint64 or mixed objects; NumPy also makes a
    # float array of [2**64 - 1, 0], so a list's own items are judged.
    if arr.dtype == object or (arr.dtype.kind == "f" and not isinstance(ids, np.ndarray)):
        return np.array([_id(v) for v in ids], dtype=np.uint64)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"ids must be integers, got dtype {arr.dtype}")
    if arr.dtype.kind == "i" and (arr < 0).any():
        raise ValueError(f"ids must be non-negative, got {int(arr[arr < 0][0])}")
    return np.ascontiguousarray(arr, dtype=np.uint64)


def _required_ids(ids: Any, rows: int) -> np.ndarray:
    """An upsert's ids: given, one per vector."""
    if ids is None:
        raise ValueError("upsert needs ids, one per vector")
    id_array = _ids(ids)
    if len(id_array) != rows:
        raise ValueError(f"got {len(id_array)} ids for {rows} vectors")
    return id_array


def _filter_keys(keys: Any) -> list[str] | None:
    """None, or a non-empty list of non-empty str keys (TypeError/ValueError otherwise)."""
    if keys is None:
        return None
    if isinstance(keys, (str, bytes)) or not isinstance(keys, (list, tuple)):
        raise TypeError(f"filter_keys must be a list of str, not {type(keys).__name__}")
    for key in keys:
        if not isinstance(key, str):
            raise TypeError(f"filter_keys must be a list of str, got an item of type {type(key).__name__}")
    if not keys:
        raise ValueError("filter_keys must name at least one key")
    if any(key == "" for key in keys):
        raise ValueError("filter_keys must not contain an empty key")
    return list(keys)


def _k(k: Any) -> int:
    k = operator.index(k)
    if k < 0:
        raise ValueError(f"k must be non-negative, got {k}")
    return k


def _ef(ef: Any) -> int:
    if ef is None:
        return 0  # the segment's stored default beam width
    ef = operator.index(ef)
    if ef < 1:
        raise ValueError(f"ef must be at least 1, got {ef}")
    return ef


def _filter(filter: Any) -> tuple | None:
    return None if filter is None else compile_filter(filter)


_ROUTES = ("auto", "exact", "graph")


def _route(route: Any) -> str:
    if not isinstance(route, str) or route not in _ROUTES:
        raise ValueError(f"route must be 'auto', 'exact' or 'graph', got {route!r}")
    return route


def _progress(progress: Any, total: int):
    """(callback(done, total) or None, tqdm bar or None)."""
    if progress is None:
        progress = sys.stderr is not None and sys.stderr.isatty()
    if callable(progress):
        return progress, None
    if not progress:
        return None, None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="pt", unit_scale=True, desc="build", file=sys.stderr, smoothing=0.1)

    def update(done: int, _total: int) -> None:
        if done > bar.n:
            bar.update(done - bar.n)

    return update, bar


def build(path: str | os.PathLike, vectors: Any, *, ids: Any = None,
          payloads: Sequence[Mapping[str, Any] | None] | None = None, metric: str = "cosine", m: int = 16,
          ef_construction: int = 64, threads: int | None = None,
          progress: bool | Callable[[int, int], Any] | None = None, seed: int | None = None,
          filter_keys: Sequence[str] | None = None) -> dict:
    """Build a segment snapshot at `path` from an (n, dim) array.

    Points are inserted concurrently by `threads` native threads (default:
    all CPUs) with the GIL released, then written atomically as a version-3
    snapshot with checksum (a log left beside `path` by an earlier segment is
    removed). `ids` default to 0..n-1; `payloads` is None or n dicts/None.
    `progress`: None shows a tqdm bar when stderr is a terminal, True/False
    force it, a callable gets (done, total). Ctrl-C stops the build and
    leaves no file. `seed` (0..2^64-1) draws the graph's levels from a hash
    of (seed, id) instead of an OS-seeded generator: with threads=1 the same
    input then builds the same graph. `filter_keys` (a list of payload keys)
    turns filter edges on for exactly those keys, whatever VECTORDB_FILTER_KEYS,
    VECTORDB_FILTER_MAX_KEYS and VECTORDB_FILTER_EDGES say; the keys are stored in the snapshot, so later opens,
    inserts and compactions keep them. Returns a summary dict.

    `ef_construction` is the insertion beam width and also the segment's
    default search beam width (`Segment.search` with ef=None). The default,
    64, builds faster than hnswlib's default (200), and its graph searches
    at least as fast at recall@10 0.95 and 0.99 (bench/history/efc_default.md).
    """
    path = _path(path)
    if not isinstance(metric, str) or metric.lower() not in _METRICS:
        raise ValueError(f"metric must be one of cosine, dot, euclidean; got {metric!r}")
    vectors = _matrix(vectors, "vectors")
    id_array = None if ids is None else _ids(ids)
    if id_array is not None and len(id_array) != len(vectors):
        raise ValueError(f"got {len(id_array)} ids for {len(vectors)} vectors")
    if payloads is not None and not isinstance(payloads, (list, tuple)):
        payloads = list(payloads)
    m, ef_construction = operator.index(m), operator.index(ef_construction)
    if not 2 <= m <= 4096:
        raise ValueError(f"m must be between 2 and 4096, got {m}")
    if ef_construction < 1:
        raise ValueError(f"ef_construction must be at least 1, got {ef_construction}")
    if seed is not None:
        seed = operator.index(seed)
        if not 0 <= seed < 2**64:
            raise ValueError(f"seed must be between 0 and 2^64-1, got {seed}")
    filter_keys = _filter_keys(filter_keys)
    callback, bar = _progress(progress, len(vectors))
    try:
        points, insert_s, total_s, size = _native.build(
            path, vectors, id_array, payloads, _METRICS[metric.lower()], m, ef_construction, _threads(threads),
            callback, seed, filter_keys)
        if bar is not None:
            bar.update(points - bar.n)
    finally:
        if bar is not None:
            bar.close()
    return {
        "path": path,
        "points": points,
        "dim": int(vectors.shape[1]),
        "metric": metric.lower(),
        "seconds": total_s,
        "insert_seconds": insert_s,
        "points_per_second": points / insert_s if insert_s > 0 else float("inf"),
        "bytes": size,
    }


def info(path: str | os.PathLike) -> dict:
    """Describe a segment (snapshot plus replayed log) without locking it."""
    return _native.info(_path(path))


class Segment:
    """A segment open for writing, or for reading only; see `ulmora.open`.

    Every mutation is in the log (flushed when VECTORDB_WAL_FSYNC is on, the
    default) before the call returns; a refused call writes nothing.
    Searches see the segment's own writes. Methods may be called from
    several threads; searches run side by side, mutations one at a time,
    and searches go on while a mutation or a compaction runs: a search sees
    each point whole or not at all, the deletes of one call all or none,
    and everything a call that returned before it started did (a writable
    segment opened with quantize=True holds searches off while an insert
    fills the graph). A read-only segment refuses every mutation with
    ReadOnlyError and sees the files as they were at open or at its last
    `refresh()`.
    """

    def __init__(self, path: str | os.PathLike, *, readonly: bool = False, filter_keys: Sequence[str] | None = None):
        filter_keys = _filter_keys(filter_keys)
        if readonly and filter_keys is not None:
            raise ValueError("filter_keys apply to later inserts; a read-only segment takes none")
        self._seg = _native.open_segment(_path(path), bool(readonly), filter_keys)
        self._readonly = bool(readonly)

    # ---- mutations
    def insert(self, vectors: Any, ids: Any = None, payloads: Sequence[Mapping[str, Any] | None] | None = None,
               *, threads: int | None = None) -> np.ndarray:
        """Insert a batch; ids default to next_id onward. Returns the ids (uint64).

        A live id refuses the batch ("Point with ID N already exists"). Ids
        deleted since the last compaction may be inserted again: the
        segment then compacts first, once per call, which rewrites it
        (time proportional to the segment), so batch such re-inserts.
        """
        vectors = _matrix(vectors, "vectors")
        id_array = None if ids is None else _ids(ids)
        if payloads is not None and not isinstance(payloads, (list, tuple)):
            payloads = list(payloads)
        return self._seg.insert(vectors, id_array, payloads, _threads(threads))

    def upsert(self, vectors: Any, ids: Any, payloads: Sequence[Mapping[str, Any] | None] | None = None,
               *, threads: int | None = None) -> np.ndarray:
        """Replace-or-insert a batch as one call. Returns the ids (uint64).

        `ids` are required, one per vector, and unique (a repeated id raises
        ValueError); vectors and payloads are checked as `insert` checks
        them, and a refused call writes nothing. Live ids are deleted (one
        logged call), then the batch is inserted as `insert` inserts it. Cost:
        when any id was live (or deleted since the last compaction) the
        segment compacts once before the insert, which rewrites it (time
        proportional to the segment), so batch upserts. A crash in the middle
        can leave the replaced points deleted without their new versions;
        running the same upsert again repairs that.
        """
        vectors = _matrix(vectors, "vectors")
        id_array = _required_ids(ids, len(vectors))
        if payloads is not None and not isinstance(payloads, (list, tuple)):
            payloads = list(payloads)
        return self._seg.upsert(vectors, id_array, payloads, _threads(threads))

    def delete(self, ids: Any = None, *, filter: Mapping[str, Any] | None = None) -> int | None:
        """Delete ids (an int or 1-D array-like; unknown ids are a no-op, returns None),
        or every live point matching `filter` (returns how many were deleted).

        Exactly one of `ids` and `filter` is given. A filter delete is one
        logged call: the matches are found and deleted under one exclusive
        section, so a concurrent insert is either wholly judged or not at all.
        """
        if (ids is None) == (filter is None):
            raise ValueError("delete takes exactly one of ids and filter")
        if filter is not None:
            return self._seg.delete_matching(compile_filter(filter))
        self._seg.delete(_ids(ids))
        return None

    def update_payload(self, id: int, payload: Mapping[str, Any]) -> None:
        """Replace the payload of a live point (ValueError when it is not live)."""
        self._seg.update_payload(_id(id), payload)

    def compact(self, *, threads: int | None = None) -> None:
        """Purge deleted points into a new snapshot and empty the log (crash-safe).

        Searches and mutations go on meanwhile; what they change is carried
        into the new snapshot's log."""
        self._seg.compact(_threads(threads))

    def close(self) -> None:
        """Release memory and the writer lock; later calls raise ValueError."""
        self._seg.close()

    def refresh(self) -> None:
        """Read-only segments: catch up with the writer's acknowledged state.

        The log records written since the last refresh are applied (searches
        wait for them, as for a writer's insert); after a compaction the
        files are loaded afresh beside the old state, which searches keep
        using until it is swapped in at once. A failed refresh raises and
        leaves a whole state in force. A writer is always current: nothing
        to do.
        """
        self._seg.refresh()

    @property
    def readonly(self) -> bool:
        return self._readonly

    # ---- searches
    def search(self, query: Any, k: int = 10, ef: int | None = None, *, filter: Mapping[str, Any] | None = None,
               with_payload: bool = False, route: str = "auto", **options: Any) -> tuple:
        """Best k points: (ids uint64[<=k], raw scores float32[<=k]).

        `filter` (docs/filters.md) keeps only matching points: the result
        then holds exactly min(k, matches) points, ordered as without a
        filter. `route`: "auto" lets the planner choose between an exact
        scan of the matches and a graph walk that admits only matches;
        "exact" always scans (also without a filter: an exact search);
        "graph" always walks. `with_payload=True` adds a third item, the
        payload dict of each hit (None for a point without one).

        Further keyword-only options, as `ulmoradb.Index.search` takes them:
        `sq8_screen=False`, `scan_cap=0` (uncapped), `patience=2`, and
        `rerank=None` (the SQ8 rerank factor, at least 1, of a segment opened
        with `quantize=True`; None takes VECTORDB_SQ8_RERANK_FACTOR).
        """
        query = _vector(query, "query")
        filt = _filter(filter)
        return self._seg.search(query, _k(k), _ef(ef), filt, _route(route), bool(with_payload), **options)

    def search_batch(self, queries: Any, k: int = 10, ef: int | None = None, threads: int | None = None, *,
                     filter: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None = None,
                     with_payload: bool = False, route: str = "auto", **options: Any) -> tuple:
        """(ids uint64[n, k], scores float32[n, k]); short rows padded with 2**64-1 and NaN.

        `filter` is one filter for every row (its match set is built once)
        or a list of one filter per row; `route` and `with_payload` as in
        search, the payloads being n lists of k (None where padded), and
        the further options of `search`.
        """
        queries = _matrix(queries, "queries")  # non-finite values are refused natively
        if isinstance(filter, (list, tuple)):
            if len(filter) != len(queries):
                raise ValueError(f"got {len(filter)} filters for {len(queries)} query rows")
            filt = [compile_filter(f) if f is not None else ("all",) for f in filter]
        else:
            filt = _filter(filter)
        return self._seg.search_batch(queries, _k(k), _ef(ef), 1 if threads is None else _threads(threads),
                                      filt, _route(route), bool(with_payload), **options)

    # ---- inspection
    def get(self, id: int) -> tuple[np.ndarray, dict | None] | None:
        """(stored vector, payload or None) of a live point, or None."""
        return self._seg.get(_id(id))

    def get_many(self, ids: Any) -> tuple[np.ndarray, list[dict | None], np.ndarray]:
        """Many points at once: (vectors float32[n, dim], payloads list of n, found bool[n]).

        Row i answers ids[i] (an id may repeat): the stored vector and the
        payload (None for a point without one) of a live point; for an id
        that is not live, found[i] is False, row i is NaN and the payload None.
        """
        return self._seg.get_many(_ids(ids))

    def ids(self, filter: Mapping[str, Any] | None = None) -> np.ndarray:
        """The live ids (uint64) matching `filter` (all when None), ascending."""
        return self._seg.ids(None if filter is None else compile_filter(filter))

    def count(self, filter: Mapping[str, Any]) -> int:
        """The number of live points matching `filter` (see docs/filters.md)."""
        return self._seg.count(compile_filter(filter))

    def info(self) -> dict:
        """The same dict as ulmora.info, for the open segment, with its "mode" ("write" or "readonly")."""
        return self._seg.info()

    def __len__(self) -> int:
        return self._seg.meta()[3]

    @property
    def dim(self) -> int:
        return self._seg.meta()[0]

    @property
    def metric(self) -> str:
        return self._seg.meta()[1]

    @property
    def next_id(self) -> int:
        return self._seg.meta()[2]

    @property
    def path(self) -> str:
        return self._seg.path()

    def __enter__(self) -> "Segment":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        try:
            return f"<ulmora.Segment {self.path!r} dim={self.dim} live={len(self)}>"
        except ValueError:
            return "<ulmora.Segment (closed)>"


def open(path: str | os.PathLike, *, readonly: bool = False,  # noqa: A001 - the package's verb
         filter_keys: Sequence[str] | None = None, quantize: bool = False) -> Segment:
    """Open a segment for writing: load, replay its log, take the writer lock.

    A second writer on the same segment gets SegmentLockedError.

    `readonly=True`: no lock and nothing written, created or opened for
    writing (a read-only directory will do); any number of readers may open
    a segment beside its writer. The reader holds the snapshot and log as
    they were together on disk at open (a compaction running meanwhile is
    waited out); `refresh()` moves it on. Mutations raise ReadOnlyError.

    `filter_keys`: payload keys that get filter edges from now on (see
    `build`). Keys other than the stored ones compact the segment once at
    open, which links every point's edges for them and stores them.

    `quantize=True` builds 8-bit (SQ8) codes of the stored vectors in memory,
    as `ulmoradb.Index(path, quantize=True)` does, for searches with
    `rerank=` or `sq8_screen=True`. Inserted points get codes on the same
    scales (Euclidean values outside them clamp to the end codes);
    compaction and a read-only refresh recompute them. Nothing about the
    codes is written to disk.
    """
    if not isinstance(quantize, bool):
        raise TypeError(f"open() argument 'quantize' must be bool, got {type(quantize).__name__}")
    seg = Segment(path, readonly=readonly, filter_keys=filter_keys)
    if quantize:
        try:
            seg._seg.quantize()
        except BaseException:
            seg.close()
            raise
    return seg

"""A collection whose shards are served by Ray actors.

Per shard one writer actor (the shard's segment opened for writing; every
mutation of the shard goes through it) and replicas - 1 search replicas
(the segment opened read-only, following the writer's log). Searches fan out
to one replica per shard, chosen by fewest requests in flight; a replica that
fails is retried on a sibling, then on the restarted actor, until the call's
timeout. The rules are in docs/collections.md ("Ray").
"""

from __future__ import annotations

import inspect
import itertools
import operator
import os
import threading
import time
from typing import Any, Callable, Mapping, Sequence

import numpy as np
import ray
from ray.exceptions import GetTimeoutError, RayActorError, RayTaskError

from .. import api, manifest as mf
from .. import collection as coll
from ..api import _ef, _id, _ids, _k, _matrix, _path, _required_ids, _vector
from ..filters import compile_filter
from .server import SEARCH_MANY, SEARCH_ONE, ShardServer

_READONLY = "readonly" in inspect.signature(api.open).parameters  # read-only segments exist
_BACKOFF_S = 0.05  # between tries of a shard whose every replica failed
_POLL_S = 0.25  # how long a fan-out waits for all answers before it looks at the ones that came
_INLINE_BYTES = 64 * 1024  # a query matrix up to this size travels inside each call, not through the object store
_START_S = 120.0  # the longest the actors may take to start (a new worker process each, loading its shard)
# Losing the actor or its node; everything else an actor raises is the call's own error.
_LOST = (RayActorError,) + tuple(getattr(ray.exceptions, n) for n in ("ObjectLostError", "OwnerDiedError",
                                                                        "NodeDiedError") if hasattr(ray.exceptions, n))


class ShardUnavailableError(RuntimeError):
    """A shard had no replica that answered within the collection's timeout."""

    def __init__(self, message: str, shards: Sequence[int]):
        super().__init__(message)
        self.shards = list(shards)


class Collection:
    """`ulmora.Collection` with each shard served by Ray actors.

    Same methods, arguments, results and errors as the embedded collection.
    `replicas`: actors per shard that answer searches (the writer and
    replicas - 1 read-only ones). `allow_partial`: a search whose shard has
    no live replica returns what the others answered and, as a third element
    (after payloads, when asked for), the coverage (shards answered, shards);
    otherwise it raises ShardUnavailableError. `timeout_s` bounds every call.
    """

    def __init__(self, path: str | os.PathLike, replicas: int = 1, allow_partial: bool = False,
                 timeout_s: float = 30.0, *, max_restarts: int = -1):
        replicas = operator.index(replicas)
        if replicas < 1:
            raise ValueError(f"replicas must be at least 1, got {replicas}")
        if replicas > 1 and not _READONLY:
            raise NotImplementedError("search replicas need read-only segments, which this build lacks; "
                                      "use replicas=1")
        if not timeout_s > 0:
            raise ValueError(f"timeout_s must be positive, got {timeout_s}")
        self._dir = os.path.abspath(_path(path))
        self._manifest = mf.read_manifest(self._dir)
        self._routing = mf.Routing(self._manifest)
        self._partial, self._timeout = bool(allow_partial), float(timeout_s)
        self._write = threading.Lock()  # mutations one at a time, as embedded
        self._lock = threading.Lock()  # the in-flight counts and versions
        actor = ray.remote(ShardServer).options(num_cpus=0, max_restarts=max_restarts, max_task_retries=0,
                                                max_concurrency=8)
        files = [os.path.join(self._dir, s["file"]) for s in self._manifest["shards"]]
        # replica 0 of each shard is its writer
        self._actors = [[actor.remote(f, True)] + [actor.remote(f, False) for _ in range(replicas - 1)]
                        for f in files]
        self._inflight = [[0] * replicas for _ in files]
        self._version = [0] * len(files)  # mutations acknowledged per shard
        self._seen = [[0] * replicas for _ in files]  # the version each replica last refreshed at
        self._turn = itertools.count()
        try:
            # every actor up (the writers hold their locks) before the constructor returns
            self._call_all("meta", timeout_s=max(self._timeout, _START_S))
            if replicas > 1:
                self._fan_out("pid", lambda s, r: (), max(self._timeout, _START_S))
        except api.SegmentLockedError as e:
            self._kill()
            n = next((n for n, f in enumerate(files) if f in str(e)), None)
            if n is None:
                raise
            raise api.SegmentLockedError(f"{self._dir}: shard {n} ({self._manifest['shards'][n]['file']}) has "
                                         f"another writer: {e}") from None
        except BaseException:
            self._kill()
            raise
        # A leftover temp file of an interrupted manifest write; the writer locks are ours now.
        try:
            os.remove(os.path.join(self._dir, mf.MANIFEST_TMP))
        except FileNotFoundError:
            pass

    # ---- searches
    def search(self, query: Any, k: int = 10, ef: int | None = None, **options: Any) -> tuple:
        """Best k points over all shards: (ids, scores[, payloads][, coverage])."""
        query, k, _ = _vector(query, "query"), _k(k), _ef(ef)
        raw = query.tobytes()
        if not options and max(k, ef or 0) < 2**62:  # the common call, packed into one byte string each way
            got = self._fan_out("search_one", lambda s, r: (SEARCH_ONE.pack(k, ef or 0, self._stale(s, r)) + raw,))
            answered = {s: _unpack_one(a) for s, a in got.items()}
            return self._merged(answered, (np.zeros(0, np.uint64), np.zeros(0, np.float32)),
                                lambda parts: coll.merge_search(parts, k, self.metric))
        got = self._fan_out("search", lambda s, r: (raw, k, ef, options, self._stale(s, r)))
        answered = {s: (np.frombuffer(a[0], np.uint64), np.frombuffer(a[1], np.float32), *a[2:])
                    for s, a in got.items()}
        empty = (np.zeros(0, np.uint64), np.zeros(0, np.float32)) + (([],) if options.get("with_payload") else ())
        return self._merged(answered, empty, lambda parts: coll.merge_search(parts, k, self.metric))

    def search_batch(self, queries: Any, k: int = 10, ef: int | None = None, threads: int | None = None,
                     **options: Any) -> tuple:
        """(ids uint64[n, k], scores float32[n, k][, payloads][, coverage]), padded as a segment pads."""
        queries, k, _ = _matrix(queries, "queries"), _k(k), _ef(ef)
        if threads is not None:
            api._threads(threads)
        n = len(queries)
        if not options and 0 < queries.nbytes <= _INLINE_BYTES and max(k, ef or 0) < 2**62:
            # small and plain: one byte string each way, as a single query (the object store costs ~5 ms)
            head = lambda s, r: SEARCH_MANY.pack(n, k, ef or 0, threads or 0, self._stale(s, r))  # noqa: E731
            raw = queries.tobytes()
            got = self._fan_out("search_many", lambda s, r: (head(s, r) + raw,))
            answered = {s: _unpack_many(a, n, k) for s, a in got.items()}
        else:
            ref = ray.put(queries)  # once, for every shard
            answered = self._fan_out("search_batch",
                                     lambda s, r: (ref, k, ef, threads, options, self._stale(s, r)))
        empty = (np.full((n, k), coll._PAD), np.full((n, k), np.nan, np.float32))
        empty += ([[None] * k for _ in range(n)],) if options.get("with_payload") else ()
        return self._merged(answered, empty, lambda parts: coll.merge_batch(parts, k, self.metric))

    def noop_fan_out(self) -> None:
        """One no-op call per shard, sent and awaited as a search is (a measure of the fan-out's own cost)."""
        self._fan_out("noop", lambda s, r: ())

    # ---- mutations
    def insert(self, vectors: Any, ids: Any = None, payloads: Sequence[Mapping[str, Any] | None] | None = None,
               *, threads: int | None = None) -> np.ndarray:
        """Insert a batch; ids default to next_id onward. Returns the ids (uint64).

        The whole batch is checked before any shard writes; then the shards
        write their parts side by side.
        """
        vectors = _matrix(vectors, "vectors")
        id_array = None if ids is None else _ids(ids)
        if payloads is not None and not isinstance(payloads, (list, tuple)):
            payloads = list(payloads)
        if threads is not None:
            api._threads(threads)
        with self._write:
            id_array = coll.check_batch(vectors, id_array, payloads, self.dim, lambda: self.next_id)
            if len(id_array) == 0:
                return id_array
            parts = self._routing.parts(id_array)
            refused = self._call_all("refused", {s: (id_array[rows],) for s, rows in parts})
            coll.check_absent(id_array, [(rows, refused[s]) for s, rows in parts])
            coll.check_payloads(payloads, parts)
            self._call_all("insert", {s: (np.ascontiguousarray(vectors[rows]), id_array[rows],
                                          None if payloads is None else [payloads[i] for i in rows], threads)
                                      for s, rows in parts}, again=self._insert_again)
            return id_array

    def upsert(self, vectors: Any, ids: Any, payloads: Sequence[Mapping[str, Any] | None] | None = None,
               *, threads: int | None = None) -> np.ndarray:
        """Replace-or-insert a batch, as the embedded collection. Returns the ids (uint64).

        The whole batch is checked before any shard writes; then the shards
        upsert their parts side by side. A writer lost midway is sent its
        part again: an upsert repeated gives the same points.
        """
        vectors = _matrix(vectors, "vectors")
        id_array = _required_ids(ids, len(vectors))
        if payloads is not None and not isinstance(payloads, (list, tuple)):
            payloads = list(payloads)
        if threads is not None:
            api._threads(threads)
        with self._write:
            coll.check_batch(vectors, id_array, payloads, self.dim, lambda: self.next_id)
            parts = self._routing.parts(id_array)
            coll.check_payloads(payloads, parts)
            self._call_all("upsert", {s: (np.ascontiguousarray(vectors[rows]), id_array[rows],
                                          None if payloads is None else [payloads[i] for i in rows], threads)
                                      for s, rows in parts})
            return id_array

    def delete(self, ids: Any = None, *, filter: Mapping[str, Any] | None = None) -> int | None:
        """Delete ids (unknown ids are a no-op; returns None), or every live point
        matching `filter` in every shard (returns how many), as the embedded collection."""
        if (ids is None) == (filter is None):
            raise ValueError("delete takes exactly one of ids and filter")
        if filter is not None:
            compile_filter(filter)  # a bad filter is refused here, before any shard deletes
            with self._write:
                return sum(self._call_all("delete_matching", {s: (filter,) for s in range(self.shard_count)})
                           .values())
        id_array = _ids(ids)
        with self._write:
            self._call_all("delete", {s: (id_array[rows],) for s, rows in self._routing.parts(id_array)})
        return None

    def update_payload(self, id: int, payload: Mapping[str, Any]) -> None:
        """Replace the payload of a live point (ValueError when it is not live)."""
        id = _id(id)
        with self._write:
            self._call_all("update_payload", {self._routing.shard_of(id): (id, payload)})

    def compact(self, *, threads: int | None = None) -> None:
        """Compact every shard (side by side), then rewrite the manifest with the next generation."""
        if threads is not None:
            api._threads(threads)
        with self._write:
            self._call_all("compact", {s: (threads,) for s in range(self.shard_count)})
            doc = dict(self._manifest, generation=self._manifest["generation"] + 1)
            mf.write_manifest(self._dir, doc)
            self._manifest = doc

    def close(self) -> None:
        """Close every shard (its writer lock released) and end the actors; later calls raise ValueError."""
        with self._write:
            actors, self._actors = self._actors, None
        if actors is None:
            return
        refs = [a.close.remote() for shard in actors for a in shard]
        try:  # every close answered or failed (a dead actor holds no lock), then the actors end
            ray.wait(refs, num_returns=len(refs), timeout=self._timeout)
        finally:
            for shard in actors:
                for a in shard:
                    ray.kill(a, no_restart=True)

    # ---- inspection
    def get(self, id: int) -> tuple[np.ndarray, dict | None] | None:
        """(stored vector, payload or None) of a live point, or None."""
        id = _id(id)
        s = self._routing.shard_of(id)
        return self._call_all("get", {s: (id,)})[s]

    def get_many(self, ids: Any) -> tuple[np.ndarray, list[dict | None], np.ndarray]:
        """(vectors float32[n, dim], payloads list of n, found bool[n]), as `ulmora.Segment.get_many`."""
        id_array = _ids(ids)
        parts = self._routing.parts(id_array)
        got = self._call_all("get_many", {s: (id_array[rows],) for s, rows in parts})
        return coll.gather_many(len(id_array), self.dim, [(rows, got[s]) for s, rows in parts])

    def ids(self) -> np.ndarray:
        """The live ids (uint64), ascending, as `ulmora.Segment.ids`."""
        got = self._call_all("ids")
        return np.sort(np.concatenate([got[s] for s in range(self.shard_count)]))

    def info(self) -> dict:
        """Counts over all shards, the routing, and each shard's own info dict."""
        got = self._call_all("info")
        return coll.collection_info(self._dir, self._manifest, [got[s] for s in range(self.shard_count)])

    def shard_of(self, id: int) -> int:
        """The shard (its position in the manifest) that owns an id."""
        return self._routing.shard_of(_id(id))

    def actors(self, shard: int) -> list:
        """The actor handles of a shard: its writer first, then its search replicas."""
        return list(self._live()[shard])

    def __len__(self) -> int:
        return sum(live for live, _ in self._call_all("meta").values())

    @property
    def dim(self) -> int:
        return self._manifest["dim"]

    @property
    def metric(self) -> str:
        return self._manifest["metric"]

    @property
    def next_id(self) -> int:
        return max(nxt for _, nxt in self._call_all("meta").values())

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
        if self._actors is None:
            return "<ulmora.cluster.Collection (closed)>"
        return f"<ulmora.cluster.Collection {self._dir!r} dim={self.dim} shards={self.shard_count}>"

    # ---- internals
    def _live(self) -> list[list]:
        actors = self._actors
        if actors is None:
            raise ValueError("collection is closed")
        return actors

    def _kill(self) -> None:
        for shard in self._actors or []:
            for a in shard:
                ray.kill(a, no_restart=True)
        self._actors = None

    def _stale(self, s: int, r: int) -> bool:
        """Whether replica r of shard s must refresh before it answers (it has not seen our last write)."""
        return r > 0 and self._seen[s][r] < self._version[s]

    def _merged(self, answered: dict, empty: tuple, merge: Callable[[list], tuple]) -> tuple:
        """The merge of the shards' answers (`empty` when none answered), with the coverage in partial mode."""
        out = merge([answered[s] for s in sorted(answered)]) if answered else empty
        return out + ((len(answered), self.shard_count),) if self._partial else out

    def _pick(self, s: int, tried: set[int]) -> int:
        """The replica of shard s with the fewest requests in flight, among those not tried yet."""
        counts = self._inflight[s]
        free = [r for r in range(len(counts)) if r not in tried] or list(range(len(counts)))
        start = next(self._turn) % len(counts)
        return min(free, key=lambda r: (counts[r], (r - start) % len(counts)))

    def _fan_out(self, method: str, args: Callable[[int, int], tuple], timeout_s: float | None = None) -> dict:
        """{shard: answer} from one replica of each shard; lost replicas are retried on siblings until the
        timeout. `args(shard, replica)` gives a call's arguments."""
        timeout_s = timeout_s or self._timeout
        answered = _FanOut(self, method, args, time.monotonic() + timeout_s).run()
        missing = [s for s in range(self.shard_count) if s not in answered]
        if missing and not (self._partial and method.startswith("search")):
            names = ", ".join(f"{s} ({self._manifest['shards'][s]['file']})" for s in missing)
            raise ShardUnavailableError(f"{self._dir}: shard{'s' if len(missing) > 1 else ''} {names} "
                                        f"had no live replica within {timeout_s:g} s", missing)
        return answered

    def _call_all(self, method: str, calls: dict[int, tuple] | None = None,
                  again: Callable[[int, tuple], tuple | None] | None = None, timeout_s: float | None = None) -> dict:
        """{shard: answer} of the shards' writers; `calls` maps a shard to its arguments (default: every
        shard, none). A lost writer is asked again once restarted; `again(shard, args)` gives the
        arguments for that (None: nothing left to do)."""
        calls = {s: () for s in range(self.shard_count)} if calls is None else calls
        actors = self._live()
        deadline = time.monotonic() + (timeout_s or self._timeout)
        pending = {getattr(actors[s][0], method).remote(*a): s for s, a in calls.items()}
        answered: dict[int, Any] = {}
        lost: set[int] = set()  # writers lost and not back by the deadline
        try:
            self._await_writers(method, calls, again, pending, answered, lost, deadline)
        finally:
            if method in _MUTATIONS:  # even a call that failed midway may have changed some shards
                with self._lock:
                    for s in calls:
                        self._version[s] += 1
        if pending or lost:
            missing = sorted(set(pending.values()) | lost)
            names = ", ".join(f"{s} ({self._manifest['shards'][s]['file']})" for s in missing)
            raise ShardUnavailableError(f"{self._dir}: the writer of shard{'s' if len(missing) > 1 else ''} "
                                        f"{names} did not answer within {self._timeout:g} s", missing)
        return answered

    def _await_writers(self, method: str, calls: dict, again: Callable | None, pending: dict, answered: dict,
                       lost: set, deadline: float) -> None:
        actors = self._live()
        while pending and time.monotonic() < deadline:
            ready, _ = ray.wait(list(pending), num_returns=len(pending),
                                timeout=max(0.0, min(deadline - time.monotonic(), _POLL_S)))
            for ref in ready:
                s = pending.pop(ref)
                try:
                    answered[s] = ray.get(ref)
                except RayTaskError as e:
                    raise _cause(e) from None
                except _LOST:
                    if time.monotonic() + _BACKOFF_S >= deadline:
                        lost.add(s)
                        continue
                    time.sleep(_BACKOFF_S)
                    args = calls[s] if again is None else self._retry_args(s, calls[s], again, deadline)
                    if args is None:
                        answered[s] = None
                    else:
                        pending[getattr(actors[s][0], method).remote(*args)] = s

    def _retry_args(self, s: int, args: tuple, again: Callable, deadline: float) -> tuple | None:
        while True:
            try:
                return again(s, args)
            except (*_LOST, GetTimeoutError):
                if time.monotonic() >= deadline:
                    name = self._manifest["shards"][s]["file"]
                    raise ShardUnavailableError(f"{self._dir}: the writer of shard {s} ({name}) did not come "
                                                f"back within {self._timeout:g} s", [s]) from None
                time.sleep(_BACKOFF_S)

    def _insert_again(self, s: int, args: tuple) -> tuple | None:
        """After a writer was lost mid-insert: the rows of its part that its log does not hold.

        The part's ids were all absent before (checked under the write lock,
        and the writer's lock keeps every other writer out), so an id present
        now was written by this insert.
        """
        vectors, ids, payloads, threads = args
        missing = ~ray.get(self._live()[s][0].refused.remote(ids), timeout=self._timeout)
        if not missing.any():
            return None
        rows = np.flatnonzero(missing)
        return (np.ascontiguousarray(vectors[rows]), ids[rows],
                None if payloads is None else [payloads[i] for i in rows], threads)


class _FanOut:
    """One fan-out: a call to one replica of every shard, and its retries."""

    def __init__(self, coll: Collection, method: str, args: Callable[[int, int], tuple], deadline: float):
        self.coll, self.method, self.args, self.deadline = coll, method, args, deadline
        self.actors = coll._live()
        self.pending: dict = {}  # ref -> (shard, replica, the shard's version when sent)
        self.tried: dict[int, set[int]] = {s: set() for s in range(len(self.actors))}
        self.later: list[tuple[float, int]] = []  # (when, shard): shards to try again after a pause
        self.answered: dict[int, Any] = {}

    def run(self) -> dict:
        for s in range(len(self.actors)):
            self.send(s)
        try:
            try:  # the common case in one call: every shard answers
                refs = list(self.pending)
                for ref, value in zip(refs, ray.get(refs, timeout=_POLL_S)):
                    self.accept(ref, value)
            except (RayTaskError, GetTimeoutError, *_LOST):
                pass  # the careful way: the answers that came are picked up at once
            while (self.pending or self.later) and time.monotonic() < self.deadline:
                self.step()
        finally:
            for ref in list(self.pending):
                self.done(ref)
        return self.answered

    def step(self) -> None:
        now = time.monotonic()
        for item in [x for x in self.later if x[0] <= now]:
            self.later.remove(item)
            self.send(item[1])
        wake = min([self.deadline] + [w for w, _ in self.later])
        if not self.pending:
            time.sleep(max(0.0, wake - now))
            return
        # All at once when all answer; a lost replica is noticed within _POLL_S though others are slow.
        ready, _ = ray.wait(list(self.pending), num_returns=len(self.pending),
                            timeout=max(0.0, min(wake - now, _POLL_S)))
        for ref in ready:
            try:
                value = ray.get(ref)
            except RayTaskError as e:  # the call's own error, as the embedded collection raises it
                self.done(ref)
                raise _cause(e) from None
            except _LOST:
                s = self.done(ref)[0]
                if len(self.tried[s]) >= len(self.actors[s]):  # every replica failed: pause, then all again
                    self.tried[s] = set()
                    self.later.append((time.monotonic() + _BACKOFF_S, s))
                else:
                    self.send(s)
                continue
            self.accept(ref, value)

    def send(self, s: int) -> None:
        coll = self.coll
        with coll._lock:
            r = coll._pick(s, self.tried[s])
            coll._inflight[s][r] += 1
            version = coll._version[s]
            call = self.args(s, r)
        self.tried[s].add(r)
        self.pending[getattr(self.actors[s][r], self.method).remote(*call)] = (s, r, version)

    def done(self, ref) -> tuple[int, int, int]:
        s, r, version = self.pending.pop(ref)
        with self.coll._lock:
            self.coll._inflight[s][r] -= 1
        return s, r, version

    def accept(self, ref, value: Any) -> None:
        s, r, version = self.done(ref)
        self.answered[s] = value
        if r > 0:  # a replica that answered has seen the writes up to `version`
            with self.coll._lock:
                self.coll._seen[s][r] = max(self.coll._seen[s][r], version)


_MUTATIONS = {"insert", "upsert", "delete", "delete_matching", "update_payload", "compact"}


def _unpack_one(answer: bytes) -> tuple[np.ndarray, np.ndarray]:
    """(ids, scores) of a `search_one` answer: n uint64 ids, then n float32 scores."""
    n = len(answer) // 12
    return np.frombuffer(answer, np.uint64, n), np.frombuffer(answer, np.float32, n, offset=8 * n)


def _unpack_many(answer: bytes, n: int, k: int) -> tuple[np.ndarray, np.ndarray]:
    """(ids uint64[n, k], scores float32[n, k]) of a `search_many` answer."""
    cells = n * k
    return (np.frombuffer(answer, np.uint64, cells).reshape(n, k),
            np.frombuffer(answer, np.float32, cells, offset=8 * cells).reshape(n, k))


def _cause(error: RayTaskError) -> BaseException:
    """The exception the actor's method raised, without Ray's wrapping."""
    cause = getattr(error, "cause", None)
    return cause if isinstance(cause, BaseException) else error

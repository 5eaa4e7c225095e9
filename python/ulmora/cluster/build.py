"""Building a collection with one Ray task per shard."""

from __future__ import annotations

import os
from typing import Any, Callable, Mapping, Sequence

import numpy as np
import ray

from .. import api
from .. import collection as coll


def build_collection(path: str | os.PathLike, inputs: Any, *, shards: int, metric: str = "cosine", ids: Any = None,
                     payloads: Sequence[Mapping[str, Any] | None] | None = None, m: int = 16,
                     ef_construction: int = coll._EFC_DEFAULT, threads: int | None = None,
                     progress: bool | Callable[[int, int], Any] | None = None, seed: int | None = None,
                     buckets: int = 4096) -> dict:
    """`ulmora.build_collection`, with each shard built by a Ray task.

    The same checks, files and summary; the input is read and routed here,
    each shard's rows go to its task through the object store, and the
    manifest is written last, once every task has finished. Each task asks
    Ray for `threads` CPUs (default 1) and builds with that many threads, so
    Ray runs as many shard builds at once as the cluster has CPUs for.
    Progress advances by whole shards. The path must be one every node sees.
    """
    plan = coll.BuildPlan(os.path.abspath(api._path(path)), _vectors(inputs), shards=shards, ids=ids,
                          payloads=payloads, m=m, ef_construction=ef_construction, buckets=buckets)
    cpus = 1 if threads is None else api._threads(threads)
    task = ray.remote(_build_shard).options(num_cpus=cpus, max_retries=0)
    options = dict(metric=metric, m=plan.m, ef_construction=plan.ef_construction, threads=cpus, seed=seed,
                   progress=False)
    refs = {task.remote(plan.directory, s, *plan.shard_input(s), options): s for s in range(plan.shards)}
    plan.vectors = np.empty((0, plan.vectors.shape[1]), np.float32)  # the tasks hold their rows now
    callback, bar = api._progress(progress, plan.points)
    summaries: dict[int, dict] = {}
    try:
        while refs:
            ready, _ = ray.wait(list(refs), num_returns=1)
            for ref in ready:
                s = refs.pop(ref)
                try:
                    summaries[s] = ray.get(ref)
                except ray.exceptions.RayTaskError as e:
                    raise (e.cause if isinstance(getattr(e, "cause", None), BaseException) else e) from None
                if callback is not None:
                    callback(sum(x["points"] for x in summaries.values()), plan.points)
    finally:
        for ref in refs:
            ray.cancel(ref)
        if bar is not None:
            bar.close()
    return plan.finish([summaries[s] for s in range(plan.shards)])


def _build_shard(directory: str, s: int, vectors: np.ndarray, ids: np.ndarray, payloads: list | None,
                 options: dict) -> dict:
    return coll.build_shard(directory, s, vectors, ids, payloads, **options)


def _vectors(inputs: Any) -> Any:
    """A Ray Dataset with a "vector" column becomes its (n, dim) array; anything else is left to the reader."""
    if type(inputs).__module__.startswith("ray.data") and hasattr(inputs, "iter_batches"):
        batches = [b["vector"] for b in inputs.iter_batches(batch_format="numpy")]
        return np.concatenate([np.stack(b) if b.dtype == object else b for b in batches]) if batches else \
            np.zeros((0, 1), np.float32)
    return inputs

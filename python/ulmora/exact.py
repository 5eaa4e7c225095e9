"""Exact nearest neighbours by NumPy and the recall of a search against
them: the yardstick of ``ulmora demo``, ``ulmora search``, the tests and the
benchmarks."""

from __future__ import annotations

import numpy as np

METRICS = ("cosine", "dot", "euclidean")


def _unit(x: np.ndarray) -> np.ndarray:
    return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30)


def exact_topk(base: np.ndarray, queries: np.ndarray, k: int, metric: str,
               block: int | None = None, refine: int = 0) -> np.ndarray:
    """Row positions of each query's k best base points, best first, by
    batched matrix products (the scores ulmoradb ranks by).

    With ``refine`` > 0, the best k + refine rows by float32 products are
    ranked again in float64 (ties by row position), so float32 rounding
    does not decide near ties; ground truth for benchmarks uses this.
    """
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r} (choose from {', '.join(METRICS)})")
    k = min(k, len(base))
    if metric == "cosine":
        base, queries = _unit(base), _unit(queries)
    base = np.ascontiguousarray(base, dtype=np.float32)
    queries = np.asarray(queries, dtype=np.float32)
    margin = min(len(base), k + refine) if refine > 0 else k
    if block is None:
        # Without refining, 256 rows of keys at a time; with it, keep the
        # float64 candidate block near 48 MB.
        block = 256 if refine <= 0 else int(min(128, max(8, 48_000_000 // (margin * base.shape[1] * 8))))
    sq = np.einsum("ij,ij->i", base, base) if metric == "euclidean" else None
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), block):
        q = queries[start:start + block]
        # A lower key is better: -dot for cosine and dot, |x|^2 - 2 q.x for euclidean.
        key = q @ base.T
        if sq is not None:
            key *= -2
            key += sq
        else:
            np.negative(key, out=key)
        part = np.argpartition(key, margin - 1, axis=1)[:, :margin]
        if refine > 0:
            out[start:start + block] = _rerank(base, q, part, k, metric)
        else:
            order = np.take_along_axis(key, part, axis=1).argsort(axis=1, kind="stable")
            out[start:start + block] = np.take_along_axis(part, order, axis=1)
    return out


def _rerank(base: np.ndarray, q: np.ndarray, cand: np.ndarray, k: int, metric: str) -> np.ndarray:
    """The k best of the candidate rows by float64 keys, ties by row."""
    q64 = q.astype(np.float64)
    vecs = base[cand].astype(np.float64)  # [rows, candidates, dim]
    if metric == "euclidean":
        key = ((vecs - q64[:, None, :]) ** 2).sum(axis=2)
    else:
        key = -np.einsum("rmd,rd->rm", vecs, q64)
    order = np.lexsort((cand, key), axis=1)[:, :k]
    return np.take_along_axis(cand, order, axis=1)


def recall(found: np.ndarray, truth: np.ndarray, k: int | None = None) -> float:
    """Mean share of each row's first k true neighbours among its first k
    found ids (k: truth's width by default); NaN when there is no truth.

    Ids compare as 64-bit patterns, so unsigned ids above 2^63 and signed
    row numbers of the same value meet."""
    truth = np.asarray(truth)
    k = truth.shape[1] if k is None else k
    truth = truth[:, :k].astype(np.int64, copy=False)
    if truth.size == 0:
        return float("nan")
    found = np.asarray(found)[:, :k].astype(np.int64, copy=False)
    hits = sum(len(np.intersect1d(f, t)) for f, t in zip(found, truth))
    return hits / truth.size

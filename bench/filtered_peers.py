"""Peers of the filtered-search benchmark, each as a runner
``run(queries, shared_filter, masks, ef) -> list of id arrays``.

- hnswlib: its ``filter`` callback over a precomputed mask (a list's
  ``__getitem__``, the cheapest Python callable). knn_query raises when a
  row finds fewer than k points, so it runs per query and asks for
  min(k, matches); a query that still raises counts as no hits.
- faiss: ``IndexHNSWFlat`` with ``SearchParametersHNSW(sel=IDSelectorBitmap)``,
  one call for a shared filter, per query otherwise; one OpenMP thread.
- numpy: what a user holding the payloads in arrays writes: per query, the
  mask's rows gathered, squared distances, argpartition. "numpy batched"
  gathers the matching rows once for a filter shared by all queries and
  scores them in one matrix product.
- usearch is left out: its Python search takes no predicate.
"""

from __future__ import annotations

import time
from pathlib import Path

import numpy as np

M, EFC = 16, 200


def _hnswlib(data, work: Path, threads: int):
    import hnswlib

    path = work / f"hnswlib_{data.name}_{len(data.base)}.bin"
    index = hnswlib.Index(space="l2", dim=data.base.shape[1])
    if path.exists():
        index.load_index(str(path), max_elements=len(data.base))
    else:
        index.init_index(max_elements=len(data.base), M=M, ef_construction=EFC, random_seed=100)
        index.add_items(data.base, np.arange(len(data.base)), num_threads=threads)
        index.save_index(str(path))

    # The mask lists are part of what a caller prepares once, not per search.
    cache: dict[int, tuple] = {}

    def run(queries, shared, masks, ef):
        index.set_ef(ef)
        out = []
        for q, mask in zip(queries, masks):
            key = id(mask)
            if key not in cache or cache[key][0] is not mask:  # ids of freed masks are reused
                cache[key] = (mask, mask.tolist(), min(10, int(mask.sum())))
            _, lookup, want = cache[key]
            if want == 0:
                out.append(np.empty(0, np.uint64))
                continue
            try:
                labels, _ = index.knn_query(q, k=want, num_threads=1, filter=lookup.__getitem__)
                out.append(labels[0].astype(np.uint64))
            except RuntimeError:
                out.append(np.empty(0, np.uint64))
        return out

    return run


def _faiss(data, work: Path, threads: int):
    import faiss

    path = work / f"faiss_{data.name}_{len(data.base)}.index"
    if path.exists():
        index = faiss.read_index(str(path))
    else:
        faiss.omp_set_num_threads(threads)
        index = faiss.IndexHNSWFlat(data.base.shape[1], M, faiss.METRIC_L2)
        index.hnsw.efConstruction = EFC
        index.add(data.base)
        faiss.write_index(index, str(path))
    n = len(data.base)
    packed: dict[int, tuple] = {}

    def selector(mask):
        key = id(mask)
        if key not in packed or packed[key][0] is not mask:  # ids of freed masks are reused
            bits = np.packbits(mask, bitorder="little")
            packed[key] = (mask, bits, faiss.IDSelectorBitmap(n, faiss.swig_ptr(bits)))
        return packed[key][2]

    def run(queries, shared, masks, ef):
        faiss.omp_set_num_threads(1)
        if shared is not None:
            params = faiss.SearchParametersHNSW(sel=selector(masks[0]), efSearch=ef)
            return list(index.search(queries, 10, params=params)[1].astype(np.uint64))
        out = []
        for q, mask in zip(queries, masks):
            params = faiss.SearchParametersHNSW(sel=selector(mask), efSearch=ef)
            out.append(index.search(q[None, :], 10, params=params)[1][0].astype(np.uint64))
        return out

    return run


def _top(d: np.ndarray, rows: np.ndarray, k: int) -> np.ndarray:
    if len(rows) <= k:
        return rows[np.argsort(d, kind="stable")]
    part = np.argpartition(d, k - 1)[:k]
    return rows[part[np.argsort(d[part], kind="stable")]]


def _numpy(data):
    base = data.base
    norms = np.einsum("ij,ij->i", base, base)

    def run(queries, shared, masks, ef):
        out = []
        for q, mask in zip(queries, masks):
            rows = np.flatnonzero(mask)
            d = norms[rows] - 2.0 * (base[rows] @ q)
            out.append(_top(d, rows, 10).astype(np.uint64))
        return out

    return run


def _numpy_batched(data):
    base = data.base
    norms = np.einsum("ij,ij->i", base, base)

    def run(queries, shared, masks, ef):
        if shared is None:  # per-query filters: the plain scan
            return _numpy(data)(queries, shared, masks, ef)
        rows = np.flatnonzero(masks[0])
        sub, sub_norms = base[rows], norms[rows]
        out = []
        for start in range(0, len(queries), 64):
            d = sub_norms[None, :] - 2.0 * (queries[start:start + 64] @ sub.T)
            out.extend(_top(row, rows, 10).astype(np.uint64) for row in d)
        return out

    return run


def make(libs: list[str], data, work: Path, threads: int) -> dict:
    work.mkdir(parents=True, exist_ok=True)
    out = {}
    for lib in libs:
        t = time.perf_counter()
        if lib == "hnswlib":
            out["hnswlib"] = _hnswlib(data, work, threads)
        elif lib == "faiss":
            out["faiss"] = _faiss(data, work, threads)
        elif lib == "numpy":
            out["numpy"] = _numpy(data)
            out["numpy batched"] = _numpy_batched(data)
        elif lib != "ours":
            raise SystemExit(f"unknown library {lib!r}")
        if lib != "ours":
            print(f"{lib} ready in {time.perf_counter() - t:.1f} s", flush=True)
    return out

"""Search speed and recall: ulmoradb vs hnswlib on the same graph.

The hnswlib graph (M=16, ef_construction=200) is converted edge for edge into
a snapshot (hnsw_to_snapshot.py), so both libraries walk identical graphs with
the same queries and the same ef:

- single: one query per call on one thread, ``Index.search(q, k, ef)`` vs
  ``knn_query(q, k, num_threads=1)``;
- batch: the whole query matrix in one call, ``search_batch(Q, k, ef,
  threads=T)`` vs ``knn_query(Q, k, num_threads=T)``, T = 1 and 2;
- boundary: per-call cost of ``search`` on a one-point index with k=1
  (validation, copy, GIL release, result arrays), next to hnswlib's and a
  bare method call.

Usage: python -m bench.bench_search [--dataset clustered] [--metric euclidean]
       [--efs 16,32,64,128,256] [--queries 1000] [--patience 2]
Results: printed as Markdown tables and saved to bench/out/search_*.json.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from ulmora.exact import recall

from bench import benchlib, datasets
from bench import hnsw_to_snapshot as h2s
from testkit import snapshot_writer as sw

K = 10


def run_single(fn, queries: np.ndarray, repeat: int = 3) -> tuple[float, np.ndarray]:
    """(QPS, ids [nq, K]) for one call per query: best of ``repeat`` passes
    after a short warm-up."""
    for q in queries[:50]:
        fn(q)
    ids = np.full((queries.shape[0], K), -1, dtype=np.int64)
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        for i, q in enumerate(queries):
            found = fn(q)
            ids[i, : len(found)] = found
        best = min(best, time.perf_counter() - t)
    return queries.shape[0] / best, ids


def run_batch(fn, queries: np.ndarray) -> tuple[float, np.ndarray]:
    ids = fn(queries)
    secs = benchlib.best_of(lambda: fn(queries), repeat=3)
    return queries.shape[0] / secs, np.asarray(ids).astype(np.int64)


def search_table(ulm, hnsw, queries, gt, efs, patience) -> list[dict]:
    rows = []
    for ef in efs:
        hnsw.set_ef(max(ef, K))

        def u_one(q):
            return ulm.search(q, k=K, ef=ef, patience=patience)[0]

        def h_one(q):
            return hnsw.knn_query(q, k=K, num_threads=1)[0][0]

        row = {"ef": ef}
        row["u_single_qps"], ids = run_single(u_one, queries)
        row["u_recall"] = recall(ids, gt, K)
        row["h_single_qps"], ids = run_single(h_one, queries)
        row["h_recall"] = recall(ids, gt, K)
        for t in (1, 2):
            row[f"u_batch{t}_qps"], ids = run_batch(
                lambda Q: ulm.search_batch(Q, k=K, ef=ef, patience=patience, threads=t)[0], queries)
            row[f"u_batch{t}_recall"] = recall(ids, gt, K)
            row[f"h_batch{t}_qps"], ids = run_batch(lambda Q: hnsw.knn_query(Q, k=K, num_threads=t)[0], queries)
        rows.append(row)
        print(f"  ef={ef}: ulmora {row['u_single_qps']:.0f} qps r={row['u_recall']:.4f} | "
              f"hnswlib {row['h_single_qps']:.0f} qps r={row['h_recall']:.4f}", file=sys.stderr)
    return rows


def boundary_cost(ulmoradb, dim: int, calls: int) -> dict:
    """Microseconds per call on a one-point index, k=1."""
    import hnswlib

    rng = np.random.default_rng(3)
    v = rng.standard_normal(dim).astype(np.float32)
    q = rng.standard_normal(dim).astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "one.snap")
        one = sw.Graph(vectors={0: v}, layers={0: {0: [0]}}, levels={0: 0}, entry_point=0)
        sw.write_snapshot(path, sw.Segment(one, next_id=1))
        idx = ulmoradb.Index(path)
    h = hnswlib.Index(space="l2", dim=dim)
    h.init_index(max_elements=1, M=16, ef_construction=200)
    h.add_items(v[None, :], [0])

    def per_call(fn) -> float:
        fn()

        def loop():
            for _ in range(calls):
                fn()

        return benchlib.best_of(loop, repeat=3) / calls * 1e6

    return {
        "dim": dim,
        "ulmora_search_us": per_call(lambda: idx.search(q, k=1)),
        "ulmora_search_ef1_us": per_call(lambda: idx.search(q, k=1, ef=1)),
        # k=0: validation, copy and two empty result arrays, no native search.
        "ulmora_search_k0_us": per_call(lambda: idx.search(q, k=0)),
        "ulmora_dim_call_us": per_call(idx.dim),
        "hnswlib_knn_query_us": per_call(lambda: h.knn_query(q, k=1, num_threads=1)),
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dataset", default="clustered", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--metric", default="euclidean", choices=datasets.METRICS)
    ap.add_argument("--efs", default="16,32,64,128,256")
    ap.add_argument("--queries", type=int, default=1000, help="number of queries used (from the start)")
    ap.add_argument("--patience", type=int, default=2, help="ulmoradb early-exit patience (API default 2)")
    ap.add_argument("--boundary-calls", type=int, default=200_000)
    ap.add_argument("--skip-boundary", action="store_true")
    args = ap.parse_args(argv)

    ulmoradb = benchlib.import_ulmoradb()
    base, queries, gt = datasets.load(args.dataset, args.metric)
    queries = np.ascontiguousarray(queries[: args.queries])
    gt = gt[: args.queries]
    hnsw = h2s.cached_hnswlib(args.dataset, args.metric, base)
    hnsw.set_num_threads(1)
    snap = h2s.snapshot_for(args.dataset, args.metric)
    ulm = ulmoradb.Index(str(snap))
    assert len(ulm) == base.shape[0] and ulm.dim() == base.shape[1]

    efs = [int(x) for x in args.efs.split(",")]
    print(f"[search] {args.dataset}/{args.metric}: {base.shape[0]} x {base.shape[1]}, "
          f"{queries.shape[0]} queries, k={K}", file=sys.stderr)
    rows = search_table(ulm, hnsw, queries, gt, efs, args.patience)
    record = {"dataset": args.dataset, "metric": args.metric, "n": base.shape[0], "dim": base.shape[1],
              "queries": queries.shape[0], "k": K, "patience": args.patience, "rows": rows}
    if not args.skip_boundary:
        record["boundary"] = boundary_cost(ulmoradb, base.shape[1], args.boundary_calls)

    print(f"\n### {args.dataset} {base.shape[0]} x {base.shape[1]}, {args.metric}, "
          f"{queries.shape[0]} queries, recall@{K}\n")
    print(benchlib.table(
        ["ef", "ulmora QPS (1/call)", "hnswlib QPS (1/call)", "ulmora recall", "hnswlib recall",
         "ulmora batch T=1", "hnswlib batch T=1", "ulmora batch T=2", "hnswlib batch T=2"],
        [[r["ef"], r["u_single_qps"], r["h_single_qps"], r["u_recall"], r["h_recall"],
          r["u_batch1_qps"], r["h_batch1_qps"], r["u_batch2_qps"], r["h_batch2_qps"]] for r in rows]))
    if "boundary" in record:
        b = record["boundary"]
        print(f"\nPer call on a 1-point index (dim {b['dim']}, k=1): search {b['ulmora_search_us']:.2f} us, "
              f"search ef=1 {b['ulmora_search_ef1_us']:.2f} us, search k=0 (no native search) "
              f"{b['ulmora_search_k0_us']:.2f} us, dim() {b['ulmora_dim_call_us']:.2f} us; "
              f"hnswlib knn_query {b['hnswlib_knn_query_us']:.2f} us")
    out = benchlib.save(f"search_{args.dataset}_{args.metric}", record)
    print(f"\n(saved {out})", file=sys.stderr)


if __name__ == "__main__":
    main()

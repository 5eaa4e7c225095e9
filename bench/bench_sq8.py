"""SQ8 code-space route vs the float beam at equal ef.

Each setting runs in its own process (the VECTORDB_* tuning values are read
once per process) on ``Index(path, quantize=True)``:

- float: no SQ8 variable set, so the plain float beam runs;
- rerank f: VECTORDB_SQ8_RERANK_FACTOR=f (2, 3, 4): code-space beam over
  ef*f candidates, reranked with full vectors;
- score-only: VECTORDB_SQ8_SCORE_ONLY=1: code-space beam, code scores
  returned as scores (Cosine only; on Euclidean the variable is ignored and
  the float beam runs, shown for completeness).

Graphs: the hnswlib graphs of a data set (default: the 100k x 128 clustered
set) converted to snapshots, one Cosine and one Euclidean. QPS is one query per call on one
thread, best of three passes; recall@10 against exact ground truth.

Usage: python bench/bench_sq8.py [--dataset clustered|hard] [--metrics cosine,euclidean] [--efs 16,32,64,128,256] [--queries 1000]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib  # noqa: E402
import datasets  # noqa: E402
import hnsw_to_snapshot as h2s  # noqa: E402

K = 10
SETTINGS = {
    "float": {},
    "rerank2": {"VECTORDB_SQ8_RERANK_FACTOR": "2"},
    "rerank3": {"VECTORDB_SQ8_RERANK_FACTOR": "3"},
    "rerank4": {"VECTORDB_SQ8_RERANK_FACTOR": "4"},
    "score_only": {"VECTORDB_SQ8_SCORE_ONLY": "1"},
}
SQ8_VARS = ("VECTORDB_SQ8_RERANK_FACTOR", "VECTORDB_SQ8_SCORE_ONLY", "VECTORDB_SQ8_SCREEN")


def child(dataset: str, metric: str, efs: list[int], nq: int) -> None:
    ulmoradb = benchlib.import_ulmoradb()
    _, queries, gt = datasets.load(dataset, metric, verbose=False)
    queries, gt = np.ascontiguousarray(queries[:nq]), gt[:nq]
    snap = datasets.OUT_DIR / f"{dataset}_{metric}.snap"
    t = time.perf_counter()
    idx = ulmoradb.Index(str(snap), quantize=True)
    build = time.perf_counter() - t
    rows = []
    for ef in efs:
        for q in queries[:50]:
            idx.search(q, k=K, ef=ef)
        ids = np.full((nq, K), -1, dtype=np.int64)
        secs = float("inf")
        for _ in range(3):  # best of three passes
            t = time.perf_counter()
            for i, q in enumerate(queries):
                found = idx.search(q, k=K, ef=ef)[0]
                ids[i, : len(found)] = found
            secs = min(secs, time.perf_counter() - t)
        rows.append({"ef": ef, "qps": nq / secs, "recall": datasets.recall_at_k(ids, gt, K)})
    print(json.dumps({"index_build_s": build, "rows": rows}))


def main(argv=None):
    if argv is None and len(sys.argv) > 1 and sys.argv[1] == "--child":
        dataset, metric, efs, nq = sys.argv[2:6]
        return child(dataset, metric, [int(x) for x in efs.split(",")], int(nq))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dataset", default="clustered", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--metrics", default="cosine,euclidean")
    ap.add_argument("--efs", default="16,32,64,128,256")
    ap.add_argument("--queries", type=int, default=1000)
    args = ap.parse_args(argv)

    benchlib.import_ulmoradb()
    record = {"dataset": args.dataset, "queries": args.queries, "k": K, "results": {}}
    for metric in args.metrics.split(","):
        base, _, _ = datasets.load(args.dataset, metric)
        shape = f"{base.shape[0] // 1000}k x {base.shape[1]}"
        del base
        h2s.snapshot_for(args.dataset, metric)
        results = {}
        for name, extra in SETTINGS.items():
            env = {k: v for k, v in os.environ.items() if k not in SQ8_VARS}
            env.update(extra)
            out = subprocess.run([sys.executable, __file__, "--child", args.dataset, metric, args.efs,
                                  str(args.queries)], capture_output=True, text=True, env=env)
            if out.returncode != 0:
                raise SystemExit(f"{metric}/{name} failed:\n{out.stderr}")
            results[name] = json.loads(out.stdout.strip().splitlines()[-1])
            print(f"[sq8] {metric} {name}: " + ", ".join(
                f"ef{r['ef']} {r['qps']:.0f}qps r={r['recall']:.3f}" for r in results[name]["rows"]),
                file=sys.stderr)
        record["results"][metric] = results

        efs = [r["ef"] for r in results["float"]["rows"]]
        headers = ["ef"] + [f"{s} QPS / recall" for s in SETTINGS]
        rows = []
        for i, ef in enumerate(efs):
            rows.append([ef] + [f"{results[s]['rows'][i]['qps']:,.0f} / {results[s]['rows'][i]['recall']:.3f}"
                                for s in SETTINGS])
        print(f"\n### SQ8 route, {args.dataset} {shape}, {metric} (Index(path, quantize=True); "
              f"one query per call)\n")
        print(benchlib.table(headers, rows))
        print("\nIndex construction with quantize=True: " + ", ".join(
            f"{s} {results[s]['index_build_s']:.2f}s" for s in SETTINGS))
    out = benchlib.save(f"sq8_{args.dataset}", record)
    print(f"\n(saved {out})", file=sys.stderr)


if __name__ == "__main__":
    main()

"""Side-by-side search speed of two builds of ulmoradb on one snapshot.

Each build is a Python interpreter (for example two virtual environments
with different commits installed). The builds run in alternation, one child
process per round, over the same snapshot, queries and ef values; each
round reports single-query QPS and batch QPS (threads 1 and 2), and the best
round of each build is kept, so slow phases of a shared machine fall on
both alike.

Usage: python bench/ab_search.py --a /path/to/python --b /path/to/python
       [--dataset clustered] [--metric euclidean] [--efs 32,96,384] [--rounds 3]
The snapshot is the hnswlib graph of the data set converted edge for edge
(hnsw_to_snapshot.py), as bench_search.py uses.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

CHILD = r"""
import json, sys, time
import numpy as np
import ulmoradb
snap, queries_path, efs = sys.argv[1], sys.argv[2], [int(x) for x in sys.argv[3].split(",")]
q = np.load(queries_path)
ix = ulmoradb.Index(snap)
out = {}
for ef in efs:
    for _ in range(50):
        ix.search(q[0], k=10, ef=ef)
    t = time.perf_counter()
    for row in q:
        ix.search(row, k=10, ef=ef)
    single = len(q) / (time.perf_counter() - t)
    batch = {}
    for threads in (1, 2):
        t = time.perf_counter()
        ix.search_batch(q, k=10, ef=ef, threads=threads)
        batch[threads] = len(q) / (time.perf_counter() - t)
    out[ef] = {"single": single, "batch1": batch[1], "batch2": batch[2]}
print(json.dumps(out))
"""


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--a", required=True, help="python of build A (the baseline)")
    ap.add_argument("--b", required=True, help="python of build B")
    ap.add_argument("--dataset", default="clustered")
    ap.add_argument("--metric", default="euclidean")
    ap.add_argument("--efs", default="32,96,384")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args(argv)

    import numpy as np

    import datasets
    import hnsw_to_snapshot as h2s

    base, queries, _ = datasets.load(args.dataset, args.metric)
    h2s.cached_hnswlib(args.dataset, args.metric, base)
    snap = h2s.snapshot_for(args.dataset, args.metric)
    qpath = BENCH / "out" / f"ab_queries_{args.dataset}_{args.metric}.npy"
    np.save(qpath, np.ascontiguousarray(queries[: args.queries], dtype=np.float32))

    best: dict[str, dict] = {"A": {}, "B": {}}
    for r in range(args.rounds):
        for name, py in (("A", args.a), ("B", args.b)):
            res = subprocess.run([py, "-c", CHILD, str(snap), str(qpath), args.efs], check=True,
                                 capture_output=True, text=True)
            for ef, row in json.loads(res.stdout).items():
                cur = best[name].setdefault(ef, {k: 0.0 for k in row})
                for k, v in row.items():
                    cur[k] = max(cur[k], v)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    print(f"\n{args.dataset}/{args.metric}, {args.queries} queries, k=10, best of {args.rounds} rounds\n")
    print("| ef | kind | A QPS | B QPS | B/A |")
    print("|---|---|---|---|---|")
    for ef in best["A"]:
        for kind in ("single", "batch1", "batch2"):
            a, b = best["A"][ef][kind], best["B"][ef][kind]
            print(f"| {ef} | {kind} | {a:,.0f} | {b:,.0f} | {b / a:.3f} |")


if __name__ == "__main__":
    main()

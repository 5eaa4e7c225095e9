"""Side-by-side search speed of two builds of ulmoradb on one snapshot.

Each build is a Python interpreter (for example two virtual environments
with different commits installed). The builds run in alternation, one child
process per round, over the same snapshot, queries and ef values; each
round reports single-query QPS and batch QPS (threads 1 and 2), and the best
round of each build is kept, so slow phases of a shared machine fall on
both alike.

Usage: python bench/ab_search.py --a /path/to/python --b /path/to/python
       [--dataset clustered] [--metric euclidean] [--efs 32,96,384] [--rounds 3]
       [--clock wall|cpu] [--hnswlib]
The snapshot is the hnswlib graph of the data set converted edge for edge
(hnsw_to_snapshot.py), as bench_search.py uses. A build may also be given
as a directory holding a built ``ulmoradb*.so`` (run with this interpreter).

``--clock cpu`` times with the process's CPU time instead of the wall
clock: on a machine shared with other work, time spent descheduled then
does not count, so single-thread figures stay comparable (the two-thread
batch is left out, since CPU time sums over threads). ``--hnswlib`` adds
hnswlib on the same graph as a third column, in the same alternation.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

CHILD = r"""
import json, sys, time
import numpy as np
snap, queries_path, efs, clock, lib = sys.argv[1], sys.argv[2], [int(x) for x in sys.argv[3].split(",")], sys.argv[4], sys.argv[5]
now = time.process_time if clock == "cpu" else time.perf_counter
q = np.load(queries_path)
if lib:
    import hnswlib
    space, path = lib.split(":", 1)
    ix = hnswlib.Index(space=space, dim=q.shape[1])
    ix.load_index(path)
    def single(row, ef): ix.knn_query(row, k=10, num_threads=1)
    def batch(ef, threads): ix.knn_query(q, k=10, num_threads=threads)
    def set_ef(ef): ix.set_ef(ef)
else:
    import ulmoradb
    ix = ulmoradb.Index(snap)
    def single(row, ef): ix.search(row, k=10, ef=ef)
    def batch(ef, threads): ix.search_batch(q, k=10, ef=ef, threads=threads)
    def set_ef(ef): pass
out = {}
for ef in efs:
    set_ef(ef)
    for _ in range(50):
        single(q[0], ef)
    t = now()
    for row in q:
        single(row, ef)
    row = {"single": len(q) / (now() - t)}
    for threads in ((1,) if clock == "cpu" else (1, 2)):
        t = now()
        batch(ef, threads)
        row[f"batch{threads}"] = len(q) / (now() - t)
    out[ef] = row
print(json.dumps(out))
"""


def command(build: str) -> tuple[list[str], dict]:
    """Interpreter and environment of a build (an interpreter or a build dir)."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    if Path(build).is_dir():
        env["PYTHONPATH"] = build + os.pathsep + env.get("PYTHONPATH", "")
        return [sys.executable], env
    return [build], env


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--a", required=True, help="python of build A (the baseline)")
    ap.add_argument("--b", required=True, help="python of build B")
    ap.add_argument("--dataset", default="clustered")
    ap.add_argument("--metric", default="euclidean")
    ap.add_argument("--efs", default="32,96,384")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall")
    ap.add_argument("--hnswlib", action="store_true", help="hnswlib on the same graph as column C")
    args = ap.parse_args(argv)

    import numpy as np

    import datasets
    import hnsw_to_snapshot as h2s

    base, queries, _ = datasets.load(args.dataset, args.metric)
    h2s.cached_hnswlib(args.dataset, args.metric, base)
    snap = h2s.snapshot_for(args.dataset, args.metric)
    qpath = BENCH / "out" / f"ab_queries_{args.dataset}_{args.metric}.npy"
    np.save(qpath, np.ascontiguousarray(queries[: args.queries], dtype=np.float32))

    runs = [("A", args.a, ""), ("B", args.b, "")]
    if args.hnswlib:
        graph = datasets.OUT_DIR / f"{args.dataset}_{args.metric}.hnswlib"
        runs.append(("C", sys.executable, f"{h2s.SPACE_OF[args.metric]}:{graph}"))
    best: dict[str, dict] = {name: {} for name, _, _ in runs}
    for r in range(args.rounds):
        for name, build, lib in runs:
            cmd, env = command(build)
            res = subprocess.run([*cmd, "-c", CHILD, str(snap), str(qpath), args.efs, args.clock, lib], check=True,
                                 capture_output=True, text=True, env=env)
            for ef, row in json.loads(res.stdout).items():
                cur = best[name].setdefault(ef, {k: 0.0 for k in row})
                for k, v in row.items():
                    cur[k] = max(cur[k], v)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    print(f"\n{args.dataset}/{args.metric}, {args.queries} queries, k=10, best of {args.rounds} rounds, "
          f"{args.clock} clock\n")
    c = " | C QPS (hnswlib) | B/C" if args.hnswlib else ""
    print(f"| ef | kind | A QPS | B QPS | B/A{c} |")
    print("|---|---|---|---|---|" + ("---|---|" if args.hnswlib else ""))
    for ef in best["A"]:
        for kind in best["A"][ef]:
            a, b = best["A"][ef][kind], best["B"][ef][kind]
            line = f"| {ef} | {kind} | {a:,.0f} | {b:,.0f} | {b / a:.3f}"
            if args.hnswlib:
                cq = best["C"][ef][kind]
                line += f" | {cq:,.0f} | {b / cq:.3f}"
            print(line + " |")

if __name__ == "__main__":
    main()

"""Side-by-side search speed of two or more builds of ulmoradb.

A build is a Python interpreter with ulmoradb installed (for example a
virtual environment holding another commit) or a directory holding a built
``ulmoradb*.so`` (run with this interpreter). Every run is a fresh child
process; the builds take turns, so slow phases of a shared machine fall on
all of them alike. Two modes:

``best``: builds A and B (and ``--hnswlib`` as C) on one data set's hnswlib
graph converted edge for edge (hnsw_to_snapshot.py, as bench_search.py
uses). Each round reports single-query QPS and batch QPS (threads 1 and 2)
at every ef; the best round of each build is kept. ``--clock cpu`` times
with the process's CPU time, so time spent descheduled does not count and
single-thread figures stay comparable (the two-thread batch is left out,
since CPU time sums over threads).

    python -m bench.ab best --a /path/to/python --b /path/to/python
        [--dataset clustered] [--metric euclidean] [--efs 32,96,384] [--rounds 3]
        [--clock wall|cpu] [--hnswlib]

``paired``: any number of builds on a peer-benchmark graph
(``bench/out/peers/SET/``: ``ulmoradb.snap``, ``queries_1000.npy``, written
by peers.py), one setting. Each round runs every build once, alternating
the order; each run times the whole query set (best of two passes) by CPU
time. The report gives, per build, the median over rounds of its QPS over
the first build's in the same round, with the smallest and largest round:
pairing within a round keeps slow phases out of the ratio better than
comparing best-of figures. SQ8 routes are chosen as usual through the
environment (VECTORDB_SQ8_RERANK_FACTOR); the index is loaded with
``quantize=True`` unless --float is given.

    python -m bench.ab paired --set clustered --ef 10 [--rounds 8]
        [--patience 2] [--mode batch1|single] [--float] BUILD BUILD ...
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
PEERS = BENCH / "out" / "peers"

BEST_CHILD = r"""
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

PAIRED_CHILD = r"""
import sys, time
import numpy as np
import ulmoradb
folder, ef, patience, mode, quantize = sys.argv[1:6]
ef, patience = int(ef), int(patience)
q = np.load(f"{folder}/queries_1000.npy")
ix = ulmoradb.Index(f"{folder}/ulmoradb.snap", quantize=quantize == "1")
ix.search_batch(q[:200], k=10, ef=ef, patience=patience)
best = 0.0
for _ in range(2):
    t = time.process_time()
    if mode == "batch1":
        ix.search_batch(q, k=10, ef=ef, patience=patience, threads=1)
    else:
        for row in q:
            ix.search(row, k=10, ef=ef, patience=patience)
    best = max(best, len(q) / (time.process_time() - t))
print(best)
"""


def command(build: str) -> tuple[list[str], dict]:
    """Interpreter and environment of a build (an interpreter or a build dir)."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    if Path(build).is_dir():
        env["PYTHONPATH"] = build + os.pathsep + env.get("PYTHONPATH", "")
        return [sys.executable], env
    return [build], env


def run_child(build: str, code: str, *args: str) -> str:
    cmd, env = command(build)
    return subprocess.run([*cmd, "-c", code, *args], check=True, capture_output=True, text=True, env=env).stdout


def best(args) -> None:
    import numpy as np

    from bench import datasets
    from bench import hnsw_to_snapshot as h2s

    base, queries, _ = datasets.load(args.dataset, args.metric)
    h2s.cached_hnswlib(args.dataset, args.metric, base)
    snap = h2s.snapshot_for(args.dataset, args.metric)
    qpath = BENCH / "out" / f"ab_queries_{args.dataset}_{args.metric}.npy"
    np.save(qpath, np.ascontiguousarray(queries[: args.queries], dtype=np.float32))

    runs = [("A", args.a, ""), ("B", args.b, "")]
    if args.hnswlib:
        graph = datasets.OUT_DIR / f"{args.dataset}_{args.metric}.hnswlib"
        runs.append(("C", sys.executable, f"{h2s.SPACE_OF[args.metric]}:{graph}"))
    top: dict[str, dict] = {name: {} for name, _, _ in runs}
    for r in range(args.rounds):
        for name, build, lib in runs:
            out = run_child(build, BEST_CHILD, str(snap), str(qpath), args.efs, args.clock, lib)
            for ef, row in json.loads(out).items():
                cur = top[name].setdefault(ef, {k: 0.0 for k in row})
                for k, v in row.items():
                    cur[k] = max(cur[k], v)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    print(f"\n{args.dataset}/{args.metric}, {args.queries} queries, k=10, best of {args.rounds} rounds, "
          f"{args.clock} clock\n")
    c = " | C QPS (hnswlib) | B/C" if args.hnswlib else ""
    print(f"| ef | kind | A QPS | B QPS | B/A{c} |")
    print("|---|---|---|---|---|" + ("---|---|" if args.hnswlib else ""))
    for ef in top["A"]:
        for kind in top["A"][ef]:
            a, b = top["A"][ef][kind], top["B"][ef][kind]
            line = f"| {ef} | {kind} | {a:,.0f} | {b:,.0f} | {b / a:.3f}"
            if args.hnswlib:
                cq = top["C"][ef][kind]
                line += f" | {cq:,.0f} | {b / cq:.3f}"
            print(line + " |")


def paired(args) -> None:
    folder = PEERS / args.set
    if not (folder / "ulmoradb.snap").exists():
        raise SystemExit(f"{folder}/ulmoradb.snap is missing: run python -m bench.peers --sets {args.set} first")
    qps: dict[str, list[float]] = {b: [] for b in args.builds}
    for r in range(args.rounds):
        for build in args.builds if r % 2 == 0 else args.builds[::-1]:
            out = run_child(build, PAIRED_CHILD, str(folder), str(args.ef), str(args.patience), args.mode,
                            "0" if args.float else "1")
            qps[build].append(float(out))
    base = qps[args.builds[0]]
    for build in args.builds:
        ratios = [b / a for a, b in zip(base, qps[build])]
        print(f"{build}: median QPS {statistics.median(qps[build]):,.0f}, ratio to the first build "
              f"{statistics.median(ratios):.3f} (rounds {min(ratios):.3f}-{max(ratios):.3f})")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="mode_name", metavar="MODE", required=True)

    b = sub.add_parser("best", help="builds A and B (and hnswlib) on a data set's converted hnswlib graph")
    b.add_argument("--a", required=True, help="build A (the baseline): a python or a build dir")
    b.add_argument("--b", required=True, help="build B: a python or a build dir")
    b.add_argument("--dataset", default="clustered")
    b.add_argument("--metric", default="euclidean")
    b.add_argument("--efs", default="32,96,384")
    b.add_argument("--queries", type=int, default=1000)
    b.add_argument("--rounds", type=int, default=3)
    b.add_argument("--clock", choices=("wall", "cpu"), default="wall")
    b.add_argument("--hnswlib", action="store_true", help="hnswlib on the same graph as column C")
    b.set_defaults(run=best)

    p = sub.add_parser("paired", help="median paired QPS ratios on a peer-benchmark graph")
    p.add_argument("builds", nargs="+", help="pythons or build dirs; the first is the baseline")
    p.add_argument("--set", default="clustered")
    p.add_argument("--ef", type=int, default=10)
    p.add_argument("--rounds", type=int, default=8)
    p.add_argument("--patience", type=int, default=2)
    p.add_argument("--mode", choices=("batch1", "single"), default="batch1")
    p.add_argument("--float", action="store_true", help="load without SQ8 codes")
    p.set_defaults(run=paired)

    args = ap.parse_args(argv)
    args.run(args)


if __name__ == "__main__":
    main()

"""Paired A/B of two or more ulmoradb builds on a peer-benchmark graph.

Each round runs every build once, as a fresh child process, in alternating
order; each run times the whole query set (best of two passes) by the
process's CPU time. The report gives, per build, the median over rounds of
its QPS divided by the first build's QPS in the same round, with the
smallest and largest round. Pairing within a round keeps slow phases of a
shared machine out of the ratio better than comparing best-of figures.

The graphs and queries are those ``peers.py`` writes under
``bench/out/peers/SET/`` (``ulmoradb.snap``, ``queries_1000.npy``).

Usage: python bench/ab_paired.py --set clustered --ef 10 [--rounds 8]
         [--patience 2] [--mode batch1|single] [--float] BUILD_DIR BUILD_DIR ...
A build is a directory holding a built ``ulmoradb*.so``. SQ8 routes are
chosen as usual through the environment (VECTORDB_SQ8_RERANK_FACTOR); the
index is loaded with ``quantize=True`` unless --float is given.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
from pathlib import Path

PEERS = Path(__file__).resolve().parent / "out" / "peers"

CHILD = r"""
import sys, time
import numpy as np
lib, folder, ef, patience, mode, quantize = sys.argv[1:7]
sys.path.insert(0, lib)
import ulmoradb
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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="+", help="directories holding a built ulmoradb*.so; the first is the baseline")
    ap.add_argument("--set", default="clustered")
    ap.add_argument("--ef", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=8)
    ap.add_argument("--patience", type=int, default=2)
    ap.add_argument("--mode", choices=("batch1", "single"), default="batch1")
    ap.add_argument("--float", action="store_true", help="load without SQ8 codes")
    args = ap.parse_args(argv)
    folder = PEERS / args.set
    if not (folder / "ulmoradb.snap").exists():
        raise SystemExit(f"{folder}/ulmoradb.snap is missing: run bench/peers.py --sets {args.set} first")
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    qps: dict[str, list[float]] = {b: [] for b in args.builds}
    for r in range(args.rounds):
        for build in args.builds if r % 2 == 0 else args.builds[::-1]:
            cmd = [sys.executable, "-c", CHILD, build, str(folder), str(args.ef), str(args.patience), args.mode,
                   "0" if args.float else "1"]
            qps[build].append(float(subprocess.run(cmd, capture_output=True, text=True, check=True, env=env).stdout))
    base = qps[args.builds[0]]
    for build in args.builds:
        ratios = [b / a for a, b in zip(base, qps[build])]
        print(f"{build}: median QPS {statistics.median(qps[build]):,.0f}, ratio to the first build "
              f"{statistics.median(ratios):.3f} (rounds {min(ratios):.3f}-{max(ratios):.3f})")


if __name__ == "__main__":
    main()

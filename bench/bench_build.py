"""Graph build throughput and the recall each graph reaches.

On the "hard" 50k x 128 set (Euclidean):
- ulmora_build (tools/ulmora_build.cc, graph insertion in the core) with 1
  and 2 threads, M=16, ef_construction=200: points/s of the insertion phase
  as the tool reports it;
- hnswlib add_items with 1 and 2 threads, same M and ef_construction;
- recall@10 at ef 64/128/256 of: our graph searched by ulmoradb, the hnswlib
  graph searched by hnswlib, and the hnswlib graph converted to a snapshot
  and searched by ulmoradb (same search code on both graphs).

With --ef-construction 200,100 (for example) our graph is also built with
the smaller beams, to show the throughput at which its recall still matches
hnswlib's ef_construction=200 graph; hnswlib is always built with 200.

Usage: python bench/bench_build.py [--tool build/h7/tools/ulmora_build]
       [--threads 1,2] [--ef-construction 200[,E...]] [--repeat N]
       [--limit N (first N points only, for smoke runs)]
"""

from __future__ import annotations

import argparse
import glob
import os
import re
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
EFS = (64, 128, 256)
RATE = re.compile(r"in ([0-9.]+) s: ([0-9.]+) points/s")


def find_tool() -> str:
    found = glob.glob(str(benchlib.REPO / "build" / "**" / "tools" / "ulmora_build"), recursive=True)
    found = [p for p in found if os.access(p, os.X_OK)]
    if not found:
        raise SystemExit("ulmora_build not found: configure with -DULMORA_BUILD_TOOLS=ON and build "
                         "the ulmora_build target, or pass --tool")
    return max(found, key=os.path.getmtime)


def ulmora_build(tool: str, npy: Path, out: Path, threads: int, limit: int | None, efc: int = 200) -> dict:
    cmd = [tool, "--input", str(npy), "--output", str(out), "--metric", "euclidean", "--m", "16",
           "--ef-construction", str(efc), "--threads", str(threads)]
    if limit:
        cmd += ["--limit", str(limit)]
    t = time.perf_counter()
    res = subprocess.run(cmd, capture_output=True, text=True)
    wall = time.perf_counter() - t
    if res.returncode != 0:
        raise SystemExit(f"{' '.join(cmd)} failed ({res.returncode}):\n{res.stderr}")
    m = RATE.search(res.stdout)
    if not m:
        raise SystemExit(f"unexpected ulmora_build output:\n{res.stdout}")
    return {"insert_s": float(m.group(1)), "points_per_s": float(m.group(2)), "wall_s": wall}


def timed(fn) -> tuple[float, np.ndarray]:
    """(QPS, ids) of one whole-matrix call on one thread, best of 3."""
    ids = fn()
    secs = benchlib.best_of(fn, repeat=3)
    return 1.0 / secs, np.asarray(ids).astype(np.int64)


def recall_ulmora(ulmoradb, snap: Path, queries, gt) -> dict:
    """ef -> (recall@K, QPS of search_batch with threads=1)."""
    idx = ulmoradb.Index(str(snap))
    out = {}
    for ef in EFS:
        rate, ids = timed(lambda: idx.search_batch(queries, k=K, ef=ef, threads=1)[0])
        out[ef] = (datasets.recall_at_k(ids, gt, K), rate * queries.shape[0])
    return out


def recall_hnswlib(index, queries, gt) -> dict:
    out = {}
    for ef in EFS:
        index.set_ef(ef)
        rate, ids = timed(lambda: index.knn_query(queries, k=K, num_threads=1)[0])
        out[ef] = (datasets.recall_at_k(ids, gt, K), rate * queries.shape[0])
    return out


def mean_degree0(snap: Path) -> float:
    """Mean level-0 neighbour count (self entry excluded) of a snapshot
    written by ulmora_build or tests/snapshot_writer.py (layers come first in the body)."""
    data = np.fromfile(snap, dtype=np.uint8)
    pos = 8  # "VDBS" + version

    def u64() -> int:
        nonlocal pos
        v = int(data[pos : pos + 8].view("<u8")[0])
        pos += 8
        return v

    levels = u64()
    for _ in range(levels):
        level, n = u64(), u64()
        total = 0
        for _ in range(n):
            u64()
            length = u64()
            pos += 8 * length
            total += length - 1
        if level == 0:
            return total / max(n, 1)
    return 0.0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tool", help="path of the ulmora_build binary (default: newest under build/)")
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--ef-construction", default="200", help="comma-separated beams for our builds")
    ap.add_argument("--repeat", type=int, default=1, help="builds per configuration; the best counts")
    ap.add_argument("--limit", type=int, help="use only the first N points")
    args = ap.parse_args(argv)

    ulmoradb = benchlib.import_ulmoradb()
    tool = args.tool or find_tool()
    base, queries, gt = datasets.load("hard", "euclidean")
    npy = datasets.DATA_DIR / "hard_base.npy"
    if args.limit and args.limit < base.shape[0]:
        base = base[: args.limit]
        gt = datasets.ground_truth(base, queries, K, "euclidean")
    n = base.shape[0]
    datasets.OUT_DIR.mkdir(parents=True, exist_ok=True)

    threads = [int(t) for t in args.threads.split(",")]
    efcs = [int(e) for e in args.ef_construction.split(",")]
    ours, theirs, snaps = {}, {}, {}
    hnsw_index = None
    # Builds alternate between the libraries and each figure is the best of
    # --repeat runs: on a shared machine single runs vary by 10-20%.
    for t in threads:
        for rep in range(args.repeat):
            for efc in efcs:
                snap = datasets.OUT_DIR / f"hard_built_efc{efc}_t{t}.snap"
                run = ulmora_build(tool, npy, snap, t, args.limit, efc)
                if (efc, t) not in ours or run["points_per_s"] > ours[(efc, t)]["points_per_s"]:
                    ours[(efc, t)] = run
                snaps[efc] = snap  # the last thread count's graph is the one searched
                print(f"[build] ulmora_build ef_construction={efc} threads={t}: "
                      f"{run['points_per_s']:.0f} points/s", file=sys.stderr)
            hnsw_index, secs = h2s.build_hnswlib(base, "euclidean", threads=t)
            if t not in theirs or n / secs > theirs[t]["points_per_s"]:
                theirs[t] = {"insert_s": secs, "points_per_s": n / secs}
            print(f"[build] hnswlib threads={t}: {n / secs:.0f} points/s", file=sys.stderr)

    conv = datasets.OUT_DIR / "hard_hnswlib_converted.snap"
    h2s.write_snapshot(hnsw_index, conv)
    recall = {f"ulmora graph (ef_construction {efc}), ulmoradb search": recall_ulmora(ulmoradb, snaps[efc], queries, gt)
              for efc in efcs}
    recall["hnswlib graph, hnswlib search"] = recall_hnswlib(hnsw_index, queries, gt)
    recall["hnswlib graph, ulmoradb search"] = recall_ulmora(ulmoradb, conv, queries, gt)

    print(f"\n### Build, hard {n} x {base.shape[1]} Euclidean, M=16 (hnswlib ef_construction=200)\n")
    print(benchlib.table(["threads", "ulmora ef_construction", "ulmora_build points/s", "hnswlib points/s", "ratio"],
                         [[t, efc, ours[(efc, t)]["points_per_s"], theirs[t]["points_per_s"],
                           ours[(efc, t)]["points_per_s"] / theirs[t]["points_per_s"]]
                          for t in threads for efc in efcs]))
    degree = {"ulmora": mean_degree0(snaps[efcs[0]]), "hnswlib": mean_degree0(conv)}
    print(f"\nrecall@{K} / QPS (whole query matrix, one thread) over {queries.shape[0]} queries; "
          f"ulmora graphs = the {threads[-1]}-thread builds. Mean level-0 degree: ulmora graph "
          f"{degree['ulmora']:.1f}, hnswlib graph {degree['hnswlib']:.1f}.\n")
    print(benchlib.table(["graph / search"] + [f"ef {ef}" for ef in EFS],
                         [[name] + [f"{r[ef][0]:.4f} / {r[ef][1]:,.0f}" for ef in EFS]
                          for name, r in recall.items()]))
    ours = {f"efc{efc}_t{t}": v for (efc, t), v in ours.items()}
    out = benchlib.save("build_hard", {"n": n, "dim": base.shape[1], "ulmora": ours, "hnswlib": theirs,
                                       "degree0": degree,
                                       "recall_qps": {k: {str(e): v for e, v in r.items()} for k, r in recall.items()}})
    print(f"\n(saved {out})", file=sys.stderr)


if __name__ == "__main__":
    main()

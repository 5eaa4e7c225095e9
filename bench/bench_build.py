"""Graph build throughput and the recall each graph reaches.

On the "hard" 50k x 128 set (Euclidean) or another --dataset:
- ulmora_build (tools/ulmora_build.cc, graph insertion in the core) with 1
  and 2 threads, M=16, ef_construction=200: points/s of the insertion phase
  as the tool reports it;
- hnswlib add_items with 1 and 2 threads, same M and ef_construction;
- recall@10 at ef 64/128/256 of: our graph searched by ulmoradb, the hnswlib
  graph searched by hnswlib, and the hnswlib graph converted to a snapshot
  and searched by ulmoradb (same search code on both graphs).

With --ef-construction 200,100 (for example) our graph is also built with
the smaller beams, to show the throughput at which its recall still matches
hnswlib's ef_construction=200 graph; --hnswlib-ef-construction 200,100
builds hnswlib at both too. --dataset picks another set (clustered,
clustered200k); --baseline-tool runs an older ulmora_build alternately with
the current one (A/B on a shared machine).

Usage: python -m bench.bench_build [--tool build/h7/tools/ulmora_build]
       [--baseline-tool OLD/ulmora_build] [--dataset hard|clustered|clustered200k]
       [--threads 1,2] [--ef-construction 200[,E...]]
       [--hnswlib-ef-construction 200[,E...]] [--repeat N]
       [--limit N (first N points only, for smoke runs)]
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from ulmora.exact import recall

from bench import benchlib, datasets
from bench import hnsw_to_snapshot as h2s

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
    cpu0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    res = subprocess.run(cmd, capture_output=True, text=True)
    cpu1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.perf_counter() - t
    # CPU seconds of the whole run (load and write included): on a shared
    # machine points per CPU second vary far less than points per second.
    cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
    if res.returncode != 0:
        raise SystemExit(f"{' '.join(cmd)} failed ({res.returncode}):\n{res.stderr}")
    m = RATE.search(res.stdout)
    if not m:
        raise SystemExit(f"unexpected ulmora_build output:\n{res.stdout}")
    n_points = float(m.group(2)) * float(m.group(1))
    return {"insert_s": float(m.group(1)), "points_per_s": float(m.group(2)), "wall_s": wall, "cpu_s": cpu,
            "points_per_cpu_s": n_points / cpu}


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
        out[ef] = (recall(ids, gt, K), rate * queries.shape[0])
    return out


def recall_hnswlib(index, queries, gt) -> dict:
    out = {}
    for ef in EFS:
        index.set_ef(ef)
        rate, ids = timed(lambda: index.knn_query(queries, k=K, num_threads=1)[0])
        out[ef] = (recall(ids, gt, K), rate * queries.shape[0])
    return out


def mean_degree0(snap: Path) -> float:
    """Mean level-0 neighbour count (self entry excluded) of a snapshot
    written by ulmora_build or testkit/snapshot_writer.py (layers come first in the body)."""
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
    ap.add_argument("--baseline-tool", help="a second ulmora_build (an older build) run alternately with --tool")
    ap.add_argument("--dataset", default="hard", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--ef-construction", default="200", help="comma-separated beams for our builds")
    ap.add_argument("--hnswlib-ef-construction", default="200", help="comma-separated beams for hnswlib")
    ap.add_argument("--repeat", type=int, default=1, help="builds per configuration; the best counts")
    ap.add_argument("--limit", type=int, help="use only the first N points")
    args = ap.parse_args(argv)

    ulmoradb = benchlib.import_ulmoradb()
    tools = {"ulmora": args.tool or find_tool()}
    if args.baseline_tool:
        tools["baseline"] = args.baseline_tool
    name = args.dataset
    base, queries, gt = datasets.load(name, "euclidean")
    npy = datasets.DATA_DIR / f"{name}_base.npy"
    if args.limit and args.limit < base.shape[0]:
        base = base[: args.limit]
        gt = datasets.ground_truth(base, queries, K, "euclidean")
    n = base.shape[0]
    datasets.OUT_DIR.mkdir(parents=True, exist_ok=True)

    threads = [int(t) for t in args.threads.split(",")]
    efcs = [int(e) for e in args.ef_construction.split(",")]
    hefcs = [int(e) for e in args.hnswlib_ef_construction.split(",")]
    ours, theirs, snaps, hnsw_graphs = {}, {}, {}, {}
    # Builds alternate between the tools and libraries and each figure is
    # the best of --repeat runs: on a shared machine single runs vary by 10-20%.
    for t in threads:
        for rep in range(args.repeat):
            for efc in efcs:
                for label, tool in tools.items():
                    snap = datasets.OUT_DIR / f"{name}_{label}_efc{efc}_t{t}.snap"
                    run = ulmora_build(tool, npy, snap, t, args.limit, efc)
                    key = (label, efc, t)
                    prev = ours.get(key)
                    if prev:  # best of each figure separately
                        run["points_per_s"] = max(run["points_per_s"], prev["points_per_s"])
                        run["points_per_cpu_s"] = max(run["points_per_cpu_s"], prev["points_per_cpu_s"])
                    ours[key] = run
                    snaps[(label, efc)] = snap  # the last thread count's graph is the one searched
                    print(f"[build] {label} ef_construction={efc} threads={t}: "
                          f"{run['points_per_s']:.0f} points/s", file=sys.stderr)
            for hefc in hefcs:
                cpu0 = time.process_time()
                index, secs = h2s.build_hnswlib(base, "euclidean", ef_construction=hefc, threads=t)
                cpu = time.process_time() - cpu0
                hnsw_graphs[hefc] = index
                prev = theirs.get((hefc, t))
                theirs[(hefc, t)] = {"insert_s": min(secs, prev["insert_s"]) if prev else secs,
                                     "points_per_s": max(n / secs, prev["points_per_s"]) if prev else n / secs,
                                     "points_per_cpu_s": max(n / cpu, prev["points_per_cpu_s"]) if prev else n / cpu}
                print(f"[build] hnswlib ef_construction={hefc} threads={t}: {n / secs:.0f} points/s",
                      file=sys.stderr)

    recall = {f"{label} graph (ef_construction {efc}), ulmoradb search":
              recall_ulmora(ulmoradb, snaps[(label, efc)], queries, gt) for label in tools for efc in efcs}
    for hefc, index in hnsw_graphs.items():
        recall[f"hnswlib graph (ef_construction {hefc}), hnswlib search"] = recall_hnswlib(index, queries, gt)
    conv = datasets.OUT_DIR / f"{name}_hnswlib_converted.snap"
    h2s.write_snapshot(hnsw_graphs[hefcs[0]], conv)
    recall[f"hnswlib graph (ef_construction {hefcs[0]}), ulmoradb search"] = recall_ulmora(ulmoradb, conv, queries, gt)

    print(f"\n### Build, {name} {n} x {base.shape[1]} Euclidean, M=16\n")
    rows = []
    for t in threads:
        for label in tools:
            for efc in efcs:
                mine = ours[(label, efc, t)]["points_per_s"]
                mine_cpu = ours[(label, efc, t)]["points_per_cpu_s"]
                rows.append([t, f"{label} {efc}", mine, mine_cpu] +
                            [f"{mine / theirs[(h, t)]['points_per_s']:.2f} / "
                             f"{mine_cpu / theirs[(h, t)]['points_per_cpu_s']:.2f}" for h in hefcs])
        for h in hefcs:
            rows.append([t, f"hnswlib {h}", theirs[(h, t)]["points_per_s"], theirs[(h, t)]["points_per_cpu_s"]] +
                        ["" for _ in hefcs])
    print(benchlib.table(["threads", "build, ef_construction", "points/s", "points/CPU s"] +
                         [f"ratio to hnswlib {h} (wall / CPU)" for h in hefcs], rows))
    first = next(iter(tools))
    degree = {"ulmora": mean_degree0(snaps[(first, efcs[0])]), "hnswlib": mean_degree0(conv)}
    print(f"\nrecall@{K} / QPS (whole query matrix, one thread) over {queries.shape[0]} queries; "
          f"graphs = the {threads[-1]}-thread builds. Mean level-0 degree: {first} graph "
          f"{degree['ulmora']:.1f}, hnswlib graph {degree['hnswlib']:.1f}.\n")
    print(benchlib.table(["graph / search"] + [f"ef {ef}" for ef in EFS],
                         [[label] + [f"{r[ef][0]:.4f} / {r[ef][1]:,.0f}" for ef in EFS]
                          for label, r in recall.items()]))
    record = {"n": n, "dim": base.shape[1], "tools": tools, "degree0": degree,
              "ulmora": {f"{label}_efc{efc}_t{t}": v for (label, efc, t), v in ours.items()},
              "hnswlib": {f"efc{h}_t{t}": v for (h, t), v in theirs.items()},
              "recall_qps": {k: {str(e): v for e, v in r.items()} for k, r in recall.items()}}
    out = benchlib.save(f"build_{name}", record)
    print(f"\n(saved {out})", file=sys.stderr)


if __name__ == "__main__":
    main()

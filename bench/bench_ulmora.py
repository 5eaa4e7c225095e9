"""The ulmora package's write path.

1. Build: `ulmora.build` with 2 threads vs the `tools/ulmora_build` binary
   (same core, must be at least as fast) vs hnswlib `add_items` (2 threads),
   all at M=16, ef_construction=200, on a generated set (`hard`, 50k x 128,
   Euclidean by default); recall@10 of each graph at a few ef values.
2. Insert: batches of 1,000 points into a 100k-point segment (`clustered`)
   through `ulmora.open(...).insert`, points/s with the log's fsync policy
   (VECTORDB_WAL_FSYNC) on and off.

The machine may be shared: `ulmora.build` and the tool run interleaved,
`--repeat` times each, and the best run of each counts.

Usage: python -m bench.bench_ulmora [--dataset hard] [--limit N] [--repeat 3] [--batches 10] [--tool PATH]
Results: a table on stdout and bench/out/ulmora.json.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from ulmora.exact import recall

from bench import benchlib, datasets
from bench.bench_build import RATE, find_tool, ulmora_build  # noqa: F401  (RATE documents the tool's output)

EFS = (32, 64, 128)
M, EFC = 16, 200


def recall_of(search, queries: np.ndarray, gt: np.ndarray) -> dict:
    out = {}
    for ef in EFS:
        ids = np.asarray(search(queries, ef)).astype(np.int64)
        out[ef] = recall(ids, gt, 10)
    return out


def bench_build(name: str, tool: str | None, work: Path, limit: int | None, repeat: int) -> dict:
    import hnswlib
    import ulmora
    import ulmoradb

    base, queries, gt = datasets.load(name, "euclidean")
    if limit:
        # Ground truth of the subset, so recall stays meaningful.
        base = np.ascontiguousarray(base[:limit])
        gt = datasets.ground_truth(base, queries, 10, "euclidean")
    n = len(base)
    npy = work / "base.npy"
    np.save(npy, base)
    runs = {"ulmora.build": [], "tools/ulmora_build": []}
    for _ in range(repeat):
        r = ulmora.build(work / "pkg.snap", base, metric="euclidean", m=M, ef_construction=EFC, threads=2,
                         progress=False)
        runs["ulmora.build"].append((r["insert_seconds"], r["seconds"]))
        print(f"[ulmora] ulmora.build: {r['points_per_second']:.0f} points/s", file=sys.stderr)
        if tool:
            t = ulmora_build(tool, npy, work / "tool.snap", 2, None, EFC)
            runs["tools/ulmora_build"].append((t["insert_s"], t["wall_s"]))
            print(f"[ulmora] ulmora_build: {t['points_per_s']:.0f} points/s", file=sys.stderr)
    rows = {}
    for label, snap in (("ulmora.build", "pkg.snap"), ("tools/ulmora_build", "tool.snap")):
        if not runs[label]:
            continue
        best = min(runs[label])
        search = ulmoradb.Index(str(work / snap)).search_batch
        median = float(np.median([r[0] for r in runs[label]]))
        rows[label] = {"points_per_s": n / best[0], "median_points_per_s": n / median, "insert_s": best[0],
                       "total_s": best[1],
                       "all_insert_s": [r[0] for r in runs[label]],
                       "recall": recall_of(lambda q, ef: search(q, k=10, ef=ef)[0], queries, gt)}

    # Our graph at a lower ef_construction, for throughput at recall no worse than hnswlib's.
    r = ulmora.build(work / "low.snap", base, metric="euclidean", m=M, ef_construction=EFC // 2, threads=2,
                     progress=False)
    low = ulmoradb.Index(str(work / "low.snap")).search_batch
    rows[f"ulmora.build ef_construction={EFC // 2}"] = {
        "points_per_s": r["points_per_second"], "insert_s": r["insert_seconds"], "total_s": r["seconds"],
        "recall": recall_of(lambda q, ef: low(q, k=10, ef=ef)[0], queries, gt)}

    h = hnswlib.Index(space="l2", dim=base.shape[1])
    h.init_index(max_elements=n, M=M, ef_construction=EFC, random_seed=100)
    t0 = time.perf_counter()
    h.add_items(base, np.arange(n), num_threads=2)
    secs = time.perf_counter() - t0

    def hsearch(q, ef):
        h.set_ef(ef)
        return h.knn_query(q, k=10, num_threads=1)[0]

    rows["hnswlib add_items"] = {"points_per_s": n / secs, "insert_s": secs, "total_s": secs,
                                 "recall": recall_of(hsearch, queries, gt)}
    print(f"[ulmora] hnswlib: {n / secs:.0f} points/s", file=sys.stderr)
    return {"dataset": name, "points": n, "repeat": repeat, "rows": rows}


def bench_insert(batches: int, work: Path) -> dict:
    import ulmora

    base, queries, _ = datasets.load("clustered", "euclidean")
    snap = datasets.DATA_DIR / "clustered_ulmora_m16.snap"
    if not snap.exists():
        ulmora.build(snap, base, metric="euclidean", m=M, ef_construction=EFC, threads=2, progress=False)
    rng = np.random.default_rng(5)
    # New points from the same mixture: queries plus small noise.
    extra = queries[rng.integers(0, len(queries), batches * 1000)] + \
        rng.normal(0, 0.01, (batches * 1000, base.shape[1])).astype(np.float32)
    out = {}
    for fsync in ("1", "0"):
        case = work / f"ins{fsync}"
        case.mkdir()
        shutil.copy(snap, case / "seg.snap")
        os.environ["VECTORDB_WAL_FSYNC"] = fsync  # read when the log is opened
        with ulmora.open(case / "seg.snap") as seg:
            times = []
            for b in range(batches):
                batch = extra[b * 1000:(b + 1) * 1000]
                t0 = time.perf_counter()
                seg.insert(batch, payloads=[{"batch": b}] * 1000, threads=2)
                times.append(time.perf_counter() - t0)
        os.environ.pop("VECTORDB_WAL_FSYNC")
        out["on" if fsync == "1" else "off"] = {"points_per_s": batches * 1000 / sum(times),
                                                "median_batch_s": float(np.median(times))}
        print(f"[ulmora] insert fsync={fsync}: {out['on' if fsync == '1' else 'off']}", file=sys.stderr)
    return {"segment_points": len(base), "batches": batches, "batch": 1000, "fsync": out}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dataset", default="hard")
    ap.add_argument("--batches", type=int, default=10)
    ap.add_argument("--limit", type=int, help="build from the first N points only")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-insert", action="store_true")
    ap.add_argument("--tool", help="ulmora_build binary (default: newest under build/)")
    ap.add_argument("--skip-build", action="store_true")
    args = ap.parse_args(argv)
    tool = args.tool
    if tool is None:
        try:
            tool = find_tool()
        except SystemExit as e:
            print(f"[ulmora] {e}; skipping the tool", file=sys.stderr)
    record = {}
    with tempfile.TemporaryDirectory(dir=benchlib.OUT_DIR if benchlib.OUT_DIR.exists() else None) as tmp:
        work = Path(tmp)
        if not args.skip_build:
            record["build"] = bench_build(args.dataset, tool, work, args.limit, args.repeat)
        if not args.skip_insert:
            record["insert"] = bench_insert(args.batches, work)
    if "build" in record:
        b = record["build"]
        print(f"build: {b['dataset']} ({b['points']} x 128, Euclidean), M={M}, ef_construction={EFC}, 2 threads, "
              f"best of {b['repeat']} interleaved runs\n")
        print(benchlib.table(["builder", "points/s (best)", "points/s (median)"] +
                             [f"recall@10 ef={e}" for e in EFS],
                             [[k, v["points_per_s"], v.get("median_points_per_s", "")] +
                              [v["recall"][e] for e in EFS] for k, v in b["rows"].items()]))
    if "insert" not in record:
        print(f"\nsaved {benchlib.save('ulmora', record)}", file=sys.stderr)
        return 0
    i = record["insert"]
    print(f"\ninsert: {i['batches']} batches of {i['batch']} into a {i['segment_points']}-point segment, 2 threads\n")
    print(benchlib.table(["VECTORDB_WAL_FSYNC", "points/s", "median batch s"],
                         [[k, v["points_per_s"], v["median_batch_s"]] for k, v in i["fsync"].items()]))
    print(f"\nsaved {benchlib.save('ulmora', record)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Snapshot load speed and resident memory per node.

Load: ``ulmoradb.Index(path)`` in a fresh process with
VECTORDB_LOG_SNAPSHOT_LOAD_TIMING=1; the loader's stderr line gives read_ms,
checksum_ms, deserialize_ms and build_ms of the segment load, and the
constructor's total wall time also covers the export and second restore the
Index performs. Each stage is shown as MB/s of the file size, next to a plain
``read()`` of the same (page-cached) file.

Memory: RSS before and after constructing the Index in a fresh process
(freed heap returned with malloc_trim first), minus the raw vector bytes,
per node; the same for hnswlib's ``load_index`` of the same graph. The peak
resident set of the load (VmHWM) is shown against the resident set after it.

``--baseline DIR`` adds a second build of the module (the directory holding
its ulmoradb*.so, e.g. a build of an older commit) as its own child kind;
kinds alternate within each round, so bursts of other load on a shared
machine hit every kind alike.

Usage: python -m bench.bench_load [--dataset clustered] [--metric euclidean] [--repeat 3]
                                  [--baseline DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from bench import benchlib, datasets
from bench import hnsw_to_snapshot as h2s

TIMING = re.compile(r"snapshot_load path=.* bytes=(\d+) read_ms=(\d+) checksum_ms=(\d+) deserialize_ms=(\d+) "
                    r"build_ms=(\d+) wal_replay_ms=(\d+) total_ms=(\d+)")


def child(kind: str, path: str, n: int, dim: int, metric: str, module_dir: str = "") -> None:
    """Runs in a fresh process; prints one JSON line."""
    import numpy  # noqa: F401  (loaded before the baseline so it is not counted)

    if kind == "ulmora":
        if module_dir:
            sys.path.insert(0, module_dir)
        ulmoradb = benchlib.import_ulmoradb()
    else:
        import hnswlib
    benchlib.malloc_trim()
    before = benchlib.rss_bytes()
    t = time.perf_counter()
    if kind == "ulmora":
        obj = ulmoradb.Index(path)
        assert len(obj) == n
    elif kind == "hnswlib":
        obj = hnswlib.Index(space=h2s.SPACE_OF[metric], dim=dim)
        obj.load_index(path, max_elements=n)
    else:
        with open(path, "rb") as f:
            obj = f.read()
    secs = time.perf_counter() - t
    peak = benchlib.peak_rss_bytes()
    benchlib.malloc_trim()
    after = benchlib.rss_bytes()
    print(json.dumps({"secs": secs, "rss_before": before, "rss_after": after, "peak": peak}))


def spawn(kind: str, path: Path, n: int, dim: int, metric: str, module_dir: str = "") -> tuple[dict, dict | None]:
    env = dict(os.environ, VECTORDB_LOG_SNAPSHOT_LOAD_TIMING="1")
    out = subprocess.run([sys.executable, "-m", "bench.bench_load", "--child", kind, str(path), str(n), str(dim), metric, module_dir],
                         capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise SystemExit(f"child {kind} failed:\n{out.stderr}")
    res = json.loads(out.stdout.strip().splitlines()[-1])
    m = TIMING.search(out.stderr)
    timing = None
    if m:
        keys = ("bytes", "read_ms", "checksum_ms", "deserialize_ms", "build_ms", "wal_replay_ms", "total_ms")
        timing = dict(zip(keys, map(int, m.groups())))
    return res, timing


def main(argv=None):
    if argv is None and len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, path, n, dim, metric, module_dir = sys.argv[2:8]
        return child(kind, path, int(n), int(dim), metric, module_dir)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dataset", default="clustered", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--metric", default="euclidean", choices=datasets.METRICS)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--baseline", default="", help="directory of another build's ulmoradb*.so")
    args = ap.parse_args(argv)

    benchlib.import_ulmoradb()  # fails early, and fixes PYTHONPATH for the children
    base, _, _ = datasets.load(args.dataset, args.metric)
    n, dim = base.shape
    del base
    snap = h2s.snapshot_for(args.dataset, args.metric)
    hpath = datasets.OUT_DIR / f"{args.dataset}_{args.metric}.hnswlib"
    size = snap.stat().st_size
    mb = size / 1e6
    vector_bytes = n * dim * 4

    runs = {"read": [], "ulmora": [], "hnswlib": []}
    if args.baseline:
        runs["baseline"] = []
    timings = []
    for _ in range(args.repeat):
        for kind in runs:
            module_dir = os.path.abspath(args.baseline) if kind == "baseline" else ""
            res, timing = spawn("ulmora" if kind == "baseline" else kind, hpath if kind == "hnswlib" else snap,
                                n, dim, args.metric, module_dir)
            runs[kind].append(res)
            if kind == "ulmora":
                if timing is None:
                    raise SystemExit("no snapshot_load timing line on stderr")
                timings.append(timing)

    def best(kind, key="secs"):
        return min(r[key] for r in runs[kind])

    def per_node(kind):
        return min(r["rss_after"] - r["rss_before"] for r in runs[kind]) / n - dim * 4

    stage = {k: min(t[k] for t in timings) for k in timings[0]}
    rows = [
        ["plain read() of the file", best("read") * 1e3, mb / best("read")],
        ["loader read_ms", stage["read_ms"], mb / max(stage["read_ms"], 1) * 1e3],
        ["loader checksum_ms", stage["checksum_ms"], mb / max(stage["checksum_ms"], 1) * 1e3],
        ["loader deserialize_ms", stage["deserialize_ms"], mb / max(stage["deserialize_ms"], 1) * 1e3],
        ["loader build_ms", stage["build_ms"], mb / max(stage["build_ms"], 1) * 1e3],
        ["loader total_ms", stage["total_ms"], mb / max(stage["total_ms"], 1) * 1e3],
        ["Index(path) wall", best("ulmora") * 1e3, mb / best("ulmora")],
        ["hnswlib load_index wall", best("hnswlib") * 1e3, hpath.stat().st_size / 1e6 / best("hnswlib")],
    ]
    mem = {
        "ulmora_bytes_per_node_beyond_vectors": per_node("ulmora"),
        "hnswlib_bytes_per_node_beyond_vectors": per_node("hnswlib"),
        "ulmora_peak_rss_during_load": min(r["peak"] - r["rss_before"] for r in runs["ulmora"]),
        "hnswlib_peak_rss_during_load": min(r["peak"] - r["rss_before"] for r in runs["hnswlib"]),
        "vector_bytes": vector_bytes,
    }
    print(f"\n### Load of {snap.name}: {n} x {dim}, {mb:.1f} MB (best of {args.repeat} fresh processes)\n")
    print(benchlib.table(["stage", "ms", "MB/s"], rows))
    side = [k for k in ("baseline", "ulmora", "hnswlib") if k in runs]
    names = {"baseline": f"ulmoradb baseline ({args.baseline})", "ulmora": "ulmoradb", "hnswlib": "hnswlib load_index"}
    mib = 1 << 20
    srows = []
    for k in side:
        r = min(runs[k], key=lambda r: r["secs"])
        peak = min(x["peak"] / x["rss_after"] for x in runs[k])
        growth = min((x["peak"] - x["rss_before"]) / max(x["rss_after"] - x["rss_before"], 1) for x in runs[k])
        srows.append([names[k], f"{r['secs']:.3f}", f"{best(k) / best('hnswlib'):.2f}", f"{r['peak'] / mib:.0f}",
                      f"{r['rss_after'] / mib:.0f}", f"{peak:.2f}", f"{growth:.2f}"])
        mem[f"{k}_peak_over_after"] = peak
        mem[f"{k}_growth_over_after_growth"] = growth
    print()
    print(benchlib.table(["load", "s (best)", "vs hnswlib", "peak MiB", "after MiB", "peak / after",
                          "peak growth / after growth"], srows))
    print(f"\nResident bytes per node beyond the {dim * 4} B vector: ulmoradb "
          f"{mem['ulmora_bytes_per_node_beyond_vectors']:.0f} B, hnswlib "
          f"{mem['hnswlib_bytes_per_node_beyond_vectors']:.0f} B. Peak RSS growth while loading: ulmoradb "
          f"{mem['ulmora_peak_rss_during_load'] / 1e6:.0f} MB, hnswlib {mem['hnswlib_peak_rss_during_load'] / 1e6:.0f} MB.")
    out = benchlib.save(f"load_{args.dataset}_{args.metric}", {
        "dataset": args.dataset, "metric": args.metric, "n": n, "dim": dim, "file_bytes": size,
        "stages_ms": stage, "runs": runs, "memory": mem})
    print(f"\n(saved {out})", file=sys.stderr)


if __name__ == "__main__":
    main()

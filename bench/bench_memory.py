"""Resident bytes per point of a loaded read-only index, against hnswlib.

Builds (once, cached under bench/out/) a segment with ``ulmora.build`` and an
hnswlib index of the same data with the same parameters (M 16,
ef_construction 200), then loads each in fresh child processes, kinds
alternating: the resident set after the load minus before, less the raw
vector bytes, per point, as a new user sees it (no malloc_trim) and after
malloc_trim. Each ulmoradb child also times `search_batch` at the default
settings on one thread and writes its results, so two builds' answers can
be compared bit for bit (``--baseline DIR``: another build's ulmoradb*.so).

``--readonly`` measures ``ulmora.open(path, readonly=True)`` instead of
``ulmoradb.Index`` (its searches at the segment's default ef).

Usage: python -m bench.bench_memory [--dataset clustered200k] [--metric euclidean]
                                    [--repeat 3] [--baseline DIR] [--readonly]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

from bench import benchlib, datasets

SPACE = {"euclidean": "l2", "cosine": "cosine", "dot": "ip"}


def paths(dataset: str, metric: str):
    out = datasets.OUT_DIR
    return out / f"mem_{dataset}_{metric}.ulm", out / f"mem_{dataset}_{metric}.hnswlib"


def prepare(dataset: str, metric: str, threads: int) -> None:
    base, _, _ = datasets.load(dataset, metric)
    seg, hp = paths(dataset, metric)
    if not seg.exists():
        import ulmora
        ulmora.build(str(seg), base, metric=metric, m=16, ef_construction=200, threads=threads, seed=1,
                     progress=False)
    if not hp.exists():
        import hnswlib
        idx = hnswlib.Index(space=SPACE[metric], dim=base.shape[1])
        idx.init_index(max_elements=base.shape[0], M=16, ef_construction=200, random_seed=1)
        idx.set_num_threads(threads)
        idx.add_items(base, np.arange(base.shape[0]))
        idx.save_index(str(hp))


def rss() -> int:
    return benchlib.rss_bytes()


def child(kind: str, dataset: str, metric: str, module_dir: str, out_path: str) -> None:
    base, queries, _ = datasets.load(dataset, metric, verbose=False)
    n, dim = base.shape
    del base
    seg, hp = paths(dataset, metric)
    if module_dir:
        sys.path.insert(0, module_dir)
        for name in [m for m in sys.modules if m == "ulmora" or m.startswith("ulmora.")]:
            del sys.modules[name]  # datasets imported the installed one
    if kind == "hnswlib":
        import hnswlib
    elif kind == "readonly":
        import ulmora
        assert not module_dir or ulmora.__file__.startswith(module_dir)
    else:
        import ulmoradb
    before = rss()
    t = time.perf_counter()
    if kind == "hnswlib":
        obj = hnswlib.Index(space=SPACE[metric], dim=dim)
        obj.load_index(str(hp), max_elements=n)
    elif kind == "readonly":
        obj = ulmora.open(str(seg), readonly=True)
    else:
        obj = ulmoradb.Index(str(seg))
    secs = time.perf_counter() - t
    after = rss()
    benchlib.malloc_trim()
    trimmed = rss()
    res = {"secs": secs, "per_point": (after - before) / n - dim * 4,
           "per_point_trimmed": (trimmed - before) / n - dim * 4, "rss_after": after}
    if kind != "hnswlib":
        q = np.ascontiguousarray(queries, dtype=np.float32)
        kw = {"threads": 1} if kind == "readonly" else {}  # default ef: ef_construction there, 128 here
        obj.search_batch(q[:100], 10, **kw)  # warm
        best = None
        for _ in range(3):
            t = time.perf_counter()
            ids, scores = obj.search_batch(q, 10, **kw)
            s = time.perf_counter() - t
            best = s if best is None else min(best, s)
        res["qps"] = len(q) / best
        if out_path:
            np.savez(out_path, ids=np.asarray(ids), scores=np.asarray(scores))
    print(json.dumps(res))


def spawn(kind, args, module_dir="", out_path=""):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    cmd = [sys.executable, "-m", "bench.bench_memory", "--child", kind, args.dataset, args.metric, module_dir,
           out_path]
    out = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise SystemExit(f"child {kind} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def breakdown(seg_path: str) -> list[list]:
    """Bytes per point by structure, counted from the graph's shape
    (`ulmora.info`) and the layouts in core/src/vector/hnsw: before = the
    slot form every loaded index kept, after = the rows of a frozen one."""
    import ulmora
    info = ulmora.info(seg_path)
    n = info["points"]
    levels, degree = info["levels"], info["degree"]
    ceil8 = lambda b: (b + 7) // 8 * 8  # noqa: E731
    slots = 16
    while slots // 2 < n:
        slots *= 2
    rows = []
    d0 = degree[0]
    rows.append(["level-0 lists", ceil8(8 + 4 * d0["max"]), 4 + 4 * d0["max"]])
    up_before = up_after = 0.0
    for level in range(1, len(levels)):
        c, d = levels[level], degree[level]
        chunks = -(-n // 4096)
        present = 1 - (1 - c / n) ** 4096
        up_before += (8 * 4096 * chunks * present + c * ceil8(8 + 4 * d["mean"])) / n
        up_after += (c * (4 + 4 * d["max"]) + 16 * -(-n // 64)) / n
    rows.append(["upper-level lists (slots + blocks / rank bits + rows)", up_before, up_after])
    rows.append(["id map (16 B slots, load <= 1/2; contiguous ids: none)", 16 * slots / n, 0])
    rows.append(["point ids, level, deleted, state columns", 11, 11])
    rows.append(["total beyond vectors", sum(r[1] for r in rows), sum(r[2] for r in rows)])
    return [[r[0], f"{r[1]:.1f}", f"{r[2]:.1f}"] for r in rows]


def main(argv=None):
    if argv is None and len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(*sys.argv[2:7])
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dataset", default="clustered200k", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--metric", default="euclidean", choices=datasets.METRICS)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2, help="build threads")
    ap.add_argument("--baseline", default="", help="directory of another build's ulmoradb*.so")
    ap.add_argument("--readonly", action="store_true",
                    help="measure ulmora.open(path, readonly=True) instead of ulmoradb.Index (--baseline: a "
                         "directory holding another build's ulmora package)")
    args = ap.parse_args(argv)
    prepare(args.dataset, args.metric, args.threads)
    kinds = (["baseline"] if args.baseline else []) + ["ulmora", "hnswlib"]
    runs = {k: [] for k in kinds}
    tag = "ro_" if args.readonly else ""
    outs = {k: str(datasets.OUT_DIR / f"mem_results_{tag}{k}_{args.metric}.npz") for k in kinds}
    for _ in range(args.repeat):
        for k in kinds:
            mdir = os.path.abspath(args.baseline) if k == "baseline" else ""
            kind = "hnswlib" if k == "hnswlib" else "readonly" if args.readonly else "ulmora"
            runs[k].append(spawn(kind, args, mdir, outs[k]))
    rows = []
    for k in kinds:
        r = runs[k]
        qps = f"{max(x['qps'] for x in r):,.0f}" if "qps" in r[0] else "-"
        rows.append([k, f"{min(x['per_point'] for x in r):.0f}", f"{min(x['per_point_trimmed'] for x in r):.0f}",
                     f"{min(x['secs'] for x in r):.3f}", qps])
    print(f"\n### {args.dataset} {args.metric}: bytes per point beyond the vectors (best of {args.repeat})\n")
    print(benchlib.table(["kind", "B/point", "B/point after malloc_trim", "load s", "QPS (1 thread, k 10)"], rows))
    if args.baseline:
        a, b = np.load(outs["baseline"]), np.load(outs["ulmora"])
        same = np.array_equal(a["ids"], b["ids"]) and np.array_equal(a["scores"].view(np.uint32),
                                                                     b["scores"].view(np.uint32))
        print(f"\nresults identical to the baseline (ids and score bits): {same}")
    seg, _ = paths(args.dataset, args.metric)
    print("\nBy structure, counted from the graph's shape (B per point):\n")
    print(benchlib.table(["structure", "slot form (before)", "frozen rows (after)"], breakdown(str(seg))))
    print(json.dumps(runs), file=sys.stderr)


if __name__ == "__main__":
    main()

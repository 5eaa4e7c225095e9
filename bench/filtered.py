"""Filtered search: recall@10 and QPS per predicate kind and share of matching
points, ours (planner on, exact only, graph only, with filter edges) against
hnswlib's filter callback, faiss's IDSelectorBitmap and NumPy's exact scan.

Every graph is M 16 / ef_construction 200, built on 2 threads and cached in
bench/out/filtered/; every search runs on one thread, one call per pass over
the query matrix where the library allows it (per query where the filter
differs by query). QPS is taken at the first ef of the doubling ladder where
the mean recall@10 reaches the target (0.95; 0.99 where fewer than 1% of
points match), each ladder after one untimed warm-up pass; a library that
never reaches it reports "never". Ground truth is exact filtered search in NumPy over masks built from the payload arrays,
so no answer depends on our filter code; every hit of ours is also checked
against the mask.

Usage:
  python -m bench.filtered --data fashion
  python -m bench.filtered --data clustered --n 1000000 --libs ours,numpy
  python -m bench.filtered --data fashion --kinds own,range --buckets 0.01,0.1 --queries 100
Writes bench/out/filtered/<data>.json and .md, and with --plot a PNG of QPS
against share per kind (bench/results/filtered_<data>.png).
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path

import numpy as np

import ulmora
from bench import benchlib, datasets, filtered_data as fd
from bench import filtered_peers as peers

K = 10
EFS = (10, 20, 40, 80, 160, 320, 512)
WORK = datasets.OUT_DIR / "filtered"


def target_for(share: float) -> float:
    return 0.99 if share < 0.01 else 0.95


def build_ours(data: fd.Data, threads: int, filter_keys: list[str] | None) -> Path:
    suffix = "_edges" if filter_keys else ""
    path = WORK / f"{data.name}_{len(data.base)}{suffix}.snap"
    if path.exists():
        return path
    WORK.mkdir(parents=True, exist_ok=True)
    kwargs = {"filter_keys": filter_keys} if filter_keys else {}
    ulmora.build(path, data.base, payloads=data.payloads(), metric="euclidean", m=16, ef_construction=200,
                 threads=threads, seed=1, progress=False, **kwargs)
    return path


def open_ours(path: Path):
    try:
        seg = ulmora.open(path, readonly=True)
    except TypeError:  # a package without the read-only open
        seg = ulmora.open(path)
    # Every list and vector touched once, so the first timed route of a cell
    # does not pay the segment's first-touch costs for the rest.
    seg.info()
    ids = seg.ids()
    for at in range(0, len(ids), 65536):
        seg.get_many(ids[at:at + 65536])
    return seg


def ours_runner(seg, route: str):
    def run(queries, filt, ef):
        ids, _ = seg.search_batch(queries, K, ef, threads=1, filter=filt, route=route)
        return list(ids)
    return run


def sweep(run, queries, filt, truth, share, budget_s, efs=EFS):
    """Runs the ef ladder until the recall target (and one step past it) or the budget."""
    points, spent = [], 0.0
    target = target_for(share)
    run(queries, filt, efs[0])  # warm-up: lazily built payload views, page faults, scratch
    for ef in efs:
        t = time.perf_counter()
        found = run(queries, filt, ef)
        secs = time.perf_counter() - t
        spent += secs
        r = fd.recalls(found, truth)
        points.append({"ef": ef, "qps": len(queries) / secs, "recall": float(r.mean()),
                       "p5": float(np.percentile(r, 5))})
        if r.mean() >= target or spent > budget_s:
            break
    return points, spent


def at_target(points, share):
    target = target_for(share)
    for p in points:
        if p["recall"] >= target:
            return p
    return None


def violations(seg, found, masks):
    """Hits that fail their own filter (must be zero)."""
    bad = 0
    for f, mask in zip(found, masks):
        f = f[f != fd.MISSING].astype(np.int64)
        bad += int((~mask[f]).sum())
    return bad


def cells(data: fd.Data, kinds, buckets):
    for kind in kinds:
        if kind in fd.QUERY_KINDS:
            filters, masks = fd.query_filters(data, kind)
            share = float(np.mean([m.mean() for m in masks]))
            yield kind, share, filters, masks
        else:
            for b in buckets:
                filt, mask = fd.bucket_filter(data, kind, b)
                yield kind, float(mask.mean()), filt, [mask] * len(data.queries)


def run(args) -> dict:
    data = fd.load(args.data, args.n, args.queries)
    print(f"{data.name}: {len(data.base)} x {data.base.shape[1]}, {len(data.queries)} queries", flush=True)
    libs = args.libs.split(",")
    ours = {}
    if "ours" in libs:
        seg = open_ours(build_ours(data, args.threads, None))
        for route in args.routes.split(","):
            ours[f"ours {route}"] = (seg, ours_runner(seg, route))
        if args.edges:
            try:
                eseg = open_ours(build_ours(data, args.threads, ["label", "cat"]))
                ours["ours graph+edges"] = (eseg, ours_runner(eseg, "graph"))
            except TypeError as e:
                print(f"filter edges skipped: {e}")
    others = peers.make(libs, data, WORK, args.threads)
    record = {"machine": benchlib.machine(), "data": data.name, "n": len(data.base), "queries": len(data.queries),
              "k": K, "cells": []}
    unfiltered = {}
    if ours:
        seg = next(iter(ours.values()))[0]
        truth = fd.exact_filtered(data.base, data.queries, [np.ones(len(data.base), bool)] * len(data.queries), K)
        pts, _ = sweep(lambda q, f, ef: list(seg.search_batch(q, K, ef, threads=1)[0]), data.queries, None,
                       truth, 1.0, args.budget)
        unfiltered = {"points": pts}
        print(f"unfiltered: {pts}", flush=True)
    record["unfiltered"] = unfiltered
    for kind, share, filt, masks in cells(data, args.kinds.split(","), [float(b) for b in args.buckets.split(",")]):
        truth = fd.exact_filtered(data.base, data.queries, masks, K)
        shared = filt if isinstance(filt, dict) else None
        cell = {"kind": kind, "share": share, "target": target_for(share), "libs": {}}
        for name, (seg, runner) in ours.items():
            pts, spent = sweep(runner, data.queries, filt, truth, share, args.budget)
            default = runner(data.queries, filt, None)
            r = fd.recalls(default, truth)
            cell["libs"][name] = {"points": pts, "default_recall": float(r.mean()), "default_p5":
                                  float(np.percentile(r, 5)), "violations": violations(seg, default, masks)}
        for name, runner in others.items():
            pts, spent = sweep(lambda q, f, ef: runner(q, shared, masks, ef), data.queries, filt, truth, share,
                               args.budget, efs=(None,) if name.startswith("numpy") else EFS)
            cell["libs"][name] = {"points": pts, "cut": spent > args.budget}
        record["cells"].append(cell)
        print(summary_line(cell), flush=True)
    return record


def summary_line(cell) -> str:
    parts = [f"{cell['kind']:>6} {cell['share']:.4f}"]
    for name, res in cell["libs"].items():
        p = at_target(res["points"], cell["share"])
        parts.append(f"{name}: " + ("never" if p is None else f"{p['qps']:.0f}@{p['ef']}"))
    return " | ".join(parts)


def table(record) -> str:
    names = sorted({n for c in record["cells"] for n in c["libs"]}, key=lambda n: (not n.startswith("ours"), n))
    head = ["kind", "share", "target"] + names + ["ours default recall (mean / p5)", "best ours / best peer"]
    rows = []
    for c in record["cells"]:
        row = [c["kind"], f"{c['share']:.2%}", c["target"]]
        best_ours, best_peer = 0.0, 0.0
        for n in names:
            res = c["libs"].get(n)
            p = at_target(res["points"], c["share"]) if res else None
            row.append("-" if res is None else ("never" if p is None else f"{p['qps']:,.0f}"))
            if p is not None:
                if n.startswith("ours"):
                    best_ours = max(best_ours, p["qps"])
                else:
                    best_peer = max(best_peer, p["qps"])
        auto = c["libs"].get("ours auto")
        row.append("-" if auto is None else f"{auto['default_recall']:.3f} / {auto['default_p5']:.2f}")
        row.append("-" if not best_ours else ("peers never" if not best_peer else f"{best_ours / best_peer:.2f}x"))
        rows.append(row)
    return benchlib.table(head, rows)


def plot(record, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = sorted({c["kind"] for c in record["cells"] if c["kind"] in fd.BUCKET_KINDS})
    fig, axes = plt.subplots(1, max(1, len(kinds)), figsize=(4 * max(1, len(kinds)), 3.6), sharey=True)
    axes = np.atleast_1d(axes)
    for ax, kind in zip(axes, kinds):
        cells_k = [c for c in record["cells"] if c["kind"] == kind]
        names = sorted({n for c in cells_k for n in c["libs"]})
        for n in names:
            xs, ys = [], []
            for c in cells_k:
                p = at_target(c["libs"][n]["points"], c["share"]) if n in c["libs"] else None
                if p is not None:
                    xs.append(c["share"])
                    ys.append(p["qps"])
            ax.plot(xs, ys, marker="o", label=n)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(kind)
        ax.set_xlabel("share of points matching")
    axes[0].set_ylabel("QPS at recall target, 1 thread")
    axes[-1].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default="fashion")
    ap.add_argument("--n", type=int, default=None)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--kinds", default=",".join(fd.QUERY_KINDS + fd.BUCKET_KINDS))
    ap.add_argument("--buckets", default=",".join(str(b) for b in fd.BUCKETS))
    ap.add_argument("--libs", default="ours,hnswlib,faiss,numpy")
    ap.add_argument("--routes", default="auto,exact,graph")
    ap.add_argument("--edges", action="store_true", help="also a graph with filter edges on label and cat")
    ap.add_argument("--threads", type=int, default=2, help="build threads (searches use one)")
    ap.add_argument("--budget", type=float, default=600.0, help="seconds per library and cell")
    ap.add_argument("--plot", action="store_true")
    args = ap.parse_args(argv)
    record = run(args)
    WORK.mkdir(parents=True, exist_ok=True)
    out = WORK / f"{args.data}.json"
    out.write_text(json.dumps(record, indent=1))
    md = table(record)
    (WORK / f"{args.data}.md").write_text(md + "\n")
    print(md)
    if args.plot:
        png = benchlib.BENCH_DIR / "results" / f"filtered_{args.data}.png"
        plot(record, png)
        print(f"plot: {png}")


if __name__ == "__main__":
    main()

"""``ulmora demo``: build a segment from a generated data set, load it with
``ulmoradb.Index``, and compare recall and speed against an exact NumPy
scan. Needs no download; the data is a seeded Gaussian mixture, so every
run with the same options sees the same vectors.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np

from .cliutil import CliError, about, metric, positive
from .exact import exact_topk, recall

SUMMARY = "build a generated data set and compare recall and speed with an exact scan"
DESCRIPTION = (
    "Generates a clustered data set (Gaussian mixture, fixed seed), builds a segment from it, "
    "loads it with ulmoradb.Index and prints recall@k and queries per second at several ef "
    "values next to an exact NumPy scan.")
EF_DEFAULT = "16,32,64,128,256"


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--n", type=positive, default=100_000, help="points (default 100000)")
    p.add_argument("--dim", type=positive, default=128, help="dimension (default 128)")
    p.add_argument("--queries", type=positive, default=1000, help="queries (default 1000)")
    p.add_argument("--clusters", type=positive, default=None,
                   help="mixture components (default n/100, at least 1)")
    p.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    p.add_argument("--metric", type=metric, default="cosine", help="cosine (default), dot or euclidean")
    p.add_argument("-k", type=positive, default=10, help="neighbours per query (default 10)")
    p.add_argument("--ef", type=_ef_list, default=_ef_list(EF_DEFAULT), metavar="LIST",
                   help=f"comma-separated search beam widths (default {EF_DEFAULT})")
    p.add_argument("--m", type=positive, default=16, help="graph degree parameter (default 16)")
    p.add_argument("--ef-construction", type=positive, metavar="N", help="insertion beam width")
    p.add_argument("--threads", type=positive, metavar="N", help="threads (default: all cores)")
    p.add_argument("--dir", metavar="DIR",
                   help="keep the data and the segment here (default: a new temporary directory)")
    p.add_argument("--plot", metavar="FILE.png", help="draw recall against queries/s (needs matplotlib)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.set_defaults(run=run)


def _ef_list(text: str) -> list[int]:
    try:
        values = [int(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of whole numbers: {text!r}") from None
    if not values or min(values) <= 0:
        raise argparse.ArgumentTypeError(f"ef values must be positive whole numbers: {text!r}")
    return values


# ---------------------------------------------------------------- data


def mixture(n: int, nq: int, dim: int, clusters: int, seed: int):
    """Base points and queries drawn from one isotropic Gaussian mixture:
    centres ~ N(0, 1), points = centre + N(0, 0.8^2): the clusters overlap
    enough that a narrow search beam misses some true neighbours."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)

    def draw(count: int) -> np.ndarray:
        out = rng.standard_normal((count, dim), dtype=np.float32)
        out *= np.float32(0.8)
        out += centres[rng.integers(0, clusters, size=count)]
        return out

    return draw(n), draw(nq)


# ---------------------------------------------------------------- run


def run(args) -> int:
    import ulmora
    import ulmoradb

    if args.plot:
        try:
            import matplotlib  # noqa: F401  (checked before the long part)
        except ImportError:
            raise CliError(f"{args.plot}: plotting needs matplotlib: "
                           "pip install 'ulmoradb[plot]'") from None
    clusters = args.clusters or max(1, args.n // 100)
    threads = args.threads or os.cpu_count() or 1
    folder = Path(args.dir) if args.dir else Path(tempfile.mkdtemp(prefix="ulmora-demo-"))
    with about(folder):
        folder.mkdir(parents=True, exist_ok=True)
    snap = folder / "demo.snap"

    print(f"data: {args.n:,} x {args.dim} float32 points and {args.queries:,} queries from a "
          f"Gaussian mixture ({clusters:,} clusters, seed {args.seed}); metric {args.metric}",
          flush=True)
    base, queries = mixture(args.n, args.queries, args.dim, clusters, args.seed)
    with about(folder):
        np.save(folder / "base.npy", base)
        np.save(folder / "queries.npy", queries)

    options = {"metric": args.metric, "m": args.m, "threads": threads}
    if args.ef_construction is not None:
        options["ef_construction"] = args.ef_construction
    if args.no_progress:
        options["progress"] = False
    with about(snap):
        stats = ulmora.build(str(snap), base, **options)
    print(f"built {snap.name}: {stats['points_per_second']:,.0f} points/s, "
          f"{stats['seconds']:.1f} s with {threads} thread{'s' if threads != 1 else ''}", flush=True)

    with about(snap):
        start = time.perf_counter()
        index = ulmoradb.Index(str(snap))
        load = time.perf_counter() - start
    print(f"loaded with ulmoradb.Index in {load:.2f} s", flush=True)

    k = min(args.k, args.n)
    truth, exact_seconds = _best_of(2, exact_topk, base, queries, k, args.metric)
    exact_qps = len(queries) / exact_seconds

    rows = []
    for ef in args.ef:
        (ids, _), seconds = _best_of(2, index.search_batch, queries, k=k, ef=ef, threads=threads)
        rows.append((ef, recall(ids, truth), len(queries) / seconds))

    print()
    print(f"{'search':<18}{'recall@' + str(k):>10}{'queries/s':>13}{'vs NumPy':>10}")
    print(f"{'NumPy exact scan':<18}{1.0:>10.4f}{exact_qps:>13,.0f}{'1.0x':>10}")
    for ef, r, qps in rows:
        print(f"{'ulmoradb ef ' + str(ef):<18}{r:>10.4f}{qps:>13,.0f}{qps / exact_qps:>9.1f}x")
    print()

    if args.plot:
        with about(args.plot):
            plot(args.plot, rows, exact_qps, k, f"{args.n:,} x {args.dim}, {args.metric}")
        print(f"plot: {args.plot}")
    print(f"files in {folder}: base.npy, queries.npy, {snap.name}")
    print(f"try: ulmora info {snap}")
    print(f"     ulmora search {snap} {folder / 'queries.npy'} -k {k} --ef 64")
    if not args.dir:
        print(f"(remove the directory when done: rm -r {folder})")
    return 0


def _best_of(runs: int, fn, *args, **kwargs):
    """fn's result and its fastest wall time over `runs` calls (the machine
    may be busy with other work; the fastest run is the least disturbed)."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return result, best


def plot(path, rows, exact_qps: float, k: int, title: str) -> None:
    try:
        import matplotlib
    except ImportError:
        raise RuntimeError("plotting needs matplotlib: pip install 'ulmoradb[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4), dpi=120)
    ax.plot([r for _, r, _ in rows], [q for _, _, q in rows], "o-", label="ulmoradb")
    for ef, r, q in rows:
        ax.annotate(f"ef {ef}", (r, q), textcoords="offset points", xytext=(4, 4), fontsize=8)
    ax.axhline(exact_qps, color="grey", linestyle="--", label="NumPy exact scan")
    ax.set_yscale("log")
    ax.set_xlabel(f"recall@{k}")
    ax.set_ylabel("queries per second")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)

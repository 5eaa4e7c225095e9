"""Match-set time of filters on a 200k-point segment: a 5% range, a list
element, $exists, and a range under a steady insert stream.

    python -m bench.bench_filter_index [--points 200000] [--repeat 20]

`Segment.count(filter)` computes the match set and nothing else, so its
time is the match set's (plus a call's fixed cost, measured by count({}) on
an empty segment). Run it with an older install to compare. Writes nothing
but a temporary segment.
"""
from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

import ulmora


def timed(fn, repeat: int) -> float:
    """Median seconds of `repeat` calls after one warm-up call."""
    fn()
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        runs.append(time.perf_counter() - t0)
    return statistics.median(runs)


def payloads_for(n: int, rng: np.random.Generator, start: int = 0) -> list[dict]:
    price = rng.uniform(0.0, 100.0, n)
    out = []
    for i in range(n):
        p = {"price": float(price[i]), "tags": [f"t{(start + i) % 50}", f"u{(start + i) % 7}"]}
        if (start + i) % 4 == 0:
            p["note"] = "x"
        out.append(p)
    return out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=20)
    args = ap.parse_args()
    n = args.points
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "seg.snap"
        vectors = rng.standard_normal((n, 4)).astype(np.float32)
        ulmora.build(path, vectors, payloads=payloads_for(n, rng), metric="euclidean", m=8,
                     ef_construction=16, threads=2, progress=False)
        with ulmora.open(path) as seg:
            rows = []
            for name, f in [("range 5% ($gte/$lt on a float)", {"price": {"$gte": 10.0, "$lt": 15.0}}),
                            ("range 5% ($lt only)", {"price": {"$lt": 5.0}}),
                            ("list element (2%)", {"tags": "t3"}),
                            ("$exists (25%)", {"note": {"$exists": True}})]:
                first = time.perf_counter()
                matches = seg.count(f)
                first = time.perf_counter() - first
                rows.append((name, matches, first, timed(lambda f=f: seg.count(f), args.repeat)))
            # A steady insert stream: 100 single-point inserts, each followed by a range count.
            extra = payloads_for(100, rng, start=n)
            f = {"price": {"$lt": 5.0}}
            t0 = time.perf_counter()
            for i in range(100):
                seg.insert(rng.standard_normal((1, 4)).astype(np.float32), payloads=[extra[i]])
                seg.count(f)
            stream = (time.perf_counter() - t0) / 100
            t0 = time.perf_counter()
            for i in range(100):
                seg.insert(rng.standard_normal((1, 4)).astype(np.float32))
            insert_only = (time.perf_counter() - t0) / 100
    print(f"points {n}")
    print("| filter | matches | first call ms | median ms |")
    print("|---|---|---|---|")
    for name, matches, first, med in rows:
        print(f"| {name} | {matches} | {first * 1e3:.2f} | {med * 1e3:.2f} |")
    print(f"insert + range count, per round: {stream * 1e3:.2f} ms (insert alone {insert_only * 1e3:.2f} ms)")


if __name__ == "__main__":
    main()

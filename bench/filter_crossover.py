"""Filtered search: where the exact scan of the matches and the graph walk
cross, and what the planner ("auto") makes of it.

Data: a Gaussian mixture (``datasets.clustered``) of N x DIM points, each
with the payload {"b": random bucket in 0..999}, independent of the vector
(the hard case for a walk: matches are spread over the whole graph). A
filter {"b": {"$in": [0 .. s*1000)}} selects a fraction s of the points.

For each selectivity and beam width, one ``search_batch`` per route with
the filter shared by all queries (its match set is built once per call, so
the per-query time is the search's), 1 thread, best of ``--repeat`` (a
route that would take over 20 s for all queries is timed on the first 20):
queries/s of route "exact", "graph" and "auto", and recall@10 of the walk
against the exact route. The crossover is where exact and graph are
equally fast; the planner walks above C x sqrt(ef x live) matches
(core/src/segment/filtered_search.h), and the last column gives that
bar's C for the crossover measured here.

Usage: python -m bench.filter_crossover [--n 200000] [--dim 64] [--efs 64,128] [--repeat 3]
Results: a table on stdout and bench/out/filter_crossover.json.
"""

from __future__ import annotations

import argparse
import math
import tempfile
import time
from pathlib import Path

import numpy as np

from bench import benchlib, datasets

SELECTIVITIES = (0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0)
BUCKETS = 1000


def timed(fn, repeat: int) -> tuple[float, object]:
    best, out = float("inf"), None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


PROBE_ROWS, SLOW_SECONDS = 20, 20.0


def measure(seg, queries, k, ef, flt, route, repeat) -> tuple[float, np.ndarray]:
    """Queries/s of one route (best of `repeat` passes) and its ids. A route
    whose first PROBE_ROWS queries project a pass over SLOW_SECONDS is timed
    on those rows only (the walk at low selectivity)."""
    probe = queries[:PROBE_ROWS]
    secs, (ids, _) = timed(lambda: seg.search_batch(probe, k, ef, threads=1, filter=flt, route=route), 1)
    if secs / len(probe) * len(queries) > SLOW_SECONDS:
        return len(probe) / secs, ids
    secs, (ids, _) = timed(lambda: seg.search_batch(queries, k, ef, threads=1, filter=flt, route=route), repeat)
    return len(queries) / secs, ids


def recall_at(found: np.ndarray, truth: np.ndarray) -> float:
    hits = sum(len(set(f.tolist()) & set(t.tolist()) - {2**64 - 1}) for f, t in zip(found, truth))
    return hits / max(1, sum(len(set(t.tolist()) - {2**64 - 1}) for t in truth))


def crossing(rows: list[dict]) -> float | None:
    """Matches at which exact and graph take equal time (log-interpolated)."""
    for a, b in zip(rows, rows[1:]):
        ra, rb = a["exact_qps"] / a["graph_qps"], b["exact_qps"] / b["graph_qps"]
        if ra >= 1.0 > rb:
            la, lb = math.log(a["matches"]), math.log(b["matches"])
            t = math.log(ra) / (math.log(ra) - math.log(rb))
            return math.exp(la + t * (lb - la))
    return None


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--dim", type=int, default=64)
    ap.add_argument("--nq", type=int, default=500)
    ap.add_argument("--efs", default="64,128")
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    import ulmora

    base, queries = datasets.clustered(n=args.n, dim=args.dim, nq=args.nq, seed=5)
    rng = np.random.default_rng(9)
    buckets = rng.integers(0, BUCKETS, size=args.n)
    payloads = [{"b": int(b)} for b in buckets]
    work = Path(tempfile.mkdtemp(prefix="fcross-", dir=datasets.OUT_DIR if datasets.OUT_DIR.exists() else None))
    path = work / "seg.snap"
    t = time.perf_counter()
    ulmora.build(path, base, payloads=payloads, metric="euclidean", threads=2, progress=False, seed=1)
    print(f"built {args.n} x {args.dim} in {time.perf_counter() - t:.1f} s")
    record = {"n": args.n, "dim": args.dim, "nq": args.nq, "k": args.k, "runs": []}
    with ulmora.open(path) as seg:
        for ef in (int(e) for e in args.efs.split(",")):
            rows = []
            for s in SELECTIVITIES:
                values = list(range(max(1, round(s * BUCKETS))))
                flt = {"b": {"$in": values}}
                matches = seg.count(flt)
                out = {"ef": ef, "selectivity": s, "matches": matches}
                results = {}
                for route in ("exact", "graph", "auto"):
                    qps, ids = measure(seg, queries, args.k, ef, flt, route, args.repeat)
                    out[f"{route}_qps"] = qps
                    results[route] = ids
                rows_done = min(len(r) for r in results.values())
                out["graph_recall"] = recall_at(results["graph"][:rows_done], results["exact"][:rows_done])
                out["auto_recall"] = recall_at(results["auto"][:rows_done], results["exact"][:rows_done])
                out["bar_c"] = matches / math.sqrt(ef * args.n)
                rows.append(out)
                print(f"ef {ef} s {s:<6} matches {matches:>7}: exact {out['exact_qps']:>9,.0f}/s  "
                      f"graph {out['graph_qps']:>9,.0f}/s (recall {out['graph_recall']:.3f})  "
                      f"auto {out['auto_qps']:>9,.0f}/s (recall {out['auto_recall']:.3f})", flush=True)
            cross = crossing(rows)
            c = None if cross is None else cross / math.sqrt(ef * args.n)
            record["runs"].append({"ef": ef, "rows": rows, "crossover_matches": cross, "crossover_c": c})
            print(f"ef {ef}: crossover at {cross and round(cross)} matches, C = {c and round(c, 2)}")
    headers = ["ef", "selectivity", "matches", "exact q/s", "graph q/s", "graph recall", "auto q/s",
               "auto recall", "matches / sqrt(ef n)"]
    table = [[r["ef"], r["selectivity"], r["matches"], round(r["exact_qps"]), round(r["graph_qps"]),
              round(r["graph_recall"], 3), round(r["auto_qps"]), round(r["auto_recall"], 3), round(r["bar_c"], 2)]
             for run in record["runs"] for r in run["rows"]]
    print(benchlib.table(headers, table))
    print(f"saved {benchlib.save('filter_crossover', record)}")
    for p in work.iterdir():
        p.unlink()
    work.rmdir()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

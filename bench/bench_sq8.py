"""SQ8 routes vs the float beam: QPS at equal recall@10, plus a kernel A/B.

Each setting runs in its own process (the VECTORDB_* tuning values are read
once per process) on ``Index(path, quantize=True)``:

- float: no SQ8 variable set, so the plain float beam runs;
- screen: the float beam with ``sq8_screen=True`` (Cosine only);
- rerank f: VECTORDB_SQ8_RERANK_FACTOR=f (1..4): code-space beam over ef*f
  candidates, reranked with full vectors;
- score-only: VECTORDB_SQ8_SCORE_ONLY=1: code-space beam, code scores
  returned as scores (Cosine only; on Euclidean the float beam runs);
- float_p0, rerank1_p0: the float beam and rerank 1 with ``patience=0``
  (the beam stops at the first expansion that improves nothing). The ratio
  is always taken against the plain float beam.

Graphs: the hnswlib graph of a data set converted to a snapshot. One query
per call on one thread. Rounds alternate over all settings (and builds), so
bursts of other load on a shared machine fall on all alike; each figure is
the best of its rounds. QPS is queries per second of the calling thread's
CPU time (``time.process_time``), which other processes on the machine
disturb far less than wall time; wall-clock QPS is saved beside it.

Equal recall: for each setting, the QPS at a target recall is read off its
(recall, QPS) curve over the ef values, log-linearly between the two ef
values around the target; the report gives the best SQ8 setting's QPS over
the float beam's.

Kernel A/B (``--kernels``): the best SQ8 setting at the ef nearest the
first target, run with ULMORA_KERNELS naming each kernel table in turn
(portable = the scalar reference kernels), alternating. ``--baseline DIR``
adds a second build of the module (the directory holding its
ulmoradb*.so) to every round, for before/after comparisons.

Usage: python -m bench.bench_sq8 [--dataset clustered|hard] [--metrics cosine]
         [--efs 10,16,24,32,48,64,96,128,192,256] [--rounds 2] [--targets 0.95,0.97]
         [--settings float,rerank1,...] [--kernels portable,avx2_fma,avx512_vnni] [--baseline DIR]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

from ulmora.exact import recall

from bench import benchlib, datasets
from bench import hnsw_to_snapshot as h2s

K = 10
SETTINGS = {
    "float": {},
    "screen": {"screen": True},
    "rerank1": {"VECTORDB_SQ8_RERANK_FACTOR": "1"},
    "rerank2": {"VECTORDB_SQ8_RERANK_FACTOR": "2"},
    "rerank3": {"VECTORDB_SQ8_RERANK_FACTOR": "3"},
    "rerank4": {"VECTORDB_SQ8_RERANK_FACTOR": "4"},
    "score_only": {"VECTORDB_SQ8_SCORE_ONLY": "1"},
    # patience 0: the beam stops at the first expansion that improves nothing
    "float_p0": {"patience": 0},
    "rerank1_p0": {"VECTORDB_SQ8_RERANK_FACTOR": "1", "patience": 0},
}
SQ8_VARS = ("VECTORDB_SQ8_RERANK_FACTOR", "VECTORDB_SQ8_SCORE_ONLY", "VECTORDB_SQ8_SCREEN", "ULMORA_KERNELS")


def child(dataset: str, metric: str, efs: list[int], nq: int, screen: bool, patience: int) -> None:
    ulmoradb = benchlib.import_ulmoradb()
    _, queries, gt = datasets.load(dataset, metric, verbose=False)
    queries, gt = np.ascontiguousarray(queries[:nq]), gt[:nq]
    idx = ulmoradb.Index(str(datasets.OUT_DIR / f"{dataset}_{metric}.snap"), quantize=True)
    rows = []
    for ef in efs:
        for q in queries[:50]:
            idx.search(q, k=K, ef=ef, sq8_screen=screen, patience=patience)
        ids = np.full((nq, K), -1, dtype=np.int64)
        cpu = wall = float("inf")
        for _ in range(3):  # best of three passes
            t, c = time.perf_counter(), time.process_time()
            for i, q in enumerate(queries):
                found = idx.search(q, k=K, ef=ef, sq8_screen=screen, patience=patience)[0]
                ids[i, : len(found)] = found
            cpu = min(cpu, time.process_time() - c)
            wall = min(wall, time.perf_counter() - t)
        rows.append({"ef": ef, "qps": nq / cpu, "wall_qps": nq / wall, "recall": recall(ids, gt, K)})
    print(json.dumps({"kernels": os.environ.get("ULMORA_KERNELS", ""), "rows": rows}))


def run_child(args, metric: str, setting: str, efs: list[int], module_dir: str | None, kernels: str | None):
    extra = dict(SETTINGS[setting])
    screen = bool(extra.pop("screen", False))
    patience = int(extra.pop("patience", 2))
    env = {k: v for k, v in os.environ.items() if k not in SQ8_VARS}
    env.update(extra)
    if kernels:
        env["ULMORA_KERNELS"] = kernels
    if module_dir:
        env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    cmd = [sys.executable, "-m", "bench.bench_sq8", "--child", args.dataset, metric, ",".join(map(str, efs)), str(args.queries),
           "1" if screen else "0", str(patience)]
    out = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise SystemExit(f"{metric}/{setting} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])["rows"]


def merge_best(best: dict | None, rows: list[dict]) -> dict:
    """Per ef, the round with the highest QPS (recall is the same every round)."""
    if best is None:
        return {r["ef"]: dict(r) for r in rows}
    for r in rows:
        cur = best[r["ef"]]
        for key in ("qps", "wall_qps"):
            cur[key] = max(cur[key], r[key])
    return best


def qps_at(rows: list[dict], target: float) -> float | None:
    """QPS at `target` recall, log-linear between the bracketing ef values."""
    pts = sorted((r["recall"], r["qps"]) for r in rows)
    if not pts or pts[-1][0] < target:
        return None
    if pts[0][0] >= target:
        return max(q for rec, q in pts if rec >= target)
    for (r0, q0), (r1, q1) in zip(pts, pts[1:]):
        if r0 <= target <= r1:
            if r1 == r0:
                return max(q0, q1)
            w = (target - r0) / (r1 - r0)
            return math.exp(math.log(q0) + w * (math.log(q1) - math.log(q0)))
    return None


def run_metric(args, metric: str, builds: dict[str, str | None]) -> dict:
    efs = [int(x) for x in args.efs.split(",")]
    settings = [s for s in args.settings.split(",") if metric == "cosine" or s not in ("screen", "score_only")]
    best: dict[str, dict[str, dict]] = {b: {} for b in builds}
    for rnd in range(args.rounds):
        for setting in settings:
            for build, module_dir in builds.items():
                rows = run_child(args, metric, setting, efs, module_dir, None)
                best[build][setting] = merge_best(best[build].get(setting), rows)
                print(f"[sq8] round {rnd + 1} {metric} {build} {setting}: " + ", ".join(
                    f"ef{r['ef']} {r['qps']:.0f} r={r['recall']:.3f}" for r in rows), file=sys.stderr)
    targets = [float(t) for t in args.targets.split(",")]
    result = {"settings": {b: {s: list(v.values()) for s, v in per.items()} for b, per in best.items()}}
    result["equal_recall"] = {b: equal_recall(per, targets) for b, per in result["settings"].items()}
    if args.kernels:
        result["kernel_ab"] = kernel_ab(args, metric, result["settings"]["new"], targets[0])
    return result


def equal_recall(per_setting: dict[str, list[dict]], targets: list[float]) -> dict:
    out = {}
    for t in targets:
        at = {s: qps_at(rows, t) for s, rows in per_setting.items()}
        sq8 = {s: q for s, q in at.items() if not s.startswith("float") and q is not None}
        best = max(sq8, key=sq8.get) if sq8 else None
        ratio = sq8[best] / at["float"] if best and at.get("float") else None
        out[str(t)] = {"qps": at, "best_sq8": best, "ratio": ratio}
    return out


def kernel_ab(args, metric: str, per_setting: dict[str, list[dict]], target: float) -> dict:
    """The best SQ8 setting near `target`, once per kernel table, alternating."""
    candidates = {}
    for s, rows in per_setting.items():
        if s.startswith("float"):
            continue
        ok = [r for r in rows if r["recall"] >= target]
        if ok:
            r = min(ok, key=lambda r: r["ef"])
            candidates[s] = (r["qps"], r["ef"])
    if not candidates:
        return {}
    setting = max(candidates, key=lambda s: candidates[s][0])
    ef = candidates[setting][1]
    tables = args.kernels.split(",")
    best = {k: None for k in tables}
    for rnd in range(args.rounds + 1):
        for k in tables:
            rows = run_child(args, metric, setting, [ef], None, k)
            best[k] = merge_best(best[k], rows)
        print(f"[sq8] kernel A/B round {rnd + 1}: " + ", ".join(
            f"{k} {best[k][ef]['qps']:.0f}" for k in tables), file=sys.stderr)
    return {"setting": setting, "ef": ef, "tables": {k: best[k][ef] for k in tables}}


def report(args, metric: str, shape: str, res: dict) -> None:
    for build, per in res["settings"].items():
        names = list(per)
        efs = [r["ef"] for r in per[names[0]]]
        title = f"{args.dataset} {shape}, {metric}" + (f" ({build} build)" if len(res["settings"]) > 1 else "")
        print(f"\n### SQ8 routes, {title}: CPU QPS / recall@10 (one query per call)\n")
        rows = [[ef] + [f"{per[s][i]['qps']:,.0f} / {per[s][i]['recall']:.3f}" for s in names]
                for i, ef in enumerate(efs)]
        print(benchlib.table(["ef"] + names, rows))
        print(f"\nAt equal recall@10 ({build} build):\n")
        rows = []
        for t, e in res["equal_recall"][build].items():
            fl = e["qps"].get("float")
            best = e["best_sq8"]
            rows.append([t, f"{fl:,.0f}" if fl else "-", best or "-",
                         f"{e['qps'][best]:,.0f}" if best else "-", f"**{e['ratio']:.2f}x**" if e["ratio"] else "-"])
        print(benchlib.table(["recall", "float QPS", "best SQ8 setting", "its QPS", "ratio"], rows))
    ab = res.get("kernel_ab")
    if ab:
        print(f"\nKernel A/B: {ab['setting']} at ef {ab['ef']} (recall {next(iter(ab['tables'].values()))['recall']:.3f}), "
              "CPU QPS per kernel table (ULMORA_KERNELS):\n")
        base = ab["tables"].get("portable")
        rows = [[k, f"{r['qps']:,.0f}", f"{r['qps'] / base['qps']:.2f}x" if base else "-"]
                for k, r in ab["tables"].items()]
        print(benchlib.table(["kernels", "QPS", "vs portable"], rows))


def main(argv=None):
    if argv is None and len(sys.argv) > 1 and sys.argv[1] == "--child":
        dataset, metric, efs, nq, screen, patience = sys.argv[2:8]
        return child(dataset, metric, [int(x) for x in efs.split(",")], int(nq), screen == "1", int(patience))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dataset", default="clustered", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--metrics", default="cosine")
    ap.add_argument("--efs", default="10,16,24,32,48,64,96,128,192,256")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--targets", default="0.95,0.97,0.99")
    ap.add_argument("--settings", default=",".join(SETTINGS))
    ap.add_argument("--kernels", default="", help="kernel tables for the A/B, e.g. portable,avx2_fma,avx512_vnni")
    ap.add_argument("--baseline", default=None, help="directory of a second ulmoradb*.so build")
    args = ap.parse_args(argv)

    benchlib.import_ulmoradb()
    builds = {"new": None}
    if args.baseline:
        builds = {"baseline": args.baseline, "new": None}
    record = {"dataset": args.dataset, "queries": args.queries, "k": K, "rounds": args.rounds, "results": {}}
    for metric in args.metrics.split(","):
        base, _, _ = datasets.load(args.dataset, metric)
        shape = f"{base.shape[0] // 1000}k x {base.shape[1]}"
        del base
        h2s.snapshot_for(args.dataset, metric)
        res = run_metric(args, metric, builds)
        record["results"][metric] = res
        report(args, metric, shape, res)
    out = benchlib.save(f"sq8_{args.dataset}", record)
    print(f"\n(saved {out})", file=sys.stderr)


if __name__ == "__main__":
    main()

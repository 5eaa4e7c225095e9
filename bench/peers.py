"""Peer benchmark: recall@10 against QPS for ulmoradb and its peers, each
library with its own graph (M = 16, ef_construction = 200, built on 2
threads), on Fashion-MNIST, a 200k x 128 clustered set, the hard set
(Euclidean) and the hard set under Cosine. Our settings run again on a graph
built at the package's default ef_construction ("ulmoradb efc N"; --ours-efc).

For every data set and setting (peerlibs.SETTINGS) it
1. builds the graph in a fresh process, timing the insertion, and saves it
   (graphs are kept in bench/out/peers/ and reused; --rebuild builds anew);
2. loads the saved graph in another fresh process (load time, resident
   bytes per node) that stays up and answers the query matrix in one call
   per pass; at each ef the passes of all settings alternate (one thread
   and two, best of --repeat passes each), until recall@10 reaches 0.999 or
   the ef list ends;
3. tabulates QPS at recall@10 0.95 and 0.99 (interpolated on each curve),
   the ratio of our best setting to the fastest peer, build and load time,
   memory and 1 -> 2 thread scaling, and plots the curves (peers_report.py).

``--all`` runs every set and writes the record: bench/results/peers.json,
bench/results/peers_*.png and the generated section of bench/RESULTS.md.
Smaller runs (``--sets``, ``--libs``, ``--n``) write their report under
bench/out/peers/report/ unless ``--publish`` is given.

Usage:
  python -m bench.peers --all
  python -m bench.peers --sets hard --libs ulmoradb,hnswlib --n 5000 --queries 200
  python -m bench.peers --report-only          # tables and plots from bench/results/peers.json
  python -m bench.peers --report-only --from bench/out/peers/record.partial.json --publish
The record so far is saved after every data set (bench/out/peers/record.partial.json), so an
interrupted run can still be reported.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from ulmora.exact import recall

from bench import benchlib, datasets, peerlibs, peers_report

K = 10
# Steps of about 15-25%: QPS at a recall target is interpolated between
# neighbouring points, and a coarse grid understates a curve that bends
# sharply just above ef = k.
EFS = (10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 256, 320, 384, 512, 768)
STOP_RECALL = 0.999
PASS_LIMIT_S = 30.0  # a slower single pass ends the sweep
WORK = datasets.OUT_DIR / "peers"
RESULTS_DIR = benchlib.BENCH_DIR / "results"
RESULTS_MD = benchlib.BENCH_DIR / "RESULTS.md"

# key -> (data set, metric, title)
SETS = {
    "hard": ("hard", "euclidean", "hard 50,000 x 128, Euclidean"),
    "hard-cosine": ("hard", "cosine", "hard 50,000 x 128, Cosine"),
    "fashion": ("fashion", "euclidean", "Fashion-MNIST 60,000 x 784, Euclidean"),
    "clustered": ("clustered200k", "euclidean", "clustered 200,000 x 128, Euclidean"),
}
IMPORT_NAME = {"ulmoradb": None, "hnswlib": "hnswlib", "faiss": "faiss", "usearch": "usearch.index",
               "voyager": "voyager"}


# ------------------------------------------------------------------ children


def child_build(label: str, base_path: str, metric: str, out: str, threads: int) -> dict:
    setting = peerlibs.lookup(label)
    base = np.load(base_path)
    secs = setting.build(base, metric, out, threads)
    how = peerlibs.ulmora_builder()[0] if setting.ours else setting.lib
    return {"build_s": secs, "points_per_s": base.shape[0] / secs, "how": how}


def child_serve(label: str, graph: str, meta: dict) -> None:
    """Loads one index, reports load time and memory, then answers commands
    from stdin (one JSON line each) until stdin closes."""
    setting = peerlibs.lookup(label)
    if IMPORT_NAME[setting.lib]:
        importlib.import_module(IMPORT_NAME[setting.lib])
    else:
        benchlib.import_ulmoradb()
    q = setting.prepare(np.load(meta["queries"]), meta["metric"])
    gt = np.load(meta["gt"])
    benchlib.malloc_trim()
    before = benchlib.rss_bytes()
    t = time.perf_counter()
    index = setting.load(graph, meta["dim"], meta["n"], meta["metric"])
    load_s = time.perf_counter() - t
    benchlib.malloc_trim()
    print(json.dumps({"load_s": load_s, "bytes_per_node": (benchlib.rss_bytes() - before) / meta["n"]}), flush=True)
    for line in sys.stdin:
        cmd = json.loads(line)
        t = time.perf_counter()
        ids = setting.search(index, q, K, cmd["ef"], cmd["threads"])
        secs = time.perf_counter() - t
        reply = {"secs": secs}
        if cmd.get("recall"):
            reply["recall"] = recall(np.asarray(ids).astype(np.int64, copy=False), gt, K)
        print(json.dumps(reply), flush=True)


def _child_env(extra: dict | None = None) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith("VECTORDB_")}
    env.update(extra or {})
    return env


def run_child(args: list, env_extra: dict | None = None) -> dict:
    proc = subprocess.run([sys.executable, "-m", "bench.peers", "--child", json.dumps(args)], env=_child_env(env_extra),
                          stdout=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"child {args[0]} {args[1]} failed with status {proc.returncode}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


class Server:
    """A child process holding one loaded index, asked one pass at a time."""

    def __init__(self, label: str, graph: Path, meta: dict, env_extra: dict):
        self.label = label
        self.proc = subprocess.Popen([sys.executable, "-m", "bench.peers", "--child", json.dumps(["serve", label, str(graph), meta])],
                                     env=_child_env(env_extra), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.loaded = self._reply()

    def _reply(self) -> dict:
        for line in self.proc.stdout:
            if line.startswith("{"):
                return json.loads(line)
        raise RuntimeError(f"{self.label}: search process ended with status {self.proc.wait()}")

    def ask(self, ef: int, threads: int, recall: bool = False) -> dict:
        self.proc.stdin.write(json.dumps({"ef": ef, "threads": threads, "recall": recall}) + "\n")
        self.proc.stdin.flush()
        return self._reply()

    def close(self) -> None:
        if self.proc.stdin:
            self.proc.stdin.close()
        self.proc.wait()


def busy_cores(interval: float = 0.5) -> float:
    """Cores busy with other work right now (sampled between our processes)."""

    def sample():
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        return sum(fields), fields[3] + fields[4]

    total0, idle0 = sample()
    time.sleep(interval)
    total1, idle1 = sample()
    return (1 - (idle1 - idle0) / max(total1 - total0, 1)) * (os.cpu_count() or 1)


# -------------------------------------------------------------------- parent


def prepare_set(key: str, n: int | None, nq: int) -> dict:
    """Query, ground-truth and (for --n) base files of a set under bench/out/peers/."""
    name, metric, title = SETS[key]
    base, queries, gt = datasets.load(name, metric)
    tag = key if n is None else f"{key}_n{n}"
    folder = WORK / tag
    folder.mkdir(parents=True, exist_ok=True)
    base_path = datasets.DATA_DIR / f"{name}_base.npy"
    if n is not None and n < base.shape[0]:
        base = np.ascontiguousarray(base[:n])
        base_path = folder / "base.npy"
        gt_n = folder / f"gt_{nq}.npy"
        if not gt_n.exists():
            np.save(gt_n, datasets.ground_truth(base, queries[:nq], K, metric))
        gt = np.load(gt_n)
        if not base_path.exists():
            np.save(base_path, base)
    q_path, gt_path = folder / f"queries_{nq}.npy", folder / f"gt10_{nq}.npy"
    np.save(q_path, np.ascontiguousarray(queries[:nq]))
    np.save(gt_path, np.ascontiguousarray(gt[:nq, :K]))
    return {"key": key, "title": title, "name": name, "metric": metric, "n": int(base.shape[0]),
            "dim": int(base.shape[1]), "queries": int(min(nq, queries.shape[0])), "folder": str(folder),
            "base": str(base_path), "queries_file": str(q_path), "gt": str(gt_path)}


def ensure_graph(setting, meta: dict, rebuild: bool, threads: int) -> tuple[Path, dict]:
    folder = Path(meta["folder"])
    graph = folder / f"{setting.graph}.{setting.ext}"
    info_path = folder / f"{setting.graph}.build.json"
    if rebuild or not graph.exists() or not info_path.exists():
        print(f"  [build] {setting.graph} on {meta['key']} ({meta['n']} x {meta['dim']})", file=sys.stderr)
        info = run_child(["build", setting.label, meta["base"], meta["metric"], str(graph), threads])
        info_path.write_text(json.dumps(info))
    return graph, json.loads(info_path.read_text())


def sweep(servers: list[Server], queries: int, efs: list[int], repeat: int, busy: list) -> dict:
    """Points of every server's curve. At each ef the passes of all servers
    alternate (recall pass, then ``repeat`` timed passes with 1 and with 2
    threads each), so bursts of other load on a shared machine fall on every
    library alike; each point keeps its fastest pass."""
    points = {s.label: [] for s in servers}
    active = list(servers)
    for ef in efs:
        if not active:
            break
        busy.append(busy_cores())
        recall = {s.label: s.ask(ef, 1, recall=True)["recall"] for s in active}
        best = {(s.label, t): float("inf") for s in active for t in (1, 2)}
        for _ in range(repeat):
            for t in (1, 2):
                for s in active:
                    best[(s.label, t)] = min(best[(s.label, t)], s.ask(ef, t)["secs"])
        for s in list(active):
            p = {"ef": ef, "recall": recall[s.label], "qps1": queries / best[(s.label, 1)],
                 "qps2": queries / best[(s.label, 2)]}
            points[s.label].append(p)
            print(f"    {s.label} ef={ef}: recall {p['recall']:.4f}, {p['qps1']:,.0f} QPS (1 thread), "
                  f"{p['qps2']:,.0f} (2 threads)", file=sys.stderr)
            if p["recall"] >= STOP_RECALL or best[(s.label, 1)] > PASS_LIMIT_S:
                active.remove(s)
    return points


def run_set(key: str, labels: list[str], args, built: set) -> dict:
    meta = prepare_set(key, args.n, args.queries)
    child_meta = {"queries": meta["queries_file"], "gt": meta["gt"], "metric": meta["metric"],
                  "n": meta["n"], "dim": meta["dim"]}
    out = {k: meta[k] for k in ("key", "title", "name", "metric", "n", "dim", "queries")}
    out["reduced_n"], out["date"] = args.n, benchlib.machine()["date"]
    out["settings"], out["background_busy_cores"] = {}, []
    servers = []
    try:
        for label in labels:
            setting = peerlibs.lookup(label)
            if meta["metric"] not in setting.metrics:
                continue
            entry = {"lib": setting.lib, "ours": setting.ours, "graph": setting.graph, "ef_construction": setting.efc}
            try:
                gkey = (key, setting.graph)
                graph, entry["build"] = ensure_graph(setting, meta, args.rebuild and gkey not in built,
                                                     args.build_threads)
                built.add(gkey)
                entry["graph_bytes"] = graph.stat().st_size
                if not args.build_only:
                    print(f"  [load] {label} on {key}", file=sys.stderr)
                    servers.append(Server(label, graph, child_meta, setting.env))
                    entry.update(servers[-1].loaded)
            except Exception as exc:  # a peer that fails to build or load is reported, not fatal
                print(f"  [skip] {label} on {key}: {exc}", file=sys.stderr)
                entry["error"] = str(exc)
            out["settings"][label] = entry
        if servers:
            print(f"  [search] {len(servers)} settings on {key}, interleaved", file=sys.stderr)
            points = sweep(servers, meta["queries"], args.efs, args.repeat, out["background_busy_cores"])
            for label, pts in points.items():
                out["settings"][label]["points"] = pts
    finally:
        for s in servers:
            s.close()
    return out


def publish(record: dict, to_record: bool) -> None:
    folder = RESULTS_DIR if to_record else WORK / "report"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "peers.json").write_text(json.dumps(record, indent=1))
    pngs = peers_report.plots(record, folder)
    section = peers_report.markdown(record, [os.path.relpath(p, RESULTS_MD.parent) for p in pngs])
    if to_record:
        peers_report.replace_section(RESULTS_MD, section)
        print(f"[peers] wrote {RESULTS_MD}, {folder}/peers.json and {len(pngs)} plots", file=sys.stderr)
    else:
        (folder / "peers.md").write_text(section)
        print(f"[peers] wrote {folder}/peers.md, peers.json and {len(pngs)} plots", file=sys.stderr)
    print(section)


def main(argv=None):
    if argv is None and len(sys.argv) > 2 and sys.argv[1] == "--child":
        kind, *rest = json.loads(sys.argv[2])
        if kind == "build":
            print(json.dumps(child_build(*rest)))
        else:
            child_serve(*rest)
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--all", action="store_true", help="every set and setting; writes the record")
    ap.add_argument("--sets", default=",".join(SETS), help=f"comma-separated, from {','.join(SETS)}")
    ap.add_argument("--libs", default=",".join(peerlibs.LIBS), help="comma-separated library names")
    ap.add_argument("--n", type=int, help="first N base points only (smaller runs)")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--efs", default=",".join(map(str, EFS)))
    ap.add_argument("--repeat", type=int, default=2, help="timed passes per ef and thread count; best counts")
    ap.add_argument("--build-only", action="store_true", help="build (or keep) the graphs, search nothing")
    ap.add_argument("--ours-efc", help="comma-separated ef_construction values: our settings again on graphs "
                    "built with them, labelled 'ulmoradb efc N' (default: the package's default, when it is "
                    "not 200; 'none' adds nothing)")
    ap.add_argument("--build-threads", type=int, default=2)
    ap.add_argument("--rebuild", action="store_true", help="build the graphs again (default: reuse)")
    ap.add_argument("--publish", action="store_true", help="write the record even for a partial run")
    ap.add_argument("--add-to", type=Path, help="merge this run's sets into that record (for example "
                    "bench/out/peers/record.partial.json) and report the merged record")
    ap.add_argument("--report-only", action="store_true", help="regenerate tables and plots from the record")
    ap.add_argument("--from", dest="source", type=Path, default=RESULTS_DIR / "peers.json",
                    help="record read by --report-only")
    args = ap.parse_args(argv)

    if args.report_only:
        record = json.loads(args.source.read_text())
        return publish(record, args.source == RESULTS_DIR / "peers.json" or args.publish)
    benchlib.import_ulmoradb()  # fails early, and fixes PYTHONPATH for the children
    sets = list(SETS) if args.all else args.sets.split(",")
    libs = set(peerlibs.LIBS if args.all else args.libs.split(","))
    labels = [s.label for s in peerlibs.SETTINGS if s.lib in libs]
    if args.ours_efc is None:
        ours_efc = [] if peerlibs.default_efc() == peerlibs.EF_CONSTRUCTION else [peerlibs.default_efc()]
    else:
        ours_efc = [] if args.ours_efc == "none" else [int(e) for e in args.ours_efc.split(",")]
    labels += [s.label for efc in ours_efc for s in peerlibs.at_efc(efc)]
    args.efs = [int(e) for e in args.efs.split(",")]
    start = time.perf_counter()
    record = {"machine": benchlib.machine(), "k": K, "m": peerlibs.M, "ef_construction": peerlibs.EF_CONSTRUCTION,
              "ours_efc": ours_efc, "default_efc": peerlibs.default_efc(), "build_threads": args.build_threads,
              "repeat": args.repeat, "reduced_n": args.n,
              "ulmora_builder": peerlibs.ulmora_builder()[0], "versions": versions(), "sets": {}}
    built: set = set()
    for key in sets:
        print(f"[peers] {key}", file=sys.stderr)
        record["sets"][key] = run_set(key, labels, args, built)
        record["wall_s"] = time.perf_counter() - start
        (WORK / "record.partial.json").write_text(json.dumps(record, indent=1))
    if args.add_to:
        merged = json.loads(args.add_to.read_text())
        merged["sets"].update(record["sets"])
        merged.setdefault("added_runs", []).append({k: record[k] for k in ("machine", "reduced_n", "wall_s")}
                                                   | {"sets": list(record["sets"])})
        record = merged
    publish(record, args.all or args.publish)


def versions() -> dict:
    from importlib import metadata

    out = {}
    for dist in ("hnswlib", "faiss-cpu", "usearch", "voyager", "numpy"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


if __name__ == "__main__":
    main()

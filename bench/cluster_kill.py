"""A shard actor killed (SIGKILL) under a steady load of searches and writes.

A Ray collection (`ulmora.cluster.Collection`, `--replicas` actors per
shard) serves one thread that searches without pause and one that inserts
small batches with fresh ids. After a warm-up the script kills, one after
another, a search replica and a writer (`os.kill(pid, SIGKILL)`, as a crash
or the OOM killer would), and for each records:

- restart: from the kill until the restarted actor answers a call of its
  own (it has reopened its shard and replayed the log);
- the longest search and the longest insert across the kill, and how many
  searches failed (with 2 replicas: none should);
- at the end, that every acknowledged insert is in the collection exactly
  once (the live ids are the built ones plus the acknowledged ones).

Target (from the issue): serving again within 5 s; with 2 replicas no
search fails; nothing acknowledged lost or duplicated.

Usage: python -m bench.cluster_kill [--shards 4] [--per-shard 20000] [--replicas 2] [--kills 3]
Results: a table on stdout and bench/out/cluster_kill.json.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import statistics
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from bench.benchlib import save, table


class Load:
    """A searching thread and an inserting thread, each logging (start, seconds, ok) per call."""

    def __init__(self, coll, dim: int, first_id: int, batch: int = 8):
        self.coll, self.dim, self.next_id, self.batch = coll, dim, first_id, batch
        self.stop = threading.Event()
        self.searches: list[tuple[float, float, bool]] = []
        self.inserts: list[tuple[float, float, bool]] = []
        self.acked: list[np.ndarray] = []
        self.errors: list[str] = []
        self.threads = [threading.Thread(target=self._search), threading.Thread(target=self._insert)]

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for t in self.threads:
            t.join()

    def _search(self):
        rng = np.random.default_rng(7)
        while not self.stop.is_set():
            q = rng.standard_normal(self.dim).astype(np.float32)
            t0 = time.monotonic()
            try:
                self.coll.search(q, k=10, ef=64)
                ok = True
            except Exception as e:  # counted: a failed search is what the replicas should prevent
                ok = False
                self.errors.append(f"search: {type(e).__name__}: {e}")
            self.searches.append((t0, time.monotonic() - t0, ok))

    def _insert(self):
        rng = np.random.default_rng(8)
        while not self.stop.is_set():
            ids = np.arange(self.next_id, self.next_id + self.batch, dtype=np.uint64)
            vectors = rng.standard_normal((self.batch, self.dim)).astype(np.float32)
            t0 = time.monotonic()
            try:
                self.coll.insert(vectors, ids)
                self.acked.append(ids)
                ok = True
            except Exception as e:
                ok = False
                self.errors.append(f"insert: {type(e).__name__}: {e}")
            self.next_id += self.batch  # a refused batch's ids are not reused: it may be partly written
            self.inserts.append((t0, time.monotonic() - t0, ok))
            time.sleep(0.01)


def kill_and_wait(actor, pid_before: int) -> float:
    """SIGKILL the actor's process; seconds until the restarted actor answers a call of its own."""
    import ray

    t0 = time.monotonic()
    os.kill(pid_before, signal.SIGKILL)
    while True:
        try:
            pid = ray.get(actor.pid.remote(), timeout=1.0)
            if pid != pid_before:
                ray.get(actor.meta.remote(), timeout=5.0)  # the shard is open and answers
                return time.monotonic() - t0
        except Exception:  # still dead or restarting
            pass
        if time.monotonic() - t0 > 60:
            raise RuntimeError("the killed actor did not come back within 60 s")
        time.sleep(0.02)


def window(calls, start: float, end: float) -> tuple[float, int, int]:
    """(longest call in ms, calls, failed calls) among the calls started in [start, end)."""
    inside = [(s, ok) for t, s, ok in calls if start <= t < end]
    if not inside:
        return 0.0, 0, 0
    return max(s for s, _ in inside) * 1e3, len(inside), sum(not ok for _, ok in inside)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--shards", type=int, default=4)
    p.add_argument("--per-shard", type=int, default=20_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--replicas", type=int, default=2)
    p.add_argument("--kills", type=int, default=3, help="kills of each kind (a replica, a writer)")
    p.add_argument("--settle", type=float, default=3.0, help="seconds of load between kills")
    args = p.parse_args(argv)

    import ray

    import ulmora
    import ulmora.cluster as uc

    n = args.shards * args.per_shard
    data = np.random.default_rng(1).standard_normal((n, args.dim)).astype(np.float32)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    work = Path(tempfile.mkdtemp(prefix="ulmora-kill-bench-"))
    rows, events = [], []
    try:
        ulmora.build_collection(work / "c", data, shards=args.shards, metric="euclidean", progress=False)
        with uc.Collection(work / "c", replicas=args.replicas, timeout_s=60) as coll:
            with Load(coll, args.dim, n) as load:
                time.sleep(args.settle)
                plan = [("replica", 1 if args.replicas > 1 else 0), ("writer", 0)] * args.kills
                for i, (kind, r) in enumerate(plan):
                    shard = i % args.shards
                    actor = coll.actors(shard)[r]
                    pid = ray.get(actor.pid.remote())
                    t0 = time.monotonic()
                    back = kill_and_wait(actor, pid)
                    time.sleep(args.settle)
                    events.append((kind, shard, t0, back))
            end = time.monotonic()
            acked = np.concatenate(load.acked) if load.acked else np.zeros(0, np.uint64)
            live = coll.ids()
            expect = np.concatenate([np.arange(n, dtype=np.uint64), acked])
            unique = len(np.unique(live)) == len(live)
            lost = np.setdiff1d(expect, live).size
            extra = np.setdiff1d(live, expect).size  # a refused insert that still wrote (allowed, not acked)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        ray.shutdown()

    for j, (kind, shard, t0, back) in enumerate(events):
        stop = events[j + 1][2] if j + 1 < len(events) else end
        s_max, s_n, s_fail = window(load.searches, t0, stop)
        i_max, i_n, i_fail = window(load.inserts, t0, stop)
        rows.append({"kill": kind, "shard": shard, "restart_s": back, "search_max_ms": s_max, "searches": s_n,
                     "searches_failed": s_fail, "insert_max_ms": i_max, "inserts": i_n, "inserts_failed": i_fail})
    steady = [s for t, s, ok in load.searches if t < events[0][2]] if events else []
    record = {"shards": args.shards, "per_shard": args.per_shard, "dim": args.dim, "replicas": args.replicas,
              "kills": rows, "acknowledged_inserts": int(len(acked)), "lost": int(lost), "unacknowledged_present":
              int(extra), "ids_unique": bool(unique), "errors": load.errors[:20],
              "steady_search_ms": statistics.median(steady) * 1e3 if steady else None}
    print(f"\n{args.shards} shards x {args.per_shard} x {args.dim}, {args.replicas} replicas; one thread searching, "
          f"one inserting batches of {load.batch}\n")
    print(table(["kill", "shard", "serving again (s)", "longest search (ms)", "searches (failed)",
                 "longest insert (ms)", "inserts (failed)"],
                [[r["kill"], r["shard"], f"{r['restart_s']:.2f}", f"{r['search_max_ms']:.0f}",
                  f"{r['searches']} ({r['searches_failed']})", f"{r['insert_max_ms']:.0f}",
                  f"{r['inserts']} ({r['inserts_failed']})"] for r in rows]))
    print(f"\nsteady search {record['steady_search_ms']:.2f} ms (median); acknowledged inserts "
          f"{record['acknowledged_inserts']}, lost {lost}, ids unique {unique}, unacknowledged present {extra}")
    for e in load.errors[:5]:
        print("error:", e)
    print(f"\nrecord: {save('cluster_kill', record)}")
    return 0 if lost == 0 and unique else 1


if __name__ == "__main__":
    raise SystemExit(main())

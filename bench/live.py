"""Live segments under load: searches beside a writer and beside compaction.

A segment of N x 64 normal rows (Euclidean, M 16, ef_construction 64) is
built once; every phase works on a fresh copy of its files.

1. idle: two reader threads search (k 10, ef 32) for --seconds: latency
   p50/p99 and searches/s (both threads together).
2. writer alone: one thread inserts batches of 5, 50 and 500 rows
   (threads=1) back to back: points/s.
3. writer + readers: the same writer beside the two readers: reader
   p99 and searches/s, writer points/s.
4. compact alone: 10k of 50k points (a fifth) deleted, then compact():
   seconds.
5. compact + readers: the same compaction while the two readers search:
   p99 and searches/s of the searches that started during it, seconds.
6. compact + readers + writer: a writer inserting batches of 50 during the
   compaction as well: the longest insert call that overlapped it (how long
   a mutation waited), points/s during it, reader p99.

Run it with each installed version of the package (the interpreter of a
venv holding main's build, then this one) and compare the JSON records:

    python -m bench.live --label new
    /path/to/other/venv/bin/python -m bench.live --label base

Usage: python -m bench.live [--n 50000] [--seconds 5] [--label NAME] [--compact-threads 2]
Results: a table on stdout and bench/out/live_<label>.json.
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from bench import benchlib

DIM, K, EF = 64, 10, 32
BATCHES = (5, 50, 500)


def pct(lat: list[float], q: float) -> float:
    return float(np.percentile(np.asarray(lat), q) * 1000) if lat else float("nan")


class Readers:
    """Two threads searching until stopped; each search's start and duration."""

    def __init__(self, seg, queries: np.ndarray, threads: int = 2):
        self.seg, self.queries = seg, queries
        self.stop = threading.Event()
        self.samples: list[list[tuple[float, float]]] = [[] for _ in range(threads)]
        self.threads = [threading.Thread(target=self.run, args=(t,)) for t in range(threads)]

    def run(self, t: int) -> None:
        out = self.samples[t]
        q, n = self.queries, len(self.queries)
        i = t
        while not self.stop.is_set():
            start = time.perf_counter()
            self.seg.search(q[i % n], k=K, ef=EF)
            out.append((start, time.perf_counter() - start))
            i += 2

    def __enter__(self):
        for th in self.threads:
            th.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for th in self.threads:
            th.join()

    def window(self, t0: float, t1: float) -> dict:
        lat = [d for s in self.samples for (start, d) in s if t0 <= start < t1]
        return {"searches": len(lat), "per_s": len(lat) / (t1 - t0), "p50_ms": pct(lat, 50), "p99_ms": pct(lat, 99),
                "max_ms": max(lat) * 1000 if lat else float("nan")}


class Writer:
    """One thread inserting batches of `batch` rows until stopped."""

    def __init__(self, seg, rows: np.ndarray, batch: int):
        self.seg, self.rows, self.batch = seg, rows, batch
        self.stop = threading.Event()
        self.calls: list[tuple[float, float]] = []
        self.thread = threading.Thread(target=self.run)

    def run(self) -> None:
        at, n = 0, len(self.rows)
        while not self.stop.is_set():
            if at + self.batch > n:
                at = 0
            chunk = self.rows[at:at + self.batch]
            at += self.batch
            start = time.perf_counter()
            self.seg.insert(chunk, threads=1)
            self.calls.append((start, time.perf_counter() - start))

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()

    def window(self, t0: float, t1: float) -> dict:
        inside = [(s, d) for (s, d) in self.calls if s >= t0 and s + d <= t1]
        overlapping = [d for (s, d) in self.calls if s < t1 and s + d > t0]
        return {"points_per_s": len(inside) * self.batch / (t1 - t0), "calls": len(inside),
                "longest_call_ms": max(overlapping) * 1000 if overlapping else float("nan")}


def fresh(built: Path, work: Path, name: str) -> Path:
    d = work / name
    d.mkdir()
    for f in built.parent.iterdir():
        if f.suffix in (".snap", ".wal"):
            shutil.copy(f, d / f.name)
    return d / built.name


def timed_phase(seconds: float, *ctx) -> tuple[float, float]:
    """Enters the contexts, lets them run `seconds` (after a short warm-up), returns the window."""
    for c in ctx:
        c.__enter__()
    try:
        time.sleep(0.3)
        t0 = time.perf_counter()
        time.sleep(seconds)
        t1 = time.perf_counter()
    finally:
        for c in reversed(ctx):
            c.__exit__(None, None, None)
    return t0, t1


def compaction(ulmora, built: Path, work: Path, name: str, n: int, threads: int, queries, extra,
               with_readers: bool, writer_batch: int | None) -> dict:
    path = fresh(built, work, name)
    seg = ulmora.open(path)
    gone = np.random.default_rng(5).choice(n, n // 5, replace=False)
    seg.delete(gone)
    readers = Readers(seg, queries) if with_readers else None
    writer = Writer(seg, extra, writer_batch) if writer_batch else None
    ctx = [c for c in (readers, writer) if c]
    for c in ctx:
        c.__enter__()
    try:
        time.sleep(0.3 if ctx else 0)
        t0 = time.perf_counter()
        seg.compact(threads=threads)
        t1 = time.perf_counter()
        time.sleep(0.1 if ctx else 0)
    finally:
        for c in reversed(ctx):
            c.__exit__(None, None, None)
    out = {"compact_s": t1 - t0}
    if readers:
        out["readers"] = readers.window(t0, t1)
    if writer:
        out["writer"] = writer.window(t0, t1)
    seg.close()
    return out


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=50_000)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--label", default="new")
    ap.add_argument("--compact-threads", type=int, default=2)
    ap.add_argument("--phases", default="idle,writer,compact",
                    help="comma list of idle, writer (alone and beside readers), alone (writer alone only), compact, "
                         "compact_alone (three compactions alone only)")
    args = ap.parse_args(argv)
    phases = set(args.phases.split(","))

    import ulmora

    rng = np.random.default_rng(1)
    base = rng.standard_normal((args.n, DIM)).astype(np.float32)
    queries = rng.standard_normal((2000, DIM)).astype(np.float32)
    extra = rng.standard_normal((100_000, DIM)).astype(np.float32)
    record: dict = {"n": args.n, "dim": DIM, "k": K, "ef": EF, "seconds": args.seconds, "label": args.label,
                    "module": ulmora.__file__}
    with tempfile.TemporaryDirectory(dir=benchlib.BENCH_DIR.parent / "build") as tmp:
        work = Path(tmp)
        (work / "built").mkdir()
        built = work / "built" / "seg.snap"
        t = time.perf_counter()
        ulmora.build(built, base, metric="euclidean", m=16, ef_construction=64, threads=2, progress=False)
        record["build_s"] = time.perf_counter() - t

        if "idle" in phases:
            seg = ulmora.open(fresh(built, work, "idle"))
            readers = Readers(seg, queries)
            record["idle"] = readers.window(*timed_phase(args.seconds, readers))
            seg.close()
            print(f"idle: {record['idle']}", flush=True)

        for b in BATCHES if phases & {"writer", "alone"} else ():
            seg = ulmora.open(fresh(built, work, f"alone{b}"))
            writer = Writer(seg, extra, b)
            alone = writer.window(*timed_phase(args.seconds, writer))
            seg.close()
            if "writer" not in phases:
                record[f"writer{b}"] = {"alone": alone}
                print(f"writer {b} alone: {alone}", flush=True)
                continue
            seg = ulmora.open(fresh(built, work, f"busy{b}"))
            readers, writer = Readers(seg, queries), Writer(seg, extra, b)
            window = timed_phase(args.seconds, readers, writer)
            record[f"writer{b}"] = {"alone": alone, "with_readers": writer.window(*window),
                                    "readers": readers.window(*window)}
            seg.close()
            print(f"writer {b}: {record[f'writer{b}']}", flush=True)

        ct = args.compact_threads
        if "compact_alone" in phases:
            for r in range(3):
                record[f"compact_alone{r}"] = compaction(ulmora, built, work, f"a{r}", args.n, ct, queries, extra,
                                                         False, None)
                print(f"compact alone: {record[f'compact_alone{r}']}", flush=True)
        if "compact" not in phases:
            print(f"saved {benchlib.save('live_' + args.label, record)}")
            return
        record["compact_alone"] = compaction(ulmora, built, work, "c0", args.n, ct, queries, extra, False, None)
        record["compact_readers"] = compaction(ulmora, built, work, "c1", args.n, ct, queries, extra, True, None)
        record["compact_writer"] = compaction(ulmora, built, work, "c2", args.n, ct, queries, extra, True, 50)
        for key in ("compact_alone", "compact_readers", "compact_writer"):
            print(f"{key}: {record[key]}", flush=True)

    idle = record["idle"]
    rows = [["idle", "", f"{idle['p99_ms']:.3f}", f"{idle['per_s']:,.0f}", "", ""]]
    for b in BATCHES:
        r = record[f"writer{b}"]
        rows.append([f"writer, batches of {b}", "", f"{r['readers']['p99_ms']:.3f}", f"{r['readers']['per_s']:,.0f}",
                     f"{r['with_readers']['points_per_s']:,.0f}", f"{r['alone']['points_per_s']:,.0f}"])
    for key in ("compact_alone", "compact_readers", "compact_writer"):
        r = record[key]
        rd = r.get("readers", {})
        wr = r.get("writer", {})
        rows.append([key.replace("_", " + "), f"{r['compact_s']:.2f}", f"{rd.get('p99_ms', float('nan')):.3f}",
                     f"{rd.get('per_s', float('nan')):,.0f}", f"{wr.get('points_per_s', float('nan')):,.0f}",
                     f"longest insert {wr.get('longest_call_ms', float('nan')):.1f} ms" if wr else ""])
    print(benchlib.table(["phase", "compact s", "search p99 ms", "searches/s", "writer pts/s (readers on)",
                          "writer pts/s alone"], rows))
    print(f"saved {benchlib.save('live_' + args.label, record)}")


if __name__ == "__main__":
    main()

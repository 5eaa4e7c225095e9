"""Many Python threads on one Index.

Searcher threads call search and search_batch on one shared Index while
other threads construct indexes from the same file, search them once and
drop them. Every result must equal the single-threaded result computed
before the threads started, and no call may raise. The run is bounded in
time; the summary line (duration, operation counts) is printed for the
record.
"""

from __future__ import annotations

import threading
import time

import numpy as np
import pytest

import ulmoradb

DURATION = 3.0  # seconds of concurrent calls
SEARCHERS = 4
BATCHERS = 2
BUILDERS = 2


def same(a, b) -> bool:
    """Equal ids and scores (NaN padding compares equal)."""
    return np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1], equal_nan=True)


@pytest.mark.parametrize("quantize", [False, True], ids=["float", "sq8"])
def test_threads_share_one_index_while_others_load(clustered, quantize):
    index = ulmoradb.Index(clustered.path, quantize=quantize)
    queries = clustered.queries
    settings = [dict(k=10, ef=64), dict(k=5, ef=16, scan_cap=8), dict(k=10, ef=96, sq8_screen=quantize)]
    single = [[index.search(q, **s) for q in queries] for s in settings]
    batch = [index.search_batch(queries, **s) for s in settings]
    for s, rows, whole in zip(settings, single, batch):  # the batch agrees with the single calls
        for i, row in enumerate(rows):
            assert same(row, (whole[0][i], whole[1][i])), (s, i)

    stop = threading.Event()
    errors: list[str] = []
    counts = {"search": 0, "search_batch": 0, "load": 0}
    lock = threading.Lock()

    def record(kind: str, n: int = 1) -> None:
        with lock:
            counts[kind] += n

    def guard(body):
        def run(seed: int) -> None:
            rng = np.random.default_rng(seed)
            try:
                while not stop.is_set():
                    body(rng)
            except BaseException as e:  # noqa: BLE001 - every failure is a finding
                errors.append(f"{type(e).__name__}: {e}")
                stop.set()

        return run

    def searcher(rng) -> None:
        j = int(rng.integers(len(settings)))
        i = int(rng.integers(len(queries)))
        got = index.search(queries[i], **settings[j])
        if not same(got, single[j][i]):
            raise AssertionError(f"search differs: setting {j}, query {i}")
        record("search")

    def batcher(rng) -> None:
        j = int(rng.integers(len(settings)))
        threads = int(rng.integers(0, 4))
        got = index.search_batch(queries, threads=threads, **settings[j])
        if not same(got, batch[j]):
            raise AssertionError(f"search_batch differs: setting {j}, threads {threads}")
        record("search_batch")

    def builder(rng) -> None:
        fresh = ulmoradb.Index(clustered.path, quantize=quantize)
        i = int(rng.integers(len(queries)))
        if not same(fresh.search(queries[i], **settings[0]), single[0][i]):
            raise AssertionError(f"a freshly loaded index differs on query {i}")
        del fresh
        record("load")

    workers = (
        [threading.Thread(target=guard(searcher), args=(i,)) for i in range(SEARCHERS)]
        + [threading.Thread(target=guard(batcher), args=(100 + i,)) for i in range(BATCHERS)]
        + [threading.Thread(target=guard(builder), args=(200 + i,)) for i in range(BUILDERS)]
    )
    start = time.monotonic()
    for w in workers:
        w.start()
    stop.wait(DURATION)
    stop.set()
    for w in workers:
        w.join(timeout=60)
    elapsed = time.monotonic() - start
    assert not any(w.is_alive() for w in workers), "a worker did not finish"
    assert not errors, errors[:5]
    print(
        f"\nstress quantize={quantize}: {elapsed:.1f} s, {SEARCHERS + BATCHERS + BUILDERS} threads, "
        f"{counts['search']} search, {counts['search_batch']} search_batch "
        f"({counts['search_batch'] * len(queries)} rows), {counts['load']} loads"
    )
    assert counts["search"] > 0 and counts["search_batch"] > 0 and counts["load"] > 0

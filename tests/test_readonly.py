"""ulmora.open(path, readonly=True), refresh(), and read-only collections."""

from __future__ import annotations

import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import ulmora

DIM = 6


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def build(path, n=60, **kw):
    payloads = [{"colour": "red" if i % 3 == 0 else "blue", "n": i} for i in range(n)]
    ulmora.build(path, rows(n, 1), payloads=payloads, metric="euclidean", m=8, ef_construction=32, threads=1,
                 progress=False, **kw)
    return path


def same_answers(a: ulmora.Segment, b: ulmora.Segment) -> None:
    """Same live points, payloads and filter results (a replayed graph may differ, so search answers are
    checked only for being live points)."""
    ids = a.ids().tolist()
    assert ids == b.ids().tolist()
    assert a.count({"colour": "red"}) == b.count({"colour": "red"})
    for i in ids[::7]:
        (va, pa), (vb, pb) = a.get(i), b.get(i)
        assert np.array_equal(va, vb) and pa == pb
    found, _ = a.search(rows(1, 9)[0], k=5, ef=64)
    assert len(found) == 5 and set(found.tolist()) <= set(ids)


def test_read_only_open_writes_nothing(tmp_path):
    path = build(tmp_path / "seg.snap")
    with ulmora.open(path) as w:  # give it a log with records
        w.insert(rows(3, 2), payloads=[{"colour": "red"}] * 3)
    before = {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()}
    if os.geteuid() != 0:
        for p in tmp_path.iterdir():
            p.chmod(stat.S_IRUSR)
        tmp_path.chmod(stat.S_IRUSR | stat.S_IXUSR)
        try:
            with ulmora.open(path, readonly=True) as r:
                assert len(r) == 63 and r.info()["mode"] == "readonly"
                r.refresh()
                assert r.count({"colour": "red"}) == 23
        finally:
            tmp_path.chmod(stat.S_IRWXU)
            for p in tmp_path.iterdir():
                p.chmod(stat.S_IRUSR | stat.S_IWUSR)
    else:
        # chmod does not stop root: check the file operations instead.
        code = """
            import sys, ulmora
            with ulmora.open(sys.argv[1], readonly=True) as r:
                r.refresh()
                print(len(r), r.readonly, flush=True)
        """
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(path)], capture_output=True,
                              text=True, env=dict(os.environ, ULMORA_FAULT_TRACE="1"), timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["63", "True"]
        ops = {line.split()[2] for line in done.stderr.splitlines() if line.startswith("file_op ")}
        assert ops and ops <= {"open", "read"}, ops
    assert {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()} == before


def test_mutations_are_refused_and_reads_match_the_writer(tmp_path):
    path = build(tmp_path / "seg.snap")
    r = ulmora.open(path, readonly=True)
    assert issubclass(ulmora.ReadOnlyError, PermissionError)
    refused = [("insert", lambda: r.insert(rows(1, 3))), ("delete", lambda: r.delete([1])),
               ("delete", lambda: r.delete(filter={"colour": "red"})),
               ("update_payload", lambda: r.update_payload(1, {})), ("compact", lambda: r.compact())]
    for name, call in refused:
        with pytest.raises(ulmora.ReadOnlyError, match=rf"{name}\(\) is refused: the segment is open read-only"):
            call()
    with pytest.raises(ValueError, match="read-only segment takes none"):
        ulmora.open(path, readonly=True, filter_keys=["colour"])
    with ulmora.open(path) as w:  # the reader holds no lock
        assert w.info()["mode"] == "write"
        w.refresh()  # a writer is always current
        same_answers(r, w)
    r.close()
    with pytest.raises(ValueError, match="closed"):
        r.refresh()


READER = """
    import sys, ulmora
    r = ulmora.open(sys.argv[1], readonly=True)
    print(len(r), r.count({"colour": "red"}), flush=True)
    sys.stdin.readline()
    r.refresh()
    print(len(r), flush=True)
"""


def test_readers_in_other_processes_beside_a_writer(tmp_path):
    path = build(tmp_path / "seg.snap")
    w = ulmora.open(path)
    w.insert(rows(4, 5), payloads=[{"colour": "red"}] * 4)
    readers = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(READER), str(path)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    try:
        for p in readers:
            assert p.stdout.readline().split() == ["64", "24"]
        with pytest.raises(ulmora.SegmentLockedError):
            ulmora.open(path)
        w.insert(rows(2, 6))
        w.compact()
        for p in readers:
            p.stdin.write("\n")
            p.stdin.flush()
            assert p.stdout.readline().split() == ["66"]
    finally:
        for p in readers:
            p.kill()
            p.wait()
        w.close()


def test_refresh_sees_inserts_and_compaction_and_survives_a_bad_file(tmp_path):
    path = build(tmp_path / "seg.snap")
    r = ulmora.open(path, readonly=True)
    with ulmora.open(path) as w:
        w.insert(rows(5, 4))
        w.delete([0, 1])
        assert len(r) == 60
        r.refresh()
        same_answers(r, w)
        w.compact()
        assert (tmp_path / "seg.wal").stat().st_size == 8  # header only
        r.refresh()
        same_answers(r, w)
    good = r.ids().tolist()
    (tmp_path / "seg.snap.new").write_bytes(b"VDBS\x09\x00\x00\x00")
    os.replace(tmp_path / "seg.snap.new", path)
    with pytest.raises(RuntimeError, match="unsupported segment snapshot version 9"):
        r.refresh()
    assert r.ids().tolist() == good and len(r.search(rows(1, 8)[0], k=3)[0]) == 3


def test_refresh_follows_every_kind_of_mutation_step_by_step(tmp_path):
    """Each refresh applies only what was written since the last one; after every step the reader's live
    points, payloads, filter counts and exact filtered answers are the writer's."""
    path = build(tmp_path / "seg.snap", filter_keys=["colour"])
    rng = np.random.default_rng(3)
    with ulmora.open(path) as w, ulmora.open(path, readonly=True) as r:
        for step in range(12):
            live = w.ids()
            kind = step % 4
            if kind == 0:
                w.insert(rows(4, 100 + step), payloads=[{"colour": "green", "n": -step}] * 4)
            elif kind == 1:
                w.delete(rng.choice(live, 3, replace=False))
            elif kind == 2:
                w.update_payload(int(rng.choice(live)), {"colour": "red", "n": 1000 + step})
            else:
                w.delete(filter={"n": {"$lt": 3 * step}})
            r.refresh()
            same_answers(r, w)
            q = rows(1, 200 + step)[0]
            for f in ({"colour": "green"}, {"n": {"$gte": 10}}, {"$not": {"colour": "red"}}):
                got = r.search(q, k=5, filter=f, route="exact")
                want = w.search(q, k=5, filter=f, route="exact")
                assert got[0].tolist() == want[0].tolist() and np.array_equal(got[1], want[1])
        w.compact()
        w.insert(rows(2, 300))
        r.refresh()
        same_answers(r, w)


COMPACTING_WRITER = """
    import sys, numpy as np, ulmora
    seg = ulmora.open(sys.argv[1])
    rng = np.random.default_rng(5)
    for _ in range(int(sys.argv[2])):
        seg.insert(rng.standard_normal((20, {dim})).astype(np.float32))
        print(len(seg), flush=True)
        seg.compact(threads=1)
    seg.close()
"""


def test_refreshes_racing_compactions_never_miss_an_acknowledged_batch(tmp_path):
    path = tmp_path / "seg.snap"
    ulmora.build(path, rows(300, 1), metric="euclidean", m=8, ef_construction=32, threads=1, progress=False)
    acked = [300]
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(COMPACTING_WRITER.format(dim=DIM)), str(path),
                             "40"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def follow() -> None:
        for line in proc.stdout:
            acked[0] = int(line)

    follower = threading.Thread(target=follow)
    follower.start()
    r = ulmora.open(path, readonly=True)
    refreshes = 0
    try:
        while proc.poll() is None and refreshes < 3000:
            before = acked[0]
            r.refresh()
            n = len(r)
            assert n >= before and (n - 300) % 20 == 0, (refreshes, before, n)
            refreshes += 1
    finally:
        proc.kill()
        proc.wait()
        follower.join()
    assert proc.returncode in (0, -signal.SIGKILL), proc.stderr.read()
    assert refreshes > 0
    r.refresh()
    assert len(r) == acked[0]


def test_read_only_collection(tmp_path):
    directory = tmp_path / "coll"
    vectors = rows(90, 3)
    payloads = [{"colour": "red" if i % 3 == 0 else "blue"} for i in range(90)]
    ulmora.build_collection(directory, vectors, shards=3, payloads=payloads, metric="euclidean", threads=1,
                            progress=False)
    w = ulmora.open_collection(directory)
    r = ulmora.open_collection(directory, readonly=True)
    assert r.readonly and len(r) == 90
    for name, call in [("insert", lambda: r.insert(rows(1, 4))), ("delete", lambda: r.delete([1])),
                       ("delete", lambda: r.delete(filter={"colour": "red"})),
                       ("update_payload", lambda: r.update_payload(1, {})), ("compact", lambda: r.compact())]:
        with pytest.raises(ulmora.ReadOnlyError, match=rf"{name}\(\) is refused"):
            call()
    with pytest.raises(ValueError, match="exactly one of ids and filter"):
        w.delete([1], filter={"colour": "red"})
    assert w.delete(filter={"colour": "red"}) == 30
    assert w.delete(filter={"colour": "red"}) == 0
    assert len(r) == 90
    r.refresh()
    assert len(r) == 60 and sorted(r.ids().tolist()) == sorted(w.ids().tolist())
    w.close()
    r.close()
    with ulmora.open_collection(directory) as again:  # the deletes were logged in every shard
        assert len(again) == 60


def test_searches_run_on_while_another_thread_refreshes(tmp_path):
    path = build(tmp_path / "seg.snap")
    r = ulmora.open(path, readonly=True)
    w = ulmora.open(path)
    stop, errors, sizes = threading.Event(), [], set()

    def search() -> None:
        q = rows(1, 12)[0]
        while not stop.is_set():
            try:
                ids, _ = r.search(q, k=3)
                sizes.add(r.count({"colour": {"$exists": True}}))
                assert len(ids) == 3
            except Exception as e:  # reported below
                errors.append(e)
                return

    workers = [threading.Thread(target=search) for _ in range(2)]
    for t in workers:
        t.start()
    try:
        for i in range(8):
            w.insert(rows(2, 100 + i), payloads=[{"colour": "red"}] * 2)
            r.refresh()
    finally:
        stop.set()
        for t in workers:
            t.join()
        w.close()
    assert not errors, errors
    assert len(r) == 76 and sizes <= set(range(60, 77, 2))

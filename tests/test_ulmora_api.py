"""The ulmora package's Python API: building, live segments, payloads, the
writer lock, refused input leaving files untouched, and Ctrl-C during a
build. Files it writes must load in ulmoradb.Index with the same results."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from testkit import snapshot_writer as sw
import ulmora
import ulmoradb
from conftest import complete_graph, default_sigint, exact_reader_scan

DIM = 8


def rows(n: int, seed: int, dim: int = DIM) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


@pytest.fixture
def built(tmp_path: Path):
    """A 300-point Euclidean segment, even ids carrying a payload."""
    path = tmp_path / "seg.snap"
    payloads = [{"i": i, "tag": "even"} if i % 2 == 0 else None for i in range(300)]
    ulmora.build(path, rows(300, 1), payloads=payloads, metric="euclidean", m=8, ef_construction=64,
                 threads=2, progress=False)
    return path


def file_bytes(*paths: Path) -> list[bytes | None]:
    return [p.read_bytes() if p.exists() else None for p in paths]


def run_python(code: str, **env: str) -> subprocess.CompletedProcess:
    full = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full, timeout=120)


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
def test_built_segment_loads_in_ulmoradb_with_the_same_results(tmp_path, metric):
    path = tmp_path / "seg.snap"
    data = rows(500, 2)
    summary = ulmora.build(str(path), data.astype(np.float64), metric=metric.upper(), m=8, ef_construction=48,
                           threads=2, progress=False)
    assert (summary["points"], summary["dim"], summary["metric"]) == (500, DIM, metric)
    assert sorted(os.listdir(tmp_path)) == ["seg.snap"]
    index = ulmoradb.Index(str(path))
    assert len(index) == 500 and index.dim() == DIM
    queries = rows(20, 3)
    with ulmora.open(path) as seg:
        want = index.search_batch(queries, k=10, ef=40)
        got = seg.search_batch(queries, k=10, ef=40)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_allclose(got[1], want[1], rtol=1e-6)
        ids, scores = seg.search(queries[0], k=10, ef=40)
        np.testing.assert_array_equal(ids, want[0][0])
        assert seg.next_id == 500 and len(seg) == 500 and seg.metric == metric


def test_ids_payloads_and_info(tmp_path):
    path = tmp_path / "seg.snap"
    ids = np.array([10, 3, 7_000_000_000], dtype=np.int64)
    payloads = [{"a": 1, "f": [1, 2.5], "s": ["x"], "b": [True]}, None, {"t": "é", "n": np.int32(4)}]
    ulmora.build(path, rows(3, 4), ids=ids, payloads=payloads, metric="euclidean", progress=False)
    info = ulmora.info(path)
    assert (info["points"], info["live"], info["deleted"], info["next_id"]) == (3, 3, 0, 7_000_000_001)
    assert (info["format_version"], info["checksum"], info["log"]["exists"]) == (3, "ok", False)
    assert sum(info["levels"][:1]) == 3 and len(info["degree"]) == len(info["levels"])
    with ulmora.open(path) as seg:
        assert seg.get(10)[1] == {"a": 1, "f": [1.0, 2.5], "s": ["x"], "b": [True]}
        assert seg.get(3)[1] is None
        assert seg.get(7_000_000_000)[1] == {"t": "é", "n": 4}
        assert seg.get(11) is None
        np.testing.assert_array_equal(np.sort(seg.ids()), np.sort(ids.astype(np.uint64)))


@pytest.mark.parametrize("form", [dict(version=None), dict(version=2), dict(version=3),
                                  dict(version=3, metadata=False)])
def test_info_is_the_same_for_every_snapshot_form(tmp_path, form):
    # Unversioned files load through the whole file, the others stream into
    # the graph; both must describe the same segment and replayed log.
    vectors = rows(40, 9)
    seg = sw.Segment(complete_graph(vectors, ids=range(100, 140)), deleted=[101], next_id=140)
    path = sw.write_snapshot(tmp_path / "seg.snap", seg, **form)
    sw.write_wal(tmp_path / "seg.wal", [sw.Insert(140, rows(1, 10)[0]), sw.Delete(100)])
    info = ulmora.info(path)
    assert (info["points"], info["deleted"], info["next_id"], info["log"]["records"]) == (41, 2, 141, 2)
    # The logged insert draws a random level, so only level 0 is fixed.
    assert info["levels"][0] == 41 and info["degree"][0]["max"] >= 39
    assert info["format_version"] == (form["version"] or 1)


def test_info_counts_levels_and_list_lengths(tmp_path):
    vectors = {i: [float(i), 0.0] for i in range(5)}
    layers = {0: {0: [1, 2, 3, 4], 1: [0], 2: [0, 1], 3: [0], 4: [0, 1, 2]}, 1: {0: [2], 2: [0, 4], 4: [2]}}
    graph = sw.Graph(vectors=vectors, layers=layers, levels={0: 1, 2: 1, 4: 1}, entry_point=0, max_level=1)
    info = ulmora.info(sw.write_snapshot(tmp_path / "seg.snap", sw.Segment(graph, next_id=5)))
    assert info["points"] == 5 and info["levels"] == [5, 3]
    assert [(d["min"], d["mean"], d["max"]) for d in info["degree"]] == [(1, 11 / 5, 4), (1, 4 / 3, 2)]


def test_live_writes_are_seen_and_survive_reopen(built):
    extra = rows(20, 5)
    with ulmora.open(built) as seg:
        new = seg.insert(extra, payloads=[{"new": True}] * 20)
        np.testing.assert_array_equal(new, np.arange(300, 320, dtype=np.uint64))
        assert seg.search(extra[4], k=1)[0][0] == 304
        seg.delete([304, 0, 99999])
        seg.delete(1)
        assert 304 not in seg.search(extra[4], k=5)[0]
        seg.update_payload(2, {"k": "v"})
        assert seg.get(2)[1] == {"k": "v"}
        assert len(seg) == 317 and seg.next_id == 320
        state = {int(i): seg.get(int(i))[1] for i in seg.ids()}
        info = seg.info()
        assert (info["points"], info["deleted"], info["log"]["records"]) == (320, 3, 24)
    with ulmora.open(built) as seg:
        assert {int(i): seg.get(int(i))[1] for i in seg.ids()} == state
    # The reader sees the same live points.
    assert set(exact_reader_scan(built)) == set(state)


def test_ids_are_ascending_for_a_writer_and_for_a_reopened_copy(built):
    """Compaction and batch inserts place points in parallel, in any order; ids() must not show it."""
    with ulmora.open(built) as seg:
        seg.insert(rows(400, 7), payloads=[{"tag": "even"}] * 400)
        seg.delete(list(range(0, 300, 5)))
        seg.compact()
        seg.insert(rows(200, 8))
        every, even = seg.ids(), seg.ids({"tag": "even"})
        with ulmora.open(built, readonly=True) as copy:
            assert np.array_equal(copy.ids(), every) and np.array_equal(copy.ids({"tag": "even"}), even)
    assert np.all(np.diff(every.astype(np.int64)) > 0) and np.all(np.diff(even.astype(np.int64)) > 0)
    assert len(every) == 300 + 400 + 200 - 60 and len(even) == 150 - 30 + 400


@pytest.mark.parametrize("call, exc, text", [
    (lambda s: s.insert(np.full((2, DIM), np.nan)), ValueError, "non-finite"),
    (lambda s: s.insert(rows(2, 6), ids=[5000, 5000]), ValueError, "duplicate id 5000"),
    (lambda s: s.insert(rows(2, 6), ids=[5000, 7]), ValueError, "Point with ID 7 already exists"),
    (lambda s: s.insert(rows(2, 6), ids=[1, 7]), ValueError, "Point with ID 7 already exists"),  # 1 deleted
    (lambda s: s.insert(rows(1, 6), ids=[-3]), ValueError, "non-negative"),
    (lambda s: s.insert(rows(1, 6), ids=[2**64]), OverflowError, "64 bits"),
    (lambda s: s.insert(rows(1, 6), ids=[1.5]), TypeError, "integers"),
    (lambda s: s.insert(rows(1, 6, dim=DIM + 1)), ValueError, "expected 8, got 9"),
    (lambda s: s.insert(rows(2, 6), ids=[1, 2, 3]), ValueError, "3 ids for 2 vectors"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"k": {"nested": 1}}]), TypeError, "'k'"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"k": None}]), TypeError, "'k'"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"k": [1, "a"]}]), TypeError, "'k'"),
    (lambda s: s.insert(rows(1, 6), payloads=[{3: 1}]), TypeError, "not a str"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"big": 2**63}]), OverflowError, "'big'"),
    (lambda s: s.insert(rows(1, 6), payloads=["nope"]), TypeError, "dict"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"s": "a\ud800"}]), ValueError, "payloads.0.: payload key 's'.*surrogate"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"s": ["ok", "\udcff"]}]), ValueError, "'s'.*surrogate"),
    (lambda s: s.insert(rows(1, 6), payloads=[{"\ud800": 1}]), ValueError, "payload key holds a lone surrogate"),
    (lambda s: s.update_payload(4, {"s": "\ud800"}), ValueError, "'s'.*surrogate"),
    (lambda s: s.update_payload(1, {"a": 1}), ValueError, "Point with ID 1 not found"),
    (lambda s: s.update_payload(4, {"a": object()}), TypeError, "'a'"),
    (lambda s: s.update_payload(-1, {"a": 1}), ValueError, "non-negative"),
    (lambda s: s.search(np.full(DIM, np.inf)), ValueError, "non-finite"),
    (lambda s: s.search(np.zeros(3)), ValueError, "expected 8, got 3"),
])
def test_refused_calls_change_no_file(built, call, exc, text):
    with ulmora.open(built) as seg:
        seg.delete([1])
        files = [built, built.with_suffix(".wal")]
        before = file_bytes(*files)
        with pytest.raises(exc, match=text.replace("(", r"\(")):
            call(seg)
        assert file_bytes(*files) == before
        assert len(seg) == 299


def test_non_finite_queries_are_named_exactly(built):
    seg = ulmora.open(built)
    query = np.zeros(DIM)
    query[3], query[5] = 1e39, np.nan  # beyond float32: infinite once converted
    matrix = np.zeros((3, DIM))
    matrix[2, 5] = np.inf
    for _ in range(2):  # open, then closed: the query is judged first
        with pytest.raises(ValueError, match=r"^query contains a non-finite value at index 3$"):
            seg.search(query)
        with pytest.raises(ValueError, match=r"^queries contains a non-finite value at flat index 21$"):
            seg.search_batch(matrix)
        seg.close()


@pytest.mark.parametrize("kwargs, exc", [
    ({"vectors": np.array([[1.0, np.nan]])}, ValueError),
    ({"vectors": np.zeros(4)}, ValueError),
    ({"vectors": np.array([["a"]])}, TypeError),
    ({"ids": [0, 0, 1]}, ValueError),
    ({"ids": [0, 1]}, ValueError),
    ({"metric": "l2"}, ValueError),
    ({"m": 1}, ValueError),
    ({"payloads": [{"x": set()}, None, None]}, TypeError),
    ({"payloads": [None]}, ValueError),
    ({"payloads": [{"x": "\ud800"}, None, None]}, ValueError),
])
def test_refused_build_writes_nothing(tmp_path, kwargs, exc):
    args = {"vectors": rows(3, 7), "progress": False, **kwargs}
    with pytest.raises(exc):
        ulmora.build(tmp_path / "x.snap", args.pop("vectors"), **args)
    assert os.listdir(tmp_path) == []


def test_full_range_ids_from_a_list(tmp_path):
    # NumPy reads this list as float64; the ids must still arrive exactly.
    ids = [2**64 - 1, 0, 2**63 + 1]
    ulmora.build(tmp_path / "s.snap", rows(3, 5), ids=ids, metric="euclidean", progress=False)
    with ulmora.open(tmp_path / "s.snap") as seg:
        assert sorted(seg.ids().tolist()) == sorted(ids)
        seg.delete([2**64 - 1])
        assert len(seg) == 2


def test_file_name_that_is_not_utf8(tmp_path):
    # Names come back from os.listdir with surrogate escapes; the file system
    # sees the original bytes, as with open().
    raw = os.path.join(os.fsencode(tmp_path), b"seg\xff.snap")
    ulmora.build(raw, rows(20, 3), metric="euclidean", progress=False)
    name = os.fsdecode(raw)
    assert os.listdir(tmp_path) == ["seg\udcff.snap"]
    assert ulmora.info(name)["path"] == name
    with ulmora.open(name) as seg:
        seg.insert(rows(1, 4), ids=[100])
        assert seg.path == name
        assert seg.search(rows(1, 4)[0], k=1)[0][0] == 100
    with pytest.raises(FileNotFoundError) as missing:
        ulmora.info(os.fsdecode(raw + b"x"))
    assert missing.value.filename == name + "x"


def test_closed_segment_and_missing_file(built, tmp_path):
    seg = ulmora.open(built)
    seg.close()
    seg.close()
    for call in (lambda: seg.search(np.zeros(DIM)), lambda: len(seg), lambda: seg.insert(rows(1, 8))):
        with pytest.raises(ValueError, match="segment is closed"):
            call()
    with pytest.raises(FileNotFoundError):
        ulmora.open(tmp_path / "missing.snap")
    with pytest.raises(FileNotFoundError):
        ulmora.info(tmp_path / "missing.snap")
    assert not (tmp_path / "missing.snap.lock").exists()


def test_corrupt_snapshot_is_a_runtime_error(built):
    data = bytearray(built.read_bytes())
    data[100] ^= 0xFF
    built.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="checksum mismatch"):
        ulmora.open(built)


def test_second_writer_in_another_process_is_locked_out(built):
    code = f"""
        import ulmora, ulmoradb
        print(len(ulmoradb.Index({str(built)!r})), ulmora.info({str(built)!r})["points"])
        try:
            ulmora.open({str(built)!r})
        except ulmora.SegmentLockedError as e:
            print("locked", isinstance(e, RuntimeError), e)
    """
    with ulmora.open(built) as seg:
        seg.insert(rows(1, 9))
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split("\n")[0] == "301 301"
        assert out.stdout.split("\n")[1].startswith(f"locked True segment {built}")
        with pytest.raises(ulmora.SegmentLockedError):
            ulmora.open(built)  # a second handle in the same process, too
    out = run_python(f"import ulmora; ulmora.open({str(built)!r}).close(); print('ok')")
    assert out.stdout.strip() == "ok", out.stderr


def test_build_into_a_missing_directory_fails_before_inserting(tmp_path):
    seen = []
    with pytest.raises(FileNotFoundError):
        ulmora.build(tmp_path / "no" / "x.snap", rows(50000, 13), progress=lambda d, t: seen.append(d))
    assert max(seen, default=0) == 0


def without_creation_time(path: Path) -> bytes:
    """The snapshot's bytes with the creation time in its metadata block
    zeroed (the checksum trailer, which covers it, dropped)."""
    body = path.read_bytes()[:-8]
    meta_len = int.from_bytes(body[-12:-8], "little")
    at = len(body) - 12 - meta_len
    return body[:at] + bytes(8) + body[at + 8:]


def test_seeded_one_thread_build_repeats(tmp_path):
    data, ids = rows(1500, 21), np.arange(5000, 6500, dtype=np.uint64)[::-1].copy()
    paths = [tmp_path / f"{name}.snap" for name in ("a", "b", "c")]
    for path, seed in zip(paths, (7, 7, 8)):
        ulmora.build(path, data, ids=ids, m=6, ef_construction=32, threads=1, seed=seed, progress=False)
    first = without_creation_time(paths[0])
    assert without_creation_time(paths[1]) == first
    assert without_creation_time(paths[2]) != first  # the seed does choose the levels
    with pytest.raises(ValueError, match="seed"):
        ulmora.build(tmp_path / "d.snap", data, seed=-1)


def test_searches_and_inserts_from_several_threads(built):
    import threading

    errors = []
    with ulmora.open(built) as seg:
        def writer():
            try:
                for b in range(10):
                    seg.insert(rows(50, 100 + b), threads=2)
                    seg.delete([b])
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        def reader(seed):
            try:
                q = rows(8, seed)
                for _ in range(30):
                    ids, scores = seg.search_batch(q, k=5, threads=2)
                    assert ids.shape == (8, 5) and np.all(np.diff(scores, axis=1) >= 0)
                    first = int(ids[0, 0])  # ids 0-9 may be deleted between the two calls
                    assert len(seg) >= 290 and (first < 10 or seg.get(first) is not None)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(s,)) for s in (1, 2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert len(seg) == 300 + 500 - 10 and seg.next_id == 800


def test_progress_callback_and_summary(tmp_path):
    seen = []
    summary = ulmora.build(tmp_path / "p.snap", rows(2000, 10), progress=lambda d, t: seen.append((d, t)),
                           threads=2)
    assert seen and seen[-1] == (2000, 2000)
    assert all(t == 2000 for _, t in seen) and [d for d, _ in seen] == sorted(d for d, _ in seen)
    assert summary["points_per_second"] > 0 and summary["seconds"] >= summary["insert_seconds"]


def test_a_raising_progress_callback_stops_the_build(tmp_path):
    def boom(done, total):
        raise LookupError("stop")

    with pytest.raises(LookupError):
        ulmora.build(tmp_path / "p.snap", rows(20000, 10), progress=boom)
    assert os.listdir(tmp_path) == []


def test_ctrl_c_stops_a_build_and_leaves_no_file(tmp_path):
    code = f"""
        import sys, numpy as np, ulmora
        x = np.random.default_rng(0).standard_normal((400000, 64)).astype(np.float32)
        def progress(done, total):
            print("progress", done, flush=True)
        try:
            ulmora.build({str(tmp_path / 'big.snap')!r}, x, threads=2, progress=progress)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            sys.exit(3)
    """
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True,
                             preexec_fn=default_sigint)
    try:
        for line in child.stdout:
            if line.startswith("progress") and int(line.split()[1]) > 0:
                break
        child.send_signal(signal.SIGINT)
        rest = child.stdout.read()
        assert child.wait(timeout=20) == 3
        assert "interrupted" in rest
    finally:
        child.kill()
    assert os.listdir(tmp_path) == []


def test_build_replaces_an_older_segment_and_its_log(built):
    with ulmora.open(built) as seg:
        seg.insert(rows(5, 11))
    assert built.with_suffix(".wal").exists()
    ulmora.build(built, rows(4, 12), progress=False)
    assert not built.with_suffix(".wal").exists()
    assert len(ulmoradb.Index(str(built))) == 4
    with ulmora.open(built) as seg:
        with pytest.raises(ulmora.SegmentLockedError):
            ulmora.build(built, rows(4, 12), progress=False)

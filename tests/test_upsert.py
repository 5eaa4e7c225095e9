"""Re-inserting deleted ids, upsert and get_many on a segment and an embedded
collection: the files after reopening and as ulmoradb.Index loads them,
refused calls writing nothing, and the collection answering as a segment."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import ulmora
import ulmoradb
from test_collection import DIM, files_of, rows

N = 60


@pytest.fixture
def seg_path(tmp_path: Path) -> Path:
    path = tmp_path / "seg.snap"
    ulmora.build(path, rows(N, 1), payloads=[{"n": i} for i in range(N)], metric="euclidean", m=8,
                 ef_construction=32, threads=1, progress=False)
    return path


@pytest.fixture
def coll_path(tmp_path: Path) -> Path:
    path = tmp_path / "coll"
    ulmora.build_collection(path, rows(N, 1), payloads=[{"n": i} for i in range(N)], shards=3, metric="euclidean",
                            m=8, ef_construction=32, threads=1, progress=False, buckets=16)
    return path


def segment_files(path: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(path.parent.iterdir()) if not p.name.endswith(".lock")}


def nearest(index: ulmoradb.Index, vector: np.ndarray) -> tuple[int, float]:
    ids, scores = index.search(vector, k=1, ef=N + 10)
    return int(ids[0]), float(scores[0])


def test_reinsert_after_delete_is_what_every_reader_loads(seg_path):
    old = rows(N, 1)
    new = rows(3, 2)
    with ulmora.open(seg_path) as seg:
        seg.delete([5, 7])
        np.testing.assert_array_equal(seg.insert(new, [5, 7, 200], [{"v": 1}, None, {"v": 3}]), [5, 7, 200])
        info = seg.info()
        assert (info["points"], info["live"], info["deleted"]) == (N + 1, N + 1, 0)  # compacted once, first
    index = ulmoradb.Index(str(seg_path))
    assert len(index) == N + 1
    for row, point in enumerate((5, 7, 200)):
        assert nearest(index, new[row]) == (point, 0.0)
    for point in (5, 7):  # the old vectors are gone
        found, score = nearest(index, old[point])
        assert found != point or score > 0
    with ulmora.open(seg_path) as seg:
        vectors, payloads, found = seg.get_many([5, 7, 200, 6])
        np.testing.assert_array_equal(vectors[:3], new)
        assert payloads == [{"v": 1}, None, {"v": 3}, {"n": 6}] and found.all()
        with pytest.raises(ValueError, match="Point with ID 6 already exists"):
            seg.insert(rows(1, 3), [6])


def test_upsert_replaces_reinserts_and_adds_and_a_refused_one_writes_nothing(seg_path):
    new = rows(4, 4)
    with ulmora.open(seg_path) as seg:
        seg.delete([9])
        before = segment_files(seg_path)
        for kwargs, error, text in [
            (dict(ids=[2, 9, 2, 80]), ValueError, "duplicate id 2"),
            (dict(ids=None), ValueError, "upsert needs ids"),
            (dict(ids=[2, 9]), ValueError, "got 2 ids for 4 vectors"),
            (dict(ids=[2, 9, 77, 80], payloads=[{}, {}, {"b": object()}, {}]), TypeError, "payloads[2]"),
            (dict(vectors=np.where(new == new[1, 2], np.nan, new)), ValueError, "non-finite value at row 1, column 2"),
            (dict(vectors=rows(4, 4, DIM + 1)), ValueError, "Vector length mismatch: expected 8, got 9"),
        ]:
            kwargs.setdefault("vectors", new)
            kwargs.setdefault("ids", [2, 9, 77, 80])
            with pytest.raises(error) as caught:
                seg.upsert(**kwargs)
            assert text in str(caught.value)
            assert segment_files(seg_path) == before
        got = seg.upsert(new, [2, 9, 77, 11], [{"u": 0}, {"u": 1}, None, {"u": 3}])  # live, deleted, new, live
        np.testing.assert_array_equal(got, [2, 9, 77, 11])
        assert got.dtype == np.uint64 and len(seg) == N + 1
        assert seg.info()["deleted"] == 0
    with ulmora.open(seg_path) as seg:
        vectors, payloads, found = seg.get_many([2, 9, 77, 11, 12])
        np.testing.assert_array_equal(vectors[:4], new)
        assert payloads == [{"u": 0}, {"u": 1}, None, {"u": 3}, {"n": 12}] and found.all()
    with ulmora.open(seg_path, readonly=True) as reader, pytest.raises(ulmora.ReadOnlyError):
        reader.upsert(new, [2, 9, 77, 11])


def test_get_many_marks_missing_ids_and_matches_get(seg_path):
    with ulmora.open(seg_path) as seg:
        seg.delete([3])
        ids = np.array([4, 3, 10**15, 4, 0], dtype=np.int64)
        vectors, payloads, found = seg.get_many(ids)
        assert vectors.shape == (5, DIM) and vectors.dtype == np.float32 and found.dtype == bool
        np.testing.assert_array_equal(found, [True, False, False, True, True])
        assert np.isnan(vectors[~found]).all()
        assert payloads == [{"n": 4}, None, None, {"n": 4}, {"n": 0}]
        for i in (0, 3, 4):
            one = seg.get(int(ids[i]))
            np.testing.assert_array_equal(one[0], vectors[i])
            assert one[1] == payloads[i]
        vectors, payloads, found = seg.get_many([])
        assert vectors.shape == (0, DIM) and payloads == [] and found.shape == (0,)
        with pytest.raises(ValueError, match="non-negative"):
            seg.get_many([-1])
    with pytest.raises(ValueError, match="closed"):
        seg.get_many([1])


def test_a_collection_answers_as_a_segment(seg_path, coll_path):
    """The same calls on a segment and on a 3-shard collection of the same points."""
    ids = [1, 5, 8, 13, 21, 34, 59, 500, 501]
    with ulmora.open(seg_path) as seg, ulmora.open_collection(coll_path) as coll:
        assert len({coll.shard_of(i) for i in ids}) == 3
        for target in (seg, coll):
            target.delete([5, 8, 13])
            np.testing.assert_array_equal(target.insert(rows(2, 5), [5, 500]), [5, 500])  # 5 deleted: taken back
            np.testing.assert_array_equal(target.upsert(rows(4, 6), [1, 8, 21, 501], [{"x": 1}] * 4), [1, 8, 21, 501])
        before = files_of(coll_path)
        for call, error in [(lambda t: t.upsert(rows(2, 7), [13, 13]), "duplicate id 13"),
                            (lambda t: t.insert(rows(2, 7), [13, 34]), "Point with ID 34 already exists"),
                            (lambda t: t.upsert(rows(2, 7, DIM + 1), [13, 2]), "Vector length mismatch")]:
            messages = []
            for target in (seg, coll):
                with pytest.raises(ValueError) as caught:
                    call(target)
                messages.append(str(caught.value))
            assert error in messages[0] and messages[0].endswith(messages[1])
        assert files_of(coll_path) == before
        want, got = seg.get_many(ids), coll.get_many(ids)
        np.testing.assert_array_equal(got[0], want[0])
        assert got[1] == want[1]
        np.testing.assert_array_equal(got[2], want[2])
        np.testing.assert_array_equal(got[2], [True, True, True, False, True, True, True, True, True])
        assert len(coll) == len(seg) == N + 1
    with ulmora.open_collection(coll_path) as coll:
        again = coll.get_many(ids)
        np.testing.assert_array_equal(again[0], got[0])
        assert again[1] == got[1]
    with ulmora.open_collection(coll_path, readonly=True) as reader, pytest.raises(ulmora.ReadOnlyError):
        reader.upsert(rows(1, 8), [1])

"""Embedded collections: merged search against the shards and against brute
force, routing of every mutation, refused batches, the manifest's atomic
replacement, the writer lock and reopening."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest

import ulmora
import ulmoradb
from ulmora import manifest as mf
from ulmora.exact import exact_topk

DIM = 8
PAD = 2**64 - 1


def rows(n: int, seed: int, dim: int = DIM) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def splitmix_finaliser(x: int) -> int:
    """The routing hash written out from its published constants."""
    mask = 2**64 - 1
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & mask
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & mask
    return x ^ (x >> 31)


def owner(directory: Path, point: int) -> int:
    doc = json.loads((directory / "manifest.json").read_text())
    return doc["routing"]["bucket_shard"][splitmix_finaliser(point) % doc["routing"]["buckets"]]


def shard_paths(directory: Path) -> list[Path]:
    doc = json.loads((directory / "manifest.json").read_text())
    return [directory / s["file"] for s in doc["shards"]]


def files_of(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir()) if not p.name.endswith(".lock")}


def merged(parts: list[tuple[np.ndarray, np.ndarray]], k: int, metric: str) -> list[tuple[int, float]]:
    """An exact merge of per-shard answers: by score (best first), then id."""
    pairs = [(int(i), float(s)) for ids, scores in parts for i, s in zip(ids, scores) if int(i) != PAD]
    sign = -1.0 if metric == "dot" else 1.0
    return sorted(pairs, key=lambda p: (sign * p[1], p[0]))[:k]


@pytest.fixture
def coll3(tmp_path: Path) -> Path:
    directory = tmp_path / "coll"
    ulmora.build_collection(directory, rows(400, 1), shards=3, metric="euclidean", m=8, threads=1, seed=3,
                            progress=False, buckets=64)
    return directory


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
def test_search_equals_an_exact_merge_of_the_shards_answers(tmp_path, metric):
    directory = tmp_path / "coll"
    summary = ulmora.build_collection(directory, rows(500, 2), shards=4, metric=metric, m=8, ef_construction=32,
                                      threads=2, progress=False)
    assert (summary["points"], summary["shards"], summary["metric"]) == (500, 4, metric)
    indexes = [ulmoradb.Index(str(p)) for p in shard_paths(directory)]
    queries = rows(12, 3)
    with ulmora.open_collection(directory) as coll:
        assert (len(coll), coll.next_id, coll.dim, coll.metric) == (500, 500, DIM, metric)
        for k in (1, 10, 600):  # 600: more than there are points, so rows are padded
            ids, scores = coll.search_batch(queries, k=k, ef=40, threads=2)
            assert ids.shape == scores.shape == (len(queries), k) and ids.dtype == np.uint64
            for row, query in enumerate(queries):
                want = merged([ix.search(query, k=k, ef=40) for ix in indexes], k, metric)
                got = [(int(i), float(s)) for i, s in zip(ids[row], scores[row]) if int(i) != PAD]
                assert [g[0] for g in got] == [w[0] for w in want]
                np.testing.assert_allclose([g[1] for g in got], [w[1] for w in want], rtol=1e-6)
                assert np.isnan(scores[row, len(want):]).all()
                one_ids, one_scores = coll.search(query, k=k, ef=40)
                np.testing.assert_array_equal(one_ids, ids[row, :len(want)])
                np.testing.assert_array_equal(one_scores, scores[row, :len(want)])


@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
def test_small_seeded_collection_matches_brute_force(tmp_path, metric):
    data = rows(300, 4)
    ulmora.build_collection(tmp_path / "c", data, shards=3, metric=metric, threads=1, seed=11, progress=False)
    queries = rows(20, 5)
    with ulmora.open_collection(tmp_path / "c") as coll:
        ids, _ = coll.search_batch(queries, k=10, ef=300)
    np.testing.assert_array_equal(ids.astype(np.int64), exact_topk(data, queries, 10, metric))


def test_inputs_from_files_get_ids_in_order_and_every_mutation_goes_to_its_shard(tmp_path):
    a, b = rows(150, 6), rows(90, 7)
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    directory = tmp_path / "coll"
    seen = []
    ulmora.build_collection(directory, [tmp_path / "a.npy", tmp_path / "b.npy"], shards=3, metric="euclidean",
                            progress=lambda done, total: seen.append((done, total)), buckets=16)
    assert seen[-1] == (240, 240) and all(a[0] <= b[0] for a, b in zip(seen, seen[1:]))
    data = np.concatenate([a, b])
    with ulmora.open_collection(directory) as coll:
        for i in (0, 149, 150, 239):
            np.testing.assert_array_equal(coll.get(i)[0], data[i])
        new = coll.insert(rows(30, 8), payloads=[{"n": i} for i in range(30)])
        np.testing.assert_array_equal(new, np.arange(240, 270, dtype=np.uint64))
        coll.insert(rows(2, 9), ids=[10**12, 2**63 + 5])
        coll.delete([3, 4, 250, 10**12, 99_999])  # the last one is unknown: a no-op
        coll.update_payload(7, {"tag": "x"})
        coll.update_payload(2**63 + 5, {"tag": "y"})
        assert coll.info()["live"] == len(coll) == 268
    live = {}
    for shard, path in enumerate(shard_paths(directory)):
        with ulmora.open(path) as seg:
            for i in seg.ids().tolist():
                assert owner(directory, i) == shard, f"id {i} is in shard {shard}"
                live[i] = seg.get(i)[1]
    expected = set(range(270)) - {3, 4, 250} | {2**63 + 5}
    assert set(live) == expected
    assert live[7] == {"tag": "x"} and live[2**63 + 5] == {"tag": "y"} and live[251] == {"n": 11}


def test_a_refused_batch_writes_nothing(coll3):
    with ulmora.open_collection(coll3) as coll:
        coll.delete([17])
        last = max(range(400), key=lambda i: coll.shard_of(i))  # an id in the last shard
        other = next(i for i in range(400, 10_000) if coll.shard_of(i) == 0)  # written first
        fresh = next(i for i in range(400, 10_000) if coll.shard_of(i) == 2)  # written last
        before = files_of(coll3)
        bad = [
            (dict(ids=[other, last]), ValueError, f"Point with ID {last} already exists"),
            (dict(ids=[17, last]), ValueError, f"Point with ID {last} already exists"),  # 17 deleted: no compaction
            (dict(vectors=np.ones((4, DIM)), ids=[other, fresh, fresh, other]), ValueError, f"duplicate id {fresh}"),
            (dict(ids=[other, fresh], payloads=[{"a": 1}, {"b": object()}]), TypeError, "payloads[1]"),
            (dict(ids=[fresh, other], payloads=[{"c": 2**70}, {"a": 1}]), OverflowError, "payloads[0]"),
            (dict(ids=[fresh, other], payloads=[{"a": 1}, {"c": 2**70}]), OverflowError, "payloads[1]"),
            (dict(vectors=np.ones((2, DIM + 1))), ValueError, "Vector length mismatch: expected 8, got 9"),
            (dict(vectors=np.array([[0.0] * DIM, [1.0] * (DIM - 1) + [np.inf]])), ValueError,
             "non-finite value at row 1, column 7"),
            (dict(ids=[other]), ValueError, "got 1 ids for 2 vectors"),
        ]
        for kwargs, error, text in bad:
            kwargs.setdefault("vectors", np.ones((2, DIM)))
            with pytest.raises(error) as caught:
                coll.insert(**kwargs)
            assert text in str(caught.value)
            assert files_of(coll3) == before
        assert len(coll) == 399 and coll.next_id == 400


def test_reopen_keeps_counts_and_next_id(coll3):
    with ulmora.open_collection(coll3) as coll:
        coll.insert(rows(5, 10), ids=[5000, 401, 402, 403, 404])
        coll.delete([0, 1])
        info = coll.info()
    with ulmora.open_collection(coll3) as coll:
        assert (len(coll), coll.next_id) == (403, 5001)
        again = coll.info()
        for key in ("points", "live", "deleted", "next_id"):
            assert again[key] == info[key]
        assert sum(s["live"] for s in again["shards"]) == 403
        np.testing.assert_array_equal(coll.insert(rows(1, 11)), [5001])
        gone = next(i for i in (0, 1) if coll.shard_of(i) != coll.shard_of(5002))
        coll.insert(rows(2, 12), ids=[5002, gone])  # deleted before the reopen: taken back
    with ulmora.open_collection(coll3) as coll:
        np.testing.assert_array_equal(coll.get(gone)[0], rows(2, 12)[1])
        assert len(coll) == 406


def test_a_second_writer_is_refused_naming_the_shard_and_holds_nothing(coll3):
    locked = ulmora.open(coll3 / "shard-0001.snap")
    try:
        with pytest.raises(ulmora.SegmentLockedError, match=r"shard 1 \(shard-0001\.snap\)"):
            ulmora.open_collection(coll3)
        ulmora.open(coll3 / "shard-0000.snap").close()  # not left locked by the failed open
    finally:
        locked.close()
    with ulmora.open_collection(coll3) as coll:
        with pytest.raises(ulmora.SegmentLockedError, match="shard 0"):
            ulmora.open_collection(coll3)
        assert len(coll) == 400


def test_manifest_replacement_is_atomic(coll3, monkeypatch):
    original = (coll3 / "manifest.json").read_bytes()
    (coll3 / mf.MANIFEST_TMP).write_text('{"torn": ')  # a write cut short before its rename
    with ulmora.open_collection(coll3) as coll:
        assert coll.info()["generation"] == 1 and len(coll) == 400
        assert not (coll3 / mf.MANIFEST_TMP).exists()  # the writer removes the leftover

        def crash(*args):
            raise OSError("simulated crash before the rename")

        monkeypatch.setattr(mf.os, "replace", crash)
        with pytest.raises(OSError, match="simulated"):
            coll.compact()
    assert (coll3 / "manifest.json").read_bytes() == original
    monkeypatch.undo()
    with ulmora.open_collection(coll3) as coll:
        coll.compact()
        assert coll.info()["generation"] == 2
    doc = json.loads((coll3 / "manifest.json").read_text())
    assert doc["generation"] == 2 and doc["routing"] == json.loads(original)["routing"]


def test_create_collection_and_segment_like_errors(tmp_path):
    directory = tmp_path / "new"
    with ulmora.create_collection(directory, DIM, metric="dot", shards=2, buckets=8) as coll:
        assert (len(coll), coll.next_id, coll.shard_count) == (0, 0, 2)
        ids, scores = coll.search_batch(rows(2, 12), k=3)
        assert (ids == PAD).all() and np.isnan(scores).all()
        coll.insert(rows(20, 13))
        with pytest.raises(ValueError, match="k must be non-negative"):
            coll.search(rows(1, 1)[0], k=-1)
        with pytest.raises(ValueError, match="ef must be at least 1"):
            coll.search_batch(rows(1, 1), ef=0)
        with pytest.raises(ValueError, match="Vector length mismatch"):
            coll.search(np.ones(DIM + 1))
        with pytest.raises(ValueError, match="Point with ID 999 not found"):
            coll.update_payload(999, {})
        assert coll.get(999) is None and len(coll.search(rows(1, 1)[0], k=0)[0]) == 0
        coll.insert(rows(1, 14), ids=[2**64 - 2])
        with pytest.raises(ValueError, match=f"no ids left after {2**64 - 1}"):
            coll.insert(rows(1, 15))
    with pytest.raises(ValueError, match="closed"):
        coll.search(np.ones(DIM))
    with pytest.raises(FileExistsError):
        ulmora.create_collection(directory, DIM, shards=2)
    doc = json.loads((directory / "manifest.json").read_text())
    for change, text in [({"version": 2}, "unsupported collection format version 2"),
                         ({"shards": [{"file": "../x.snap"}]}, "bad shard file name"),
                         ({"routing": dict(doc["routing"], buckets=9)}, "bucket table")]:
        (directory / "manifest.json").write_text(json.dumps(dict(doc, **change)))
        with pytest.raises(ValueError, match=text):
            ulmora.open_collection(directory)


def test_merge_carries_payloads_with_their_points_and_pads_as_a_segment():
    from ulmora.collection import merge_batch, merge_search

    nan = np.float32("nan")
    a = (np.array([[5, 1], [9, PAD]], np.uint64), np.array([[0.5, 0.2], [0.1, nan]], np.float32),
         [[{"a": 5}, {"a": 1}], [{"a": 9}, None]])
    b = (np.array([[2, 7], [PAD, PAD]], np.uint64), np.array([[0.2, 0.9], [nan, nan]], np.float32),
         [[None, {"b": 7}], [None, None]])
    ids, scores, payloads = merge_batch([a, b], 3, "euclidean")
    assert ids.tolist() == [[1, 2, 5], [9, PAD, PAD]]  # equal scores: the lower id first
    assert payloads == [[{"a": 1}, None, {"a": 5}], [{"a": 9}, None, None]]
    assert np.isnan(scores[1, 1:]).all()
    ids, scores, payloads = merge_batch([a, b], 3, "dot")
    assert ids.tolist() == [[7, 5, 1]] + [[9, PAD, PAD]] and payloads[0] == [{"b": 7}, {"a": 5}, {"a": 1}]
    one = merge_search([(a[0][0], a[1][0], a[2][0]), (b[0][0], b[1][0], b[2][0])], 2, "euclidean")
    assert one[0].tolist() == [1, 2] and one[2] == [{"a": 1}, None]
    assert len(merge_search([(a[0][0], a[1][0]), (b[0][0], b[1][0])], 2, "cosine")) == 2

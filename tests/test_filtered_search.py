"""Searches with a filter on ulmora.Segment: every hit matches, the exact
route misses nothing closer, batches with per-row filters, payloads in the
results, answers after deletes, payload updates and compaction, refused
routes and filters, and `ulmora search --filter`."""

from __future__ import annotations

import json

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ulmora
from test_filters import filters, payloads, reference

MISSING = np.uint64(2**64 - 1)
ROUTES = ("auto", "exact", "graph")


def build(path, points, dim=4, seed=0):
    vectors = np.random.default_rng(seed).standard_normal((len(points), dim)).astype(np.float32)
    ulmora.build(path, vectors, payloads=points, metric="euclidean", m=6, ef_construction=32, threads=1,
                 progress=False, seed=1)
    return vectors


def squared(vectors, query):
    return ((vectors.astype(np.float64) - query.astype(np.float64)) ** 2).sum(axis=1)


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(points=st.lists(payloads, min_size=1, max_size=60), f=filters, k=st.integers(1, 12),
       deleted=st.lists(st.integers(0, 59), max_size=5), qseed=st.integers(0, 1000))
def test_hits_match_and_the_exact_route_misses_nothing_closer(tmp_path_factory, points, f, k, deleted, qseed):
    path = tmp_path_factory.mktemp("fs") / "seg.snap"
    vectors = build(path, points)
    query = np.random.default_rng(qseed).standard_normal(4).astype(np.float32)
    with ulmora.open(path) as seg:
        seg.delete(np.array(deleted, dtype=np.uint64))
        gone = set(deleted)
        matching = [i for i in range(len(points)) if i not in gone and reference(f, i, points[i])]
        want = min(k, len(matching))
        for route in ROUTES:
            ids, scores = seg.search(query, k, filter=f, route=route)
            assert len(ids) == want, (route, f)
            assert all(reference(f, int(i), points[int(i)]) and int(i) not in gone for i in ids), (route, f)
            assert len(set(ids.tolist())) == len(ids)
            assert list(scores) == sorted(scores)
        ids, scores = seg.search(query, k, filter=f, route="exact")
        if want:
            d = squared(vectors, query)
            worst = d[ids.astype(np.int64)].max()
            closer = [i for i in matching if d[i] < worst - 1e-6 and i not in set(ids.tolist())]
            assert not closer, f
            np.testing.assert_allclose(scores, d[ids.astype(np.int64)], rtol=1e-5, atol=1e-5)


@pytest.fixture(scope="module")
def segment_path(tmp_path_factory):
    """2,000 points of 8 dims, payload {"c": id % 10, "tag": "even"/"odd"}, every
    7th without a payload."""
    path = tmp_path_factory.mktemp("filtered") / "seg.snap"
    points = [None if i % 7 == 0 else {"c": i % 10, "tag": "even" if i % 2 == 0 else "odd"} for i in range(2000)]
    vectors = np.random.default_rng(3).standard_normal((2000, 8)).astype(np.float32)
    ulmora.build(path, vectors, payloads=points, metric="euclidean", threads=1, progress=False, seed=1)
    return path, vectors, points


def test_batch_with_per_row_filters_equals_row_by_row(segment_path):
    path, _, _ = segment_path
    queries = np.random.default_rng(4).standard_normal((9, 8)).astype(np.float32)
    per_row = [{"c": i % 10} for i in range(8)] + [{"tag": "odd", "c": {"$in": [1, 3]}}]
    with ulmora.open(path) as seg:
        for threads in (1, 2):
            for route in ROUTES:
                ids, scores = seg.search_batch(queries, 7, threads=threads, filter=per_row, route=route)
                for row, f in enumerate(per_row):
                    one_ids, one_scores = seg.search(queries[row], 7, filter=f, route=route)
                    assert ids[row].tolist() == one_ids.tolist()
                    np.testing.assert_array_equal(scores[row], one_scores)
        shared = {"c": {"$lt": 2}}
        ids, _ = seg.search_batch(queries, 5, filter=shared, route="exact")
        for row in range(len(queries)):
            assert ids[row].tolist() == seg.search(queries[row], 5, filter=shared, route="exact")[0].tolist()


def test_unfiltered_calls_and_match_all_are_unchanged(segment_path):
    path, _, _ = segment_path
    queries = np.random.default_rng(5).standard_normal((6, 8)).astype(np.float32)
    with ulmora.open(path) as seg:
        plain = seg.search_batch(queries, 10)
        for f in (None, {}):
            got = seg.search_batch(queries, 10, filter=f)
            np.testing.assert_array_equal(got[0], plain[0])
            np.testing.assert_array_equal(got[1], plain[1])
        ids, _ = seg.search(queries[0], 10, route="exact")
        d = squared(seg_vectors(seg, 2000), queries[0])
        assert ids.tolist() == np.argsort(d, kind="stable")[:10].tolist()


def seg_vectors(seg, n):
    return np.stack([seg.get(i)[0] for i in range(n)])


def test_with_payload_shapes(segment_path):
    path, _, points = segment_path
    q = np.random.default_rng(6).standard_normal((3, 8)).astype(np.float32)
    with ulmora.open(path) as seg:
        ids, scores, pays = seg.search(q[0], 5, with_payload=True)
        assert len(pays) == len(ids) == 5
        assert pays == [points[int(i)] for i in ids]
        ids, scores, pays = seg.search(q[0], 5, filter={"tag": "odd"}, with_payload=True)
        assert all(p["tag"] == "odd" for p in pays)
        # A filter that only points without a payload meet: None in each slot.
        ids, _, pays = seg.search(q[0], 3, filter={"tag": {"$exists": False}}, with_payload=True)
        assert len(ids) == 3 and pays == [None, None, None]
        ids, scores, pays = seg.search_batch(q, 4, filter=[{"c": 1}, {"$id": {"$in": [14, 21]}}, {"c": 2}],
                                             with_payload=True)
        assert isinstance(pays, list) and len(pays) == 3 and all(len(row) == 4 for row in pays)
        assert pays[1][:2] == [None, None] and pays[1][2:] == [None, None]  # ids 14, 21: no payloads
        assert ids[1, 2] == MISSING and ids[1, 3] == MISSING and np.isnan(scores[1, 2:]).all()
        assert all(p["c"] == 1 for p in pays[0])
        ids, scores, pays = seg.search(q[0], 0, filter={"c": 1}, with_payload=True)
        assert len(ids) == 0 and pays == []


def test_filters_follow_deletes_payload_updates_and_compaction(tmp_path):
    path = tmp_path / "seg.snap"
    points = [{"c": i % 4} for i in range(400)]
    vectors = build(path, points, dim=6)
    query = vectors[10] + 0.01
    with ulmora.open(path) as seg:
        before, _ = seg.search(query, 10, filter={"c": 2}, route="exact")
        seg.delete(before[:5])
        seg.update_payload(int(before[5]), {"c": 3})
        seg.update_payload(11, {"c": 2})
        for stage in ("live", "compacted"):
            for route in ROUTES:
                ids, _ = seg.search(query, 10, filter={"c": 2}, route=route)
                got = set(ids.tolist())
                assert len(ids) == 10 and not got & set(before[:6].tolist()), (stage, route)
                assert all(seg.get(i)[1] == {"c": 2} for i in got)
            ids, _ = seg.search(query, 400, filter={"c": 2}, route="exact")
            assert len(ids) == 100 - 6 + 1 and 11 in ids
            seg.compact()


@pytest.mark.parametrize("kwargs, error, text", [
    ({"route": "fast"}, ValueError, "route must be 'auto', 'exact' or 'graph', got 'fast'"),
    ({"route": None}, ValueError, "route must be"),
    ({"filter": {"c": {"$regex": "x"}}}, ValueError, "unknown operator '$regex' at filter['c']"),
    ({"filter": {"c": {"$in": 3}}}, TypeError, "$in at filter['c'] needs a list, got int"),
    ({"filter": "c"}, TypeError, "filter must be a dict, got str"),
])
def test_bad_routes_and_filters_fail_before_searching(segment_path, kwargs, error, text):
    path, _, _ = segment_path
    q = np.zeros(8, np.float32)
    with ulmora.open(path) as seg:
        with pytest.raises(error) as info:
            seg.search(q, 3, **kwargs)
        assert text in str(info.value)
        with pytest.raises(error):
            seg.search_batch(q[None, :], 3, **kwargs)
        with pytest.raises(ValueError, match="got 1 filters for 2 query rows"):
            seg.search_batch(np.zeros((2, 8), np.float32), 3, filter=[{"c": 1}])
        with pytest.raises(ValueError, match="got 3 filters for 2 query rows"):
            seg._seg.search_batch(np.zeros((2, 8), np.float32), 3, 0, 1, [("all",)] * 3, "auto", False)
        with pytest.raises(ValueError, match="route must be"):
            seg._seg.search(q, 3, 0, None, "fast", False)
        with pytest.raises(TypeError):
            seg.search(q, 3, {"c": 1})  # filter is keyword-only


def test_cli_search_with_filter_and_payloads(segment_path, tmp_path, capsys):
    from ulmora import cli

    path, vectors, points = segment_path
    np.save(tmp_path / "q.npy", vectors[:4] + 0.01)
    out = tmp_path / "res.jsonl"
    (tmp_path / "f.json").write_text(json.dumps({"c": {"$in": [1, 2]}}))
    for spec in ('{"c": {"$in": [1, 2]}}', f"@{tmp_path / 'f.json'}"):
        status = cli.main(["search", str(path), str(tmp_path / "q.npy"), "-k", "5", "--filter", spec,
                           "--with-payload", "--out", str(out)])
        printed, err = capsys.readouterr()
        assert status == 0, err
        assert "filter matches" in printed
        rows = [json.loads(line) for line in out.read_text().splitlines()]
        assert len(rows) == 4
        for row in rows:
            assert len(row["ids"]) == len(row["scores"]) == len(row["payloads"]) == 5
            assert all(p == points[i] and p["c"] in (1, 2) for i, p in zip(row["ids"], row["payloads"]))
    status = cli.main(["search", str(path), str(tmp_path / "q.npy"), "--filter", '{"c": 1}',
                       "--out", str(tmp_path / "r.npz")])
    capsys.readouterr()
    assert status == 0
    saved = np.load(tmp_path / "r.npz")
    assert all(points[int(i)]["c"] == 1 for i in saved["ids"].ravel())
    for argv, fragment in (
        (["--filter", "{nope"], "--filter: not valid JSON"),
        (["--filter", '{"c": {"$bad": 1}}'], "--filter: unknown operator '$bad' at filter['c']"),
        (["--filter", f"@{tmp_path / 'absent.json'}"], "absent.json"),
        (["--with-payload"], "--with-payload writes its results to --out"),
    ):
        status = cli.main(["search", str(path), str(tmp_path / "q.npy"), *argv])
        _, err = capsys.readouterr()
        assert status == 1
        lines = err.strip().split("\n")
        assert len(lines) == 1 and lines[0].startswith("ulmora: ") and fragment in lines[0], err

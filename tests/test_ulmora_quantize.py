"""`ulmora.open(path, quantize=True)`: SQ8 codes on a writable segment, kept
for inserted points and rebuilt by compaction, and the per-call search
options `ulmora.Segment.search` shares with `ulmoradb.Index.search`."""

import shutil

import numpy as np
import pytest

import ulmora


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean([len(set(f.tolist()) & set(t.tolist())) / len(t) for f, t in zip(found, truth)]))


@pytest.fixture(params=["clustered", "clustered_cosine"])
def data(request):
    return request.getfixturevalue(request.param)


@pytest.fixture
def copy(tmp_path, data):
    path = tmp_path / "seg.snap"
    shutil.copy(data.path, path)
    return path


def test_sq8_route_recall_is_close_to_the_float_route(copy, data):
    with ulmora.open(copy) as plain:
        float_ids, _ = plain.search_batch(data.queries, k=10, ef=64)
        # Without codes the SQ8 options change nothing.
        same, _ = plain.search_batch(data.queries, k=10, ef=64, rerank=2, sq8_screen=True)
        assert same.tolist() == float_ids.tolist()
    with ulmora.open(copy, quantize=True) as seg:
        sq8_ids, _ = seg.search_batch(data.queries, k=10, ef=64, rerank=2)
        one = np.stack([seg.search(q, k=10, ef=64, rerank=2)[0] for q in data.queries])
        assert one.tolist() == sq8_ids.tolist()
        screened, _ = seg.search_batch(data.queries, k=10, ef=64, sq8_screen=True, scan_cap=0, patience=2)
    base = recall(float_ids, data.truth)
    assert base > 0.9
    assert recall(sq8_ids, data.truth) >= base - 0.05
    assert recall(screened, data.truth) >= base - 0.05


def test_inserted_points_get_codes_and_compaction_rebuilds_them(copy, data):
    rng = np.random.default_rng(5)
    # Near stored points, inside the Euclidean scales the open chose.
    rows = data.vectors[rng.choice(len(data.vectors), 40, replace=False)]
    fresh = (rows + 0.01 * rng.standard_normal(rows.shape)).astype(np.float32)
    with ulmora.open(copy, quantize=True) as seg:
        new_ids = seg.insert(fresh)
        for one_by_one in range(3):  # single inserts extend the codes too
            new_ids = np.append(new_ids, seg.insert(fresh[one_by_one:one_by_one + 1] * 1.001))

        def top1(vectors):
            ids, _ = seg.search_batch(vectors, k=1, ef=64, rerank=1)
            return ids[:, 0]

        # A code-space beam walks only nodes with codes: without them these
        # points could not come first.
        assert top1(fresh).tolist() == new_ids[:40].tolist()
        seg.delete(new_ids[:20])
        seg.compact(threads=1)
        assert top1(fresh[20:40]).tolist() == new_ids[20:40].tolist()
        seg.insert(fresh[:5] + 0.5, ids=np.arange(10**13, 10**13 + 5))
        assert top1(fresh[:5] + 0.5).tolist() == list(range(10**13, 10**13 + 5))


def test_an_empty_segment_quantizes_at_its_first_insert(tmp_path):
    path = tmp_path / "empty.snap"
    ulmora.build(path, np.zeros((0, 8), np.float32), metric="euclidean", progress=False)
    rng = np.random.default_rng(2)
    x = rng.standard_normal((300, 8)).astype(np.float32)
    with ulmora.open(path, quantize=True) as seg:
        ids = seg.insert(x)
        found, _ = seg.search_batch(x[:50], k=1, ef=32, rerank=2)
        assert found[:, 0].tolist() == ids[:50].tolist()


def test_bad_arguments_are_refused(copy, data):
    with pytest.raises(TypeError, match="'quantize' must be bool, got int"):
        ulmora.open(copy, quantize=1)
    with pytest.raises(TypeError):
        ulmora.open(copy, True)  # keyword-only
    with ulmora.open(copy, quantize=True) as seg:
        q = data.queries[0]
        with pytest.raises(ValueError, match="'rerank' must be at least 1, got 0"):
            seg.search(q, rerank=0)
        with pytest.raises(TypeError):
            seg.search_batch(data.queries, sq8_screen="yes")
        with pytest.raises(TypeError, match="unexpected keyword"):
            seg.search(q, rerank_factor=2)
        with pytest.raises(TypeError):
            seg._seg.search(q, 10, 0, None, None, False, True)  # the options are keyword-only natively too
    seg.close()
    with pytest.raises(ValueError, match="closed"):
        seg._seg.quantize()

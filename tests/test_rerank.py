"""The keyword-only `rerank` of Index.search and search_batch: the SQ8
rerank factor per call, defaulting to VECTORDB_SQ8_RERANK_FACTOR."""

import numpy as np
import pytest

from conftest import run_python

# Searches a quantized index with `kwargs` in a fresh interpreter under `env`
# (the environment value is read once per process) and returns every result.
SEARCH_ALL = """
import numpy as np, ulmoradb
index = ulmoradb.Index({path!r}, quantize=True)
queries = np.load({queries!r})
out = {{}}
for ef in (10, 64):
    ids, scores = index.search_batch(queries, k=10, ef=ef, threads=2, **{kwargs!r})
    out[f"batch_ids_{{ef}}"], out[f"batch_scores_{{ef}}"] = ids, scores
    one = [index.search(q, k=10, ef=ef, **{kwargs!r}) for q in queries]
    out[f"one_ids_{{ef}}"] = np.concatenate([i for i, _ in one])
    out[f"one_scores_{{ef}}"] = np.concatenate([s for _, s in one])
np.savez({out!r}, **out)
"""


def search_all(tmp_path, data, name, kwargs, env):
    queries, out = tmp_path / "q.npy", tmp_path / f"{name}.npz"
    np.save(queries, data.queries[:24])
    run_python(SEARCH_ALL.format(path=data.path, queries=str(queries), kwargs=kwargs, out=str(out)), env=env)
    with np.load(out) as saved:
        return {key: saved[key] for key in saved.files}


def assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        # Bit patterns, so NaN padding compares equal to itself.
        assert a[key].view(np.uint32 if a[key].dtype == np.float32 else np.uint64).tolist() == (
            b[key].view(np.uint32 if b[key].dtype == np.float32 else np.uint64).tolist()
        ), key


@pytest.mark.parametrize("data", ["clustered", "clustered_cosine"])
def test_keyword_gives_what_the_environment_value_gives(request, tmp_path, data):
    fixture = request.getfixturevalue(data)
    env3 = {"VECTORDB_SQ8_RERANK_FACTOR": "3"}
    by_env = search_all(tmp_path, fixture, "env3", {}, env3)
    assert_same(search_all(tmp_path, fixture, "none", {"rerank": None}, env3), by_env)
    assert_same(search_all(tmp_path, fixture, "kw3", {"rerank": 3}, {}), by_env)
    # The keyword wins over the environment.
    kw1 = search_all(tmp_path, fixture, "kw1", {"rerank": 1}, {})
    assert_same(search_all(tmp_path, fixture, "kw1_env3", {"rerank": 1}, env3), kw1)
    assert_same(search_all(tmp_path, fixture, "env1", {}, {"VECTORDB_SQ8_RERANK_FACTOR": "1"}), kw1)
    # ... and takes the SQ8 route: the float beam finds other neighbours.
    plain = search_all(tmp_path, fixture, "plain", {}, {})
    assert any(not np.array_equal(plain[key], kw1[key]) for key in plain)


def test_an_index_without_codes_ignores_it(clustered_index, clustered):
    queries = clustered.queries[:16]
    plain = clustered_index.search_batch(queries, k=10, ef=16)
    for factor in (1, 4, 2**64 - 1):
        ids, scores = clustered_index.search_batch(queries, k=10, ef=16, rerank=factor)
        np.testing.assert_array_equal(ids, plain[0])
        np.testing.assert_array_equal(scores, plain[1])
        one_ids, _ = clustered_index.search(queries[0], k=10, ef=16, rerank=factor)
        np.testing.assert_array_equal(one_ids, plain[0][0])


def test_numpy_integers_are_accepted(clustered_index, clustered):
    ids, _ = clustered_index.search(clustered.queries[0], k=5, rerank=np.uint8(2))
    assert len(ids) == 5


@pytest.mark.parametrize("method", ["search", "search_batch"])
@pytest.mark.parametrize(
    "value, error, message",
    [
        (0, ValueError, r"^{f}\(\) argument 'rerank' must be at least 1, got 0$"),
        (-1, OverflowError, r"^{f}\(\) argument 'rerank': can't convert negative int to unsigned$"),
        (2**64, OverflowError, r"^{f}\(\) argument 'rerank': int too big to convert$"),
        (2.0, TypeError, r"^{f}\(\) argument 'rerank' must be an integer, not float$"),
        ("2", TypeError, r"^{f}\(\) argument 'rerank' must be an integer, not str$"),
    ],
    ids=["zero", "negative", "huge", "float", "str"],
)
def test_bad_values_are_refused(clustered_index, clustered, method, value, error, message):
    query = clustered.queries[:2] if method == "search_batch" else clustered.queries[0]
    with pytest.raises(error, match=message.format(f=method)):
        getattr(clustered_index, method)(query, rerank=value)


def test_it_is_keyword_only(clustered_index, clustered):
    with pytest.raises(TypeError, match=r"^search\(\) takes at most 6 arguments \(7 given\)$"):
        clustered_index.search(clustered.queries[0], 10, 128, False, 0, 2, 3)
    with pytest.raises(TypeError, match=r"^search_batch\(\) takes at most 7 arguments \(8 given\)$"):
        clustered_index.search_batch(clustered.queries[:2], 10, 128, False, 0, 2, 1, 3)

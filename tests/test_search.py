"""Index.search: argument binding, validation order and messages, k and ef
clamping, result arrays, accuracy and concurrent use."""

import sys
import threading

import numpy as np
import pytest

from testkit import snapshot_writer as sw
import ulmoradb
from ulmora.exact import recall

DIM = 8
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


@pytest.fixture(scope="module")
def index(tmp_path_factory):
    from conftest import complete_graph

    rng = np.random.default_rng(3)
    path = tmp_path_factory.mktemp("search") / "seg.snap"
    sw.write_snapshot(path, sw.Segment(complete_graph(rng.normal(size=(30, DIM)), ids=range(100, 130))))
    return ulmoradb.Index(str(path))


def q(n=DIM, value=0.5, dtype=np.float32):
    return np.full(n, value, dtype=dtype)


def misaligned(n=DIM):
    raw = np.zeros(n * 4 + 1, dtype=np.uint8)
    arr = raw[1:].view(np.float32)
    assert n == 0 or not arr.flags.aligned
    return arr


# ---- argument binding -------------------------------------------------------


@pytest.mark.parametrize(
    "query",
    [
        q(dtype=np.float64),
        [0.5] * DIM,
        q().reshape(1, DIM),
        np.array(0.5, dtype=np.float32),
        q(dtype=">f4"),
        q(dtype=np.float16),
        np.zeros(DIM, dtype="datetime64[s]"),
        None,
    ],
    ids=["float64", "list", "2-d", "0-d", "big-endian", "float16", "datetime", "None"],
)
def test_query_of_wrong_kind_is_a_type_error(index, query):
    with pytest.raises(TypeError, match="'query'"):
        index.search(query)


def test_equivalent_float32_descriptors_are_accepted(index):
    base = q()
    for arr in (base.astype("<f4" if sys.byteorder == "little" else ">f4"), base.astype("=f4"),
                base.view(np.dtype("f4", metadata={"unit": "m"})), np.asarray(base).view(np.ndarray)):
        assert index.search(arr, k=3)[0].tolist() == index.search(base, k=3)[0].tolist()


@pytest.mark.parametrize("name", ["k", "ef", "scan_cap", "patience"])
@pytest.mark.parametrize(
    "value, error",
    [(2.0, TypeError), ("3", TypeError), (None, TypeError), (-1, OverflowError), (2**64, OverflowError),
     (np.int64(-5), OverflowError)],
)
def test_integer_arguments(index, name, value, error):
    with pytest.raises(error, match=f"'{name}'"):
        index.search(q(), **{name: value})


@pytest.mark.parametrize("value", [True, np.uint64(2**64 - 1), np.int32(3), 2**64 - 1])
def test_integer_arguments_accept_the_index_protocol(index, value):
    ids, _ = index.search(q(), k=value, ef=value, scan_cap=value, patience=value)
    assert len(ids) == min(int(value), len(index))


@pytest.mark.parametrize("value", [1, 0, None, "yes", 1.0])
def test_sq8_screen_must_be_bool(index, value):
    with pytest.raises(TypeError, match="'sq8_screen'"):
        index.search(q(), sq8_screen=value)


def test_sq8_screen_accepts_numpy_bool(index):
    assert len(index.search(q(), sq8_screen=np.bool_(True))[0]) == 20


def test_arguments_bind_by_position_and_keyword(index):
    a = index.search(q(), 5, 64, False, 0, 2)
    b = index.search(patience=2, scan_cap=0, sq8_screen=False, ef=64, k=5, query=q())
    np.testing.assert_array_equal(a[0], b[0])


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((q(), 1, 2, False, 0, 2, 7), {}), ((q(),), {"query": q()}), ((q(),), {"threads": 2})],
    ids=["missing", "too-many", "duplicate", "unknown-keyword"],
)
def test_binding_errors(index, args, kwargs):
    with pytest.raises(TypeError):
        index.search(*args, **kwargs)


def test_arguments_are_bound_in_order(index):
    # The first failing argument wins: query before k before ef ...
    with pytest.raises(TypeError, match="'query'"):
        index.search([1.0], k=-1)
    with pytest.raises(OverflowError, match="'k'"):
        index.search(q(), k=-1, ef="x")
    with pytest.raises(TypeError, match="'ef'"):
        index.search(q(), ef="x", sq8_screen=1)
    with pytest.raises(TypeError, match="'sq8_screen'"):
        index.search(q(), sq8_screen=1, scan_cap=-1)
    with pytest.raises(OverflowError, match="'scan_cap'"):
        index.search(q(), scan_cap=-1, patience=-1)
    # Argument errors come before any check of the query's content.
    with pytest.raises(OverflowError):
        index.search(q(3), k=-1)


# ---- validation of the query ------------------------------------------------


@pytest.mark.parametrize(
    "query, error, message",
    [
        (q(0), ValueError, f"query dimension mismatch: expected {DIM}, got 0"),
        (misaligned(0), ValueError, f"query dimension mismatch: expected {DIM}, got 0"),
        (q(2 * DIM)[::2], TypeError, NOT_CONTIGUOUS),
        (q(DIM)[::-1], TypeError, NOT_CONTIGUOUS),
        (q(2 * DIM + 2)[::2], TypeError, NOT_CONTIGUOUS),  # contiguity before length
        (misaligned(), TypeError, NOT_CONTIGUOUS),
        (misaligned(3), TypeError, NOT_CONTIGUOUS),
        (q(DIM - 1), ValueError, f"query dimension mismatch: expected {DIM}, got {DIM - 1}"),
        (q(DIM + 1), ValueError, f"query dimension mismatch: expected {DIM}, got {DIM + 1}"),
    ],
    ids=["empty", "empty-misaligned", "stepped", "reversed", "stepped-wrong-length", "misaligned",
         "misaligned-wrong-length", "short", "long"],
)
def test_query_validation_order(index, query, error, message):
    with pytest.raises(error) as info:
        index.search(query)
    assert str(info.value) == message


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_values_report_the_first_position(index, bad):
    query = q()
    query[3] = bad
    query[7] = np.nan
    with pytest.raises(ValueError) as info:
        index.search(query)
    assert str(info.value) == "query contains a non-finite value at flat index 3"


def test_single_element_arrays_with_any_stride_are_contiguous(tmp_path):
    from conftest import complete_graph

    path = sw.write_snapshot(tmp_path / "one.snap", sw.Segment(complete_graph([[1.0], [4.0]])))
    index = ulmoradb.Index(path)
    query = np.array([3.0, 0.0, 9.0], dtype=np.float32)[::2][:1]
    assert query.strides == (8,)
    assert index.search(query, k=1)[0].tolist() == [1]


def test_validation_before_k_zero_shortcut(index):
    with pytest.raises(ValueError, match="non-finite"):
        index.search(q(value=np.nan), k=0)
    ids, scores = index.search(q(), k=0)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    assert ids.shape == scores.shape == (0,)


# ---- results -------------------------------------------------------------------


def test_result_arrays_are_fresh_owned_and_writeable(index):
    query = q()
    ids, scores = index.search(query, k=7)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    assert ids.shape == scores.shape == (7,)
    for arr in (ids, scores):
        assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.owndata
        assert arr.base is None
    first = ids.tolist()
    ids[:] = 0  # writing into a result changes nothing else
    assert index.search(query, k=7)[0].tolist() == first


def test_exact_on_a_complete_graph(index):
    rng = np.random.default_rng(11)
    vectors = np.random.default_rng(3).normal(size=(30, DIM)).astype(np.float32)  # the fixture's
    for _ in range(20):
        query = rng.normal(size=DIM).astype(np.float32)
        want = np.argsort(((vectors - query) ** 2).sum(1), kind="stable")[:10] + 100
        ids, scores = index.search(query, k=10, ef=30)
        assert ids.tolist() == want.tolist()
        np.testing.assert_allclose(scores, ((vectors[want - 100] - query) ** 2).sum(1), rtol=1e-5)
        assert np.all(np.diff(scores) >= 0)


@pytest.mark.parametrize("k, ef", [(20, 128), (5, 1), (6, 0), (2**64 - 1, 2**64 - 1)])
def test_k_is_clamped_to_the_stored_count(small_index, k, ef):
    index = small_index(np.eye(5, 4), ids=[9, 8, 7, 6, 5])
    ids, scores = index.search(np.ones(4, np.float32), k=k, ef=ef)
    assert len(ids) == len(scores) == min(k, 5)


def test_no_padding_in_single_search(write_segment):
    from conftest import complete_graph

    graph = complete_graph(np.eye(4), deleted=[0, 1])
    index = ulmoradb.Index(write_segment(graph))
    ids, scores = index.search(np.ones(4, np.float32), k=4)
    assert sorted(ids.tolist()) == [2, 3] and not np.isnan(scores).any()


def test_k_zero_on_an_empty_index(write_segment):
    index = ulmoradb.Index(write_segment(sw.Graph(vectors={}, dim=4)))
    for k in (0, 10):
        ids, scores = index.search(np.ones(4, np.float32), k=k)
        assert ids.shape == scores.shape == (0,)
    with pytest.raises(ValueError, match="expected 4, got 3"):
        index.search(np.ones(3, np.float32))


@pytest.mark.parametrize("metric", ["Cosine", "Dot", "Euclidean"])
def test_raw_scores_per_metric(small_index, metric):
    vectors = np.array([[3, 4], [1, 0], [0, -2]], dtype=np.float32)
    if metric == "Cosine":
        vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    index = small_index(vectors, metric=metric)
    query = np.array([1, 1], dtype=np.float32)
    ids, scores = index.search(query, k=3)
    keys = sw.pairwise_keys(query[None], vectors, metric)[0]
    assert ids.tolist() == np.argsort(keys, kind="stable").tolist()
    raw = {"Cosine": keys, "Dot": -keys, "Euclidean": keys}[metric]
    np.testing.assert_allclose(scores, raw[ids.astype(int)], rtol=1e-5, atol=1e-6)


def test_recall_on_clustered_data(clustered, clustered_index):
    found = np.stack([clustered_index.search(row, k=10, ef=128)[0] for row in clustered.queries])
    assert recall(found, clustered.truth) >= 0.95


def test_results_survive_the_index(small_index):
    index = small_index(np.eye(3))
    ids, scores = index.search(np.ones(3, np.float32), k=3)
    del index
    assert sorted(ids.tolist()) == [0, 1, 2]
    np.testing.assert_allclose(scores, [2, 2, 2])


def test_query_is_copied_before_the_search(clustered, clustered_index):
    # Writers racing on the caller's array cannot disturb a running search:
    # every result must be one of the two states the array alternates between.
    a, b = clustered.queries[0].copy(), clustered.queries[1].copy()
    want = {tuple(clustered_index.search(x, k=10)[0].tolist()) for x in (a, b)}
    shared = a.copy()
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            shared[:] = b
            shared[:] = a

    writer = threading.Thread(target=flip)
    writer.start()
    try:
        for _ in range(300):
            got = tuple(clustered_index.search(shared, k=10)[0].tolist())
            assert got in want
    finally:
        stop.set()
        writer.join()


def test_concurrent_searches_from_python_threads(clustered, clustered_index):
    want = [clustered_index.search(row, k=10)[0].tolist() for row in clustered.queries]
    errors = []

    def worker(offset):
        try:
            for i in range(len(clustered.queries)):
                j = (i + offset) % len(clustered.queries)
                if clustered_index.search(clustered.queries[j], k=10)[0].tolist() != want[j]:
                    errors.append(j)
                rows = clustered.queries[j : j + 3]
                batch = clustered_index.search_batch(rows, k=10, threads=2)[0]
                if batch.tolist() != want[j : j + 3]:
                    errors.append(("batch", j))
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t * 7,)) for t in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_calls_do_not_leak_references(index):
    query, batch = q(), np.ones((3, DIM), np.float32)
    watched = [query, batch, np.dtype(np.float32), np.dtype(np.uint64), index, 7]
    calls = [
        lambda: index.search(query, k=7),
        lambda: index.search(query, k=0),
        lambda: index.search_batch(batch, k=7, threads=2),
        lambda: index.search_batch(batch, k=0),
        lambda: index.search(query, k=-1),
        lambda: index.search(query, ef="7"),
        lambda: index.search(q(3)),
        lambda: index.search(query.astype(np.float64)),
        lambda: index.search_batch(batch, k=2**40),
        lambda: index.search_batch(np.asfortranarray(np.ones((3, DIM), np.float32))),
    ]
    for call in calls:  # warm-up: first-use lookups and caches
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(50):
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, OverflowError):
                pass
    assert [sys.getrefcount(x) for x in watched] == before


def test_keywords_need_not_be_interned(index):
    name = "".join(["pat", "ience"])
    a = index.search(q(), k=4, **{name: 0})
    b = index.search(q(), k=4, patience=0)
    np.testing.assert_array_equal(a[0], b[0])

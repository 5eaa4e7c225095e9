"""Index.search_batch: validation order and messages, the output budget,
shortcuts, padding, worker fan-out and agreement with single searches."""

import numpy as np
import pytest

from testkit import snapshot_writer as sw
import ulmoradb
from conftest import complete_graph, run_python
from ulmora.exact import recall

DIM = 8
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
MAX_ID = 2**64 - 1


@pytest.fixture(scope="module")
def index(tmp_path_factory):
    rng = np.random.default_rng(5)
    path = tmp_path_factory.mktemp("batch") / "seg.snap"
    sw.write_snapshot(path, sw.Segment(complete_graph(rng.normal(size=(40, DIM)), ids=range(500, 540))))
    return ulmoradb.Index(str(path))


@pytest.fixture(scope="module")
def dim1(tmp_path_factory):
    path = tmp_path_factory.mktemp("dim1") / "seg.snap"
    sw.write_snapshot(path, sw.Segment(complete_graph([[0.0], [1.0], [2.0]])))
    return ulmoradb.Index(str(path))


def rows(n, d=DIM, value=0.25, order="C"):
    return np.full((n, d), value, dtype=np.float32, order=order)


def misaligned(n, d=DIM):
    raw = np.zeros(n * d * 4 + 1, dtype=np.uint8)
    arr = raw[1:].view(np.float32).reshape(n, d)
    assert n * d == 0 or not arr.flags.aligned
    return arr


# ---- argument binding -----------------------------------------------------------


@pytest.mark.parametrize(
    "queries",
    [rows(2).astype(np.float64), rows(2).tolist(), rows(1)[0], rows(1)[None], np.float32(1),
     rows(2).astype(">f4"), None],
    ids=["float64", "list", "1-d", "3-d", "scalar", "big-endian", "None"],
)
def test_queries_of_wrong_kind_are_type_errors(index, queries):
    with pytest.raises(TypeError, match="'queries'"):
        index.search_batch(queries)


@pytest.mark.parametrize("name", ["k", "ef", "scan_cap", "patience", "threads"])
@pytest.mark.parametrize("value, error", [(1.5, TypeError), (-1, OverflowError), (2**64, OverflowError)])
def test_integer_arguments(index, name, value, error):
    with pytest.raises(error, match=f"'{name}'"):
        index.search_batch(rows(2), **{name: value})


def test_sq8_screen_must_be_bool(index):
    with pytest.raises(TypeError, match="'sq8_screen'"):
        index.search_batch(rows(2), sq8_screen=0)


def test_arguments_bind_by_position_and_keyword(index):
    a = index.search_batch(rows(3), 4, 64, False, 0, 2, 2)
    b = index.search_batch(threads=2, patience=2, scan_cap=0, sq8_screen=False, ef=64, k=4, queries=rows(3))
    np.testing.assert_array_equal(a[0], b[0])
    with pytest.raises(TypeError):
        index.search_batch(rows(3), 4, 64, False, 0, 2, 2, 9)
    with pytest.raises(TypeError):
        index.search_batch(rows(3), workers=2)


# ---- validation ----------------------------------------------------------------


@pytest.mark.parametrize(
    "queries, error, message",
    [
        (rows(3, DIM + 1), ValueError, f"query dimension mismatch: expected {DIM}, got {DIM + 1}"),
        (rows(0, DIM + 1), ValueError, f"query dimension mismatch: expected {DIM}, got {DIM + 1}"),
        (rows(3, 0), ValueError, f"query dimension mismatch: expected {DIM}, got 0"),
        (rows(3, DIM + 1, order="F"), ValueError, f"query dimension mismatch: expected {DIM}, got {DIM + 1}"),
        (rows(3, order="F"), ValueError, "queries must be C-contiguous (row-major)"),
        (rows(6)[::2], ValueError, "queries must be C-contiguous (row-major)"),
        (rows(3, 2 * DIM)[:, ::2], ValueError, "queries must be C-contiguous (row-major)"),
        (misaligned(3), TypeError, NOT_CONTIGUOUS),
    ],
    ids=["columns", "columns-no-rows", "no-columns", "columns-before-order", "fortran", "row-step",
         "column-step", "misaligned"],
)
def test_validation_order(index, queries, error, message):
    with pytest.raises(error) as info:
        index.search_batch(queries)
    assert str(info.value) == message


def test_non_finite_reports_flat_index(index):
    queries = rows(4)
    queries[2, 5] = np.nan
    queries[3, 0] = np.inf
    with pytest.raises(ValueError) as info:
        index.search_batch(queries)
    assert str(info.value) == "queries contains a non-finite value at flat index 21"


@pytest.mark.parametrize("flat", [0, 63, 64, 65, 127, 128, 200, 319])
@pytest.mark.parametrize("bad", [np.nan, -np.inf])
def test_non_finite_found_in_any_block(index, flat, bad):
    # The scan tests blocks of 64 at once; a later bad value must not hide
    # the first one, wherever the block boundaries fall.
    queries = rows(40)
    queries.flat[flat] = bad
    queries.flat[319] = np.inf
    with pytest.raises(ValueError) as info:
        index.search_batch(queries)
    assert str(info.value) == f"queries contains a non-finite value at flat index {flat}"


def test_layout_needs_no_data_when_empty(index):
    # Empty matrices skip the alignment and content checks.
    ids, scores = index.search_batch(misaligned(0), k=3)
    assert ids.shape == scores.shape == (0, 3)
    # A single row is C-contiguous whatever its row stride.
    one = rows(3)[::2][:1]
    assert one.flags.c_contiguous
    assert index.search_batch(one, k=2)[0].shape == (1, 2)


# ---- output budget ----------------------------------------------------------


@pytest.mark.parametrize(
    "n, k, message",
    [
        (0, 2**63, "batch output column count exceeds NumPy's platform limit"),
        (1, 2**64 - 1, "batch output column count exceeds NumPy's platform limit"),
        (4, 2**62, "batch output shape overflows usize"),
        (2, 2**61, "batch ID output size overflows usize"),
        (1, 2**60, "batch output exceeds NumPy's platform limit"),
        (1, 2**30, "batch output requires 12884901888 bytes; limit is 1073741824"),
        (1, 89478486, "batch output requires 1073741832 bytes; limit is 1073741824"),
        (4_473_925, 20, "batch output requires 1073742000 bytes; limit is 1073741824"),
    ],
)
def test_output_budget(dim1, n, k, message):
    queries = np.zeros((n, 1), dtype=np.float32)
    with pytest.raises(OverflowError) as info:
        dim1.search_batch(queries, k=k)
    assert str(info.value) == message


def test_content_checks_come_before_the_budget(dim1):
    queries = np.zeros((2, 1), dtype=np.float32)
    queries[1, 0] = np.nan
    with pytest.raises(ValueError, match="flat index 1"):
        dim1.search_batch(queries, k=2**63)


def test_large_k_within_budget_pads(dim1):
    ids, scores = dim1.search_batch(np.zeros((2, 1), np.float32), k=1000)
    assert ids.shape == (2, 1000)
    assert ids[:, :3].tolist() == [[0, 1, 2]] * 2
    assert (ids[:, 3:] == MAX_ID).all() and np.isnan(scores[:, 3:]).all()


# ---- shortcuts and padding ---------------------------------------------------


@pytest.mark.parametrize("n, k", [(5, 0), (0, 7), (0, 0), (0, 2**60 - 1)])
def test_empty_outputs(index, n, k):
    ids, scores = index.search_batch(rows(n), k=k)
    assert ids.shape == scores.shape == (n, k)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32


def test_padding_uses_max_id_and_quiet_nan(write_segment):
    index = ulmoradb.Index(write_segment(complete_graph(np.eye(3, 4), ids=[10, 20, 30])))
    ids, scores = index.search_batch(np.ones((4, 4), np.float32), k=5)
    assert ids.shape == scores.shape == (4, 5)
    assert all(sorted(row[:3]) == [10, 20, 30] for row in ids.tolist())
    assert (ids[:, 3:] == MAX_ID).all()
    assert (scores[:, 3:].view(np.uint32) == 0x7FC00000).all()
    assert not np.isnan(scores[:, :3]).any()


def test_empty_index_pads_every_row(write_segment):
    index = ulmoradb.Index(write_segment(sw.Graph(vectors={}, dim=4)))
    ids, scores = index.search_batch(np.ones((3, 4), np.float32), k=2, threads=3)
    assert (ids == MAX_ID).all() and np.isnan(scores).all()


def test_deleted_points_are_padding_too(write_segment):
    index = ulmoradb.Index(write_segment(complete_graph(np.eye(4), deleted=[1, 3])))
    ids, _ = index.search_batch(np.ones((2, 4), np.float32), k=4)
    assert [sorted(r[:2]) for r in ids.tolist()] == [[0, 2], [0, 2]]
    assert (ids[:, 2:] == MAX_ID).all()


# ---- results ---------------------------------------------------------------------


def test_result_arrays_are_owned_and_writeable(index):
    ids, scores = index.search_batch(rows(3), k=4)
    for arr in (ids, scores):
        assert arr.shape == (3, 4)
        assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.owndata and arr.base is None


THREADS = [0, 1, 2, 3, 7, 64, 1000, 2**64 - 1]


@pytest.mark.parametrize("n", [1, 2, 5, 63])
def test_same_output_for_every_thread_count(clustered, clustered_index, n):
    queries = np.ascontiguousarray(clustered.queries[:n])
    ref_ids, ref_scores = clustered_index.search_batch(queries, k=12, ef=40, threads=1)
    for threads in THREADS:
        ids, scores = clustered_index.search_batch(queries, k=12, ef=40, threads=threads)
        np.testing.assert_array_equal(ids, ref_ids, err_msg=f"threads={threads}")
        np.testing.assert_array_equal(scores.view(np.uint32), ref_scores.view(np.uint32))


@pytest.mark.parametrize("options", [{}, {"ef": 16, "patience": 0}, {"scan_cap": 4}, {"sq8_screen": True}])
def test_rows_match_single_searches(clustered, clustered_index, options):
    ids, scores = clustered_index.search_batch(clustered.queries, k=10, threads=3, **options)
    for row, query in enumerate(clustered.queries):
        one_ids, one_scores = clustered_index.search(query, k=10, **options)
        m = len(one_ids)
        assert ids[row, :m].tolist() == one_ids.tolist()
        np.testing.assert_array_equal(scores[row, :m], one_scores)
        assert (ids[row, m:] == MAX_ID).all()


def test_recall_on_clustered_data(clustered, clustered_index):
    ids, _ = clustered_index.search_batch(clustered.queries, k=10, ef=128, threads=2)
    assert recall(ids, clustered.truth) >= 0.95


@pytest.mark.parametrize("quantize", [False, True])
def test_cosine_recall(clustered_cosine, quantize):
    index = ulmoradb.Index(clustered_cosine.path, quantize=quantize)
    for screen in (False, True):
        ids, _ = index.search_batch(clustered_cosine.queries, k=10, ef=128, sq8_screen=screen)
        assert recall(ids, clustered_cosine.truth) >= 0.9


def test_query_matrix_is_not_modified(clustered_index, clustered):
    queries = clustered.queries.copy()
    clustered_index.search_batch(queries, k=5, threads=4)
    np.testing.assert_array_equal(queries, clustered.queries)


def test_read_only_input_is_accepted(clustered_index, clustered):
    queries = clustered.queries.copy()
    queries.flags.writeable = False
    assert clustered_index.search_batch(queries, k=3)[0].shape == (len(queries), 3)


@pytest.mark.parametrize(
    "data, env",
    [
        ("clustered", {"VECTORDB_SQ8_RERANK_FACTOR": "1"}),
        ("clustered", {"VECTORDB_SQ8_RERANK_FACTOR": "2"}),
        ("clustered_cosine", {"VECTORDB_SQ8_RERANK_FACTOR": "2"}),
        ("clustered_cosine", {"VECTORDB_SQ8_SCORE_ONLY": "1"}),
    ],
)
def test_sq8_route_rows_match_single_searches(request, tmp_path, data, env):
    # Batches search four rows at a time with their descents interleaved;
    # every row must still be what one search gives, bit for bit. The SQ8
    # switches are read once per process, hence the fresh interpreter.
    fixture = request.getfixturevalue(data)
    np.save(tmp_path / "q.npy", np.ascontiguousarray(fixture.queries[:37]))
    run_python(
        f"""
        import numpy as np, ulmoradb
        index = ulmoradb.Index({str(fixture.path)!r}, quantize=True)
        queries = np.load({str(tmp_path / "q.npy")!r})
        for options in ({{}}, {{"ef": 10, "patience": 0}}, {{"ef": 64}}):
            for threads in (1, 2):
                ids, scores = index.search_batch(queries, k=10, threads=threads, **options)
                for row, query in enumerate(queries):
                    one_ids, one_scores = index.search(query, k=10, **options)
                    assert ids[row].tolist() == one_ids.tolist(), (options, threads, row)
                    assert scores[row].view(np.uint32).tolist() == one_scores.view(np.uint32).tolist()
        """,
        env=env,
    )

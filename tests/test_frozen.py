"""Frozen graphs (ulmoradb.Index, ulmora.open(path, readonly=True)) keep their lists in packed rows and
drop what only writers use; they must answer exactly as the writer's live graph of the same file."""

from __future__ import annotations

import numpy as np
import pytest

import ulmora
import ulmoradb

DIM = 16


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
@pytest.mark.parametrize("layout", ["contiguous", "gapped_with_deletes"])
def test_frozen_graphs_answer_as_the_live_graph(tmp_path, metric, layout):
    n = 1500
    path = tmp_path / "seg.snap"
    ids = np.arange(n, dtype=np.uint64) if layout == "contiguous" else np.arange(n, dtype=np.uint64) * 3 + 7
    ulmora.build(path, rows(n, 1), ids=ids, metric=metric, m=8, ef_construction=64, threads=1, seed=5,
                 progress=False)
    if layout != "contiguous":
        with ulmora.open(path) as w:  # deletes in the log: readers replay them
            w.delete(ids[::97].tolist())
    queries = rows(40, 2)
    with ulmora.open(path) as w:
        want_ids, want_scores = w.search_batch(queries, k=10, ef=64)
        probe = [int(i) for i in w.ids()[::50]]
        want_vectors = [w.get(i)[0] for i in probe]
    with ulmora.open(path, readonly=True) as r:
        got_ids, got_scores = r.search_batch(queries, k=10, ef=64)
        assert np.array_equal(got_ids, want_ids)
        assert np.array_equal(got_scores.view(np.uint32), want_scores.view(np.uint32))
        for i, v in zip(probe, want_vectors):  # point lookups without the id map
            assert np.array_equal(r.get(i)[0], v)
        assert r.get(int(ids[-1]) + 1) is None
        assert r.get(int(ids[0]) + 1) is None or layout == "contiguous"
    if layout == "contiguous":  # Index searches the file as it is, without its log
        index = ulmoradb.Index(str(path))
        got_ids, got_scores = index.search_batch(queries, 10, ef=64)
        assert np.array_equal(got_ids.astype(np.uint64), want_ids)
        assert np.array_equal(got_scores.view(np.uint32), want_scores.view(np.uint32))

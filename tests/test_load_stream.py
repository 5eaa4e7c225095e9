"""Versioned snapshot files are loaded by streaming them into the graph;
unversioned ones through the whole-file path. The same segment written both
ways must answer every search alike: same ids, same scores bit for bit, same
order, for every metric, with deleted points, upper levels, payloads,
neighbour lists in any key order and a replayed log."""

import numpy as np
import pytest

from testkit import snapshot_writer as sw
import ulmoradb

STREAMED = [dict(version=3, trailer=True), dict(version=3, metadata=False, trailer=False), dict(version=2)]


def make_segment(metric, *, shuffle_lists=False, seed=0):
    rng = np.random.default_rng(seed)
    n = 400
    x = rng.normal(size=(n, 12)).astype(np.float32)
    ids = sorted(int(i) for i in rng.choice(10**6, size=n, replace=False))
    graph = sw.knn_graph(x, ids, metric=metric, degree=10, random_links=2, upper_every=9, seed=seed)
    graph.levels[ids[3]] = 300  # kept as level 255
    graph.layers[0][ids[5]] = graph.layers[0][ids[5]] + [2**63]  # not a node: dropped
    if shuffle_lists:
        keys = list(graph.layers[0])
        rng.shuffle(keys)
        graph.layers[0] = {k: graph.layers[0][k] for k in keys}
    deleted = ids[::11]
    graph.deleted = deleted
    payloads = {p: {"colour": ["red", "blue"][i % 2], "n": i} for i, p in enumerate(ids) if p not in deleted}
    index = {}
    for p, pl in payloads.items():
        index.setdefault("colour", {}).setdefault(pl["colour"], set()).add(p)
    seg = sw.Segment(graph, payload_index=index, payloads=payloads, deleted=deleted, next_id=ids[-1] + 1)
    return seg, x, ids


def answers(path, queries):
    index = ulmoradb.Index(path)
    out = [len(index)]
    for ef in (10, 40, 400):
        ids, scores = index.search_batch(queries, k=15, ef=ef)
        out += [ids.tolist(), scores.view(np.uint32).tolist()]
    return out


@pytest.mark.parametrize("layout", STREAMED, ids=lambda d: "-".join(f"{k}={v}" for k, v in d.items()))
@pytest.mark.parametrize("metric", ["Euclidean", "Cosine", "Dot"])
@pytest.mark.parametrize("shuffle_lists", [False, True], ids=["sorted", "shuffled"])
def test_streamed_and_whole_file_loads_answer_alike(tmp_path, metric, layout, shuffle_lists):
    seg, x, _ = make_segment(metric, shuffle_lists=shuffle_lists)
    queries = np.random.default_rng(1).normal(size=(30, x.shape[1])).astype(np.float32)
    whole = sw.write_snapshot(tmp_path / "whole.snap", seg, version=None)
    streamed = sw.write_snapshot(tmp_path / "streamed.snap", seg, **layout)
    assert answers(streamed, queries) == answers(whole, queries)


@pytest.mark.parametrize("metric", ["Euclidean", "Cosine", "Dot"])
def test_a_replayed_log_changes_both_loads_alike(tmp_path, metric):
    seg, x, ids = make_segment(metric, seed=2)
    seg.graph.level_cap = 0  # replayed inserts then draw no random level
    rng = np.random.default_rng(3)
    records = [sw.Insert(seg.next_id + i, rng.normal(size=x.shape[1]).tolist(), {"colour": "green"}) for i in range(25)]
    records += [sw.Delete(ids[1]), sw.Delete(seg.next_id + 2), sw.UpdatePayload(ids[2], {"colour": "red"})]
    queries = rng.normal(size=(30, x.shape[1])).astype(np.float32)
    got = []
    for name, layout in [("whole", dict(version=None)), ("streamed", dict(version=3))]:
        path = sw.write_snapshot(tmp_path / f"{name}.snap", seg, **layout)
        sw.write_wal(tmp_path / f"{name}.wal", records)
        got.append(answers(path, queries))
    assert got[0] == got[1]
    assert got[0][0] == len(ids) + 25

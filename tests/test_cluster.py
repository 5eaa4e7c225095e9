"""Collections on Ray (ulmora.cluster): merged answers against the shards and
the embedded collection, routing of every mutation, actor crashes losing
nothing acknowledged, strict and partial modes, the build through Ray and
the 'ulmora collection' commands. One local Ray for the module."""

from __future__ import annotations

import inspect
import os
import shutil
import signal
import threading
import time
from pathlib import Path

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import ulmora  # noqa: E402
import ulmora.cluster as uc  # noqa: E402
import ulmoradb  # noqa: E402
from ulmora import cli  # noqa: E402
from ulmora.cluster import collection as cc  # noqa: E402
from test_collection import DIM, PAD, files_of, merged, owner, rows, shard_paths  # noqa: E402

needs_replicas = pytest.mark.skipif(not cc._READONLY, reason="read-only segments (search replicas) not built yet")
needs_filters = pytest.mark.skipif("filter" not in inspect.signature(ulmora.Segment.search).parameters,
                                   reason="Segment.search has no filter= yet")


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def built(tmp_path_factory) -> tuple[Path, Path]:
    """The same seeded build through Ray and in this process: (ray dir, embedded dir)."""
    base = tmp_path_factory.mktemp("built")
    options = dict(shards=4, metric="euclidean", m=8, ef_construction=32, threads=1, seed=5, progress=False,
                   buckets=64)
    seen = []
    summary = uc.build_collection(base / "ray", rows(600, 1), **options | {"progress": lambda d, n: seen.append(d)})
    ulmora.build_collection(base / "emb", rows(600, 1), **options)
    assert (summary["points"], summary["shards"], seen[-1]) == (600, 4, 600)
    return base / "ray", base / "emb"


def test_ray_build_writes_the_files_of_a_sequential_build(built):
    ray_dir, emb_dir = built
    assert (ray_dir / "manifest.json").read_bytes() == (emb_dir / "manifest.json").read_bytes()
    queries = rows(20, 2)
    for ray_shard, emb_shard in zip(shard_paths(ray_dir), shard_paths(emb_dir)):  # the same graphs
        got, want = ulmora.info(ray_shard), ulmora.info(emb_shard)
        assert {k: v for k, v in got.items() if k not in ("path", "checksum", "log")} == \
            {k: v for k, v in want.items() if k not in ("path", "checksum", "log")}
        for a, b in zip(ulmoradb.Index(str(ray_shard)).search_batch(queries, k=10, ef=16),
                        ulmoradb.Index(str(emb_shard)).search_batch(queries, k=10, ef=16)):
            np.testing.assert_array_equal(a, b)
    with pytest.raises(FileExistsError):
        uc.build_collection(ray_dir, rows(10, 2), shards=2)
    with pytest.raises(ValueError, match="ids must be unique"):
        uc.build_collection(ray_dir.parent / "dup", rows(3, 2), ids=[1, 2, 1], shards=2)
    assert not (ray_dir.parent / "dup" / "manifest.json").exists()


def test_searches_equal_the_shards_merged_and_the_embedded_collection(built):
    ray_dir, emb_dir = built
    indexes = [ulmoradb.Index(str(p)) for p in shard_paths(ray_dir)]
    queries = rows(9, 3)
    with uc.Collection(ray_dir) as coll, ulmora.open_collection(emb_dir) as emb:
        assert (len(coll), coll.next_id, coll.dim, coll.metric, coll.shard_count) == (600, 600, DIM, "euclidean", 4)
        for k in (1, 10, 700):  # 700: more than there are points, so rows are padded
            ids, scores = coll.search_batch(queries, k=k, ef=40)
            want_ids, want_scores = emb.search_batch(queries, k=k, ef=40)
            np.testing.assert_array_equal(ids, want_ids)
            np.testing.assert_array_equal(scores, want_scores)
            for row, query in enumerate(queries[:3]):
                want = merged([ix.search(query, k=k, ef=40) for ix in indexes], k, "euclidean")
                assert [(int(i), float(s)) for i, s in zip(ids[row], scores[row]) if int(i) != PAD] == \
                    [(i, pytest.approx(s, rel=1e-6)) for i, s in want]
                one = coll.search(query, k=k, ef=40)
                np.testing.assert_array_equal(one[0], ids[row, :len(want)])
        # a matrix past the inline size goes through the object store, with the same answers
        big = rows(3000, 4)
        assert big.nbytes > 64 * 1024
        for got, want in zip(coll.search_batch(big, k=5, ef=40), emb.search_batch(big, k=5, ef=40)):
            np.testing.assert_array_equal(got, want)
        info, want = coll.info(), emb.info()
        assert {key: info[key] for key in ("live", "points", "next_id", "generation", "buckets")} == \
            {key: want[key] for key in ("live", "points", "next_id", "generation", "buckets")}
        # the embedded collection's errors, unwrapped from Ray's
        with pytest.raises(ValueError, match="Vector length mismatch"):
            coll.search(np.ones(DIM + 1))
        with pytest.raises(ValueError, match="ef must be at least 1"):
            coll.search_batch(queries, ef=0)
        with pytest.raises(ValueError, match="Vector length mismatch"):
            coll.search_batch(np.ones((2, DIM + 1)))
        assert coll.search_batch(np.zeros((0, DIM)), k=3)[0].shape == emb.search_batch(np.zeros((0, DIM)), k=3)[0].shape


def test_mutations_go_to_their_shards_and_refusals_match_the_embedded_ones(built, tmp_path):
    directory = tmp_path / "c"
    shutil.copytree(built[0], directory)
    with uc.Collection(directory) as coll:
        with pytest.raises(ulmora.SegmentLockedError, match=r"shard 0 \(shard-0000\.snap\)"):
            ulmora.open_collection(directory)
        new = coll.insert(rows(30, 8), payloads=[{"n": i} for i in range(30)])
        np.testing.assert_array_equal(new, np.arange(600, 630, dtype=np.uint64))
        coll.insert(rows(2, 9), ids=[10**12, 2**63 + 5])
        coll.delete([3, 4, 610, 10**12, 99_999])  # the last one is unknown: a no-op
        coll.update_payload(7, {"tag": "x"})
        before = files_of(directory)
        fresh = next(i for i in range(700, 10_000) if coll.shard_of(i) != coll.shard_of(5))
        for kwargs, error, text in [
            (dict(ids=[fresh, 5]), ValueError, "Point with ID 5 already exists"),
            (dict(ids=[3, 5]), ValueError, "Point with ID 5 already exists"),  # 3 deleted: no compaction
            (dict(ids=[fresh, fresh]), ValueError, f"duplicate id {fresh}"),
            (dict(ids=[fresh, 5000], payloads=[{"a": 1}, {"b": object()}]), TypeError, "payloads[1]"),
            (dict(vectors=np.ones((2, DIM + 1))), ValueError, "Vector length mismatch: expected 8, got 9"),
        ]:
            kwargs.setdefault("vectors", np.ones((2, DIM)))
            with pytest.raises(error) as caught:
                coll.insert(**kwargs)
            assert text in str(caught.value)
        with pytest.raises(ValueError, match="Point with ID 99999 not found"):
            coll.update_payload(99_999, {})
        assert files_of(directory) == before
        assert coll.get(7)[1] == {"tag": "x"} and coll.get(3) is None
        assert len(coll) == 628 and sorted(coll.ids().tolist()) == sorted(set(range(630)) - {3, 4, 610} |
                                                                          {2**63 + 5})
        assert coll.delete(filter={"n": {"$lt": 5}}) == 5 and len(coll) == 623  # in every shard
        with pytest.raises(ValueError, match="exactly one of ids and filter"):
            coll.delete()
        coll.compact()
        assert coll.info()["generation"] == 2
        np.testing.assert_array_equal(coll.insert(np.ones((1, DIM)), ids=[3]), [3])
    for shard, path in enumerate(shard_paths(directory)):
        with ulmora.open(path) as seg:  # the actors let go of their locks at close()
            assert all(owner(directory, i) == shard for i in seg.ids().tolist())
            if seg.get(625) is not None:
                assert seg.get(625)[1] == {"n": 25}


def test_reinsert_upsert_and_get_many_answer_as_the_embedded_collection(built, tmp_path):
    ids = [3, 4, 7, 9, 599, 5000, 5001]
    copies = []
    for name in ("ray", "emb"):
        shutil.copytree(built[0], tmp_path / name)
        copies.append(tmp_path / name)
    with uc.Collection(copies[0]) as coll, ulmora.open_collection(copies[1]) as emb:
        for target in (coll, emb):
            target.delete([3, 4, 9])
            target.insert(rows(2, 30), ids=[3, 5000])  # 3 deleted: taken back
            np.testing.assert_array_equal(target.upsert(rows(3, 31), [7, 9, 5001], [{"u": 1}] * 3), [7, 9, 5001])
            with pytest.raises(ValueError, match="duplicate id 7"):
                target.upsert(rows(2, 32), [7, 7])
        want, got = emb.get_many(ids), coll.get_many(ids)
        np.testing.assert_array_equal(got[0], want[0])
        assert got[1] == want[1]
        np.testing.assert_array_equal(got[2], [True, False, True, True, True, True, True])
    with ulmora.open_collection(copies[0]) as reopened:
        np.testing.assert_array_equal(reopened.get_many(ids)[0], want[0])


def _kill(actor) -> None:
    os.kill(ray.get(actor.pid.remote()), signal.SIGKILL)


def test_a_killed_writer_restarts_and_loses_nothing_acknowledged(built, tmp_path):
    directory = tmp_path / "c"
    shutil.copytree(built[0], directory)
    data = rows(200, 10)
    with uc.Collection(directory, timeout_s=60) as coll:
        first = coll.insert(data[:100])
        _kill(coll.actors(0)[0])
        second = coll.insert(data[100:], payloads=[{"i": i} for i in range(100)])  # waits for the restart
        coll.delete(first[:10])
        _kill(coll.actors(1)[0])
        _kill(coll.actors(0)[0])
        ids, _ = coll.search_batch(data[10:], k=1, ef=64)
        np.testing.assert_array_equal(ids[:, 0], np.concatenate([first[10:], second]))
        assert len(coll) == 790 and coll.get(int(second[5]))[1] == {"i": 5}
        # A writer lost in the middle of an insert (here, in 20 ms, usually before its log write):
        # once restarted it gets the rows its log lacks, and the call returns as if nothing happened.
        third = rows(3000, 17)
        writer = coll.actors(0)[0]
        got: list = []
        inserting = threading.Thread(target=lambda: got.append(coll.insert(third, ids=np.arange(10**6, 10**6 + 3000))))
        inserting.start()
        time.sleep(0.02)
        _kill(writer)
        inserting.join()
        np.testing.assert_array_equal(got[0], np.arange(10**6, 10**6 + 3000))
        assert len(coll) == 3790
    with ulmora.open_collection(directory) as emb:  # the files hold it too
        assert len(emb) == 3790 and all(emb.get(int(i)) is None for i in first[:10])
        np.testing.assert_array_equal(emb.get(10**6 + 2999)[0], third[-1])


def kill_for_good(actor) -> None:
    """ray.kill returns before the actor is gone; wait until calls to it fail."""
    ray.kill(actor, no_restart=True)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            ray.get(actor.noop.remote(), timeout=5)
        except (ray.exceptions.RayActorError, ray.exceptions.GetTimeoutError):
            return
        time.sleep(0.05)
    raise AssertionError("the killed actor still answers")


def test_strict_mode_names_the_dead_shard_and_partial_mode_reports_coverage(built, tmp_path):
    queries = rows(4, 11)
    with uc.Collection(built[0], timeout_s=1.5) as coll:
        kill_for_good(coll.actors(2)[0])
        start = time.monotonic()
        with pytest.raises(uc.ShardUnavailableError, match=r"shard 2 \(shard-0002\.snap\)") as caught:
            coll.search_batch(queries, k=5)
        assert caught.value.shards == [2] and time.monotonic() - start < 10
        with pytest.raises(uc.ShardUnavailableError, match="shard 2"):
            coll.insert(rows(50, 12))
    with uc.Collection(built[0], timeout_s=1.5, allow_partial=True) as coll:
        kill_for_good(coll.actors(2)[0])
        ids, scores, coverage = coll.search_batch(queries, k=5)
        assert coverage == (3, 4)
        assert coll.search(queries[0], k=5)[2] == (3, 4)
        live = [i for i in range(600) if owner(built[0], i) != 2]
        with ulmora.open_collection(built[1]) as emb:
            shards = [s for s in emb._shards]
            want = ulmora.collection.merge_batch(
                [shards[s].search_batch(queries, k=5) for s in (0, 1, 3)], 5, "euclidean")
    np.testing.assert_array_equal(ids, want[0])
    assert set(ids.ravel().tolist()) <= set(live)


@needs_replicas
def test_replicas_answer_and_cover_for_each_other(built, tmp_path):
    directory = tmp_path / "c"
    shutil.copytree(built[0], directory)
    queries = rows(6, 13)
    with uc.Collection(directory, replicas=2, timeout_s=30) as coll:
        before = coll.search_batch(queries, k=5)
        new = coll.insert(queries + 0.001)  # the replicas refresh before they answer again
        ids, _ = coll.search_batch(queries, k=1)
        np.testing.assert_array_equal(ids[:, 0], new)
        for shard in range(4):
            kill_for_good(coll.actors(shard)[1])
        np.testing.assert_array_equal(coll.search_batch(queries, k=1)[0], ids)
        coll.delete(new)
        np.testing.assert_array_equal(coll.search_batch(queries, k=5)[0], before[0])


@needs_filters
def test_filters_and_payloads_pass_through_to_the_shards(built, tmp_path):
    directory = tmp_path / "c"
    shutil.copytree(built[1], directory)
    queries = rows(5, 14)
    with ulmora.open_collection(directory) as emb:
        emb.insert(rows(100, 15), payloads=[{"odd": i % 2} for i in range(100)])
        want = emb.search_batch(queries, k=7, filter={"odd": 1}, with_payload=True)
        shards = [ulmora.collection.merge_batch([s.search_batch(queries, k=7, filter={"odd": 1}, with_payload=True)
                                                 for s in emb._shards], 7, "euclidean")]
        assert [p for row in want[2] for p in row if p is not None] == \
            [{"odd": 1}] * sum(p is not None for row in want[2] for p in row)
        np.testing.assert_array_equal(want[0], shards[0][0])
    with uc.Collection(directory) as coll:
        got = coll.search_batch(queries, k=7, filter={"odd": 1}, with_payload=True)
        np.testing.assert_array_equal(got[0], want[0])
        assert got[2] == want[2]


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_collection_commands(tmp_path, capsys):
    data = rows(300, 16)
    np.save(tmp_path / "a.npy", data[:200])
    np.save(tmp_path / "b.npy", data[200:])
    np.save(tmp_path / "q.npy", data[:5])
    d = tmp_path / "c"
    # One seeded thread: the self-matches below must not hang on a parallel build's graph.
    status, out, err = run(capsys, "collection", "build", d, tmp_path / "a.npy", tmp_path / "b.npy", "--shards",
                           3, "--metric", "euclidean", "--no-progress", "--threads", 1, "--seed", 7)
    assert status == 0 and "300 points in 3 shards" in out, err
    status, out, _ = run(capsys, "collection", "info", d)
    assert status == 0 and "300 live" in out and out.count("shard-000") == 3
    status, out, _ = run(capsys, "collection", "search", d, tmp_path / "q.npy", "-k", 3, "--out", tmp_path / "r.npz")
    assert status == 0 and "5 queries" in out
    np.testing.assert_array_equal(np.load(tmp_path / "r.npz")["ids"][:, 0], np.arange(5))
    status, out, _ = run(capsys, "collection", "search", d, tmp_path / "q.npy", "-k", 3, "--filter",
                         '{"$id": {"$in": [0, 3]}}', "--out", tmp_path / "f.npz")
    found = np.load(tmp_path / "f.npz")["ids"]
    assert status == 0 and all(sorted(row[:2]) == [0, 3] and row[2] == 2**64 - 1 for row in found)
    status, out, _ = run(capsys, "collection", "insert", d, tmp_path / "q.npy")
    assert status == 0 and "ids 300..304" in out
    status, out, _ = run(capsys, "collection", "delete", d, 1, 2, 999)
    assert status == 0 and "deleted 2 of 3 ids" in out and "(1 not present)" in out
    status, out, _ = run(capsys, "collection", "compact", d)
    assert status == 0 and "303 live points" in out and "generation 2" in out
    assert run(capsys, "collection", "search", d, tmp_path / "q.npy", "-k", 3, "--out", tmp_path / "r.npz")[0] == 0
    # one run on the Ray this process runs
    status, out, err = run(capsys, "collection", "search", d, tmp_path / "q.npy", "-k", 3, "--ray", "auto",
                           "--allow-partial", "--out", tmp_path / "s.npz")
    assert status == 0 and "shards answered: 3 of 3" in out, err
    np.testing.assert_array_equal(np.load(tmp_path / "s.npz")["ids"], np.load(tmp_path / "r.npz")["ids"])
    for argv, fragments in [
        (("collection", "info", tmp_path / "none"), ["none", "No such file or directory"]),
        (("collection", "build", d, tmp_path / "a.npy", "--shards", 2), [str(d), "already holds a collection"]),
        (("collection", "insert", d, tmp_path / "q.npy", "--ids", tmp_path / "ids.npy"),
         [str(d), "Point with ID 0 already exists"]),
        (("collection", "search", tmp_path, tmp_path / "q.npy"), ["no collection"]),
        (("collection", "search", d, tmp_path / "q.npy", "--replicas", 2), ["need --ray"]),
        (("collection", "search", d, tmp_path / "q.npy", "--filter", '{"x": {"$bad": 1}}'), ["unknown operator"]),
    ]:
        if "--ids" in argv:
            np.save(tmp_path / "ids.npy", np.array([0, 1, 2, 3, 4]))  # 0 is live: refused
        status, _, err = run(capsys, *argv)
        assert status == 1 and err.startswith("ulmora: ") and len(err.strip().split("\n")) == 1, err
        assert all(f in err for f in fragments), err

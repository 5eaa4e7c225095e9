"""Behaviour that depends on VECTORDB_* variables. Tuning values are read
once per process, so those cases run in a fresh interpreter; the segment
store's own switches are read at every load and are tested in-process."""

import json
import re

import numpy as np
import pytest

from testkit import snapshot_writer as sw
import ulmoradb
from conftest import complete_graph, run_python


@pytest.fixture
def five_points(write_segment):
    rng = np.random.default_rng(1)
    return write_segment(complete_graph(rng.normal(size=(5, 4)), ids=[11, 12, 13, 14, 15]))


def traced_events(path, trace, code_body, env=None):
    run_python(
        f"""
        import numpy as np, ulmoradb
        index = ulmoradb.Index({path!r})
        {code_body}
        """,
        env={"VECTORDB_SEARCH_TRACE_LOG": str(trace), **(env or {})},
    )
    return [json.loads(line) for line in trace.read_text().splitlines()]


@pytest.mark.parametrize(
    "k, ef, want_k, want_ef",
    [(20, 128, 5, 5), (3, 1, 3, 3), (2, 4, 2, 4), (2**64 - 1, 2**64 - 1, 5, 5)],
)
def test_k_and_ef_are_clamped_before_the_search(five_points, tmp_path, k, ef, want_k, want_ef):
    search = f"index.search(np.ones(4, np.float32), k={k}, ef={ef})"
    events = traced_events(five_points, tmp_path / "trace.jsonl", search)
    start, end = events[0], events[-1]
    assert start["stop_reason"] == "start" and start["ef_search"] == want_k
    assert end["stop_reason"] in ("queue_empty", "early_exit_patience", "expansion_cap")
    assert end["ef_search"] == want_ef


def test_batch_rows_use_the_same_clamped_values(five_points, tmp_path):
    events = traced_events(
        five_points, tmp_path / "trace.jsonl", "index.search_batch(np.ones((3, 4), np.float32), k=9, threads=3)"
    )
    starts = [e for e in events if e["stop_reason"] == "start"]
    ends = [e for e in events if e["stop_reason"] not in ("start", None)]
    assert len(starts) == len(ends) == 3
    assert {e["ef_search"] for e in starts} == {e["ef_search"] for e in ends} == {5}
    assert len({e["search_id"] for e in starts}) == 3


def test_k_zero_runs_no_search(five_points, tmp_path):
    # The trace file is created by the first search of the process.
    trace = tmp_path / "trace.jsonl"
    run_python(
        f"""
        import numpy as np, ulmoradb
        index = ulmoradb.Index({five_points!r})
        index.search(np.ones(4, np.float32), k=0)
        index.search_batch(np.ones((2, 4), np.float32), k=0, threads=2)
        index.search_batch(np.ones((0, 4), np.float32), k=3)
        """,
        env={"VECTORDB_SEARCH_TRACE_LOG": str(trace)},
    )
    assert not trace.exists()


def test_exact_fallback_from_the_environment(five_points, tmp_path):
    events = traced_events(
        five_points,
        tmp_path / "trace.jsonl",
        "print(index.search(np.ones(4, np.float32), k=2))",
        env={"VECTORDB_EXACT_FALLBACK_ENABLED": "1"},
    )
    assert [e["stop_reason"] for e in events] == ["start", "exact_scan"]
    assert events[1]["exact_scan"] is True and events[1]["results_len"] == 2


def test_tuning_values_are_read_once(five_points, tmp_path):
    trace = tmp_path / "late.jsonl"
    run_python(
        f"""
        import os, numpy as np, ulmoradb
        index = ulmoradb.Index({five_points!r})
        index.search(np.ones(4, np.float32))
        os.environ["VECTORDB_SEARCH_TRACE_LOG"] = {str(trace)!r}
        index.search(np.ones(4, np.float32))
        ulmoradb.Index({five_points!r}).search_batch(np.ones((2, 4), np.float32), threads=2)
        """
    )
    assert not trace.exists()


def test_per_call_options_override_the_environment(clustered, clustered_cosine):
    # Python calls always pass scan_cap, patience and sq8_screen, so these
    # variables (a scan cap of 1 would cripple the search) change nothing.
    env = {
        "VECTORDB_NEIGHBOR_SCAN_CAP_LEVEL0": "1",
        "VECTORDB_EARLY_EXIT_PATIENCE": "0",
        "VECTORDB_SQ8_SCREEN": "1",
    }
    code = """
        import numpy as np, ulmoradb
        for path, quantize in (({a!r}, False), ({b!r}, True)):
            index = ulmoradb.Index(path, quantize=quantize)
            q = np.frombuffer(bytes.fromhex({q!r}), dtype=np.float32).reshape(-1, 24)
            ids, scores = index.search_batch(q, k=10, threads=2)
            print(ids.tobytes().hex(), scores.tobytes().hex())
            ids, scores = index.search(q[0], k=10)
            print(ids.tobytes().hex(), scores.tobytes().hex())
    """
    queries = clustered.queries[:16]
    source = code.format(a=clustered.path, b=clustered_cosine.path, q=queries.tobytes().hex())
    assert run_python(source, env=env).stdout == run_python(source).stdout


def test_snapshot_load_timing_line(five_points):
    size = len(open(five_points, "rb").read())
    proc = run_python(
        f"import ulmoradb; ulmoradb.Index({five_points!r})",
        env={"VECTORDB_LOG_SNAPSHOT_LOAD_TIMING": "1"},
    )
    pattern = (
        rf"snapshot_load path={re.escape(five_points)} bytes={size} read_ms=\d+ checksum_ms=\d+ "
        r"deserialize_ms=\d+ build_ms=\d+ wal_replay_ms=\d+ total_ms=\d+"
    )
    assert re.fullmatch(pattern, proc.stderr.strip()), proc.stderr
    quiet = run_python(
        f"import ulmoradb; ulmoradb.Index({five_points!r})", env={"VECTORDB_LOG_SNAPSHOT_LOAD_TIMING": "0"}
    )
    assert quiet.stderr == ""


@pytest.mark.parametrize("value, replayed", [("0", False), ("False", False), ("off", True), ("", True), (None, True)])
def test_log_replay_switch_is_read_at_every_load(five_points, tmp_path, monkeypatch, value, replayed):
    sw.write_wal(tmp_path / "seg.wal", [sw.Insert(99, [1, 2, 3, 4])])
    if value is None:
        monkeypatch.delenv("VECTORDB_WAL_AUTO_REPLAY", raising=False)
    else:
        monkeypatch.setenv("VECTORDB_WAL_AUTO_REPLAY", value)
    assert len(ulmoradb.Index(five_points)) == (6 if replayed else 5)

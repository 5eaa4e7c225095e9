"""Crash safety of the ulmora package: a compaction killed at every file
operation in turn, and at random instants, leaves files that ulmora.open and
ulmoradb.Index both load to the acknowledged state; a full disk during an
insert or a compaction raises OSError and loses nothing acknowledged."""

from __future__ import annotations

import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import ulmora
from conftest import exact_reader_scan, writer_state

DIM = 6


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def child(code: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=dict(os.environ, **env), timeout=60)


def reader_sees(path: Path, state: dict) -> None:
    """ulmoradb.Index loads the pair and finds exactly the live points with
    their vectors (by an exact scan: the compacted graph is built on two
    threads and may leave a node that no list links to)."""
    found = exact_reader_scan(path)
    assert set(found) == set(state["points"])
    for i, s in found.items():
        v = np.frombuffer(state["points"][i][0], dtype=np.float32)
        assert s == pytest.approx(float(v @ v), rel=1e-5)


@pytest.fixture(scope="module")
def pristine(tmp_path_factory) -> tuple[Path, dict]:
    """A segment with a log holding inserts, payload updates of points that
    are deleted later (built and inserted ones), and deletes."""
    path = tmp_path_factory.mktemp("pristine") / "seg.snap"
    ulmora.build(path, rows(80, 1), payloads=[{"i": i} for i in range(80)], metric="euclidean", m=8,
                 ef_construction=32, threads=2, progress=False)
    with ulmora.open(path) as seg:
        seg.insert(rows(10, 2), payloads=[{"new": i} for i in range(10)])
        for i in (3, 5, 82, 7):
            seg.update_payload(i, {"updated": True})
        seg.delete([3, 82, 11, 85])
        seg.update_payload(7, {"again": [1, 2]})
    return path, writer_state(path)


def fresh_copy(pristine_path: Path, tmp_path: Path) -> Path:
    for name in ("seg.snap", "seg.wal"):
        shutil.copy(pristine_path.parent / name, tmp_path / name)
    return tmp_path / "seg.snap"


COMPACT = """
    import sys, ulmora
    seg = ulmora.open(sys.argv[1] if len(sys.argv) > 1 else {path!r})
    seg.compact(threads=2)
    print("done", flush=True)
"""


def file_ops(path: Path) -> list[str]:
    out = child(COMPACT.format(path=str(path)), ULMORA_FAULT_TRACE="1")
    assert out.returncode == 0, out.stderr
    return [line for line in out.stderr.splitlines() if line.startswith("file_op ")]


def check_recovered(path: Path, state: dict) -> None:
    reader_sees(path, state)  # before a writer cleans up anything
    assert writer_state(path) == state
    leftovers = [p.name for p in path.parent.iterdir() if ".tmp." in p.name]
    assert leftovers == []


def test_compaction_killed_at_every_file_operation(pristine, tmp_path):
    pristine_path, state = pristine
    (tmp_path / "trace").mkdir()
    ops = file_ops(fresh_copy(pristine_path, tmp_path / "trace"))
    kinds = [line.split()[2] for line in ops]
    assert kinds.count("rename") >= 3 and kinds.count("fsync") >= 4
    for n in range(1, len(ops) + 1):
        case = tmp_path / f"kill{n}"
        case.mkdir()
        path = fresh_copy(pristine_path, case)
        out = child(COMPACT.format(path=str(path)), ULMORA_FAULT=f"kill@{n}")
        assert out.returncode == -signal.SIGKILL, (n, out.stdout, out.stderr)
        check_recovered(path, state)
    # Past the last operation the compaction completes.
    path = fresh_copy(pristine_path, tmp_path)
    out = child(COMPACT.format(path=str(path)), ULMORA_FAULT=f"kill@{len(ops) + 1}")
    assert out.returncode == 0, out.stderr
    info = ulmora.info(path)
    assert (info["deleted"], info["log"]["records"], info["log"]["bytes"]) == (0, 0, 8)
    check_recovered(path, state)


def test_compaction_killed_at_random_instants(pristine, tmp_path):
    pristine_path, state = pristine
    rng = random.Random(7)
    for trial in range(6):
        case = tmp_path / f"t{trial}"
        case.mkdir()
        path = fresh_copy(pristine_path, case)
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(COMPACT.format(path=str(path)))],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0.05, 0.6))  # interpreter start-up is ~0.1-0.3 s of this
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=30)
        check_recovered(path, state)


DISK_FULL = """
    import sys, numpy as np, ulmora
    seg = ulmora.open({path!r})
    seg.insert(np.ones((2, {dim}), np.float32), payloads=[{{"ok": 1}}, None])
    print("acknowledged", flush=True)
    try:
        {action}
    except OSError as e:
        print("oserror", e.errno, flush=True)
    seg.insert(np.full((1, {dim}), 2, np.float32))  # the log still takes whole records
    print("after", flush=True)
"""


@pytest.mark.parametrize("action, nth", [
    ("seg.insert(np.zeros((3, {dim}), np.float32))", 2),
    ("seg.delete([1, 2])", 2),
    ("seg.update_payload(4, {{'x': 1}})", 2),
    ("seg.compact()", 2),
    ("seg.compact()", 3),
    ("seg.compact()", 4),
])
def test_disk_full_raises_oserror_and_keeps_acknowledged_writes(pristine, tmp_path, action, nth):
    pristine_path, _ = pristine
    path = fresh_copy(pristine_path, tmp_path)
    code = DISK_FULL.format(path=str(path), dim=DIM, action=action.format(dim=DIM))
    out = child(code, ULMORA_FAULT=f"fail@{nth}:write:ENOSPC")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["acknowledged", "oserror", "28", "after"]
    state = writer_state(path)
    assert state["next_id"] == 93 and len(state["points"]) == 86 + 3
    assert state["points"][90][1] == {"ok": 1}
    reader_sees(path, state)


# A writer thread makes these calls while the main thread compacts; the
# parent replays them one by one on a copy to know each acknowledged state.
WRITER_STEPS = """
    import numpy as np

    def step(seg, s):
        if s % 3 == 0:
            rows = np.random.default_rng(500 + s).standard_normal((4, {dim})).astype(np.float32)
            seg.insert(rows, payloads=[{{"w": s}}] * 4)
        elif s % 3 == 1:
            seg.delete([40 + s, 1200 + s])
        else:
            seg.update_payload(900 + s, {{"u": s}})
"""
STEPS = 6

COMPACT_BESIDE_WRITER = WRITER_STEPS + """
    import sys, threading, time, ulmora
    seg = ulmora.open({path!r})

    def writer():
        for s in range({steps}):
            step(seg, s)
            print("acked", s, flush=True)
            time.sleep(0.002)

    t = threading.Thread(target=writer)
    t.start()
    seg.compact(threads=2)
    t.join()
    print("done", flush=True)
"""


@pytest.fixture(scope="module")
def larger(tmp_path_factory) -> tuple[Path, list[dict]]:
    """A segment big enough that a compaction lasts while the writer's calls
    run, and the state after each of the writer's calls."""
    path = tmp_path_factory.mktemp("larger") / "seg.snap"
    ulmora.build(path, rows(3000, 3), payloads=[{"i": i} for i in range(3000)], metric="euclidean", m=8,
                 ef_construction=32, threads=2, progress=False)
    with ulmora.open(path) as seg:
        seg.delete(range(0, 600, 2))
    work = tmp_path_factory.mktemp("steps")
    replay = fresh_copy(path, work)
    namespace: dict = {}
    exec(textwrap.dedent(WRITER_STEPS.format(dim=DIM)), namespace)
    states = [writer_state(replay)]
    for s in range(STEPS):
        with ulmora.open(replay) as seg:
            namespace["step"](seg, s)
        states.append(writer_state(replay))
    return path, states


def test_compaction_beside_writer_killed_at_every_file_operation(larger, tmp_path):
    """Every file operation of the process (the compaction's and the writer's
    log appends, in whatever order the threads interleave) is a kill point;
    the files then hold every call that was acknowledged, plus perhaps the
    one in flight."""
    pristine_path, states = larger
    code = COMPACT_BESIDE_WRITER.format(path=str(fresh_copy(pristine_path, tmp_path)), dim=DIM, steps=STEPS)
    out = child(code, ULMORA_FAULT_TRACE="1")
    assert out.returncode == 0 and out.stdout.split()[-1] == "done", out.stderr
    ops = [line.split()[2] for line in out.stderr.splitlines() if line.startswith("file_op ")]
    assert writer_state(tmp_path / "seg.snap") == states[-1]
    # The open's operations before the first write are killed in the test above.
    for n in range(ops.index("write") + 1, len(ops) + 3):
        case = tmp_path / f"kill{n}"
        case.mkdir()
        path = fresh_copy(pristine_path, case)
        out = child(COMPACT_BESIDE_WRITER.format(path=str(path), dim=DIM, steps=STEPS), ULMORA_FAULT=f"kill@{n}")
        acked = out.stdout.split().count("acked")
        if out.returncode == 0:
            assert acked == STEPS
        else:
            assert out.returncode == -signal.SIGKILL, (n, out.stdout, out.stderr)
        found = set(exact_reader_scan(path))  # before a writer cleans up anything
        state = writer_state(path)
        assert state in states[acked:acked + 2], (n, acked)
        assert found == set(state["points"]), n
        assert [p.name for p in case.iterdir() if ".tmp." in p.name] == []

"""A segment's files under concurrent use: loads racing a compacting writer
never miss an acknowledged batch; a segment has one writer and one log
whatever name it is opened by; a build over a segment killed at each of its
file operations leaves the old segment whole or the new one."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest

import ulmora
import ulmoradb
from conftest import exact_reader_scan, writer_state

DIM = 6


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def child(code: str, *args: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          env=dict(os.environ, **env), timeout=120)


COMPACTING_WRITER = """
    import sys, numpy as np, ulmora
    seg = ulmora.open(sys.argv[1])
    rng = np.random.default_rng(5)
    for _ in range(int(sys.argv[2])):
        seg.insert(rng.standard_normal((20, {dim})).astype(np.float32))
        print(len(seg), flush=True)
        seg.compact(threads=1)
    seg.close()
"""


def test_loads_beside_a_compacting_writer_miss_no_acknowledged_batch(tmp_path):
    path = tmp_path / "seg.snap"
    ulmora.build(path, rows(300, 1), metric="euclidean", m=8, ef_construction=32, threads=1, progress=False)
    acked = [300]
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(COMPACTING_WRITER.format(dim=DIM)),
                             str(path), "60"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def follow() -> None:
        for line in proc.stdout:
            acked[0] = int(line)

    follower = threading.Thread(target=follow)
    follower.start()
    loads = 0
    try:
        while proc.poll() is None and loads < 5000:
            before = acked[0]
            n = len(ulmoradb.Index(str(path)))
            info = ulmora.info(path)
            assert n >= before and (n - 300) % 20 == 0, (loads, before, n)
            assert info["points"] - info["deleted"] >= before, (loads, before, info)
            loads += 1
    finally:
        proc.kill()
        proc.wait()
        follower.join()
    assert proc.returncode in (0, -signal.SIGKILL), proc.stderr.read()
    assert loads > 0
    if proc.returncode == 0:
        assert len(ulmoradb.Index(str(path))) == acked[0] == 300 + 60 * 20


def test_a_segment_has_one_writer_and_one_log_whatever_its_name(tmp_path):
    real = tmp_path / "seg.snap"
    ulmora.build(real, rows(30, 2), metric="euclidean", progress=False)
    link = tmp_path / "link.snap"
    link.symlink_to(real)
    (tmp_path / "dirlink").symlink_to(tmp_path, target_is_directory=True)
    with ulmora.open(real):
        for other in (link, tmp_path / "dirlink" / "seg.snap"):
            with pytest.raises(ulmora.SegmentLockedError, match=re.escape(f"segment {other} is open")):
                ulmora.open(other)
        out = child(f"""
            import ulmora
            try:
                ulmora.open({str(link)!r})
            except ulmora.SegmentLockedError:
                print("locked")
        """)
        assert out.stdout.strip() == "locked", out.stderr
    with ulmora.open(link) as seg:
        assert seg.path == str(link)
        seg.insert(rows(3, 3))
        assert seg.info()["log"]["records"] == 3
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dirlink", "link.snap", "seg.snap", "seg.snap.lock",
                                                          "seg.wal"]
    assert len(ulmoradb.Index(str(link))) == len(ulmoradb.Index(str(real))) == 33
    info = ulmora.info(link)
    assert info["path"] == str(link)
    assert (info["log"]["path"], info["log"]["records"]) == (str(real.with_suffix(".wal")), 3)
    # A build through the link replaces the file it names; the link stays.
    ulmora.build(link, rows(5, 4), metric="euclidean", progress=False)
    assert link.is_symlink() and len(ulmoradb.Index(str(real))) == 5
    assert not real.with_suffix(".wal").exists()


# ---------------------------------------------------------------- build over a segment

BUILD = """
    import sys, numpy as np, ulmora
    vectors = np.random.default_rng(9).standard_normal((40, {dim})).astype(np.float32)
    ulmora.build(sys.argv[1], vectors, payloads=[{{"new": i}} for i in range(40)], metric="euclidean", m=8,
                 ef_construction=32, threads=1, progress=False)
"""


@pytest.fixture(scope="module")
def old_and_new(tmp_path_factory) -> tuple[Path, dict, dict, set, set]:
    """An old segment whose log holds inserts, payload updates of points
    deleted later, and deletes; its state and that of the new build."""
    base = tmp_path_factory.mktemp("replace")
    path = base / "seg.snap"
    ulmora.build(path, rows(80, 1), payloads=[{"i": i} for i in range(80)], metric="euclidean", m=8,
                 ef_construction=32, threads=1, progress=False)
    with ulmora.open(path) as seg:
        seg.insert(rows(10, 2), payloads=[{"added": i} for i in range(10)])
        for i in (3, 82, 7):
            seg.update_payload(i, {"updated": True})
        seg.delete([3, 82, 11])
    new = base / "new" / "seg.snap"
    new.parent.mkdir()
    out = child(BUILD.format(dim=DIM), str(new))
    assert out.returncode == 0, out.stderr
    old_state, new_state = writer_state(path), writer_state(new)
    return path, old_state, new_state, set(old_state["points"]), set(new_state["points"])


def fresh_copy(old: Path, case: Path) -> Path:
    case.mkdir()
    for name in ("seg.snap", "seg.wal"):
        shutil.copy(old.parent / name, case / name)
    return case / "seg.snap"


def test_build_over_a_segment_killed_at_every_file_operation(old_and_new, tmp_path):
    old, old_state, new_state, old_ids, new_ids = old_and_new
    traced = child(BUILD.format(dim=DIM), str(fresh_copy(old, tmp_path / "trace")), ULMORA_FAULT_TRACE="1")
    assert traced.returncode == 0, traced.stderr
    ops = [line for line in traced.stderr.splitlines() if line.startswith("file_op ")]
    assert sum(" rename " in op for op in ops) >= 4  # the fold's three, then the new snapshot's
    outcomes = []
    for n in range(1, len(ops) + 1):
        path = fresh_copy(old, tmp_path / f"kill{n}")
        out = child(BUILD.format(dim=DIM), str(path), ULMORA_FAULT=f"kill@{n}")
        assert out.returncode == -signal.SIGKILL, (n, out.stderr)
        found = set(exact_reader_scan(path))  # before a writer cleans anything up
        state = writer_state(path)
        assert (found, state) in ((old_ids, old_state), (new_ids, new_state)), n
        assert [p.name for p in path.parent.iterdir() if ".tmp." in p.name] == []
        outcomes.append(found == new_ids)
    # The old segment up to the new snapshot's rename, the new one after it.
    assert outcomes == sorted(outcomes) and outcomes[0] is False and outcomes[-1] is True

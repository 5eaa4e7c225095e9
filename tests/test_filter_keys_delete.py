"""filter_keys on build/open (kept with the segment) and Segment.delete(filter=)."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ulmora
import ulmoradb
from ulmora import cli

DIM = 6


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def payloads(n: int) -> list[dict]:
    return [{"colour": ["red", "blue", "green"][i % 3], "size": i % 2} for i in range(n)]


def build(path, n=90, **kw):
    ulmora.build(path, rows(n, 1), payloads=payloads(n), metric="euclidean", m=4, ef_construction=16, threads=1,
                 progress=False, seed=11, **kw)
    return path


def graph_bytes(path) -> bytes:
    """The segment record of a version-3 snapshot, without its metadata block and trailer."""
    body = path.read_bytes()[:-8]
    (c,) = struct.unpack_from("<I", body, len(body) - 12)
    return body[8:len(body) - 12 - c]


def test_filter_keys_are_stored_kept_and_readable_by_ulmoradb(tmp_path):
    plain = build(tmp_path / "plain.snap")
    keyed = build(tmp_path / "keyed.snap", filter_keys=["size", "colour"])
    unused = build(tmp_path / "unused.snap", filter_keys=["absent"])
    assert ulmora.info(plain)["filter_keys"] is None
    assert ulmora.info(keyed)["filter_keys"] == ["colour", "size"]
    # The keys choose which payload keys get edges; the environment is not asked.
    assert graph_bytes(unused) == graph_bytes(plain) != graph_bytes(keyed)
    index = ulmoradb.Index(str(keyed))
    with ulmora.open(keyed) as seg:
        assert len(index) == len(seg) == 90
        assert seg.info()["filter_keys"] == ["colour", "size"]
        seg.insert(rows(5, 2), payloads=payloads(5))
        seg.delete([0, 1])
        seg.compact()
    assert ulmora.info(keyed)["filter_keys"] == ["colour", "size"]
    assert len(ulmoradb.Index(str(keyed))) == 93
    # Other keys at open are stored at once (the segment is compacted for them).
    with ulmora.open(keyed, filter_keys=["colour"]) as seg:
        assert seg.info()["filter_keys"] == ["colour"]
    assert ulmora.info(keyed)["filter_keys"] == ["colour"]
    with ulmora.open(keyed, readonly=True) as seg:
        assert seg.info()["filter_keys"] == ["colour"] and len(seg) == 93


@pytest.mark.parametrize("keys,error,text", [
    ("colour", TypeError, "list of str"), ([1], TypeError, "list of str"), ([], ValueError, "at least one key"),
    (["colour", ""], ValueError, "empty key"), ({"colour"}, TypeError, "list of str"),
])
def test_filter_keys_are_checked(tmp_path, keys, error, text):
    with pytest.raises(error, match=text):
        ulmora.build(tmp_path / "x.snap", rows(3, 1), filter_keys=keys, progress=False)
    assert not (tmp_path / "x.snap").exists()
    path = build(tmp_path / "seg.snap", n=10)
    with pytest.raises(error, match=text):
        ulmora.open(path, filter_keys=keys)


def test_cli_build_takes_filter_keys(tmp_path, capsys):
    np.save(tmp_path / "x.npy", rows(20, 3))
    (tmp_path / "p.jsonl").write_text("".join('{"colour": "red"}\n' for _ in range(20)))
    out = tmp_path / "s.snap"
    assert cli.main(["build", str(tmp_path / "x.npy"), "-o", str(out), "--payloads", str(tmp_path / "p.jsonl"),
                     "--filter-keys", "colour, size", "--no-progress"]) == 0
    assert ulmora.info(out)["filter_keys"] == ["colour", "size"]
    assert cli.main(["info", str(out)]) == 0
    assert "edges for keys colour, size" in capsys.readouterr().out
    assert cli.main(["build", str(tmp_path / "x.npy"), "-o", str(tmp_path / "t.snap"), "--filter-keys", "a,,b"]) == 2
    assert "empty key" in capsys.readouterr().err


def test_delete_by_filter_counts_logs_once_and_replays(tmp_path):
    path = build(tmp_path / "seg.snap")
    with ulmora.open(path) as seg:
        with pytest.raises(ValueError, match="exactly one of ids and filter"):
            seg.delete()
        with pytest.raises(ValueError, match="exactly one of ids and filter"):
            seg.delete([1], filter={"colour": "red"})
        with pytest.raises(ValueError):
            seg.delete(filter={"colour": {"$bad": 1}})
        assert seg.delete([0]) is None
        assert seg.delete(filter={"colour": "red", "size": 1}) == 15
        assert seg.delete(filter={"colour": "red", "size": 1}) == 0
        assert seg.count({"colour": "red"}) == 14  # id 0 (red, size 0) went by id
        kept = seg.ids().tolist()
        log = seg.info()["log"]
        assert log["records"] == 16
    with ulmora.open(path, readonly=True) as again:
        assert again.ids().tolist() == kept
    found, _ = ulmoradb.Index(str(path)).search(rows(1, 5)[0], k=90, ef=200)
    assert set(found.tolist()) <= set(kept) and len(found) > 0


DELETER = """
    import sys, ulmora
    seg = ulmora.open(sys.argv[1])
    print("start", file=sys.stderr, flush=True)
    n = seg.delete(filter={"colour": "blue"})
    print("end", file=sys.stderr, flush=True)
    print(n)
"""


def test_delete_by_filter_is_one_log_write(tmp_path):
    path = build(tmp_path / "seg.snap")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(DELETER), str(path)], capture_output=True,
                          text=True, env=dict(os.environ, ULMORA_FAULT_TRACE="1"), timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "30"
    lines = done.stderr.splitlines()
    inside = lines[lines.index("start") + 1:lines.index("end")]
    assert [line.split()[2] for line in inside if line.startswith("file_op")].count("write") == 1, inside

"""The ``ulmora`` command line, end to end in a temporary directory."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import ulmora
from conftest import EXACT_SCAN, default_sigint, exact_reader_search, run_python
from ulmora import cli, readers

needs_api = pytest.mark.skipif(not hasattr(ulmora, "build"), reason="ulmora.build not available yet")


def run(capsys, *argv):
    """Runs the command line in-process: (status, stdout, stderr)."""
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def assert_one_line_error(err: str, *fragments):
    lines = err.strip("\n").split("\n")
    assert len(lines) == 1, err
    assert lines[0].startswith("ulmora: ") and "Traceback" not in err
    for fragment in fragments:
        assert str(fragment) in lines[0], err


@pytest.fixture
def data(tmp_path):
    rng = np.random.default_rng(7)
    base = rng.standard_normal((600, 12)).astype(np.float32)
    np.save(tmp_path / "base.npy", base[:400])
    np.save(tmp_path / "more.npy", base[400:500])
    np.save(tmp_path / "extra.npy", base[500:])
    np.save(tmp_path / "queries.npy", base[::20] + 0.01)
    return tmp_path, base


# ---------------------------------------------------------------- usage


@pytest.mark.parametrize("argv", [
    [],
    ["build", "x.npy"],
    ["build", "x.npy", "-o", "s.snap", "--metric", "l1"],
    ["build", "x.npy", "-o", "s.snap", "--m", "0"],
    ["delete", "s.snap"],
    ["delete", "s.snap", "abc"],
    ["delete", "s.snap", str(2**64)],
    ["search", "s.snap", "q.npy", "-k", "0"],
    ["info"],
    ["demo", "--ef", "16,x"],
    ["frobnicate"],
])
def test_usage_errors_exit_2(capsys, argv):
    status, _, err = run(capsys, *argv)
    assert status == 2 and "usage: ulmora" in err


def test_help_and_version_exit_0(capsys):
    assert run(capsys, "--help")[0] == 0
    status, out, _ = run(capsys, "--version")
    assert status == 0 and out.startswith("ulmora ")


# ---------------------------------------------------------------- one-line errors


def test_missing_and_bad_files(capsys, tmp_path):
    missing = tmp_path / "none.snap"
    for argv in (["info", missing], ["compact", missing], ["delete", missing, 1],
                 ["insert", missing, tmp_path / "x.npy"], ["search", missing, tmp_path / "q.npy"]):
        status, _, err = run(capsys, *argv)
        assert status == 1
        assert_one_line_error(err, missing, "No such file")

    bad = tmp_path / "v.fvecs"
    bad.write_bytes(np.int32(4).tobytes() + bytes(16) + np.int32(3).tobytes() + bytes(12))
    status, _, err = run(capsys, "build", bad, "-o", tmp_path / "s.snap")
    assert status == 1
    assert_one_line_error(err, f"{bad}: record 1 has dimension 3, expected 4")
    assert not (tmp_path / "s.snap").exists()


@pytest.mark.parametrize("exc, status, text", [
    (KeyboardInterrupt(), 130, "ulmora: interrupted"),
    (ZeroDivisionError("boom"), 1, "internal error: ZeroDivisionError: boom"),
    (MemoryError(), 1, "out of memory"),
])
def test_interrupt_and_unexpected_errors(capsys, monkeypatch, tmp_path, exc, status, text):
    def fail(*a, **k):
        raise exc
    monkeypatch.setattr(readers, "read_vectors", fail)
    got, _, err = run(capsys, "build", tmp_path / "x.npy", "-o", tmp_path / "s.snap")
    assert got == status
    assert_one_line_error(err, text)


@needs_api
def test_corrupt_segment_is_one_line(capsys, tmp_path):
    seg = tmp_path / "junk.snap"
    seg.write_bytes(b"\x00" * 40)
    for argv in (["info", seg], ["search", seg, tmp_path / "q.npy"]):
        if argv[0] == "search":
            np.save(tmp_path / "q.npy", np.ones((2, 3), np.float32))
        status, _, err = run(capsys, *argv)
        assert status == 1
        assert_one_line_error(err, seg)


# ---------------------------------------------------------------- end to end


@needs_api
def test_build_insert_delete_compact_search(capsys, data):
    tmp, base = data
    seg = tmp / "s.snap"
    status, out, err = run(capsys, "build", tmp / "base.npy", "-o", seg, "--metric", "euclidean",
                           "--m", 8, "--ef-construction", 100, "--threads", 2, "--no-progress")
    assert status == 0, err
    assert "400 points, dim 12, euclidean" in out
    # Live points: ids 0..399, 400..499 and 1000..1099 are rows of `base`.
    rows = {i: base[i] for i in range(500)} | {1000 + j: base[500 + j] for j in range(100)}

    # Without --ids the new points continue from the segment's next id.
    status, out, err = run(capsys, "insert", seg, tmp / "more.npy")
    assert status == 0, err
    assert "inserted 100 points" in out and "ids 400..499" in out

    ids = np.arange(1000, 1100, dtype=np.int64)
    np.save(tmp / "ids.npy", ids)
    (tmp / "p.jsonl").write_text("".join(
        json.dumps({"n": int(i), "tag": ["a", "b"]}) + "\n" if i % 2 else "null\n" for i in ids))
    status, out, err = run(capsys, "insert", seg, tmp / "extra.npy", "--ids", tmp / "ids.npy",
                           "--payloads", tmp / "p.jsonl")
    assert status == 0, err
    assert "ids 1000..1099" in out

    # Already present ids are refused and nothing is written.
    log_bytes = ulmora.info(str(seg))["log"]["bytes"]
    status, _, err = run(capsys, "insert", seg, tmp / "extra.npy", "--ids", tmp / "ids.npy")
    assert status == 1
    assert_one_line_error(err, seg)
    assert ulmora.info(str(seg))["log"]["bytes"] == log_bytes

    status, out, err = run(capsys, "delete", seg, 3, 450, 1001, 99999)
    assert status == 0, err
    assert "deleted 3 of 4 ids" in out and "1 not present" in out

    status, out, _ = run(capsys, "info", seg, "--json")
    info = json.loads(out)
    assert (info["points"], info["live"], info["deleted"], info["dim"]) == (600, 597, 3, 12)
    assert info["metric"] == "euclidean" and info["next_id"] == 1100
    assert info["log"]["exists"] and info["log"]["records"] > 0

    # The true nearest live points, by a float64 scan of the input rows.
    queries = np.load(tmp / "queries.npy")
    live = np.array(sorted(set(rows) - {3, 450, 1001}), dtype=np.uint64)
    points = np.stack([rows[int(i)] for i in live]).astype(np.float64)
    d = ((queries[:, None, :].astype(np.float64) - points[None]) ** 2).sum(-1)
    order = np.argsort(d, axis=1)[:, :10]
    truth_ids, truth_scores = live[order], np.take_along_axis(d, order, axis=1)

    # Loading replays the log with fresh levels, so graph searches of two
    # loads may differ; with every point scanned the command's output is
    # fixed.
    proc = run_python(
        f"""
        from ulmora import cli
        raise SystemExit(cli.main(["search", {str(seg)!r}, {str(tmp / "queries.npy")!r}, "-k", "10",
                                   "--ef", "400", "--out", {str(tmp / "r.npz")!r}]))
        """,
        env=EXACT_SCAN)
    assert "30 queries" in proc.stdout and "queries/s" in proc.stdout
    with np.load(tmp / "r.npz") as r:
        np.testing.assert_array_equal(r["ids"], truth_ids)
        np.testing.assert_allclose(r["scores"], truth_scores, rtol=1e-5, atol=1e-6)

    status, out, err = run(capsys, "compact", seg)
    assert status == 0, err
    assert "597 live points" in out
    info = ulmora.info(str(seg))
    assert (info["points"], info["deleted"], info["live"]) == (597, 0, 597)
    assert info["log"]["records"] == 0 and info["next_id"] == 1100
    # The compacted file holds exactly the live points.
    np.testing.assert_array_equal(exact_reader_search(seg, queries, 10), truth_ids)


@needs_api
def test_info_text_and_installed_script(capsys, data):
    tmp, _ = data
    seg = tmp / "s.snap"
    assert run(capsys, "build", tmp / "base.npy", "-o", seg, "--no-progress")[0] == 0
    status, out, _ = run(capsys, "info", seg)
    assert status == 0
    for fragment in ("400 live, 0 deleted", "dim 12, cosine", "next id 400", "checksum ok", "degree     level 0"):
        assert fragment in out

    argv = ulmora_command()
    done = subprocess.run(argv + ["info", str(seg), "--json"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["points"] == 400
    done = subprocess.run(argv + ["info", str(tmp / "absent.snap")], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 1
    assert_one_line_error(done.stderr, "absent.snap", "No such file")


def ulmora_command() -> list[str]:
    script = Path(sys.executable).with_name("ulmora")
    return [str(script)] if script.exists() else [sys.executable, "-m", "ulmora.cli"]


@needs_api
def test_ctrl_c_during_build_exits_130_and_leaves_no_file(tmp_path):
    base = np.random.default_rng(1).standard_normal((200_000, 32)).astype(np.float32)
    np.save(tmp_path / "big.npy", base)
    seg = tmp_path / "s.snap"
    proc = subprocess.Popen(ulmora_command() + ["build", str(tmp_path / "big.npy"), "-o", str(seg),
                                                "--threads", "1", "--progress"],
                            stderr=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=default_sigint)
    try:
        # The bar's first update means the build is under way.
        deadline = time.monotonic() + 60
        while proc.stderr.read(1) not in (b"%", b"") and time.monotonic() < deadline:
            pass
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert err.decode().rstrip().splitlines()[-1].endswith("ulmora: interrupted")
    assert "Traceback" not in err.decode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.npy"]


@needs_api
def test_build_refuses_existing_segment_unless_forced(capsys, data):
    tmp, _ = data
    seg = tmp / "s.snap"
    assert run(capsys, "build", tmp / "base.npy", "-o", seg, "--no-progress")[0] == 0
    assert run(capsys, "delete", seg, 1)[0] == 0
    status, _, err = run(capsys, "build", tmp / "more.npy", "-o", seg, "--no-progress")
    assert status == 1
    assert_one_line_error(err, "already exists", "--force")
    status, _, err = run(capsys, "build", tmp / "more.npy", "-o", seg, "--no-progress", "--force")
    assert status == 0, err
    info = ulmora.info(str(seg))
    assert (info["points"], info["deleted"], info["log"]["records"]) == (100, 0, 0)


@needs_api
@pytest.mark.parametrize("case", ["dim", "payload_count", "ids_count", "locked"])
def test_insert_refusals_write_nothing(capsys, data, case):
    tmp, _ = data
    seg = tmp / "s.snap"
    assert run(capsys, "build", tmp / "base.npy", "-o", seg, "--no-progress")[0] == 0
    argv = ["insert", seg, tmp / "more.npy"]
    if case == "dim":
        np.save(tmp / "wide.npy", np.ones((3, 13), np.float32))
        argv = ["insert", seg, tmp / "wide.npy"]
        expect = ("wide.npy", "dimension 13", "dimension 12")
    elif case == "payload_count":
        (tmp / "p.jsonl").write_text("null\n" * 99)
        argv += ["--payloads", tmp / "p.jsonl"]
        expect = ("p.jsonl", "99 payload lines, expected 100")
    elif case == "ids_count":
        np.save(tmp / "ids.npy", np.arange(5000, 5010))
        argv += ["--ids", tmp / "ids.npy"]
        expect = ("ids.npy", "10 ids, expected 100")
    else:
        expect = (seg,)
    before = ulmora.info(str(seg))
    if case == "locked":
        with ulmora.open(str(seg)):
            status, _, err = run(capsys, *argv)
    else:
        status, _, err = run(capsys, *argv)
    assert status == 1
    assert_one_line_error(err, *expect)
    after = ulmora.info(str(seg))
    assert (after["live"], after["log"]["records"]) == (before["live"], before["log"]["records"])


@needs_api
def test_search_hdf5_reports_recall(capsys, tmp_path):
    h5py = pytest.importorskip("h5py")
    rng = np.random.default_rng(5)
    train = rng.standard_normal((300, 8)).astype(np.float32)
    test = rng.standard_normal((20, 8)).astype(np.float32)
    d = ((test[:, None, :] - train[None, :, :]) ** 2).sum(-1)
    with h5py.File(tmp_path / "ann.hdf5", "w") as f:
        f["train"], f["test"] = train, test
        f["neighbors"] = np.argsort(d, axis=1)[:, :10].astype(np.int32)
    seg = tmp_path / "s.snap"
    # A seeded one-thread build is the same graph every run, so its recall
    # is a fixed figure.
    assert run(capsys, "build", tmp_path / "ann.hdf5", "-o", seg, "--metric", "euclidean",
               "--seed", 1, "--threads", 1, "--no-progress")[0] == 0
    status, out, err = run(capsys, "search", seg, tmp_path / "ann.hdf5", "--ef", 300)
    assert status == 0, err
    assert "20 queries" in out and "recall@10" in out and "1.0000" in out


# ---------------------------------------------------------------- demo


@needs_api
def test_demo_small(capsys, tmp_path):
    status, out, err = run(capsys, "demo", "--n", 2000, "--queries", 50, "--dim", 16,
                           "--dir", tmp_path, "--no-progress", "--ef", "16,256")
    assert status == 0, err
    assert "NumPy exact scan" in out and "ulmoradb ef 256" in out
    row = next(line for line in out.splitlines() if line.startswith("ulmoradb ef 256"))
    assert float(row.split()[3]) >= 0.95  # recall@10 at a wide beam
    assert {p.name for p in tmp_path.iterdir()} >= {"base.npy", "queries.npy", "demo.snap"}


def test_demo_plot_without_matplotlib(capsys, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, _, err = run(capsys, "demo", "--n", 100, "--dir", tmp_path, "--plot", tmp_path / "p.png")
    assert status == 1
    assert_one_line_error(err, "p.png", "ulmoradb[plot]")


def test_exact_topk_matches_brute_force():
    from ulmora.exact import exact_topk

    rng = np.random.default_rng(0)
    base = rng.standard_normal((300, 6)).astype(np.float32)
    queries = rng.standard_normal((9, 6)).astype(np.float32)
    unit = base / np.linalg.norm(base, axis=1, keepdims=True)
    keys = {
        "euclidean": ((queries[:, None] - base[None]) ** 2).sum(-1),
        "dot": -(queries @ base.T),
        "cosine": -(queries @ unit.T),
    }
    for metric, key in keys.items():
        for refine in (0, 3):
            got = exact_topk(base, queries, 5, metric, block=4, refine=refine)
            np.testing.assert_array_equal(got, np.argsort(key, axis=1)[:, :5])


# ---------------------------------------------------------------- package layout


def test_package_modules_import_no_cycle():
    """No module of the ulmora package imports, at any depth and in any
    function, one that imports it back."""
    import ast

    package = Path(__file__).resolve().parents[1] / "python" / "ulmora"
    modules = {p.stem: p for p in package.glob("*.py")}
    submodules = {p.name.split(".")[0] for p in package.iterdir()}  # _native is compiled

    def targets(node):
        if isinstance(node, ast.ImportFrom):
            if node.level == 0 and node.module != "ulmora" and not (node.module or "").startswith("ulmora."):
                return []
            base = (node.module or "").removeprefix("ulmora").lstrip(".")
            if base:
                return [base.split(".")[0]]
            return [a.name if a.name in submodules else "__init__" for a in node.names]
        if isinstance(node, ast.Import):
            return [a.name.partition(".")[2].split(".")[0] or "__init__"
                    for a in node.names if a.name.split(".")[0] == "ulmora"]
        return []

    edges = {}
    for name, path in modules.items():
        tree = ast.parse(path.read_text(), str(path))
        edges[name] = {t for n in ast.walk(tree) for t in targets(n) if t in modules and t != name}
    assert edges["cli"] >= {"cliutil", "demo", "exact"}  # the walk sees the package's imports

    def reaches(start, goal, seen=()):
        return any(n == goal or (n not in seen and reaches(n, goal, (*seen, n))) for n in edges[start])

    cycles = sorted(name for name in modules if reaches(name, name))
    assert not cycles, {name: sorted(edges[name]) for name in cycles}

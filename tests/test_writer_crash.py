"""Crash tests of the writer through real processes.

A child process opens a segment with ulmora.open and runs a script of
mutations (batch inserts with and without payloads or explicit ids, deletes,
payload updates, refused calls, an occasional compaction), printing one
flushed line per call that returned. The parent SIGKILLs it at a random
instant (often inside a call), or the file seam kills it at a chosen file
operation, and then loads the files with ulmoradb.Index and ulmora.open.

What must hold after every kill: every acknowledged call is in the files,
nothing refused is, and the only other difference is a prefix of the
records of the one call in flight (a batch is logged as one record per
row, a delete as one record per id, written with one write call).
"""

from __future__ import annotations

import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import ulmora
import ulmoradb
from conftest import exact_reader_scan

DIM = 8
REFUSED_BASE = 50_000_000   # fresh ids that only refused calls carry


def rows(n: int, seed: int, dim: int = DIM) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


CHILD = """
    import json, sys, numpy as np, ulmora
    def rows(n, seed, dim):
        return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)
    def say(line):
        print(line, flush=True)
        sys.stderr.write(line + "\\n"); sys.stderr.flush()  # beside the file-op trace
    ops = json.load(open(sys.argv[2]))
    seg = ulmora.open(sys.argv[1])
    say("ready")
    for i, op in enumerate(ops):
        try:
            if op["op"] == "insert":
                v = rows(op["n"], op["seed"], op["dim"])
                if op["poison"]:
                    v[op["n"] // 2, 0] = np.nan
                seg.insert(v, ids=op["ids"], payloads=op["payloads"], threads=2)
            elif op["op"] == "delete":
                seg.delete(op["ids"])
            elif op["op"] == "update":
                seg.update_payload(op["id"], op["payload"])
            else:
                seg.compact(threads=2)
        except (ValueError, KeyError, TypeError) as e:
            say(f"refused {i} {type(e).__name__}")
            continue
        say(f"ack {i}")
    say("end")
"""


class Model:
    """The acknowledged state: live points (vector bytes, payload), every id
    ever inserted (deleted ones included) and next_id."""

    def __init__(self, points: dict, taken: set, next_id: int):
        self.points, self.taken, self.next_id = points, taken, next_id

    def clone(self) -> "Model":
        return Model(dict(self.points), set(self.taken), self.next_id)

    def key(self) -> tuple:
        return self.points, self.next_id

    def records(self, op: dict) -> list[tuple]:
        """The log records an accepted call writes, in order."""
        if op["op"] == "insert":
            v = rows(op["n"], op["seed"], op["dim"])
            ids = op["ids"] or list(range(self.next_id, self.next_id + op["n"]))
            payloads = op["payloads"] or [None] * op["n"]
            return [("insert", i, v[j].tobytes(), payloads[j]) for j, i in enumerate(ids)]
        if op["op"] == "delete":
            seen, out = set(), []
            for i in op["ids"]:
                if i in self.points and i not in seen:
                    seen.add(i)
                    out.append(("delete", i))
            return out
        if op["op"] == "update":
            return [("update", op["id"], op["payload"])]
        return []  # compaction changes no logical state

    def apply(self, record: tuple) -> None:
        if record[0] == "insert":
            _, i, vec, payload = record
            self.points[i] = (vec, payload)
            self.taken.add(i)
            self.next_id = max(self.next_id, i + 1)
        elif record[0] == "delete":
            del self.points[record[1]]
        else:
            _, i, payload = record
            self.points[i] = (self.points[i][0], payload)

    def apply_call(self, op: dict) -> None:
        for r in self.records(op):
            self.apply(r)


def generate(model: Model, rng: random.Random, count: int, counters: dict) -> list[dict]:
    """A script of calls valid in sequence from `model`; those marked
    "refused" must be refused by the writer."""
    sim, ops = model.clone(), []

    def insert(n, ids=None, payloads=None, poison=False, dim=DIM):
        counters["seed"] += 1
        return {"op": "insert", "seed": counters["seed"], "n": n, "ids": ids, "payloads": payloads,
                "poison": poison, "dim": dim}

    for _ in range(count):
        roll = rng.random()
        live = sorted(sim.points)
        if roll < 0.35:
            n = rng.randint(1, 30)
            payloads = None
            if rng.random() < 0.5:
                payloads = [None if rng.random() < 0.3 else {"c": counters["seed"], "j": j, "s": "x" * (j % 5)}
                            for j in range(n)]
            op = insert(n, payloads=payloads)
        elif roll < 0.45:
            n = rng.randint(1, 10)
            # Above next_id with gaps, which later default inserts skip over.
            ids = rng.sample(range(sim.next_id + 1, sim.next_id + 40), n)
            op = insert(n, ids=ids, payloads=[{"e": i} for i in ids])
        elif roll < 0.60 and live:
            ids = rng.sample(live, min(len(live), rng.randint(1, 8)))
            op = {"op": "delete", "ids": ids + [ids[0], REFUSED_BASE - 1]}  # a duplicate, an unknown id
        elif roll < 0.80 and live:
            counters["payload"] += 1
            op = {"op": "update", "id": rng.choice(live), "payload": {"u": counters["payload"], "l": ["a", "b"]}}
        elif roll < 0.97:
            kind = rng.randrange(5)
            fresh = [REFUSED_BASE + counters["refused"] + j for j in range(3)]
            counters["refused"] += 3
            if kind == 0 and live:  # an id already present
                op = insert(3, ids=[fresh[0], rng.choice(live), fresh[1]])
            elif kind == 1:
                op = insert(4, ids=None if rng.random() < 0.5 else fresh + [fresh[2] + 1], poison=True)
            elif kind == 2:
                op = insert(2, ids=fresh[:2], dim=DIM + 1)
            elif kind == 3 and live:  # a payload the writer cannot store
                op = {"op": "update", "id": rng.choice(live), "payload": {"l": [1, "a"]}}
            else:
                gone = sorted(sim.taken - set(sim.points)) or [REFUSED_BASE - 2]
                op = {"op": "update", "id": rng.choice(gone), "payload": {"never": 1}}
            op["refused"] = True
        else:
            op = {"op": "compact"}
        if not op.get("refused"):
            sim.apply_call(op)
        ops.append(op)
    return ops


def written_state(path: Path) -> Model:
    with ulmora.open(path) as seg:
        points = {}
        for i in seg.ids().tolist():
            vector, payload = seg.get(i)
            points[i] = (vector.tobytes(), payload)
        return Model(points, set(), seg.next_id)


def check_reader(index: "ulmoradb.Index", path: Path, model: Model, vectors: dict, nodes: int) -> None:
    """The reader holds `nodes` graph nodes and finds live points as their
    own nearest neighbours at distance 0, and never returns a deleted point
    for its own vector. Searches walk live nodes only, so a live point whose
    every in-edge comes from deleted nodes is unreachable until compaction
    (about 1 in 1,500 after heavy deletes): a point the search misses must
    then be found by a scan of every point the reader holds."""
    assert len(index) == nodes
    live = sorted(model.points)
    if live:
        q = np.stack([np.frombuffer(model.points[i][0], np.float32) for i in live])
        ids, scores = index.search_batch(q, k=1, ef=200)
        hits = ids[:, 0] == np.array(live, dtype=np.uint64)
        assert not scores[hits, 0].any()
        if not hits.all():
            held = exact_reader_scan(path)
            assert all(i in held for i in np.array(live)[~hits].tolist()), np.array(live)[~hits][:10]
    gone = sorted(i for i in model.taken - set(model.points) if i in vectors)[:200]
    if gone:
        ids, _ = index.search_batch(np.stack([vectors[i] for i in gone]), k=1, ef=200)
        assert not set(ids[:, 0].tolist()) & set(gone)


def match_after_kill(path: Path, model: Model, ops: list[dict], done: int, vectors: dict) -> tuple:
    """Checks the files against `model` (acknowledged calls applied) plus a
    prefix of the records of ops[done], the call in flight. Returns the
    state found and how many records of the call in flight it holds."""
    index = ulmoradb.Index(str(path))  # before a writer removes anything
    nodes = ulmora.info(path)["points"]
    found = written_state(path)
    in_flight = ops[done] if done < len(ops) else None
    records = [] if in_flight is None or in_flight.get("refused") else model.records(in_flight)
    candidate = model.clone()
    for applied in range(len(records) + 1):
        if applied:
            candidate.apply(records[applied - 1])
        if candidate.key() == found.key():
            break
    else:
        lost = sorted(set(model.points) ^ set(found.points))[:10]
        raise AssertionError(f"state after the kill is not acknowledged + a prefix of {in_flight}; "
                             f"ids differing from the acknowledged state: {lost}; "
                             f"next_id {found.next_id} vs {model.next_id}")
    check_reader(index, path, candidate, vectors, nodes)
    return candidate, applied


def run_child(path: Path, ops: list[dict], ops_file: Path, kill_after: int | None, delay: float,
              env: dict | None = None) -> tuple[list[str], int]:
    """Runs the script; with kill_after, SIGKILLs the child `delay` seconds
    after its kill_after-th call returned. Returns its stdout lines and exit
    code; its standard error is left in ops_file with suffix .err."""
    ops_file.write_text(json.dumps(ops))
    err_file = ops_file.with_suffix(".err")
    with open(err_file, "w") as err:
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD), str(path), str(ops_file)],
                                stdout=subprocess.PIPE, stderr=err, text=True,
                                env=dict(os.environ, **(env or {})))
    lines = []
    try:
        while kill_after is not None:
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line.strip())
            if sum(1 for x in lines if x.split()[0] in ("ack", "refused")) >= kill_after:
                time.sleep(delay)
                proc.send_signal(signal.SIGKILL)
                break
        lines += proc.stdout.read().splitlines()  # what the child printed before it died
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
    assert proc.returncode in (0, -signal.SIGKILL), err_file.read_text()
    return lines, proc.returncode


def acknowledged(lines: list[str], ops: list[dict]) -> int:
    """Calls that returned, checked against what the script expects refused."""
    done = 0
    for line in lines:
        word, *rest = line.split()
        if word not in ("ack", "refused"):
            continue
        assert int(rest[0]) == done
        assert (word == "refused") == bool(ops[done].get("refused")), (line, ops[done])
        done += 1
    return done


@pytest.fixture
def segment(tmp_path) -> tuple[Path, Model, dict]:
    path = tmp_path / "seg.snap"
    base = rows(40, 1)
    ulmora.build(path, base, metric="euclidean", m=8, ef_construction=32, threads=1, progress=False)
    points = {i: (base[i].tobytes(), None) for i in range(40)}
    vectors = {i: base[i] for i in range(40)}
    return path, Model(points, set(points), 40), vectors


def remember_vectors(ops: list[dict], model: Model, vectors: dict) -> None:
    sim = model.clone()
    for op in ops:
        if op["op"] == "insert" and not op.get("refused"):
            for r in sim.records(op):
                vectors[r[1]] = np.frombuffer(r[2], np.float32)
            sim.apply_call(op)


def test_writer_killed_at_random_instants(segment, tmp_path):
    path, model, vectors = segment
    rng = random.Random(13)
    counters = {"seed": 100, "refused": 0, "payload": 0}
    kills = in_call = whole = partial = checked = 0
    deadline = time.monotonic() + 30  # bounds the run on a loaded machine
    for cycle in range(40):
        if time.monotonic() > deadline:
            break
        ops = generate(model, rng, 14, counters)
        remember_vectors(ops, model, vectors)
        kill_after = rng.randrange(len(ops))
        lines, code = run_child(path, ops, tmp_path / "ops.json", kill_after, rng.uniform(0, 0.012))
        done = acknowledged(lines, ops)
        for op in ops[:done]:
            if not op.get("refused"):
                model.apply_call(op)
            checked += 1
        found, applied = match_after_kill(path, model, ops, done, vectors)
        if code == -signal.SIGKILL:
            kills += 1
            in_call += "ready" in lines and done < len(ops)
            n_records = len(model.records(ops[done])) if done < len(ops) and not ops[done].get("refused") else 0
            partial += 0 < applied < n_records
            whole += 0 < applied == n_records
        model = found
    print(f"\nwriter crash: {kills} kills survived ({in_call} inside the script: the next call was found "
          f"whole {whole} times, as a strict prefix {partial} times, absent otherwise), {checked} acknowledged "
          f"or refused calls checked, {len(model.points)} live points at the end")
    assert kills >= 12 and checked >= 100


SCRIPT = [
    {"op": "insert", "seed": 7, "n": 10, "ids": None, "payloads": [{"p": j} for j in range(10)], "poison": False,
     "dim": DIM},
    {"op": "insert", "seed": 8, "n": 4, "ids": [90, 70, 80, 60], "payloads": None, "poison": False, "dim": DIM},
    {"op": "insert", "seed": 9, "n": 2, "ids": [1, 200], "payloads": None, "poison": False, "dim": DIM,
     "refused": True},
    {"op": "delete", "ids": [3, 45, 70, 3, 999]},
    {"op": "update", "id": 41, "payload": {"q": "z"}},
    {"op": "update", "id": 3, "payload": {"q": "z"}, "refused": True},
    {"op": "insert", "seed": 10, "n": 20, "ids": None, "payloads": None, "poison": False, "dim": DIM},
]


def traced_log_ops(path: Path, tmp: Path) -> list[tuple[int, str, int]]:
    """(file-op number, kind, index of the call) of each log write and fsync
    the script's calls make, from a traced run that is not killed."""
    lines, code = run_child(path, SCRIPT, tmp / "ops.json", None, 0, {"ULMORA_FAULT_TRACE": "1"})
    assert code == 0 and lines[-1] == "end"
    out, call = [], None
    for line in (tmp / "ops.err").read_text().splitlines():
        word, *rest = line.split()
        if word == "ready":
            call = 0
        elif word in ("ack", "refused"):
            call = int(rest[0]) + 1
        elif word == "file_op" and call is not None and rest[1] in ("write", "fsync"):
            assert rest[2].endswith(".wal"), line
            out.append((int(rest[0]), rest[1], call))
    return out


def test_writer_killed_at_each_log_write_and_fsync(segment, tmp_path):
    path, model, vectors = segment
    remember_vectors(SCRIPT, model, vectors)
    (tmp_path / "trace").mkdir()
    (tmp_path / "trace" / "seg.snap").write_bytes(path.read_bytes())
    points = traced_log_ops(tmp_path / "trace" / "seg.snap", tmp_path / "trace")
    accepted = [i for i, op in enumerate(SCRIPT) if not op.get("refused")]
    assert sorted({call for _, _, call in points}) == accepted  # refused calls touch no file
    for n, kind, call in points:
        case = tmp_path / f"kill{n}"
        case.mkdir()
        (case / "seg.snap").write_bytes(path.read_bytes())
        lines, code = run_child(case / "seg.snap", SCRIPT, case / "ops.json", None, 0,
                                {"ULMORA_FAULT": f"kill@{n}"})
        assert code == -signal.SIGKILL
        done = acknowledged(lines, SCRIPT)
        assert done == call
        expected = model.clone()
        for op in SCRIPT[:done]:
            if not op.get("refused"):
                expected.apply_call(op)
        _, applied = match_after_kill(case / "seg.snap", expected, SCRIPT, done, vectors)
        # Killed before the write: nothing of the call; before its flush: all of it.
        assert applied == (0 if kind == "write" else len(expected.records(SCRIPT[call]))), (n, kind)
    print(f"\nwriter crash: killed at {len(points)} log writes and flushes of {len(accepted)} calls")

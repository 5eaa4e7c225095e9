"""Shared fixtures: snapshot files written by testkit/snapshot_writer.py, a
clustered data set with exact ground truth, and a helper that runs code in a
fresh interpreter (for behaviour that depends on process-wide, read-once
environment values)."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

from testkit import snapshot_writer as sw

# Tuning values are read once per process, so a stray VECTORDB_* variable in
# the caller's environment would change what this process's searches do.
_STRAY = sorted(k for k in os.environ if k.startswith("VECTORDB_"))


def pytest_report_header(config):
    if _STRAY:
        return "warning: VECTORDB_* variables are set: " + ", ".join(_STRAY)
    return None


def complete_graph(vectors, ids=None, **config) -> sw.Graph:
    """A single-level graph in which every point links to every other one:
    any search over it is exact once ef covers the whole index."""
    vectors = np.asarray(vectors, dtype=np.float32)
    ids = list(range(len(vectors))) if ids is None else [int(i) for i in ids]
    layers = {0: {p: [p] + [q for q in ids if q != p] for p in ids}} if ids else {}
    config.setdefault("metric", "Euclidean")
    return sw.Graph(
        vectors={p: v for p, v in zip(ids, vectors)},
        layers=layers,
        levels={p: 0 for p in ids},
        entry_point=ids[0] if ids else None,
        **config,
    )


@pytest.fixture
def write_segment(tmp_path):
    """write_segment(segment_or_graph, name="seg.snap", **snapshot_kwargs) -> path"""

    def write(seg, name="seg.snap", **kwargs):
        if isinstance(seg, sw.Graph):
            seg = sw.Segment(seg, next_id=max(seg.vectors, default=-1) + 1)
        return sw.write_snapshot(tmp_path / name, seg, **kwargs)

    return write


@pytest.fixture
def small_index(write_segment):
    """Index(vectors, ids=None, **graph_config) over a complete graph."""
    import ulmoradb

    def build(vectors, ids=None, quantize=False, **config):
        return ulmoradb.Index(write_segment(complete_graph(vectors, ids, **config)), quantize=quantize)

    return build


@dataclass
class Clustered:
    path: str
    dim: int
    ids: np.ndarray  # point id of row i
    vectors: np.ndarray  # float32, as stored
    queries: np.ndarray  # float32, C-contiguous
    truth: np.ndarray  # exact 10 nearest point ids per query


def _clustered(tmp_path_factory, metric: str, name: str) -> Clustered:
    rng = np.random.default_rng(20240611)
    n, dim, clusters = 2000, 24, 20
    centers = rng.normal(size=(clusters, dim)) * 4.0
    x = (centers[rng.integers(clusters, size=n)] + rng.normal(size=(n, dim))).astype(np.float32)
    # Sparse, unordered ids so a mix-up of node index and point id shows.
    ids = rng.choice(10**12, size=n, replace=False).astype(np.uint64)
    graph = sw.knn_graph(x, [int(i) for i in ids], metric=metric)
    stored = np.stack([graph.vectors[int(i)] for i in ids]).astype(np.float32)
    path = tmp_path_factory.mktemp(name) / f"{name}.snap"
    sw.write_snapshot(path, sw.Segment(graph, next_id=int(ids.max()) + 1))
    queries = (x[rng.choice(n, size=64, replace=False)] + 0.3 * rng.normal(size=(64, dim))).astype(np.float32)
    order = np.argsort(sw.pairwise_keys(queries, stored, metric), axis=1, kind="stable")[:, :10]
    return Clustered(str(path), dim, ids, stored, np.ascontiguousarray(queries), ids[order])


@pytest.fixture(scope="session")
def clustered(tmp_path_factory) -> Clustered:
    return _clustered(tmp_path_factory, "Euclidean", "clustered")


@pytest.fixture(scope="session")
def clustered_cosine(tmp_path_factory) -> Clustered:
    return _clustered(tmp_path_factory, "Cosine", "clustered_cosine")


@pytest.fixture(scope="session")
def clustered_index(clustered):
    import ulmoradb

    return ulmoradb.Index(clustered.path)


def default_sigint() -> None:
    """Popen preexec_fn: the child starts with SIGINT at its default, so Python
    installs its KeyboardInterrupt handler even when the test run itself was
    started with SIGINT ignored (a background job of a shell without job
    control), which Ctrl-C tests would otherwise inherit."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_python(code: str, env: dict | None = None, check: bool = True) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with the tests directory importable
    and every VECTORDB_* variable replaced by `env`."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("VECTORDB_")}
    full_env.update(env or {})
    tests_dir = str(Path(__file__).resolve().parent)
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [tests_dir, os.environ.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


# Settings under which ulmoradb.Index scans every point instead of walking
# its graph (read once per process: for fresh interpreters).
EXACT_SCAN = {"VECTORDB_EXACT_FALLBACK_ENABLED": "1", "VECTORDB_EXACT_FALLBACK_THRESHOLD": "1000000000"}


def exact_reader_scan(path) -> dict[int, float]:
    """Every point ulmoradb.Index finds in the segment at `path`, with its
    score against the zero vector, by an exact scan in a fresh interpreter.
    A graph search can miss a node that no other node's list links to (a
    property of these graphs, more likely the smaller they are); checks of
    what a file holds use this instead."""
    proc = run_python(
        f"""
        import json, numpy as np, ulmoradb
        index = ulmoradb.Index({str(path)!r})
        n = len(index) + 1
        ids, scores = index.search(np.zeros(index.dim(), np.float32), k=n, ef=n)
        print(json.dumps([ids.tolist(), scores.tolist()]))
        """,
        env=EXACT_SCAN,
    )
    ids, scores = json.loads(proc.stdout)
    return dict(zip(ids, scores))


def exact_reader_search(path, queries: np.ndarray, k: int) -> np.ndarray:
    """The ids ulmoradb.Index returns for `queries` (k each) from the segment
    at `path` when it scans every point, in a fresh interpreter: what the
    file holds, independent of how its graph links the points."""
    proc = run_python(
        f"""
        import json, numpy as np, ulmoradb
        index = ulmoradb.Index({str(path)!r})
        queries = np.array({np.asarray(queries, np.float32).tolist()!r}, np.float32)
        ids, _ = index.search_batch(queries, k={k}, ef={k})
        print(json.dumps(ids.tolist()))
        """,
        env=EXACT_SCAN,
    )
    return np.array(json.loads(proc.stdout), dtype=np.uint64)


def writer_state(path: Path) -> dict:
    """Live ids -> (vector bytes, payload), and next_id, through a writer."""
    import ulmora

    with ulmora.open(path) as seg:
        points = {}
        for i in seg.ids():
            vector, payload = seg.get(int(i))
            points[int(i)] = (vector.tobytes(), payload)
        return {"points": points, "next_id": seg.next_id}

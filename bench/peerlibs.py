"""One adapter per library and setting for the peer benchmark (peers.py).

Every setting builds (or shares) its own graph with M = 16 and
ef_construction = 200 on 2 threads, saves it to a file, loads it back in a
fresh process and answers a whole query matrix in one call with 1 or 2
threads at a given ef. Settings that differ only in how they search (our
float beam and SQ8 routes) share one graph file, named by ``graph``.
:func:`at_efc` gives our settings on a graph built at another
ef_construction (labels "ulmoradb efc N ..."), for the row of the package's
default (:func:`default_efc`).

Our graph is built by ``ulmora.build`` when the installed ``ulmora``
package has it, else by the ``tools/ulmora_build`` binary (see
:func:`ulmora_builder`, the one place that chooses).
"""

from __future__ import annotations

import inspect
import re
import subprocess
import time
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Callable

import numpy as np

from bench import benchlib, bench_build

M = 16
EF_CONSTRUCTION = 200


def normalise(x: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    norms[norms == 0] = 1
    return np.ascontiguousarray(x / norms, dtype=np.float32)


@dataclass
class Setting:
    """A curve of the benchmark: a library, its graph and its search route."""

    label: str
    lib: str  # library name (colour in the plots)
    graph: str  # graph file key; settings with the same key share one build
    ext: str
    build: Callable  # (base, metric, path, threads) -> seconds of insertion
    load: Callable  # (path, dim, n, metric) -> index object
    search: Callable  # (index, queries, k, ef, threads) -> ids [nq, k]
    metrics: tuple = ("euclidean", "cosine")
    env: dict = field(default_factory=dict)  # extra environment of the search process
    ours: bool = False
    prepare: Callable = lambda q, metric: q  # query preprocessing, outside the timing
    efc: int = EF_CONSTRUCTION


# ------------------------------------------------------------------ ulmoradb


def _build_with_tool(path: Path, base: np.ndarray, metric: str, threads: int, efc: int) -> float:
    """ulmora_build on a temporary .npy; returns its reported insertion seconds."""
    npy = path.with_suffix(".input.npy")
    np.save(npy, np.ascontiguousarray(base, dtype=np.float32))
    try:
        cmd = [bench_build.find_tool(), "--input", str(npy), "--output", str(path), "--metric", metric,
               "--m", str(M), "--ef-construction", str(efc), "--threads", str(threads)]
        res = subprocess.run(cmd, capture_output=True, text=True)
        if res.returncode != 0:
            raise RuntimeError(f"{' '.join(cmd)} failed ({res.returncode}): {res.stderr.strip()}")
        rate = bench_build.RATE.search(res.stdout)
        if not rate:
            raise RuntimeError(f"unexpected ulmora_build output: {res.stdout!r}")
        return float(rate.group(1))
    finally:
        npy.unlink(missing_ok=True)


def _build_with_api(build) -> Callable:
    def run(path: Path, base: np.ndarray, metric: str, threads: int, efc: int) -> float:
        t = time.perf_counter()
        build(str(path), base, metric=metric, m=M, ef_construction=efc, threads=threads)
        return time.perf_counter() - t

    return run


def ulmora_builder() -> tuple[str, Callable]:
    """(how, build function): the Python API when present, else the tool."""
    try:
        import ulmora
    except ImportError:
        ulmora = None
    if getattr(ulmora, "build", None) is not None:
        return "ulmora.build", _build_with_api(ulmora.build)
    return "tools/ulmora_build", _build_with_tool


def default_efc() -> int:
    """ef_construction of ``ulmora.build`` when not given (the tool's 200 without the package)."""
    try:
        import ulmora
    except ImportError:
        return EF_CONSTRUCTION
    build = getattr(ulmora, "build", None)
    return inspect.signature(build).parameters["ef_construction"].default if build else EF_CONSTRUCTION


def _ulmora_build_at(efc: int) -> Callable:
    def build(base, metric, path, threads):
        return ulmora_builder()[1](Path(path), base, metric, threads, efc)

    return build


_ulmora_build = _ulmora_build_at(EF_CONSTRUCTION)


def _ulmora_load(quantize: bool):
    def load(path, dim, n, metric):
        return benchlib.import_ulmoradb().Index(str(path), quantize=quantize)

    return load


def _ulmora_search(sq8_screen: bool = False, patience: int = 2):
    def search(index, q, k, ef, threads):
        return index.search_batch(q, k=k, ef=ef, sq8_screen=sq8_screen, patience=patience, threads=threads)[0]

    return search


# ------------------------------------------------------------------- hnswlib


def _hnsw_space(metric):
    return {"euclidean": "l2", "cosine": "cosine"}[metric]


def _hnswlib_build(base, metric, path, threads):
    import hnswlib

    index = hnswlib.Index(space=_hnsw_space(metric), dim=base.shape[1])
    index.init_index(max_elements=base.shape[0], M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
    t = time.perf_counter()
    index.add_items(base, np.arange(base.shape[0]), num_threads=threads)
    secs = time.perf_counter() - t
    index.save_index(str(path))
    return secs


def _hnswlib_load(path, dim, n, metric):
    import hnswlib

    index = hnswlib.Index(space=_hnsw_space(metric), dim=dim)
    index.load_index(str(path), max_elements=n)
    return index


def _hnswlib_search(index, q, k, ef, threads):
    index.set_ef(ef)
    return index.knn_query(q, k=k, num_threads=threads)[0]


# --------------------------------------------------------------------- faiss


def _faiss_build(sq8: bool):
    def build(base, metric, path, threads):
        import faiss

        faiss.omp_set_num_threads(threads)
        kind = faiss.METRIC_L2 if metric == "euclidean" else faiss.METRIC_INNER_PRODUCT
        x = normalise(base) if metric == "cosine" else np.ascontiguousarray(base, dtype=np.float32)
        if sq8:
            index = faiss.IndexHNSWSQ(x.shape[1], faiss.ScalarQuantizer.QT_8bit, M, kind)
        else:
            index = faiss.IndexHNSWFlat(x.shape[1], M, kind)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        t = time.perf_counter()
        if sq8:
            index.train(x)
        index.add(x)
        secs = time.perf_counter() - t
        faiss.write_index(index, str(path))
        return secs

    return build


def _faiss_load(path, dim, n, metric):
    import faiss

    return faiss.read_index(str(path))


def _faiss_search(index, q, k, ef, threads):
    import faiss

    faiss.omp_set_num_threads(threads)
    index.hnsw.efSearch = ef
    return index.search(q, k)[1]


def _faiss_prepare(q, metric):
    return normalise(q) if metric == "cosine" else q


# ------------------------------------------------------------------- usearch


def _usearch_build(dtype: str):
    def build(base, metric, path, threads):
        from usearch.index import Index

        index = Index(ndim=base.shape[1], metric="l2sq" if metric == "euclidean" else "cos", dtype=dtype,
                      connectivity=M, expansion_add=EF_CONSTRUCTION)
        t = time.perf_counter()
        index.add(np.arange(base.shape[0]), np.ascontiguousarray(base, dtype=np.float32), threads=threads)
        secs = time.perf_counter() - t
        index.save(str(path))
        return secs

    return build


def _usearch_load(path, dim, n, metric):
    from usearch.index import Index

    return Index.restore(str(path))


def _usearch_search(index, q, k, ef, threads):
    index.expansion_search = ef
    return index.search(q, k, threads=threads).keys


# ------------------------------------------------------------------- voyager


def _voyager_space(metric):
    import voyager

    return {"euclidean": voyager.Space.Euclidean, "cosine": voyager.Space.Cosine}[metric]


def _voyager_build(base, metric, path, threads):
    import voyager

    index = voyager.Index(_voyager_space(metric), num_dimensions=base.shape[1], M=M,
                          ef_construction=EF_CONSTRUCTION, max_elements=base.shape[0])
    t = time.perf_counter()
    index.add_items(np.ascontiguousarray(base, dtype=np.float32), num_threads=threads)
    secs = time.perf_counter() - t
    index.save(str(path))
    return secs


def _voyager_load(path, dim, n, metric):
    import voyager

    return voyager.Index.load(str(path))


def _voyager_search(index, q, k, ef, threads):
    return index.query(q, k=k, num_threads=threads, query_ef=ef)[0]


# ------------------------------------------------------------------ settings

SETTINGS = [
    Setting("ulmoradb", "ulmoradb", "ulmoradb", "snap", _ulmora_build, _ulmora_load(False), _ulmora_search(),
            ours=True),
    Setting("ulmoradb patience 0", "ulmoradb", "ulmoradb", "snap", _ulmora_build, _ulmora_load(False),
            _ulmora_search(patience=0), ours=True),
    Setting("ulmoradb SQ8 rerank 2", "ulmoradb", "ulmoradb", "snap", _ulmora_build, _ulmora_load(True),
            _ulmora_search(), env={"VECTORDB_SQ8_RERANK_FACTOR": "2"}, ours=True),
    Setting("ulmoradb SQ8 rerank 3", "ulmoradb", "ulmoradb", "snap", _ulmora_build, _ulmora_load(True),
            _ulmora_search(), env={"VECTORDB_SQ8_RERANK_FACTOR": "3"}, ours=True),
    Setting("ulmoradb SQ8 rerank 1", "ulmoradb", "ulmoradb", "snap", _ulmora_build, _ulmora_load(True),
            _ulmora_search(), env={"VECTORDB_SQ8_RERANK_FACTOR": "1"}, ours=True),
    Setting("ulmoradb SQ8 rerank 1 patience 0", "ulmoradb", "ulmoradb", "snap", _ulmora_build,
            _ulmora_load(True), _ulmora_search(patience=0), env={"VECTORDB_SQ8_RERANK_FACTOR": "1"}, ours=True),
    Setting("ulmoradb SQ8 screen", "ulmoradb", "ulmoradb", "snap", _ulmora_build, _ulmora_load(True),
            _ulmora_search(sq8_screen=True), metrics=("cosine",), ours=True),
    Setting("hnswlib", "hnswlib", "hnswlib", "hnswlib", _hnswlib_build, _hnswlib_load, _hnswlib_search),
    Setting("faiss HNSWFlat", "faiss", "faiss-flat", "faiss", _faiss_build(False), _faiss_load, _faiss_search,
            prepare=_faiss_prepare),
    Setting("faiss HNSWSQ8", "faiss", "faiss-sq8", "faiss", _faiss_build(True), _faiss_load, _faiss_search,
            prepare=_faiss_prepare),
    Setting("usearch f32", "usearch", "usearch-f32", "usearch", _usearch_build("f32"), _usearch_load,
            _usearch_search),
    Setting("usearch i8", "usearch", "usearch-i8", "usearch", _usearch_build("i8"), _usearch_load,
            _usearch_search, metrics=("cosine",)),
    Setting("voyager", "voyager", "voyager", "voyager", _voyager_build, _voyager_load, _voyager_search),
]
BY_LABEL = {s.label: s for s in SETTINGS}
LIBS = sorted({s.lib for s in SETTINGS})
_AT_EFC = re.compile(r"ulmoradb efc (\d+)(.*)")


def at_efc(efc: int) -> list[Setting]:
    """Our settings again, on a graph built at ``efc`` instead of 200."""
    return [replace(s, label=f"ulmoradb efc {efc}{s.label.removeprefix('ulmoradb')}", graph=f"ulmoradb-efc{efc}",
                    build=_ulmora_build_at(efc), efc=efc) for s in SETTINGS if s.ours]


def lookup(label: str) -> Setting:
    """The setting of a label, those of :func:`at_efc` included."""
    found = _AT_EFC.fullmatch(label)
    if label in BY_LABEL or not found:
        return BY_LABEL[label]
    return next(s for s in at_efc(int(found.group(1))) if s.label == label)

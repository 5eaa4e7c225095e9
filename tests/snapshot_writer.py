"""Pure-Python writer of segment snapshot files and write-ahead logs.

Produces every layout the loader accepts, so tests can build inputs byte by
byte:

* value encoding: little-endian fixed-width integers and floats, one-byte
  bools and option tags, u64 length prefixes for strings, lists, maps and
  sets, u32 variant indices for enumerations, no padding;
* snapshot bodies in the current shape or the version-1 shape (graph record
  without ``m0`` / ``m0_cap``), unversioned or behind a "VDBS" header
  (versions 2 and 3), version 3 with or without a "VDBM" metadata block;
* an optional "VDBF" Adler-32 trailer;
* write-ahead logs: "VDBW", u32 version, then framed records
  ``[u32 len][body][u32 adler32]``.

Payload values are tagged explicitly with :class:`Value` or inferred from the
Python type (int, float, str, bool and non-empty homogeneous lists of them).
"""

from __future__ import annotations

import math
import struct
import zlib
from dataclasses import dataclass, field
from typing import Iterable, Mapping, Sequence

import numpy as np

METRICS = {"Cosine": 0, "Dot": 1, "Euclidean": 2}

_VALUE_KINDS = ("Int", "Float", "Str", "Bool", "ListInt", "ListFloat", "ListStr", "ListBool")


def adler32(data: bytes) -> int:
    """RFC 1950 Adler-32 (1 for no bytes)."""
    return zlib.adler32(data) & 0xFFFFFFFF


# ---------------------------------------------------------------------------
# Value encoding


class Encoder:
    """Appends encoded values to an internal buffer."""

    def __init__(self) -> None:
        self._parts: list[bytes] = []

    def raw(self, data: bytes) -> "Encoder":
        self._parts.append(bytes(data))
        return self

    def u8(self, v: int) -> "Encoder":
        return self.raw(struct.pack("<B", v))

    def u32(self, v: int) -> "Encoder":
        return self.raw(struct.pack("<I", v))

    def u64(self, v: int) -> "Encoder":
        return self.raw(struct.pack("<Q", v))

    def i64(self, v: int) -> "Encoder":
        return self.raw(struct.pack("<q", v))

    def f32(self, v: float) -> "Encoder":
        return self.raw(struct.pack("<f", v))

    def f64(self, v: float) -> "Encoder":
        return self.raw(struct.pack("<d", v))

    def boolean(self, v: bool) -> "Encoder":
        return self.u8(1 if v else 0)

    def string(self, s: str | bytes) -> "Encoder":
        data = s.encode("utf-8") if isinstance(s, str) else bytes(s)
        return self.u64(len(data)).raw(data)

    def f32_list(self, values) -> "Encoder":
        arr = np.ascontiguousarray(values, dtype="<f4").reshape(-1)
        return self.u64(arr.size).raw(arr.tobytes())

    def u64_list(self, values: Sequence[int]) -> "Encoder":
        values = list(values)
        return self.u64(len(values)).raw(struct.pack(f"<{len(values)}Q", *values))

    def u64_set(self, values: Iterable[int]) -> "Encoder":
        return self.u64_list(sorted(values))

    def getvalue(self) -> bytes:
        return b"".join(self._parts)


# ---------------------------------------------------------------------------
# Payloads


@dataclass(frozen=True)
class Value:
    """A payload value with an explicit variant ("Int", "ListStr", ...)."""

    kind: str
    value: object

    def __post_init__(self) -> None:
        if self.kind not in _VALUE_KINDS:
            raise ValueError(f"unknown payload value kind {self.kind!r}")


def as_value(v) -> Value:
    if isinstance(v, Value):
        return v
    if isinstance(v, bool):
        return Value("Bool", v)
    if isinstance(v, int):
        return Value("Int", v)
    if isinstance(v, float):
        return Value("Float", v)
    if isinstance(v, str):
        return Value("Str", v)
    if isinstance(v, (list, tuple)) and v:
        scalar = as_value(v[0]).kind
        return Value("List" + scalar, list(v))
    raise TypeError(f"cannot infer a payload value kind for {v!r}; use Value(kind, value)")


def encode_value(enc: Encoder, v) -> None:
    v = as_value(v)
    enc.u32(_VALUE_KINDS.index(v.kind))
    item = {"Int": enc.i64, "Float": enc.f64, "Str": enc.string, "Bool": enc.boolean}
    if v.kind in item:
        item[v.kind](v.value)
        return
    elems = list(v.value)
    enc.u64(len(elems))
    put = item[v.kind[4:]]
    for e in elems:
        put(e)


def encode_payload(enc: Encoder, payload: Mapping[str, object]) -> None:
    enc.u64(len(payload))
    for key, value in payload.items():
        enc.string(key)
        encode_value(enc, value)


# ---------------------------------------------------------------------------
# Records


@dataclass
class Graph:
    """An HNSW graph record. ``dim`` defaults to the first vector's length
    (0 when there are no vectors)."""

    vectors: Mapping[int, Sequence[float]]
    layers: Mapping[int, Mapping[int, Sequence[int]]] = field(default_factory=dict)
    levels: Mapping[int, int] = field(default_factory=dict)
    entry_point: int | None = None
    metric: str | int = "Euclidean"
    m: int = 16
    m0: int = 0
    m0_cap: int = 0
    ef_search: int = 128
    ef_construction: int = 200
    level_cap: int = 16
    level_scale: float = 1.0 / math.log(16)
    max_level: int = 0
    dim: int | None = None
    deleted: Iterable[int] = ()
    exact_fallback_enabled: bool = False
    exact_fallback_threshold: int = 256

    def effective_dim(self) -> int:
        if self.dim is not None:
            return self.dim
        for v in self.vectors.values():
            return len(v)
        return 0

    def metric_index(self) -> int:
        return METRICS[self.metric] if isinstance(self.metric, str) else int(self.metric)


@dataclass
class Segment:
    """A whole segment record: graph, payload index, payloads, deleted set
    and next id."""

    graph: Graph
    payload_index: Mapping[str, Mapping[object, Iterable[int]]] = field(default_factory=dict)
    payloads: Mapping[int, Mapping[str, object]] = field(default_factory=dict)
    deleted: Iterable[int] = ()
    next_id: int = 0


def encode_config(enc: Encoder, g: Graph, *, with_m0: bool = True, summary: bool = False) -> None:
    """The configuration fields in record order. The summary form (metadata)
    has no ``deleted`` set between ``dim`` and the fallback fields."""
    enc.u32(g.metric_index()).u64(g.m)
    if with_m0:
        enc.u64(g.m0).u64(g.m0_cap)
    enc.u64(g.ef_search).u64(g.ef_construction).u64(g.level_cap).f64(g.level_scale)
    enc.u64(g.max_level).u64(g.effective_dim())
    if not summary:
        enc.u64_set(g.deleted)
    enc.boolean(g.exact_fallback_enabled).u64(g.exact_fallback_threshold)


def encode_graph(g: Graph, shape: str = "current") -> bytes:
    """``shape`` is "current" (17 fields) or "v1" (15 fields)."""
    if shape not in ("current", "v1"):
        raise ValueError(shape)
    enc = Encoder()
    enc.u64(len(g.layers))
    for level, lists in g.layers.items():
        enc.u64(level).u64(len(lists))
        for pid, neighbours in lists.items():
            enc.u64(pid).u64_list(neighbours)
    enc.u64(len(g.vectors))
    for pid, vec in g.vectors.items():
        enc.u64(pid).f32_list(vec)
    enc.u64(len(g.levels))
    for pid, level in g.levels.items():
        enc.u64(pid).u64(level)
    if g.entry_point is None:
        enc.u8(0)
    else:
        enc.u8(1).u64(g.entry_point)
    encode_config(enc, g, with_m0=shape == "current")
    return enc.getvalue()


def encode_segment(seg: Segment, shape: str = "current") -> bytes:
    enc = Encoder().raw(encode_graph(seg.graph, shape))
    enc.u64(len(seg.payload_index))
    for key, by_value in seg.payload_index.items():
        enc.string(key).u64(len(by_value))
        for value, ids in by_value.items():
            encode_value(enc, value)
            enc.u64_set(ids)
    enc.u64(len(seg.payloads))
    for pid, payload in seg.payloads.items():
        enc.u64(pid)
        encode_payload(enc, payload)
    enc.u64_set(seg.deleted).u64(seg.next_id)
    return enc.getvalue()


def encode_metadata(seg: Segment, created_at_ms: int = 1_700_000_000_000) -> bytes:
    enc = Encoder().u64(created_at_ms)
    encode_config(enc, seg.graph, summary=True)
    enc.u64(len(seg.graph.vectors)).u64(len(seg.payloads))
    return enc.getvalue()


def metadata_block(metadata: bytes, block_version: int = 1, length: int | None = None) -> bytes:
    """Metadata followed by its u32 length, u32 block version and "VDBM"."""
    n = len(metadata) if length is None else length
    return metadata + struct.pack("<II", n, block_version) + b"VDBM"


def with_trailer(body: bytes, checksum: int | None = None) -> bytes:
    value = adler32(body) if checksum is None else checksum
    return body + b"VDBF" + struct.pack("<I", value)


def snapshot_bytes(
    seg: Segment,
    *,
    version: int | None = 3,
    metadata: bool | bytes = True,
    trailer: bool = True,
    shape: str = "current",
) -> bytes:
    """A whole snapshot file.

    version: None for an unversioned body, else the u32 written after "VDBS"
    (2 and 3 are the supported ones; others make rejected files).
    metadata: for version 3, True appends a proper metadata block; bytes are
    appended as given (e.g. a hand-made broken block); False appends nothing.
    """
    body = encode_segment(seg, shape)
    if version is not None:
        if version == 3 and metadata is True:
            body += metadata_block(encode_metadata(seg))
        elif isinstance(metadata, (bytes, bytearray)):
            body += bytes(metadata)
        body = b"VDBS" + struct.pack("<I", version) + body
    return with_trailer(body) if trailer else body


def write_snapshot(path, seg: Segment, **kwargs) -> str:
    data = snapshot_bytes(seg, **kwargs)
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


# ---------------------------------------------------------------------------
# Write-ahead log


@dataclass
class Insert:
    point_id: int
    vector: Sequence[float]
    payload: Mapping[str, object] | None = None


@dataclass
class Delete:
    point_id: int


@dataclass
class UpdatePayload:
    point_id: int
    payload: Mapping[str, object]


def encode_wal_record(rec) -> bytes:
    enc = Encoder()
    if isinstance(rec, Insert):
        enc.u32(0).u64(rec.point_id).f32_list(rec.vector)
        if rec.payload is None:
            enc.u8(0)
        else:
            enc.u8(1)
            encode_payload(enc, rec.payload)
    elif isinstance(rec, Delete):
        enc.u32(1).u64(rec.point_id)
    elif isinstance(rec, UpdatePayload):
        enc.u32(2).u64(rec.point_id)
        encode_payload(enc, rec.payload)
    else:
        raise TypeError(f"not a log record: {rec!r}")
    return enc.getvalue()


def frame(body: bytes, checksum: int | None = None) -> bytes:
    value = adler32(body) if checksum is None else checksum
    return struct.pack("<I", len(body)) + body + struct.pack("<I", value)


def wal_bytes(records: Iterable = (), *, magic: bytes = b"VDBW", version: int = 1) -> bytes:
    """Header then one frame per record. A record may also be raw bytes,
    which are written as they are (for torn or corrupt tails)."""
    out = [magic + struct.pack("<I", version)]
    for rec in records:
        out.append(bytes(rec) if isinstance(rec, (bytes, bytearray)) else frame(encode_wal_record(rec)))
    return b"".join(out)


def write_wal(path, records: Iterable = (), **kwargs) -> str:
    with open(path, "wb") as f:
        f.write(wal_bytes(records, **kwargs))
    return str(path)


# ---------------------------------------------------------------------------
# Graph construction helpers


def knn_graph(
    vectors: np.ndarray,
    ids: Sequence[int],
    *,
    metric: str = "Euclidean",
    degree: int = 24,
    random_links: int = 8,
    upper_every: int = 16,
    seed: int = 0,
    **config,
) -> Graph:
    """A two-level graph over ``vectors`` (row i has point id ids[i]).

    Level 0 links every point to itself, its ``degree`` nearest points and
    ``random_links`` random ones (so separate clusters stay connected);
    every ``upper_every``-th point also lives on level 1, linked to its
    nearest level-1 points. The entry point is the first level-1 point.
    Cosine vectors are stored at unit length, as an inserted graph holds them.
    """
    rng = np.random.default_rng(seed)
    x = np.asarray(vectors, dtype=np.float32)
    if metric == "Cosine":
        x = x / np.linalg.norm(x, axis=1, keepdims=True)
    n = len(x)
    dist = pairwise_keys(x, x, metric)
    np.fill_diagonal(dist, np.inf)
    order = np.argsort(dist, axis=1, kind="stable")
    level0 = {}
    for i in range(n):
        near = [int(j) for j in order[i, : min(degree, n - 1)]]
        extra = [int(j) for j in rng.choice(n, size=min(random_links, n), replace=False) if j != i]
        seen = dict.fromkeys([i] + near + extra)
        level0[ids[i]] = [ids[j] for j in seen]
    upper = list(range(0, n, upper_every))
    on_upper = set(upper)
    level1 = {}
    for i in upper:
        near = sorted((j for j in upper if j != i), key=lambda j: dist[i, j])[:degree]
        level1[ids[i]] = [ids[i]] + [ids[j] for j in near]
    return Graph(
        vectors={ids[i]: x[i] for i in range(n)},
        layers={0: level0, 1: level1} if n else {},
        levels={ids[i]: (1 if i in on_upper else 0) for i in range(n)},
        entry_point=ids[0] if n else None,
        metric=metric,
        max_level=1 if n else 0,
        **config,
    )


def pairwise_keys(q: np.ndarray, x: np.ndarray, metric: str) -> np.ndarray:
    """Sort keys (lower is better) of every query against every vector."""
    q = np.asarray(q, dtype=np.float64)
    x = np.asarray(x, dtype=np.float64)
    if metric == "Euclidean":
        sq = (q * q).sum(1)[:, None] + (x * x).sum(1)[None, :] - 2.0 * (q @ x.T)
        return np.maximum(sq, 0.0)
    dots = q @ x.T
    if metric == "Dot":
        return -dots
    qn = q / np.linalg.norm(q, axis=1, keepdims=True)
    return 1.0 - np.clip(qn @ (x / np.linalg.norm(x, axis=1, keepdims=True)).T, -1, 1)

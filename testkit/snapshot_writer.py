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

Two graph forms share one configuration: :class:`Graph` holds Python
mappings and is encoded value by value (any layout, including malformed
ones); :class:`ArrayGraph` holds NumPy arrays and lays each record out with
arrays and ``tobytes``, so benchmark graphs of 10^5..10^6 points encode in
about a second. Both give the same bytes for the same graph.
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
        if isinstance(values, np.ndarray):
            arr = np.sort(values.astype("<u8").reshape(-1))
            return self.u64(arr.size).raw(arr.tobytes())
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


@dataclass(kw_only=True)
class GraphConfig:
    """The configuration fields of a graph record. ``metric`` is a name (any
    case) or a raw enumeration index (to write out-of-range values)."""

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

    def metric_index(self) -> int:
        return METRICS[self.metric.capitalize()] if isinstance(self.metric, str) else int(self.metric)


@dataclass
class Graph(GraphConfig):
    """An HNSW graph record as Python mappings, written in their iteration
    order. ``dim`` defaults to the first vector's length (0 when there are
    no vectors)."""

    vectors: Mapping[int, Sequence[float]]
    layers: Mapping[int, Mapping[int, Sequence[int]]] = field(default_factory=dict)
    levels: Mapping[int, int] = field(default_factory=dict)
    entry_point: int | None = None

    def effective_dim(self) -> int:
        if self.dim is not None:
            return self.dim
        for v in self.vectors.values():
            return len(v)
        return 0


@dataclass
class Layer:
    """One level's neighbour lists as arrays: ``keys[i]`` owns
    ``flat[offsets[i]:offsets[i + 1]]``."""

    keys: np.ndarray  # uint64 [n]
    offsets: np.ndarray  # int64 [n + 1], offsets[0] == 0
    flat: np.ndarray  # uint64 [offsets[-1]]

    @classmethod
    def from_lists(cls, keys: Sequence[int], lists: Sequence[Sequence[int]]) -> "Layer":
        offsets = np.zeros(len(lists) + 1, dtype=np.int64)
        np.cumsum([len(x) for x in lists], out=offsets[1:])
        flat = np.fromiter((v for x in lists for v in x), dtype=np.uint64, count=int(offsets[-1]))
        return cls(np.asarray(keys, dtype=np.uint64).reshape(-1), offsets, flat)


@dataclass
class ArrayGraph(GraphConfig):
    """The same record as :class:`Graph` held in arrays: row i of ``vectors``
    and ``levels`` belongs to point ``ids[i]``; ``layers`` are written in
    their mapping order. ``dim`` defaults to the width of ``vectors``."""

    ids: np.ndarray  # uint64 [n]
    vectors: np.ndarray  # float32 [n, dim], written as they are
    levels: np.ndarray  # uint64 [n]
    layers: Mapping[int, Layer] = field(default_factory=dict)
    entry_point: int | None = None

    def effective_dim(self) -> int:
        return self.vectors.shape[1] if self.dim is None else self.dim


@dataclass
class Segment:
    """A whole segment record: graph, payload index, payloads, deleted set
    and next id."""

    graph: Graph | ArrayGraph
    payload_index: Mapping[str, Mapping[object, Iterable[int]]] = field(default_factory=dict)
    payloads: Mapping[int, Mapping[str, object]] = field(default_factory=dict)
    deleted: Iterable[int] = ()
    next_id: int = 0


def encode_config(enc: Encoder, g: GraphConfig, *, with_m0: bool = True, summary: bool = False) -> None:
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


def encode_graph(g: Graph | ArrayGraph, shape: str = "current") -> bytes:
    """``shape`` is "current" (17 fields) or "v1" (15 fields)."""
    if shape not in ("current", "v1"):
        raise ValueError(shape)
    if isinstance(g, ArrayGraph):
        return _encode_array_graph(g, shape)
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
    _encode_tail(enc, g, shape)
    return enc.getvalue()


def _encode_tail(enc: Encoder, g: GraphConfig, shape: str) -> None:
    """The optional entry point and the configuration, after the levels."""
    if g.entry_point is None:
        enc.u8(0)
    else:
        enc.u8(1).u64(g.entry_point)
    encode_config(enc, g, with_m0=shape == "current")


# ---------------------------------------------------------------------------
# Vectorised records (ArrayGraph)


def _u64s(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}Q", *values)


def _encode_layer(level: int, layer: Layer) -> bytes:
    """u64 level, then the map u64 -> list u64: count, (key, len, items...)
    per entry, all of it one u64 array."""
    n = layer.keys.size
    offsets = np.asarray(layer.offsets, dtype=np.int64)
    if offsets.shape != (n + 1,) or offsets[0] != 0 or layer.flat.size != offsets[-1]:
        raise ValueError(f"level {level}: offsets do not match keys and flat")
    out = np.empty(2 * n + int(offsets[-1]), dtype="<u8")
    starts = 2 * np.arange(n, dtype=np.int64) + offsets[:-1]
    is_item = np.ones(out.size, dtype=bool)
    is_item[starts] = is_item[starts + 1] = False
    out[starts] = layer.keys
    out[starts + 1] = np.diff(offsets)
    out[is_item] = layer.flat
    return _u64s(level, n) + out.tobytes()


def _encode_array_graph(g: ArrayGraph, shape: str) -> bytes:
    n, dim = g.vectors.shape
    if g.ids.shape != (n,) or np.shape(g.levels) != (n,):
        raise ValueError("ids, vectors and levels must have one row per point")
    parts = [_u64s(len(g.layers))]
    parts += [_encode_layer(level, layer) for level, layer in g.layers.items()]
    # map u64 -> list f32: (id, dim, floats...) per point.
    rec = np.empty(n, dtype=np.dtype([("id", "<u8"), ("len", "<u8"), ("v", "<f4", (dim,))]))
    rec["id"], rec["len"], rec["v"] = g.ids, dim, g.vectors
    parts += [_u64s(n), rec.tobytes()]
    pairs = np.empty((n, 2), dtype="<u8")
    pairs[:, 0], pairs[:, 1] = g.ids, g.levels
    parts += [_u64s(n), pairs.tobytes()]
    tail = Encoder()
    _encode_tail(tail, g, shape)
    parts.append(tail.getvalue())
    return b"".join(parts)


def encode_segment(seg: Segment, shape: str = "current") -> bytes:
    return encode_graph(seg.graph, shape) + _encode_segment_tail(seg)


def _encode_segment_tail(seg: Segment) -> bytes:
    """Payload index, payloads, deleted set and next id (after the graph)."""
    enc = Encoder()
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


def snapshot_chunks(
    seg: Segment,
    *,
    version: int | None = 3,
    metadata: bool | bytes = True,
    trailer: bool = True,
    shape: str = "current",
) -> list[bytes]:
    """A whole snapshot file as consecutive pieces (large graphs are written
    without joining them).

    version: None for an unversioned body, else the u32 written after "VDBS"
    (2 and 3 are the supported ones; others make rejected files).
    metadata: for version 3, True appends a proper metadata block; bytes are
    appended as given (e.g. a hand-made broken block); False appends nothing.
    """
    chunks = [encode_graph(seg.graph, shape), _encode_segment_tail(seg)]
    if version is not None:
        if version == 3 and metadata is True:
            chunks.append(metadata_block(encode_metadata(seg)))
        elif isinstance(metadata, (bytes, bytearray)):
            chunks.append(bytes(metadata))
        chunks.insert(0, b"VDBS" + struct.pack("<I", version))
    if trailer:
        check = 1
        for chunk in chunks:
            check = zlib.adler32(chunk, check)
        chunks.append(b"VDBF" + struct.pack("<I", check & 0xFFFFFFFF))
    return chunks


def snapshot_bytes(seg: Segment, **kwargs) -> bytes:
    """A whole snapshot file; keyword arguments as for :func:`snapshot_chunks`."""
    return b"".join(snapshot_chunks(seg, **kwargs))


def write_snapshot(path, seg: Segment, **kwargs) -> str:
    with open(path, "wb") as f:
        for chunk in snapshot_chunks(seg, **kwargs):
            f.write(chunk)
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

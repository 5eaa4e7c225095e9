"""Self-checks of the test writer against fixed byte layouts, so a fault in
the writer cannot masquerade as a fault of the loader."""

import struct

import numpy as np
import pytest

from testkit import snapshot_writer as sw


def test_adler32_reference_values():
    def by_definition(data: bytes) -> int:
        a, b = 1, 0
        for byte in data:
            a = (a + byte) % 65521
            b = (b + a) % 65521
        return b << 16 | a

    assert sw.adler32(b"") == 1
    assert sw.adler32(b"Wikipedia") == 0x11E60398
    # Past 5552 bytes of 0xff the running sums must be reduced on the way.
    assert sw.adler32(b"\xff" * 6000) == by_definition(b"\xff" * 6000)


@pytest.mark.parametrize(
    "record, size",
    [
        (sw.Delete(7), 12),
        (sw.Insert(1, [1.0, 2.0, 3.0]), 33),
        (sw.Insert(1, [1.0], {"a": 5}), 4 + 8 + 8 + 4 + 1 + 8 + (8 + 1 + 4 + 8)),
        (sw.UpdatePayload(1, {"ab": "xyz"}), 4 + 8 + 8 + (8 + 2 + 4 + 8 + 3)),
    ],
)
def test_wal_record_sizes(record, size):
    body = sw.encode_wal_record(record)
    assert len(body) == size
    framed = sw.frame(body)
    assert framed[:4] == struct.pack("<I", size) and framed[-4:] == struct.pack("<I", sw.adler32(body))


def test_wal_header():
    assert sw.wal_bytes([]) == b"VDBW\x01\x00\x00\x00"


def test_payload_value_encodings():
    enc = sw.Encoder()
    for v in (-1, 0.5, "é", True, [1, 2], [0.25], ["a"], [False, True]):
        sw.encode_value(enc, v)
    data = enc.getvalue()
    assert data[:12] == struct.pack("<Iq", 0, -1)
    assert data[12:24] == struct.pack("<Id", 1, 0.5)
    assert data[24:38] == struct.pack("<IQ", 2, 2) + "é".encode()
    assert data[38:43] == struct.pack("<IB", 3, 1)
    assert data[-14:] == struct.pack("<IQBB", 7, 2, 0, 1)


def test_snapshot_framing():
    seg = sw.Segment(sw.Graph(vectors={5: [1.0, 2.0]}, entry_point=5), next_id=6)
    body = sw.encode_segment(seg)
    v1 = sw.encode_segment(seg, shape="v1")
    assert len(body) - len(v1) == 16  # no m0 / m0_cap

    data = sw.snapshot_bytes(seg, version=3)
    assert data[:8] == b"VDBS" + struct.pack("<I", 3)
    assert data[-8:] == b"VDBF" + struct.pack("<I", sw.adler32(data[:-8]))
    payload = data[8:-8]
    assert payload.startswith(body) and payload.endswith(b"VDBM")
    length, block_version = struct.unpack("<II", payload[-12:-4])
    assert block_version == 1 and len(payload) == len(body) + length + 12

    assert sw.snapshot_bytes(seg, version=None, trailer=False) == body
    assert sw.snapshot_bytes(seg, version=2, trailer=False) == b"VDBS\x02\x00\x00\x00" + body


def _graph_pair(metric: str, seed: int = 7) -> tuple[sw.Graph, sw.ArrayGraph]:
    """One random graph with levels 0..3, sparse unordered ids, an empty
    list and an unsorted deleted set, built as mappings and as arrays from
    the same raw data."""
    rng = np.random.default_rng(seed)
    n, dim = 40, 5
    ids = rng.choice(10**12, size=n, replace=False).astype(np.uint64)
    vectors = rng.normal(size=(n, dim)).astype(np.float32)
    levels = np.minimum(rng.geometric(0.5, size=n) - 1, 3).astype(np.uint64)
    levels[0] = 3
    lists = {}
    for level in range(4):
        members = [i for i in range(n) if levels[i] >= level]
        lists[level] = [(int(ids[i]), [int(ids[j]) for j in rng.choice(members, size=rng.integers(0, 6))])
                        for i in members]
    lists[0][1] = (lists[0][1][0], [])
    config = dict(metric=metric, m=8, m0=16, m0_cap=20, ef_search=64, ef_construction=100, level_cap=12,
                  level_scale=0.4, max_level=3, deleted=[int(ids[5]), int(ids[2])],
                  exact_fallback_enabled=True, exact_fallback_threshold=99)
    ref = sw.Graph(
        vectors={int(p): v for p, v in zip(ids, vectors)},
        layers={lv: dict(entries) for lv, entries in lists.items()},
        levels={int(p): int(lv) for p, lv in zip(ids, levels)},
        entry_point=int(ids[0]), **config)
    config["deleted"] = np.array(config["deleted"], dtype=np.uint64)
    fast = sw.ArrayGraph(
        ids=ids, vectors=vectors, levels=levels,
        layers={lv: sw.Layer.from_lists([k for k, _ in e], [x for _, x in e]) for lv, e in lists.items()},
        entry_point=int(ids[0]), **config)
    return ref, fast


@pytest.mark.parametrize("shape", ["current", "v1"])
@pytest.mark.parametrize("metric", ["Cosine", "Dot", "Euclidean"])
def test_array_graph_bytes_equal_reference(metric, shape):
    ref, fast = _graph_pair(metric)
    assert sw.encode_graph(fast, shape) == sw.encode_graph(ref, shape)
    seg_ref = sw.Segment(ref, deleted={3, 1}, next_id=10**12)
    seg_fast = sw.Segment(fast, deleted=np.array([3, 1], dtype=np.uint64), next_id=10**12)
    assert sw.snapshot_bytes(seg_fast, shape=shape) == sw.snapshot_bytes(seg_ref, shape=shape)


def test_array_graph_empty_and_file(tmp_path):
    ref = sw.Graph(vectors={}, dim=3)
    fast = sw.ArrayGraph(ids=np.zeros(0, np.uint64), vectors=np.zeros((0, 3), np.float32),
                         levels=np.zeros(0, np.uint64))
    assert sw.encode_graph(fast) == sw.encode_graph(ref)
    _, fast = _graph_pair("euclidean")  # metric names in any case
    path = sw.write_snapshot(tmp_path / "g.snap", sw.Segment(fast, next_id=5))
    assert open(path, "rb").read() == sw.snapshot_bytes(sw.Segment(fast, next_id=5))


def test_array_graph_rejects_mismatched_offsets():
    _, fast = _graph_pair("Dot")
    fast.layers[1].offsets[-1] += 1
    with pytest.raises(ValueError, match="level 1"):
        sw.encode_graph(fast)

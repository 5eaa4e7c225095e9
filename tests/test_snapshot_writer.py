"""Self-checks of the test writer against fixed byte layouts, so a fault in
the writer cannot masquerade as a fault of the loader."""

import struct

import pytest

import snapshot_writer as sw


def test_adler32_reference_values():
    assert sw.adler32(b"") == 1
    assert sw.adler32(b"Wikipedia") == 0x11E60398
    assert sw.adler32(b"\xff" * 6000) == sw.adler32(b"\xff" * 5552 + b"\xff" * 448)


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

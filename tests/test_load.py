"""Index construction: argument binding, every snapshot layout, bad files,
dim() and len(), quantize, and the write-ahead log beside the snapshot."""

import pathlib
import struct

import numpy as np
import pytest

from testkit import snapshot_writer as sw
import ulmoradb
from conftest import complete_graph

VECTORS = np.array([[0, 0, 0], [1, 0, 0], [0, 2, 0], [0, 0, 3], [1, 1, 1]], dtype=np.float32)
IDS = [40, 7, 1000, 3, 2**64 - 2]


def segment():
    return sw.Segment(
        complete_graph(VECTORS, IDS),
        payload_index={"color": {"red": {7, 40}, sw.Value("ListInt", (1, 2)): {3}}},
        payloads={7: {"color": "red", "n": 3, "w": 0.5, "ok": True}, 3: {"tags": ["a", "b"], "xs": [1.5]}},
        deleted=[99],
        next_id=1001,
    )


def nearest(index, q, k=5):
    ids, scores = index.search(np.asarray(q, dtype=np.float32), k=k)
    return ids.tolist(), scores.tolist()


# ---- arguments ----------------------------------------------------------


def test_path_and_quantize_by_position_or_keyword(write_segment):
    path = write_segment(segment())
    for index in (
        ulmoradb.Index(path),
        ulmoradb.Index(path, True),
        ulmoradb.Index(path=path, quantize=False),
        ulmoradb.Index(path, quantize=np.bool_(True)),
        ulmoradb.Index(type("S", (str,), {})(path)),  # str subclasses are fine
    ):
        assert (index.dim(), len(index)) == (3, 5)


@pytest.mark.parametrize(
    "args, kwargs, name",
    [
        ((b"seg.snap",), {}, "path"),
        ((pathlib.Path("seg.snap"),), {}, "path"),
        ((None,), {}, "path"),
        (("seg.snap", 1), {}, "quantize"),
        (("seg.snap",), {"quantize": None}, "quantize"),
        (("seg.snap",), {"quantize": "yes"}, "quantize"),
    ],
)
def test_wrong_argument_types(args, kwargs, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        ulmoradb.Index(*args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("a", False, 3), {}), (("a",), {"path": "b"}), (("a",), {"colour": 1})],
    ids=["missing", "too-many", "duplicate", "unknown-keyword"],
)
def test_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        ulmoradb.Index(*args, **kwargs)


def test_lone_surrogate_path_fails_to_encode():
    with pytest.raises(UnicodeEncodeError):
        ulmoradb.Index("seg\udc80.snap")


# ---- snapshot layouts ---------------------------------------------------


LAYOUTS = [
    dict(version=None, trailer=False),
    dict(version=None, trailer=True),
    dict(version=None, trailer=False, shape="v1"),
    dict(version=None, trailer=True, shape="v1"),
    dict(version=2, trailer=False),
    dict(version=2, trailer=True),
    dict(version=3, metadata=True, trailer=True),
    dict(version=3, metadata=False, trailer=True),
    dict(version=3, metadata=True, trailer=False),
    # Broken metadata blocks are not errors: the whole payload is the segment.
    dict(version=3, metadata=sw.metadata_block(b"\x01\x02", block_version=2)),
    dict(version=3, metadata=sw.metadata_block(b"\x01\x02", length=10**6)),
    dict(version=3, metadata=sw.metadata_block(b"\x01\x02\x03")),
]


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda d: "-".join(f"{k}={v!s:.8}" for k, v in d.items()))
def test_every_layout_loads_the_same_index(write_segment, layout):
    index = ulmoradb.Index(write_segment(segment(), **layout))
    assert (index.dim(), len(index)) == (3, 5)
    ids, scores = nearest(index, [1, 1, 1])
    assert ids[0] == 2**64 - 2 and scores[0] == 0.0
    assert sorted(ids) == sorted(IDS)


def test_trailing_bytes_after_the_segment_are_ignored(write_segment, tmp_path):
    body = sw.encode_segment(segment()) + b"trailing junk"
    path = tmp_path / "junk.snap"
    path.write_bytes(sw.with_trailer(body))
    assert len(ulmoradb.Index(str(path))) == 5


# ---- bad files ------------------------------------------------------------


def corrupt(data: bytes) -> bytes:
    """A valid trailed file with one body byte flipped."""
    return data[:20] + bytes([data[20] ^ 0xFF]) + data[21:]


GOOD = sw.snapshot_bytes(segment())
BAD_FILES = [
    ("empty", b"", "Serialization error: io error: unexpected end of file"),
    ("short", b"VDBS", "Serialization error: io error: unexpected end of file"),
    ("cut-short", sw.snapshot_bytes(segment(), version=2, trailer=False)[:-9],
     "Serialization error: io error: unexpected end of file"),
    ("checksum", corrupt(GOOD), "Serialization error: segment snapshot checksum mismatch"),
    ("checksum-valid-body", GOOD[:-4] + struct.pack("<I", 12345),
     "Serialization error: segment snapshot checksum mismatch"),
    ("trailer-on-empty-body", sw.with_trailer(b""), "Serialization error: io error: unexpected end of file"),
    ("version-1", sw.snapshot_bytes(segment(), version=1), "Serialization error: unsupported segment snapshot version 1"),
    ("version-4", sw.snapshot_bytes(segment(), version=4), "Serialization error: unsupported segment snapshot version 4"),
    ("metric-3", sw.snapshot_bytes(sw.Segment(complete_graph(VECTORS, metric=3)), version=2),
     "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"),
]


@pytest.mark.parametrize("data, message", [(d, m) for _, d, m in BAD_FILES], ids=[n for n, _, _ in BAD_FILES])
def test_bad_files_raise_runtime_error_with_the_loader_message(tmp_path, data, message):
    path = tmp_path / "bad.snap"
    path.write_bytes(data)
    with pytest.raises(RuntimeError) as info:
        ulmoradb.Index(str(path))
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["missing.snap", "", "dir", "seg\0.snap"])
def test_unreadable_paths_raise_io_errors(tmp_path, write_segment, name):
    write_segment(segment(), name="seg")  # "seg\0.snap" must not open this file
    (tmp_path / "dir").mkdir()
    path = str(tmp_path / name) if name else ""
    with pytest.raises(RuntimeError, match="^I/O error: ") as info:
        ulmoradb.Index(path)
    assert not isinstance(info.value, OSError)


def test_zero_dimension_graph_fails_while_loading(write_segment):
    path = write_segment(sw.Segment(sw.Graph(vectors={}, dim=0)))
    with pytest.raises(RuntimeError):
        ulmoradb.Index(path)


# ---- dim, len, quantize ---------------------------------------------------


def test_len_counts_deleted_points(write_segment):
    graph = complete_graph(VECTORS, IDS, deleted=[7, 1000])
    index = ulmoradb.Index(write_segment(graph))
    assert (index.dim(), len(index)) == (3, 5)
    ids, _ = nearest(index, [1, 0.5, 0], k=5)
    assert 7 not in ids and 1000 not in ids
    assert len(ids) == 3


@pytest.mark.parametrize("quantize", [False, True])
def test_empty_graph_keeps_its_dimension(write_segment, quantize):
    index = ulmoradb.Index(write_segment(sw.Graph(vectors={}, dim=8, max_level=2)), quantize=quantize)
    assert (index.dim(), len(index)) == (8, 0)
    ids, scores = index.search(np.zeros(8, np.float32), k=5)
    assert ids.shape == scores.shape == (0,)


def test_quantized_index_answers_like_the_plain_one(write_segment, clustered_cosine):
    plain = ulmoradb.Index(clustered_cosine.path)
    quantized = ulmoradb.Index(clustered_cosine.path, quantize=True)
    q = clustered_cosine.queries
    a_ids, a_scores = plain.search_batch(q, k=10)
    b_ids, b_scores = quantized.search_batch(q, k=10)
    # Without screening both score with full-precision vectors.
    np.testing.assert_array_equal(a_ids, b_ids)
    np.testing.assert_array_equal(a_scores, b_scores)


def test_index_outlives_its_file(write_segment):
    path = pathlib.Path(write_segment(segment()))
    index = ulmoradb.Index(str(path))
    path.unlink()
    assert nearest(index, [0, 0, 3], k=1) == ([3], [0.0])


# ---- write-ahead log --------------------------------------------------------


@pytest.mark.parametrize("snap_name, wal_name", [("seg.snap", "seg.wal"), ("seg", "seg.wal"), ("a.b.snap", "a.b.wal")])
def test_log_beside_the_snapshot_is_replayed(write_segment, tmp_path, snap_name, wal_name):
    path = write_segment(segment(), name=snap_name)
    sw.write_wal(tmp_path / wal_name, [sw.Insert(77, [5, 5, 5], {"color": "blue"}), sw.Delete(40)])
    index = ulmoradb.Index(path)
    assert len(index) == 6
    ids, _ = nearest(index, [5, 5, 5], k=6)
    assert ids[0] == 77 and 40 not in ids


@pytest.mark.parametrize(
    "records, message",
    [
        ([sw.frame(b"\x01\x00\x00\x00" + bytes(8), checksum=5)], "WAL corruption: checksum mismatch"),
        ([sw.UpdatePayload(12345, {"a": 1})], "Point with ID 12345 not found"),
        ([sw.frame(b"")], "Serialization error: io error: unexpected end of file"),
    ],
    ids=["checksum", "update-missing", "empty-record"],
)
def test_bad_logs_fail_the_load(write_segment, tmp_path, records, message):
    path = write_segment(segment())
    sw.write_wal(tmp_path / "seg.wal", records)
    with pytest.raises(RuntimeError) as info:
        ulmoradb.Index(path)
    assert str(info.value) == message


def test_torn_log_tail_is_ignored(write_segment, tmp_path):
    path = write_segment(segment())
    torn = sw.frame(sw.encode_wal_record(sw.Insert(78, [1, 2, 3])))[:-1]
    sw.write_wal(tmp_path / "seg.wal", [sw.Insert(77, [5, 5, 5]), torn])
    assert len(ulmoradb.Index(path)) == 6

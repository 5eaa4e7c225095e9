"""Input readers of the command line: each format on good and bad files."""

from __future__ import annotations

import json

import numpy as np
import pytest

from ulmora import readers
from ulmora.readers import InputError


def write_xvecs(path, rows, dtype, dims=None):
    """Writes .fvecs/.bvecs records; `dims` overrides each record's header."""
    with open(path, "wb") as f:
        for i, row in enumerate(rows):
            d = len(row) if dims is None else dims[i]
            f.write(np.int32(d).tobytes())
            f.write(np.asarray(row, dtype=dtype).tobytes())
    return path


@pytest.fixture
def vectors():
    return np.random.default_rng(3).standard_normal((7, 5)).astype(np.float32)


def refused(match, fn, *args, **kw):
    with pytest.raises(InputError, match=match) as info:
        fn(*args, **kw)
    return str(info.value)


# ---------------------------------------------------------------- .npy


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16, ">f4"])
@pytest.mark.parametrize("fortran", [False, True])
def test_npy_float_kinds_become_float32_c_contiguous(tmp_path, vectors, dtype, fortran):
    data = vectors.astype(dtype)
    np.save(tmp_path / "v.npy", np.asfortranarray(data) if fortran else data)
    got = readers.read_vectors(tmp_path / "v.npy")
    assert got.dtype == np.float32 and got.dtype.isnative and got.flags.c_contiguous
    np.testing.assert_array_equal(got, data.astype(np.float32))


@pytest.mark.parametrize("array, match", [
    (np.zeros((4, 3), dtype=np.int32), "holds int32 values"),
    (np.zeros((4, 3), dtype=np.complex64), "holds complex64"),
    (np.zeros(6, dtype=np.float32), "1-D array"),
    (np.zeros((2, 3, 4), dtype=np.float32), "3-D array"),
    (np.zeros((0, 3), dtype=np.float32), "holds no vectors"),
    (np.zeros((3, 0), dtype=np.float32), "dimension 0"),
    (np.array([[1, 2], [3, np.nan]], dtype=np.float32), r"vector 1 has a non-finite value \(nan\) at component 1"),
    (np.array([[1, np.inf]], dtype=np.float64), "vector 0 has a non-finite value"),
    (np.array([[1.0], [2.0]], dtype=object), "Python objects"),
])
def test_npy_bad_contents(tmp_path, array, match):
    path = tmp_path / "bad.npy"
    np.save(path, array, allow_pickle=True)
    msg = refused(match, readers.read_vectors, path)
    assert msg.startswith(f"{path}: ")


def test_npy_truncated_and_lying_header(tmp_path, vectors):
    path = tmp_path / "v.npy"
    np.save(path, vectors)
    whole = path.read_bytes()
    path.write_bytes(whole[:-1])
    refused("is truncated", readers.read_vectors, path)
    # A header claiming a vast shape over a tiny file: refused before any allocation.
    lie = whole.replace(b"(7, 5), }" + b" " * 12, b"(7000000000000, 5), }")
    assert len(lie) == len(whole)
    path.write_bytes(lie)
    refused("is truncated", readers.read_vectors, path)
    path.write_bytes(b"\x93NUMPY\x01\x00garbage")
    refused("not a valid .npy file", readers.read_vectors, path)


# ---------------------------------------------------------------- .fvecs / .bvecs


@pytest.mark.parametrize("suffix, dtype", [(".fvecs", np.float32), (".bvecs", np.uint8)])
def test_xvecs_round_trip(tmp_path, vectors, suffix, dtype):
    rows = (np.abs(vectors) * 40).astype(dtype)
    got = readers.read_vectors(write_xvecs(tmp_path / f"v{suffix}", rows, dtype))
    assert got.dtype == np.float32 and got.flags.c_contiguous and got.flags.writeable
    np.testing.assert_array_equal(got, rows.astype(np.float32))


@pytest.mark.parametrize("suffix, dtype", [(".fvecs", np.float32), (".bvecs", np.uint8)])
@pytest.mark.parametrize("case, match", [
    ("torn", r"is truncated: record 6 has \d+ of its"),
    ("other_dim_middle", "record 2 has dimension 4, expected 5"),
    ("other_dim_last", "record 7 has dimension 9, expected 5"),
    ("zero_dim", "record 0 has dimension 0"),
    ("negative_dim", "record 0 has dimension -3"),
    ("huge_dim", r"is truncated: record 0 needs \d+ bytes"),
    ("empty", "is empty"),
    ("short", "shorter than one record header"),
])
def test_xvecs_bad_files(tmp_path, vectors, suffix, dtype, case, match):
    rows = (np.abs(vectors) * 40).astype(dtype)
    path = write_xvecs(tmp_path / f"v{suffix}", rows, dtype)
    data = path.read_bytes()
    rec = 4 + 5 * np.dtype(dtype).itemsize
    if case == "torn":
        data = data[:-2]
    elif case == "other_dim_middle":
        # The header lies, the total size stays a multiple of the record size.
        data = data[:2 * rec] + np.int32(4).tobytes() + data[2 * rec + 4:]
    elif case == "other_dim_last":
        data += np.int32(9).tobytes() + bytes(9 * np.dtype(dtype).itemsize)
    elif case in ("zero_dim", "negative_dim", "huge_dim"):
        d = {"zero_dim": 0, "negative_dim": -3, "huge_dim": 2**31 - 1}[case]
        data = np.int32(d).tobytes() + data[4:]
    elif case == "empty":
        data = b""
    elif case == "short":
        data = b"\x05\x00"
    path.write_bytes(data)
    assert refused(match, readers.read_vectors, path).startswith(f"{path}: ")


def test_fvecs_non_finite_refused(tmp_path, vectors):
    vectors[3, 1] = np.inf
    path = write_xvecs(tmp_path / "v.fvecs", vectors, np.float32)
    refused("vector 3 has a non-finite value", readers.read_vectors, path)


@pytest.mark.parametrize("name, match", [
    ("v.txt", "unknown vector format '.txt'"),
    ("v", "no extension"),
])
def test_unknown_format_and_missing_file(tmp_path, name, match):
    (tmp_path / name).write_bytes(b"1 2 3\n")
    refused(match, readers.read_vectors, tmp_path / name)
    refused("No such file", readers.read_vectors, tmp_path / "absent.npy")
    refused("not a regular file", readers.read_vectors, tmp_path)


# ---------------------------------------------------------------- .hdf5


def test_hdf5_train_test_and_neighbors(tmp_path, vectors):
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "ann.hdf5"
    with h5py.File(path, "w") as f:
        f["train"] = vectors.astype(np.float64)
        f["test"] = vectors[:2]
        f["neighbors"] = np.arange(6, dtype=np.int32).reshape(2, 3)
    np.testing.assert_array_equal(readers.read_vectors(path), vectors)
    np.testing.assert_array_equal(readers.read_vectors(path, role="queries"), vectors[:2])
    assert readers.read_hdf5_neighbors(path).tolist() == [[0, 1, 2], [3, 4, 5]]


@pytest.mark.parametrize("layout, match", [
    ({"test": np.zeros((2, 3), np.float32)}, "has no 'train' data set"),
    ({"train": np.zeros(3, np.float32)}, "must be 2-D"),
    ({"train": np.zeros((2, 3), np.int64)}, "holds int64 values"),
])
def test_hdf5_bad_layouts(tmp_path, layout, match):
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "ann.hdf5"
    with h5py.File(path, "w") as f:
        for name, data in layout.items():
            f[name] = data
    refused(match, readers.read_vectors, path)


def test_hdf5_not_hdf5_and_missing_h5py(tmp_path, monkeypatch):
    pytest.importorskip("h5py")
    path = tmp_path / "ann.hdf5"
    path.write_bytes(b"not an hdf5 file at all")
    refused("cannot be read as HDF5", readers.read_vectors, path)
    monkeypatch.setitem(__import__("sys").modules, "h5py", None)
    refused(r"pip install 'ulmoradb\[hdf5\]'", readers.read_vectors, path)


# ---------------------------------------------------------------- ids


def test_ids_good(tmp_path):
    np.save(tmp_path / "i.npy", np.array([5, 3, 2**40], dtype=np.int64))
    np.save(tmp_path / "u.npy", np.array([2**64 - 2], dtype=np.uint64))
    assert readers.read_ids(tmp_path / "i.npy", 3).tolist() == [5, 3, 2**40]
    assert readers.read_ids(tmp_path / "u.npy").tolist() == [2**64 - 2]


@pytest.mark.parametrize("ids, match", [
    (np.array([1.0, 2.0]), "ids must be integers"),
    (np.array([[1, 2]]), "ids must be 1-D"),
    (np.array([1, 2, 3]), "holds 3 ids, expected 2"),
    (np.array([4, -1]), r"id at position 1 is negative \(-1\)"),
    (np.array([7, 9, 7, 9]), r"id 7 appears twice \(positions 0 and 2\)"),
    (np.array([True, False]), "ids must be integers"),
])
def test_ids_bad(tmp_path, ids, match):
    np.save(tmp_path / "i.npy", ids)
    refused(match, readers.read_ids, tmp_path / "i.npy", 2 if "expected" in match else None)


def test_ids_must_be_npy(tmp_path):
    (tmp_path / "ids.txt").write_text("1\n2\n")
    refused("ids must be a .npy file", readers.read_ids, tmp_path / "ids.txt")


# ---------------------------------------------------------------- payloads


def test_payloads_good(tmp_path):
    path = tmp_path / "p.jsonl"
    lines = ['{"colour": "red", "n": 3, "w": 0.5, "ok": true}', "null",
             '{"tags": ["a", "b"], "xs": [1, 2.5], "ns": [1, 2], "e": []}',
             '{"big": 9223372036854775807, "u": "\\u00e9"}']
    path.write_text("\r\n".join(lines) + "\n")
    got = readers.read_payloads(path, 4)
    assert got[1] is None
    assert got[0] == {"colour": "red", "n": 3, "w": 0.5, "ok": True}
    assert got[2]["xs"] == [1.0, 2.5] and all(type(x) is float for x in got[2]["xs"])
    assert got[2]["ns"] == [1, 2] and type(got[2]["ns"][0]) is int
    assert got[3] == {"big": 2**63 - 1, "u": "\u00e9"}


@pytest.mark.parametrize("line, match", [
    ("[1, 2]", "line 2 holds a JSON array; expected an object or null"),
    ('"text"', "line 2 holds a JSON string"),
    ("{bad json", "line 2 is not valid JSON"),
    ("", "line 2 is empty"),
    ('{"a": {"b": 1}}', "line 2: key 'a': a JSON object is not a payload value"),
    ('{"a": null}', "line 2: key 'a': null is not a payload value"),
    ('{"a": [[1]]}', "line 2: key 'a': lists cannot hold lists"),
    ('{"a": [1, "x"]}', "line 2: key 'a': a list must hold values of one type"),
    ('{"a": [true, 1]}', "line 2: key 'a': a list must hold values of one type"),
    ('{"a": 9223372036854775808}', "does not fit in 64 bits"),
    ('{"a": 1, "a": 2}', "line 2: key 'a' appears twice"),
    ('{"a": "\\ud800"}', "not valid Unicode"),
    ('{"\\udc00": 1}', "the key is not valid Unicode"),
    ("[" * 100000 + "]" * 100000, "line 2"),
])
def test_payload_lines_refused_with_line_number(tmp_path, line, match):
    path = tmp_path / "p.jsonl"
    path.write_text('{"ok": 1}\n' + line + "\n")
    assert refused(match, readers.read_payloads, path).startswith(f"{path}: line 2")


def test_payload_count_and_encoding(tmp_path):
    path = tmp_path / "p.jsonl"
    path.write_text(json.dumps({"a": 1}) + "\nnull\n")
    refused("has 2 payload lines, expected 3", readers.read_payloads, path, 3)
    path.write_bytes(b'{"a": 1}\n{"a": "\xff"}\n')
    refused("line 2 is not valid UTF-8", readers.read_payloads, path)

"""Input files for the command line: vectors, ids and payloads.

Vectors come back as float32, C-contiguous, 2-D arrays; ids as 1-D integer
arrays; payloads as lists of dicts (or None). Every problem raises
`InputError` whose text starts with the file name, so the command line can
print it as one line.

Sizes claimed by a file's header are checked against the file's real size
before anything is allocated: a lying header gets an error, never a huge
allocation. Large float32 inputs are memory-mapped rather than read.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

import numpy as np

__all__ = [
    "InputError",
    "VECTOR_SUFFIXES",
    "read_vectors",
    "read_ids",
    "read_payloads",
]

VECTOR_SUFFIXES = (".npy", ".fvecs", ".bvecs", ".hdf5", ".h5")

_FLOAT_KINDS = (np.float16, np.float32, np.float64)
_I64_MIN, _I64_MAX = -(2**63), 2**63 - 1


class InputError(ValueError):
    """An input file that cannot be used; the message names the file."""

    def __init__(self, path, problem: str):
        self.path = str(path)
        self.problem = problem
        super().__init__(f"{self.path}: {problem}")


# ---------------------------------------------------------------- vectors


def read_vectors(path, *, role: str = "base") -> np.ndarray:
    """Loads a vector file as a float32, C-contiguous [n, dim] array.

    `role` picks the data set of an ann-benchmarks HDF5 file: "base" reads
    `train`, "queries" reads `test`. Other formats ignore it.
    """
    if role not in ("base", "queries"):
        raise ValueError(f"role must be 'base' or 'queries', not {role!r}")
    path = Path(path)
    suffix = path.suffix.lower()
    size = _file_size(path)
    if suffix == ".npy":
        arr = _read_npy_vectors(path, size)
    elif suffix in (".fvecs", ".bvecs"):
        arr = _read_xvecs(path, size, np.float32 if suffix == ".fvecs" else np.uint8)
    elif suffix in (".hdf5", ".h5"):
        arr = _read_hdf5(path, "train" if role == "base" else "test")
    else:
        raise InputError(
            path, f"unknown vector format {suffix or '(no extension)'!r} "
            f"(expected one of {', '.join(VECTOR_SUFFIXES)})")
    rows, dim = arr.shape
    if rows == 0:
        raise InputError(path, "holds no vectors")
    if dim == 0:
        raise InputError(path, "holds vectors of dimension 0")
    _check_finite(path, arr)
    return arr


def _check_finite(path: Path, arr: np.ndarray) -> None:
    # In row blocks, so the temporary mask stays small for large inputs.
    step = max(1, (1 << 22) // arr.shape[1])
    for start in range(0, arr.shape[0], step):
        block = arr[start:start + step]
        finite = np.isfinite(block)
        if not finite.all():
            r, c = (int(x[0]) for x in np.nonzero(~finite))
            raise InputError(path, f"vector {start + r} has a non-finite value "
                                   f"({block[r, c]}) at component {c}")


def _file_size(path: Path) -> int:
    try:
        st = os.stat(path)
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    if not os.path.isfile(path):
        raise InputError(path, "is not a regular file")
    return st.st_size


def _read_npy_header(path: Path, size: int):
    """Returns (shape, dtype, fortran_order, data_offset), checked against
    the file size."""
    fmt = np.lib.format
    try:
        with open(path, "rb") as f:
            version = fmt.read_magic(f)
            if version == (1, 0):
                shape, fortran, dtype = fmt.read_array_header_1_0(f)
            elif version in ((2, 0), (3, 0)):
                shape, fortran, dtype = fmt.read_array_header_2_0(f)
            else:
                raise ValueError(f"unsupported .npy version {version}")
            offset = f.tell()
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    except (ValueError, EOFError, SyntaxError) as e:
        raise InputError(path, f"not a valid .npy file ({_first_line(e)})") from None
    if dtype.hasobject:
        raise InputError(path, "holds Python objects; only numeric arrays are read")
    count = 1
    for n in shape:
        count *= n
    need = offset + count * dtype.itemsize
    if size < need:
        raise InputError(
            path, f"is truncated: its header describes {need} bytes, the file has {size}")
    return shape, dtype, fortran, offset


def _load_npy(path: Path, shape, dtype, fortran, offset) -> np.ndarray:
    # mmap avoids reading a large file up front; an empty array cannot be mapped.
    if any(n == 0 for n in shape):
        return np.zeros(shape, dtype=dtype)
    try:
        return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=tuple(shape),
                         order="F" if fortran else "C")
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    except ValueError as e:
        raise InputError(path, f"cannot be mapped ({_first_line(e)})") from None


def _read_npy_vectors(path: Path, size: int) -> np.ndarray:
    shape, dtype, fortran, offset = _read_npy_header(path, size)
    if len(shape) != 2:
        raise InputError(path, f"holds a {len(shape)}-D array of shape {tuple(shape)}; "
                               "vectors must be a 2-D array [n, dim]")
    if dtype.type not in _FLOAT_KINDS:
        raise InputError(path, f"holds {dtype} values; vectors must be float32, "
                               "float64 or float16")
    arr = _load_npy(path, shape, dtype, fortran, offset)
    if arr.dtype == np.float32 and arr.flags.c_contiguous and arr.dtype.isnative:
        return arr
    return np.ascontiguousarray(arr, dtype=np.float32)


def _read_xvecs(path: Path, size: int, elem) -> np.ndarray:
    """.fvecs / .bvecs: records of a little-endian int32 dimension followed
    by that many float32 / uint8 components. Every record's dimension must
    equal the first one's."""
    if size == 0:
        raise InputError(path, "is empty")
    if size < 4:
        raise InputError(path, f"is truncated: {size} bytes, shorter than one record header")
    with open(path, "rb") as f:
        dim = int.from_bytes(f.read(4), "little", signed=True)
    if dim <= 0:
        raise InputError(path, f"record 0 has dimension {dim}")
    itemsize = np.dtype(elem).itemsize
    record = 4 + dim * itemsize
    whole = size // record
    if whole == 0:
        raise InputError(path, f"is truncated: record 0 needs {record} bytes, "
                               f"the file has {size}")
    raw = np.memmap(path, dtype=np.uint8, mode="r", shape=(whole, record))
    dims = raw[:, :4].copy().view("<i4").ravel()
    bad = np.flatnonzero(dims != dim)
    if bad.size:
        i = int(bad[0])
        raise InputError(path, f"record {i} has dimension {int(dims[i])}, expected {dim}")
    if size != whole * record:
        # Either a torn last record or a record of another dimension right after
        # the last whole one; the header there tells which.
        with open(path, "rb") as f:
            f.seek(whole * record)
            head = f.read(4)
        if len(head) == 4:
            other = int.from_bytes(head, "little", signed=True)
            if other != dim:
                raise InputError(path, f"record {whole} has dimension {other}, expected {dim}")
        raise InputError(path, f"is truncated: record {whole} has "
                               f"{size - whole * record} of its {record} bytes")
    body = raw[:, 4:]
    if elem == np.uint8:
        return np.ascontiguousarray(body, dtype=np.float32)
    return np.ascontiguousarray(body).view("<f4").astype(np.float32, copy=False)


def _read_hdf5(path: Path, name: str) -> np.ndarray:
    try:
        import h5py
    except ImportError:
        raise InputError(path, "reading HDF5 needs h5py: pip install 'ulmoradb[hdf5]'") from None
    try:
        with h5py.File(path, "r") as f:
            if name not in f:
                have = ", ".join(sorted(f.keys())) or "nothing"
                raise InputError(path, f"has no {name!r} data set (it holds {have})")
            ds = f[name]
            if not isinstance(ds, h5py.Dataset):
                raise InputError(path, f"{name!r} is a group, not a data set")
            if ds.ndim != 2:
                raise InputError(path, f"data set {name!r} has shape {ds.shape}; "
                                       "vectors must be 2-D [n, dim]")
            if ds.dtype.type not in _FLOAT_KINDS:
                raise InputError(path, f"data set {name!r} holds {ds.dtype} values; "
                                       "vectors must be float32, float64 or float16")
            data = ds[()]
    except InputError:
        raise
    except (OSError, ValueError, KeyError) as e:
        raise InputError(path, f"cannot be read as HDF5 ({_first_line(e)})") from None
    return np.ascontiguousarray(data, dtype=np.float32)


def read_hdf5_neighbors(path) -> np.ndarray | None:
    """The ann-benchmarks `neighbors` data set (exact neighbour rows of the
    `test` queries, as positions in `train`), or None when absent."""
    path = Path(path)
    if path.suffix.lower() not in (".hdf5", ".h5"):
        return None
    try:
        import h5py
        with h5py.File(path, "r") as f:
            ds = f.get("neighbors")
            if not isinstance(ds, h5py.Dataset) or ds.ndim != 2 or ds.dtype.kind not in "iu":
                return None
            return np.asarray(ds[()], dtype=np.int64)
    except (ImportError, OSError, ValueError, KeyError):
        return None


# ---------------------------------------------------------------- ids


def read_ids(path, count: int | None = None) -> np.ndarray:
    """Loads point ids from a 1-D integer .npy file; with `count`, the
    length must match (one id per vector)."""
    path = Path(path)
    if path.suffix.lower() != ".npy":
        raise InputError(path, "ids must be a .npy file")
    size = _file_size(path)
    shape, dtype, fortran, offset = _read_npy_header(path, size)
    if len(shape) != 1:
        raise InputError(path, f"holds an array of shape {tuple(shape)}; ids must be 1-D")
    if dtype.kind not in "iu":
        raise InputError(path, f"holds {dtype} values; ids must be integers")
    if count is not None and shape[0] != count:
        raise InputError(path, f"holds {shape[0]} ids, expected {count} (one per vector)")
    arr = _load_npy(path, shape, dtype, fortran, offset)
    if dtype.kind == "i" and arr.size and int(arr.min()) < 0:
        i = int(np.argmax(arr < 0))
        raise InputError(path, f"id at position {i} is negative ({int(arr[i])})")
    ids = np.array(arr, dtype=np.uint64)
    _check_unique(path, ids)
    return ids


def _check_unique(path: Path, ids: np.ndarray) -> None:
    if ids.size < 2:
        return
    order = np.argsort(ids, kind="stable")
    sorted_ids = ids[order]
    same = np.flatnonzero(sorted_ids[1:] == sorted_ids[:-1])
    if same.size:
        j = int(same[0])
        first, second = sorted((int(order[j]), int(order[j + 1])))
        raise InputError(path, f"id {int(sorted_ids[j])} appears twice "
                               f"(positions {first} and {second})")


# ---------------------------------------------------------------- payloads


def read_payloads(path, count: int | None = None) -> list:
    """Loads payloads from JSON lines: one JSON object or `null` per line.
    With `count`, the number of lines must match (one per vector)."""
    path = Path(path)
    _file_size(path)
    out = []
    try:
        with open(path, "rb") as f:
            # Decoded line by line, so a bad byte is reported on its own line.
            for lineno, raw in enumerate(f, start=1):
                try:
                    line = raw.decode("utf-8")
                except UnicodeDecodeError as e:
                    raise InputError(path, f"line {lineno} is not valid UTF-8 ({e.reason})") from None
                out.append(_parse_payload_line(path, lineno, line))
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    if count is not None and len(out) != count:
        raise InputError(path, f"has {len(out)} payload lines, expected {count} "
                               "(one per vector)")
    return out


def _unique_keys(pairs):
    d = {}
    for k, v in pairs:
        if k in d:
            raise _PayloadProblem(f"key {k!r} appears twice")
        d[k] = v
    return d


class _PayloadProblem(Exception):
    pass


def _parse_payload_line(path: Path, lineno: int, line: str):
    text = line.strip()
    if not text:
        raise InputError(path, f"line {lineno} is empty (write null for a point without payload)")
    try:
        value = json.loads(text, object_pairs_hook=_unique_keys)
    except _PayloadProblem as e:
        raise InputError(path, f"line {lineno}: {e}") from None
    except json.JSONDecodeError as e:
        raise InputError(path, f"line {lineno} is not valid JSON ({e.msg})") from None
    except RecursionError:
        raise InputError(path, f"line {lineno} is nested too deeply") from None
    except ValueError as e:  # e.g. an integer with thousands of digits
        raise InputError(path, f"line {lineno} is not usable JSON ({_first_line(e)})") from None
    if value is None:
        return None
    if not isinstance(value, dict):
        raise InputError(path, f"line {lineno} holds a JSON {_json_kind(value)}; "
                               "expected an object or null")
    for key, v in value.items():
        problem = None if _encodable(key) else "the key is not valid Unicode text"
        problem = problem or _value_problem(v)
        if problem:
            raise InputError(path, f"line {lineno}: key {key!r}: {problem}")
        if isinstance(v, list) and any(isinstance(x, float) for x in v):
            # JSON writes 1.0 as 1; a list with any float is a float list.
            value[key] = [float(x) for x in v]
    return value


def _value_problem(v) -> str | None:
    """Why a decoded JSON value cannot be a payload value, or None."""
    if isinstance(v, list):
        kinds = set()
        for x in v:
            if isinstance(x, (list, dict)):
                return "lists cannot hold lists or objects"
            problem = _value_problem(x)
            if problem:
                return problem
            kinds.add("bool" if isinstance(x, bool) else "num" if isinstance(x, (int, float))
                      else "str")
        if len(kinds) > 1:
            return "a list must hold values of one type (all numbers, all strings or all booleans)"
        return None
    if isinstance(v, str):
        return None if _encodable(v) else "the text is not valid Unicode"
    if isinstance(v, (bool, float)):
        return None
    if isinstance(v, int):
        if not _I64_MIN <= v <= _I64_MAX:
            return f"integer {v} does not fit in 64 bits"
        return None
    if v is None:
        return "null is not a payload value (leave the key out)"
    return f"a JSON {_json_kind(v)} is not a payload value"


def _encodable(text: str) -> bool:
    # JSON escapes can spell lone surrogates, which UTF-8 cannot hold.
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def _json_kind(v) -> str:
    if isinstance(v, dict):
        return "object"
    if isinstance(v, list):
        return "array"
    if isinstance(v, str):
        return "string"
    if isinstance(v, bool):
        return "boolean"
    if isinstance(v, (int, float)):
        return "number"
    return "null"


def _first_line(e: BaseException) -> str:
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__

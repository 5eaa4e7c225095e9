"""Filters over payloads and ids: checking a filter dict and turning it into
the compact tuple form the native core converts into its own filter tree.

The language (docs/filters.md):

    {"colour": "red"}                          equality; several keys: all of them
    {"price": {"$gte": 10, "$lt": 20}}         $eq $ne $gt $gte $lt $lte $in $nin $exists
    {"$and": [...]}, {"$or": [...]}, {"$not": {...}}
    {"$id": {"$in": ids}}, {"$id": {"$nin": ids}}   ids: a list or a NumPy integer array

Compact form (tuples, read by the binding):

    ("all",)                                   every live point
    ("and", (f, ...)), ("or", (f, ...)), ("not", f)
    ("cmp", op, key, value)                    op: "$eq" "$ne" "$gt" "$gte" "$lt" "$lte"
    ("in", negated, key, (value, ...))
    ("exists", key, present)
    ("id", negated, uint64 array)

Values are bool, int (64-bit), float (not NaN) or str.
"""

from __future__ import annotations

import math
from typing import Any, Mapping

import numpy as np

MAX_DEPTH = 32

_RANGES = ("$gt", "$gte", "$lt", "$lte")
_COMPARES = ("$eq", "$ne") + _RANGES
_LISTS = ("$in", "$nin")
_FIELD_OPS = _COMPARES + _LISTS + ("$exists",)
_LOGIC = ("$and", "$or", "$not", "$id")
_I64_MIN, _I64_MAX = -(2**63), 2**63 - 1


def compile_filter(filter: Any) -> tuple:
    """The compact form of `filter`, or ValueError/TypeError naming the part at fault."""
    return _dict(filter, "filter", 1)


def _where(path: str, part: Any) -> str:
    return f"{path}[{part!r}]"


def _check_depth(depth: int, path: str) -> None:
    if depth > MAX_DEPTH:
        raise ValueError(f"filter nesting deeper than {MAX_DEPTH} levels at {path}")


def _all_of(parts: list[tuple]) -> tuple:
    return parts[0] if len(parts) == 1 else ("and", tuple(parts))


def _dict(node: Any, path: str, depth: int) -> tuple:
    _check_depth(depth, path)
    if not isinstance(node, Mapping):
        raise TypeError(f"{path} must be a dict, got {type(node).__name__}")
    if not node:
        return ("all",)
    # Several keys make an implicit $and, one level deeper than this dict.
    inner = depth + 1 if len(node) > 1 else depth
    parts = []
    for key, value in node.items():
        if not isinstance(key, str):
            raise TypeError(f"filter keys must be str, got {type(key).__name__} ({key!r}) in {path}")
        where = _where(path, key)
        if key.startswith("$"):
            if key not in _LOGIC:
                raise ValueError(f"unknown operator {key!r} at {path}")
            parts.append(_logic(key, value, where, inner))
        else:
            parts.append(_field(key, value, where, inner))
    return _all_of(parts)


def _logic(op: str, value: Any, where: str, depth: int) -> tuple:
    if op == "$not":
        _check_depth(depth, where)
        return ("not", _dict(value, where, depth + 1))
    if op == "$id":
        return _ids(value, where, depth)
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{op} at {where} needs a list of filters, got {type(value).__name__}")
    if not value:
        raise ValueError(f"{op} at {where} needs at least one filter")
    _check_depth(depth, where)
    children = tuple(_dict(v, f"{where}[{i}]", depth + 1) for i, v in enumerate(value))
    return ("and" if op == "$and" else "or", children)


def _field(key: str, value: Any, where: str, depth: int) -> tuple:
    if not isinstance(value, Mapping):
        _check_depth(depth, where)
        return ("cmp", "$eq", key, _operand(value, where, "$eq"))
    if not value:
        raise ValueError(f"empty operator dict at {where}")
    inner = depth + 1 if len(value) > 1 else depth
    _check_depth(inner, where)
    parts = []
    for op, operand in value.items():
        if not isinstance(op, str):
            raise TypeError(f"filter keys must be str, got {type(op).__name__} ({op!r}) in {where}")
        at = _where(where, op)
        if op not in _FIELD_OPS:
            raise ValueError(f"unknown operator {op!r} at {where}")
        if op in _COMPARES:
            parts.append(("cmp", op, key, _operand(operand, at, op)))
        elif op in _LISTS:
            if not isinstance(operand, (list, tuple)):
                raise TypeError(f"{op} at {where} needs a list, got {type(operand).__name__}")
            values = tuple(_operand(v, f"{at}[{i}]", op) for i, v in enumerate(operand))
            parts.append(("in", op == "$nin", key, values))
        else:
            if not isinstance(operand, (bool, np.bool_)):
                raise TypeError(f"$exists at {where} needs True or False, got {type(operand).__name__}")
            parts.append(("exists", key, bool(operand)))
    return _all_of(parts)


def _operand(value: Any, where: str, op: str) -> bool | int | float | str:
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool):
        if op in _RANGES:
            raise TypeError(f"{op} does not apply to a bool, at {where}")
        return value
    if isinstance(value, int):
        if not _I64_MIN <= value <= _I64_MAX:
            raise ValueError(f"int operand {value} does not fit in 64 bits, at {where}")
        return value
    if isinstance(value, float):
        if math.isnan(value):
            raise ValueError(f"NaN operand at {where}")
        return value
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"str operand holds a lone surrogate, at {where}") from None
        return value
    raise TypeError(f"operand at {where} must be bool, int, float or str, got {type(value).__name__}")


def _ids(value: Any, where: str, depth: int) -> tuple:
    if not isinstance(value, Mapping) or not value:
        raise TypeError(f"$id at {where} needs {{'$in': ids}} or {{'$nin': ids}}")
    inner = depth + 1 if len(value) > 1 else depth
    _check_depth(inner, where)
    parts = []
    for op, ids in value.items():
        if op not in _LISTS:
            raise ValueError(f"unknown operator {op!r} at {where} (use $in or $nin)")
        parts.append(("id", op == "$nin", _id_array(ids, _where(where, op))))
    return _all_of(parts)


def _id_array(ids: Any, where: str) -> np.ndarray:
    """A 1-D uint64 array, checked with array operations only."""
    if isinstance(ids, np.ndarray):
        arr = ids
    elif isinstance(ids, (list, tuple)):
        arr = np.asarray(ids) if len(ids) else np.zeros(0, np.uint64)
    else:
        raise TypeError(f"ids at {where} need a list or an integer array, got {type(ids).__name__}")
    if arr.ndim != 1:
        raise ValueError(f"ids at {where} must be 1-D, got shape {arr.shape}")
    if arr.dtype.kind == "i":
        if arr.size and int(arr.min()) < 0:
            raise ValueError(f"ids at {where} must be non-negative")
    elif arr.dtype.kind != "u":
        raise TypeError(f"ids at {where} must be integers in 0..2**64-1, got dtype {arr.dtype}")
    return np.ascontiguousarray(arr, dtype=np.uint64)

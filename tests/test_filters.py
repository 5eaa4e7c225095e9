"""Filters on ulmora.Segment: count(filter) and ids(filter) against a plain
Python evaluation of the same filter over random payloads, refused filters,
id lists as NumPy arrays, and answers after deletes, payload updates and
compaction."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ulmora

# ---- A reference evaluation, written apart from ulmora.filters ---------------

_NUMBER = (int, float)


def _is_num(v) -> bool:
    return isinstance(v, _NUMBER) and not isinstance(v, bool)


def _equal(a, b) -> bool:
    if isinstance(a, bool) or isinstance(b, bool):
        return isinstance(a, bool) and isinstance(b, bool) and a == b
    if _is_num(a) and _is_num(b):
        return a == b  # Python compares int and float exactly
    return isinstance(a, str) and isinstance(b, str) and a == b


def _ordered(a, b, op: str) -> bool:
    same = (_is_num(a) and _is_num(b)) or (isinstance(a, str) and isinstance(b, str))
    if not same:
        return False
    return {"$gt": a > b, "$gte": a >= b, "$lt": a < b, "$lte": a <= b}[op]


def _field_op(payload, key, op, operand) -> bool:
    present = payload is not None and key in payload
    if op == "$exists":
        return present == operand
    if not present:
        return op in ("$ne", "$nin")
    entry = payload[key]
    elements = entry if isinstance(entry, list) else [entry]
    if op in ("$eq", "$ne"):
        hit = any(_equal(e, operand) for e in elements)
        return hit if op == "$eq" else not hit
    if op in ("$in", "$nin"):
        hit = any(_equal(e, v) for e in elements for v in operand)
        return hit if op == "$in" else not hit
    return any(_ordered(e, operand, op) for e in elements)


def reference(f: dict, point: int, payload) -> bool:
    for key, value in f.items():
        if key == "$and":
            ok = all(reference(g, point, payload) for g in value)
        elif key == "$or":
            ok = any(reference(g, point, payload) for g in value)
        elif key == "$not":
            ok = not reference(value, point, payload)
        elif key == "$id":
            ok = all((point in set(int(i) for i in ids)) == (op == "$in") for op, ids in value.items())
        elif isinstance(value, dict):
            ok = all(_field_op(payload, key, op, operand) for op, operand in value.items())
        else:
            ok = _field_op(payload, key, "$eq", value)
        if not ok:
            return False
    return True


# ---- Random payloads and filters ----------------------------------------------

KEYS = ["a", "b", "c"]
BIG = 2**53 + 1
ints = st.sampled_from([-3, 0, 1, 2, 3, BIG, 2**63 - 1])
floats = st.sampled_from([-0.0, 0.5, 1.0, 2.0, 2.5, float(2**53), 9.3e18, -1e300, math.nan])
strs = st.sampled_from(["", "x", "y", "Z", "é", "xy"])
bools = st.booleans()
scalars = st.one_of(ints, floats, strs, bools)
entries = st.one_of(scalars, st.lists(ints, max_size=3), st.lists(floats, max_size=3),
                    st.lists(strs, max_size=3), st.lists(bools, max_size=3))
payloads = st.one_of(st.none(), st.dictionaries(st.sampled_from(KEYS), entries, max_size=3))
operands = st.one_of(ints, floats.filter(lambda x: not math.isnan(x)), strs, bools)
orderable = st.one_of(ints, floats.filter(lambda x: not math.isnan(x)), strs)

leaves = st.one_of(
    st.builds(lambda k, v: {k: v}, st.sampled_from(KEYS), operands),
    st.builds(lambda k, op, v: {k: {op: v}}, st.sampled_from(KEYS), st.sampled_from(["$eq", "$ne"]), operands),
    st.builds(lambda k, op, v: {k: {op: v}}, st.sampled_from(KEYS), st.sampled_from(["$gt", "$gte", "$lt", "$lte"]),
              orderable),
    st.builds(lambda k, op, v: {k: {op: v}}, st.sampled_from(KEYS), st.sampled_from(["$in", "$nin"]),
              st.lists(operands, max_size=3)),
    st.builds(lambda k, v: {k: {"$exists": v}}, st.sampled_from(KEYS), bools),
    st.builds(lambda op, ids: {"$id": {op: ids}}, st.sampled_from(["$in", "$nin"]),
              st.lists(st.integers(0, 40), max_size=6)),
)
filters = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.builds(lambda fs: {"$and": fs}, st.lists(inner, min_size=1, max_size=3)),
        st.builds(lambda fs: {"$or": fs}, st.lists(inner, min_size=1, max_size=3)),
        st.builds(lambda f: {"$not": f}, inner),
        st.builds(lambda f, g: {**f, **g}, inner, inner),
    ),
    max_leaves=8,
)


def build(path: Path, points: list, dim: int = 2) -> None:
    vectors = np.random.default_rng(len(points)).standard_normal((len(points), dim)).astype(np.float32)
    ulmora.build(path, vectors, payloads=points, metric="euclidean", m=4, ef_construction=16, threads=1,
                 progress=False)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(points=st.lists(payloads, min_size=1, max_size=30), fs=st.lists(filters, min_size=1, max_size=6),
       deleted=st.lists(st.integers(0, 29), max_size=4))
def test_count_and_ids_agree_with_a_plain_evaluation(tmp_path_factory, points, fs, deleted):
    path = tmp_path_factory.mktemp("prop") / "seg.snap"
    build(path, points)
    with ulmora.open(path) as seg:
        seg.delete(np.array(deleted, dtype=np.uint64))
        order = [int(i) for i in seg.ids()]
        for f in fs:
            want = [i for i in order if reference(f, i, points[i])]
            got = seg.ids(f)
            assert got.dtype == np.uint64
            assert [int(i) for i in got] == want, f
            assert seg.count(f) == len(want), f


changes = st.lists(st.one_of(
    st.tuples(st.just("insert"), payloads),
    st.tuples(st.just("update"), st.integers(0, 60), st.dictionaries(st.sampled_from(KEYS), entries, max_size=3)),
    st.tuples(st.just("delete"), st.integers(0, 60)),
), min_size=1, max_size=25)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(points=st.lists(payloads, min_size=1, max_size=30), fs=st.lists(filters, min_size=1, max_size=4),
       steps=changes)
def test_answers_stay_right_while_the_segment_changes(tmp_path_factory, points, fs, steps):
    # The first answers build the list index and sorted views; the changes
    # after them must keep both current (and compaction start them afresh).
    path = tmp_path_factory.mktemp("prop") / "seg.snap"
    build(path, points)
    live = dict(enumerate(points))

    def check(seg):
        order = [int(i) for i in seg.ids()]
        for f in fs:
            want = [i for i in order if reference(f, i, live[i])]
            assert [int(i) for i in seg.ids(f)] == want, f
            assert seg.count(f) == len(want), f

    with ulmora.open(path) as seg:
        check(seg)
        for step in steps:
            if step[0] == "insert":
                new_id = int(seg.insert(np.zeros((1, 2), np.float32), payloads=[step[1]])[0])
                live[new_id] = step[1]
            elif step[0] == "update" and step[1] in live:
                seg.update_payload(step[1], step[2])
                live[step[1]] = step[2]
            elif step[0] == "delete":
                seg.delete(step[1])
                live.pop(step[1], None)
        check(seg)
        seg.compact(threads=1)
        check(seg)


# ---- Refused filters --------------------------------------------------------------


@pytest.mark.parametrize("bad, error, text", [
    ({"a": {"$regex": "x"}}, ValueError, "unknown operator '$regex' at filter['a']"),
    ({"$nor": []}, ValueError, "unknown operator '$nor' at filter"),
    ({"a": {"$in": "xy"}}, TypeError, "$in at filter['a'] needs a list, got str"),
    ({"a": {"$nin": 3}}, TypeError, "$nin at filter['a'] needs a list, got int"),
    ({1: 2}, TypeError, "filter keys must be str, got int (1) in filter"),
    ({"$or": [{"a": {2: 1}}]}, TypeError, "filter keys must be str, got int (2) in filter['$or'][0]['a']"),
    ({"a": math.nan}, ValueError, "NaN operand at filter['a']"),
    ({"a": {"$in": [1, np.float32("nan")]}}, ValueError, "NaN operand at filter['a']['$in'][1]"),
    ({"a": {"$gt": True}}, TypeError, "$gt does not apply to a bool, at filter['a']['$gt']"),
    ({"a": {"$lte": np.bool_(False)}}, TypeError, "$lte does not apply to a bool"),
    ({"a": None}, TypeError, "operand at filter['a'] must be bool, int, float or str, got NoneType"),
    ({"a": [1, 2]}, TypeError, "must be bool, int, float or str, got list"),
    ({"a": 2**64}, ValueError, "does not fit in 64 bits"),
    ({"a": {}}, ValueError, "empty operator dict at filter['a']"),
    ({"$and": []}, ValueError, "$and at filter['$and'] needs at least one filter"),
    ({"$or": {"a": 1}}, TypeError, "$or at filter['$or'] needs a list of filters"),
    ({"$not": [{"a": 1}]}, TypeError, "filter['$not'] must be a dict, got list"),
    ({"a": {"$exists": 1}}, TypeError, "$exists at filter['a'] needs True or False"),
    ({"$id": [1, 2]}, TypeError, "$id at filter['$id'] needs {'$in': ids} or {'$nin': ids}"),
    ({"$id": {"$eq": 3}}, ValueError, "unknown operator '$eq' at filter['$id']"),
    ({"$id": {"$in": [1, -2]}}, ValueError, "must be non-negative"),
    ({"$id": {"$in": np.array([1.0])}}, TypeError, "must be integers in 0..2**64-1, got dtype float64"),
    ({"$id": {"$in": np.zeros((2, 2), np.int64)}}, ValueError, "must be 1-D"),
    ("a", TypeError, "filter must be a dict, got str"),
])
def test_bad_filters_are_refused_naming_the_part(tmp_path, bad, error, text):
    path = tmp_path / "seg.snap"
    build(path, [{"a": 1}] * 3)
    with ulmora.open(path) as seg:
        with pytest.raises(error) as info:
            seg.count(bad)
        assert text in str(info.value)
        with pytest.raises(error):
            seg.ids(bad)


def nested(levels: int) -> dict:
    f = {"a": 1}
    for _ in range(levels):
        f = {"$not": f}
    return f


def test_nesting_is_limited_to_32_levels(tmp_path):
    path = tmp_path / "seg.snap"
    build(path, [{"a": 1}, {"a": 2}])
    with ulmora.open(path) as seg:
        assert seg.count(nested(31)) == 1  # 32 levels: an odd number of $not
        with pytest.raises(ValueError, match="nesting deeper than 32 levels"):
            seg.count(nested(32))
        with pytest.raises(ValueError, match="nesting deeper than 32 levels"):
            seg.count(nested(5000))  # refused before any recursion limit
        # The native side refuses a deep compact form of its own.
        deep = ("all",)
        for _ in range(40):
            deep = ("not", deep)
        with pytest.raises(ValueError, match="nesting deeper than 32 levels"):
            seg._seg.count(deep)


# ---- Ids as arrays, and answers after changes ---------------------------------------


def test_id_lists_take_numpy_integer_arrays_of_any_dtype(tmp_path):
    path = tmp_path / "seg.snap"
    build(path, [None] * 50)
    with ulmora.open(path) as seg:
        for dtype in (np.int8, np.int32, np.uint16, np.int64, np.uint64):
            ids = np.array([3, 7, 7, 49], dtype=dtype)
            assert sorted(seg.ids({"$id": {"$in": ids}}).tolist()) == [3, 7, 49]
            assert seg.count({"$id": {"$nin": ids}}) == 47
        huge = np.arange(0, 10**6, 2, dtype=np.int64)
        assert seg.count({"$id": {"$in": huge}}) == 25
        assert seg.count({"$id": {"$in": np.array([2**64 - 1], np.uint64)}}) == 0
        assert seg.count({"$id": {"$in": np.array([4, 5])[::2]}}) == 1  # a strided view


def test_answers_follow_deletes_payload_updates_and_compaction(tmp_path):
    path = tmp_path / "seg.snap"
    points = [{"colour": ["red", "blue"][i % 2], "price": i, "tags": ["t%d" % (i % 3)]} for i in range(40)]
    build(path, points)
    red_cheap = {"colour": "red", "price": {"$lt": 10}}
    with ulmora.open(path) as seg:
        assert seg.ids(red_cheap).tolist() == [i for i in seg.ids().tolist() if i % 2 == 0 and i < 10]
        assert seg.ids(None).tolist() == seg.ids().tolist()
        seg.delete([0, 2, 3])
        seg.update_payload(4, {"colour": "blue", "price": 4.0})
        seg.update_payload(5, {"colour": "red", "price": 5.5, "tags": ["t9", "t0"]})
        seg.insert(np.zeros((1, 2), np.float32), [40], [{"colour": "red", "price": -1}])
        want = {5, 6, 8, 40}
        assert set(seg.ids(red_cheap).tolist()) == want and seg.count(red_cheap) == 4
        assert seg.count({"tags": "t0"}) == 1 + sum(1 for i in range(6, 40) if i % 3 == 0)
        assert seg.count({"tags": {"$exists": False}}) == 2  # 4 and 40
        assert seg.count({"price": 4}) == 1  # the Float 4.0 of point 4
        assert seg.count({}) == len(seg) == 38
        assert seg.count({"$id": {"$in": [0, 2, 3, 99]}}) == 0  # deleted and unknown ids
        seg.compact(threads=1)
        assert set(seg.ids(red_cheap).tolist()) == want
    with ulmora.open(path) as seg:
        assert set(seg.ids(red_cheap).tolist()) == want
        assert seg.count({"$not": red_cheap}) == 34


def test_count_refuses_a_closed_segment(tmp_path):
    path = tmp_path / "seg.snap"
    build(path, [None])
    seg = ulmora.open(path)
    seg.close()
    with pytest.raises(ValueError, match="closed"):
        seg.count({})
    with pytest.raises(ValueError, match="closed"):
        seg.ids({"a": 1})

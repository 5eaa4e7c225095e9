"""Hostile files under an address-space limit.

Small snapshot and log files that declare huge counts and lengths are loaded
in a child process limited to 2 GiB of address space. Each must fail with a
clean RuntimeError (or load, where nothing in it is wrong), never with
MemoryError, an internal error or a crash: the loader may only allocate what
the file's bytes back. A few larger files check that what the file's size
does justify still loads under the same limit.
"""

from __future__ import annotations

import json
import struct
import textwrap

import numpy as np
import pytest

from testkit import snapshot_writer as sw
from conftest import run_python

LIMIT = 2 << 30
HUGE = 1 << 61  # far more elements than 2 GiB can hold at any element size
U64_MAX = (1 << 64) - 1


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def small_graph(**config) -> sw.Graph:
    vectors = {p: np.full(4, p, dtype=np.float32) for p in range(1, 5)}
    layers = {0: {p: [p] + [q for q in vectors if q != p] for p in vectors}}
    return sw.Graph(vectors=vectors, layers=layers, levels={p: 0 for p in vectors}, entry_point=1, **config)


def graph_prefix_until_vectors() -> bytes:
    """An empty layers map: what precedes the vectors map."""
    return u64(0)


def snapshot_cases() -> dict[str, tuple[bytes, str | int]]:
    """name -> (file bytes, expected: "error" or the point count it loads with)."""
    base = sw.Segment(small_graph(), next_id=5)
    good = sw.encode_segment(base)
    cases: dict[str, tuple[bytes, str | int]] = {}

    cases["layers_count"] = (u64(HUGE) + u64(0) * 4, "error")
    cases["layer_lists_count"] = (u64(1) + u64(0) + u64(HUGE) + u64(1) * 3, "error")
    cases["neighbour_list_length"] = (u64(1) + u64(0) + u64(1) + u64(1) + u64(HUGE) + u64(1), "error")
    cases["vectors_count"] = (graph_prefix_until_vectors() + u64(HUGE) + u64(1) + u64(1) + b"\0" * 4, "error")
    cases["vector_length"] = (graph_prefix_until_vectors() + u64(1) + u64(1) + u64(HUGE) + b"\0" * 64, "error")
    cases["levels_count"] = (graph_prefix_until_vectors() + u64(0) + u64(HUGE) + b"\0" * 64, "error")

    # Everything after the graph record: build the real graph, then lie.
    graph = sw.encode_graph(base.graph)
    cases["deleted_graph_set"] = (
        sw.encode_graph(small_graph())[: -(8 + 1 + 8)] + u64(HUGE) + b"\0" * 32,
        "error",
    )
    cases["payload_index_keys"] = (graph + u64(HUGE) + sw.Encoder().string("k").getvalue(), "error")
    cases["payload_index_key_length"] = (graph + u64(1) + u64(HUGE) + b"k" * 16, "error")
    cases["payload_index_values"] = (graph + u64(1) + sw.Encoder().string("k").getvalue() + u64(HUGE), "error")
    cases["payload_index_ids"] = (
        graph + u64(1) + sw.Encoder().string("k").getvalue() + u64(1) + struct.pack("<Iq", 0, 1) + u64(HUGE),
        "error",
    )
    cases["payloads_count"] = (graph + u64(0) + u64(HUGE) + u64(1) + u64(0), "error")
    cases["payload_entries"] = (graph + u64(0) + u64(1) + u64(1) + u64(HUGE) + u64(0), "error")
    for kind, index in (("list_int", 4), ("list_float", 5), ("list_str", 6), ("list_bool", 7)):
        value = struct.pack("<I", index) + u64(HUGE) + b"\x01" * 16
        entry = sw.Encoder().string("k").getvalue() + value
        cases[f"payload_{kind}"] = (graph + u64(0) + u64(1) + u64(1) + u64(1) + entry, "error")
    cases["payload_string"] = (
        graph + u64(0) + u64(1) + u64(1) + u64(1) + sw.Encoder().string("k").getvalue() + struct.pack("<I", 2)
        + u64(HUGE) + b"x" * 16,
        "error",
    )
    cases["segment_deleted"] = (graph + u64(0) + u64(0) + u64(HUGE) + b"\0" * 16, "error")

    # Whole, well-formed records whose values ask for much.
    cases["huge_dim_no_points"] = (
        sw.encode_segment(sw.Segment(sw.Graph(vectors={}, dim=1 << 40), next_id=0)),
        0,
    )
    cases["huge_dim_short_vectors"] = (sw.encode_segment(sw.Segment(small_graph(dim=1 << 40), next_id=5)), "error")
    cases["levels_and_caps_at_max"] = (
        sw.encode_segment(
            sw.Segment(
                small_graph(level_cap=U64_MAX, max_level=U64_MAX, m=U64_MAX, m0=U64_MAX, m0_cap=U64_MAX,
                            ef_search=U64_MAX, ef_construction=U64_MAX),
                next_id=5,
            )
        ),
        4,
    )
    far_layers = small_graph()
    far_layers.layers = {U64_MAX: {1: [1, 2]}, 1 << 40: {2: [2, 1]}, 0: far_layers.layers[0]}
    cases["layer_keys_at_max"] = (sw.encode_segment(sw.Segment(far_layers, next_id=5)), 4)

    # Containers: metadata length past the payload, a version header, a
    # trailer over a lying body.
    cases["metadata_length"] = (b"VDBS" + struct.pack("<I", 3) + good + struct.pack("<II", 0xFFFFFFFF, 1) + b"VDBM",
                                4)
    cases["trailed_lie"] = (sw.with_trailer(u64(HUGE) + b"\0" * 8), "error")
    # Unversioned bodies are decoded twice (current shape, then version 1).
    cases["unversioned_counts"] = (u64(1) + u64(0) + u64(HUGE) + u64(1) * 3, "error")
    raw = {"metadata_length", "trailed_lie", "unversioned_counts"}
    # The others behind a version-2 header, so only the current shape is
    # decoded and its own error is the one reported.
    return {k: (v if k in raw else b"VDBS" + struct.pack("<I", 2) + v, want) for k, (v, want) in cases.items()}


def wal_cases() -> dict[str, tuple[bytes, str | int]]:
    """name -> (log bytes beside a small valid snapshot, expected)."""
    def framed(body: bytes) -> bytes:
        return sw.frame(body)

    header = sw.wal_bytes([])
    key = sw.Encoder().string("k").getvalue()
    insert_prefix = struct.pack("<I", 0) + u64(99)
    cases: dict[str, tuple[bytes, str | int]] = {
        "record_length_max": (header + struct.pack("<I", 0xFFFFFFFF) + b"\0" * 64, 4),
        "insert_vector_length": (header + framed(insert_prefix + u64(HUGE) + b"\0" * 16), "error"),
        "insert_payload_entries": (header + framed(insert_prefix + u64(4) + b"\0" * 16 + b"\x01" + u64(HUGE)),
                                   "error"),
        "insert_payload_list": (
            header + framed(insert_prefix + u64(4) + b"\0" * 16 + b"\x01" + u64(1) + key + struct.pack("<I", 6)
                            + u64(HUGE) + u64(1) + b"a"),
            "error",
        ),
        "update_payload_string": (
            header + framed(struct.pack("<I", 2) + u64(1) + u64(1) + key + struct.pack("<I", 2) + u64(HUGE) + b"x"),
            "error",
        ),
        "update_payload_bools": (
            header + framed(struct.pack("<I", 2) + u64(1) + u64(1) + key + struct.pack("<I", 7) + u64(HUGE) + b"\1"),
            "error",
        ),
        "insert_wrong_length": (header + framed(insert_prefix + u64(3) + b"\0" * 12 + b"\0"), "error"),
    }
    return cases


def large_cases(tmp) -> dict[str, tuple[str, int]]:
    """Files whose size justifies their memory: many tiny points with the
    highest level cap, and a long log of inserts."""
    n = 200_000
    rng = np.random.default_rng(1)
    vec = rng.random(n, dtype=np.float32)
    enc = sw.Encoder().u64(1).u64(0).u64(n)
    for p in range(n):
        enc.u64(p).u64(2).u64(p).u64((p + 1) % n)
    enc.u64(n)
    for p in range(n):
        enc.u64(p).u64(1).f32(float(vec[p]))
    enc.u64(0).u8(1).u64(0)
    enc.raw(sw.Encoder().u32(2).u64(16).u64(0).u64(0).u64(64).u64(64).u64(255).f64(0.5).u64(255).u64(1).getvalue())
    enc.u64(0).boolean(False).u64(0)
    enc.u64(0).u64(0).u64(0).u64(n)
    many = tmp / "many_points"
    many.mkdir()
    (many / "seg.snap").write_bytes(enc.getvalue())

    log = tmp / "long_log"
    log.mkdir()
    sw.write_snapshot(log / "seg.snap", sw.Segment(small_graph(), next_id=5))
    records = [sw.Insert(1000 + i, [float(i)] * 4, {"i": i} if i % 2 else None) for i in range(20_000)]
    sw.write_wal(log / "seg.wal", records)
    return {"many_points": (str(many / "seg.snap"), n), "long_log": (str(log / "seg.snap"), 4 + len(records))}


CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import ulmoradb

    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        bytearray(limit)
        active = False
    except MemoryError:
        active = True
    results = {"limit_active": active}
    for name, path in json.loads(sys.argv[2]).items():
        try:
            index = ulmoradb.Index(path)
            results[name] = ["ok", len(index)]
            del index
        except BaseException as e:  # report every kind, internal errors included
            results[name] = [type(e).__name__, str(e)]
    print(json.dumps(results))
    """
)


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("hostile")
    paths: dict[str, str] = {}
    expected: dict[str, str | int] = {}
    for name, (data, want) in snapshot_cases().items():
        path = tmp / f"snap_{name}.snap"
        path.write_bytes(data)
        paths["snap_" + name] = str(path)
        expected["snap_" + name] = want
    for name, (data, want) in wal_cases().items():
        d = tmp / f"wal_{name}"
        d.mkdir()
        sw.write_snapshot(d / "seg.snap", sw.Segment(small_graph(), next_id=5))
        (d / "seg.wal").write_bytes(data)
        paths["wal_" + name] = str(d / "seg.snap")
        expected["wal_" + name] = want
    for name, (path, want) in large_cases(tmp).items():
        paths["large_" + name] = path
        expected["large_" + name] = want
    code = f"import sys; sys.argv = ['child', {str(LIMIT)!r}, {json.dumps(paths)!r}]\n" + CHILD
    proc = run_python(code, env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}, check=False)
    assert proc.returncode == 0, f"child ended with {proc.returncode}:\n{proc.stdout}\n{proc.stderr}"
    results = json.loads(proc.stdout.strip().splitlines()[-1])
    assert results.pop("limit_active"), "the address-space limit did not take effect"
    return results, expected


CASE_NAMES = (
    ["snap_" + n for n in snapshot_cases()]
    + ["wal_" + n for n in wal_cases()]
    + ["large_many_points", "large_long_log"]
)


@pytest.mark.parametrize("name", CASE_NAMES)
def test_hostile_file_under_address_limit(outcomes, name):
    results, expected = outcomes
    kind, detail = results[name]
    if expected[name] != "error":
        assert [kind, detail] == ["ok", expected[name]], name
    else:
        assert kind == "RuntimeError", f"{name}: {kind}: {detail}"
        assert detail and "alloc" not in detail.lower(), detail

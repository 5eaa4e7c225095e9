"""A collection's manifest and its routing rule.

The manifest (``DIR/manifest.json``) names the shards and fixes how a point
id finds its shard: bucket = splitmix64_finaliser(id) mod buckets, then the
bucket's shard from a table fixed at creation. docs/collections.md describes
the format.
"""

from __future__ import annotations

import json
import os
from typing import Any

import numpy as np

FORMAT = "ulmora-collection"
VERSION = 1
MANIFEST = "manifest.json"
MANIFEST_TMP = "manifest.json.tmp"  # fixed, so the next writer can remove a leftover
HASH = "splitmix64-finaliser"

_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)


def id_hash(ids: np.ndarray) -> np.ndarray:
    """The SplitMix64 finaliser of each uint64 id (wrapping arithmetic)."""
    z = np.array(ids, dtype=np.uint64, copy=True, ndmin=1)
    z ^= z >> np.uint64(30)
    z *= _M1
    z ^= z >> np.uint64(27)
    z *= _M2
    z ^= z >> np.uint64(31)
    return z


def shard_file(shard: int) -> str:
    return f"shard-{shard:04d}.snap"


def new_manifest(dim: int, metric: str, shards: int, m: int, ef_construction: int, buckets: int) -> dict:
    """A first manifest: bucket b belongs to shard b mod shards."""
    return {
        "format": FORMAT,
        "version": VERSION,
        "generation": 1,
        "dim": dim,
        "metric": metric,
        "m": m,
        "ef_construction": ef_construction,
        "filter_keys": [],
        "routing": {"hash": HASH, "buckets": buckets, "bucket_shard": [b % shards for b in range(buckets)]},
        "shards": [{"file": shard_file(s)} for s in range(shards)],
    }


class Routing:
    """id -> shard under a manifest's rule."""

    def __init__(self, manifest: dict):
        self.buckets = manifest["routing"]["buckets"]
        self.table = np.asarray(manifest["routing"]["bucket_shard"], dtype=np.int64)

    def shards_of(self, ids: np.ndarray) -> np.ndarray:
        return self.table[(id_hash(ids) % np.uint64(self.buckets)).astype(np.int64)]

    def shard_of(self, point: int) -> int:
        return int(self.shards_of(np.array([point], dtype=np.uint64))[0])

    def parts(self, ids: np.ndarray) -> list[tuple[int, np.ndarray]]:
        """(shard, row positions of its ids), shards in order, rows in batch order."""
        owner = self.shards_of(ids)
        return [(s, np.flatnonzero(owner == s)) for s in np.unique(owner).tolist()]


def write_manifest(directory: str, manifest: dict) -> None:
    """Replace DIR/manifest.json atomically: temp file, fsync, rename, directory fsync."""
    # One key per line, the bucket table on one line of its own.
    routing = dict(manifest["routing"], bucket_shard="@TABLE@")
    text = json.dumps(dict(manifest, routing=routing), indent=1, sort_keys=True)
    text = text.replace('"@TABLE@"', json.dumps(manifest["routing"]["bucket_shard"], separators=(",", ":")))
    data = text.encode() + b"\n"
    tmp = os.path.join(directory, MANIFEST_TMP)
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(tmp, os.path.join(directory, MANIFEST))
    dfd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)


def read_manifest(directory: str) -> dict:
    """Load and check DIR/manifest.json; a bad one raises ValueError naming the file."""
    path = os.path.join(directory, MANIFEST)
    with open(path, "rb") as f:
        raw = f.read()
    try:
        doc = json.loads(raw)
    except (ValueError, UnicodeDecodeError) as e:
        raise ValueError(f"{path}: not a collection manifest ({e})") from None
    problem = _manifest_problem(doc)
    if problem:
        raise ValueError(f"{path}: {problem}")
    return doc


def _is_int(v: Any, low: int, high: int = 2**63) -> bool:
    return isinstance(v, int) and not isinstance(v, bool) and low <= v <= high


def _manifest_problem(doc: Any) -> str | None:
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        return "not a collection manifest"
    if doc.get("version") != VERSION:
        return f"unsupported collection format version {doc.get('version')!r}"
    if not _is_int(doc.get("dim"), 1) or doc.get("metric") not in ("cosine", "dot", "euclidean"):
        return "bad dim or metric"
    if not _is_int(doc.get("generation"), 1) or not isinstance(doc.get("filter_keys"), list):
        return "bad generation or filter_keys"
    shards, routing = doc.get("shards"), doc.get("routing")
    if not isinstance(shards, list) or not shards:
        return "no shards"
    for s in shards:
        name = s.get("file") if isinstance(s, dict) else None
        if not isinstance(name, str) or not name or os.path.basename(name) != name or name in (".", ".."):
            return f"bad shard file name {name!r}"
    if not isinstance(routing, dict) or routing.get("hash") != HASH:
        return "unknown routing rule"
    buckets, table = routing.get("buckets"), routing.get("bucket_shard")
    if not _is_int(buckets, 1, 2**32) or not isinstance(table, list) or len(table) != buckets:
        return "bucket table does not match the bucket count"
    if not all(_is_int(t, 0, len(shards) - 1) for t in table):
        return "bucket table names a shard that does not exist"
    return None

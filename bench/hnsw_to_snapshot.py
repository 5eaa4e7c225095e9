"""Build an hnswlib graph and carry it, edge for edge, into a segment snapshot.

hnswlib's pickled state (``Index.__getstate__()[0]``, a dict) holds its whole
graph as raw memory images:

- ``data_level0``: ``max_elements`` records of ``size_data_per_element``
  bytes: at ``offset_level0`` a u32 header whose low 16 bits are the level-0
  neighbour count, then ``max_M0`` u32 internal ids; at ``offset_data`` the
  ``dim`` float32 vector (already normalised for the 'cosine' space); at
  ``label_offset`` the u64 label (our point id).
- ``link_lists``: for every internal id with level > 0, in internal-id order,
  ``level`` blocks of ``size_links_per_element`` bytes (levels 1..level),
  each a u32 count header (low 16 bits) and ``max_M`` u32 ids.
- ``element_levels`` (int32), ``enterpoint_node``, ``max_level``, ``M``,
  ``max_M0``, ``ef_construction``, ``mult`` (the level scale).

Our neighbour lists start with the node itself, followed by its neighbours
in hnswlib's stored order. Metrics: 'l2' -> Euclidean, 'ip' -> Dot,
'cosine' -> Cosine (normalised vectors stored).

Usage:
  python -m bench.hnsw_to_snapshot --dataset clustered --metric euclidean \
      --out bench/out/clustered_euclidean.snap [--threads 2]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from bench import datasets
from testkit import snapshot_writer as sw

SPACE_OF = {"euclidean": "l2", "dot": "ip", "cosine": "cosine"}
METRIC_OF = {v: k for k, v in SPACE_OF.items()}


def build_hnswlib(base: np.ndarray, metric: str, m: int = 16, ef_construction: int = 200,
                  threads: int = 2, seed: int = 100):
    """Returns (index, seconds spent in add_items)."""
    import hnswlib

    index = hnswlib.Index(space=SPACE_OF[metric], dim=base.shape[1])
    index.init_index(max_elements=base.shape[0], ef_construction=ef_construction, M=m, random_seed=seed)
    t = time.perf_counter()
    index.add_items(base, np.arange(base.shape[0]), num_threads=threads)
    return index, time.perf_counter() - t


def cached_hnswlib(name: str, metric: str, base: np.ndarray, threads: int = 2):
    """hnswlib index for a data set, saved in bench/out/ and reloaded later."""
    import hnswlib

    datasets.OUT_DIR.mkdir(parents=True, exist_ok=True)
    path = datasets.OUT_DIR / f"{name}_{metric}.hnswlib"
    if path.exists():
        index = hnswlib.Index(space=SPACE_OF[metric], dim=base.shape[1])
        index.load_index(str(path), max_elements=base.shape[0])
        return index
    index, secs = build_hnswlib(base, metric, threads=threads)
    print(f"[hnswlib] {name}/{metric}: built {base.shape[0]} points in {secs:.1f}s", file=sys.stderr)
    index.save_index(str(path))
    return index


def _links(block: np.ndarray, max_m: int) -> tuple[np.ndarray, np.ndarray]:
    """(counts, ids) from rows of [u32 header, max_m u32 ids] (byte block [rows, 4 + 4*max_m])."""
    words = np.ascontiguousarray(block).view("<u4").reshape(block.shape[0], 1 + max_m)
    counts = (words[:, 0] & 0xFFFF).astype(np.int64)
    if np.any(counts > max_m):
        raise ValueError("hnswlib state: neighbour count exceeds max_M")
    return counts, words[:, 1:]


def _layer(owner_rows: np.ndarray, counts: np.ndarray, nbr: np.ndarray, labels: np.ndarray) -> sw.Layer:
    """Lists [self, neighbours...] of the given internal ids, keyed by label."""
    width = nbr.shape[1] + 1
    full = np.empty((owner_rows.size, width), dtype=np.uint64)
    full[:, 0] = labels[owner_rows]
    full[:, 1:] = labels[nbr]
    keep = np.arange(width)[None, :] < (counts + 1)[:, None]
    offsets = np.zeros(owner_rows.size + 1, dtype=np.int64)
    np.cumsum(counts + 1, out=offsets[1:])
    return sw.Layer(keys=labels[owner_rows], offsets=offsets, flat=full[keep])


def graph_from_hnswlib(index) -> sw.ArrayGraph:
    st = index.__getstate__()[0]
    space = st["space"]
    n, dim = int(st["cur_element_count"]), int(st["dim"])
    if st.get("has_deletions"):
        raise ValueError("hnswlib index with deletions: not supported by this converter")
    rec = np.asarray(st["data_level0"]).view(np.uint8).reshape(int(st["max_elements"]), -1)[:n]
    size_l0 = 4 + 4 * int(st["max_M0"])
    off0, offd, offl = int(st["offset_level0"]), int(st["offset_data"]), int(st["label_offset"])
    labels = np.ascontiguousarray(rec[:, offl : offl + 8]).view("<u8").ravel().copy()
    vectors = np.ascontiguousarray(rec[:, offd : offd + 4 * dim]).view("<f4").reshape(n, dim)
    levels = np.asarray(st["element_levels"], dtype=np.int64)[:n]

    counts0, nbr0 = _links(rec[:, off0 : off0 + size_l0], int(st["max_M0"]))
    layers = {0: _layer(np.arange(n), counts0, nbr0, labels)}

    # Upper levels: block (node, l) for l in 1..level(node), nodes in id order.
    max_m, per = int(st["max_M"]), int(st["size_links_per_element"])
    upper = np.asarray(st["link_lists"]).view(np.uint8)
    owners = np.repeat(np.arange(n), np.maximum(levels, 0))
    block_level = np.concatenate([np.arange(1, lv + 1) for lv in levels if lv > 0]) if owners.size else owners
    if upper.size != owners.size * per:
        raise ValueError("hnswlib state: link_lists size does not match element_levels")
    counts_u, nbr_u = _links(upper.reshape(owners.size, per), max_m) if owners.size else (None, None)
    for level in range(1, int(st["max_level"]) + 1):
        rows = np.nonzero(block_level == level)[0]
        layers[level] = _layer(owners[rows], counts_u[rows], nbr_u[rows], labels)

    order = np.argsort(labels, kind="stable")
    return sw.ArrayGraph(
        ids=labels[order], vectors=vectors[order], levels=levels[order].astype(np.uint64),
        layers=layers, entry_point=int(labels[int(st["enterpoint_node"])]) if n else None,
        metric=METRIC_OF[space], m=int(st["M"]), m0=int(st["max_M0"]), m0_cap=int(st["max_M0"]),
        ef_search=128, ef_construction=int(st["ef_construction"]), level_cap=max(16, int(st["max_level"])),
        level_scale=float(st["mult"]), max_level=int(st["max_level"]),
    )


def write_snapshot(index, path) -> int:
    """Writes the graph as a version-3 snapshot; returns the file size."""
    g = graph_from_hnswlib(index)
    next_id = int(g.ids.max()) + 1 if g.ids.size else 0
    sw.write_snapshot(path, sw.Segment(g, next_id=next_id))
    return Path(path).stat().st_size


def snapshot_for(name: str, metric: str, threads: int = 2) -> Path:
    """bench/out/{name}_{metric}.snap from the cached hnswlib graph (built if missing)."""
    path = datasets.OUT_DIR / f"{name}_{metric}.snap"
    if not path.exists():
        base, _, _ = datasets.load(name, metric)
        index = cached_hnswlib(name, metric, base, threads)
        t = time.perf_counter()
        size = write_snapshot(index, path)
        print(f"[snapshot] {path.name}: {size / 1e6:.1f} MB in {time.perf_counter() - t:.2f}s", file=sys.stderr)
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dataset", default="clustered", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--metric", default="euclidean", choices=datasets.METRICS)
    ap.add_argument("--out", type=Path, help="snapshot path (default bench/out/{dataset}_{metric}.snap)")
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args(argv)
    path = snapshot_for(args.dataset, args.metric, args.threads)
    if args.out and args.out != path:
        args.out.write_bytes(path.read_bytes())
        path = args.out
    print(path)


if __name__ == "__main__":
    main()

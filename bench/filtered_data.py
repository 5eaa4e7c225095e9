"""Data, payloads and filters of the filtered-search benchmark.

Every point gets a payload of five keys:
- ``label``: the class (Fashion-MNIST) or the cluster's label (clustered set),
  so it is correlated with the vectors: a query's own label selects the
  points near it, every other label the points far from it;
- ``cat``: a Zipf-distributed category (1,000 values), independent of the vectors;
- ``price`` and ``score``: independent uniform numbers in [0, 1);
- ``tags``: a list of two tags out of 2,000 (each tag on about 0.1% of points).

For each predicate kind and target share of matching points the module
builds the filter in the package's language and the same selection as a
NumPy mask, so ground truth and peers never go through our filter code.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from bench import datasets

CATS = 1000
TAGS = 2000
MISSING = np.uint64(np.iinfo(np.uint64).max)
BUCKETS = (0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1.0)
# Kinds whose share is set by the bucket; the per-query kinds have their own share.
BUCKET_KINDS = ("in", "range", "and", "or", "not")
QUERY_KINDS = ("own", "notown", "tag")


@dataclass
class Data:
    name: str
    base: np.ndarray
    queries: np.ndarray
    label: np.ndarray  # per point
    qlabel: np.ndarray  # per query
    cat: np.ndarray
    price: np.ndarray
    score: np.ndarray
    tags: np.ndarray  # (n, 2) ints

    def payloads(self) -> list[dict]:
        out = []
        for i in range(len(self.base)):
            out.append({"label": int(self.label[i]), "cat": int(self.cat[i]), "price": float(self.price[i]),
                        "score": float(self.score[i]), "tags": [f"t{self.tags[i, 0]}", f"t{self.tags[i, 1]}"]})
        return out


def _clustered(n: int, nq: int, seed: int = 5):
    """Gaussian mixture of 1,000 clusters in 128 dimensions; a cluster's label is its id mod 10."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((1000, 128), dtype=np.float32)

    def draw(count):
        which = rng.integers(0, 1000, size=count)
        x = rng.standard_normal((count, 128), dtype=np.float32) * np.float32(0.35) + centres[which]
        return x, which % 10

    base, label = draw(n)
    queries, qlabel = draw(nq)
    return base, queries, label, qlabel


def _fashion_labels(name: str) -> np.ndarray:
    import gzip

    with gzip.open(datasets.FASHION_DIR / name, "rb") as f:
        raw = f.read()
    return np.frombuffer(raw, dtype=np.uint8, offset=8).astype(np.int64)


def load(name: str, n: int | None, nq: int, seed: int = 11) -> Data:
    if name == "fashion":
        base, queries = datasets.fashion()
        label = _fashion_labels("train-labels-idx1-ubyte.gz")
        qlabel = _fashion_labels("t10k-labels-idx1-ubyte.gz")
        if n is not None:
            base, label = base[:n], label[:n]
        queries, qlabel = queries[:nq], qlabel[:nq]
    elif name == "clustered":
        base, queries, label, qlabel = _clustered(n or 1_000_000, nq)
    else:
        raise SystemExit(f"unknown data set {name!r}: fashion or clustered")
    rng = np.random.default_rng(seed)
    size = len(base)
    # Zipf over CATS values (exponent 1.1), the ranks shuffled onto values.
    weights = 1.0 / np.arange(1, CATS + 1) ** 1.1
    cat = rng.permutation(CATS)[rng.choice(CATS, size=size, p=weights / weights.sum())]
    return Data(name, np.ascontiguousarray(base, dtype=np.float32), np.ascontiguousarray(queries, dtype=np.float32),
                label, qlabel, cat, rng.random(size), rng.random(size), rng.integers(0, TAGS, size=(size, 2)))


def _cats_for(data: Data, share: float) -> list[int]:
    """Categories whose points add up closest to `share` of all points, rarest first."""
    counts = np.bincount(data.cat, minlength=CATS)
    target = share * len(data.cat)
    chosen, total = [], 0
    for c in np.argsort(counts):
        if counts[c] == 0:
            continue
        if total + counts[c] > target * 1.05 and chosen:
            continue
        chosen.append(int(c))
        total += counts[c]
        if total >= target * 0.95:
            break
    return chosen


def bucket_filter(data: Data, kind: str, share: float) -> tuple[dict, np.ndarray]:
    """(filter, mask) of a predicate kind at about `share` of the points."""
    if kind == "in":
        cats = _cats_for(data, share) if share < 1.0 else list(range(CATS))
        return {"cat": {"$in": cats}}, np.isin(data.cat, cats)
    if kind == "range":
        return {"price": {"$lt": share}}, data.price < share
    if kind == "and":
        s = math.sqrt(share)
        return ({"$and": [{"price": {"$lt": s}}, {"score": {"$lt": s}}]}, (data.price < s) & (data.score < s))
    if kind == "or":
        # Two disjoint-ish halves: share - share^2/4 in all.
        h = share / 2
        return ({"$or": [{"price": {"$lt": h}}, {"score": {"$gte": 1 - h}}]},
                (data.price < h) | (data.score >= 1 - h))
    if kind == "not":
        return {"$not": {"price": {"$gte": share}}}, ~(data.price >= share)
    raise ValueError(kind)


def query_filters(data: Data, kind: str, seed: int = 3) -> tuple[list[dict], list[np.ndarray]]:
    """One filter and mask per query for the kinds that depend on the query."""
    filters, masks = [], []
    rng = np.random.default_rng(seed)
    for qi in range(len(data.queries)):
        lab = int(data.qlabel[qi])
        if kind == "own":
            filters.append({"label": lab})
            masks.append(data.label == lab)
        elif kind == "notown":
            filters.append({"label": {"$ne": lab}})
            masks.append(data.label != lab)
        elif kind == "tag":
            t = int(rng.integers(0, TAGS))
            filters.append({"tags": f"t{t}"})
            masks.append((data.tags[:, 0] == t) | (data.tags[:, 1] == t))
        else:
            raise ValueError(kind)
    return filters, masks


def exact_filtered(base: np.ndarray, queries: np.ndarray, masks: list[np.ndarray], k: int) -> list[np.ndarray]:
    """Exact Euclidean top-k ids among each query's matches (float64, ties by id)."""
    out = []
    for q, mask in zip(queries, masks):
        rows = np.flatnonzero(mask)
        if len(rows) == 0:
            out.append(rows)
            continue
        d = ((base[rows].astype(np.float64) - q.astype(np.float64)) ** 2).sum(axis=1)
        order = np.lexsort((rows, d))[:k]
        out.append(rows[order])
    return out


def recalls(found: list[np.ndarray], truth: list[np.ndarray]) -> np.ndarray:
    """Per-query recall: hits over min(k, matches); 1 for a query with no matches and no hits."""
    r = np.empty(len(truth))
    for i, (f, t) in enumerate(zip(found, truth)):
        r[i] = 1.0 if len(t) == 0 else len(np.intersect1d(f[f != MISSING].astype(np.int64), t)) / len(t)
    return r

"""``ulmora collection build|info|search|insert|delete|compact DIR ...``:
collections on the command line, embedded (this process) or, with
``--ray ADDRESS``, served by the Ray cluster at ADDRESS (``ulmora.cluster``).

Errors and exit codes as the other commands: one line ``ulmora: DIR: problem``
and status 1.
"""

from __future__ import annotations

import contextlib
import json
import os
import time

import numpy as np

from . import readers
from .cliutil import (CliError, about, filter_arg, id_span, json_default, metric, point_id, positive,
                      save_results, seed)
from .exact import recall

_FMT = "INPUT: .npy (float32/64/16), .fvecs, .bvecs or ann-benchmarks .hdf5 ('train')"


def add_parser(sub) -> None:
    top = sub.add_parser("collection", help="build, change, inspect and search collections (sharded segments)",
                         description="Collections: a directory of shards and a manifest (docs/collections.md).")
    cmds = top.add_subparsers(dest="collection_command", metavar="COMMAND", required=True)

    b = cmds.add_parser("build", help="build a collection from vector files", description=_FMT)
    b.add_argument("dir", metavar="DIR")
    b.add_argument("inputs", metavar="INPUT", nargs="+", help="read in order; ids 0..n-1 by default")
    b.add_argument("--shards", type=positive, required=True, help="number of shards")
    b.add_argument("--metric", type=metric, default="cosine", help="cosine (default), dot or euclidean")
    b.add_argument("--m", type=positive, default=16, help="graph degree parameter (default 16)")
    b.add_argument("--ef-construction", type=positive, metavar="N", help="insertion beam width (default 64)")
    b.add_argument("--threads", type=positive, metavar="N",
                   help="threads per shard build (default: all cores; with --ray 1, one CPU per Ray task)")
    b.add_argument("--seed", type=seed, metavar="N", help="with --threads 1 the same input builds the same files")
    b.add_argument("--buckets", type=positive, default=4096, help="routing buckets (default 4096)")
    _ids_payloads(b)
    bar = b.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_const", const=True, help="always show a bar")
    bar.add_argument("--no-progress", dest="progress", action="store_const", const=False, help="no progress bar")
    b.set_defaults(run=cmd_build)

    n = cmds.add_parser("info", help="describe a collection and its shards (takes no lock)")
    n.add_argument("dir", metavar="DIR")
    n.add_argument("--json", action="store_true", help="print the full description as JSON")
    n.set_defaults(run=cmd_info)

    s = cmds.add_parser("search", help="search a collection with a file of queries",
                        description="QUERIES: .npy, .fvecs, .bvecs or ann-benchmarks .hdf5 ('test')")
    s.add_argument("dir", metavar="DIR")
    s.add_argument("queries", metavar="QUERIES")
    s.add_argument("-k", type=positive, default=10, help="neighbours per query (default 10)")
    s.add_argument("--ef", type=positive, metavar="N", help="search beam width (default: each shard's own)")
    s.add_argument("--threads", type=positive, metavar="N", help="search threads per shard (default 1)")
    s.add_argument("--replicas", type=positive, default=1, help="with --ray: actors per shard that search")
    s.add_argument("--allow-partial", action="store_true",
                   help="with --ray: answer from the shards that are up, and say how many")
    s.add_argument("--out", metavar="RESULT",
                   help="save 'ids' and 'scores' arrays here (.npz); with --with-payload, JSON lines")
    s.add_argument("--filter", metavar="JSON",
                   help="only points whose payload matches this filter (JSON text or @FILE.json; "
                        "see docs/filters.md)")
    s.add_argument("--with-payload", action="store_true",
                   help="write each query's ids, scores and payloads as one JSON line to --out")
    s.set_defaults(run=cmd_search)

    i = cmds.add_parser("insert", help="insert vectors into a collection", description=_FMT)
    i.add_argument("dir", metavar="DIR")
    i.add_argument("input", metavar="INPUT")
    _ids_payloads(i)
    i.set_defaults(run=cmd_insert)

    d = cmds.add_parser("delete", help="delete points by id (unknown ids are ignored)")
    d.add_argument("dir", metavar="DIR")
    d.add_argument("ids", metavar="ID", nargs="+", type=point_id)
    d.set_defaults(run=cmd_delete)

    c = cmds.add_parser("compact", help="compact every shard and write the manifest's next generation")
    c.add_argument("dir", metavar="DIR")
    c.set_defaults(run=cmd_compact)

    for p in (b, n, s, i, d, c):
        p.add_argument("--ray", metavar="ADDRESS",
                       help="run on the Ray cluster at ADDRESS ('auto': the one this machine runs)")


def _ids_payloads(p) -> None:
    p.add_argument("--ids", metavar="IDS.npy", help="1-D integer ids, one per vector")
    p.add_argument("--payloads", metavar="P.jsonl", help="JSON lines: one object or null per vector")


# ---------------------------------------------------------------- plumbing


def _cluster(address: str):
    try:
        import ray
    except ImportError:
        raise CliError("--ray needs Ray: pip install 'ulmoradb[cluster]'") from None
    import ulmora.cluster

    if not ray.is_initialized():
        with about(address):
            ray.init(address=address, log_to_driver=False)
    return ulmora.cluster


def _require_collection(directory) -> None:
    if not os.path.exists(os.path.join(directory, "manifest.json")):
        what = "no collection (no manifest.json)" if os.path.isdir(directory) else "No such file or directory"
        raise CliError(f"{directory}: {what}")


@contextlib.contextmanager
def _opened(args, **options):
    """The collection at args.dir: embedded, or on Ray with --ray."""
    import ulmora

    _require_collection(args.dir)
    with about(args.dir):
        coll = _cluster(args.ray).Collection(args.dir, **options) if args.ray else ulmora.open_collection(args.dir)
    try:
        with about(args.dir):
            yield coll
    finally:
        with about(args.dir):
            coll.close()


def _read(path, role: str = "base") -> np.ndarray:
    with about(path):
        return readers.read_vectors(path, role=role)


def _ids_and_payloads(args, n: int):
    ids = payloads = None
    if args.ids:
        with about(args.ids):
            ids = readers.read_ids(args.ids, n)
    if args.payloads:
        with about(args.payloads):
            payloads = readers.read_payloads(args.payloads, n)
    return ids, payloads


# ---------------------------------------------------------------- commands


def cmd_build(args) -> int:
    import ulmora

    if os.path.exists(os.path.join(args.dir, "manifest.json")):
        raise CliError(f"{args.dir}: already holds a collection")
    arrays = [_read(p) for p in args.inputs]
    if len({a.shape[1] for a in arrays}) > 1:
        raise CliError(f"{args.inputs[0]}: input files have different dimensions: "
                       f"{sorted({a.shape[1] for a in arrays})}")
    vectors = arrays[0] if len(arrays) == 1 else np.concatenate(arrays)
    del arrays
    ids, payloads = _ids_and_payloads(args, len(vectors))
    options = {"metric": args.metric, "m": args.m, "buckets": args.buckets}
    for name in ("ef_construction", "threads", "seed", "progress"):
        if getattr(args, name) is not None:
            options[name] = getattr(args, name)
    build = _cluster(args.ray).build_collection if args.ray else ulmora.build_collection
    with about(args.dir):
        stats = build(args.dir, vectors, shards=args.shards, ids=ids, payloads=payloads, **options)
    where = f" on Ray ({args.ray})" if args.ray else ""
    print(f"built {stats['path']}{where}: {stats['points']} points in {stats['shards']} shards, dim {stats['dim']}, "
          f"{stats['metric']}, {stats['seconds']:.1f} s")
    return 0


def cmd_info(args) -> int:
    import ulmora
    from . import manifest as mf
    from .collection import collection_info

    _require_collection(args.dir)
    if args.ray:
        with _opened(args) as coll:
            info = coll.info()
    else:
        with about(args.dir):
            doc = mf.read_manifest(args.dir)
            info = collection_info(args.dir, doc, [ulmora.info(os.path.join(args.dir, s["file"]))
                                                   for s in doc["shards"]])
    if args.json:
        print(json.dumps(info, indent=2, default=json_default))
        return 0
    print(info["path"])
    print(f"  points     {info['live']} live, {info['deleted']} deleted ({info['points']} graph nodes); "
          f"next id {info['next_id']}")
    print(f"  vectors    dim {info['dim']}, {info['metric']}; graph m {info['m']}, "
          f"ef_construction {info['ef_construction']}")
    print(f"  manifest   version {info['format_version']}, generation {info['generation']}, "
          f"{info['buckets']} buckets, {len(info['shards'])} shards")
    for n, shard in enumerate(info["shards"]):
        records = (shard.get("log") or {}).get("records", 0)
        print(f"  shard {n:<4} {shard['file']}: {shard['live']} live, {shard['deleted']} deleted, "
              f"{records} log records")
    return 0


def cmd_search(args) -> int:
    if not args.ray and (args.replicas != 1 or args.allow_partial):
        raise CliError("--replicas and --allow-partial need --ray (searches on a Ray cluster)")
    if args.with_payload and not args.out:
        raise CliError("--with-payload writes its results to --out FILE.jsonl; give --out")
    flt = filter_arg(args.filter) if args.filter is not None else None
    queries = _read(args.queries, role="queries")
    options = {"replicas": args.replicas, "allow_partial": args.allow_partial} if args.ray else {}
    with _opened(args, **options) as coll:
        if queries.shape[1] != coll.dim:
            raise CliError(f"{args.queries}: queries have dimension {queries.shape[1]}, "
                           f"{args.dir} has dimension {coll.dim}")
        start = time.perf_counter()
        got = coll.search_batch(queries, k=args.k, ef=args.ef, threads=args.threads, filter=flt,
                                with_payload=args.with_payload)
        seconds = time.perf_counter() - start
    ids, scores = got[0], got[1]
    qps = len(queries) / seconds if seconds > 0 else float("inf")
    print(f"{len(queries)} queries, k {args.k}, ef {args.ef or 'default'}: {seconds:.3f} s, {qps:,.0f} queries/s")
    if len(got) > 2 and args.ray and args.allow_partial:
        answered, total = got[-1]
        note = "" if answered == total else " (partial: the other shards had no live replica)"
        print(f"shards answered: {answered} of {total}{note}")
    truth = readers.read_hdf5_neighbors(args.queries)
    if truth is not None and len(truth) == len(queries):
        print(f"recall@{args.k} against {args.queries}'s neighbors: {recall(ids, truth[:, :args.k]):.4f}")
    if args.out:
        what = save_results(args.out, ids, scores, got[2] if args.with_payload else None)
        print(f"saved {what} to {args.out}")
    return 0


def cmd_insert(args) -> int:
    vectors = _read(args.input)
    ids, payloads = _ids_and_payloads(args, len(vectors))
    with _opened(args) as coll:
        if vectors.shape[1] != coll.dim:
            raise CliError(f"{args.input}: vectors have dimension {vectors.shape[1]}, "
                           f"{args.dir} has dimension {coll.dim}")
        start = time.perf_counter()
        got = np.asarray(coll.insert(vectors, ids=ids, payloads=payloads))
        seconds = time.perf_counter() - start
    print(f"inserted {len(got)} points into {args.dir} ({id_span(got)}) in {seconds:.2f} s")
    return 0


def cmd_delete(args) -> int:
    wanted = list(dict.fromkeys(args.ids))
    with _opened(args) as coll:
        before = len(coll)
        coll.delete(np.asarray(wanted, dtype=np.uint64))
        gone = before - len(coll)
    missing = len(wanted) - gone
    note = f" ({missing} not present)" if missing else ""
    print(f"deleted {gone} of {len(wanted)} ids from {args.dir}{note}")
    return 0


def cmd_compact(args) -> int:
    with _opened(args) as coll:
        before = coll.info()
        start = time.perf_counter()
        coll.compact()
        seconds = time.perf_counter() - start
        after = coll.info()
    print(f"compacted {args.dir} in {seconds:.2f} s: {after['live']} live points in {len(after['shards'])} shards; "
          f"purged {before['deleted']} deleted points; manifest generation {after['generation']}")
    return 0

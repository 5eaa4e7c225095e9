"""The ``ulmora`` command line: build, grow, compact, inspect and search
segments (and, through cli_collection.py, collections).

Every expected failure prints one line, ``ulmora: FILE: problem``, on
standard error and exits with status 1; usage errors exit with 2 (argparse)
and Ctrl-C with 130.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

from . import cli_collection, demo, readers
from .cliutil import PROG, CliError, about, key_list, metric, one_line, point_id, positive, say, seed
from .cliutil import filter_arg, json_default, save_results
from .cliutil import id_span as _id_span, save_npz as _save_npz
from .exact import recall


def main(argv=None) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # usage error (2) or --help/--version (0)
        return e.code if isinstance(e.code, int) else 2
    try:
        return args.run(args) or 0
    except CliError as e:
        say(str(e))
        return 1
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    except BrokenPipeError:
        # Output piped into a command that stopped reading (e.g. `| head`).
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")
        return 1
    except Exception as e:  # a bug, not bad input: still one line
        if args.debug:
            raise
        say(f"internal error: {type(e).__name__}: {one_line(e)} (rerun with --debug for details)")
        return 1


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG, description="Build, grow, compact, inspect and search Ulmora segments.")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    p.add_argument("--debug", action="store_true", help="show tracebacks of internal errors")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)
    fmt = "INPUT: .npy (float32/64/16), .fvecs, .bvecs or ann-benchmarks .hdf5 ('train')"

    b = sub.add_parser("build", help="build a segment snapshot from vectors", description=fmt)
    b.add_argument("input", metavar="INPUT")
    b.add_argument("-o", "--output", metavar="SEG.snap", required=True)
    b.add_argument("--metric", type=metric, default="cosine", help="cosine (default), dot or euclidean")
    b.add_argument("--m", type=positive, default=16, help="graph degree parameter (default 16)")
    b.add_argument("--ef-construction", type=positive, metavar="N",
                   help="insertion beam width, also the segment's default search beam (default 64, as ulmora.build)")
    b.add_argument("--threads", type=positive, metavar="N", help="insertion threads (default: all cores)")
    b.add_argument("--seed", type=seed, metavar="N",
                   help="draw graph levels from N: with --threads 1 the same input builds the same graph")
    b.add_argument("--filter-keys", type=key_list, metavar="KEY[,KEY...]",
                   help="payload keys that get filter edges (stored with the segment; overrides VECTORDB_FILTER_KEYS)")
    _id_payload_options(b)
    bar = b.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_const", const=True,
                     help="show a progress bar even when stderr is not a terminal")
    bar.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                     help="no progress bar")
    b.add_argument("--force", action="store_true", help="replace an existing segment at SEG.snap")
    b.set_defaults(run=cmd_build)

    i = sub.add_parser("insert", help="insert vectors into a segment", description=fmt)
    i.add_argument("segment", metavar="SEG.snap")
    i.add_argument("input", metavar="INPUT")
    _id_payload_options(i)
    i.set_defaults(run=cmd_insert)

    d = sub.add_parser("delete", help="delete points by id (unknown ids are ignored)")
    d.add_argument("segment", metavar="SEG.snap")
    d.add_argument("ids", metavar="ID", nargs="+", type=point_id)
    d.set_defaults(run=cmd_delete)

    c = sub.add_parser("compact", help="fold the log into a new snapshot and empty the log")
    c.add_argument("segment", metavar="SEG.snap")
    c.set_defaults(run=cmd_compact)

    n = sub.add_parser("info", help="describe a segment (takes no lock)")
    n.add_argument("segment", metavar="SEG.snap")
    n.add_argument("--json", action="store_true", help="print the full description as JSON")
    n.set_defaults(run=cmd_info)

    s = sub.add_parser("search", help="search a segment with a file of queries (read-only)",
                       description="QUERIES: .npy, .fvecs, .bvecs or ann-benchmarks .hdf5 ('test'; "
                                   "its 'neighbors' give recall when ids are train row numbers)")
    s.add_argument("segment", metavar="SEG.snap")
    s.add_argument("queries", metavar="QUERIES")
    s.add_argument("-k", type=positive, default=10, help="neighbours per query (default 10)")
    s.add_argument("--ef", type=positive, metavar="N", help="search beam width (default 128)")
    s.add_argument("--threads", type=positive, metavar="N", help="search threads (default: all cores)")
    s.add_argument("--out", metavar="RESULT",
                   help="save 'ids' and 'scores' arrays here (.npz); with --with-payload, JSON lines")
    s.add_argument("--filter", metavar="JSON",
                   help="only points whose payload matches this filter (JSON text or @FILE.json; "
                        "see docs/filters.md)")
    s.add_argument("--with-payload", action="store_true",
                   help="write each query's ids, scores and payloads as one JSON line to --out")
    s.set_defaults(run=cmd_search)

    cli_collection.add_parser(sub)
    demo.add_arguments(sub.add_parser("demo", help=demo.SUMMARY, description=demo.DESCRIPTION))
    return p


def _id_payload_options(p) -> None:
    p.add_argument("--ids", metavar="IDS.npy",
                   help="1-D integer ids, one per vector (default: the segment's next ids)")
    p.add_argument("--payloads", metavar="P.jsonl",
                   help="JSON lines: one object or null per vector")


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("ulmoradb")
    except Exception:
        return "unknown"


def _api():
    import ulmora
    return ulmora


# ---------------------------------------------------------------- inputs


def _load_inputs(args, role: str = "base"):
    """Vectors, ids and payloads named by the arguments, each checked."""
    with about(args.input):
        vectors = readers.read_vectors(args.input, role=role)
    ids = payloads = None
    if args.ids:
        with about(args.ids):
            ids = readers.read_ids(args.ids, len(vectors))
    if args.payloads:
        with about(args.payloads):
            payloads = readers.read_payloads(args.payloads, len(vectors))
    return vectors, ids, payloads


def _wal_path(snap) -> Path:
    return Path(snap).with_suffix(".wal")


def _require_segment(path) -> None:
    if not os.path.exists(path):
        raise CliError(f"{path}: No such file or directory")


# ---------------------------------------------------------------- commands


def cmd_build(args) -> int:
    out = args.output
    if not args.force:
        # The log is named after the file the path names (through symlinks).
        for existing in (Path(out), _wal_path(os.path.realpath(out))):
            if existing.exists():
                raise CliError(f"{existing}: already exists (use --force to replace the segment)")
    vectors, ids, payloads = _load_inputs(args)
    ulmora = _api()
    options = {"metric": args.metric, "m": args.m}
    if args.ef_construction is not None:
        options["ef_construction"] = args.ef_construction
    if args.threads is not None:
        options["threads"] = args.threads
    if args.seed is not None:
        options["seed"] = args.seed
    if args.filter_keys is not None:
        options["filter_keys"] = args.filter_keys
    if args.progress is not None:
        options["progress"] = args.progress
    # Bad vectors, ids or payloads were refused by the readers; what the
    # builder still refuses is about the output (or an option). It replaces
    # the snapshot atomically and removes a log left by the old segment.
    with about(out):
        stats = ulmora.build(os.fspath(out), vectors, ids=ids, payloads=payloads, **options)
    print(f"built {stats['path']}: {stats['points']} points, dim {stats['dim']}, "
          f"{stats['metric']}, {stats['seconds']:.1f} s "
          f"({stats['points_per_second']:,.0f} points/s inserted)")
    return 0


def cmd_insert(args) -> int:
    _require_segment(args.segment)
    vectors, ids, payloads = _load_inputs(args)
    ulmora = _api()
    with about(args.segment):
        with ulmora.open(args.segment) as seg:
            if vectors.shape[1] != seg.dim:
                raise CliError(f"{args.input}: vectors have dimension {vectors.shape[1]}, "
                               f"{args.segment} has dimension {seg.dim}")
            start = time.perf_counter()
            got = seg.insert(vectors, ids=ids, payloads=payloads)
            seconds = time.perf_counter() - start
    got = np.asarray(got)
    span = _id_span(got)
    print(f"inserted {len(got)} points into {args.segment} ({span}) in {seconds:.2f} s")
    return 0


def cmd_delete(args) -> int:
    _require_segment(args.segment)
    ulmora = _api()
    wanted = list(dict.fromkeys(args.ids))
    with about(args.segment):
        with ulmora.open(args.segment) as seg:
            before = seg.info()["live"]
            seg.delete(np.asarray(wanted, dtype=np.uint64))
            after = seg.info()["live"]
    gone = before - after
    missing = len(wanted) - gone
    note = f" ({missing} not present)" if missing else ""
    print(f"deleted {gone} of {len(wanted)} ids from {args.segment}{note}")
    return 0


def cmd_compact(args) -> int:
    _require_segment(args.segment)
    ulmora = _api()
    with about(args.segment):
        before = ulmora.info(args.segment)
        start = time.perf_counter()
        with ulmora.open(args.segment) as seg:
            seg.compact()
        seconds = time.perf_counter() - start
        after = ulmora.info(args.segment)
    print(f"compacted {args.segment} in {seconds:.2f} s: {after['live']} live points; "
          f"purged {before['deleted']} deleted points and folded "
          f"{before['log']['records']} log records into the snapshot "
          f"({_bytes(before['snapshot_bytes'])} -> {_bytes(after['snapshot_bytes'])})")
    return 0


def cmd_info(args) -> int:
    _require_segment(args.segment)
    ulmora = _api()
    with about(args.segment):
        info = ulmora.info(args.segment)
    if args.json:
        print(json.dumps(info, indent=2, default=json_default))
    else:
        print(format_info(info))
    return 0


def format_info(info: dict) -> str:
    """A readable summary of `ulmora.info`'s dict."""
    log = info.get("log") or {}
    levels = info.get("levels") or []
    lines = [
        f"{info['path']}",
        f"  format     version {info['format_version']}, checksum {info['checksum']}, "
        f"{_bytes(info['snapshot_bytes'])}",
        f"  points     {info['live']} live, {info['deleted']} deleted "
        f"({info['points']} graph nodes); next id {info['next_id']}",
        f"  vectors    dim {info['dim']}, {info['metric']}",
        f"  graph      m {info['m']}, ef_construction {info['ef_construction']}, "
        f"{len(levels)} level{'s' if len(levels) != 1 else ''}: "
        + (" / ".join(str(n) for n in levels) or "empty"),
    ]
    if info.get("filter_keys"):
        lines.append(f"  filters    edges for keys {', '.join(info['filter_keys'])}")
    for level, d in enumerate(info.get("degree") or []):
        lines.append(f"  degree     level {level}: min {d['min']}, mean {float(d['mean']):.1f}, "
                     f"max {d['max']}")
    if log.get("exists"):
        torn = ", torn tail (ignored on load)" if log.get("torn") else ""
        lines.append(f"  log        {log['path']}: {log['records']} records, "
                     f"{_bytes(log['bytes'])}{torn}")
    else:
        lines.append(f"  log        none ({log.get('path', _wal_path(info['path']))} absent)")
    return "\n".join(lines)


def _bytes(n) -> str:
    n = float(n)
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TiB"


def _open_for_search(path):
    """The segment for a filtered search or one with payloads, opened
    read-only: no writer lock, so it runs beside a writer."""
    return _api().open(path, readonly=True)


def cmd_search(args) -> int:
    if args.filter is not None or args.with_payload:
        return _search_segment(args)
    import ulmoradb

    _require_segment(args.segment)
    with about(args.queries):
        queries = readers.read_vectors(args.queries, role="queries")
    with about(args.segment):
        index = ulmoradb.Index(os.fspath(args.segment))
    if queries.shape[1] != index.dim():
        raise CliError(f"{args.queries}: queries have dimension {queries.shape[1]}, "
                       f"{args.segment} has dimension {index.dim()}")
    threads = args.threads or os.cpu_count() or 1
    options = {"k": args.k, "threads": threads}
    if args.ef is not None:
        options["ef"] = args.ef
    with about(args.segment):
        start = time.perf_counter()
        ids, scores = index.search_batch(queries, **options)
        seconds = time.perf_counter() - start
    qps = len(queries) / seconds if seconds > 0 else float("inf")
    ef = options.get("ef", "default")
    print(f"{len(queries)} queries, k {args.k}, ef {ef}, {threads} thread{'s' if threads != 1 else ''}: "
          f"{seconds:.3f} s, {qps:,.0f} queries/s")
    truth = readers.read_hdf5_neighbors(args.queries)
    if truth is not None and len(truth) == len(queries):
        print(f"recall@{args.k} against {args.queries}'s neighbors: "
              f"{recall(ids, truth[:, :args.k]):.4f}")
    if args.out:
        with about(args.out):
            _save_npz(args.out, ids=ids, scores=scores)
        print(f"saved ids and scores to {args.out}")
    return 0


def _search_segment(args) -> int:
    """`search` with --filter or --with-payload: through ulmora.Segment."""
    if args.with_payload and not args.out:
        raise CliError("--with-payload writes its results to --out FILE.jsonl; give --out")
    flt = filter_arg(args.filter) if args.filter is not None else None
    _require_segment(args.segment)
    with about(args.queries):
        queries = readers.read_vectors(args.queries, role="queries")
    threads = args.threads or os.cpu_count() or 1
    with about(args.segment):
        with _open_for_search(args.segment) as seg:
            if queries.shape[1] != seg.dim:
                raise CliError(f"{args.queries}: queries have dimension {queries.shape[1]}, "
                               f"{args.segment} has dimension {seg.dim}")
            start = time.perf_counter()
            found = seg.search_batch(queries, args.k, args.ef, threads=threads, filter=flt,
                                     with_payload=args.with_payload)
            seconds = time.perf_counter() - start
            matches = seg.count(flt) if flt is not None else len(seg)
    ids, scores = found[0], found[1]
    qps = len(queries) / seconds if seconds > 0 else float("inf")
    ef = args.ef if args.ef is not None else "default"
    what = f", filter matches {matches} points" if flt is not None else ""
    print(f"{len(queries)} queries, k {args.k}, ef {ef}, {threads} thread{'s' if threads != 1 else ''}{what}: "
          f"{seconds:.3f} s, {qps:,.0f} queries/s")
    if args.out:
        what = save_results(args.out, ids, scores, found[2] if args.with_payload else None)
        print(f"saved {what} to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

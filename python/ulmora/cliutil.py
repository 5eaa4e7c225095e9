"""What the ``ulmora`` commands share: the one-line error, the context that
turns expected failures into it, and the argument types."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

from .exact import METRICS
from .readers import InputError

PROG = "ulmora"


class CliError(Exception):
    """An expected failure; its text is the whole one-line message."""


def say(msg: str) -> None:
    print(f"{PROG}: {msg}", file=sys.stderr, flush=True)


def one_line(e: BaseException) -> str:
    text = " ".join(str(e).split("\n")).strip()
    return text or type(e).__name__


@contextlib.contextmanager
def about(path):
    """Turns an expected failure inside the block into a CliError naming
    `path` (unless the message names a file already)."""
    try:
        yield
    except (CliError, KeyboardInterrupt):
        raise
    except InputError as e:
        raise CliError(str(e)) from None
    except OSError as e:
        name = e.filename if e.filename is not None else path
        raise CliError(f"{name}: {e.strerror or one_line(e)}") from None
    except MemoryError:
        raise CliError(f"{path}: out of memory") from None
    except (ValueError, TypeError, OverflowError, RuntimeError) as e:
        msg = one_line(e)
        if not msg.startswith(f"{path}:"):
            msg = f"{path}: {msg}"
        raise CliError(msg) from None


# ---------------------------------------------------------------- argument types


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _u64(text: str, not_a: str, what: str) -> int:
    """A whole number in 0..2^64-1, decimal or with a 0x/0o/0b prefix."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{not_a}: {text!r}") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"{what} out of range 0..2^64-1: {text}")
    return value


def point_id(text: str) -> int:
    return _u64(text, "not a point id", "point id")


def seed(text: str) -> int:
    return _u64(text, "not a whole number", "seed")


def key_list(text: str) -> list[str]:
    """A comma-separated list of payload keys ("colour,size"), spaces around keys trimmed."""
    keys = [k.strip() for k in text.split(",")]
    if any(not k for k in keys):
        raise argparse.ArgumentTypeError(f"empty key in {text!r} (give keys separated by commas)")
    return keys


def metric(text: str) -> str:
    low = text.lower()
    if low not in METRICS:
        raise argparse.ArgumentTypeError(f"unknown metric {text!r} (choose from {', '.join(METRICS)})")
    return low


# ---------------------------------------------------------------- output


def id_span(ids: np.ndarray) -> str:
    if len(ids) == 0:
        return "no ids"
    lo, hi = int(ids.min()), int(ids.max())
    if len(ids) == 1:
        return f"id {lo}"
    if hi - lo + 1 == len(ids):
        return f"ids {lo}..{hi}"
    return f"ids between {lo} and {hi}"


def save_npz(path, **arrays) -> None:
    write_replacing(path, lambda f: np.savez(f, **arrays))


def write_replacing(path, write) -> None:
    """Writes through a temporary file renamed into place, so an
    interrupted save leaves no half-written result."""
    target = Path(path)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    except OSError as e:
        raise OSError(e.errno, e.strerror, str(target)) from None
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def json_default(obj):
    if isinstance(obj, np.generic):
        return obj.item()
    if isinstance(obj, os.PathLike):
        return os.fspath(obj)
    raise TypeError(f"{type(obj).__name__} is not JSON serialisable")


def filter_arg(text: str):
    """The --filter value: JSON text, or @FILE holding it."""
    where = "--filter"
    if text.startswith("@"):
        where = text[1:]
        with about(where):
            with open(where, encoding="utf-8") as f:
                text = f.read()
    try:
        value = json.loads(text)
    except json.JSONDecodeError as e:
        raise CliError(f"{where}: not valid JSON: {e}") from None
    from .filters import compile_filter

    with about(where):
        compile_filter(value)  # a bad filter fails here, before the segment is opened
    return value


def save_jsonl(path, ids, scores, payloads) -> None:
    """One JSON object per query, padding left out; written like save_npz."""
    def lines():
        for row_ids, row_scores, row_payloads in zip(ids, scores, payloads):
            n = int(np.count_nonzero(row_ids != np.uint64(2**64 - 1)))
            yield json.dumps({"ids": [int(i) for i in row_ids[:n]],
                              "scores": [float(x) for x in row_scores[:n]],
                              "payloads": list(row_payloads[:n])}, default=json_default) + "\n"

    write_replacing(path, lambda f: f.writelines(line.encode() for line in lines()))


def save_results(path, ids, scores, payloads=None) -> str:
    """Saves a search's results to `path`: JSON lines when payloads are
    given, else an .npz of ids and scores. Returns what was saved, for the
    command's message."""
    with about(path):
        if payloads is not None:
            save_jsonl(path, ids, scores, payloads)
            return f"ids, scores and payloads of {len(ids)} queries"
        save_npz(path, ids=ids, scores=scores)
        return "ids and scores"

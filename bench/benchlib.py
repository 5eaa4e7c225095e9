"""Shared helpers of the benchmark scripts: locating the built module,
machine facts, result tables and JSON records under bench/out/."""

from __future__ import annotations

import datetime
import glob
import importlib
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
OUT_DIR = BENCH_DIR / "out"


def module_dirs() -> list[str]:
    """Directories holding a built ulmoradb*.so, newest first."""
    found = glob.glob(str(REPO / "build" / "**" / "ulmoradb*.so"), recursive=True)
    found.sort(key=os.path.getmtime, reverse=True)
    return [os.path.dirname(p) for p in found]


def import_ulmoradb():
    """The installed module, or the newest build under build/ when none is.

    The directory used is also put on PYTHONPATH so that child processes of
    the benchmarks import the same build.
    """
    try:
        return importlib.import_module("ulmoradb")
    except ImportError:
        pass
    for d in module_dirs():
        sys.path.insert(0, d)
        try:
            mod = importlib.import_module("ulmoradb")
        except ImportError:
            sys.path.pop(0)
            continue
        os.environ["PYTHONPATH"] = d + os.pathsep + os.environ.get("PYTHONPATH", "")
        print(f"[bench] using ulmoradb from {d}", file=sys.stderr)
        return mod
    raise SystemExit("ulmoradb is not importable: install it (pip install .) or build it with "
                     "-DULMORA_BUILD_PYTHON=ON and put the directory of ulmoradb*.so on PYTHONPATH")


def machine() -> dict:
    model = platform.processor()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = "?"
    return {
        "cpu": model,
        "logical_cpus": os.cpu_count(),
        "python": platform.python_version(),
        "commit": commit,
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "loadavg": os.getloadavg()[0],
    }


def table(headers: list[str], rows: list[list]) -> str:
    def fmt(v):
        if isinstance(v, float):
            return f"{v:.4f}" if abs(v) < 1 else f"{v:,.1f}"
        return str(v)

    cells = [[fmt(v) for v in r] for r in rows]
    lines = ["| " + " | ".join(headers) + " |", "|" + "|".join("---" for _ in headers) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in cells]
    return "\n".join(lines)


def save(name: str, record: dict) -> Path:
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    record = {"machine": machine(), **record}
    path = OUT_DIR / f"{name}.json"
    path.write_text(json.dumps(record, indent=2))
    return path


def best_of(fn, repeat: int = 3) -> float:
    """Smallest wall time of ``repeat`` runs of fn() in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def peak_rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def malloc_trim() -> None:
    """Returns freed heap pages to the system so RSS reflects live memory."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass

"""Helpers shared by the tests and the benchmarks, importable from the
repository root (``python -m pytest``, ``python -m bench.NAME``):
``snapshot_writer`` writes segment files and logs byte by byte in pure
Python, independently of the C++ writer."""

"""The module object and the Index type's Python-visible surface."""

import importlib
import inspect
import sys

import numpy as np
import pytest

import ulmoradb
from conftest import run_python

INDEX_DOC = (
    "In-memory ANN index loaded from an Ulmora segment snapshot.\n\n"
    "Search calls release the GIL. Query data is copied into module-owned memory\n"
    "before release so native search never aliases Python-owned mutable storage."
)
SEARCH_DOC = (
    "Search one query. Returns `(ids uint64[k], scores float32[k])`.\n\n"
    "`scores` are raw Ulmora scores. `scan_cap=0` means uncapped L0 scans.\n"
    "`rerank` (at least 1) is the SQ8 rerank factor of an index loaded with\n"
    "`quantize=True`; None takes VECTORDB_SQ8_RERANK_FACTOR. Other indexes ignore it."
)
BATCH_DOC = (
    "Search contiguous float32 queries with shape `[n, dim]`.\n\n"
    "Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows\n"
    "with `uint64::MAX` and `NaN`. Native workers are capped to the machine's\n"
    "available parallelism; `threads=0` and `threads=1` run sequentially.\n"
    "`rerank` as in `search`."
)


def test_module_exposes_only_index():
    public = [name for name in dir(ulmoradb) if not name.startswith("__")]
    assert public == ["Index"]
    assert ulmoradb.__doc__ == ""
    assert ulmoradb.Index.__module__ == "ulmoradb"
    assert ulmoradb.Index.__name__ == "Index"


def test_reimport_reuses_the_type():
    original = ulmoradb.Index
    del sys.modules["ulmoradb"]
    try:
        again = importlib.import_module("ulmoradb")
        assert again is not ulmoradb
        assert again.Index is original
    finally:
        sys.modules["ulmoradb"] = ulmoradb


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        (ulmoradb.Index, "(path, quantize=False)", INDEX_DOC),
        (ulmoradb.Index.dim, "($self)", None),
        (
            ulmoradb.Index.search,
            "($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, *, rerank=None)",
            SEARCH_DOC,
        ),
        (
            ulmoradb.Index.search_batch,
            "($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, threads=1, *, rerank=None)",
            BATCH_DOC,
        ),
    ],
    ids=["Index", "dim", "search", "search_batch"],
)
def test_text_signatures_and_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert (obj.__doc__ or None) == doc


def test_inspect_signatures():
    assert str(inspect.signature(ulmoradb.Index)) == "(path, quantize=False)"
    search = inspect.signature(ulmoradb.Index.search)
    assert list(search.parameters) == ["self", "query", "k", "ef", "sq8_screen", "scan_cap", "patience", "rerank"]
    assert search.parameters["rerank"].kind is inspect.Parameter.KEYWORD_ONLY
    batch = inspect.signature(ulmoradb.Index.search_batch)
    assert [p.default for p in batch.parameters.values()][2:] == [20, 128, False, 0, 2, 1, None]


def test_type_is_final():
    with pytest.raises(TypeError):

        class Derived(ulmoradb.Index):  # noqa: F841
            pass


def test_instances_have_no_dict_or_weakrefs(small_index):
    import weakref

    index = small_index(np.eye(3))
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)
    assert ulmoradb.Index.__weakrefoffset__ == 0
    assert ulmoradb.Index.__dictoffset__ == 0
    assert not ulmoradb.Index.__flags__ & (1 << 14)  # no garbage-collector participation
    assert len(index) == 3


def test_import_and_construction_do_not_load_numpy(write_segment):
    from conftest import complete_graph

    path = write_segment(complete_graph(np.eye(4)))
    out = run_python(
        f"""
        import sys
        import ulmoradb
        index = ulmoradb.Index({path!r}, quantize=True)
        print(len(index), index.dim(), "numpy" in sys.modules)
        """
    )
    assert out.stdout.split() == ["4", "4", "False"]


def test_internal_error_type_is_hidden_and_derives_from_base_exception(write_segment):
    from conftest import complete_graph

    # NumPy made unimportable: the first search cannot reach NumPy's array
    # interface, which is an internal failure rather than an ordinary error.
    path = write_segment(complete_graph(np.eye(4)))
    out = run_python(
        f"""
        import sys
        sys.modules["numpy"] = None
        import ulmoradb
        index = ulmoradb.Index({path!r})
        for attempt in range(2):
            try:
                index.search([1.0, 0.0, 0.0, 0.0])
            except BaseException as e:
                t = type(e)
                print(t.__module__, t.__qualname__, t.__mro__[1].__name__, isinstance(e, Exception), sep="|")
                print(str(e))
        print(hasattr(ulmoradb, "InternalError"), len(index))
        """
    ).stdout.splitlines()
    assert out[0] == out[2] == "ulmoradb|InternalError|BaseException|False"
    assert out[1].startswith("NumPy's array interface could not be accessed")
    assert out[4] == "False 4"

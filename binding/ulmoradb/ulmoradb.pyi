"""Approximate-nearest-neighbour search over Ulmora segment snapshots."""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["Index"]

@final
class Index:
    """In-memory ANN index loaded from an Ulmora segment snapshot.

    Search calls release the GIL. Query data is copied into module-owned memory
    before release so native search never aliases Python-owned mutable storage.
    """

    def __new__(cls, path: str, quantize: bool = False) -> "Index": ...
    def dim(self) -> int: ...
    def __len__(self) -> int: ...
    def search(
        self,
        query: npt.NDArray[np.float32],
        k: int = 20,
        ef: int = 128,
        sq8_screen: bool = False,
        scan_cap: int = 0,
        patience: int = 2,
        *,
        rerank: int | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search one query. Returns `(ids uint64[k], scores float32[k])`.

        `scores` are raw Ulmora scores. `scan_cap=0` means uncapped L0 scans.
        `rerank` (at least 1) is the SQ8 rerank factor of an index loaded with
        `quantize=True`; None takes VECTORDB_SQ8_RERANK_FACTOR. Other indexes ignore it.
        """
    def search_batch(
        self,
        queries: npt.NDArray[np.float32],
        k: int = 20,
        ef: int = 128,
        sq8_screen: bool = False,
        scan_cap: int = 0,
        patience: int = 2,
        threads: int = 1,
        *,
        rerank: int | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search contiguous float32 queries with shape `[n, dim]`.

        Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows
        with `uint64::MAX` and `NaN`. Native workers are capped to the machine's
        available parallelism; `threads=0` and `threads=1` run sequentially.
        `rerank` as in `search`.
        """

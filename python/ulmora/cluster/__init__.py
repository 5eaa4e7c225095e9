"""Collections served by Ray: each shard's segment held by Ray actors.

    import ray, ulmora.cluster as uc
    ray.init()                                    # or ray.init(address=...) for a running cluster
    uc.build_collection(dir, inputs, shards=4)    # one Ray task per shard
    with uc.Collection(dir, replicas=2) as coll:  # the embedded collection's methods and results
        ids, scores = coll.search(query, k=10)

The only part of the package that imports Ray; see docs/collections.md.
"""

from .build import build_collection
from .collection import Collection, ShardUnavailableError

__all__ = ["Collection", "ShardUnavailableError", "build_collection"]

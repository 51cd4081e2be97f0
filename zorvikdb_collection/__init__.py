"""A changing collection of vectors under the user's own ids, searched exactly.

    from zorvikdb_collection import Collection

    items = Collection.create("items.zdb", dims=384, metric="cosine")
    items.add(embeddings, ids)
    found = items.search(query, 10)            # {"ids", "scores", "manifest_hash"}
"""

from .collection import Collection

__all__ = ["Collection"]

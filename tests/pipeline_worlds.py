"""Model worlds shared by the GQL, pipeline, lookup and projection tests.

Each function registers a small set of models on a Registry. The blog world
holds the models of the builder's worked examples: users with posts (and an
aggregate post count), posts with an author and comments.
"""

import json

import pytest

import kelvara_py

USER = {
    "name": "User",
    "collection": "users",
    "fields": {
        "name": "string",
        "email": "string",
        "age": "int",
        "tags": "array",
        "address": {"type": "object", "fields": {"city": "string", "zip": "string"}},
    },
    "relations": {
        "posts": {"model": "Post", "type": "many", "localField": "_id", "foreignField": "authorId"},
    },
    "computes": {
        "greeting": {"fn": True, "depends": ["name"]},
        "postCount": {"agg": {"$count": "posts"}},
    },
}

POST = {
    "name": "Post",
    "collection": "posts",
    "fields": {
        "title": "string",
        "status": "string",
        "createdAt": "number",
        "authorId": "string",
        "amount": "number",
        "tagIds": "array",
        "meta": {"type": "object", "fields": {"lang": "string"}},
    },
    "relations": {
        "author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"},
        "comments": {"model": "Comment", "type": "many", "localField": "_id", "foreignField": "postId"},
        "tags": {"model": "Tag", "type": "many", "localField": "tagIds", "foreignField": "_id"},
    },
}

COMMENT = {
    "name": "Comment",
    "collection": "comments",
    "fields": {"body": "string", "postId": "string", "score": "number"},
    "relations": {
        "post": {"model": "Post", "type": "one", "localField": "postId", "foreignField": "_id"},
    },
}

TAG = {"name": "Tag", "collection": "tags", "fields": {"label": "string"}}

# A self-referencing model for nesting limits: each node has a parent (one)
# and children (many).
NODE = {
    "name": "Node",
    "collection": "nodes",
    "fields": {"label": "string", "parentId": "string"},
    "relations": {
        "parent": {"model": "Node", "type": "one", "localField": "parentId", "foreignField": "_id"},
        "children": {"model": "Node", "type": "many", "localField": "_id", "foreignField": "parentId"},
    },
}


def register_blog(reg):
    for defn in (USER, POST, COMMENT, TAG, NODE):
        reg.register(defn)
    return reg


@pytest.fixture
def blog():
    return register_blog(kelvara_py.Registry())


@pytest.fixture
def t2q_blog():
    reg = register_blog(kelvara_py.Registry())
    reg.set_profile("text2query")
    return reg


def pipeline_of(reg, gql, params=None, ctx=None):
    return reg.build_pipeline(gql, params, ctx)["pipeline"]


def lookup_of(reg, gql, params=None, ctx=None):
    """The first "$lookup" stage of the query's pipeline (its argument)."""
    for stage in pipeline_of(reg, gql, params, ctx):
        if "$lookup" in stage:
            return stage["$lookup"]
    raise AssertionError("no $lookup stage")


def as_text(value):
    """JSON text with keys in the order the core produced them, for
    byte-for-byte comparison with the documented examples."""
    return json.dumps(value, ensure_ascii=False)

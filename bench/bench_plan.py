"""plan_query on three typical queries, against materialising its answer.

For each query: microseconds per plan_query call, and the ratio to
orjson.loads(orjson.dumps(plan)) of the same plan, i.e. how far planning is
from the bare cost of handing the answer over as Python objects.

(a) a lone filter; (b) root + two nested relations with per-relation
sort/limit; (c) the same as (b) with a context whose owner rule and RBAC row
condition apply.

Run: python bench/bench_plan.py
"""

import timeit

import orjson

import kelvara_py


def registry():
    reg = kelvara_py.Registry()
    reg.register(
        {
            "name": "User",
            "collection": "users",
            "read": ["creator", "admin"],
            "fields": {"name": "string", "email": "string", "age": "int", "status": "string"},
            "relations": {"posts": {"model": "Post", "foreignField": "authorId"}},
        }
    )
    reg.register(
        {
            "name": "Post",
            "collection": "posts",
            "read": ["creator", "admin"],
            "fields": {"title": "string", "body": "string", "createdAt": "number", "authorId": "string"},
            "relations": {"comments": {"model": "Comment", "foreignField": "postId"}},
        }
    )
    reg.register(
        {
            "name": "Comment",
            "collection": "comments",
            "fields": {"body": "string", "postId": "string", "score": "int", "approved": "boolean"},
        }
    )
    reg.set_rbac(
        {
            "grants": [
                {"role": "member", "model": "*", "actions": ["read"], "condition": {"tenant": "t1"}},
            ]
        }
    )
    return reg


CASES = {
    "a lone filter": (
        "User($condition: @c) { name, email, age }",
        {"c": {"status": "active", "age": {"$gte": 18}}},
        None,
    ),
    "two nested relations": (
        "User($condition: @c, $sort: @s, $limit: @n) { name, email, "
        "posts($sort: @ps, $limit: @pl) { title, createdAt, comments($sort: @cs, $limit: @cl) { body, score } } }",
        {
            "c": {"status": "active"},
            "s": {"name": 1},
            "n": 20,
            "ps": {"createdAt": -1},
            "pl": 5,
            "cs": {"score": -1},
            "cl": 3,
        },
        None,
    ),
}
CASES["with owner and RBAC rows"] = (*CASES["two nested relations"][:2], {"userId": "u1", "roles": ["member"]})


def best(fn, number=2000, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    reg = registry()
    for name, (gql, params, ctx) in CASES.items():
        plan = reg.plan_query(gql, params, ctx)
        ours = best(lambda: reg.plan_query(gql, params, ctx))
        mat = best(lambda: orjson.loads(orjson.dumps(plan)))
        print(f"{name:28s} plan_query {ours * 1e6:7.1f} us   materialise {mat * 1e6:6.1f} us   ratio {ours / mat:5.2f}x")


if __name__ == "__main__":
    main()

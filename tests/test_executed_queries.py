"""Query plans executed on an in-process document database.

A plan is only right if it runs: each test plans a query, runs the commands
the way a host does (tests/doc_engine.py) and checks the documents that come
back against hand-computed expectations.
"""

import pytest

import kelvara_py
from doc_engine import DocEngine

USERS = [
    {"_id": "u1", "name": "Ann", "age": 31},
    {"_id": "u2", "name": "Bob", "age": 25},
    {"_id": "u3", "name": "Cid", "age": 47},
    {"_id": "u4", "name": "Dee", "age": 19},
]
POSTS = [
    {"_id": "p1", "title": "Alpha", "status": "published", "createdAt": 10, "authorId": "u1", "createdBy": "u1"},
    {"_id": "p2", "title": "Beta", "status": "draft", "createdAt": 20, "authorId": "u1", "createdBy": "u1"},
    {"_id": "p3", "title": "Gamma", "status": "published", "createdAt": 30, "authorId": "u2", "createdBy": "u2"},
    {"_id": "p4", "title": "Delta", "status": "published", "createdAt": 40, "authorId": "u3", "createdBy": "u3"},
    {"_id": "p5", "title": "Epsilon", "status": "published", "createdAt": 50, "authorId": "u1", "createdBy": "u1"},
]
COMMENTS = [
    {"_id": "c1", "postId": "p1", "body": "nice", "approved": True},
    {"_id": "c2", "postId": "p1", "body": "spam", "approved": False},
    {"_id": "c3", "postId": "p3", "body": "ok", "approved": True},
    {"_id": "c4", "postId": "p5", "body": "late", "approved": True},
]


@pytest.fixture
def world():
    reg = kelvara_py.Registry()
    reg.register(
        {
            "name": "User",
            "collection": "users",
            "fields": {"name": "string", "age": "int"},
            "relations": {"posts": {"model": "Post", "foreignField": "authorId"}},
            "computes": {"postCount": {"agg": {"$count": "posts"}}},
        }
    )
    reg.register(
        {
            "name": "Post",
            "collection": "posts",
            "read": ["creator", "editor"],
            "fields": {"title": "string", "status": "string", "createdAt": "number", "authorId": "string"},
            "relations": {
                "author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"},
                "comments": {"model": "Comment", "foreignField": "postId"},
            },
        }
    )
    reg.register(
        {
            "name": "Comment",
            "collection": "comments",
            "fields": {"body": "string", "postId": "string", "approved": "boolean"},
        }
    )
    engine = DocEngine(reg)
    engine.insert("users", USERS)
    engine.insert("posts", POSTS)
    engine.insert("comments", COMMENTS)
    return engine


def by_id(docs):
    return sorted(docs, key=lambda d: d["_id"])


def test_lone_filter_runs_as_find(world):
    plan = world.registry.plan_query("Post($condition: @c) { title }", {"c": {"status": "draft"}})
    assert plan["mode"] == "find"
    assert world.run_plan(plan) == [{"_id": "p2", "title": "Beta"}]


def test_nested_lookups_rebuild_the_tree(world):
    docs = world.query(
        "User($condition: @c, $sort: @s) { name, posts($sort: @ps) { title, comments { body } } }",
        {"c": {"age": {"$gte": 25}}, "s": {"name": 1}, "ps": {"createdAt": -1}},
    )
    assert docs == [
        {
            "_id": "u1",
            "name": "Ann",
            "posts": [
                {"_id": "p5", "title": "Epsilon", "comments": [{"_id": "c4", "body": "late"}]},
                {"_id": "p2", "title": "Beta", "comments": []},
                {
                    "_id": "p1",
                    "title": "Alpha",
                    "comments": [{"_id": "c1", "body": "nice"}, {"_id": "c2", "body": "spam"}],
                },
            ],
        },
        {"_id": "u2", "name": "Bob", "posts": [{"_id": "p3", "title": "Gamma", "comments": [{"_id": "c3", "body": "ok"}]}]},
        {"_id": "u3", "name": "Cid", "posts": [{"_id": "p4", "title": "Delta", "comments": []}]},
    ]


def test_paged_query_with_a_relation_runs_in_two_phases(world):
    plan = world.registry.plan_query(
        "Post($sort: @s, $skip: @k, $limit: @n) { title, author { name } }",
        {"s": {"createdAt": -1}, "k": 1, "n": 3},
    )
    assert plan["mode"] == "two_phase"
    phase1 = plan["commands"][0]["pipeline"]
    assert not any("$lookup" in stage for stage in phase1)
    assert world.run_plan(plan) == [
        {"_id": "p4", "title": "Delta", "author": {"_id": "u3", "name": "Cid"}},
        {"_id": "p3", "title": "Gamma", "author": {"_id": "u2", "name": "Bob"}},
        {"_id": "p2", "title": "Beta", "author": {"_id": "u1", "name": "Ann"}},
    ]


def test_paging_applies_once_when_the_only_join_is_an_aggregate_compute(world):
    plan = world.registry.plan_query(
        "User($sort: @s, $skip: @k, $limit: @n) { name, postCount }", {"s": {"name": 1}, "k": 1, "n": 2}
    )
    assert plan["mode"] == "two_phase"
    phase1 = plan["commands"][0]["pipeline"]
    for op in ("$sort", "$skip", "$limit"):
        assert sum(op in stage for stage in phase1) == 1, op
    assert world.run_plan(plan) == [
        {"_id": "u2", "name": "Bob", "postCount": 1},
        {"_id": "u3", "name": "Cid", "postCount": 1},
    ]


def test_sort_by_a_relation_path_stays_one_aggregate(world):
    plan = world.registry.plan_query(
        "Post($condition: @c, $sort: @s, $limit: @n) { title, author { name } }",
        {"c": {"status": "published"}, "s": {"author.name": -1, "createdAt": 1}, "n": 3},
    )
    assert plan["mode"] == "aggregate"
    assert [d["_id"] for d in world.run_plan(plan)] == ["p4", "p3", "p1"]


def test_owner_rule_and_rbac_rows_limit_every_level(world):
    reg = world.registry
    reg.set_rbac(
        {
            "grants": [
                {"role": "author", "model": "Post", "actions": ["read"]},
                {"role": "author", "model": "User", "actions": ["read"]},
                {"role": "author", "model": "Comment", "actions": ["read"], "condition": {"approved": True}},
            ]
        }
    )
    ctx = {"userId": "u1", "roles": ["author"]}
    docs = world.query("Post($sort: @s) { title, comments { body } }", {"s": {"createdAt": 1}}, ctx)
    assert docs == [
        {"_id": "p1", "title": "Alpha", "comments": [{"_id": "c1", "body": "nice"}]},
        {"_id": "p2", "title": "Beta", "comments": []},
        {"_id": "p5", "title": "Epsilon", "comments": [{"_id": "c4", "body": "late"}]},
    ]
    # An editor reads every post; the comment restriction does not apply to editors.
    editor = world.query("Post($condition: @c) { title }", {"c": {"status": "published"}}, {"roles": ["editor"]})
    assert by_id(editor) == [
        {"_id": "p1", "title": "Alpha"},
        {"_id": "p3", "title": "Gamma"},
        {"_id": "p4", "title": "Delta"},
        {"_id": "p5", "title": "Epsilon"},
    ]


def test_owner_rule_reaches_into_lookups(world):
    ctx = {"userId": "u2"}
    docs = world.query("User($condition: @c) { name, posts { title } }", {"c": {"_id": {"$in": ["u1", "u2"]}}}, ctx)
    assert by_id(docs) == [
        {"_id": "u1", "name": "Ann", "posts": []},
        {"_id": "u2", "name": "Bob", "posts": [{"_id": "p3", "title": "Gamma"}]},
    ]


@pytest.mark.parametrize("gql", ["Post($sort: @s) { title }", "Post($sort: @s) { title, author { name } }"])
def test_total_agrees_with_the_pages_under_row_restrictions(world, gql):
    """The count carries the owner rule and the RBAC row condition like the
    items, so walking the pages yields exactly `total` rows."""
    reg = world.registry
    reg.set_rbac({"grants": [{"role": "author", "model": "Post", "actions": ["read"], "condition": {"status": "published"}}]})
    ctx = {"userId": "u1", "roles": ["author"]}
    params = {"s": {"createdAt": 1}, "pageSize": 1}
    total = world.run_command(reg.plan_query_with_count(gql, params, ctx)["countCommand"])
    assert total == 2  # p1 and p5: created by u1 and published
    seen = []
    for page in range(4):
        plan = reg.plan_query_with_count(gql, {**params, "page": page}, ctx, total)
        seen += [doc["_id"] for doc in world.run_plan(plan)]
        assert plan["hasMore"] is (page == 0)
    assert seen == ["p1", "p5"]


def test_plan_query_one_fetches_one_row(world):
    plan = world.registry.plan_query_one("Post($sort: @s) { title }", {"s": {"createdAt": -1}})
    assert world.run_plan(plan) == [{"_id": "p5", "title": "Epsilon"}]


def test_paged_list_with_count_and_finalisation():
    """The whole read protocol: plan with count, run, finalise, strip."""
    reg = kelvara_py.Registry()
    reg.register(
        {
            "name": "Member",
            "collection": "users",
            "timestamps": False,
            "fields": {"name": "string", "age": "int", "nickname": {"type": "string", "default": "-"}},
            "computes": {
                "display": {"fn": True, "type": "string", "depends": ["name"]},
                "badge": {"asyncFn": True, "fnRef": "badgeOf", "depends": ["age"]},
            },
        }
    )
    reg.set_fn("display", lambda doc: doc["name"].upper())
    world = DocEngine(reg)
    world.insert("users", USERS)
    gql = "Member($condition: @c, $sort: @s) { name, nickname, display, badge }"
    params = {"c": {"age": {"$gte": 20}}, "s": {"age": -1}, "page": 1, "pageSize": 2}

    plan = reg.plan_query_with_count(gql, params)
    total = world.run_command(plan["countCommand"])
    assert total == 3
    assert reg.plan_query_with_count(gql, params, None, total)["hasMore"] is False
    assert reg.plan_query_with_count(gql, {**params, "page": 0}, None, total)["hasMore"] is True

    rows = world.run_plan(plan)
    assert rows == [{"_id": "u2", "age": 25, "name": "Bob"}]  # page 1 of [Cid 47, Ann 31 | Bob 25]

    prepared = reg.prepare_query(plan["postprocess"], rows)
    assert prepared["fnRefs"] == ["badgeOf"]
    items = prepared["items"]
    assert items == [{"_id": "u2", "age": 25, "display": "BOB", "name": "Bob", "nickname": "-"}]
    for item in items:  # the host computes the asynchronous field from the injected age
        item["badge"] = "senior" if item["age"] > 30 else "junior"
    final = reg.strip_query(plan["postprocess"], items)["items"]
    assert final == [{"_id": "u2", "badge": "junior", "display": "BOB", "name": "Bob", "nickname": "-"}]

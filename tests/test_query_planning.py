"""Read planning: modes, permissions and row conditions, the context rules,
route overrides, pages, relation sorts and second-phase order."""

import pytest

import kelvara_py

SYSTEM = kelvara_py.system_context()
NO_CONTEXT = "ERR_NO_CONTEXT:require_context 已开启，调用必须携带用户上下文（内部调用请传 {\"internal\": true}）"
T2Q_NO_CONTEXT = "ERR_TEXT2QUERY:text2query 档必须携带用户上下文"
ROUTE_REFUSED = "ERR_TEXT2QUERY:text2query 档禁用 route_override（受信参数，禁 AI 侧指定）"
MISSING = object()  # an item without "_id"


@pytest.fixture
def reg():
    r = kelvara_py.Registry()
    r.register(
        {
            "name": "User",
            "collection": "users",
            "fields": {"name": "string", "address": {"type": "object", "fields": {"city": "string"}}},
            "relations": {
                "posts": {"model": "Post", "foreignField": "authorId"},
                "notes": {"model": "Note", "foreignField": "userId"},
            },
        }
    )
    r.register(
        {
            "name": "Post",
            "collection": "posts",
            "datasource": "main",
            "namespace": "tenant1",
            "read": ["creator", "editor"],
            "fields": {"title": "string", "authorId": "string", "secret": {"type": "string", "read": ["editor"]}},
            "relations": {
                "author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"},
                "notes": {"model": "Note", "read": ["editor"]},
            },
        }
    )
    r.register({"name": "Note", "collection": "notes", "read": ["editor"], "fields": {"text": "string"}})
    return r


def test_plain_selection_is_one_aggregate_with_the_projection(reg):
    plan = reg.plan_query("User { name }")
    assert plan == {
        "collection": "users",
        "commands": [
            {
                "collection": "users",
                "kind": "aggregate",
                "namespace": None,
                "pipeline": [{"$project": {"_id": 1, "name": 1}}],
                "source": "default",
            }
        ],
        "mode": "aggregate",
        "postprocess": {
            "ast": {"fields": ["name"], "model": "User", "params": {}, "relations": {}},
            "inject": None,
        },
        "sort": None,
    }
    assert list(plan) == ["collection", "commands", "mode", "postprocess", "sort"]


def test_lone_filter_is_a_find_and_a_limit_makes_it_an_aggregate(reg):
    plan = reg.plan_query("User($condition: @c) { name }", {"c": {"name": "a"}})
    assert plan["mode"] == "find"
    assert plan["commands"] == [
        {
            "collection": "users",
            "filter": {"name": "a"},
            "kind": "find",
            "namespace": None,
            "projection": {"_id": 1, "name": 1},
            "source": "default",
        }
    ]
    plan = reg.plan_query("User($condition: @c, $limit: @n) { name }", {"c": {"name": "a"}, "n": 5})
    assert plan["mode"] == "aggregate"
    assert plan["commands"][0]["pipeline"] == [
        {"$match": {"name": "a"}},
        {"$limit": 5},
        {"$project": {"_id": 1, "name": 1}},
    ]


def test_find_without_selected_fields_has_a_null_projection(reg):
    plan = reg.plan_query("User($condition: @c)", {"c": {"name": "a"}})
    assert plan["commands"][0]["projection"] is None


def test_two_phase_split(reg):
    plan = reg.plan_query(
        "Post($condition: @c, $sort: @s, $skip: @k, $limit: @n) { title, author { name } }",
        {"c": {"title": "x"}, "s": {"title": 1}, "k": 10, "n": 5},
    )
    assert plan["mode"] == "two_phase"
    assert plan["sort"] == {"$sort": {"title": 1}}
    first, second = plan["commands"]
    assert first["pipeline"] == [
        {"$match": {"title": "x"}},
        {"$sort": {"title": 1}},
        {"$skip": 10},
        {"$limit": 5},
        {"$project": {"_id": 1}},
    ]
    assert second["pipeline"] == [
        {"$match": {"_id": {"$in": "{{phase1.ids}}"}}},
        {
            "$lookup": {
                "as": "author",
                "from": "users",
                "let": {"rel_authorId": {"$ifNull": ["$authorId", None]}},
                "pipeline": [
                    {"$match": {"$expr": {"$eq": ["$_id", "$$rel_authorId"]}}},
                    {"$project": {"_id": 1, "name": 1}},
                ],
            }
        },
        {"$unwind": {"path": "$author", "preserveNullAndEmptyArrays": True}},
        {"$project": {"_id": 1, "author": 1, "title": 1}},
    ]
    for command in (first, second):
        assert list(command) == ["collection", "kind", "namespace", "pipeline", "source"]
        assert (command["collection"], command["source"], command["namespace"]) == ("posts", "main", "tenant1")


def test_sorting_by_a_relation_path_is_never_two_phase(reg):
    plan = reg.plan_query(
        "Post($sort: @s, $limit: @n) { title, author { name } }", {"s": {"author.name": 1}, "n": 5}
    )
    assert plan["mode"] == "aggregate"
    assert plan["sort"] is None
    stages = [next(iter(s)) for s in plan["commands"][0]["pipeline"]]
    assert stages == ["$lookup", "$unwind", "$sort", "$limit", "$project"]


def test_pass_through_pipeline_has_no_postprocess_and_a_reduced_projection(reg):
    plan = reg.plan_query("User($pipeline: @p) { name, address.city, ghost }", {"p": [{"$match": {"a": 1}}]})
    assert plan["mode"] == "aggregate"
    assert plan["postprocess"] is None
    assert plan["commands"][0]["pipeline"] == [{"$match": {"a": 1}}, {"$project": {"_id": 1, "name": 1}}]


def test_pass_through_write_stage_is_refused(reg):
    with pytest.raises(RuntimeError) as err:
        reg.plan_query("User($pipeline: @p)", {"p": [{"$out": "x"}]})
    assert str(err.value) == "聚合阶段 $out（写副作用）被拒绝：不允许在查询/聚合中写落盘"


@pytest.mark.parametrize(
    "ctx, condition, expected_filter",
    [
        ({"userId": "u1"}, None, {"createdBy": "u1"}),
        ({"userId": "u1"}, {"title": "x"}, {"$and": [{"title": "x"}, {"createdBy": "u1"}]}),
        ({"roles": ["editor"]}, {"title": "x"}, {"title": "x"}),
        (SYSTEM, {"title": "x"}, {"title": "x"}),
    ],
)
def test_owner_condition_is_merged_or_injected(reg, ctx, condition, expected_filter):
    if condition is None:
        plan = reg.plan_query("Post { title }", None, ctx)
        assert plan["postprocess"]["ast"]["params"] == {"condition": "@__core_owner__"}
        assert plan["mode"] == "find"
        assert plan["commands"][0]["filter"] == expected_filter
    else:
        plan = reg.plan_query("Post($condition: @c) { title }", {"c": condition}, ctx)
        assert plan["mode"] == "find"
        assert plan["commands"][0]["filter"] == expected_filter


def test_rbac_row_condition_joins_the_owner_condition(reg):
    reg.set_rbac({"grants": [{"role": "author", "model": "Post", "actions": ["read"], "condition": {"lang": "en"}}]})
    plan = reg.plan_query("Post($condition: @c) { title }", {"c": {"title": "x"}}, {"userId": "u1", "roles": ["author"]})
    assert plan["commands"][0]["filter"] == {"$and": [{"$and": [{"title": "x"}, {"createdBy": "u1"}]}, {"lang": "en"}]}


def test_unreadable_fields_leave_the_projection(reg):
    plan = reg.plan_query("Post { title, secret }", None, {"userId": "u1"})
    assert plan["commands"][0]["projection"] == {"_id": 1, "title": 1}
    plan = reg.plan_query("Post { title, secret }", None, {"roles": ["editor"]})
    assert plan["commands"][0]["pipeline"] == [{"$project": {"_id": 1, "secret": 1, "title": 1}}]


@pytest.mark.parametrize(
    "gql, ctx, message",
    [
        ("Note { text }", {"roles": ["reader"]}, "ERR_PERMISSION:无访问权限"),
        ("Post { title, notes { text } }", {"userId": "u1"}, "ERR_PERMISSION:无访问权限"),
        # The relation is readable, the model it joins is not.
        ("User { name, notes { text } }", {"userId": "u1"}, "ERR_PERMISSION:无访问权限"),
        # Readability is checked at every depth.
        ("User { name, posts { title, notes { text } } }", {"userId": "u1"}, "ERR_PERMISSION:无访问权限"),
        ("Ghost { a }", None, "Schema 未注册: Ghost"),
        ("{ a }", None, "ERR_GQL_PARSE:期望 id(undefined) 实际 p({) 位置 0"),
    ],
)
def test_refusals(reg, gql, ctx, message):
    with pytest.raises(RuntimeError) as err:
        reg.plan_query(gql, None, ctx)
    assert str(err.value) == message


def test_joined_relations_readable_at_every_depth(reg):
    plan = reg.plan_query("User { name, posts { title, notes { text } } }", None, {"roles": ["editor"]})
    assert plan["mode"] == "aggregate"


def test_rbac_denial_of_a_joined_model(reg):
    reg.set_rbac({"grants": [{"role": "author", "model": "User", "actions": ["insert"]}]})
    with pytest.raises(RuntimeError) as err:
        reg.plan_query("Post { title, author { name } }", None, {"userId": "u1", "roles": ["author"]})
    assert str(err.value) == "ERR_PERMISSION:RBAC:角色对 [User] 无 [read] 权限"


@pytest.mark.parametrize("ctx", [None, "a string", 3, ["list"]])
def test_context_requirement(reg, ctx):
    reg.set_require_context(True)
    with pytest.raises(RuntimeError) as err:
        reg.plan_query("User { name }", None, ctx)
    assert str(err.value) == NO_CONTEXT
    assert reg.plan_query("User { name }", None, {})["mode"] == "aggregate"
    assert reg.plan_query("User { name }", None, SYSTEM)["mode"] == "aggregate"


def test_context_requirement_is_reported_before_the_text2query_one(reg):
    reg.set_require_context(True)
    reg.set_profile("text2query")
    with pytest.raises(RuntimeError) as err:
        reg.plan_query("User { name }")
    assert str(err.value) == NO_CONTEXT


def test_text2query_requires_a_context_and_refuses_route_overrides(reg):
    reg.set_profile("text2query")
    with pytest.raises(RuntimeError) as err:
        reg.plan_query("User { name }")
    assert str(err.value) == T2Q_NO_CONTEXT
    ctx = {"role": "x"}
    assert reg.plan_query("User { name }", None, ctx, None)["mode"] == "aggregate"
    with pytest.raises(RuntimeError) as err:
        reg.plan_query("User { name }", None, ctx, {"source": "s2"})
    assert str(err.value) == ROUTE_REFUSED
    # A planning error wins over the refusal.
    with pytest.raises(RuntimeError, match="Schema 未注册: Ghost"):
        reg.plan_query("Ghost { a }", None, ctx, {"source": "s2"})


@pytest.mark.parametrize(
    "override, source, namespace",
    [
        ({"source": "s2"}, "s2", "tenant1"),
        ({"namespace": None}, "main", None),
        ({"namespace": "t9", "source": ""}, "main", "t9"),
        ({}, "main", "tenant1"),
        ("not an object", "main", "tenant1"),
    ],
)
def test_route_override_rewrites_every_command(reg, override, source, namespace):
    plan = reg.plan_query(
        "Post($sort: @s, $limit: @n) { title, author { name } }", {"s": {"title": 1}, "n": 2}, None, override
    )
    assert plan["mode"] == "two_phase"
    for command in plan["commands"]:
        assert (command["source"], command["namespace"]) == (source, namespace)


@pytest.mark.parametrize(
    "gql, params, limit, ref",
    [
        ("User { name }", None, 1, "@__core_one_limit__"),
        ("User($limit: @n) { name }", {"n": 7}, 7, "@n"),
    ],
)
def test_plan_query_one_limits_to_one_row_unless_given_a_limit(reg, gql, params, limit, ref):
    plan = reg.plan_query_one(gql, params)
    assert plan["commands"][0]["pipeline"] == [{"$limit": limit}, {"$project": {"_id": 1, "name": 1}}]
    assert type(plan["commands"][0]["pipeline"][0]["$limit"]) is int
    assert plan["postprocess"]["ast"]["params"] == {"limit": ref}


def test_plan_query_one_leaves_pass_through_alone(reg):
    plan = reg.plan_query_one("User($pipeline: @p)", {"p": []})
    assert plan["commands"][0]["pipeline"] == []


@pytest.mark.parametrize(
    "gql, params, expected",
    [
        ("User", {"page": 2}, {"page": 2, "pageSize": 50}),
        ("User", {"page": -3, "pageSize": 9000}, {"page": 0, "pageSize": 5000}),
        ("User", {"page": "1.9"}, {"page": 1, "pageSize": 50}),
        ("User", {"page": None, "pageSize": "20"}, {"page": 0, "pageSize": 20}),
        ("User", {"pageSize": 0}, {"page": 0, "pageSize": 0}),
        ("User", {"pageSize": 2.5}, {"page": 0, "pageSize": 2}),
        ("User", {"pageSize": "2.5"}, {"page": 0, "pageSize": 2.5}),
        ("User($skip: @k, $limit: @n)", {"k": 40, "n": 20}, {"page": 2, "pageSize": 20}),
        ("User($skip: @k, $limit: @n)", {"k": 10, "n": 0}, {"page": 0, "pageSize": 0}),
        ("User($skip: @k)", {"k": 10}, {"page": 0, "pageSize": 50}),
        ("User", None, {"page": 0, "pageSize": 50}),
    ],
)
def test_resolve_page(reg, gql, params, expected):
    page = reg.resolve_page(gql, params)
    assert page == expected
    assert [type(v) for v in page.values()] == [type(v) for v in expected.values()]


@pytest.mark.parametrize(
    "sort, expected",
    [({"$sort": {"a.b": 1}}, True), ({"$sort": {"a": 1}}, False), ({"$sort": {}}, False), ({"$sort": 1}, False), (None, False)],
)
def test_sorts_by_relation(reg, sort, expected):
    assert reg.sorts_by_relation(sort) is expected


@pytest.mark.parametrize(
    "items, ids, sort, expected",
    [
        (["a", "c", "b"], ["b", "a"], {"$sort": {"x": 1}}, ["b", "a", "c"]),
        (["a", "c", "b"], ["b", "a"], None, ["a", "c", "b"]),
        (["a", "c", "b"], ["b"], {"$sort": {"x": 1}}, ["a", "c", "b"]),
        ([{"$oid": "65f0"}, "x"], ["x", "65f0"], {"$sort": {"x": 1}}, ["x", {"$oid": "65f0"}]),
        ([1.0, 1, 2], [2, 1], {"$sort": {"x": 1}}, [2, 1, 1.0]),
        # Floats are keyed in their shortest form: 1e21 and 1e-7, as a JSON writer prints them.
        ([1e-7, 1e21], ["1e21", "1e-7"], {"$sort": {"x": 1}}, [1e21, 1e-7]),
        # A missing "_id" is keyed like null.
        (["a", MISSING], [None, "a"], {"$sort": {"x": 1}}, [MISSING, "a"]),
        # A repeated id keeps the position of its first occurrence.
        (["b", "a"], ["a", "b", "a"], {"$sort": {"x": 1}}, ["a", "b"]),
    ],
)
def test_restore_sort_order(reg, items, ids, sort, expected):
    docs = [{"n": n} if i is MISSING else {"_id": i, "n": n} for n, i in enumerate(items)]
    out = reg.restore_sort_order(docs, ids, sort)["items"]
    assert [d.get("_id", MISSING) for d in out] == expected
    assert all(type(d.get("_id", MISSING)) is type(e) for d, e in zip(out, expected))

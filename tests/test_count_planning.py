"""Paged lists with their count: page normalisation, the count filter and hasMore."""

import pytest

import kelvara_py

NO_CONTEXT = "ERR_NO_CONTEXT:require_context 已开启，调用必须携带用户上下文（内部调用请传 {\"internal\": true}）"


@pytest.fixture
def reg():
    r = kelvara_py.Registry()
    r.register(
        {
            "name": "Post",
            "collection": "posts",
            "read": ["creator", "editor"],
            "fields": {"title": "string"},
            "relations": {"comments": {"model": "Comment", "foreignField": "postId"}},
        }
    )
    r.register({"name": "Comment", "collection": "comments", "fields": {"body": "string"}})
    return r


def stages(plan, op):
    return [s[op] for c in plan["commands"] for s in c.get("pipeline", []) if op in s]


def test_page_parameters_add_skip_and_limit(reg):
    plan = reg.plan_query_with_count("Post { title }", {"page": 2, "pageSize": 20})
    assert list(plan) == [
        "collection", "commands", "countCommand", "hasMore", "mode", "page", "pageSize", "postprocess", "sort"
    ]
    assert (plan["page"], plan["pageSize"], plan["hasMore"]) == (2, 20, False)
    assert plan["postprocess"]["ast"]["params"] == {"limit": "@__core_page_limit__", "skip": "@__core_page_skip__"}
    assert stages(plan, "$skip") == [40] and stages(plan, "$limit") == [20]
    assert plan["countCommand"] == {
        "collection": "posts",
        "filter": {},
        "kind": "countDocuments",
        "namespace": None,
        "source": "default",
    }


@pytest.mark.parametrize(
    "gql, params, page, size, skip, limit",
    [
        ("Post { title }", {"page": 2}, 2, 50, 100, 50),
        ("Post { title }", {"pageSize": 10000}, 0, 5000, 0, 5000),
        ("Post($skip: @k, $limit: @n) { title }", {"k": 25, "n": 10}, 2, 10, 20, 10),
        ("Post($skip: @k, $limit: @n) { title }", {"k": 0, "n": 9000}, 0, 5000, 0, 5000),
        ("Post($skip: @k) { title }", {"k": 30}, 0, 50, 0, None),
        # Page parameters win over the query's own limit: pageSize defaults to 50.
        ("Post($limit: @n) { title }", {"n": 7, "page": 1}, 1, 50, 50, 50),
    ],
)
def test_paging_is_normalised(reg, gql, params, page, size, skip, limit):
    plan = reg.plan_query_with_count(gql, params)
    assert (plan["page"], plan["pageSize"]) == (page, size)
    assert stages(plan, "$skip") == ([skip] if skip is not None else [])
    assert stages(plan, "$limit") == ([limit] if limit is not None else [])


@pytest.mark.parametrize(
    "params, page, size, skip, limit",
    [
        ({"page": 2.0, "pageSize": 20.0}, 2, 20, 40, 20),
        ({"page": "3", "pageSize": " 7 "}, 3, 7, 21, 7),
        ({"page": 1, "pageSize": "2.5"}, 1, 2.5, 2.5, 2.5),
        ({"page": 1e20}, 1e20, 50, 5e21, 50),
        ({"page": 2**53 + 2}, float(2**53 + 2), 50, (2**53 + 2) * 50.0, 50),
        ({"page": "inf"}, 0, 50, 0, 50),
        ({"pageSize": "-inf"}, 0, 0, 0, 0),
    ],
)
def test_page_numbers_are_integers_when_integral(reg, params, page, size, skip, limit):
    """Page, page size and the injected skip and limit: integers when finite,
    integral and within 2^53; 0 when not finite; floating point otherwise."""
    plan = reg.plan_query_with_count("Post { title }", params)
    got = [plan["page"], plan["pageSize"], *stages(plan, "$skip"), *stages(plan, "$limit")]
    assert got == [page, size, skip, limit]
    assert [type(v) for v in got] == [type(v) for v in (page, size, skip, limit)]


@pytest.mark.parametrize(
    "condition, ctx, expected",
    [
        (None, None, {}),
        ("", None, {}),
        (0, None, {}),
        ({"title": "x"}, None, {"title": "x"}),
        ({"title": "x"}, {"userId": "u1"}, {"$and": [{"title": "x"}, {"createdBy": "u1"}]}),
        (None, {"userId": "u1"}, {"$and": [{}, {"createdBy": "u1"}]}),
        ({"title": "x"}, {"roles": ["editor"]}, {"title": "x"}),
    ],
)
def test_count_filter_carries_owner_restriction(reg, condition, ctx, expected):
    params = {"page": 0} if condition is None else {"c": condition, "page": 0}
    gql = "Post { title }" if condition is None else "Post($condition: @c) { title }"
    plan = reg.plan_query_with_count(gql, params, ctx)
    assert plan["countCommand"]["filter"] == expected


def test_count_filter_carries_rbac_restriction(reg):
    reg.set_rbac({"grants": [{"role": "r", "model": "Post", "actions": ["read"], "ownerOnly": True}]})
    plan = reg.plan_query_with_count("Post($condition: @c) { title }", {"c": {"title": "x"}}, {"roles": ["r", "editor"], "userId": "u7"})
    assert plan["countCommand"]["filter"] == {"$and": [{"title": "x"}, {"createdBy": "u7"}]}


@pytest.mark.parametrize(
    "gql, ctx, message",
    [
        ("Post { title }", None, NO_CONTEXT),
        ("Post { title }", "not a context", NO_CONTEXT),
        # The model is looked up before the context is required.
        ("Ghost { a }", None, "Schema 未注册: Ghost"),
    ],
)
def test_context_requirement(reg, gql, ctx, message):
    reg.set_require_context(True)
    with pytest.raises(RuntimeError) as err:
        reg.plan_query_with_count(gql, {"page": 0}, ctx)
    assert str(err.value) == message


def test_relation_predicate_is_refused_before_context_checks(reg):
    reg.set_require_context(True)
    with pytest.raises(RuntimeError) as err:
        reg.plan_query_with_count("Post($condition: @c) { title }", {"c": {"comments": {"$size": 1}}})
    assert str(err.value).startswith("query_with_count 暂不支持关系聚合谓词条件（§9.6）")


@pytest.mark.parametrize(
    "page, size, total, expected",
    [(0, 20, 20, False), (0, 20, 21, True), (0, 20, None, False), (0, 10, 25, True), (0, 10, 10, False), (2, 10, 31, True)],
)
def test_has_more(reg, page, size, total, expected):
    plan = reg.plan_query_with_count("Post { title }", {"page": page, "pageSize": size}, None, total)
    assert plan["hasMore"] is expected


def test_route_override_reaches_the_count_command(reg):
    plan = reg.plan_query_with_count("Post { title }", {"page": 0}, None, None, {"source": "s2", "namespace": "t"})
    assert (plan["countCommand"]["source"], plan["countCommand"]["namespace"]) == ("s2", "t")
    assert all(c["source"] == "s2" for c in plan["commands"])

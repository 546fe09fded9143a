"""Relation lookups and aggregate computed fields."""

import pytest

import kelvara_py
from pipeline_worlds import as_text, blog, lookup_of, pipeline_of, t2q_blog  # noqa: F401  (fixtures)


def test_worked_example(blog):
    gql = "User { posts($sort: @ps, $limit: @pl) { title, comments { body } } }"
    out = pipeline_of(blog, gql, {"ps": {"createdAt": -1}, "pl": 5})
    assert [as_text(s) for s in out] == [
        '{"$lookup": {"as": "posts", "from": "posts", "let": {"rel__id": {"$ifNull": ["$_id", null]}}, '
        '"pipeline": [{"$match": {"$expr": {"$eq": ["$authorId", "$$rel__id"]}}}, {"$sort": {"createdAt": -1}}, '
        '{"$limit": 5}, {"$lookup": {"as": "comments", "from": "comments", "let": {"rel__id": {"$ifNull": '
        '["$_id", null]}}, "pipeline": [{"$match": {"$expr": {"$eq": ["$postId", "$$rel__id"]}}}, {"$project": '
        '{"_id": 1, "body": 1}}]}}, {"$project": {"_id": 1, "comments": 1, "title": 1}}]}}'
    ]


def test_selection_without_fields_has_no_project(blog):
    assert lookup_of(blog, "User { posts() }")["pipeline"] == [
        {"$match": {"$expr": {"$eq": ["$authorId", "$$rel__id"]}}}
    ]


def test_array_local_field(blog):
    assert lookup_of(blog, "Post { tags { label } }") == {
        "as": "tags",
        "from": "tags",
        "let": {"rel_tagIds": {"$cond": [{"$isArray": "$tagIds"}, "$tagIds", []]}},
        "pipeline": [
            {"$match": {"$expr": {"$in": ["$_id", "$$rel_tagIds"]}}},
            {"$project": {"_id": 1, "label": 1}},
        ],
    }


def test_condition_joins_the_match(blog):
    sub = lookup_of(blog, "User { posts($condition: @c) { title } }", {"c": {"status": "draft"}})["pipeline"]
    assert sub[0] == {"$match": {"$and": [{"$expr": {"$eq": ["$authorId", "$$rel__id"]}}, {"status": "draft"}]}}


@pytest.mark.parametrize(
    "condition, message",
    [
        ({"x": {"$where": "1"}}, "条件包含被拒绝的操作符 $where（服务端执行类，命中拒绝名单）：请改用结构化条件"),
        ({"$nor": []}, "$nor 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）"),
        ({"tagIds.1": "a"},
         '数组字段索引路径 "tagIds.1" 不支持过滤条件（各后端数组索引语义不一致；请改用整值过滤或对象点号路径）'),
    ],
)
def test_condition_is_validated(blog, condition, message):
    with pytest.raises(RuntimeError) as e:
        pipeline_of(blog, "User { posts($condition: @c) { title } }", {"c": condition})
    assert str(e.value) == message


def test_nested_to_one_is_unwound_inside_the_sub_pipeline(blog):
    sub = lookup_of(blog, "Comment { post { title, author { name } } }")["pipeline"]
    assert [next(iter(s)) for s in sub] == ["$match", "$lookup", "$unwind", "$project"]
    assert sub[2] == {"$unwind": {"path": "$author", "preserveNullAndEmptyArrays": True}}
    assert sub[3] == {"$project": {"_id": 1, "author": 1, "title": 1}}


@pytest.mark.parametrize(
    "sort, kinds",
    [
        ({"author.name": 1}, ["$match", "$lookup", "$unwind", "$sort", "$skip", "$limit", "$project"]),
        ({"createdAt": 1, "author.name": -1}, ["$match", "$lookup", "$unwind", "$sort", "$skip", "$limit", "$project"]),
        ({"createdAt": 1}, ["$match", "$sort", "$skip", "$limit", "$lookup", "$unwind", "$project"]),
        # Not an object: nothing to defer.
        ("createdAt", ["$match", "$sort", "$skip", "$limit", "$lookup", "$unwind", "$project"]),
    ],
)
def test_sort_by_dotted_path_is_deferred_past_nested_lookups(blog, sort, kinds):
    gql = "User { posts($sort: @s, $skip: @k, $limit: @n) { title, author { name } } }"
    sub = lookup_of(blog, gql, {"s": sort, "k": 2, "n": 3})["pipeline"]
    assert [next(iter(s)) for s in sub] == kinds
    assert {"$sort": sort} in sub


def chain(depth, arg=""):
    """Node { children<arg> { children<arg> { ... label } } } with `depth` levels."""
    return "Node " + "{ children" + arg + " " * 1 + ("{ children" + arg + " ") * (depth - 1) + "{ label }" + " }" * depth


def test_ten_levels_succeed_and_the_eleventh_fails(blog):
    out = pipeline_of(blog, chain(10))
    level, count = out[0]["$lookup"], 1
    while any("$lookup" in s for s in level["pipeline"]):
        level = next(s["$lookup"] for s in level["pipeline"] if "$lookup" in s)
        count += 1
    assert count == 10
    with pytest.raises(RuntimeError) as e:
        pipeline_of(blog, chain(11))
    assert str(e.value) == "关系嵌套超限（深度 10 ≥ 10 / 分页深度 0 ≥ 4）——拒绝静默降级"


def test_text2query_allows_three_levels(t2q_blog):
    pipeline_of(t2q_blog, chain(3))
    with pytest.raises(RuntimeError) as e:
        pipeline_of(t2q_blog, chain(4))
    assert str(e.value) == "ERR_TEXT2QUERY:text2query 档关系嵌套超限（深度 3 ≥ 3 / 分页深度 0 ≥ 4）"


@pytest.mark.parametrize(
    "params, ok",
    [
        ({"n": 1, "m": 1}, False),
        ({"n": 1, "m": None}, True),          # the fifth level does not page
        ({"n": 1, "k": 0, "m": None}, False),  # a skip of 0 pages
        ({"n": 1, "k": None, "m": None}, True),
    ],
)
def test_at_most_four_levels_page(blog, params, ok):
    # Four levels with a limit, then a fifth with limit @m and skip @k.
    gql = chain(4, "($limit: @n)").replace("{ label }", "{ children($limit: @m, $skip: @k) { label } }")
    if ok:
        pipeline_of(blog, gql, params)
        return
    with pytest.raises(RuntimeError) as e:
        pipeline_of(blog, gql, params)
    assert str(e.value) == "关系嵌套超限（深度 4 ≥ 10 / 分页深度 4 ≥ 4）——拒绝静默降级"


def test_paging_depth_counts_one_path_only(blog):
    # Paged siblings at every level do not add up: each path pages 4 times.
    level = "children($limit: @n) { label }"
    gql = "Node { " + ", ".join(["children($limit: @n) { parent($limit: @n) { children($limit: @n) { " + level + " } } }"] * 3) + " }"
    assert len(pipeline_of(blog, gql, {"n": 1})) == 3


def test_nesting_limit_is_checked_before_the_level_is_built(blog):
    # The eleventh level's condition is invalid: the depth is reported.
    gql = chain(10).replace("{ label }", "{ children($condition: @c) { label } }")
    with pytest.raises(RuntimeError, match="^关系嵌套超限（深度 10 ≥ 10"):
        pipeline_of(blog, gql, {"c": {"$where": "1"}})


@pytest.mark.parametrize(
    "limit, standard, text2query",
    [(5000, 5000, 1000), (12.5, 12.5, 12), ("9", "9", "9"), (None, None, None)],
)
def test_lookup_limit_is_clamped_in_text2query(blog, t2q_blog, limit, standard, text2query):
    gql = "User { posts($limit: @n) { title } }"

    def limits(reg):
        sub = lookup_of(reg, gql, {"n": limit})["pipeline"]
        return [s["$limit"] for s in sub if "$limit" in s]

    assert limits(blog) == ([] if standard is None else [standard])
    assert limits(t2q_blog) == ([] if text2query is None else [text2query])


def test_lookup_projection_adds_function_compute_dependencies(reg):
    reg.register({"name": "A", "relations": {"bs": {"model": "B", "foreignField": "aId"}}})
    reg.register({
        "name": "B",
        "fields": {"x": "string", "y": "string", "aId": "string"},
        "computes": {"xy": {"fn": True, "depends": ["x", "y", "zz"]}, "later": {"asyncFn": True, "depends": ["w"]}},
    })
    sub = lookup_of(reg, "A { bs { xy, later, y } }")["pipeline"]
    assert as_text(sub[-1]) == '{"$project": {"_id": 1, "later": 1, "x": 1, "xy": 1, "y": 1, "zz": 1}}'


def test_lookup_projection_never_names_a_field_and_its_sub_path(blog):
    sub = lookup_of(blog, "User { posts { meta.lang, meta, title } }")["pipeline"]
    assert sub[-1] == {"$project": {"_id": 1, "meta": 1, "title": 1}}


# Aggregate computed fields.

@pytest.fixture
def shop(reg):
    reg.register({
        "name": "Order",
        "collection": "orders",
        "fields": {"itemIds": "array", "note": "string"},
        "relations": {
            "items": {"model": "Item", "foreignField": "orderId"},
            "picked": {"model": "Item", "localField": "itemIds", "foreignField": "_id"},
        },
        "computes": {
            "total": {"agg": {"$sum": "items.amount"}},
            "avgAmount": {"agg": {"$avg": "items.amount"}},
            "minAmount": {"agg": {"$min": "items.amount"}},
            "maxAmount": {"agg": {"$max": "items.amount"}},
            "itemCount": {"agg": {"$count": "items"}},
            "pickedCount": {"agg": {"$count": "picked"}},
        },
    })
    reg.register({"name": "Item", "collection": "items", "fields": {"amount": "number", "orderId": "string"}})
    return reg


def items_lookup(as_name):
    return {
        "$lookup": {
            "as": as_name,
            "from": "items",
            "let": {"aggv": {"$ifNull": ["$_id", None]}},
            "pipeline": [{"$match": {"$expr": {"$eq": ["$orderId", "$$aggv"]}}}],
        }
    }


@pytest.mark.parametrize(
    "name, expr",
    [
        ("total", '{"$cond": [{"$eq": [{"$size": {"$ifNull": ["$_total", []]}}, 0]}, null, {"$sum": "$_total.amount"}]}'),
        ("avgAmount", '{"$avg": "$_avgAmount.amount"}'),
        ("minAmount", '{"$min": "$_minAmount.amount"}'),
        ("maxAmount", '{"$max": "$_maxAmount.amount"}'),
        ("itemCount", '{"$size": {"$ifNull": ["$_itemCount", []]}}'),
    ],
)
def test_aggregate_operators(shop, name, expr):
    out = pipeline_of(shop, f"Order {{ {name} }}")
    assert out[0] == items_lookup("_" + name)
    assert as_text(out[1]) == '{"$addFields": {"' + name + '": ' + expr + "}}"
    assert len(out) == 2


def test_aggregate_over_array_local_field(shop):
    out = pipeline_of(shop, "Order { pickedCount }")
    assert out[0]["$lookup"]["let"] == {"aggv": {"$cond": [{"$isArray": "$itemIds"}, "$itemIds", []]}}
    assert out[0]["$lookup"]["pipeline"] == [{"$match": {"$expr": {"$in": ["$_id", "$$aggv"]}}}]


def test_several_aggregates_in_declaration_order_and_one_add_fields(shop):
    out = pipeline_of(shop, "Order { total, note, itemCount, maxAmount }")
    assert [s["$lookup"]["as"] for s in out[:-1]] == ["_itemCount", "_maxAmount", "_total"]
    assert list(out[-1]["$addFields"]) == ["itemCount", "maxAmount", "total"]
    assert len(out) == 4


# Row restrictions of joined models: owner condition and RBAC row condition.

@pytest.fixture
def newsroom(reg):
    reg.register({
        "name": "Writer",
        "collection": "writers",
        "fields": {"name": "string"},
        "relations": {"articles": {"model": "Article", "foreignField": "writerId"}},
        "computes": {"articleCount": {"agg": {"$count": "articles"}}},
    })
    reg.register({
        "name": "Article",
        "collection": "articles",
        "read": ["creator", "editor"],
        "fields": {"title": "string", "status": "string", "writerId": "string"},
        "relations": {"writer": {"model": "Writer", "type": "one", "localField": "writerId", "foreignField": "_id"}},
    })
    reg.set_rbac({"grants": [
        {"role": "member", "model": "Article", "actions": ["read"], "condition": {"status": "published"}},
    ]})
    return reg


MEMBER = {"userId": "u1", "roles": ["member"]}
JOIN = {"$expr": {"$eq": ["$writerId", "$$rel__id"]}}
OWNER = {"createdBy": "u1"}
PUBLISHED = {"status": "published"}


@pytest.mark.parametrize(
    "ctx, params, match",
    [
        (MEMBER, {"c": {"title": "x"}}, {"$and": [JOIN, {"title": "x"}, OWNER, PUBLISHED]}),
        (MEMBER, {}, {"$and": [JOIN, OWNER, PUBLISHED]}),
        # The creator rule applies, the RBAC grant does not.
        ({"userId": "u1", "roles": ["guest"]}, {}, {"$and": [JOIN, OWNER]}),
        # Without a user id no owner condition can be formed.
        ({"roles": ["member"]}, {}, {"$and": [JOIN, PUBLISHED]}),
        ({"userId": "u1", "roles": ["editor"]}, {}, JOIN),
        ({"internal": True}, {}, JOIN),
        (None, {}, JOIN),
    ],
)
def test_row_restrictions_join_the_first_match(newsroom, ctx, params, match):
    sub = lookup_of(newsroom, "Writer { articles($condition: @c) { title } }", params, ctx)["pipeline"]
    assert sub[0] == {"$match": match}


def test_row_restrictions_reach_every_level(newsroom):
    out = pipeline_of(newsroom, "Writer { articles { writer { articles() } } }", None, MEMBER)
    inner = out[0]["$lookup"]["pipeline"][1]["$lookup"]["pipeline"][1]["$lookup"]
    assert inner["pipeline"] == [{"$match": {"$and": [JOIN, OWNER, PUBLISHED]}}]
    # Writers are not restricted.
    assert out[0]["$lookup"]["pipeline"][1]["$lookup"]["pipeline"][0] == {
        "$match": {"$expr": {"$eq": ["$_id", "$$rel_writerId"]}}
    }


def test_row_restrictions_apply_to_aggregate_lookups(newsroom):
    out = pipeline_of(newsroom, "Writer { articleCount }", None, MEMBER)
    assert out[0]["$lookup"]["pipeline"] == [
        {"$match": {"$and": [{"$expr": {"$eq": ["$writerId", "$$aggv"]}}, OWNER, PUBLISHED]}}
    ]


# Read permissions of aggregate computed fields.

@pytest.fixture
def guarded_shop(reg):
    reg.register({
        "name": "Order",
        "collection": "orders",
        "fields": {"note": "string"},
        "relations": {
            "items": {"model": "Item", "foreignField": "orderId"},
            "secretItems": {"model": "Item", "foreignField": "orderId", "read": ["admin"]},
            "vault": {"model": "Vault", "foreignField": "orderId"},
        },
        "computes": {
            "total": {"agg": {"$sum": "items.amount"}},
            "count": {"agg": {"$count": "items"}},
            "hidden": {"agg": {"$count": "items"}, "read": ["admin"]},
            "costTotal": {"agg": {"$sum": "items.cost"}},
            "secretCount": {"agg": {"$count": "secretItems"}},
            "vaultCount": {"agg": {"$count": "vault"}},
        },
    })
    reg.register({
        "name": "Item",
        "collection": "items",
        "fields": {"amount": "number", "cost": {"type": "number", "read": ["admin"]}, "orderId": "string"},
    })
    reg.register({"name": "Vault", "collection": "vaults", "read": ["admin"], "fields": {"orderId": "string"}})
    return reg


CLERK = {"userId": "u", "roles": ["clerk"]}


@pytest.mark.parametrize("compute", ["costTotal", "secretCount", "vaultCount"])
def test_aggregate_over_unreadable_data_is_refused(guarded_shop, compute):
    gql = f"Order {{ {compute} }}"
    assert len(pipeline_of(guarded_shop, gql)) == 2
    assert len(pipeline_of(guarded_shop, gql, None, {"roles": ["admin"]})) == 2
    with pytest.raises(RuntimeError) as e:
        pipeline_of(guarded_shop, gql, None, CLERK)
    assert str(e.value) == "ERR_PERMISSION:无访问权限"


def test_unreadable_aggregate_compute_is_skipped(guarded_shop):
    out = pipeline_of(guarded_shop, "Order { hidden, count }", None, CLERK)
    assert [s["$lookup"]["as"] for s in out[:-1]] == ["_count"]
    assert list(out[-1]["$addFields"]) == ["count"]
    assert pipeline_of(guarded_shop, "Order { hidden }", None, CLERK) == []


def test_aggregate_needs_rbac_read_on_the_related_model(guarded_shop):
    guarded_shop.set_rbac({"mode": "enforce", "roles": {"clerk": {}},
                           "grants": [{"role": "clerk", "model": "Order", "actions": ["read"]}]})
    with pytest.raises(RuntimeError) as e:
        pipeline_of(guarded_shop, "Order { total }", None, CLERK)
    assert str(e.value) == "ERR_PERMISSION:RBAC:角色对 [Item] 无 [read] 权限"


def test_rbac_read_fields_narrow_the_aggregate_computes(guarded_shop):
    guarded_shop.set_rbac({"grants": [
        {"role": "clerk", "model": "Order", "actions": ["read"], "readFields": ["note", "total"]},
        {"role": "clerk", "model": "Item", "actions": ["read"]},
    ]})
    out = pipeline_of(guarded_shop, "Order { total, count }", None, CLERK)
    assert [s["$lookup"]["as"] for s in out[:-1]] == ["_total"]
    assert list(out[-1]["$addFields"]) == ["total"]

"""The pipeline builder: plain and pass-through pipelines, the text2query
limit rules, object-field flattening and the order of its errors."""

import pytest

import kelvara_py
from pipeline_worlds import as_text, blog, pipeline_of, t2q_blog  # noqa: F401  (fixtures)

AUTHOR_LOOKUP = {
    "$lookup": {
        "as": "author",
        "from": "users",
        "let": {"rel_authorId": {"$ifNull": ["$authorId", None]}},
        "pipeline": [
            {"$match": {"$expr": {"$eq": ["$_id", "$$rel_authorId"]}}},
            {"$project": {"_id": 1, "name": 1}},
        ],
    }
}
AUTHOR_UNWIND = {"$unwind": {"path": "$author", "preserveNullAndEmptyArrays": True}}

WORKED = "Post($condition: @c, $sort: @s, $limit: @n) { title, author { name } }"
WORKED_PARAMS = {"c": {"status": "published"}, "s": {"createdAt": -1}, "n": 10}


def test_worked_example(blog):
    out = blog.build_pipeline(WORKED, WORKED_PARAMS)
    assert [as_text(stage) for stage in out["pipeline"]] == [
        '{"$match": {"status": "published"}}',
        '{"$lookup": {"as": "author", "from": "users", "let": {"rel_authorId": {"$ifNull": ["$authorId", null]}}, '
        '"pipeline": [{"$match": {"$expr": {"$eq": ["$_id", "$$rel_authorId"]}}}, {"$project": {"_id": 1, "name": 1}}]}}',
        '{"$unwind": {"path": "$author", "preserveNullAndEmptyArrays": true}}',
        '{"$sort": {"createdAt": -1}}',
        '{"$limit": 10}',
    ]
    assert out["projection"] == {"_id": 1, "author": 1, "title": 1}
    assert list(out) == ["ast", "pipeline", "projection", "tokens"]


@pytest.mark.parametrize(
    "params, last",
    [
        (WORKED_PARAMS, {"$limit": 10}),
        ({**WORKED_PARAMS, "n": None}, {"$limit": 1000}),
        ({"c": {"status": "published"}, "s": {"createdAt": -1}}, {"$limit": 1000}),
    ],
)
def test_worked_example_in_text2query(t2q_blog, params, last):
    out = pipeline_of(t2q_blog, WORKED, params)
    assert out[:4] == [{"$match": {"status": "published"}}, AUTHOR_LOOKUP, AUTHOR_UNWIND, {"$sort": {"createdAt": -1}}]
    assert out[4:] == [last]


@pytest.mark.parametrize(
    "limit, standard, text2query",
    [
        (10, 10, 10),
        (5000, 5000, 1000),
        (1000, 1000, 1000),
        (12.7, 12.7, 12),
        (2.9, 2.9, 2),
        (-0.5, -0.5, 0),
        (0, 0, 0),
        ("10", "10", 1000),
        (True, True, 1000),
        ([5], [5], 1000),
        (None, None, 1000),
        # Non-finite floats reach the core as null.
        (float("nan"), None, 1000),
        (float("-inf"), None, 1000),
    ],
)
def test_root_limit_rules(blog, t2q_blog, limit, standard, text2query):
    gql = "Post($limit: @n) { title }"
    std = pipeline_of(blog, gql, {"n": limit})
    if standard is None:
        assert std == []
    else:
        assert std == [{"$limit": standard}]
    got = pipeline_of(t2q_blog, gql, {"n": limit})
    assert got == [{"$limit": text2query}]
    # The forced limit is an integer, never 12.0.
    assert type(got[0]["$limit"]) is int


@pytest.mark.parametrize("limit", [-3, -2.5, -(2**63)])
def test_negative_root_limit_is_refused_in_text2query(blog, t2q_blog, limit):
    # SQLite reads a negative LIMIT as no limit at all, which would lift the
    # profile's cap; the standard profile passes the value on unchanged.
    assert pipeline_of(blog, "Post($limit: @n)", {"n": limit}) == [{"$limit": limit}]
    with pytest.raises(RuntimeError) as e:
        pipeline_of(t2q_blog, "Post($limit: @n)", {"n": limit})
    assert str(e.value) == (
        f"ERR_TEXT2QUERY:text2query 档 $limit 不能为负数（实际 {limit}）：负数在部分后端等于不设上限，拒绝放行"
    )


def test_t2q_limit_without_argument(t2q_blog):
    assert pipeline_of(t2q_blog, "Post { title }") == [{"$limit": 1000}]


@pytest.mark.parametrize(
    "gql, params",
    [
        ("Post { title }", {}),
        ("Post", {}),
        ("Post($condition: @c, $sort: @s, $skip: @k, $limit: @n) { title }", {}),
        ("Post($condition: @c, $sort: @s, $skip: @k, $limit: @n) { title }", {"c": None, "s": None, "k": None, "n": None}),
        ("Post($condition: c) { title }", {"c": {"a": 1}}),  # "c" looks up "" (first character dropped)
        ("Post($condition: @c, $having: @h, $group: @g) { title }", {"h": None, "g": None}),
    ],
)
def test_unset_arguments_add_no_stage(blog, gql, params):
    assert pipeline_of(blog, gql, params) == []


def test_identifier_value_drops_its_first_character(blog):
    assert pipeline_of(blog, "Post($limit: xn)", {"n": 4}) == [{"$limit": 4}]


def test_ordering_follows_lookups_whatever_the_text_order(blog):
    gql = "Post($limit: @n, $skip: @k, $sort: @s) { comments { body }, title }"
    out = pipeline_of(blog, gql, {"n": 5, "k": 0, "s": {"title": 1}})
    assert [next(iter(s)) for s in out] == ["$lookup", "$sort", "$skip", "$limit"]
    assert out[1:] == [{"$sort": {"title": 1}}, {"$skip": 0}, {"$limit": 5}]


def test_sort_skip_limit_values_are_copied_unchanged(blog):
    out = pipeline_of(blog, "Post($sort: @s, $skip: @k, $limit: @n)", {"s": "weird", "k": "7", "n": {"x": 1}})
    assert out == [{"$sort": "weird"}, {"$skip": "7"}, {"$limit": {"x": 1}}]


def test_to_one_lookup_is_unwound_and_to_many_is_not(blog):
    out = pipeline_of(blog, "Post { comments(), author() }")
    assert [next(iter(s)) for s in out] == ["$lookup", "$lookup", "$unwind"]
    assert [s["$lookup"]["as"] for s in out if "$lookup" in s] == ["comments", "author"]
    assert out[2] == {"$unwind": {"path": "$author", "preserveNullAndEmptyArrays": True}}


def test_params_that_are_not_an_object_count_as_empty(blog):
    assert pipeline_of(blog, "Post($limit: @n)", [1, 2]) == []
    assert pipeline_of(blog, "Post($limit: @n)", "n") == []


def test_object_field_selection_is_flattened(blog):
    out = blog.build_pipeline("User { name, address { city, zip }, posts { title } }")
    # The returned AST is the one parsed, before flattening.
    assert out["ast"]["relations"]["address"] == {"fields": ["city", "zip"], "params": {}, "relations": {}}
    assert [s["$lookup"]["as"] for s in out["pipeline"]] == ["posts"]
    assert out["projection"] == {"_id": 1, "address.city": 1, "address.zip": 1, "name": 1, "posts": 1}


def test_object_field_without_declared_subfields_is_a_relation_selection(reg):
    reg.register({"name": "A", "fields": {"blob": "object"}})
    with pytest.raises(RuntimeError, match='^关系 "blob" 未在 schema "A" 中定义$'):
        reg.build_pipeline("A { blob { x } }")


# Pass-through pipelines.

PT = "Post($pipeline: @p, $condition: @c, $sort: @s, $skip: @k, $limit: @n) { title }"


@pytest.mark.parametrize(
    "params, expected",
    [
        (
            {"p": [{"$match": {"a": 1}}, {"$limit": 5}], "n": 3, "c": {"b": 2}},
            [{"$match": {"b": 2}}, {"$limit": 3}],
        ),
        ({"p": [], "c": {"b": 2}}, [{"$match": {"b": 2}}]),
        (
            {"p": [{"$limit": 5}, {"$sort": {"x": 1}}, {"$sort": {"y": 1}}], "s": {"z": -1}, "k": 4},
            [{"$limit": 5}, {"$sort": {"z": -1}}, {"$sort": {"y": 1}}, {"$skip": 4}],
        ),
        # Stages are copied unchanged, whatever they hold.
        ({"p": [1, "x", {"$group": {"_id": "$a"}}]}, [1, "x", {"$group": {"_id": "$a"}}]),
        (
            {"p": [{"$project": {"a": 1}, "$match": {"q": 1}}], "c": {"b": 2}},
            [{"$match": {"b": 2}}],
        ),
    ],
)
def test_pass_through(blog, params, expected):
    assert pipeline_of(blog, PT, params) == expected


def test_pass_through_ignores_group_having_and_relation_predicates(blog):
    gql = "Post($pipeline: @p, $group: @g, $having: @h, $condition: @c)"
    params = {"p": [], "g": {"by": ["status"]}, "h": {"n": 1}, "c": {"comments": {"$exists": True}}}
    assert pipeline_of(blog, gql, params) == [{"$match": {"comments": {"$exists": True}}}]


def test_pass_through_checks_the_condition(blog):
    with pytest.raises(RuntimeError, match=r"^\$or 逻辑组为空"):
        pipeline_of(blog, PT, {"p": [], "c": {"$or": []}})


def test_pipeline_argument_that_is_not_an_array_is_ignored(blog):
    assert pipeline_of(blog, PT, {"p": {"$match": {}}, "n": 2}) == [{"$limit": 2}]
    assert pipeline_of(blog, PT, {"p": None, "n": 2}) == [{"$limit": 2}]


def test_pass_through_refuses_relation_selections(blog):
    with pytest.raises(RuntimeError) as e:
        pipeline_of(blog, "Post($pipeline: @p) { title, meta { lang }, comments { body } }", {"p": []})
    assert str(e.value) == "`$pipeline` 直通模式不支持关系字段 [comments]（自定义 pipeline 与关系下推不能并用）"


def test_pass_through_flattens_object_fields_first(blog):
    out = blog.build_pipeline("Post($pipeline: @p) { title, meta { lang } }", {"p": [{"$limit": 1}]})
    assert out["pipeline"] == [{"$limit": 1}]
    assert out["projection"] == {"_id": 1, "meta.lang": 1, "title": 1}


def test_pass_through_is_refused_in_text2query(t2q_blog):
    with pytest.raises(RuntimeError) as e:
        pipeline_of(t2q_blog, "Post($pipeline: @p) { title }", {"p": []})
    assert str(e.value) == "ERR_TEXT2QUERY:text2query 档禁用 [$pipeline 直通]（功能收缩）"


# Errors, in the order they arise.

GROUP_UNAVAILABLE = "$group 分组查询暂未支持（分组管线尚未接入）——拒绝静默降级"
RELPRED_UNAVAILABLE = "$condition 含关系聚合谓词，暂未支持（关系过滤规划尚未接入）——拒绝静默透传"
HAVING = "$having 需要与 $group 同时使用（无 $group 时没有分组结果可过滤）"


@pytest.mark.parametrize(
    "gql, params, message",
    [
        ("Nobody { a }", {}, "Schema 未注册: Nobody"),
        ("Post($having: @h)", {"h": {"n": 1}}, HAVING),
        ("Post($having: @h, $sort: @s) { nope { x } }", {"h": {"n": 1}, "s": {"a": 1}}, HAVING),
        ("Post($group: @g, $having: @h)", {"g": {"by": ["status"]}, "h": {"n": 1}}, GROUP_UNAVAILABLE),
        ("Post($group: @g)", {"g": {"by": ["status"]}}, GROUP_UNAVAILABLE),
        # A relation predicate is found before the group is looked at.
        ("Post($group: @g, $condition: @c)", {"g": {}, "c": {"comments": {"$exists": True}}}, RELPRED_UNAVAILABLE),
        ("Post($condition: @c)", {"c": {"$or": [{"author": {"$exists": True}}]}}, RELPRED_UNAVAILABLE),
        # Condition content before having; shape before content.
        ("Post($condition: @c, $having: @h)", {"c": {"$and": []}, "h": 1},
         "$and 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）"),
        ("Post($condition: @c)", {"c": {"tagIds.0": 1, "$where": "x"}},
         '数组字段索引路径 "tagIds.0" 不支持过滤条件（各后端数组索引语义不一致；请改用整值过滤或对象点号路径）'),
        ("Post($condition: @c)", {"c": {"x": {"$function": {}}}},
         "条件包含被拒绝的操作符 $function（服务端执行类，命中拒绝名单）：请改用结构化条件"),
        ("Post { title, nope { x } }", {}, '关系 "nope" 未在 schema "Post" 中定义'),
        ("Post { comments { body }, nope() }", {}, '关系 "nope" 未在 schema "Post" 中定义'),
        ("Post { comments { body, author { name } } }", {}, '关系 "author" 未在 schema "Comment" 中定义'),
    ],
)
def test_errors(blog, gql, params, message):
    with pytest.raises(RuntimeError) as e:
        pipeline_of(blog, gql, params)
    assert str(e.value) == message


def test_relation_to_unregistered_model(reg):
    reg.register({"name": "A", "relations": {"ghost": {"model": "Ghost"}}})
    with pytest.raises(RuntimeError, match="^Schema 未注册: Ghost$"):
        reg.build_pipeline("A { ghost { x } }")


@pytest.mark.parametrize(
    "gql, params, message",
    [
        ("Post($condition: @c)", {"c": {"tagIds": "t1"}},
         'ERR_TEXT2QUERY:text2query 档功能收缩 [U1 数组字段条件]：数组字段 "tagIds" 不支持过滤条件（U1/D2）'),
        ("Post($sort: @s)", {"s": {"meta.lang": 1}},
         'ERR_TEXT2QUERY:text2query 档功能收缩 [U4 对象点号路径排序]：对象点号路径 "meta.lang" 不支持排序（U4/D2）'),
    ],
)
def test_shape_refusals_in_text2query(blog, t2q_blog, gql, params, message):
    pipeline_of(blog, gql, params)  # accepted in the standard profile
    with pytest.raises(RuntimeError) as e:
        pipeline_of(t2q_blog, gql, params)
    assert str(e.value) == message


def test_errors_leave_no_partial_result(blog):
    # The builder is stateless: a failing call changes nothing for the next.
    with pytest.raises(RuntimeError):
        pipeline_of(blog, "Post { comments { body }, nope() }")
    assert pipeline_of(blog, "Post { title }") == []


# Aggregate computed fields at the root.

POST_COUNT_LOOKUP = {
    "$lookup": {
        "as": "_postCount",
        "from": "posts",
        "let": {"aggv": {"$ifNull": ["$_id", None]}},
        "pipeline": [{"$match": {"$expr": {"$eq": ["$authorId", "$$aggv"]}}}],
    }
}
POST_COUNT_FIELDS = {"$addFields": {"postCount": {"$size": {"$ifNull": ["$_postCount", []]}}}}


def test_aggregate_compute_worked_example(blog):
    assert [as_text(s) for s in pipeline_of(blog, "User { name, postCount }")] == [
        '{"$lookup": {"as": "_postCount", "from": "posts", "let": {"aggv": {"$ifNull": ["$_id", null]}}, '
        '"pipeline": [{"$match": {"$expr": {"$eq": ["$authorId", "$$aggv"]}}}]}}',
        '{"$addFields": {"postCount": {"$size": {"$ifNull": ["$_postCount", []]}}}}',
    ]


@pytest.mark.parametrize("fields", ["postCount.x", "name, postCount, postCount"])
def test_aggregate_compute_selected_by_name_or_path(blog, fields):
    assert pipeline_of(blog, f"User {{ {fields} }}") == [POST_COUNT_LOOKUP, POST_COUNT_FIELDS]


@pytest.mark.parametrize("fields", ["name", "postCounts", "posts.postCount", "greeting"])
def test_unselected_aggregate_compute_adds_nothing(blog, fields):
    assert pipeline_of(blog, f"User {{ {fields} }}") == []


def test_aggregate_stages_come_last(blog, t2q_blog):
    gql = "User($condition: @c, $limit: @n) { postCount, posts { title } }"
    out = pipeline_of(blog, gql, {"c": {"age": 3}, "n": 2})
    assert [next(iter(s)) for s in out] == ["$match", "$lookup", "$limit", "$lookup", "$addFields"]
    assert out[-2:] == [POST_COUNT_LOOKUP, POST_COUNT_FIELDS]
    out = pipeline_of(t2q_blog, "User { postCount }")
    assert out == [{"$limit": 1000}, POST_COUNT_LOOKUP, POST_COUNT_FIELDS]

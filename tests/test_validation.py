"""Condition and sort validation, seen through build_pipeline.

Conditions pass the shape check (array/object field paths) and then the
condition check (empty logical groups, server-side code operators); sorts pass
the sort-shape check. Some shapes are refused only in the text2query profile.
"""

import pytest

ITEM = {
    "name": "Item",
    "timestamps": False,
    "fields": {
        "name": "string",
        "tags": {"type": "array"},
        "addr": {"type": "object"},
        "n": "int",
    },
    "relations": {"owner": {"model": "Item", "type": "one", "localField": "ownerId", "foreignField": "_id"}},
}

Q_COND = "Item($condition: @c) { name }"
Q_SORT = "Item($sort: @s) { name }"

EMPTY_GROUP = "{} 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）"
DENIED = "条件包含被拒绝的操作符 {}（服务端执行类，命中拒绝名单）：请改用结构化条件"
ARRAY_INDEX = '数组字段索引路径 "{}" 不支持过滤条件（各后端数组索引语义不一致；请改用整值过滤或对象点号路径）'
T2Q = "ERR_TEXT2QUERY:text2query 档功能收缩 [{}]：{}"


def t2q_array(key):
    return T2Q.format("U1 数组字段条件", f'数组字段 "{key}" 不支持过滤条件（U1/D2）')


def t2q_object(key):
    return T2Q.format("U2 对象字段条件", f'对象字段 "{key}" 不支持过滤条件（U2/D2）')


def t2q_object_path(key):
    return T2Q.format("U3 对象点号路径条件", f'对象点号路径 "{key}" 不支持过滤条件（U3/D2）')


def t2q_sort(key):
    return T2Q.format("U4 对象点号路径排序", f'对象点号路径 "{key}" 不支持排序（U4/D2）')


@pytest.fixture
def items(reg):
    reg.register(ITEM)
    return reg


def pipeline_of(reg, gql, params):
    return reg.build_pipeline(gql, params)["pipeline"]


def with_t2q_limit(stages, profile):
    return stages + [{"$limit": 1000}] if profile == "text2query" else stages


REFUSED_CONDITIONS = [
    # (condition, message in the standard profile, message in text2query; None = accepted)
    ({"$or": []}, EMPTY_GROUP.format("$or"), EMPTY_GROUP.format("$or")),
    ({"n": 1, "$and": [{"$nor": []}]}, EMPTY_GROUP.format("$nor"), EMPTY_GROUP.format("$nor")),
    ({"name": {"$not": {"$elemMatch": {"x": {"$where": "sleep(1)"}}}}}, DENIED.format("$where"),
     DENIED.format("$where")),
    ({"$expr": {"$function": {"body": "f", "args": [], "lang": "js"}}}, DENIED.format("$function"),
     DENIED.format("$function")),
    ({"$or": [{"n": [{"$accumulator": {}}]}]}, DENIED.format("$accumulator"), DENIED.format("$accumulator")),
    # array index paths are refused in every profile, also inside logical groups
    ({"tags.0": "a"}, ARRAY_INDEX.format("tags.0"), ARRAY_INDEX.format("tags.0")),
    ({"$or": [{"n": 1}, {"$and": [{"tags.1.x": 1}]}]}, ARRAY_INDEX.format("tags.1.x"), ARRAY_INDEX.format("tags.1.x")),
    # the shape check runs first: "$where" sorts before "tags.0" but is reported second
    ({"$where": "x", "tags.0": 1}, ARRAY_INDEX.format("tags.0"), ARRAY_INDEX.format("tags.0")),
    # whole array and object fields, and object paths: text2query only
    ({"tags": {"$in": ["a", "b"]}}, None, t2q_array("tags")),
    ({"addr": {"city": "x"}}, None, t2q_object("addr")),
    ({"addr.city": "x"}, None, t2q_object_path("addr.city")),
    ({"$nor": [{"n": 1}, {"addr.city.zip": 1}]}, None, t2q_object_path("addr.city.zip")),
    # keys are visited in byte order: "addr" before "tags"
    ({"tags": 1, "addr": 1}, None, t2q_object("addr")),
]


@pytest.mark.parametrize("profile", ["standard", "text2query"])
@pytest.mark.parametrize("condition, standard, text2query", REFUSED_CONDITIONS)
def test_condition_validation(items, profile, condition, standard, text2query):
    items.set_profile(profile)
    message = standard if profile == "standard" else text2query
    if message is None:
        assert pipeline_of(items, Q_COND, {"c": condition}) == with_t2q_limit([{"$match": condition}], profile)
        return
    with pytest.raises(RuntimeError) as e:
        items.build_pipeline(Q_COND, {"c": condition})
    assert str(e.value) == message


ACCEPTED_CONDITIONS = [
    {"$or": [{}]},
    {"where": 1, "function": {"accumulator": 2}},
    # undeclared roots, operators and scalar fields are not shape-checked
    {"ghost.x": 1, "ghost": {"$gt": 1}},
    {"$expr": {"$eq": ["$n", 1]}},
    {"n": {"$in": [1, 2]}, "name.first": "x"},
    # operators below a field are the field's own business
    {"$and": [{"n": {"$elemMatch": {"tags.0": 1}}}]},
    # a non-array group value is left to the database
    {"$and": {"n": 1}},
]


@pytest.mark.parametrize("profile", ["standard", "text2query"])
@pytest.mark.parametrize("condition", ACCEPTED_CONDITIONS)
def test_conditions_accepted_in_every_profile(items, profile, condition):
    items.set_profile(profile)
    assert pipeline_of(items, Q_COND, {"c": condition}) == with_t2q_limit([{"$match": condition}], profile)


@pytest.mark.parametrize(
    "sort, text2query",
    [
        ({"addr.city": 1}, t2q_sort("addr.city")),
        ({"n": 1, "addr.geo.lat": -1}, t2q_sort("addr.geo.lat")),
        # whole object fields, arrays, scalars and undeclared paths sort everywhere
        ({"addr": 1}, None),
        ({"tags.0": 1, "name": -1}, None),
        ({"ghost.x": 1}, None),
        ({"name.first": 1}, None),
    ],
)
def test_sort_validation(items, sort, text2query):
    assert pipeline_of(items, Q_SORT, {"s": sort}) == [{"$sort": sort}]
    items.set_profile("text2query")
    if text2query is None:
        assert pipeline_of(items, Q_SORT, {"s": sort}) == [{"$sort": sort}, {"$limit": 1000}]
        return
    with pytest.raises(RuntimeError) as e:
        items.build_pipeline(Q_SORT, {"s": sort})
    assert str(e.value) == text2query


def test_pass_through_pipeline_validates_only_the_condition(items):
    gql = "Item($pipeline: @p, $condition: @c) { name }"
    with pytest.raises(RuntimeError) as e:
        items.build_pipeline(gql, {"p": [], "c": {"$and": []}})
    assert str(e.value) == EMPTY_GROUP.format("$and")
    # shapes are not checked in pass-through mode
    assert pipeline_of(items, gql, {"p": [], "c": {"tags.0": 1}}) == [{"$match": {"tags.0": 1}}]

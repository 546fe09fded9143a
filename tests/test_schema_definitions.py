"""Schema definitions: what a definition becomes, and every rejection.

What a definition becomes is observed through the permission queries (field,
relation and compute names) and through the registry itself."""

import pytest

import kelvara_py

CTX = {"role": "r"}


def fields_of(reg, defn):
    reg.register(defn)
    return reg.readable_fields(defn["name"], CTX)


@pytest.mark.parametrize(
    "timestamps, extra",
    [
        (None, ["createdAt", "updatedAt"]),
        (True, ["createdAt", "updatedAt"]),
        ("ms", ["createdAt", "updatedAt"]),
        ("s", ["createdAt", "updatedAt"]),
        (False, []),
    ],
)
def test_timestamp_fields(reg, timestamps, extra):
    defn = {"name": "M", "fields": {"a": "string"}}
    if timestamps is not None:
        defn["timestamps"] = timestamps
    assert fields_of(reg, defn) == sorted(["a", *extra])


def test_declared_timestamp_field_keeps_its_declaration(reg):
    reg.register({"name": "M", "fields": {"createdAt": {"type": "date", "read": ["admin"]}}})
    assert reg.readable_fields("M", CTX) == ["updatedAt"]


@pytest.mark.parametrize(
    "value, shown",
    [
        ("sec", '"sec"'),
        ("MS", '"MS"'),
        ('a"b', '"a\\"b"'),
        (1, "1"),
        (0, "0"),
        (1.5, "1.5"),
        (["ms"], '["ms"]'),
        ({"unit": "s"}, '{"unit":"s"}'),
    ],
)
def test_bad_timestamps_are_rejected_with_the_value_as_json(reg, value, shown):
    with pytest.raises(RuntimeError) as err:
        reg.register({"name": "M", "timestamps": value})
    assert str(err.value) == f"timestamps 仅支持 true/false/'ms'/'s'，实际 {shown}"
    assert reg.list() == []


@pytest.mark.parametrize("spec", [None, True, 3, [], ["string"]])
def test_field_spec_must_be_string_or_object(reg, spec):
    with pytest.raises(RuntimeError) as err:
        reg.register({"name": "M", "fields": {"f": spec}})
    assert str(err.value) == "字段 f 定义类型非法（须为类型字符串或对象）"


def test_first_bad_field_in_byte_order_is_reported(reg):
    with pytest.raises(RuntimeError, match="字段 B 定义类型非法"):
        reg.register({"name": "M", "fields": {"z": 1, "a": "string", "B": None}})


def test_unknown_strategy_is_rejected_and_autoincrement_accepted_anywhere(reg):
    with pytest.raises(RuntimeError) as err:
        reg.register({"name": "M", "fields": {"_id": {"type": "int", "strategy": "uuid"}}})
    assert str(err.value) == '字段 _id 的 strategy "uuid" 非法（仅支持 "autoincrement"，且仅限 _id 字段）'
    reg.register({"name": "M", "fields": {"n": {"type": "int", "strategy": "autoincrement"}, "k": {"strategy": 7}}})
    assert reg.has("M")


def test_lenient_parsing_ignores_unknown_and_mistyped_keys(reg):
    reg.register(
        {
            "name": "M",
            "whatever": [1, 2],
            "fields": {"a": {"type": 5, "required": 1, "default": None, "fields": 0, "extra": True}},
            "relations": "not an object",
            "computes": [],
            "read": "admin",
            "indexes": {"x": 1},
            "datasource": "",
            "namespace": 3,
        }
    )
    # "read" that is not an array means no allow-list: readable under the open policy.
    assert reg.can_read("M", {"role": "nobody"}) is True
    assert reg.readable_fields("M", CTX) == ["a", "createdAt", "updatedAt"]


def test_role_lists_keep_only_strings(reg):
    reg.register({"name": "M", "read": ["r", 1, None], "fields": {"f": {"type": "string", "read": []}}})
    assert reg.can_read("M", {"role": "r"}) is True
    assert reg.can_read("M", {"role": "x"}) is False
    reg.set_unconfigured_policy("closed")
    # An empty field read list falls back to the unconfigured policy.
    assert "f" not in reg.readable_fields("M", {"role": "r"})


def test_relations_and_computes_are_parsed(reg):
    reg.register(
        {
            "name": "Course",
            "relations": {"lessons": {"model": "Lesson"}, "odd": None, "tutor": "Teacher"},
            "computes": {"b": {"fn": "yes"}, "a": None, "total": {"agg": {"$count": "lessons"}}},
        }
    )
    assert reg.readable_relations("Course", CTX) == ["lessons", "odd", "tutor"]
    assert reg.readable_computes("Course", CTX) == ["a", "b", "total"]


AGG_CASES = [
    ({"agg": {"$sum": "lessons.duration"}}, None),
    ({"agg": {"$count": "lessons"}}, None),
    ({"agg": {"$avg": "lessons.x"}, "fn": False}, None),
    ({"agg": False, "fn": True}, None),
    ({"agg": 0, "asyncFn": True}, None),
    ({"agg": "", "fn": True}, None),
    ({"agg": {"$count": "lessons"}, "fn": True}, '计算列 "c" 不能同时声明 agg 与 fn/asyncFn（二选一）'),
    ({"agg": {"$count": "lessons"}, "asyncFn": "y"}, '计算列 "c" 不能同时声明 agg 与 fn/asyncFn（二选一）'),
    ({"agg": "lessons"}, '计算列 "c" 的 agg 必须是对象，如 {"$count": "lessons"}'),
    ({"agg": ["$count"]}, '计算列 "c" 的 agg 必须是对象，如 {"$count": "lessons"}'),
    ({"agg": {}}, '计算列 "c" 的 agg 必须且只能声明一个算子键'),
    ({"agg": {"$count": "lessons", "$sum": "lessons.d"}}, '计算列 "c" 的 agg 必须且只能声明一个算子键'),
    ({"agg": {"$median": "lessons.d"}}, '计算列 "c" 的 agg 算子 $median 不在白名单（$count/$sum/$avg/$min/$max）'),
    ({"agg": {"$count": 1}}, '计算列 "c" 的 agg 取值必须是关系路径字符串（如 "lessons" / "lessons.duration"）'),
    ({"agg": {"$count": ""}}, '计算列 "c" 的 agg 取值必须是关系路径字符串（如 "lessons" / "lessons.duration"）'),
    ({"agg": {"$count": "*"}}, '计算列 "c" 的 agg 取值必须是关系路径字符串（如 "lessons" / "lessons.duration"）'),
    ({"agg": {"$count": "nosuch"}}, '计算列 "c" 的 agg 引用的关系 "nosuch" 未在 schema 中定义'),
    ({"agg": {"$sum": "nosuch.d"}}, '计算列 "c" 的 agg 引用的关系 "nosuch" 未在 schema 中定义'),
    ({"agg": {"$sum": "lessons.a.b"}}, '计算列 "c" 的 agg 关系路径 "lessons.a.b" 非法：仅支持单级「关系.字段」（二级路径首批不支持）'),
    ({"agg": {"$sum": "lessons."}}, '计算列 "c" 的 agg 关系路径 "lessons." 非法：仅支持单级「关系.字段」（二级路径首批不支持）'),
    ({"agg": {"$count": "lessons.duration"}}, '计算列 "c" 的 $count 仅支持关系整行计数（如 "lessons"），按字段计数待 P5'),
    ({"agg": {"$sum": "lessons"}}, '计算列 "c" 的 agg 算子 $sum 必须引用关系字段（如 "lessons.duration"）'),
]


@pytest.mark.parametrize("spec, message", AGG_CASES)
def test_aggregate_computes(reg, spec, message):
    defn = {"name": "Course", "relations": {"lessons": {"model": "Lesson"}}, "computes": {"c": spec}}
    if message is None:
        reg.register(defn)
        assert reg.has("Course")
    else:
        with pytest.raises(RuntimeError) as err:
            reg.register(defn)
        assert str(err.value) == message
        assert reg.list() == []


def test_timestamps_are_checked_before_fields_and_fields_before_computes(reg):
    with pytest.raises(RuntimeError, match="timestamps"):
        reg.register({"name": "M", "timestamps": "x", "fields": {"f": 1}})
    with pytest.raises(RuntimeError, match="字段 f"):
        reg.register({"name": "M", "fields": {"f": 1}, "computes": {"c": {"agg": {}}}})

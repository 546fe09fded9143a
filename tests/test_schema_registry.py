"""The schema registry: registration, archive models, locations and the
meta-policy gate."""

import pytest

import kelvara_py

SYSTEM = kelvara_py.system_context()


def test_register_adds_model_and_archive(reg):
    reg.register({"name": "P"})
    assert reg.list() == ["P", "PDeleted"]
    assert reg.has("P") and reg.has("PDeleted")
    assert not reg.has("p")


def test_registering_again_replaces_and_appends_names(reg):
    reg.register({"name": "P", "fields": {"a": "string"}})
    reg.register({"name": "P", "fields": {"b": "string"}})
    assert reg.list() == ["P", "PDeleted", "P", "PDeleted"]
    assert reg.readable_fields("P", {}) == ["b", "createdAt", "updatedAt"]


@pytest.mark.parametrize(
    "defn, archived",
    [
        ({"name": "TrashDeleted"}, False),
        ({"name": "A", "_isArchive": True}, False),
        ({"name": "A", "_isArchive": "yes"}, False),
        ({"name": "A", "_isArchive": 0}, True),
        ({"name": "A", "_isArchive": False}, True),
        ({"name": "Deleted"}, False),
        ({"name": "deleted"}, True),
    ],
)
def test_which_definitions_get_an_archive(reg, defn, archived):
    reg.register(defn)
    assert reg.list() == ([defn["name"], defn["name"] + "Deleted"] if archived else [defn["name"]])


def test_archive_model_shape(reg):
    reg.register(
        {
            "name": "P",
            "collection": "posts",
            "timestamps": False,
            "read": ["admin"],
            "fields": {"_id": {"type": "int", "strategy": "autoincrement"}, "deletedAt": "string", "t": "string"},
            "relations": {"author": {"model": "U"}},
            "computes": {"c": {"fn": True}},
        }
    )
    ctx = {"role": "someone"}
    # No read list, relations or computes; timestamps always on; deletedAt a number field.
    assert reg.can_read("PDeleted", ctx) is True
    assert reg.readable_fields("PDeleted", ctx) == ["_id", "createdAt", "deletedAt", "t", "updatedAt"]
    assert reg.readable_relations("PDeleted", ctx) == []
    assert reg.readable_computes("PDeleted", ctx) == []
    # The archive lives at "{collection}_deleted": that location is now taken.
    with pytest.raises(RuntimeError, match=r"\(default, None, posts_deleted\) 已被 schema `PDeleted`"):
        reg.register({"name": "Other", "collection": "posts_deleted"})


@pytest.mark.parametrize(
    "defn, message",
    [
        ([{"name": "P"}], "schema 定义必须是对象"),
        ("P", "schema 定义必须是对象"),
        (None, "schema 定义必须是对象"),
        ({"collection": "p"}, "schema 缺少 name"),
        ({"name": 5}, "schema 缺少 name"),
        ({"name": None}, "schema 缺少 name"),
    ],
)
def test_malformed_definitions(reg, defn, message):
    reg.set_meta_policy(True, [])
    with pytest.raises(RuntimeError) as err:
        reg.register(defn)
    assert str(err.value) == message
    assert reg.list() == []


def test_empty_name_is_a_name(reg):
    reg.register({"name": ""})
    assert reg.list() == ["", "Deleted"]


LOCATION_CASES = [
    # (first, second, conflict)
    ({"name": "A", "collection": "c"}, {"name": "B", "collection": "c"}, True),
    ({"name": "A", "collection": "c", "namespace": "t1"}, {"name": "B", "collection": "c", "namespace": "t2"}, False),
    ({"name": "A", "collection": "c", "namespace": "t1"}, {"name": "B", "collection": "c"}, False),
    ({"name": "A", "collection": "c", "namespace": "t1"}, {"name": "B", "collection": "c", "namespace": "t1"}, True),
    ({"name": "A", "collection": "c", "namespace": ""}, {"name": "B", "collection": "c"}, True),
    ({"name": "A", "collection": "c", "datasource": "default"}, {"name": "B", "collection": "c"}, True),
    ({"name": "A", "collection": "c", "datasource": "pg"}, {"name": "B", "collection": "c"}, False),
    ({"name": "c"}, {"name": "B", "collection": "c"}, True),
    ({"name": "A", "collection": ""}, {"name": "B", "collection": "A"}, True),
]


@pytest.mark.parametrize("first, second, conflict", LOCATION_CASES)
def test_location_conflicts(reg, first, second, conflict):
    reg.register(first)
    if not conflict:
        reg.register(second)
        assert reg.has(second["name"])
        return
    with pytest.raises(RuntimeError) as err:
        reg.register(second)
    assert str(err.value).startswith("定位三元组冲突: (")
    assert f"已被 schema `{first['name']}`" in str(err.value)
    assert not reg.has(second["name"])
    assert reg.list() == [first["name"], first["name"] + "Deleted"]


def test_location_message_renders_namespace_and_other_collection(reg):
    reg.register({"name": "A", "collection": "c", "namespace": 'ten"ant', "datasource": "pg"})
    with pytest.raises(RuntimeError) as err:
        reg.register({"name": "B", "collection": "c", "namespace": 'ten"ant', "datasource": "pg"})
    assert str(err.value) == '定位三元组冲突: (pg, Some("ten\\"ant"), c) 已被 schema `A`（collection = c）占用'


def test_archive_collision_keeps_the_main_model(reg):
    reg.register({"name": "Old", "collection": "P_deleted"})
    with pytest.raises(RuntimeError) as err:
        reg.register({"name": "P"})
    assert str(err.value) == "定位三元组冲突: (default, None, P_deleted) 已被 schema `Old`（collection = P_deleted）占用"
    assert reg.has("P") and not reg.has("PDeleted")
    assert reg.list() == ["Old", "OldDeleted", "P"]


@pytest.mark.parametrize(
    "ctx, allowed",
    [
        (None, False),
        ({"roles": ["editor", "R"]}, True),
        ({"role": "R"}, True),
        ({"roles": [], "role": "R"}, True),
        ({"roles": ["other"], "role": "R"}, False),
        ({"role": "other"}, False),
        ({}, False),
        ("not a ctx", False),
        (SYSTEM, True),
        ({"internal": 1}, True),
    ],
)
def test_closed_meta_policy_gate(reg, ctx, allowed):
    reg.set_meta_policy(True, ["R"])
    assert reg.can_register(ctx) is allowed
    if allowed:
        reg.register_with_ctx({"name": "P"}, ctx)
        assert reg.list() == ["P", "PDeleted"]
    else:
        with pytest.raises(RuntimeError) as err:
            reg.register_with_ctx({"name": "P"}, ctx)
        assert str(err.value) == "ERR_PERMISSION: 无权注册或覆盖定义 P"
        assert reg.list() == []


def test_register_without_context_fails_under_closed_meta_policy(reg):
    reg.set_meta_policy(True, ["R"])
    with pytest.raises(RuntimeError, match="^ERR_PERMISSION: 无权注册或覆盖定义 P$"):
        reg.register({"name": "P"})
    reg.set_meta_policy(False, [])
    assert reg.can_register(None) is True
    reg.register({"name": "P"})
    assert reg.has("P")


def test_meta_gate_runs_after_shape_checks(reg):
    reg.set_meta_policy(True, [])
    with pytest.raises(RuntimeError, match="schema 缺少 name"):
        reg.register({})

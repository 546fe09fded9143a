"""Static role rules: contexts, allow-lists, writable data and owner conditions."""

import pytest

import kelvara_py

SYSTEM = kelvara_py.system_context()


@pytest.fixture
def blog(reg):
    """A blog: posts readable by authors (their own) and editors, fields with own rules."""
    reg.set_exempt_roles(["root"])
    reg.set_deny_write_roles(["frozen"])
    reg.register(
        {
            "name": "Post",
            "read": ["creator", "editor"],
            "write": ["editor", "creator"],
            "fields": {
                "title": "string",
                "secret": {"type": "string", "read": ["editor"], "write": ["editor"]},
                "meta": {"type": "object", "write": ["intern"]},
                "views": "int",
            },
            "relations": {"author": {"model": "User", "read": ["editor"]}, "tags": {"model": "Tag"}},
            "computes": {"score": {"fn": True, "read": ["editor"]}, "len": {"fn": True}},
        }
    )
    reg.register({"name": "Open"})
    reg.register({"name": "Empty", "read": [], "write": []})
    return reg


@pytest.mark.parametrize(
    "model, ctx, read, write",
    [
        ("Post", None, True, True),
        ("Post", SYSTEM, True, True),
        ("Post", {"role": "root"}, True, True),
        ("Post", {"role": "editor"}, True, True),
        ("Post", {"userId": "u1"}, True, True),  # "creator" admits any user without a document
        ("Post", {"role": "reader"}, True, True),  # ... and without a user id too, at model level
        ("Post", {"roles": ["editor", "frozen"]}, True, False),
        ("Post", {"roles": ["root", "frozen"]}, True, False),  # deny-write wins over exempt
        ("Open", {"role": "anyone"}, True, True),
        ("Open", {}, True, True),
        ("Empty", {"role": "anyone"}, True, False),  # empty write list forbids writing
        ("Empty", {"role": "root"}, True, True),
        ("Empty", SYSTEM, True, True),
    ],
)
def test_model_level_decisions(blog, model, ctx, read, write):
    assert (blog.can_read(model, ctx), blog.can_write(model, ctx)) == (read, write)


def test_unconfigured_policy_closed(blog):
    blog.set_unconfigured_policy("closed")
    for model in ("Open", "Empty"):
        assert blog.can_read(model, {"role": "anyone"}) is False
        assert blog.can_read(model, {"role": "root"}) is True
        assert blog.can_read(model, SYSTEM) is True
        assert blog.can_read(model, None) is True


@pytest.mark.parametrize(
    "ctx, expected",
    [
        ("no ctx", True),
        ([1, 2], True),
        (7, True),
        ({}, False),
        ({"roles": [], "role": "editor"}, True),
        ({"roles": ["editor"], "role": "other"}, True),
        ({"roles": ["other"], "role": "editor"}, False),
        ({"roles": ["editor", 3]}, True),
        ({"internal": 1}, True),
        ({"internal": "yes"}, True),
        ({"internal": 0}, False),
        ({"internal": ""}, False),
    ],
)
def test_context_parsing(reg, ctx, expected):
    reg.register({"name": "M", "read": ["editor"]})
    assert reg.can_read("M", ctx) is expected


def test_empty_role_matches_an_empty_allow_list_entry(reg):
    reg.register({"name": "M", "read": [""]})
    assert reg.can_read("M", {}) is True
    assert reg.can_read("M", {"role": "x"}) is False


@pytest.mark.parametrize(
    "ctx, fields, relations, computes, writable",
    [
        (None, None, None, None, None),
        (
            {"role": "editor"},
            ["createdAt", "meta", "secret", "title", "updatedAt", "views"],
            ["author", "tags"],
            ["len", "score"],
            ["createdAt", "secret", "title", "updatedAt", "views"],
        ),
        (
            {"userId": "u1"},
            ["createdAt", "meta", "title", "updatedAt", "views"],
            ["tags"],
            ["len"],
            ["createdAt", "title", "updatedAt", "views"],
        ),
        (
            {"role": "intern"},
            ["createdAt", "meta", "title", "updatedAt", "views"],
            ["tags"],
            ["len"],
            ["createdAt", "meta", "title", "updatedAt", "views"],  # "creator" admits any context at model level
        ),
        (
            {"roles": ["editor", "frozen"]},
            ["createdAt", "meta", "secret", "title", "updatedAt", "views"],
            ["author", "tags"],
            ["len", "score"],
            ["secret"],
        ),
    ],
)
def test_readable_and_writable_sets(blog, ctx, fields, relations, computes, writable):
    assert blog.readable_fields("Post", ctx) == fields
    assert blog.readable_relations("Post", ctx) == relations
    assert blog.readable_computes("Post", ctx) == computes
    assert blog.writable_fields("Post", ctx) == writable


def test_field_write_list_admits_where_the_model_does_not(reg):
    reg.register({"name": "Locked", "write": ["editor"], "fields": {"a": "string", "b": {"type": "string", "write": ["intern"]}}})
    assert reg.can_write("Locked", {"role": "intern"}) is False
    assert reg.writable_fields("Locked", {"role": "intern"}) == ["b"]
    assert reg.filter_writable_data("Locked", {"role": "intern"}, {"_id": 9, "a": 1, "b": 2, "b.c": 3}) == {
        "_id": 9,
        "b": 2,
        "b.c": 3,
    }


def test_nothing_writable_is_an_empty_list_not_none(blog):
    assert blog.writable_fields("Empty", {"role": "x"}) == []
    assert blog.writable_fields("Empty", None) is None


def test_filter_writable_data(blog):
    data = {"_id": 1, "title": "t", "secret": "s", "meta.lang": "en", "meta": {}, "views.x": 1, "ghost": 2}
    assert blog.filter_writable_data("Post", {"userId": "u1"}, data) == {
        "_id": 1,
        "title": "t",
        "views.x": 1,
    }
    assert blog.filter_writable_data("Post", {"role": "editor"}, data) == {
        "_id": 1,
        "secret": "s",
        "title": "t",
        "views.x": 1,
    }
    assert blog.filter_writable_data("Post", None, data) == data
    assert blog.filter_writable_data("Post", {"role": "intern"}, [data]) == [data]
    assert blog.filter_writable_data("Post", {"role": "intern"}) is None


OWNER = {"createdBy": "u1"}


@pytest.mark.parametrize(
    "ctx, condition, expected",
    [
        ({"userId": "u1"}, None, OWNER),
        ({"userId": "u1"}, {"a": 1}, {"$and": [{"a": 1}, OWNER]}),
        ({"userId": "u1"}, {}, {"$and": [{}, OWNER]}),
        ({"userId": "u1"}, 0, OWNER),
        ({"userId": "u1"}, "", OWNER),
        ({"userId": "u1"}, [], {"$and": [[], OWNER]}),
        ({"userId": "u1", "role": "editor"}, {"a": 1}, {"a": 1}),
        ({"userId": ""}, {"a": 1}, {"a": 1}),
        ({"role": "x"}, None, None),
        ({"userId": "u1", "internal": True}, None, None),
        ({"userId": "u1", "role": "root"}, None, None),
        (None, {"a": 1}, {"a": 1}),
    ],
)
def test_owner_condition(blog, ctx, condition, expected):
    assert blog.merge_owner_condition("Post", ctx, condition) == expected
    assert blog.should_inject_owner("Post", ctx) is (expected is not None and expected != condition)


def test_no_owner_condition_without_creator_in_read_list(blog):
    assert blog.should_inject_owner("Open", {"userId": "u1"}) is False
    assert blog.merge_owner_condition("Open", {"userId": "u1"}) is None


def test_permission_queries_need_a_registered_model(reg):
    for call in (reg.can_read, reg.can_write, reg.readable_fields, reg.writable_fields, reg.filter_writable_data):
        with pytest.raises(RuntimeError, match="^Schema 未注册: Ghost$"):
            call("Ghost")

"""Post-processing of query results: process_node, the prepare_query /
strip_query protocol and the selection of asynchronous computes."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kelvara_py

ADMIN = {"userId": "u1", "roles": ["admin"]}
USER = {"userId": "u1", "roles": ["user"]}


@pytest.fixture
def blog(reg):
    reg.register({
        "name": "User",
        "timestamps": False,
        "fields": {
            "name": "string",
            "age": "int",
            "createdBy": "string",
            "email": {"type": "string", "read": ["admin"]},
            "secret": {"type": "string", "read": ["creator"]},
            "tags": "array",
            "profile": {"type": "object", "fields": {"lang": {"type": "string", "default": "zh"}, "size": "int"}},
            "vault": {"type": "object", "read": ["admin"], "fields": {"pin": "string"}},
        },
        "relations": {
            "posts": {"model": "Post", "foreignField": "authorId"},
            "boss": {"model": "User", "type": "one", "localField": "bossId"},
            "notes": {"model": "Post", "foreignField": "ownerId", "read": ["admin"]},
            "diary": {"model": "Post", "foreignField": "ownerId", "read": ["creator"]},
            "ghost": {"model": "Missing", "type": "one"},
        },
    })
    reg.register({
        "name": "Post",
        "timestamps": False,
        "fields": {"title": "string", "body": "string", "views": {"type": "int", "default": 7}},
        "relations": {"comments": {"model": "Comment", "foreignField": "postId"}},
    })
    reg.register({"name": "Comment", "timestamps": False, "fields": {"text": "string"}})
    return reg


def node(reg, gql, doc, ctx=None):
    return reg.process_node(gql, doc, ctx)["doc"]


@pytest.mark.parametrize(
    "gql, doc, expected",
    [
        pytest.param("User { name }", {"_id": 1, "name": "a", "age": 3}, {"_id": 1, "name": "a"},
                     id="unselected-fields-dropped"),
        pytest.param("User { name, age, extra }", {"_id": 1}, {"_id": 1, "name": "", "age": 0},
                     id="selected-fields-defaulted"),
        pytest.param("User { extra, name }", {"extra": [1], "name": None, "more": 2}, {"extra": [1], "name": ""},
                     id="undeclared-selected-member-kept"),
        pytest.param("User { posts { title } }", {"_id": 1, "name": "a", "posts": [{"_id": 5, "title": "t", "body": "b"}]},
                     {"_id": 1, "posts": [{"title": "t"}]}, id="only-id-and-relations-without-root-fields"),
        pytest.param("User { posts { _id, views } }", {"posts": [{"_id": 5}, {"_id": 6, "views": 1}, "x", None]},
                     {"posts": [{"_id": 5, "views": 7}, {"_id": 6, "views": 1}, "x", None]}, id="selected-id-kept"),
        pytest.param("User { posts { title }, boss { name } }", {"_id": 1},
                     {"_id": 1, "posts": [], "boss": None}, id="missing-relations"),
        pytest.param("User { posts { title }, boss { name } }", {"posts": None, "boss": None},
                     {"posts": [], "boss": None}, id="null-relations"),
        pytest.param("User { posts { title }, boss { name } }", {"posts": 5, "boss": "b"},
                     {"posts": 5, "boss": "b"}, id="scalar-relation-members-left-alone"),
        pytest.param("User { boss { name, boss { age } } }",
                     {"boss": {"_id": 2, "name": "n", "age": 9, "boss": {"_id": 3, "name": "x"}}},
                     {"boss": {"name": "n", "boss": {"age": 0}}}, id="to-one-relation-descended-recursively"),
        pytest.param("User { boss { name } }", {"boss": [{"_id": 2, "age": 1}]}, {"boss": [{"name": ""}]},
                     id="to-one-relation-holding-an-array"),
        pytest.param("User { posts { comments { text } } }",
                     {"posts": [{"_id": 1, "comments": [{"_id": 3, "text": "c", "x": 1}]}, {"_id": 2}]},
                     {"posts": [{"comments": [{"text": "c"}]}, {"comments": []}]}, id="two-levels"),
        pytest.param("User { tags { x } }", {"tags": [{"x": 1, "y": 2}]}, {"tags": [{"x": 1, "y": 2}]},
                     id="selection-naming-no-relation-is-kept-untouched"),
        pytest.param("User { posts() }", {"posts": [{"_id": 1, "title": "t"}]}, {"posts": [{}]},
                     id="relation-without-fields"),
        pytest.param("User { posts { title }, posts { body } }", {"posts": [{"_id": 1, "title": "t", "body": "b"}]},
                     {"posts": [{"body": "b"}]}, id="relation-selected-twice-later-wins"),
    ],
)
def test_selection_trimming_and_relation_descent(blog, gql, doc, expected):
    assert node(blog, gql, doc) == expected


@pytest.mark.parametrize(
    "gql, doc, expected",
    [
        pytest.param("User { profile.lang }", {"profile": {"lang": "en", "size": 3}, "age": 1},
                     {"profile": {"lang": "en"}}, id="sub-path-kept-alone"),
        pytest.param("User { profile { lang } }", {"profile": {"lang": "en", "size": 3}},
                     {"profile": {"lang": "en"}}, id="object-selection-is-flattened"),
        pytest.param("User { profile.lang }", {}, {"profile": {"lang": "zh"}}, id="object-and-sub-field-defaulted"),
        pytest.param("User { profile.size, profile.lang }", {"profile": {"lang": None}},
                     {"profile": {"size": 0, "lang": "zh"}}, id="null-sub-field-defaulted"),
        pytest.param("User { profile.lang }", {"profile": "flat"}, {"profile": "flat"}, id="non-object-value"),
        pytest.param("User { profile.lang, profile }", {"profile": {"lang": "en", "size": 3}},
                     {"profile": {"lang": "en", "size": 3}}, id="object-selected-whole-stays-whole"),
        pytest.param("User { profile.lang.x }", {"profile": {"lang": {"x": 1}}}, {"profile": {}},
                     id="deeper-path-matches-no-member"),
        pytest.param("User { foo.bar }", {"foo": {"bar": 1, "baz": 2}}, {"foo": {"bar": 1}},
                     id="undeclared-head"),
    ],
)
def test_dotted_paths(blog, gql, doc, expected):
    assert node(blog, gql, doc) == expected


def test_null_document_is_left_alone(blog):
    assert node(blog, "User { name, posts { title } }", None) is None


@pytest.mark.parametrize(
    "ctx, expected",
    [
        pytest.param(None, {"email": "e", "name": "n", "vault": {"pin": "1"},
                            "notes": [{"title": "t"}], "posts": []}, id="no-context"),
        pytest.param(ADMIN, {"email": "e", "name": "n", "vault": {"pin": "1"},
                             "notes": [{"title": "t"}], "posts": []}, id="admin"),
        pytest.param(kelvara_py.system_context(), {"email": "e", "name": "n", "vault": {"pin": "1"},
                                                   "notes": [{"title": "t"}], "posts": []}, id="internal"),
        pytest.param(USER, {"name": "n", "posts": []}, id="user"),
    ],
)
def test_readable_sets_trim_fields_dotted_paths_and_relations(blog, ctx, expected):
    doc = {"email": "e", "name": "n", "vault": {"pin": "1"}, "notes": [{"_id": 1, "title": "t"}]}
    gql = "User { email, name, vault.pin, posts { title }, notes { title } }"
    assert node(blog, gql, doc, ctx) == expected


def test_unreadable_relation_is_not_descended(blog):
    # Descending would have filled the missing member with [].
    assert node(blog, "User { name, notes { title } }", {"name": "n"}, USER) == {"name": "n"}
    assert node(blog, "User { name, notes { title } }", {"name": "n"}, ADMIN) == {"name": "n", "notes": []}


@pytest.mark.parametrize(
    "created_by, kept",
    [("u1", True), ("u2", False), (1, False), (None, False)],
)
def test_creator_rule_is_decided_per_document(blog, created_by, kept):
    doc = {"_id": 1, "secret": "s", "createdBy": created_by, "diary": [{"_id": 2, "title": "d"}]}
    out = node(blog, "User { secret, createdBy, diary { title } }", doc, USER)
    # A null createdBy is a missing value: it gets the string default.
    expected = {"_id": 1, "createdBy": "" if created_by is None else created_by}
    if kept:
        expected.update(secret="s", diary=[{"title": "d"}])
    assert out == expected


def test_creator_rule_needs_a_user_id(blog):
    doc = {"secret": "s", "createdBy": ""}
    assert node(blog, "User { secret }", doc, {"roles": ["user"], "userId": ""}) == {}
    assert node(blog, "User { secret }", doc) == {"secret": "s"}


def test_unregistered_relation_target_fails_when_a_document_needs_it(blog):
    assert node(blog, "User { ghost { x } }", None) is None
    with pytest.raises(RuntimeError, match="^Schema 未注册: Missing$"):
        node(blog, "User { ghost { x } }", {})
    # An unreadable relation is skipped before its target is looked up.
    blog.register({"name": "Gate", "timestamps": False,
                   "relations": {"ghost": {"model": "Missing", "read": ["admin"]}}})
    assert node(blog, "Gate { ghost { x } }", {"ghost": 1}, USER) == {}


@pytest.mark.parametrize(
    "gql, message",
    [
        ("Nope { a }", "Schema 未注册: Nope"),
        ("User {", "ERR_GQL_PARSE:期望 p(}) 但已到达末尾"),
    ],
)
def test_process_node_errors(blog, gql, message):
    with pytest.raises(RuntimeError) as info:
        node(blog, gql, {})
    assert str(info.value) == message


scalars = st.none() | st.booleans() | st.integers(-3, 3) | st.text(max_size=2)
values = st.recursive(scalars, lambda c: st.lists(c, max_size=3) | st.dictionaries(
    st.sampled_from(["_id", "title", "name", "lang", "x"]), c, max_size=3), max_leaves=6)
user_docs = st.dictionaries(st.sampled_from(["_id", "name", "age", "profile", "posts", "boss", "x"]), values, max_size=6)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(doc=user_docs)
def test_processing_keeps_only_the_selection_and_is_idempotent(blog, doc):
    gql = "User { name, profile.lang, posts { title }, boss { name, boss { _id } } }"
    once = node(blog, gql, doc)
    assert set(once) <= {"_id", "name", "profile", "posts", "boss"}
    if isinstance(once.get("profile"), dict):
        assert set(once["profile"]) == {"lang"}
    assert node(blog, gql, once) == once


def test_rbac_read_fields_narrow_fields_and_computes(reg):
    reg.register({"name": "Item", "timestamps": False, "fields": {"a": "string", "b": "string"},
                  "computes": {"c1": {"asyncFn": True}, "c2": {"asyncFn": True}, "s": {"fn": True}, "t": {"fn": True}}})
    reg.set_fn("s", lambda d: 1)
    reg.set_fn("t", lambda d: 2)
    reg.set_rbac({"grants": [{"role": "r", "model": "Item", "actions": ["read"], "readFields": ["a", "c1", "s"]}]})
    ctx = {"roles": ["r"]}
    gql = "Item { a, b, c1, c2, s, t }"
    assert node(reg, gql, {"_id": 1, "a": "x", "b": "y"}, ctx) == {"_id": 1, "a": "x", "s": 1}
    assert node(reg, gql, {"_id": 1}) == {"_id": 1, "a": "", "b": "", "s": 1, "t": 2}
    # The host adds asynchronous values after trimming: RBAC narrows the
    # list it is given in the same way.
    assert reg.async_fn_refs("Item", ctx) == ["c1"]
    assert reg.async_fn_refs("Item", {"roles": ["other"]}) == ["c1", "c2"]
    reg.set_exempt_roles(["r"])
    assert reg.async_fn_refs("Item", ctx) == ["c1", "c2"]
    assert node(reg, gql, {}, ctx) == {"a": "", "b": "", "s": 1, "t": 2}


# --- synchronous computes while post-processing ---------------------------


@pytest.fixture
def shop(reg):
    reg.register({
        "name": "Item",
        "timestamps": False,
        "fields": {"qty": {"type": "int", "default": 2}, "price": "float", "note": "string"},
        "computes": {
            "a_total": {"type": "float", "fn": True, "depends": ["qty", "price"]},
            "b_flag": {"type": "boolean", "fn": True, "read": ["admin"]},
            "c_any": {"fn": True, "fnRef": "any_fn"},
            "d_int": {"type": "int", "fn": True},
            "e_async": {"type": "int", "asyncFn": True, "fnRef": "e_ref", "depends": ["note"]},
            "f_async": {"asyncFn": True, "read": ["admin"]},
        },
        "relations": {"parts": {"model": "Part", "foreignField": "itemId"}},
    })
    reg.register({"name": "Part", "timestamps": False, "fields": {"w": "int"},
                  "computes": {"heavy": {"type": "string", "fn": True, "depends": ["w"]}}})
    return reg


def register_all(reg, calls=None):
    def rec(name, value):
        def fn(doc):
            if calls is not None:
                calls.append((name, doc))
            return value(doc) if callable(value) else value
        return fn

    reg.set_fn("a_total", rec("a_total", lambda d: d["qty"] * d["price"]))
    reg.set_fn("b_flag", rec("b_flag", None))
    reg.set_fn("any_fn", rec("any_fn", None))
    reg.set_fn("d_int", rec("d_int", None))
    reg.set_fn("heavy", rec("heavy", lambda d: "w" * d["w"]))


def test_computes_see_defaults_and_null_results_take_type_defaults(shop):
    calls = []
    register_all(shop, calls)
    out = node(shop, "Item { a_total, b_flag, c_any, d_int }", {"_id": 1, "price": 1.5, "note": "n"})
    assert out == {"_id": 1, "a_total": 3.0, "b_flag": False, "c_any": None, "d_int": 0}
    # Every synchronous compute sees the document with the dependency
    # defaults filled in, plus the earlier results.
    assert calls[0] == ("a_total", {"_id": 1, "price": 1.5, "qty": 2, "note": "n"})
    assert calls[-1] == ("d_int", {"_id": 1, "price": 1.5, "qty": 2, "note": "n",
                                   "a_total": 3.0, "b_flag": None, "c_any": None})


def test_unselected_computes_run_but_are_dropped(shop):
    calls = []
    register_all(shop, calls)
    assert node(shop, "Item { qty }", {"price": 1}) == {"qty": 2}
    assert [c[0] for c in calls] == ["a_total", "b_flag", "any_fn", "d_int"]


def test_computes_of_related_documents(shop):
    calls = []
    register_all(shop, calls)
    out = node(shop, "Item { parts { heavy } }", {"parts": [{"_id": 1, "w": 2}, {"w": None}, None]})
    assert out == {"parts": [{"heavy": "ww"}, {"heavy": ""}, None]}
    assert [c for c in calls if c[0] == "heavy"] == [("heavy", {"_id": 1, "w": 2}), ("heavy", {"w": 0})]


def test_compute_read_lists_trim_values(shop):
    register_all(shop)
    gql = "Item { b_flag, d_int }"
    assert node(shop, gql, {}, USER) == {"d_int": 0}
    assert node(shop, gql, {}, ADMIN) == {"b_flag": False, "d_int": 0}


@pytest.mark.parametrize(
    "drop, message",
    [("a_total", "计算列 a_total 未注册同步实现"), ("any_fn", "计算列 any_fn 未注册同步实现"),
     ("heavy", "计算列 heavy 未注册同步实现")],
)
def test_missing_callback(shop, drop, message):
    for name in {"a_total", "b_flag", "any_fn", "d_int", "heavy"} - {drop}:
        shop.set_fn(name, lambda d: None)
    with pytest.raises(RuntimeError) as info:
        node(shop, "Item { qty, parts { w } }", {"parts": [{}]})
    assert str(info.value) == message


def test_callback_error_surfaces(shop):
    register_all(shop)

    def boom(doc):
        raise ValueError("boom")

    shop.set_fn("d_int", boom)
    with pytest.raises(RuntimeError, match="^ValueError: boom$"):
        node(shop, "Item { qty }", {})


# --- prepare_query / strip_query -----------------------------------------


def pp(ast, inject=None):
    return {"ast": ast, "inject": inject}


def test_prepare_without_postprocess_returns_items_untouched(blog):
    items = [{"_id": 1, "junk": True}, None, 3]
    assert blog.prepare_query(None, items) == {"fnRefs": [], "items": items}


@pytest.mark.parametrize(
    "postprocess, message",
    [
        pytest.param({"inject": None}, "postprocess 缺少 ast", id="no-ast"),
        pytest.param("ast", "postprocess 缺少 ast", id="not-an-object"),
        pytest.param({"ast": 5}, "Ast 必须是对象", id="ast-not-an-object"),
        pytest.param({"ast": {"model": "User", "relations": {"posts": []}}}, "RelAst 必须是对象", id="bad-relast"),
        pytest.param({"ast": {"model": "Nope"}}, "Schema 未注册: Nope", id="unregistered-model"),
    ],
)
def test_prepare_errors(blog, postprocess, message):
    with pytest.raises(RuntimeError) as info:
        blog.prepare_query(postprocess, [])
    assert str(info.value) == message


def test_prepare_processes_every_item(blog):
    ast = {"model": "User", "fields": ["name", "secret"], "relations": {"posts": {"fields": ["title"]}}}
    items = [
        {"_id": 1, "name": "a", "secret": "s1", "createdBy": "u1", "posts": [{"_id": 9, "title": "t"}]},
        {"_id": 2, "secret": "s2", "createdBy": "u2", "age": 4},
        None,
    ]
    assert blog.prepare_query(pp(ast), items, USER) == {
        "fnRefs": [],
        "items": [
            {"_id": 1, "name": "a", "secret": "s1", "posts": [{"title": "t"}]},
            {"_id": 2, "name": "", "posts": []},
            None,
        ],
    }


def test_prepare_fails_at_the_first_failing_item(shop):
    register_all(shop)
    seen = []

    def total(doc):
        seen.append(doc["_id"])
        if doc["_id"] == 2:
            raise KeyError("price")
        return 1.0

    shop.set_fn("a_total", total)
    items = [{"_id": 1}, {"_id": 2}, {"_id": 3}]
    with pytest.raises(RuntimeError, match="^KeyError: 'price'$"):
        shop.prepare_query(pp({"model": "Item", "fields": ["qty"]}), items)
    assert seen == [1, 2]
    assert items == [{"_id": 1}, {"_id": 2}, {"_id": 3}]


@pytest.mark.parametrize("items", [None, {"_id": 1}, "x"])
def test_prepare_needs_a_list_of_items(blog, items):
    with pytest.raises(TypeError):
        blog.prepare_query(None, items)


@pytest.mark.parametrize(
    "ctx, refs",
    [(None, ["e_ref", "f_async"]), (ADMIN, ["e_ref", "f_async"]), (USER, ["e_ref"]), ({}, ["e_ref"])],
)
def test_async_fn_refs(shop, ctx, refs):
    register_all(shop)
    assert shop.async_fn_refs("Item", ctx) == refs
    assert shop.prepare_query(pp({"model": "Item"}), [], ctx) == {"fnRefs": refs, "items": []}


def test_async_fn_refs_errors_and_empty(shop):
    assert shop.async_fn_refs("Part") == []
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        shop.async_fn_refs("Nope")


def test_async_fn_refs_under_a_closed_unconfigured_policy(shop):
    shop.set_unconfigured_policy("closed")
    # e_async has no read list: only internal and exempt callers get it.
    assert shop.async_fn_refs("Item", USER) == []
    assert shop.async_fn_refs("Item", kelvara_py.system_context()) == ["e_ref", "f_async"]


@pytest.fixture
def bookshop(reg):
    reg.register({
        "name": "Book", "timestamps": False,
        "fields": {"title": "string", "price": "float",
                   "profile": {"type": "object", "fields": {"lang": "string", "size": "int"}}},
        "relations": {"author": {"model": "User", "type": "one", "localField": "authorId"}},
        "computes": {"blurb": {"type": "string", "asyncFn": True,
                               "depends": ["price", "author { name }", "profile.lang"]}},
    })
    reg.register({"name": "User", "timestamps": False, "fields": {"name": "string", "bio": "string"}})
    return reg


def blurb(item):
    author = (item["author"] or {}).get("name")
    return f"{item['title']} by {author} at {item['price']} in {item['profile']['lang']}"


def test_finalisation_protocol_end_to_end(bookshop):
    postprocess = bookshop.plan_query("Book { title, blurb }")["postprocess"]
    assert postprocess["inject"] == {"inject": {"fields": ["price", "profile.lang"], "relations": {"author": "__all__"}}}
    fetched = [
        {"_id": 1, "title": "A", "price": 10, "authorId": 5, "author": {"_id": 5, "name": "Ann", "bio": "b"},
         "profile": {"lang": "en", "size": 3}},
        {"_id": 2, "title": "B", "authorId": 6, "author": None},
    ]
    prepared = bookshop.prepare_query(postprocess, fetched)
    assert prepared == {
        "fnRefs": ["blurb"],
        "items": [
            {"_id": 1, "title": "A", "price": 10, "author": {"name": "Ann"}, "profile": {"lang": "en"}},
            {"_id": 2, "title": "B", "price": 0, "author": None, "profile": {"lang": ""}},
        ],
    }
    # Phase two is the host's: it computes the listed values itself.
    items = [{**it, "blurb": blurb(it)} for it in prepared["items"]]
    assert bookshop.strip_query(postprocess, items) == {"items": [
        {"_id": 1, "title": "A", "blurb": "A by Ann at 10 in en"},
        {"_id": 2, "title": "B", "blurb": "B by None at 0 in "},
    ]}


@pytest.mark.parametrize(
    "gql, record, item, expected",
    [
        pytest.param("Book { title, profile.size }", ["price", "profile.lang"],
                     {"title": "t", "price": 1, "profile": {"lang": "en", "size": 2}},
                     {"title": "t", "profile": {"size": 2}}, id="selected-sub-path-stays"),
        pytest.param("Book { title, profile }", ["price"],
                     {"title": "t", "price": 1, "profile": {"lang": "en", "size": 2}},
                     {"title": "t", "profile": {"lang": "en", "size": 2}}, id="object-selected-whole-is-not-injected"),
    ],
)
def test_dotted_dependencies_round_trip(bookshop, gql, record, item, expected):
    postprocess = bookshop.plan_query(gql)["postprocess"]
    assert postprocess["inject"]["inject"]["fields"] == record
    items = bookshop.prepare_query(postprocess, [item])["items"]
    assert bookshop.strip_query(postprocess, items) == {"items": [expected]}


@pytest.mark.parametrize(
    "postprocess",
    [None, pp({"model": "X"}), {"ast": {}}, {"inject": None}, "junk", {"inject": {"inject": {}}}],
)
def test_strip_query_without_a_record_leaves_items_alone(reg, postprocess):
    items = [{"_id": 1, "price": 2, "author": {}}]
    assert reg.strip_query(postprocess, items) == {"items": items}


@pytest.mark.parametrize(
    "fields, item, expected",
    [
        pytest.param(["profile.lang", "profile"], {"profile": {"lang": "zh", "size": 1}}, {"profile": {"lang": "zh"}},
                     id="injected-object-cut-back-to-the-selected-sub-path"),
        pytest.param(["profile"], {"profile": {"lang": "zh"}}, {}, id="injected-object-removed"),
        pytest.param(["title", "profile"], {"title": "t", "profile": {"lang": "zh"}}, {"title": "t"},
                     id="unrelated-selection"),
    ],
)
def test_strip_query_keeps_what_the_caller_selected(reg, fields, item, expected):
    postprocess = pp({"model": "X", "fields": fields}, {"inject": {"fields": ["profile"]}})
    assert reg.strip_query(postprocess, [item]) == {"items": [expected]}


def test_strip_query_keeps_a_selected_object_whole(reg):
    postprocess = pp({"model": "X", "fields": ["profile", "profile.lang"]}, {"inject": {"fields": ["profile.lang"]}})
    item = {"profile": {"lang": "zh", "size": 1}}
    assert reg.strip_query(postprocess, [item]) == {"items": [item]}


def test_callback_that_empties_the_input_list_does_not_break_prepare_query():
    reg = kelvara_py.Registry()
    reg.register({"name": "M", "timestamps": False, "fields": {"a": "string"}, "computes": {"c": {"fn": True}}})
    items = [{"a": "x"}, {"a": "y"}, {"a": "z"}]
    reg.set_fn("c", lambda doc: items.clear())
    out = reg.prepare_query({"ast": {"model": "M", "fields": ["a", "c"]}, "inject": None}, items)
    assert out == {"fnRefs": [], "items": [{"a": "x", "c": None}]}

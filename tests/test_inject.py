"""Dependency injection for asynchronous computed fields, and its undoing."""

import pytest

import kelvara_py


def book_world(reg, computes):
    reg.register({
        "name": "Book",
        "timestamps": False,
        "fields": {"title": "string", "price": "float", "stock": "int",
                   "profile": {"type": "object", "fields": {"lang": "string"}}},
        "relations": {
            "author": {"model": "User", "type": "one", "localField": "authorId"},
            "reviews": {"model": "Review", "foreignField": "bookId"},
        },
        "computes": computes,
    })
    reg.register({"name": "User", "timestamps": False, "fields": {"name": "string", "bio": "string"}})
    reg.register({"name": "Review", "timestamps": False, "fields": {"stars": "int", "text": "string"}})
    return reg


def rel(fields=(), relations=None, params=None):
    return {"fields": list(fields), "params": params or {}, "relations": relations or {}}


def ast(fields, relations=None, params=None):
    return {"model": "Book", **rel(fields, relations, params)}


@pytest.fixture
def books(reg):
    return book_world(reg, {"label": {"asyncFn": True, "depends": ["price", "author { name }"]}})


def test_missing_relation_is_injected_whole(books):
    assert books.inject_depends("Book { title }") == {
        "ast": ast(["title"], {"author": rel(["name"])}),
        "injectInfo": {"inject": {"relations": {"author": "__all__"}}},
        "relDeps": [{"fields": ["name"], "name": "author"}],
    }


@pytest.mark.parametrize(
    "gql, author, record",
    [
        pytest.param("Book { title, author { name } }", rel(["name"]), {}, id="already-selected"),
        pytest.param("Book { author { bio } }", rel(["bio", "name"]), {"relations": {"author": ["name"]}},
                     id="field-appended-to-selection"),
        pytest.param("Book { author($limit: @n) { bio, author { x } } }",
                     rel(["bio", "name"], {"author": rel(["x"])}, {"limit": "@n"}),
                     {"relations": {"author": ["name"]}}, id="arguments-and-nesting-kept"),
    ],
)
def test_existing_selection_gets_only_what_it_lacks(books, gql, author, record):
    out = books.inject_depends(gql)
    assert out["ast"]["relations"] == {"author": author}
    assert out["injectInfo"] == {"inject": record}


def test_dependencies_merge_over_all_async_computes(reg):
    book_world(reg, {
        # Declaration order is by name: a_first is read before b_second.
        "b_second": {"asyncFn": True, "depends": ["reviews { text, stars }", "author", "author { name }"]},
        "a_first": {"asyncFn": True, "depends": ["  reviews {stars, _id, stars}  ", "reviews"]},
        "c_sync": {"fn": True, "depends": ["author { bio }"]},
    })
    out = reg.inject_depends("Book { reviews { text } }")
    assert out == {
        "ast": ast([], {"author": rel(["name"]), "reviews": rel(["text", "stars"])}),
        "injectInfo": {"inject": {"relations": {"author": "__all__", "reviews": ["stars"]}}},
        "relDeps": [{"fields": ["stars", "text"], "name": "reviews"}, {"fields": ["name"], "name": "author"}],
    }


@pytest.mark.parametrize(
    "depends",
    [
        pytest.param(["_id", "  ", ""], id="ignored-strings"),
        pytest.param(["ghost { x }", "nosuch"], id="undeclared-relation"),
        pytest.param(["title", "price"], id="field-dependencies-only"),
    ],
)
def test_dependencies_that_add_no_relation(reg, depends):
    book_world(reg, {"x": {"asyncFn": True, "depends": depends}})
    assert reg.inject_depends("Book { title }") == {
        "ast": ast(["title"]), "injectInfo": {"inject": {}}, "relDeps": []}


def test_relation_without_particular_fields(reg):
    book_world(reg, {"x": {"asyncFn": True, "depends": ["\u3000reviews\u00a0", "author {  }", "author { _id }"]}})
    assert reg.inject_depends("Book { reviews { text } }") == {
        "ast": ast([], {"author": rel(), "reviews": rel(["text"])}),
        "injectInfo": {"inject": {"relations": {"author": "__all__"}}},
        "relDeps": [{"fields": [], "name": "reviews"}, {"fields": [], "name": "author"}],
    }


def test_schema_without_async_computes_leaves_the_ast_alone(reg):
    book_world(reg, {"s": {"fn": True, "depends": ["author { name }"]}})
    assert reg.inject_depends("Book { title, author { bio } }") == {
        "ast": ast(["title"], {"author": rel(["bio"])}), "injectInfo": {"inject": {}}, "relDeps": []}


@pytest.mark.parametrize(
    "dep, message",
    [
        ("author {", "ERR_GQL_PARSE:期望 p(}) 但已到达末尾"),
        ("{ name }", "ERR_GQL_PARSE:期望 id(undefined) 实际 p({) 位置 0"),
        ("author { posts($pipeline: @p) { x } }",
         "ERR_GQL_PARSE:关系 \"posts\" 的参数不支持 $pipeline（$pipeline 直通仅限根级 GQL）"),
    ],
)
def test_malformed_relation_dependency_fails(reg, dep, message):
    book_world(reg, {"x": {"asyncFn": True, "depends": [dep]}})
    with pytest.raises(RuntimeError) as info:
        reg.inject_depends("Book { title }")
    assert str(info.value) == message


@pytest.mark.parametrize(
    "gql, message",
    [("Nope { a }", "Schema 未注册: Nope"), ("{ a }", "ERR_GQL_PARSE:期望 id(undefined) 实际 p({) 位置 0")],
)
def test_inject_depends_query_errors(books, gql, message):
    with pytest.raises(RuntimeError) as info:
        books.inject_depends(gql)
    assert str(info.value) == message


# --- stripping --------------------------------------------------------------

ITEMS = [
    {"_id": 1, "title": "t", "price": 2.5, "author": {"name": "n", "bio": "b"},
     "reviews": [{"stars": 5, "text": "x"}, "raw", {"text": "y"}]},
    {"_id": 2, "price": 1, "author": None, "reviews": {"stars": 1, "text": "z"}},
    {"_id": 3, "author": [{"name": "a"}, 7], "reviews": "n/a"},
    "not an object",
    None,
]

RECORD = {"fields": ["price"], "relations": {"author": "__all__", "reviews": ["stars"]}}
STRIPPED = [
    {"_id": 1, "title": "t", "reviews": [{"text": "x"}, "raw", {"text": "y"}]},
    {"_id": 2, "reviews": {"text": "z"}},
    {"_id": 3, "reviews": "n/a"},
    "not an object",
    None,
]


@pytest.mark.parametrize("record", [RECORD, {"inject": RECORD}], ids=["bare", "wrapped"])
def test_strip_removes_what_was_injected(reg, record):
    assert reg.strip_dep_injected(record, ITEMS) == {"items": STRIPPED}


@pytest.mark.parametrize(
    "record, expected",
    [
        pytest.param({"relations": {"author": ["name", 3, None]}},
                     [{**ITEMS[0], "author": {"bio": "b"}}, ITEMS[1], {**ITEMS[2], "author": [{}, 7]}, *ITEMS[3:]],
                     id="non-string-field-names-skipped"),
        pytest.param({"relations": {"author": "all", "reviews": 1, "price": None}, "fields": "price"}, ITEMS,
                     id="values-of-other-kinds-skipped"),
        pytest.param({"inject": {}, "fields": ["price"]}, ITEMS, id="wrapped-form-wins"),
        pytest.param(None, ITEMS, id="null-record"),
        pytest.param([["price"]], ITEMS, id="array-record"),
    ],
)
def test_strip_reads_records_leniently(reg, record, expected):
    assert reg.strip_dep_injected(record, ITEMS) == {"items": expected}


def test_round_trip_of_the_record_from_inject_depends(books):
    info = books.inject_depends("Book { title, author { bio } }")["injectInfo"]
    items = [{"_id": 1, "title": "t", "author": {"bio": "b", "name": "n"}}]
    assert books.strip_dep_injected(info, items) == {"items": [{"_id": 1, "title": "t", "author": {"bio": "b"}}]}


@pytest.mark.parametrize(
    "item, expected",
    [
        pytest.param({"profile": {"lang": "zh"}}, {}, id="object-emptied-by-the-strip-goes"),
        pytest.param({"profile": {"lang": "zh", "x": 1}}, {"profile": {"x": 1}}, id="other-members-stay"),
        pytest.param({"profile": {}}, {"profile": {}}, id="object-that-was-already-empty-stays"),
        pytest.param({"profile.lang": 1, "profile": "s"}, {"profile": "s"}, id="literal-dotted-member"),
    ],
)
def test_strip_of_a_dotted_field(reg, item, expected):
    assert reg.strip_dep_injected({"fields": ["profile.lang"]}, [item]) == {"items": [expected]}


@pytest.mark.parametrize("items", [None, {"a": 1}, "x"])
def test_strip_needs_a_list_of_items(reg, items):
    with pytest.raises(TypeError):
        reg.strip_dep_injected(RECORD, items)


def test_strip_accepts_a_tuple_and_nothing_to_strip(reg):
    assert reg.strip_dep_injected({}, ({"price": 1},)) == {"items": [{"price": 1}]}
    assert reg.strip_dep_injected(RECORD, []) == {"items": []}

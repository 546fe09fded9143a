"""GQL tokenizer and parser, seen through Registry.build_pipeline.

Tokens are returned only when the text parses, so tokenizer cases are run
behind the prefix "M } ": the model M, then a stray "}" that ends the query
(tokens after the query are ignored). Because the prefix ends in a space,
the token list is the prefix's two tokens followed by the tokens of the
text under test.

An AST is returned only when the query also builds, and the builder refuses
relation selections a model does not declare. Queries whose selections name
no declared relation therefore carry the pass-through argument
"pipeline: @pp" (with pp = []): a model without relations then leaves its
relation selections alone.
"""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvara_py

PREFIX = "M } "
PREFIX_TOKENS = [{"t": "id", "v": "M"}, {"t": "p", "v": "}"}]


@pytest.fixture(scope="module")
def reg():
    r = kelvara_py.Registry()
    for name in ("M", "Q", "Post", "Profile"):
        r.register({"name": name})
    r.register({"name": "User", "relations": {"posts": {"model": "Post"}, "profile": {"model": "Profile"}}})
    return r


def tokens(reg, text):
    out = reg.build_pipeline(PREFIX + text)["tokens"]
    assert out[:2] == PREFIX_TOKENS
    return [(t["t"], t["v"]) for t in out[2:]]


def ast(reg, text):
    return reg.build_pipeline(text, {"pp": []})["ast"]


def parse_error(reg, text):
    with pytest.raises(RuntimeError) as e:
        reg.build_pipeline(text)
    return str(e.value)


def ident(v):
    return ("id", v)


def ref(v):
    return ("ref", v)


def punct(v):
    return ("p", v)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", []),
        (" \t\r\n\x0b\x0c", []),
        ("10", []),
        ('"abc"', [ident("abc")]),
        ("-5", []),
        ("1abc", [ident("abc")]),
        ("x-y", [ident("x"), ident("y")]),
        ("@p.q", [ref("@p"), ident("q")]),
        ("@@x", [ref("@"), ref("@x")]),
        ("@", [ref("@")]),
        ("@a$b", [ref("@a"), ident("$b")]),
        ("a.b.c $sort a$b _id $$x", [ident("a.b.c"), ident("$sort"), ident("a$b"), ident("_id"), ident("$$x")]),
        (".a", [ident("a")]),
        ("用户 名字", []),
        ("a\u3000b\u00a0c", [ident("a"), ident("b"), ident("c")]),
        ("a\u2003b\u2028c\u0085d", [ident("a"), ident("b"), ident("c"), ident("d")]),
        # A non-white-space character splits identifiers just the same.
        ("a\u00e9b", [ident("a"), ident("b")]),
        ("a[0]!#b", [ident("a"), ident("b")]),
        ("(){},:", [punct(c) for c in "(){},:"]),
        (
            "User($limit:@n){name}",
            [ident("User"), punct("("), ident("$limit"), punct(":"), ref("@n"), punct(")"),
             punct("{"), ident("name"), punct("}")],
        ),
    ],
)
def test_tokenizer_cases(reg, text, expected):
    assert tokens(reg, text) == expected


def test_token_objects_have_kind_then_text(reg):
    out = reg.build_pipeline("User($limit:@n){name}")["tokens"]
    assert out[0] == {"t": "id", "v": "User"}
    assert all(list(t) == ["t", "v"] for t in out)


# The tokenizer's rules as one regular expression: at each position the
# first alternative that matches forms a token; any other character is skipped.
TOKEN_RE = re.compile(r"([(){},:])|([A-Za-z$_][A-Za-z0-9$._]*)|(@[A-Za-z0-9_]*)")


def reference_tokens(text):
    out = []
    for m in TOKEN_RE.finditer(text):
        kind = "p" if m.group(1) else "id" if m.group(2) else "ref"
        out.append((kind, m.group(0)))
    return out


gql_alphabet = st.sampled_from(list("(){},:@$._-aZz09 \t\n\"'[]") + ["\u3000", "\u00a0", "é", "名", "\U0001f600"])


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.text(), st.text(alphabet=gql_alphabet)))
def test_tokenize_never_fails_and_tokens_come_from_the_text(reg, text):
    got = tokens(reg, text)
    for _, v in got:
        assert v in text
    assert got == reference_tokens(text)


WORKED = "User($condition: @c, $sort: @s, $limit: @n) { name, age, posts($limit: @pl) { title }, profile { avatar } }"


def test_worked_example_tokens_and_ast(reg):
    expected = [
        ident("User"), punct("("), ident("$condition"), punct(":"), ref("@c"), punct(","),
        ident("$sort"), punct(":"), ref("@s"), punct(","), ident("$limit"), punct(":"), ref("@n"),
        punct(")"), punct("{"), ident("name"), punct(","), ident("age"), punct(","), ident("posts"),
        punct("("), ident("$limit"), punct(":"), ref("@pl"), punct(")"), punct("{"), ident("title"),
        punct("}"), punct(","), ident("profile"), punct("{"), ident("avatar"), punct("}"), punct("}"),
    ]
    # No params: condition, sort and the limits resolve to nothing.
    out = reg.build_pipeline(WORKED)
    assert [(t["t"], t["v"]) for t in out["tokens"]] == expected
    assert out["ast"] == {
        "fields": ["name", "age"],
        "model": "User",
        "params": {"condition": "@c", "limit": "@n", "sort": "@s"},
        "relations": {
            "posts": {"fields": ["title"], "params": {"limit": "@pl"}, "relations": {}},
            "profile": {"fields": ["avatar"], "params": {}, "relations": {}},
        },
    }


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "ERR_GQL_PARSE:期望 id(undefined) 但已到达末尾"),
        ("10 名字", "ERR_GQL_PARSE:期望 id(undefined) 但已到达末尾"),
        ("{ name }", "ERR_GQL_PARSE:期望 id(undefined) 实际 p({) 位置 0"),
        ("@c", "ERR_GQL_PARSE:期望 id(undefined) 实际 ref(@c) 位置 0"),
        ("User(", "ERR_GQL_PARSE:期望 id(undefined) 但已到达末尾"),
        ("User(limit", "ERR_GQL_PARSE:期望 p(:) 但已到达末尾"),
        ("User(limit:", "ERR_GQL_PARSE:期望 id(undefined) 但已到达末尾"),
        ("User(limit @n)", "ERR_GQL_PARSE:期望 p(:) 实际 ref(@n) 位置 3"),
        ("User(@n: @m)", "ERR_GQL_PARSE:期望 id(undefined) 实际 ref(@n) 位置 2"),
        ("User(limit: 10)", "ERR_GQL_PARSE:期望 id(undefined) 但已到达末尾"),
        ("User { name", "ERR_GQL_PARSE:期望 p(}) 但已到达末尾"),
        ("User { posts { title }", "ERR_GQL_PARSE:期望 p(}) 但已到达末尾"),
        ("User { @x }", "ERR_GQL_PARSE:期望 id(undefined) 实际 ref(@x) 位置 2"),
        ("User { a : b }", "ERR_GQL_PARSE:期望 id(undefined) 实际 p(:) 位置 3"),
        ("User { a ) }", "ERR_GQL_PARSE:期望 id(undefined) 实际 p()) 位置 3"),
        (
            "User { posts($pipeline: @p) { title } }",
            'ERR_GQL_PARSE:关系 "posts" 的参数不支持 $pipeline（$pipeline 直通仅限根级 GQL）',
        ),
        # Raised as soon as the arguments are read, before a broken selection.
        (
            "User { posts(pipeline: @p) { @bad",
            'ERR_GQL_PARSE:关系 "posts" 的参数不支持 $pipeline（$pipeline 直通仅限根级 GQL）',
        ),
        (
            "User { posts { comments($$pipeline: @p) } }",
            'ERR_GQL_PARSE:关系 "comments" 的参数不支持 $pipeline（$pipeline 直通仅限根级 GQL）',
        ),
    ],
)
def test_parse_errors(reg, text, message):
    assert parse_error(reg, text) == message


EMPTY = {"fields": [], "params": {}, "relations": {}}
PP = {"pipeline": "@pp"}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("User", {"fields": [], "model": "User", "params": {}, "relations": {}}),
        ("User {}", {"fields": [], "model": "User", "params": {}, "relations": {}}),
        ("User ()", {"fields": [], "model": "User", "params": {}, "relations": {}}),
        ("User { a b, c }", {"fields": ["a", "b", "c"], "model": "User", "params": {}, "relations": {}}),
        ("User { a,, ,b, }", {"fields": ["a", "b"], "model": "User", "params": {}, "relations": {}}),
        ("User { a, a }", {"fields": ["a", "a"], "model": "User", "params": {}, "relations": {}}),
        ("User($limit: @a, limit: @b)", {"fields": [], "model": "User", "params": {"limit": "@b"}, "relations": {}}),
        ("User($$x: @a $y: b)", {"fields": [], "model": "User", "params": {"x": "@a", "y": "b"}, "relations": {}}),
        # A punctuation value is swallowed without an entry.
        ("User(a: , b: @b)", {"fields": [], "model": "User", "params": {"b": "@b"}, "relations": {}}),
        ("User(a: {, b: @b)", {"fields": [], "model": "User", "params": {"b": "@b"}, "relations": {}}),
        ("User($: @a)", {"fields": [], "model": "User", "params": {"": "@a"}, "relations": {}}),
        ("User($pipeline: @p)", {"fields": [], "model": "User", "params": {"pipeline": "@p"}, "relations": {}}),
        ("User { x } garbage ( {", {"fields": ["x"], "model": "User", "params": {}, "relations": {}}),
        (
            "Q(pipeline: @pp) { posts, posts(), profile {} }",
            {"fields": ["posts"], "model": "Q", "params": PP, "relations": {"posts": EMPTY, "profile": EMPTY}},
        ),
        (
            "Q(pipeline: @pp) { posts { a }, posts { b } }",
            {"fields": [], "model": "Q", "params": PP,
             "relations": {"posts": {"fields": ["b"], "params": {}, "relations": {}}}},
        ),
        (
            "Q(pipeline: @pp) { z { y(limit: @l) { x } } a }",
            {"fields": ["a"], "model": "Q", "params": PP,
             "relations": {"z": {"fields": [], "params": {},
                                 "relations": {"y": {"fields": ["x"], "params": {"limit": "@l"}, "relations": {}}}}}},
        ),
    ],
)
def test_parsed_ast(reg, text, expected):
    assert ast(reg, text) == expected


def test_selection_nesting_is_bounded(reg):
    # 100 nested selections parse; one more is refused instead of recursing
    # without bound.
    ok = "M(pipeline: @pp) " + "{ a " * 100 + "}" * 100
    assert len(ast(reg, ok)["relations"]) == 1
    deep = "M " + "{ a " * 101 + "}" * 101
    assert parse_error(reg, deep) == "ERR_GQL_PARSE:选择集嵌套超过 100 层 位置 201"
    very_deep = "M " + "{ a " * 200_000
    assert parse_error(reg, very_deep).startswith("ERR_GQL_PARSE:选择集嵌套超过 100 层")


# Random queries: a selection tree rendered as GQL must parse back to the
# AST JSON computed from the tree (later duplicates win in the JSON form).
names = st.text(alphabet="abcxyz_$", min_size=1, max_size=4).filter(lambda s: s.lstrip("$"))
refs = st.text(alphabet="pqr09_", max_size=3).map(lambda s: "@" + s)
arg_maps = st.lists(st.tuples(names, refs), max_size=3)


def selections(depth):
    leaf = st.tuples(st.just("field"), names)
    if depth == 0:
        return leaf
    rel = st.tuples(st.just("rel"), names, arg_maps, st.lists(selections(depth - 1), max_size=3))
    return st.one_of(leaf, rel)


def render_args(args):
    return "(" + ", ".join(f"{k}: {v}" for k, v in args) + ")"


def render_body(items):
    parts = []
    for item in items:
        if item[0] == "field":
            parts.append(item[1])
        else:
            _, name, args, sub = item
            parts.append(name + render_args(args) + " { " + render_body(sub) + " }")
    return ", ".join(parts)


def expected_sel(args, items):
    fields, rels = [], {}
    for item in items:
        if item[0] == "field":
            fields.append(item[1])
        else:
            _, name, a, sub = item
            rels[name] = expected_sel(a, sub)
    params = {}
    for k, v in args:
        params[k.lstrip("$")] = v
    return {"fields": fields, "params": params, "relations": rels}


@settings(max_examples=200, deadline=None)
@given(arg_maps, st.lists(selections(3), max_size=4))
def test_random_queries_parse_to_their_tree(reg, args, items):
    items = [i for i in items if not (i[0] == "rel" and any(k.lstrip("$") == "pipeline" for k, _ in i[2]))]
    args = args + [("pipeline", "@pp")]
    text = "Q" + render_args(args) + " { " + render_body(items) + " }"
    want = expected_sel(args, items)
    want["model"] = "Q"
    assert ast(reg, text) == want

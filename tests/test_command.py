"""The command model: where a command runs, the route override that moves
every command of a plan, and the numeric reading of host values.

Plans are made from pass-through queries ("$pipeline"), whose planning
needs nothing beyond the pipeline builder; page arithmetic is observed
through resolve_page.
"""

import pytest

import kelvara_py

PT = "Doc($pipeline: @p, $condition: @c) { a }"


@pytest.fixture
def docs(reg):
    reg.register({"name": "Doc", "collection": "docs", "fields": {"a": "string"}})
    reg.register({"name": "Placed", "collection": "placed", "fields": {"a": "string"},
                  "datasource": "warehouse", "namespace": "tenant1"})
    return reg


def commands(reg, gql, params, route=None):
    return reg.plan_query(gql, params, None, route)["commands"]


@pytest.mark.parametrize(
    "model, collection, source, namespace",
    [("Doc", "docs", "default", None), ("Placed", "placed", "warehouse", "tenant1")],
)
def test_location_members(docs, model, collection, source, namespace):
    (cmd,) = commands(docs, PT.replace("Doc", model), {"p": []})
    assert cmd == {
        "collection": collection,
        "kind": "aggregate",
        "namespace": namespace,
        "pipeline": [{"$project": {"_id": 1, "a": 1}}],
        "source": source,
    }
    assert list(cmd) == ["collection", "kind", "namespace", "pipeline", "source"]


@pytest.mark.parametrize(
    "route, source, namespace",
    [
        (None, "warehouse", "tenant1"),
        ({}, "warehouse", "tenant1"),
        ({"source": ""}, "warehouse", "tenant1"),
        ({"source": 5}, "warehouse", "tenant1"),
        ({"source": "s2"}, "s2", "tenant1"),
        ({"namespace": None}, "warehouse", None),
        ({"namespace": "t2", "source": "s2"}, "s2", "t2"),
        ({"namespace": {"db": 1}}, "warehouse", {"db": 1}),
        ({"other": 1}, "warehouse", "tenant1"),
        ([{"source": "s2"}], "warehouse", "tenant1"),
        ("s2", "warehouse", "tenant1"),
    ],
)
def test_route_override(docs, route, source, namespace):
    (cmd,) = commands(docs, PT.replace("Doc", "Placed"), {"p": []}, route)
    assert (cmd["source"], cmd["namespace"]) == (source, namespace)


def test_route_override_rewrites_command_shaped_objects_anywhere(docs):
    condition = {"$or": [{"x": {"kind": "k", "collection": "c"}}, {"y": {"kind": "k"}}]}
    (cmd,) = commands(docs, PT, {"p": [], "c": condition}, {"source": "s2"})
    assert cmd["source"] == "s2"
    assert cmd["pipeline"][0] == {"$match": {"$or": [
        {"x": {"collection": "c", "kind": "k", "source": "s2"}},
        {"y": {"kind": "k"}},
    ]}}


@pytest.mark.parametrize(
    "value, size",
    [
        (20, 20),
        (12.9, 12),
        (-3.7, -3),
        (True, 1),
        (False, 0),
        ([1], 0),
        ({"n": 1}, 0),
        ("20", 20),
        (" 20 ", 20),
        ("\u3000 8 \u00a0", 8),
        ("+7", 7),
        ("-0", 0),
        ("-", 0),
        ("+", 0),
        ("", 0),
        ("99999999999999999999", 0),   # integer overflow
        ("2.5", 2.5),                   # a floating-point string is not truncated
        ("1.9", 1.9),
        (".5", 0.5),
        ("5.", 5),
        ("1e2", 100),
        ("1e400", 5000),                # infinity, capped
        ("1e-400", 0),
        ("inf", 5000),
        ("nan", 0),
        ("abc", 0),
        ("0x10", 0),
        ("1_0", 0),
        ("+-1", 0),
        ("--1", 0),
    ],
)
def test_page_size_reading(docs, value, size):
    page = docs.resolve_page("Doc", {"pageSize": value})
    assert page == {"page": 0, "pageSize": size}
    assert type(page["pageSize"]) is type(size)


@pytest.mark.parametrize(
    "value, page",
    [(2, 2), ("1.9", 1), (-3, 0), ("x", 0), (None, 0), (7.99, 7)],
)
def test_page_number_reading(docs, value, page):
    assert docs.resolve_page("Doc", {"page": value})["page"] == page

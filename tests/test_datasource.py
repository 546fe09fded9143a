"""Data sources: schema_datasource and resolve_datasource under configurations."""

import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


@pytest.fixture
def world(reg):
    reg.register({"name": "Plain", "fields": {"a": "string"}})
    reg.register({"name": "Sales", "datasource": "sales", "fields": {"a": "string"}})
    reg.register({"name": "Literal", "datasource": "default", "collection": "literal"})
    return reg


def test_schema_datasource(world):
    assert world.schema_datasource("Plain") is None
    assert world.schema_datasource("Sales") == "sales"
    # the archive model keeps its source's data source
    assert world.schema_datasource("SalesDeleted") == "sales"
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        world.schema_datasource("Nope")


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("mongo", "mongo"),
        ("MongoDB", "mongo"),
        ("MONGODB", "mongo"),
        ("mysql", "mysql"),
        ("MySQL", "mysql"),
        ("pg", "postgres"),
        ("PG", "postgres"),
        ("Postgres", "postgres"),
        ("POSTGRESQL", "postgres"),
        ("SQLite", "sqlite"),
    ],
)
def test_kinds_in_any_letter_case(world, kind, expected):
    assert world.resolve_datasource("Sales", {"sources": {"sales": kind}}) == expected
    assert world.resolve_datasource("Plain", {"sources": {"default": kind}}) == expected


@pytest.mark.parametrize(
    "model, config, expected",
    [
        # no configuration: a single document database
        ("Plain", None, "mongo"),
        ("Plain", {}, "mongo"),
        # non-object configurations and sources are empty configurations
        ("Plain", [1, 2], "mongo"),
        ("Plain", {"sources": ["default"]}, "mongo"),
        ("Plain", {"sources": None, "other": 1}, "mongo"),
        # models without a data source use the "default" entry when there is one
        ("Plain", {"sources": {"sales": "mysql"}}, "mongo"),
        ("Plain", {"sources": {"default": "POSTGRES", "sales": "mysql"}}, "postgres"),
        ("Sales", {"sources": {"default": "POSTGRES", "sales": "mysql"}}, "mysql"),
        # the literal name "default" resolves through the same entry
        ("Literal", {"sources": {"default": "sqlite"}}, "sqlite"),
        ("Sales", {"sources": {"sales": "mongodb"}}, "mongo"),
    ],
)
def test_resolve_datasource(world, model, config, expected):
    assert world.resolve_datasource(model, config) == expected


@pytest.mark.parametrize(
    "model, config, message",
    [
        # a declared data-source name must be configured
        ("Sales", None, "schema 绑定的数据源未在配置中声明: sales"),
        ("Sales", {"sources": {"default": "mysql"}}, "schema 绑定的数据源未在配置中声明: sales"),
        ("Literal", None, "schema 绑定的数据源未在配置中声明: default"),
        ("Literal", {"sources": {"Default": "mysql"}}, "schema 绑定的数据源未在配置中声明: default"),
        # one bad source fails the whole configuration, whoever asks
        ("Sales", {"sources": {"sales": "mysql", "zz": 1}}, "数据源 zz 的 kind 必须是字符串"),
        ("Plain", {"sources": {"a": None, "b": "oracle"}}, "数据源 a 的 kind 必须是字符串"),
        ("Plain", {"sources": {"a": "Oracle", "b": 1}}, "不支持的后端: oracle"),
        # the unknown kind is quoted lower-cased, non-ASCII letters included
        ("Plain", {"sources": {"x": "MariaDB"}}, "不支持的后端: mariadb"),
        ("Plain", {"sources": {"x": "ÉLÉPHANT"}}, "不支持的后端: éléphant"),
        ("Plain", {"sources": {"x": "ΣΟΦΙΑΣ"}}, "不支持的后端: σοφιας"),
        ("Plain", {"sources": {"x": "İSTANBUL"}}, "不支持的后端: i\u0307stanbul"),
        ("Plain", {"sources": {"x": "МОНГО"}}, "不支持的后端: монго"),
        ("Plain", {"sources": {"x": "ＭＯＮＧＯ"}}, "不支持的后端: ｍｏｎｇｏ"),
        ("Plain", {"sources": {"x": ""}}, "不支持的后端: "),
        # the message carries the whole kind, past an embedded NUL
        ("Plain", {"sources": {"x": "My\x00SQL"}}, "不支持的后端: my\x00sql"),
        # the model is looked up before the configuration is read
        ("Nope", {"sources": {"x": 1}}, "Schema 未注册: Nope"),
    ],
)
def test_resolve_datasource_errors(world, model, config, message):
    with pytest.raises(RuntimeError) as e:
        world.resolve_datasource(model, config)
    assert str(e.value) == message


def old_letter(c):
    # Characters assigned since Unicode 3.2 keep their case mappings in every
    # later version, so the comparison holds whatever Unicode this Python has.
    return unicodedata.ucd_3_2_0.category(c) not in ("Cn", "Cs")


kinds = st.text(
    alphabet=st.characters(codec="utf-8").filter(old_letter) | st.sampled_from("ΣσςİIiAa.'\u0345\u0300 "),
    max_size=8,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(kind=kinds)
def test_unknown_kinds_are_quoted_fully_lower_cased(world, kind):
    lower = kind.lower()
    known = {"mongo": "mongo", "mongodb": "mongo", "mysql": "mysql", "pg": "postgres", "postgres": "postgres",
             "postgresql": "postgres", "sqlite": "sqlite"}
    config = {"sources": {"default": kind}}
    if lower in known:
        assert world.resolve_datasource("Plain", config) == known[lower]
        return
    with pytest.raises(RuntimeError) as e:
        world.resolve_datasource("Plain", config)
    assert str(e.value) == "不支持的后端: " + lower

"""Defaults and synchronous computed fields: write completion through
apply_write_defaults, and the same callbacks seen from the read side."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kelvara_py

# Timestamps are switched off so that every expected document is exact.
BOOK = {
    "name": "Book",
    "timestamps": False,
    "fields": {
        "title": "string",
        "price": {"type": "number"},
        "stock": {"type": "int", "default": None},
        "rating": {"type": "float", "default": 5},
        "draft": {"type": "boolean", "default": True},
        "tags": "array",
        "note": {"type": "date"},
        "profile": {
            "type": "object",
            "fields": {
                "lang": {"type": "string", "default": "zh"},
                "size": "int",
                "color": "number",
                "extra": {"type": "object", "fields": {"deep": {"default": 1}}},
                "free": {"default": None, "type": "boolean"},
            },
        },
    },
}

ALL_DEFAULTS = {
    "title": "",
    "stock": 0,
    "rating": 5,
    "draft": True,
    "tags": [],
    "profile": {"lang": "zh", "size": 0, "extra": {"deep": 1}, "free": False},
}


@pytest.fixture
def books(reg):
    reg.register(BOOK)
    return reg


@pytest.mark.parametrize(
    "doc, expected",
    [
        pytest.param({}, ALL_DEFAULTS, id="empty-document-gets-every-default"),
        pytest.param(
            {"title": None, "stock": None, "price": None},
            {**ALL_DEFAULTS, "price": None},
            id="null-counts-as-missing-but-null-type-default-stays",
        ),
        pytest.param(
            {"title": "", "stock": 0, "rating": 0, "draft": False, "tags": [], "profile": {}},
            {"title": "", "stock": 0, "rating": 0, "draft": False, "tags": [],
             "profile": {"lang": "zh", "size": 0, "extra": {"deep": 1}, "free": False}},
            id="falsy-values-given-by-the-writer-stand",
        ),
        pytest.param(
            {"profile": {"lang": "en", "extra": {}, "other": 1}},
            {**ALL_DEFAULTS, "profile": {"lang": "en", "size": 0, "extra": {"deep": 1}, "free": False, "other": 1}},
            id="nested-defaults-fill-gaps-and-recurse",
        ),
        pytest.param(
            {"profile": "flat", "extra": 1},
            {**ALL_DEFAULTS, "profile": "flat", "extra": 1},
            id="non-object-value-of-object-field-is-left-alone",
        ),
        pytest.param(
            {"profile": {"extra": "x", "lang": None}},
            {**ALL_DEFAULTS, "profile": {"lang": "zh", "size": 0, "extra": "x", "free": False}},
            id="nested-recursion-needs-an-object",
        ),
    ],
)
def test_field_defaults(books, doc, expected):
    assert books.apply_write_defaults("Book", doc) == expected


scalars = st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=2)
values = st.recursive(scalars, lambda c: st.lists(c, max_size=3) | st.dictionaries(
    st.sampled_from(["lang", "size", "extra", "deep", "x"]), c, max_size=3), max_leaves=6)
book_docs = st.dictionaries(st.sampled_from([*BOOK["fields"], "other"]), values, max_size=8)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(doc=book_docs)
def test_defaults_only_fill_gaps(books, doc):
    out = books.apply_write_defaults("Book", doc)
    for key, value in doc.items():
        if value is not None and not isinstance(value, dict):
            assert out[key] == value
    for key, default in ALL_DEFAULTS.items():
        if doc.get(key) is None:
            assert out[key] == default
    assert books.apply_write_defaults("Book", out) == out


@pytest.mark.parametrize("doc", [None, [1, {}], "text", 3])
def test_non_object_document_is_returned_unchanged(books, doc):
    assert books.apply_write_defaults("Book", doc) == doc


@pytest.mark.parametrize(
    "id_spec, expected",
    [
        ({"type": "int", "strategy": "autoincrement"}, {"n": 0}),
        ({"type": "int"}, {"_id": 0, "n": 0}),
        ({"type": "string", "default": "x"}, {"_id": "x", "n": 0}),
    ],
)
def test_autoincrement_id_never_gets_a_default(reg, id_spec, expected):
    reg.register({"name": "Seq", "timestamps": False, "fields": {"_id": id_spec, "n": "int"}})
    assert reg.apply_write_defaults("Seq", {}) == expected


def test_timestamp_fields_get_no_default(reg):
    reg.register({"name": "T", "fields": {"a": "string"}})
    assert reg.apply_write_defaults("T", {}) == {"a": ""}


def test_unregistered_model(reg):
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        reg.apply_write_defaults("Nope", {})


# --- synchronous computes -------------------------------------------------

ORDER = {
    "name": "Order",
    "timestamps": False,
    "fields": {"qty": {"type": "int", "default": 1}, "unit": "float", "code": "string"},
    "computes": {
        # Declaration order is the ascending order of the names.
        "b_total": {"type": "float", "fn": True, "depends": ["qty", "unit"]},
        "c_label": {"type": "string", "fn": True, "fnRef": "label_fn", "depends": ["b_total"]},
        "a_later": {"type": "int", "asyncFn": True},
        "d_count": {"agg": {"$count": "lines"}},
    },
    "relations": {"lines": {"model": "Line", "foreignField": "orderId"}},
}


@pytest.fixture
def orders(reg):
    reg.register(ORDER)
    return reg


def test_computes_run_in_declaration_order_on_the_completed_document(orders):
    seen = []

    def total(doc):
        seen.append(("total", dict(doc)))
        return doc["qty"] * doc["unit"]

    def label(doc):
        seen.append(("label", dict(doc)))
        return f"{doc['code']}:{doc['b_total']}"

    orders.set_fn("label_fn", label)
    orders.set_fn("b_total", total)
    out = orders.apply_write_defaults("Order", {"unit": 2.5, "code": "X"})
    assert out == {"qty": 1, "unit": 2.5, "code": "X", "b_total": 2.5, "c_label": "X:2.5"}
    assert seen == [
        ("total", {"qty": 1, "unit": 2.5, "code": "X"}),
        ("label", {"qty": 1, "unit": 2.5, "code": "X", "b_total": 2.5}),
    ]


def test_compute_result_replaces_a_given_value(orders):
    orders.set_fn("b_total", lambda d: None)
    orders.set_fn("label_fn", lambda d: [d["b_total"], (1, 2)])
    out = orders.apply_write_defaults("Order", {"b_total": 9, "c_label": "old"})
    assert out == {"qty": 1, "unit": 0, "code": "", "b_total": None, "c_label": [None, [1, 2]]}


def test_replaced_callback_is_the_one_called(orders):
    orders.set_fn("b_total", lambda d: 1)
    orders.set_fn("b_total", lambda d: 2)
    orders.set_fn("label_fn", lambda d: "")
    assert orders.apply_write_defaults("Order", {})["b_total"] == 2


class CustomError(Exception):
    pass


def _raise(exc_type, *args):
    # A fresh exception per call: a shared instance would keep the traceback
    # (and with it the Registry) alive until the end of the session.
    def fn(doc):
        raise exc_type(*args)

    return fn


@pytest.mark.parametrize(
    "total_fn, message",
    [
        pytest.param(None, "计算列 b_total 未注册同步实现", id="missing-callback"),
        pytest.param(_raise(ValueError, "boom"), "ValueError: boom", id="raising-callback"),
        pytest.param(_raise(CustomError, "自定义"), "CustomError: 自定义", id="custom-exception"),
        pytest.param(_raise(KeyError, "k"), "KeyError: 'k'", id="key-error-renders-like-str"),
        pytest.param(_raise(ValueError, "\ud800"), "ValueError: \\ud800", id="unencodable-message-escaped"),
        pytest.param(lambda d: {1, 2}, "TypeError: 不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）",
                     id="unconvertible-result"),
        pytest.param(lambda d: {"k": [object()]}, "TypeError: 不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）",
                     id="unconvertible-nested-result"),
        pytest.param(lambda d: 10**400, "TypeError: 整数超出 JSON 数值模型可表示的范围（超出 double 范围）",
                     id="integer-beyond-range"),
        pytest.param(lambda: 1, "TypeError: ", id="wrong-arity"),
    ],
)
def test_callback_failures_surface_as_runtime_error(orders, total_fn, message):
    if total_fn is not None:
        orders.set_fn("b_total", total_fn)
    orders.set_fn("label_fn", lambda d: "never reached" if total_fn is None else "")
    with pytest.raises(RuntimeError) as info:
        orders.apply_write_defaults("Order", {})
    if message.endswith(": "):
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message


def test_second_missing_callback_is_named_by_its_fn_ref(orders):
    orders.set_fn("b_total", lambda d: 1)
    with pytest.raises(RuntimeError, match="^计算列 label_fn 未注册同步实现$"):
        orders.apply_write_defaults("Order", {})


def test_clear_fns_drops_every_callback(orders):
    orders.set_fn("b_total", lambda d: 1)
    orders.set_fn("label_fn", lambda d: 1)
    orders.clear_fns()
    with pytest.raises(RuntimeError, match="^计算列 b_total 未注册同步实现$"):
        orders.apply_write_defaults("Order", {})


def test_async_and_agg_computes_are_not_called_on_write(reg):
    reg.register({"name": "A", "timestamps": False, "computes": {"x": {"asyncFn": True}, "y": {"fn": False}}})
    assert reg.apply_write_defaults("A", {"z": 1}) == {"z": 1}


# --- the borrow flag seen from inside a callback --------------------------

# Every method that runs synchronous computes holds shared access meanwhile.
ENTRY_POINTS = [
    pytest.param(lambda r: r.apply_write_defaults("Order", {}), id="apply_write_defaults"),
    pytest.param(lambda r: r.process_node("Order { qty }", {})["doc"], id="process_node"),
    pytest.param(lambda r: r.prepare_query({"ast": {"model": "Order", "fields": ["qty"]}, "inject": None},
                                           [{}])["items"][0], id="prepare_query"),
]


@pytest.mark.parametrize("run", ENTRY_POINTS)
def test_callback_may_call_reading_methods(orders, run):
    orders.set_fn("b_total", lambda d: orders.has("Order") and orders.list() == ["Order", "OrderDeleted"])
    depth = []

    def label(d):
        # Re-enters the same method once: shared access nests.
        depth.append(1)
        if len(depth) > 1:
            return "inner"
        return run(orders)["qty"]

    orders.set_fn("label_fn", label)
    out = run(orders)
    assert out["qty"] == 1
    assert depth == [1, 1]
    assert orders.apply_write_defaults("Order", {})["b_total"] is True


@pytest.mark.parametrize("run", ENTRY_POINTS)
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda r: r.register({"name": "Other"}), id="register"),
        pytest.param(lambda r: r.set_fn("x", len), id="set_fn"),
        pytest.param(lambda r: r.clear_fns(), id="clear_fns"),
        pytest.param(lambda r: r.set_profile("text2query"), id="set_profile"),
    ],
)
def test_callback_calling_a_state_changing_method_fails(orders, run, call):
    orders.set_fn("b_total", lambda d: call(orders))
    orders.set_fn("label_fn", lambda d: "")
    with pytest.raises(RuntimeError, match="^RuntimeError: Already borrowed$"):
        run(orders)
    # The flag is released afterwards, the attempted change did not happen.
    assert orders.profile() == "standard"
    assert not orders.has("Other")
    orders.register({"name": "Other"})
    assert orders.has("Other")


def test_callback_may_catch_the_borrow_error_and_go_on(orders):
    def total(d):
        try:
            orders.register({"name": "Other"})
        except RuntimeError as e:
            return str(e)
        return "registered"

    orders.set_fn("b_total", total)
    orders.set_fn("label_fn", lambda d: "")
    assert orders.apply_write_defaults("Order", {})["b_total"] == "Already borrowed"

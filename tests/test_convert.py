"""Python <-> JSON conversion at the binding boundary.

`filter_writable_data(model, None, value)` returns its data unchanged, so it
serves as a pass-through: whatever comes back went through both conversions.
"""

import datetime
import enum
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvara_py

UNSUPPORTED = "不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）"


@pytest.fixture(scope="module")
def echo():
    reg = kelvara_py.Registry()
    reg.register({"name": "Doc"})
    return lambda value: reg.filter_writable_data("Doc", None, value)


class Color(enum.IntEnum):
    RED = 3


class Word(str, enum.Enum):
    HI = "hi"


@pytest.mark.parametrize(
    "value, expected, kind",
    [
        (True, True, bool),
        (False, False, bool),
        (1, 1, int),
        (-1, -1, int),
        (1.0, 1.0, float),
        (2**63, 2**63, int),
        (2**64 - 1, 2**64 - 1, int),
        (-(2**63), -(2**63), int),
        (2**64, 1.8446744073709552e19, float),
        (2**70, 1.1805916207174113e21, float),
        (-(2**63) - 1, float(-(2**63) - 1), float),
        (float("nan"), None, type(None)),
        (float("inf"), None, type(None)),
        (float("-inf"), None, type(None)),
        ((1, "a"), [1, "a"], list),
        (Color.RED, 3, int),
        (Word.HI, "hi", str),
        ("ü€😀", "ü€😀", str),
    ],
)
def test_scalars_keep_their_representation(echo, value, expected, kind):
    out = echo(value)
    assert out == expected
    assert type(out) is kind


def test_bool_is_never_the_number_one(echo):
    out = echo([True, 1, 1.0])
    assert [type(v) for v in out] == [bool, int, float]


def test_integer_beyond_double_range_raises_type_error(echo):
    with pytest.raises(TypeError, match="整数超出"):
        echo(10**400)
    with pytest.raises(TypeError):
        echo({"deep": [1, {"x": -(10**400)}]})


@pytest.mark.parametrize(
    "value",
    [
        {1, 2},
        b"bytes",
        bytearray(b"x"),
        datetime.datetime(2026, 1, 1),
        object(),
        [1, [2, {"k": {3}}]],
        {"a": (1, b"x")},
    ],
)
def test_unsupported_types_anywhere_raise_type_error(echo, value):
    with pytest.raises(TypeError) as err:
        echo(value)
    assert str(err.value) == UNSUPPORTED


def test_dict_keys_are_stringified_and_later_key_wins(echo):
    assert echo({1: "a", "1": "b"}) == {"1": "b"}
    assert echo({"1": "b", 1: "a"}) == {"1": "a"}
    assert echo({None: 1, True: 2, 2.5: 3}) == {"None": 1, "True": 2, "2.5": 3}


def test_failing_str_of_key_propagates(echo):
    class Bad:
        def __hash__(self):
            return 1

        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        echo({Bad(): 1})


def test_returned_dicts_iterate_in_byte_order_of_keys(echo):
    out = echo({"b": 1, "a": {"z": 1, "Z": 2, "é": 3, "e": 4}, "B": 0})
    assert list(out) == ["B", "a", "b"]
    assert list(out["a"]) == ["Z", "e", "z", "é"]


def test_lone_surrogate_raises_the_interpreters_encoding_error(echo):
    with pytest.raises(UnicodeEncodeError):
        echo("\udc80")


def test_pathologically_deep_value_raises_recursion_error(echo):
    value = []
    for _ in range(100_000):
        value = [value]
    with pytest.raises(RecursionError):
        echo(value)


def test_subclasses_of_containers_convert_as_their_base(echo):
    class D(dict):
        pass

    class L(list):
        pass

    assert echo(D(a=L([1, 2]))) == {"a": [1, 2]}
    assert type(echo(D(a=1))) is dict


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(alphabet=st.characters(exclude_categories=["Cs"])),
    lambda children: st.lists(children) | st.dictionaries(st.text(alphabet=st.characters(exclude_categories=["Cs"])), children),
    max_leaves=40,
)


def _byte_sorted(value):
    if isinstance(value, dict):
        return {k: _byte_sorted(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [_byte_sorted(v) for v in value]
    return value


def _same(a, b):
    """Equality that also compares types and key order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


@settings(max_examples=300, deadline=None)
@given(json_values)
def test_json_like_values_round_trip_with_keys_in_byte_order(echo, value):
    assert _same(echo(value), _byte_sorted(value))

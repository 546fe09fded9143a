"""The Registry object: defaults, configuration switches, the exceptions of
the call frame, system_context(), garbage collection and the shipped stubs."""

import gc
import pathlib
import weakref

import pytest

import kelvara_py


def test_module_exposes_registry_and_system_context():
    public = {n for n in dir(kelvara_py) if not n.startswith("_")}
    assert public == {"Registry", "system_context"}


def test_fresh_registry_defaults(reg):
    assert reg.require_context() is False
    assert reg.profile() == "standard"
    assert reg.rbac_enabled() is False
    assert reg.list() == []


def test_system_context_is_a_new_dict_each_time():
    first = kelvara_py.system_context()
    assert first == {"internal": True}
    first["internal"] = False
    first["userId"] = "x"
    assert kelvara_py.system_context() == {"internal": True}


def test_switches_are_set_and_read_back(reg):
    reg.set_require_context(True)
    reg.set_profile("text2query")
    assert (reg.require_context(), reg.profile()) == (True, "text2query")
    reg.set_profile("standard")
    assert reg.profile() == "standard"


@pytest.mark.parametrize("bad", ["Standard", "TEXT2QUERY", "", "standard "])
def test_unknown_profile_raises_value_error_and_keeps_profile(reg, bad):
    reg.set_profile("text2query")
    with pytest.raises(ValueError) as err:
        reg.set_profile(bad)
    assert str(err.value) == f"未知 profile: {bad}（仅 standard / text2query）"
    assert reg.profile() == "text2query"


def test_unknown_unconfigured_policy_raises_runtime_error_and_keeps_policy(reg):
    reg.register({"name": "M"})
    reg.set_unconfigured_policy("closed")
    with pytest.raises(RuntimeError) as err:
        reg.set_unconfigured_policy("Open")
    assert str(err.value) == "未知 unconfigured_policy: Open（仅 open / closed）"
    assert reg.can_read("M", {"role": "r"}) is False


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.set_require_context(1),
        lambda r: r.set_require_context("yes"),
        lambda r: r.set_profile(1),
        lambda r: r.set_exempt_roles("admin"),
        lambda r: r.set_exempt_roles(["a", 1]),
        lambda r: r.set_meta_policy(0, []),
        lambda r: r.set_fn("f", 42),
        lambda r: r.has(1),
        lambda r: r.has(),
        lambda r: r.can_read(model="M", context=None),
        lambda r: r.list(1),
    ],
)
def test_binding_failures_raise_type_error(reg, call):
    with pytest.raises(TypeError):
        call(reg)


def test_role_lists_accept_any_sequence_of_str(reg):
    reg.register({"name": "M", "read": ["r"]})
    reg.set_exempt_roles(("boss",))
    assert reg.can_read("M", {"role": "boss"}) is True
    reg.set_exempt_roles([])
    assert reg.can_read("M", {"role": "boss"}) is False


def test_keyword_arguments_use_the_documented_names(reg):
    reg.register(defn={"name": "M", "read": ["r"]})
    assert reg.can_read(model="M", ctx={"role": "r"}) is True
    assert reg.merge_owner_condition(model="M", ctx=None, condition={"a": 1}) == {"a": 1}


def test_core_errors_are_runtime_errors_with_the_message_unchanged(reg):
    with pytest.raises(RuntimeError) as err:
        reg.can_read("Nope")
    assert err.value.args == ("Schema 未注册: Nope",)


def test_clear_schemas_keeps_switches_and_callbacks(reg):
    reg.register({"name": "M"})
    reg.set_require_context(True)
    reg.set_profile("text2query")
    reg.clear_schemas()
    assert reg.list() == [] and not reg.has("M")
    assert reg.require_context() is True
    assert reg.profile() == "text2query"


def test_registry_with_a_callback_referencing_itself_is_collected():
    reg = kelvara_py.Registry()
    reg.set_fn("self_ref", lambda doc: reg.list())
    ref = weakref.ref(reg)
    del reg
    gc.collect()
    assert ref() is None


def test_cycle_through_a_bound_method_is_collected():
    reg = kelvara_py.Registry()
    reg.set_fn("bound", reg.has)
    ref = weakref.ref(reg)
    del reg
    gc.collect()
    assert ref() is None


def test_clear_fns_releases_callbacks():
    class Probe:
        def __call__(self, doc):
            return None

    probe = Probe()
    ref = weakref.ref(probe)
    reg = kelvara_py.Registry()
    reg.set_fn("f", probe)
    del probe
    assert ref() is not None
    reg.clear_fns()
    assert ref() is None


def test_type_stubs_and_marker_are_shipped():
    here = pathlib.Path(kelvara_py.__file__).parent
    stub = here / "kelvara_py.pyi"
    if (here / "kelvara_py-stubs").exists():  # installed: the stub package for type checkers
        assert (here / "kelvara_py-stubs" / "py.typed").exists()
        assert (here / "kelvara_py-stubs" / "__init__.pyi").read_text() == stub.read_text()
    else:  # a build tree
        assert (here / "py.typed").exists()
    text = stub.read_text()
    assert "class Registry" in text
    assert "def system_context() -> dict" in text
    assert "def merge_owner_condition(self, model: str, ctx: object | None = None, condition: object | None = None)" in text

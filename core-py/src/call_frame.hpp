// The one call frame every Registry method goes through:
// bind -> borrow -> convert -> call -> convert back (core errors are mapped
// to RuntimeError by the module's single exception translator).
//
// A method is written as a lambda over core-level argument types; method<A>()
// turns it into the Python-facing function. Argument wrappers below say how a
// Python object becomes a core value; plain C++ types (std::string_view,
// bool, std::int64_t, ...) are bound by nanobind directly, which raises the
// TypeError of a wrongly typed argument before anything else runs.
#pragma once

#include "convert.hpp"
#include "registry.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <tuple>
#include <type_traits>
#include <utility>

// Object-valued parameters (definitions, params, ctx, data, ...) arrive as
// nb::handle and always accept None, which has a meaning of its own there
// (JSON null, absent, no context); nanobind would otherwise refuse None for
// a named argument without a None default.
template <>
struct nanobind::detail::has_arg_defaults<nanobind::handle> : std::true_type {};

namespace kelvara::py {

// Any convertible object; None or omitted becomes JSON null.
struct JsonArg {
    Json value;
    JsonArg(Json v) : value(std::move(v)) {}
    JsonArg(JsonArg&&) = default;
    ~JsonArg() { json::dispose(value); }
};
// Any convertible object; None or omitted is absent.
struct OptJsonArg {
    std::optional<Json> value;
    OptJsonArg() = default;
    OptJsonArg(Json v) : value(std::move(v)) {}
    OptJsonArg(OptJsonArg&&) = default;
    ~OptJsonArg() {
        if (value) json::dispose(*value);
    }
};
// A host `params` object: anything that is not a JSON object becomes {}.
struct ParamsArg {
    Json value;
    ParamsArg(Json v) : value(std::move(v)) {}
    ParamsArg(ParamsArg&&) = default;
    ~ParamsArg() { json::dispose(value); }
};
// The permission context: None, omitted or a non-object is no context.
struct CtxArg {
    std::optional<permission::Context> value;
    const permission::Context* get() const { return value ? &*value : nullptr; }
};

// A list of JSON values converted one element at a time by map(), for
// methods that stream large results; anything but a list is a TypeError.
struct PyItems {
    nb::handle list;

    // A new list of fn(element) results: each element is converted, passed
    // to fn, and converted back before the next one is touched. The first
    // failure discards the new list.
    template <class F>
    nb::list map(F&& fn) const {
        const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
        nb::list out = nb::steal<nb::list>(PyList_New(n));
        if (!out.is_valid()) throw nb::python_error();
        Py_ssize_t i = 0;
        // A callback may shrink the input list: stop at its current end and
        // drop the slots never filled.
        for (; i < n && i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object element = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
            Json value = convert::py_to_json(element);
            fn(value);
            PyList_SET_ITEM(out.ptr(), i, convert::to_py(std::move(value)).release().ptr());
        }
        if (i < n && PyList_SetSlice(out.ptr(), i, n, nullptr) != 0) throw nb::python_error();
        return out;
    }
};

template <class T>
struct PyParam {
    using type = T;
    static T from(T v) { return v; }
};
template <>
struct PyParam<JsonArg> {
    using type = nb::handle;
    static JsonArg from(nb::handle h) { return JsonArg(h.is_none() ? Json() : convert::py_to_json(h)); }
};
template <>
struct PyParam<OptJsonArg> {
    using type = nb::handle;
    static OptJsonArg from(nb::handle h) {
        if (h.is_none()) return {};
        return OptJsonArg(convert::py_to_json(h));
    }
};
template <>
struct PyParam<ParamsArg> {
    using type = nb::handle;
    static ParamsArg from(nb::handle h) {
        Json v = h.is_none() ? Json() : convert::py_to_json(h);
        return ParamsArg(v.is_object() ? std::move(v) : Json::object());
    }
};
template <>
struct PyParam<PyItems> {
    using type = nb::handle;
    static PyItems from(nb::handle h) {
        if (!PyList_Check(h.ptr())) throw nb::type_error("items 必须是列表");
        return {h};
    }
};
template <>
struct PyParam<CtxArg> {
    using type = nb::handle;
    static CtxArg from(nb::handle h) { return {convert::ctx_from(h)}; }
};

// JSON results cross as plain Python objects (typed Any in the stubs); bool
// and str results are returned as such so the stubs show them.
inline nb::any result_to_py(Json&& v) { return nb::steal<nb::any>(convert::to_py(std::move(v)).release()); }
template <class T>
T result_to_py(T&& v) { return std::forward<T>(v); }

namespace detail {

template <Access A, class F, class R, class Self, class... Args>
auto make_method(F body) {
    return [body](PyRegistry& self, typename PyParam<std::decay_t<Args>>::type... py) {
        BorrowFlag::Guard guard(self.borrow, A);
        // Braced initialisation converts the arguments left to right.
        std::tuple<std::decay_t<Args>...> args{PyParam<std::decay_t<Args>>::from(py)...};
        auto call = [&](auto&... a) -> R {
            if constexpr (A == Access::Shared) return body(std::as_const(self), std::move(a)...);
            else return body(self, std::move(a)...);
        };
        if constexpr (std::is_void_v<R>) std::apply(call, args);
        else return result_to_py(std::apply(call, args));
    };
}

template <class F>
struct signature;
template <class C, class R, class Self, class... Args>
struct signature<R (C::*)(Self, Args...) const> {
    template <Access A, class F>
    static auto make(F body) { return make_method<A, F, R, Self, Args...>(std::move(body)); }
};

}  // namespace detail

// Wraps a method body `(const PyRegistry&, args...) -> result` (or
// `PyRegistry&` for exclusive access) into the Python-facing function.
template <Access A, class F>
auto method(F body) {
    return detail::signature<decltype(&F::operator())>::template make<A>(std::move(body));
}

template <class F>
auto shared(F body) { return method<Access::Shared>(std::move(body)); }
template <class F>
auto exclusive(F body) { return method<Access::Exclusive>(std::move(body)); }

// Bound with the method groups in methods/*.cpp.
using RegistryClass = nb::class_<PyRegistry>;
void add_config(RegistryClass& cls);
void add_schema(RegistryClass& cls);
void add_perm(RegistryClass& cls);
void add_rbac(RegistryClass& cls);
void add_datasource(RegistryClass& cls);
void add_pipeline(RegistryClass& cls);
void add_plan(RegistryClass& cls);
void add_compute(RegistryClass& cls);

}  // namespace kelvara::py

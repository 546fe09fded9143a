// The Python side of synchronous computed fields.
//
// A callback's exception is rendered as "TypeName: message" and handed to
// the core as its error text rather than re-raised, so the compute operation
// decides what the host finally sees (the message, unchanged).
#include "fn_bridge.hpp"

#include "computes/defaults.hpp"
#include "convert.hpp"
#include "error/core_error.hpp"

namespace kelvara::py {

namespace {

// UTF-8 text of a Python object's str(); text that does not encode (a lone
// surrogate) is escaped rather than lost.
std::string text_of(nb::handle obj) {
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s) {
        PyErr_Clear();
        return "<unprintable>";
    }
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

std::string describe(const nb::python_error& e) {
    return text_of(e.type().attr("__name__")) + ": " + text_of(e.value());
}

// Errors the binding raises itself (a value that does not convert) carry a
// type tag instead of a Python exception object.
std::string_view builtin_name(nb::exception_type t) {
    switch (t) {
        case nb::exception_type::stop_iteration: return "StopIteration";
        case nb::exception_type::index_error: return "IndexError";
        case nb::exception_type::key_error: return "KeyError";
        case nb::exception_type::value_error: return "ValueError";
        case nb::exception_type::type_error: return "TypeError";
        case nb::exception_type::buffer_error: return "BufferError";
        case nb::exception_type::import_error: return "ImportError";
        case nb::exception_type::attribute_error: return "AttributeError";
        default: return "RuntimeError";
    }
}

}  // namespace

Json PyFnBridge::call_sync(std::string_view fn_ref, const Json& argument) const {
    auto it = table_.find(fn_ref);
    if (it == table_.end()) throw CoreError(computes::defaults::missing_callback_message(fn_ref));
    nb::object callback = it->second;  // our own reference for the duration of the call
    try {
        nb::object result = callback(convert::json_to_py(argument));
        return convert::py_to_json(result);
    } catch (const nb::python_error& e) {
        throw CoreError(describe(e));
    } catch (const nb::builtin_exception& e) {
        throw CoreError(std::string(builtin_name(e.type())) + ": " + e.what());
    }
}

Json PyFnBridge::call_async(std::string_view fn_ref, const Json&) const {
    throw CoreError("异步计算列 " + std::string(fn_ref) + " 需由 Host 执行（见 prepare_query 返回的 fn_refs）");
}

}  // namespace kelvara::py

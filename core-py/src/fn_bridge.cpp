#include "fn_bridge.hpp"

#include "convert.hpp"
#include "error/core_error.hpp"

namespace kelvara::py {

namespace {

// "TypeName: message", the usual rendering of an exception.
std::string describe(nb::python_error& e) {
    nb::handle type = e.type();
    std::string name = nb::cast<std::string>(type.attr("__name__"));
    nb::object text = nb::steal(PyObject_Str(e.value().ptr()));
    if (!text) {
        PyErr_Clear();
        return name;
    }
    return name + ": " + nb::cast<std::string>(text);
}

}  // namespace

Json PyFnBridge::call_sync(std::string_view fn_ref, const Json& argument) const {
    auto it = table_.find(fn_ref);
    if (it == table_.end()) throw CoreError("计算列 " + std::string(fn_ref) + " 未注册同步实现");
    nb::object callback = it->second;  // keep it alive even if the callback clears the table
    try {
        nb::object result = callback(convert::json_to_py(argument));
        return convert::py_to_json(result);
    } catch (nb::python_error& e) {
        std::string message = describe(e);
        throw CoreError(std::move(message));
    } catch (nb::builtin_exception& e) {
        throw CoreError(std::string(e.type() == nb::exception_type::type_error ? "TypeError: " : "RuntimeError: ") + e.what());
    }
}

Json PyFnBridge::call_async(std::string_view fn_ref, const Json&) const {
    throw CoreError("异步计算列 " + std::string(fn_ref) + " 需由 Host 执行（见 prepare_query 返回的 fn_refs）");
}

}  // namespace kelvara::py

// Python <-> JSON conversion.
//
// Type tests run in a fixed order: the exact-bool test precedes the int test
// so that True never becomes the number 1. Strong references are held on
// every element while it is converted, because converting a non-str dict key
// runs str(), which is arbitrary Python code.
#include "convert.hpp"

#include <cmath>

namespace kelvara::convert {

namespace {

constexpr const char* kUnsupported = "不支持的 Python 类型（需为 None/bool/int/float/str/list/tuple/dict）";

Json int_to_json(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return json::integer(v);
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return Json(static_cast<std::uint64_t>(u));
        PyErr_Clear();
    }
    const double d = PyLong_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::type_error("整数超出 JSON 数值模型可表示的范围（超出 double 范围）");
    }
    return Json(d);
}

std::string str_of(PyObject* o) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) throw nb::python_error();
    return std::string(s, static_cast<std::size_t>(n));
}

Json convert(PyObject* o);

Json list_to_json(PyObject* o) {
    Json out = Json::array();
    auto& arr = out.get_ref<JsonArray&>();
    if (PyTuple_Check(o)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        arr.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) arr.push_back(convert(PyTuple_GET_ITEM(o, i)));
        return out;
    }
    nb::ft_object_guard guard(o);
    arr.reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(o, i));
        arr.push_back(convert(item.ptr()));
    }
    return out;
}

Json dict_to_json(PyObject* o) {
    Json out = Json::object();
    auto& obj = out.get_ref<JsonObject&>();
    nb::ft_object_guard guard(o);
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(o, &pos, &key, &value)) {
        nb::object k = nb::borrow(key), v = nb::borrow(value);
        std::string name;
        if (PyUnicode_Check(key)) {
            name = str_of(key);
        } else {
            nb::object rendered = nb::steal(PyObject_Str(key));
            if (!rendered) throw nb::python_error();
            name = str_of(rendered.ptr());
        }
        // Later keys win when two render to the same string.
        obj.insert_or_assign(std::move(name), convert(v.ptr()));
    }
    return out;
}

Json convert(PyObject* o) {
    if (o == Py_None) return Json();
    if (Py_TYPE(o) == &PyBool_Type) return Json(o == Py_True);
    if (PyLong_Check(o)) return int_to_json(o);
    if (PyFloat_Check(o)) {
        const double d = PyFloat_AS_DOUBLE(o);
        return std::isfinite(d) ? Json(d) : Json();
    }
    if (PyUnicode_Check(o)) return Json(str_of(o));
    if (PyList_Check(o) || PyTuple_Check(o)) return list_to_json(o);
    if (PyDict_Check(o)) return dict_to_json(o);
    throw nb::type_error(kUnsupported);
}

PyObject* str_to_py(const std::string& s) {
    PyObject* r = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!r) throw nb::python_error();
    return r;
}

// Returns a new reference; throws on allocation failure.
PyObject* build(const Json& v) {
    PyObject* r = nullptr;
    switch (v.type()) {
        case Json::value_t::null: return Py_NewRef(Py_None);
        case Json::value_t::boolean: return Py_NewRef(v.get<bool>() ? Py_True : Py_False);
        case Json::value_t::number_unsigned: r = PyLong_FromUnsignedLongLong(v.get<std::uint64_t>()); break;
        case Json::value_t::number_integer: r = PyLong_FromLongLong(v.get<std::int64_t>()); break;
        case Json::value_t::number_float: r = PyFloat_FromDouble(v.get<double>()); break;
        case Json::value_t::string: return str_to_py(v.get_ref<const std::string&>());
        case Json::value_t::array: {
            const auto& arr = v.get_ref<const JsonArray&>();
            nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(arr.size())));
            if (!list) throw nb::python_error();
            for (std::size_t i = 0; i < arr.size(); ++i)
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), build(arr[i]));
            return list.release().ptr();
        }
        case Json::value_t::object: {
            nb::object dict = nb::steal(PyDict_New());
            if (!dict) throw nb::python_error();
            for (const auto& [key, member] : v.get_ref<const JsonObject&>()) {
                nb::object k = nb::steal(str_to_py(key));
                nb::object m = nb::steal(build(member));
                if (PyDict_SetItem(dict.ptr(), k.ptr(), m.ptr()) != 0) throw nb::python_error();
            }
            return dict.release().ptr();
        }
        default: return Py_NewRef(Py_None);  // binary and discarded values never occur
    }
    if (!r) throw nb::python_error();
    return r;
}

}  // namespace

Json py_to_json(nb::handle obj) { return convert(obj.ptr()); }

nb::object json_to_py(const Json& value) { return nb::steal(build(value)); }

Json sorted_set(const OptNameSet& names) {
    if (!names) return Json();
    Json out = Json::array();
    for (const std::string& n : *names) out.push_back(n);
    return out;
}

std::optional<permission::Context> ctx_from(nb::handle obj) {
    if (!obj.is_valid() || obj.is_none()) return std::nullopt;
    return permission::context_from_value(py_to_json(obj));
}

}  // namespace kelvara::convert

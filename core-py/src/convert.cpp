// Python <-> JSON conversion.
//
// Type tests run in a fixed order: the exact-bool test precedes the int test
// so that True never becomes the number 1. Strong references are held on
// every element while it is converted, because converting a non-str dict key
// runs str(), which is arbitrary Python code.
#include "convert.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>

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
        // Keys often arrive in ascending order: append without a search then.
        // Otherwise insert, the later key winning when two render alike.
        if (obj.empty() || obj.rbegin()->first < name) obj.emplace_hint(obj.end(), std::move(name), convert(v.ptr()));
        else obj.insert_or_assign(std::move(name), convert(v.ptr()));
    }
    return out;
}

// Guards the C stack against pathologically deep values: past the
// interpreter's recursion limit the conversion raises RecursionError.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while converting a value to JSON")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

Json convert(PyObject* o) {
    // Exact types first (the common case, no subclass walk), then subclasses
    // in the fixed order: bool is tested exactly and before int.
    PyTypeObject* t = Py_TYPE(o);
    if (o == Py_None) return Json();
    if (t == &PyBool_Type) return Json(o == Py_True);
    if (t == &PyUnicode_Type) return Json(str_of(o));
    if (t == &PyDict_Type) {
        RecursionGuard guard;
        return dict_to_json(o);
    }
    if (t == &PyList_Type || t == &PyTuple_Type) {
        RecursionGuard guard;
        return list_to_json(o);
    }
    if (PyLong_Check(o)) return int_to_json(o);
    if (PyFloat_Check(o)) {
        const double d = PyFloat_AS_DOUBLE(o);
        return std::isfinite(d) ? Json(d) : Json();
    }
    if (PyUnicode_Check(o)) return Json(str_of(o));
    if (PyList_Check(o) || PyTuple_Check(o)) {
        RecursionGuard guard;
        return list_to_json(o);
    }
    if (PyDict_Check(o)) {
        RecursionGuard guard;
        return dict_to_json(o);
    }
    throw nb::type_error(kUnsupported);
}

bool is_ascii(std::string_view s) {
    unsigned char acc = 0;
    for (unsigned char c : s) acc |= c;
    return acc < 0x80;
}

PyObject* str_to_py(std::string_view s) {
    PyObject* r = nullptr;
    if (is_ascii(s)) {
        // ASCII needs no decoding: copy the bytes into a compact str.
        r = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
        if (r) std::memcpy(PyUnicode_DATA(r), s.data(), s.size());
    } else {
        r = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    }
    if (!r) throw nb::python_error();
    return r;
}

PyObject* new_dict(std::size_t size) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(size));
#else
    (void)size;
    return PyDict_New();
#endif
}

// The keys of the system's own formats (commands, plans, stages, ASTs)
// occur in nearly every result. They are created once, at import, as
// interned strs whose hash is already computed, and stay immutable; a
// conversion takes them from this read-only table instead of decoding and
// hashing a new str for every key of every result.
constexpr const char* kKnownKeys[] = {
    "_id", "$and", "$or", "$nor", "$not", "$in", "$nin", "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$exists",
    "$expr", "$ifNull", "$cond", "$isArray", "$size", "$sum", "$avg", "$min", "$max", "$count", "$match", "$lookup",
    "$unwind", "$sort", "$skip", "$limit", "$project", "$addFields", "$group", "$set", "$unset", "$inc", "as", "from",
    "let", "pipeline", "path", "preserveNullAndEmptyArrays", "kind", "collection", "source", "namespace", "filter",
    "projection", "doc", "docs", "update", "options", "mode", "commands", "postprocess", "sort", "ast", "inject",
    "fields", "model", "params", "relations", "condition", "limit", "skip", "countCommand", "page", "pageSize",
    "hasMore", "items", "fnRefs", "tokens", "t", "v", "createdAt", "updatedAt", "createdBy", "deletedAt", "command",
    "returns", "needsProbe", "name", "title", "status",
};
constexpr std::size_t kKnownSlots = 256;

std::size_t key_hash(std::string_view key) {
    std::size_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
    return h ^ (h >> 29);
}

struct KnownKey {
    std::string_view key;
    PyObject* str = nullptr;
};

// Filled once by init_known_keys (module import), read-only afterwards.
std::array<KnownKey, kKnownSlots> known_keys;

PyObject* known_key(std::string_view key, std::size_t hash) {
    const KnownKey& k = known_keys[hash & (kKnownSlots - 1)];
    return k.str && k.key == key ? Py_NewRef(k.str) : nullptr;
}

// Object keys repeat across the documents of a result, so one conversion
// keeps a small direct-mapped cache of the key strings it created: a hit
// skips the UTF-8 decode and reuses the str's cached hash in the dict insert.
// The cache lives for one call only; it holds strong references.
class KeyCache {
public:
    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache() {
        // Only the slots in use are visited: a small result must not pay for
        // the whole table.
        for (std::size_t w = 0; w < kWords; ++w)
            for (std::uint64_t bits = used_[w]; bits; bits &= bits - 1)
                Py_DECREF(slots_[w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))].str);
    }

    // A new reference to the str for `key`.
    PyObject* get(std::string_view key) {
        if (key.size() > kMaxKey) return str_to_py(key);
        const std::size_t h = key_hash(key);
        if (PyObject* known = known_key(key, h)) return known;
        const std::size_t i = h & (kSlots - 1);
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        Slot& slot = slots_[i];
        const bool used = (used_[i / 64] & bit) != 0;
        if (used && slot.key == key) return Py_NewRef(slot.str);
        PyObject* str = str_to_py(key);
        if (used) Py_DECREF(slot.str);
        used_[i / 64] |= bit;
        slot.key = key;
        slot.str = Py_NewRef(str);
        return str;
    }

private:
    static constexpr std::size_t kSlots = 256;
    static constexpr std::size_t kWords = kSlots / 64;
    static constexpr std::size_t kMaxKey = 64;

    struct Slot {
        std::string_view key;  // points into the JSON value being converted
        PyObject* str;
    };
    std::array<std::uint64_t, kWords> used_{};
    std::array<Slot, kSlots> slots_;  // valid where the bit in used_ is set
};

// Returns a new reference; throws on allocation failure. With Consume, each
// container is released right after its members were converted, while its
// nodes are still in cache, instead of in a second walk afterwards.
template <bool Consume, class J>
PyObject* build(J& v, KeyCache& keys) {
    PyObject* r = nullptr;
    switch (v.type()) {
        case Json::value_t::null: return Py_NewRef(Py_None);
        case Json::value_t::boolean: return Py_NewRef(v.template get<bool>() ? Py_True : Py_False);
        case Json::value_t::number_unsigned: r = PyLong_FromUnsignedLongLong(v.template get<std::uint64_t>()); break;
        case Json::value_t::number_integer: r = PyLong_FromLongLong(v.template get<std::int64_t>()); break;
        case Json::value_t::number_float: r = PyFloat_FromDouble(v.template get<double>()); break;
        case Json::value_t::string: {
            PyObject* str = str_to_py(v.template get_ref<const std::string&>());
            if constexpr (Consume) v = nullptr;
            return str;
        }
        case Json::value_t::array: {
            auto& arr = v.template get_ref<std::conditional_t<Consume, JsonArray&, const JsonArray&>>();
            nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(arr.size())));
            if (!list) throw nb::python_error();
            for (std::size_t i = 0; i < arr.size(); ++i)
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), build<Consume>(arr[i], keys));
            if constexpr (Consume) arr.clear();
            return list.release().ptr();
        }
        case Json::value_t::object: {
            nb::object dict = nb::steal(new_dict(v.size()));
            if (!dict) throw nb::python_error();
            auto& obj = v.template get_ref<std::conditional_t<Consume, JsonObject&, const JsonObject&>>();
            for (auto& [key, member] : obj) {
                nb::object k = nb::steal(keys.get(key));
                nb::object m = nb::steal(build<Consume>(member, keys));
                if (PyDict_SetItem(dict.ptr(), k.ptr(), m.ptr()) != 0) throw nb::python_error();
            }
            if constexpr (Consume) obj.clear();
            return dict.release().ptr();
        }
        default: return Py_NewRef(Py_None);  // binary and discarded values never occur
    }
    if (!r) throw nb::python_error();
    return r;
}

template <bool Consume, class J>
nb::object convert_out(J& value) {
    if (!value.is_structured()) {
        KeyCache unused;
        return nb::steal(build<Consume>(value, unused));
    }
    KeyCache keys;  // a few kilobytes of stack; only its bitmap is initialised
    return nb::steal(build<Consume>(value, keys));
}

}  // namespace

void init_known_keys() {
    for (const char* name : kKnownKeys) {
        const std::string_view key(name);
        KnownKey& slot = known_keys[key_hash(key) & (kKnownSlots - 1)];
        if (slot.str) continue;  // a collision: the later key takes the ordinary path
        PyObject* str = PyUnicode_InternFromString(name);
        if (!str) throw nb::python_error();
        PyObject_Hash(str);  // computed once, cached in the str
        slot = {key, str};
    }
}

Json py_to_json(nb::handle obj) { return convert(obj.ptr()); }

nb::object json_to_py(const Json& value) { return convert_out<false>(value); }

nb::object to_py(Json&& value) {
    json::DisposingJson owned(std::move(value));  // releases what is left after an error
    return convert_out<true>(owned.value);
}

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

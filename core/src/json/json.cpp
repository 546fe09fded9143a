// Strict equality and the compact writer for the JSON value model.
#include "json/json.hpp"

namespace kelvara::json {

namespace {

bool is_integer(const Json& v) { return v.is_number_integer(); }

bool integers_equal(const Json& a, const Json& b) {
    const bool a_unsigned = a.is_number_unsigned();
    const bool b_unsigned = b.is_number_unsigned();
    if (a_unsigned && b_unsigned) return a.get<std::uint64_t>() == b.get<std::uint64_t>();
    if (!a_unsigned && !b_unsigned) return a.get<std::int64_t>() == b.get<std::int64_t>();
    const Json& u = a_unsigned ? a : b;
    const Json& s = a_unsigned ? b : a;
    const std::int64_t sv = s.get<std::int64_t>();
    return sv >= 0 && static_cast<std::uint64_t>(sv) == u.get<std::uint64_t>();
}

}  // namespace

bool strict_equal(const Json& a, const Json& b) {
    if (is_integer(a) || is_integer(b)) return is_integer(a) && is_integer(b) && integers_equal(a, b);
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Json::value_t::array: {
            const auto& x = a.get_ref<const JsonArray&>();
            const auto& y = b.get_ref<const JsonArray&>();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!strict_equal(x[i], y[i])) return false;
            return true;
        }
        case Json::value_t::object: {
            const auto& x = a.get_ref<const JsonObject&>();
            const auto& y = b.get_ref<const JsonObject&>();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !strict_equal(i->second, j->second)) return false;
            return true;
        }
        default:
            return a == b;
    }
}

std::string compact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json* member(const Json& value, std::string_view key) {
    if (!value.is_object()) return nullptr;
    const auto& obj = value.get_ref<const JsonObject&>();
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &it->second;
}

const std::string* string_member(const Json& value, std::string_view key) {
    const Json* m = member(value, key);
    return m && m->is_string() ? &m->get_ref<const std::string&>() : nullptr;
}

void dispose(Json& value) noexcept {
    if (value.is_array()) {
        auto& arr = value.get_ref<JsonArray&>();
        for (Json& e : arr) dispose(e);
        arr.clear();
    } else if (value.is_object()) {
        auto& obj = value.get_ref<JsonObject&>();
        for (auto& [_, m] : obj) dispose(m);
        obj.clear();
    }
    value = nullptr;
}

Json integer(long long value) {
    if (value >= 0) return Json(static_cast<std::uint64_t>(value));
    return Json(static_cast<std::int64_t>(value));
}

}  // namespace kelvara::json

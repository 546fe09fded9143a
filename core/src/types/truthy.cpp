#include "types/truthy.hpp"

namespace kelvara::types {

bool is_truthy(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null: return false;
        case Json::value_t::boolean: return value.get<bool>();
        case Json::value_t::number_unsigned: return value.get<std::uint64_t>() != 0;
        case Json::value_t::number_integer: return value.get<std::int64_t>() != 0;
        case Json::value_t::number_float: return value.get<double>() != 0.0;
        case Json::value_t::string: return !value.get_ref<const std::string&>().empty();
        default: return true;
    }
}

Json get_default(std::string_view t) {
    if (t == "int" || t == "long" || t == "float" || t == "double") return Json(std::uint64_t{0});
    if (t == "string") return Json(std::string());
    if (t == "boolean") return Json(false);
    if (t == "array") return Json::array();
    if (t == "object") return Json::object();
    return Json();
}

}  // namespace kelvara::types

#include "bson/id_key.hpp"

namespace kelvara::bson {

namespace {

// The shortest form of a double, with the exponent written without "+" and
// leading zeros (1e21, 1e-7), as JSON writers commonly print it.
std::string float_key(const Json& value) {
    std::string text = json::compact(value);
    const auto e = text.find('e');
    if (e == std::string::npos) return text;
    std::size_t digits = e + 1;
    std::string exponent;
    if (text[digits] == '-') exponent += '-';
    if (text[digits] == '-' || text[digits] == '+') ++digits;
    while (digits + 1 < text.size() && text[digits] == '0') ++digits;
    return text.substr(0, e + 1) + exponent + text.substr(digits);
}

}  // namespace

std::string id_key(const Json& value) {
    switch (value.type()) {
        case Json::value_t::string: return value.get<std::string>();
        case Json::value_t::object:
            if (const std::string* oid = json::string_member(value, "$oid")) return *oid;
            return json::compact(value);
        case Json::value_t::number_float: return float_key(value);
        default: return json::compact(value);  // null, booleans, integers, arrays
    }
}

}  // namespace kelvara::bson

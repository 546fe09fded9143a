#include "bson/id_key.hpp"

namespace kelvara::bson {

std::string id_key(const Json& value) {
    switch (value.type()) {
        case Json::value_t::string: return value.get<std::string>();
        case Json::value_t::object:
            if (const std::string* oid = json::string_member(value, "$oid")) return *oid;
            return json::compact(value);
        default: return json::compact(value);  // null, booleans, numbers, arrays
    }
}

}  // namespace kelvara::bson

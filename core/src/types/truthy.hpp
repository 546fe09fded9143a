// JSON truthiness and type defaults: the small value rules every part shares.
#pragma once

#include "json/json.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace kelvara::types {

// null, false, a numeric zero and "" are falsy; everything else is truthy,
// empty arrays and objects included.
bool is_truthy(const Json& value);

// The default value of a declared type name (exact, lower-case match);
// null for every type without one.
Json get_default(std::string_view type_name);

}  // namespace kelvara::types

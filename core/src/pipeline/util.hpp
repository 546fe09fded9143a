// Small helpers of the pipeline builders: parameter references, ordering
// stages and the text2query limit rules.
#pragma once

#include "json/json.hpp"
#include "schema/registry.hpp"

#include <optional>
#include <string>

namespace kelvara::pipeline::util {

// The profile's cap on limits, and the limit forced onto root queries.
inline constexpr std::uint64_t kT2qMaxLimit = 1000;

// Resolves an argument's reference against params by dropping its first
// character ("@c" looks up "c"; a first character outside ASCII leaves the
// empty key). Null when the argument is absent or empty, params is not an
// object, or the member is missing. A member holding JSON null is returned.
const Json* param(const Json& params, const std::string* value);

// The params key an argument's reference names: the text without its first
// character, or "" when that character is not ASCII.
std::string_view param_key(std::string_view value);

// The resolved argument when it is set (present and not JSON null), else null.
const Json* set_param(const Json& params, const std::string* value);

// A one-member stage object {op: value}.
Json stage(std::string_view op, Json value);

// Appends {"$sort"}, {"$skip"}, {"$limit"} in this order, each when present
// and not null.
void append_order(JsonArray& pipeline, const Json* sort, const Json* skip, const Json* limit);

// text2query: a numeric limit becomes the integer trunc(min(limit, 1000));
// one that is negative after truncation is refused (ERR_TEXT2QUERY); any
// other limit, absent and null included, becomes 1000. Standard: a copy of
// the limit, nullopt if absent.
std::optional<Json> force_t2q_limit(const schema::Registry& registry, const Json* limit);
// text2query: a numeric limit is truncated and capped as above; any other
// limit is returned unchanged. Standard: unchanged.
std::optional<Json> clamp_t2q_limit(const schema::Registry& registry, const Json* limit);

}  // namespace kelvara::pipeline::util

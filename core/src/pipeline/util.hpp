// Small helpers of the pipeline builders: parameter references, ordering
// stages and the text2query limit rules.
#pragma once

#include "json/json.hpp"
#include "schema/registry.hpp"

#include <string>

namespace kelvara::pipeline::util {

// Resolves an argument's reference against params by dropping its first
// character ("@c" looks up "c"). Null when the argument is absent or empty,
// or the member is missing. A member holding JSON null is returned as such.
const Json* param(const Json& params, const std::string* value);

// The resolved argument when it is set (present and not JSON null), else null.
const Json* set_param(const Json& params, const std::string* value);

// Appends {"$sort"}, {"$skip"}, {"$limit"} in this order, each when present
// and not null.
void append_order(JsonArray& pipeline, const Json* sort, const Json* skip, const Json* limit);

// text2query: a numeric limit is truncated and capped at 1000; any other
// limit (absent and null included) becomes 1000. Standard: unchanged.
std::optional<Json> force_t2q_limit(const schema::Registry& registry, const Json* limit);
// text2query: a numeric limit is truncated and capped at 1000; others unchanged.
std::optional<Json> clamp_t2q_limit(const schema::Registry& registry, const Json* limit);

}  // namespace kelvara::pipeline::util

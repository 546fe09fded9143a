// Refusals of the restricted text2query profile, shared by every planner.
#pragma once

#include "schema/registry.hpp"

#include <string_view>

namespace kelvara::command {

// Throws "ERR_TEXT2QUERY:text2query 档禁用 [{feature}]（功能收缩）" in text2query.
void forbid_t2q(const schema::Registry& registry, std::string_view feature);

// Throws "ERR_TEXT2QUERY:text2query 档功能收缩 [{label}]：{detail}" when the flag is set.
void forbid_t2q_shape(bool text2query, std::string_view label, std::string_view detail);

// Throws the route-override refusal in text2query when an override was given.
void ensure_route_override_allowed(const schema::Registry& registry, bool override_given);

}  // namespace kelvara::command

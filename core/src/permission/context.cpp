#include "permission/context.hpp"

#include "types/truthy.hpp"

#include <algorithm>

namespace kelvara::permission {

void Context::finish() {
    effective_.clear();
    if (roles && !roles->empty()) effective_ = *roles;
    else effective_.push_back(role.value_or(std::string()));
}

std::optional<Context> context_from_value(const Json& value) {
    if (!value.is_object()) return std::nullopt;
    Context ctx;
    if (const std::string* uid = json::string_member(value, "userId")) ctx.user_id = *uid;
    if (const Json* roles = json::member(value, "roles"); roles && roles->is_array()) {
        ctx.roles.emplace();
        for (const Json& r : *roles)
            if (r.is_string()) ctx.roles->push_back(r.get<std::string>());
    }
    if (const std::string* role = json::string_member(value, "role")) ctx.role = *role;
    const Json* internal = json::member(value, "internal");
    ctx.internal = internal && types::is_truthy(*internal);
    ctx.finish();
    return ctx;
}

Context internal_context() {
    Context ctx;
    ctx.internal = true;
    ctx.finish();
    return ctx;
}

std::vector<std::string> effective(const Context& ctx) {
    auto e = ctx.effective();
    return {e.begin(), e.end()};
}

bool has_any(const Context& ctx, std::span<const std::string> roles) {
    for (const std::string& r : ctx.effective())
        if (std::find(roles.begin(), roles.end(), r) != roles.end()) return true;
    return false;
}

}  // namespace kelvara::permission

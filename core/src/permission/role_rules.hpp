// Registry-wide static role settings: exempt roles, deny-write roles and the
// answer for an allow-list that is absent or empty.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::permission {

enum class UnconfiguredPolicy { Open, Closed };

// "open" or "closed", case-sensitive; throws CoreError otherwise.
UnconfiguredPolicy unconfigured_policy_from_str_or_err(std::string_view text);

struct RoleRules {
    std::vector<std::string> exempt_roles;
    std::vector<std::string> deny_write_roles;
    UnconfiguredPolicy unconfigured = UnconfiguredPolicy::Open;
};

}  // namespace kelvara::permission

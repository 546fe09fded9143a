// Name collections shared by every module.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelvara {

// A role allow-list ("read"/"write"): absent and empty mean different things.
using RoleList = std::vector<std::string>;
using OptRoleList = std::optional<RoleList>;

// A set of names kept in byte order, looked up by string_view. Absent
// (nullopt) means "no restriction" wherever a set restricts something.
using NameSet = std::set<std::string, std::less<>>;
using OptNameSet = std::optional<NameSet>;

}  // namespace kelvara

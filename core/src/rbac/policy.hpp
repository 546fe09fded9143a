// The RBAC policy: grants that allow a role actions on a model, optionally
// limited to fields, to the user's own documents or to an equality condition.
//
// The policy is data installed by the host (set_rbac); from_json validates it
// whole, so a failed install never leaves half a policy behind.
#pragma once

#include "json/json.hpp"
#include "schema/definition.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::rbac {

enum class Mode { Overlay, Enforce };

// Actions as bits, so a grant's action list and a decision's union are cheap.
enum class Action : std::uint8_t { Read = 1, Insert = 2, Update = 4, Remove = 8 };
using ActionSet = std::uint8_t;

inline bool has_action(ActionSet set, Action a) { return (set & static_cast<ActionSet>(a)) != 0; }
std::string_view action_name(Action a);

struct Grant {
    std::string role;
    std::string model;                  // "*" matches every model
    ActionSet actions = 0;
    OptNameSet read_fields;
    OptNameSet write_fields;
    bool owner_only = false;
    std::optional<Json> condition;      // equality map: keys without "$", scalar values
};

struct RbacPolicy {
    Mode mode = Mode::Overlay;
    NameSet roles;                      // managed role names
    std::vector<Grant> grants;          // policy order

    // Validates and parses a policy; throws CoreError with the first problem.
    static RbacPolicy from_json(const Json& value);
};

}  // namespace kelvara::rbac

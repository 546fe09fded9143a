// Parsing and validation of the RBAC policy JSON.
#include "rbac/policy.hpp"

#include "error/core_error.hpp"

namespace kelvara::rbac {

std::string_view action_name(Action a) {
    switch (a) {
        case Action::Read: return "read";
        case Action::Insert: return "insert";
        case Action::Update: return "update";
        case Action::Remove: return "remove";
    }
    internal_error("unknown RBAC action");
}

RbacPolicy RbacPolicy::from_json(const Json& value) {
    if (!value.is_object()) throw CoreError("RBAC 策略必须是对象");
    RbacPolicy p;
    (void)p;
    internal_error("RBAC policy parsing is not built yet");
}

}  // namespace kelvara::rbac

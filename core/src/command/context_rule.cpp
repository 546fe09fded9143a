#include "command/context_rule.hpp"

#include "error/core_error.hpp"

namespace kelvara::command {

void check_context_requirement(const schema::Registry& registry, const permission::Context* ctx) {
    if (ctx) return;
    if (registry.require_context) throw CoreError(std::string(kNoContextMessage));
    if (registry.text2query()) throw CoreError(std::string(kErrText2Query) + "text2query 档必须携带用户上下文");
}

}  // namespace kelvara::command

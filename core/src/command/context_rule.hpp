// The two checks every planning operation that acts for a user starts with:
// a context is required when the registry says so, and always in text2query.
#pragma once

#include "permission/context.hpp"
#include "schema/registry.hpp"

namespace kelvara::command {

// Throws the ERR_NO_CONTEXT refusal when no context is given and one is
// required, else the ERR_TEXT2QUERY refusal when no context is given in the
// text2query profile.
void check_context_requirement(const schema::Registry& registry, const permission::Context* ctx);

}  // namespace kelvara::command

// What the host sees of one query's pipeline: its tokens, its AST (as
// parsed, before object fields are flattened), the pipeline and the
// projection. Serves the Registry method build_pipeline.
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "schema/registry.hpp"

#include <string_view>

namespace kelvara::pipeline::explain {

// {"ast", "pipeline", "projection" (null when none), "tokens"}. Throws the
// parse error, the registry's error for an unknown model, and every build error.
Json build_pipeline_view(const schema::Registry& registry, std::string_view gql, const Json& params,
                         const permission::Context* ctx);

}  // namespace kelvara::pipeline::explain

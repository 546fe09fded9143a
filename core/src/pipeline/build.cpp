// The pipeline builder.
#include "pipeline/build.hpp"

#include "error/core_error.hpp"

namespace kelvara::pipeline::build {

JsonArray build_pipeline(ast::Ast&, const Json&, const schema::Registry&, const permission::Context*) { internal_error("not built yet"); }
void flatten_object_fields_impl(std::vector<std::string>&, std::vector<ast::RelSel>&, const schema::Schema&) { internal_error("not built yet"); }
void override_or_append(JsonArray&, std::string_view, Json) { internal_error("not built yet"); }

}  // namespace kelvara::pipeline::build

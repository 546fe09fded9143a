// Dependency injection and stripping.
#include "computes/inject.hpp"

#include "error/core_error.hpp"

namespace kelvara::computes::inject {

Json RelDep::to_value() const { internal_error("not built yet"); }
Json InjectInfo::to_value() const { internal_error("not built yet"); }
InjectInfo InjectInfo::from_value(const Json&) { internal_error("not built yet"); }
std::vector<RelDep> collect_rel_deps(const schema::Schema&) { internal_error("not built yet"); }
InjectInfo merge_depends_into_ast(std::vector<pipeline::ast::RelSel>&, const schema::Schema&) { internal_error("not built yet"); }
std::vector<std::string> collect_field_deps(std::vector<std::string>&, const schema::Schema&) { internal_error("not built yet"); }
void strip_dep_injected(const InjectInfo&, JsonArray&) { internal_error("not built yet"); }

}  // namespace kelvara::computes::inject

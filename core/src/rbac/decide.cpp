// RBAC decisions.
#include "rbac/decide.hpp"

#include "error/core_error.hpp"

namespace kelvara::rbac {

std::optional<ModelDecision> decide(const RbacPolicy&, const std::vector<std::string>&, const Context*, std::string_view) { internal_error("not built yet"); }
Action write_action_from_str(std::string_view) { internal_error("not built yet"); }
void ensure_read(const Registry&, const Schema&, const Context*) { internal_error("not built yet"); }
void ensure_write(const Registry&, const Schema&, const Context*, Action) { internal_error("not built yet"); }
void ensure_write_on_doc(const Registry&, const Schema&, const Context*, Action, const Json&) { internal_error("not built yet"); }
std::optional<Json> grant_row_restriction(const Grant&, const Context*) { internal_error("not built yet"); }
std::optional<Json> row_condition(const Registry&, const Schema&, const Context*, Action) { internal_error("not built yet"); }
std::optional<Json> merge_row_condition(const Registry&, const Schema&, const Context*, Action, std::optional<Json>) { internal_error("not built yet"); }
std::vector<std::string> probe_condition_fields(const Registry&, const Schema&, const Context*, Action) { internal_error("not built yet"); }
OptNameSet overlay_readable_fields(const Registry&, std::string_view, const Context*, OptNameSet) { internal_error("not built yet"); }
OptNameSet overlay_writable_fields(const Registry&, std::string_view, const Context*, OptNameSet) { internal_error("not built yet"); }
bool is_field_readable_overlay(const Registry&, const Schema&, const Context*, std::string_view) { internal_error("not built yet"); }
Json filter_writable_data_overlay(const Registry&, const Schema&, const Context*, Json) { internal_error("not built yet"); }

}  // namespace kelvara::rbac

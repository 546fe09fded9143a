// RBAC decisions: which actions a context may take on a model, which rows
// and which fields.
//
// Every operation returns its neutral answer (nothing, absent, unchanged,
// true) when no policy is installed, for no context, for the internal
// context and for exempt roles. RBAC only narrows what the static rules allow.
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "rbac/policy.hpp"
#include "schema/registry.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace kelvara::rbac {

using permission::Context;
using schema::Registry;
using schema::Schema;

struct ModelDecision {
    ActionSet actions = 0;
    OptNameSet read_fields;
    OptNameSet write_fields;
};

// Absent when RBAC does not decide for this context and model.
std::optional<ModelDecision> decide(const RbacPolicy& policy, const std::vector<std::string>& exempt_roles,
                                    const Context* ctx, std::string_view model);

// "insert", "update" or "remove"; throws CoreError otherwise.
Action write_action_from_str(std::string_view text);

void ensure_read(const Registry& registry, const Schema& schema, const Context* ctx);
void ensure_write(const Registry& registry, const Schema& schema, const Context* ctx, Action action);
void ensure_write_on_doc(const Registry& registry, const Schema& schema, const Context* ctx, Action action,
                         const Json& doc);

std::optional<Json> grant_row_restriction(const Grant& grant, const Context* ctx);
std::optional<Json> row_condition(const Registry& registry, const Schema& schema, const Context* ctx, Action action);
std::optional<Json> merge_row_condition(const Registry& registry, const Schema& schema, const Context* ctx,
                                        Action action, std::optional<Json> condition);
std::vector<std::string> probe_condition_fields(const Registry& registry, const Schema& schema, const Context* ctx,
                                                Action action);

OptNameSet overlay_readable_fields(const Registry& registry, std::string_view model, const Context* ctx,
                                   OptNameSet static_set);
OptNameSet overlay_writable_fields(const Registry& registry, std::string_view model, const Context* ctx,
                                   OptNameSet static_set);
bool is_field_readable_overlay(const Registry& registry, const Schema& schema, const Context* ctx,
                               std::string_view path);
Json filter_writable_data_overlay(const Registry& registry, const Schema& schema, const Context* ctx, Json data);

}  // namespace kelvara::rbac

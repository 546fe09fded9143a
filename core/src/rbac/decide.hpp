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
// "read", "update" or "remove" (the actions that restrict rows); nullopt otherwise.
std::optional<Action> row_action_from_str(std::string_view text);

// Whether RBAC lets the context take the action on the model: true when no
// policy is installed or RBAC does not decide. Never throws.
bool allows(const Registry& registry, const Schema& schema, const Context* ctx, Action action);
// The host's yes/no question: "read" or a write action name (a bad name
// throws, like write_action_from_str), then the model lookup (throws when
// unregistered), then allows().
bool can(const Registry& registry, std::string_view model, const Context* ctx, std::string_view action);

// Throw "ERR_PERMISSION:RBAC:角色对 [{model}] 无 [{action}] 权限" when !allows().
void ensure_read(const Registry& registry, const Schema& schema, const Context* ctx);
void ensure_write(const Registry& registry, const Schema& schema, const Context* ctx, Action action);
// ensure_write, then: some grant for the action admits this document (its
// owner part and equality condition hold on it); throws otherwise.
void ensure_write_on_doc(const Registry& registry, const Schema& schema, const Context* ctx, Action action,
                         const Json& doc);

// The rows one grant limits to: absent when it does not limit rows; the
// owner part {"createdBy": uid} ({"__rbac_impossible__": true} without a
// user id), the condition, or {"$and": [owner, condition]}.
std::optional<Json> grant_row_restriction(const Grant& grant, const Context* ctx);
// The condition RBAC adds to every query for the action: absent when no
// restriction applies, one grant's restriction, or {"$or": [...]} of several.
std::optional<Json> row_condition(const Registry& registry, const Schema& schema, const Context* ctx, Action action);
// The host condition combined with row_condition: {"$and": [condition, row]}.
// An absent, null or empty-object condition is replaced by the row condition.
std::optional<Json> merge_row_condition(const Registry& registry, const Schema& schema, const Context* ctx,
                                        Action action, std::optional<Json> condition);
// Field names the grants' equality conditions test, so a write probe can
// fetch them: policy order, ascending within a grant, each once.
std::vector<std::string> probe_condition_fields(const Registry& registry, const Schema& schema, const Context* ctx,
                                                Action action);

// A static field set (absent = unrestricted) narrowed to the decision's
// read/write fields; "_id" survives when the static set held it, or is added
// when there was no static set.
OptNameSet overlay_readable_fields(const Registry& registry, std::string_view model, const Context* ctx,
                                   OptNameSet static_set);
OptNameSet overlay_writable_fields(const Registry& registry, std::string_view model, const Context* ctx,
                                   OptNameSet static_set);
// Static readability and, when RBAC limits read fields, membership of the
// path's head in them (no exception for "_id").
bool is_field_readable_overlay(const Registry& registry, const Schema& schema, const Context* ctx,
                               std::string_view path);
// Write data trimmed to the static writable fields narrowed by RBAC.
Json filter_writable_data_overlay(const Registry& registry, const Schema& schema, const Context* ctx, Json data);

}  // namespace kelvara::rbac

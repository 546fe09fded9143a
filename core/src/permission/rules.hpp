// Static role rules: model, field, relation and compute allow-lists decided
// for a context, write-data trimming and owner conditions.
//
// All operations are pure; none fails. A null context means "no context":
// everything is allowed, nothing trimmed, no owner condition.
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "permission/role_rules.hpp"
#include "schema/definition.hpp"

#include <optional>

namespace kelvara::permission {

using schema::Schema;

// The one decision procedure. `doc` is the document for the "creator" rule,
// or null to decide without one.
bool evaluate(const RoleRules& rules, const Context* ctx, const OptRoleList& allow, const Json* doc = nullptr);

bool can_read_schema(const RoleRules& rules, const Schema& schema, const Context* ctx);
bool can_write_schema(const RoleRules& rules, const Schema& schema, const Context* ctx);

// Absent means no restriction (no context).
OptNameSet get_readable_fields(const RoleRules& rules, const Schema& schema, const Context* ctx);
OptNameSet get_readable_relations(const RoleRules& rules, const Schema& schema, const Context* ctx);
OptNameSet get_readable_computes(const RoleRules& rules, const Schema& schema, const Context* ctx);
OptNameSet get_writable_fields(const RoleRules& rules, const Schema& schema, const Context* ctx);

bool is_field_readable(const RoleRules& rules, const Schema& schema, const Context* ctx, std::string_view path);
bool is_relation_readable(const RoleRules& rules, const Schema& schema, const Context* ctx, std::string_view name);

// Keeps "_id" and the keys whose part before the first dot is in `writable`;
// a non-object, or no set, passes through unchanged.
Json filter_by_writable(Json data, const OptNameSet& writable);
Json filter_writable_data(const RoleRules& rules, const Schema& schema, const Context* ctx, Json data);

bool should_inject_owner_condition(const RoleRules& rules, const Schema& schema, const Context* ctx);

// The condition unchanged, the owner condition {"createdBy": uid}, or
// {"$and": [condition, owner]}.
std::optional<Json> merge_owner_condition(const RoleRules& rules, const Schema& schema, const Context* ctx,
                                          std::optional<Json> condition);

// The part of a path before its first dot.
std::string_view path_head(std::string_view path);

}  // namespace kelvara::permission

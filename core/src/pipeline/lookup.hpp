// Relation lookups: the "$lookup" stage that joins one relation selection
// (recursively, with its own nested selections) and the stages that compute
// aggregate computed fields over a relation.
//
// Row-level read restrictions of the joined model (owner condition, RBAC
// row condition) are pushed into every lookup's first "$match", so a join
// never shows rows the caller could not read directly. Nesting limits are
// checked before a level is built: an over-deep query fails, it is never
// cut short.
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "pipeline/ast.hpp"
#include "schema/registry.hpp"

#include <cstddef>
#include <string_view>

namespace kelvara::pipeline::lookup {

using permission::Context;
using schema::RelationDef;
using schema::Registry;
using schema::Schema;

inline constexpr std::size_t kMaxDepth = 10;         // relation levels, standard profile
inline constexpr std::size_t kMaxDepthT2q = 3;       // relation levels, text2query
inline constexpr std::size_t kMaxPagingDepth = 4;    // paged levels along one path

// {"$cond": [{"$isArray": L}, L, []]} for an array local field, else
// {"$ifNull": [L, null]}, with L = "$" + local field.
Json rel_let_expr(std::string_view local_field, bool is_array);

// {"$expr": {"$in" | "$eq": ["$" + foreign field, "$$" + let variable]}}.
Json rel_match_expr(std::string_view foreign_field, std::string_view let_var, bool is_array);

// {"$unwind": {"path": "$" + name, "preserveNullAndEmptyArrays": true}},
// which follows the lookup of every to-one relation selection.
Json unwind_stage(std::string_view name);

// The model declares `field` with type "array".
bool is_array_local_field(const Schema& schema, std::string_view field);

// Appends the target's row restrictions for reading: the owner condition,
// then the RBAC row condition, each when one applies.
void push_row_conditions(JsonArray& conditions, const Schema& target, const Registry& registry, const Context* ctx);

// The "$lookup" stage for the relation selection `name` of `parent`.
// `depth` counts relation levels above this one, `paging_depth` the levels
// above that page (limit or skip set). Throws CoreError with the first
// problem: nesting limits, condition and sort validation, undeclared nested
// relations, unregistered models.
Json build_lookup(std::string_view name, const ast::RelAst& selection, const Json& params,
                  const RelationDef& relation, const Schema& target, const Schema& parent, std::size_t depth,
                  std::size_t paging_depth, const Registry& registry, const Context* ctx);

// The stages of the aggregate computed fields of `schema` named in
// `selected` and readable for ctx: one "$lookup" each, in declaration
// order, then one "$addFields". Empty when none applies. Throws on an
// invalid definition, an undeclared relation or a read refusal.
JsonArray build_agg_stages(const Schema& schema, const Registry& registry, const Context* ctx,
                           const NameSet& selected);

}  // namespace kelvara::pipeline::lookup

// The projection of a query: which top-level members (or dotted paths) of
// the root model's documents the database returns.
//
// It always keeps "_id", adds the dependencies of function-computed fields,
// the selected aggregate computed fields and the joined relation members,
// lets an object field selected whole win over its selected sub-paths, and,
// with a context, drops declared fields the caller may not read together
// with any dotted path beneath them. A query that selects no declared field
// gets no projection (whole documents).
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "pipeline/ast.hpp"
#include "schema/registry.hpp"

#include <optional>
#include <string_view>

namespace kelvara::pipeline::projection {

using permission::Context;
using schema::Registry;
using schema::Schema;

// `ast` after object-field flattening. Never fails; unknown names are ignored.
std::optional<Json> build_projection(const ast::Ast& ast, const Schema& schema, const Context* ctx,
                                     const Registry& registry);

// The reduced projection of a pass-through query: "_id" and the selected
// declared fields, nothing when no declared field is selected.
std::optional<Json> build_pipeline_projection(const ast::Ast& ast, const Schema& schema);

// The fields of `schema` ctx may read (static rules narrowed by RBAC);
// absent means no restriction.
OptNameSet readable_fields(const Registry& registry, const Schema& schema, const Context* ctx);

// Removes every dotted key below another key of the projection ("a.b"
// when "a" is present): the whole member already holds it, and document
// databases refuse a projection that names both.
void drop_covered_paths(JsonObject& projection);

// A dotted path whose first segment is a declared field outside `readable`.
bool path_under_unreadable_field(const Schema& schema, const NameSet& readable, std::string_view path);

}  // namespace kelvara::pipeline::projection

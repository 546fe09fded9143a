// The pipeline builder: a parsed query, the host's params and the caller's
// context become a document-database aggregation pipeline for the root model.
//
// Three shapes: pass-through (the query brings its own stages in "pipeline"),
// grouped ("group"), and plain: filter, relation lookups, ordering and
// paging, aggregate computed fields.
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "pipeline/ast.hpp"
#include "schema/registry.hpp"

#include <string_view>
#include <vector>

namespace kelvara::pipeline::build {

// Builds the pipeline; flattens object-field selections of `ast` in place.
// Throws CoreError with the first problem.
JsonArray build_pipeline(ast::Ast& ast, const Json& params, const schema::Registry& registry,
                         const permission::Context* ctx);

// Turns selections of object fields with declared sub-fields into dotted
// root fields ("address { city }" -> "address.city").
void flatten_object_fields_impl(std::vector<std::string>& fields, std::vector<ast::RelSel>& relations,
                                const schema::Schema& schema);

// Replaces the first stage holding `op` by {op: value}, or appends it.
void override_or_append(JsonArray& pipeline, std::string_view op, Json value);

// Appends one lookup per root relation selection (each to-one lookup
// followed by its "$unwind"). Throws for an undeclared relation and for
// every lookup error.
void root_lookup_stages(const std::vector<ast::RelSel>& relations, const schema::Schema& schema,
                        const Json& params, JsonArray& pipeline, const schema::Registry& registry,
                        const permission::Context* ctx);

}  // namespace kelvara::pipeline::build

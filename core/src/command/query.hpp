// Read planning: a GQL query becomes a QueryPlan, the commands the host runs
// (one find, one aggregate, or two aggregates for a two-phase fetch), the
// post-processing instructions and the sort that restores order afterwards.
//
// This is where the read path applies the context requirement, model and
// relation read permissions, RBAC, and the owner / RBAC row conditions,
// before the pipeline is built. The module also answers the small questions
// of the host's read path: the page a query asks for, whether a sort reaches
// into relations, and how to reorder second-phase results.
#pragma once

#include "computes/inject.hpp"
#include "json/json.hpp"
#include "permission/context.hpp"
#include "pipeline/ast.hpp"
#include "schema/registry.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace kelvara::command::query {

using permission::Context;
using schema::Registry;

enum class Mode { Find, TwoPhase, Aggregate };

struct QueryPlan {
    std::string collection;
    Mode mode = Mode::Aggregate;
    JsonArray commands;
    std::optional<Json> postprocess;   // {"ast", "inject"}; none for pass-through and grouped queries
    std::optional<Json> sort;          // the first "$sort" stage, two-phase only

    // {"collection", "commands", "mode", "postprocess", "sort"}
    Json to_value() &&;
};

struct Page {
    double page = 0;
    double page_size = 50;
    // {"page", "pageSize"}, integral values written as integers.
    Json to_value() const;
};

// A number as page arithmetic writes it: an integer when finite, integral and
// of magnitude at most 2^53, 0 when not finite, a double otherwise.
Json page_number(double value);

QueryPlan plan_query(std::string_view gql, Json params, const Registry& registry, const Context* ctx);
// plan_query limited to one row unless the query brings its own limit.
QueryPlan plan_query_one(std::string_view gql, Json params, const Registry& registry, const Context* ctx);

// From the permission checks to build_plan; edits `ast` and `params`.
QueryPlan plan_query_ast_mut(pipeline::ast::Ast& ast, Json& params, const Registry& registry, const Context* ctx);
QueryPlan build_plan(pipeline::ast::Ast& ast, const computes::inject::InjectInfo& inject, const Json& params,
                     const Registry& registry, const Context* ctx);

// Refuses ("ERR_PERMISSION:无访问权限" or the RBAC message) a query that
// selects a relation the context may not read, at any depth.
void check_readable_relations(const std::vector<pipeline::ast::RelSel>& selections, const schema::Schema& schema,
                              const Registry& registry, const Context* ctx);

// The root argument "pipeline" refers to a present, non-null parameter.
bool has_pipeline(const pipeline::ast::Ast& ast, const Json& params);

Page resolve_page(const pipeline::ast::Ast& ast, const Json& params);

// The "$sort" of the stage is an object with a dotted key.
bool sorts_by_relation(const Json* sort_stage);

// Reorders items (stably) into the order of `ids`, items whose id is not in
// `ids` last. Nothing changes without a sort or with fewer than two ids.
void restore_sort_order(JsonArray& items, const JsonArray& ids, const Json* sort);

}  // namespace kelvara::command::query

// Read planning.
//
// Mode choice: a lone filter becomes a "find"; a paged query that joins
// relations becomes two aggregates, the first selecting the page's ids
// without joining anything and the second joining only those rows; anything
// else is one aggregate.
#include "command/query.hpp"

#include "bson/id_key.hpp"
#include "command/cmd.hpp"
#include "command/context_rule.hpp"
#include "error/core_error.hpp"
#include "permission/rules.hpp"
#include "pipeline/build.hpp"
#include "pipeline/format.hpp"
#include "pipeline/parse.hpp"
#include "pipeline/projection.hpp"
#include "pipeline/util.hpp"
#include "rbac/decide.hpp"
#include "types/truthy.hpp"
#include "types/validate.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace kelvara::command::query {

namespace fmt = pipeline::format;
using pipeline::ast::Ast;
using pipeline::ast::RelSel;

namespace {

constexpr std::string_view kRelationFilterAlias = "__rp";
constexpr double kMaxPageSize = 5000;

std::string_view mode_name(Mode m) {
    switch (m) {
        case Mode::Find: return "find";
        case Mode::TwoPhase: return "two_phase";
        case Mode::Aggregate: return "aggregate";
    }
    internal_error("unknown query mode");
}

// The operator of a one-member stage object, or "" for anything else.
std::string_view stage_op(const Json& stage) {
    if (!stage.is_object() || stage.size() != 1) return {};
    return stage.get_ref<const JsonObject&>().begin()->first;
}

bool has_member(const Json& stage, std::string_view op) { return json::member(stage, op) != nullptr; }

bool is_order_stage(const Json& stage) {
    return has_member(stage, fmt::kSort) || has_member(stage, fmt::kSkip) || has_member(stage, fmt::kLimit);
}

const Json* first_stage_with(const JsonArray& stages, std::string_view op) {
    for (const Json& s : stages)
        if (has_member(s, op)) return &s;
    return nullptr;
}

// Index of the first lookup that joins a relation (relation-filter lookups,
// aliased "__rp...", only filter the root rows and do not count).
std::optional<std::size_t> first_joining_lookup(const JsonArray& stages) {
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const Json* lookup = json::member(stages[i], fmt::kLookup);
        if (!lookup) continue;
        const std::string* as = json::string_member(*lookup, fmt::kAs);
        if (!(as && as->starts_with(kRelationFilterAlias))) return i;
    }
    return std::nullopt;
}

void set_arg(Ast& ast, std::string_view key, std::string_view param) {
    std::string ref;
    ref.reserve(param.size() + 1);
    ref.append(1, '@').append(param);
    ast.params.insert_or_assign(std::string(key), std::move(ref));
}

// Merges the owner condition and the RBAC read restriction into the query's
// condition parameter, or injects them as a condition of their own.
void apply_row_conditions(Ast& ast, Json& params, const schema::Schema& schema, const Registry& registry,
                          const Context* ctx) {
    const std::string* arg = ast.param(fmt::kArgCondition);
    std::optional<Json> condition;
    if (arg && !arg->empty()) {
        // The parameter is rewritten below, so its value is moved, not copied.
        auto& obj = params.get_ref<JsonObject&>();
        if (auto it = obj.find(pipeline::util::param_key(*arg)); it != obj.end()) condition = std::move(it->second);
    }
    std::optional<Json> merged = permission::merge_owner_condition(registry.rules, schema, ctx, std::move(condition));
    merged = rbac::merge_row_condition(registry, schema, ctx, rbac::Action::Read, std::move(merged));
    if (arg) {
        const std::string key(pipeline::util::param_key(*arg));
        auto& obj = params.get_ref<JsonObject&>();
        if (merged) obj.insert_or_assign(key, std::move(*merged));
        else obj.erase(key);
        return;
    }
    if (merged && merged->is_object() && !merged->empty()) {
        set_arg(ast, fmt::kArgCondition, cmd::kOwnerParam);
        params.get_ref<JsonObject&>().insert_or_assign(std::string(cmd::kOwnerParam), std::move(*merged));
    }
}

JsonArray phase_one(const JsonArray& stages, std::size_t lookup_at) {
    // Paging stages standing before the first joining lookup (the lookup of
    // an aggregate computed field comes after them) are dropped here and the
    // pipeline's first "$sort", "$skip" and "$limit" appended once, so that
    // each applies exactly once.
    JsonArray phase;
    for (std::size_t i = 0; i < lookup_at; ++i)
        if (!is_order_stage(stages[i])) phase.push_back(stages[i]);
    for (std::string_view op : {fmt::kSort, fmt::kSkip, fmt::kLimit})
        if (const Json* s = first_stage_with(stages, op)) phase.push_back(*s);
    phase.push_back(pipeline::util::stage(fmt::kProject, Json{{"_id", 1u}}));
    return phase;
}

JsonArray phase_two(JsonArray&& stages, std::size_t lookup_at, std::optional<Json>&& projection) {
    JsonArray phase;
    Json ids = Json::object();
    ids.get_ref<JsonObject&>().emplace("$in", std::string(cmd::kPhase1Ids));
    phase.push_back(pipeline::util::stage(fmt::kMatch, Json{{"_id", std::move(ids)}}));
    for (std::size_t i = lookup_at; i < stages.size(); ++i)
        if (!is_order_stage(stages[i])) phase.push_back(std::move(stages[i]));
    if (projection) phase.push_back(pipeline::util::stage(fmt::kProject, std::move(*projection)));
    return phase;
}

}  // namespace

Json page_number(double value) {
    if (!std::isfinite(value)) return Json(0u);
    if (std::trunc(value) == value && std::fabs(value) <= 9007199254740992.0)
        return json::integer(static_cast<long long>(value));
    return Json(value);
}

Json Page::to_value() const { return Json{{"page", page_number(page)}, {"pageSize", page_number(page_size)}}; }

Json QueryPlan::to_value() && {
    Json out = Json::object();
    auto& obj = out.get_ref<JsonObject&>();
    obj.emplace("collection", std::move(collection));
    obj.emplace("commands", std::move(commands));
    obj.emplace("mode", std::string(mode_name(mode)));
    obj.emplace("postprocess", postprocess ? std::move(*postprocess) : Json());
    obj.emplace("sort", sort ? std::move(*sort) : Json());
    return out;
}

bool has_pipeline(const Ast& ast, const Json& params) {
    return pipeline::util::set_param(params, ast.param(fmt::kArgPipeline)) != nullptr;
}

void check_readable_relations(const std::vector<RelSel>& selections, const schema::Schema& schema,
                              const Registry& registry, const Context* ctx) {
    if (!ctx) return;
    for (const RelSel& sel : selections) {
        const schema::RelationDef* rel = schema.relation(sel.name);
        if (!rel || rel->model.empty()) continue;
        if (!permission::is_relation_readable(registry.rules, schema, ctx, sel.name)) throw CoreError(std::string(kNoAccess));
        const schema::Schema& target = registry.get(rel->model);
        if (!permission::evaluate(registry.rules, ctx, target.read)) throw CoreError(std::string(kNoAccess));
        rbac::ensure_read(registry, target, ctx);
        check_readable_relations(sel.ast.relations, target, registry, ctx);
    }
}

QueryPlan build_plan(Ast& ast, const computes::inject::InjectInfo& inject, const Json& params,
                     const Registry& registry, const Context* ctx) {
    check_context_requirement(registry, ctx);
    const schema::Schema& schema = registry.get(ast.model);
    check_readable_relations(ast.relations, schema, registry, ctx);
    const bool raw = has_pipeline(ast, params);
    JsonArray stages = pipeline::build::build_pipeline(ast, params, registry, ctx);
    const bool grouped = std::any_of(stages.begin(), stages.end(), [](const Json& s) { return has_member(s, "$group"); });

    std::optional<Json> projection;
    if (raw) projection = pipeline::projection::build_pipeline_projection(ast, schema);
    else if (!grouped) projection = pipeline::projection::build_projection(ast, schema, ctx, registry);

    QueryPlan plan;
    plan.collection = schema.collection;
    if (!raw && !grouped) {
        Json pp = Json::object();
        auto& obj = pp.get_ref<JsonObject&>();
        obj.emplace("ast", ast.to_value());
        obj.emplace("inject", inject.empty() ? Json() : inject.to_value());
        plan.postprocess = std::move(pp);
    }

    if (!raw && stages.size() == 1 && stage_op(stages[0]) == fmt::kMatch) {
        plan.mode = Mode::Find;
        Json filter = std::move(stages[0].get_ref<JsonObject&>().begin()->second);
        plan.commands.push_back(cmd::cmd_find(schema, std::move(filter), std::move(projection)));
        return plan;
    }

    const std::optional<std::size_t> lookup_at = first_joining_lookup(stages);
    const bool paged = first_stage_with(stages, fmt::kSkip) || first_stage_with(stages, fmt::kLimit);
    const Json* first_sort = first_stage_with(stages, fmt::kSort);
    if (!raw && lookup_at && paged && !grouped && !sorts_by_relation(first_sort)) {
        plan.mode = Mode::TwoPhase;
        if (first_sort) plan.sort = *first_sort;
        JsonArray one = phase_one(stages, *lookup_at);
        JsonArray two = phase_two(std::move(stages), *lookup_at, std::move(projection));
        plan.commands.push_back(cmd::cmd_aggregate(schema, Json(std::move(one))));
        plan.commands.push_back(cmd::cmd_aggregate(schema, Json(std::move(two))));
        return plan;
    }

    plan.mode = Mode::Aggregate;
    if (projection) stages.push_back(pipeline::util::stage(fmt::kProject, std::move(*projection)));
    types::validate_pipeline_stages(stages);
    plan.commands.push_back(cmd::cmd_aggregate(schema, Json(std::move(stages))));
    return plan;
}

QueryPlan plan_query_ast_mut(Ast& ast, Json& params, const Registry& registry, const Context* ctx) {
    check_context_requirement(registry, ctx);
    const schema::Schema& schema = registry.get(ast.model);
    if (ctx && !permission::evaluate(registry.rules, ctx, schema.read)) throw CoreError(std::string(kNoAccess));
    rbac::ensure_read(registry, schema, ctx);
    if (!params.is_object()) params = Json::object();
    if (ctx) apply_row_conditions(ast, params, schema, registry, ctx);
    if (has_pipeline(ast, params)) return build_plan(ast, computes::inject::InjectInfo{}, params, registry, ctx);

    computes::inject::InjectInfo inject = computes::inject::merge_depends_into_ast(ast.relations, schema);
    inject.fields = computes::inject::collect_field_deps(ast.fields, schema);
    pipeline::build::flatten_object_fields_impl(ast.fields, ast.relations, schema);
    return build_plan(ast, inject, params, registry, ctx);
}

QueryPlan plan_query(std::string_view gql, Json params, const Registry& registry, const Context* ctx) {
    Ast ast = pipeline::parse::parse_gql(gql);
    return plan_query_ast_mut(ast, params, registry, ctx);
}

QueryPlan plan_query_one(std::string_view gql, Json params, const Registry& registry, const Context* ctx) {
    Ast ast = pipeline::parse::parse_gql(gql);
    if (!params.is_object()) params = Json::object();
    if (!ast.param(fmt::kArgLimit) && !has_pipeline(ast, params)) {
        set_arg(ast, fmt::kArgLimit, cmd::kOneLimitParam);
        params.get_ref<JsonObject&>().insert_or_assign(std::string(cmd::kOneLimitParam), Json(1u));
    }
    return plan_query_ast_mut(ast, params, registry, ctx);
}

Page resolve_page(const Ast& ast, const Json& params) {
    Page p;
    const Json* page = json::member(params, "page");
    const Json* size = json::member(params, "pageSize");
    if (page || size) {
        if (page && !page->is_null()) {
            const double n = cmd::to_number(page);
            p.page = std::isnan(n) ? 0 : std::floor(std::max(n, 0.0));
        }
        if (size && !size->is_null()) p.page_size = cmd::to_number(size);
    } else {
        const Json* skip = pipeline::util::param(params, ast.param(fmt::kArgSkip));
        const Json* limit = pipeline::util::param(params, ast.param(fmt::kArgLimit));
        if (skip && !skip->is_null() && limit && types::is_truthy(*limit))
            p.page = std::floor(cmd::to_number(skip) / cmd::to_number(limit));
        if (limit && !limit->is_null()) p.page_size = cmd::to_number(limit);
    }
    p.page_size = std::isnan(p.page_size) ? kMaxPageSize : std::min(p.page_size, kMaxPageSize);
    return p;
}

bool sorts_by_relation(const Json* sort_stage) {
    if (!sort_stage) return false;
    const Json* sort = json::member(*sort_stage, fmt::kSort);
    if (!sort || !sort->is_object()) return false;
    for (const auto& [key, _] : sort->items())
        if (key.find('.') != std::string::npos) return true;
    return false;
}

void restore_sort_order(JsonArray& items, const JsonArray& ids, const Json* sort) {
    if (!sort || ids.size() < 2) return;
    std::unordered_map<std::string, std::size_t> position;
    position.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) position.try_emplace(bson::id_key(ids[i]), i);
    const Json null_id;
    std::vector<std::pair<std::size_t, std::size_t>> order;  // (position, original index)
    order.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Json* id = json::member(items[i], "_id");
        auto it = position.find(bson::id_key(id ? *id : null_id));
        order.emplace_back(it == position.end() ? ids.size() : it->second, i);
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    JsonArray sorted;
    sorted.reserve(items.size());
    for (const auto& [_, i] : order) sorted.push_back(std::move(items[i]));
    items = std::move(sorted);
}

}  // namespace kelvara::command::query

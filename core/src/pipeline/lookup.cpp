// Relation lookups and aggregate computed fields.
//
// A sub-pipeline is: "$match" (join, the selection's condition, row
// restrictions), ordering and paging, the nested lookups (each to-one one
// followed by its "$unwind"), ordering deferred past the nested lookups
// when a sort key is a dotted path (it may name a joined sub-document), and
// a "$project" when the selection lists fields.
#include "pipeline/lookup.hpp"

#include "error/core_error.hpp"
#include "permission/rules.hpp"
#include "pipeline/format.hpp"
#include "pipeline/projection.hpp"
#include "pipeline/util.hpp"
#include "rbac/decide.hpp"
#include "types/validate.hpp"

#include <string>

namespace kelvara::pipeline::lookup {

namespace fmt = format;

namespace {

const Json kOne = Json(std::uint64_t{1});

std::string dollar(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 1);
    out += '$';
    out += name;
    return out;
}

Json object1(std::string_view key, Json value) {
    Json out = Json::object();
    out.get_ref<JsonObject&>().emplace(key, std::move(value));
    return out;
}

[[noreturn]] void fail_nesting(const Registry& registry, std::size_t depth, std::size_t paging_depth) {
    const std::string counts = "深度 " + std::to_string(depth) + " ≥ " +
                               std::to_string(registry.text2query() ? kMaxDepthT2q : kMaxDepth) + " / 分页深度 " +
                               std::to_string(paging_depth) + " ≥ " + std::to_string(kMaxPagingDepth);
    if (registry.text2query())
        throw CoreError(std::string(kErrText2Query) + "text2query 档关系嵌套超限（" + counts + "）");
    throw CoreError("关系嵌套超限（" + counts + "）——拒绝静默降级");
}

[[noreturn]] void fail_undeclared_relation(std::string_view name, std::string_view model) {
    throw CoreError("关系 \"" + std::string(name) + "\" 未在 schema \"" + std::string(model) + "\" 中定义");
}

bool has_dotted_key(const Json& sort) {
    if (!sort.is_object()) return false;
    for (const auto& [key, _] : sort.get_ref<const JsonObject&>())
        if (key.find('.') != std::string::npos) return true;
    return false;
}

// {"$match": c} for one condition, {"$match": {"$and": [...]}} for several.
Json match_stage(JsonArray&& conditions) {
    if (conditions.size() == 1) return util::stage(fmt::kMatch, std::move(conditions.front()));
    return util::stage(fmt::kMatch, object1("$and", Json(std::move(conditions))));
}

Json lookup_stage(std::string_view as, const std::string& from, std::string_view let_var, Json let_expr,
                  JsonArray&& sub) {
    Json arg = Json::object();
    arg[fmt::kAs] = std::string(as);
    arg[fmt::kFrom] = from;
    arg[fmt::kLet] = object1(let_var, std::move(let_expr));
    arg[fmt::kPipeline] = Json(std::move(sub));
    return util::stage(fmt::kLookup, std::move(arg));
}

// The level's "$project": "_id", the selected fields, the nested selection
// names and the dependencies of selected function computes.
Json level_projection(const ast::RelAst& selection, const Schema& target, const Registry& registry,
                      const Context* ctx) {
    Json proj = Json::object();
    auto& p = proj.get_ref<JsonObject&>();
    p.emplace("_id", kOne);
    bool dotted = false;
    for (const std::string& f : selection.fields) {
        p.emplace(f, kOne);
        dotted = dotted || f.find('.') != std::string::npos;
    }
    for (const ast::RelSel& sel : selection.relations) p.emplace(sel.name, kOne);
    for (const std::string& f : selection.fields) {
        const schema::ComputeDef* c = target.compute(f);
        if (!c || !c->fn) continue;
        for (const std::string& d : c->depends) {
            p.emplace(d, kOne);
            dotted = dotted || d.find('.') != std::string::npos;
        }
    }
    if (dotted) projection::drop_covered_paths(p);
    // A sub-path of a field the caller may not read is as secret as the field.
    if (dotted && ctx) {
        const OptNameSet readable = projection::readable_fields(registry, target, ctx);
        if (readable) std::erase_if(p, [&](const auto& kv) {
            return projection::path_under_unreadable_field(target, *readable, kv.first);
        });
    }
    return proj;
}

// The aggregate expression of one operator over the joined array `as`.
Json agg_expr(std::string_view compute, const std::string& op, const std::string& as, std::string_view field) {
    const std::string values = dollar(as) + "." + std::string(field);
    if (op == "$count" || op == "$sum") {
        Json joined = object1("$ifNull", Json::array({dollar(as), Json::array()}));
        Json size = object1("$size", std::move(joined));
        if (op == "$count") return size;
        // An empty relation sums to null, like the other accumulators.
        Json empty = object1("$eq", Json::array({std::move(size), Json(std::uint64_t{0})}));
        return object1("$cond", Json::array({std::move(empty), Json(), object1("$sum", values)}));
    }
    if (op == "$avg" || op == "$min" || op == "$max") return object1(op, values);
    throw CoreError("计算列 \"" + std::string(compute) + "\" 的 agg 算子 " + op +
                    " 不在白名单（$count/$sum/$avg/$min/$max）");
}

}  // namespace

Json rel_let_expr(std::string_view local_field, bool is_array) {
    const std::string l = dollar(local_field);
    if (is_array) return object1("$cond", Json::array({object1("$isArray", l), l, Json::array()}));
    return object1("$ifNull", Json::array({l, Json()}));
}

Json rel_match_expr(std::string_view foreign_field, std::string_view let_var, bool is_array) {
    Json pair = Json::array({dollar(foreign_field), "$$" + std::string(let_var)});
    return object1("$expr", object1(is_array ? "$in" : "$eq", std::move(pair)));
}

Json unwind_stage(std::string_view name) {
    Json arg = Json::object();
    arg[fmt::kPath] = dollar(name);
    arg[fmt::kPreserveEmpty] = true;
    return util::stage(fmt::kUnwind, std::move(arg));
}

bool is_array_local_field(const Schema& schema, std::string_view field) {
    const schema::FieldDef* f = schema.field(field);
    return f && f->type == "array";
}

void push_row_conditions(JsonArray& conditions, const Schema& target, const Registry& registry, const Context* ctx) {
    // Without a context neither restriction exists.
    if (!ctx) return;
    if (auto owner = permission::merge_owner_condition(registry.rules, target, ctx, std::nullopt))
        conditions.push_back(std::move(*owner));
    if (auto row = rbac::row_condition(registry, target, ctx, rbac::Action::Read))
        conditions.push_back(std::move(*row));
}

Json build_lookup(std::string_view name, const ast::RelAst& selection, const Json& params,
                  const RelationDef& relation, const Schema& target, const Schema& parent, std::size_t depth,
                  std::size_t paging_depth, const Registry& registry, const Context* ctx) {
    const bool t2q = registry.text2query();
    const Json* condition = util::set_param(params, selection.param(fmt::kArgCondition));
    const Json* sort = util::set_param(params, selection.param(fmt::kArgSort));
    const Json* skip = util::set_param(params, selection.param(fmt::kArgSkip));
    const std::optional<Json> limit_value =
        util::clamp_t2q_limit(registry, util::param(params, selection.param(fmt::kArgLimit)));
    const Json* limit = limit_value && !limit_value->is_null() ? &*limit_value : nullptr;
    const bool pages = limit || skip;

    if (depth >= (t2q ? kMaxDepthT2q : kMaxDepth) || (paging_depth >= kMaxPagingDepth && pages))
        fail_nesting(registry, depth, paging_depth);

    const std::string let_var = std::string(fmt::kRelLetPrefix) + relation.local_field;
    const bool is_array = is_array_local_field(parent, relation.local_field);

    JsonArray conditions;
    conditions.push_back(rel_match_expr(relation.foreign_field, let_var, is_array));
    if (condition) {
        types::validate_condition(*condition);
        types::validate_condition_shape(target, *condition, t2q);
        conditions.push_back(*condition);
    }
    push_row_conditions(conditions, target, registry, ctx);

    JsonArray sub;
    sub.push_back(match_stage(std::move(conditions)));

    bool deferred = false;
    if (sort) {
        types::validate_sort_shape(target, *sort, t2q);
        deferred = has_dotted_key(*sort);
    }
    if (!deferred) util::append_order(sub, sort, skip, limit);

    for (const ast::RelSel& nested : selection.relations) {
        const RelationDef* rel = target.relation(nested.name);
        if (!rel) fail_undeclared_relation(nested.name, target.name);
        const Schema& next = registry.get(rel->model);
        sub.push_back(build_lookup(nested.name, nested.ast, params, *rel, next, target, depth + 1,
                                   paging_depth + (pages ? 1 : 0), registry, ctx));
        if (rel->rel_type == fmt::kRelOne) sub.push_back(unwind_stage(nested.name));
    }

    if (deferred) util::append_order(sub, sort, skip, limit);
    if (!selection.fields.empty())
        sub.push_back(util::stage(fmt::kProject, level_projection(selection, target, registry, ctx)));

    return lookup_stage(name, target.collection, let_var, rel_let_expr(relation.local_field, is_array),
                        std::move(sub));
}

JsonArray build_agg_stages(const Schema& schema, const Registry& registry, const Context* ctx,
                           const NameSet& selected) {
    JsonArray stages;
    if (selected.empty()) return stages;
    OptNameSet readable;
    if (ctx)
        readable = rbac::overlay_readable_fields(registry, schema.name, ctx,
                                                 permission::get_readable_computes(registry.rules, schema, ctx));
    Json values = Json::object();
    for (const auto& [cname, compute] : schema.computes) {
        if (!compute.agg || !selected.contains(cname)) continue;
        if (readable && !readable->contains(cname)) continue;

        const Json& agg = *compute.agg;
        if (!agg.is_object() || agg.empty())
            throw CoreError("计算列 \"" + cname + "\" 的 agg 定义非法（须为 {\"$op\": \"<关系路径>\"}）");
        const auto& first = *agg.get_ref<const JsonObject&>().begin();
        const std::string& op = first.first;
        const std::string path = first.second.is_string() ? first.second.get<std::string>() : std::string();
        const std::size_t dot = path.find('.');
        const std::string rel_name = path.substr(0, dot);
        const std::string field = dot == std::string::npos ? std::string() : path.substr(dot + 1);

        const RelationDef* rel = schema.relation(rel_name);
        if (!rel)
            throw CoreError("计算列 \"" + cname + "\" 的 agg 引用的关系 \"" + rel_name + "\" 未在 schema 中定义");
        const Schema& target = registry.get(rel->model);

        if (ctx) {
            const bool field_ok = field.empty() || (permission::is_field_readable(registry.rules, target, ctx, field) &&
                                                    rbac::is_field_readable_overlay(registry, target, ctx, field));
            if (!field_ok || !permission::is_relation_readable(registry.rules, schema, ctx, rel_name) ||
                !permission::evaluate(registry.rules, ctx, target.read))
                throw CoreError(std::string(kNoAccess));
            rbac::ensure_read(registry, target, ctx);
        }

        const bool is_array = is_array_local_field(schema, rel->local_field);
        JsonArray conditions;
        conditions.push_back(rel_match_expr(rel->foreign_field, fmt::kAggLetVar, is_array));
        push_row_conditions(conditions, target, registry, ctx);
        JsonArray sub;
        sub.push_back(match_stage(std::move(conditions)));

        const std::string as = std::string(fmt::kAggArrayPrefix) + cname;
        // The operator is checked before the stage is kept, so a refused
        // definition leaves nothing behind.
        Json expr = agg_expr(cname, op, as, field);
        stages.push_back(lookup_stage(as, target.collection, fmt::kAggLetVar,
                                      rel_let_expr(rel->local_field, is_array), std::move(sub)));
        values[cname] = std::move(expr);
    }
    if (!values.empty()) stages.push_back(util::stage(fmt::kAddFields, std::move(values)));
    return stages;
}

}  // namespace kelvara::pipeline::lookup

// The pipeline builder.
//
// Checks run in a fixed order so that the first problem reported is always
// the same one: model lookup; then, for a pass-through, the profile refusal,
// relation selections and the condition; otherwise the condition (shape
// before content), relation predicates, grouping, having without group, the
// sort, the lookups and finally the aggregate computed fields.
//
// Grouping and relation aggregate predicates are planned by builders that
// are not part of this build yet; both are refused with a message rather
// than passed through, because a pipeline without them would silently
// return different rows.
#include "pipeline/build.hpp"

#include "command/text2query.hpp"
#include "error/core_error.hpp"
#include "pipeline/format.hpp"
#include "pipeline/lookup.hpp"
#include "pipeline/util.hpp"
#include "types/truthy.hpp"
#include "types/validate.hpp"

#include <algorithm>

namespace kelvara::pipeline::build {

namespace fmt = format;
using schema::Registry;
using schema::Schema;

namespace {

constexpr std::string_view kGroupUnavailable = "$group 分组查询暂未支持（分组管线尚未接入）——拒绝静默降级";
constexpr std::string_view kRelationPredicateUnavailable =
    "$condition 含关系聚合谓词，暂未支持（关系过滤规划尚未接入）——拒绝静默透传";
constexpr std::string_view kHavingWithoutGroup = "$having 需要与 $group 同时使用（无 $group 时没有分组结果可过滤）";

bool is_flattened_object(const Schema& schema, std::string_view name) {
    const schema::FieldDef* f = schema.field(name);
    return f && f->type == "object" && f->fields && types::is_truthy(*f->fields);
}

// The query's own stages, with the condition and the ordering arguments
// put in place of the stages of the same kind.
JsonArray build_pass_through(ast::Ast& ast, const JsonArray& stages, const Schema& schema, const Registry& registry,
                             const Json* condition, const Json* sort, const Json* skip, const Json* limit) {
    command::forbid_t2q(registry, "$pipeline 直通");
    flatten_object_fields_impl(ast.fields, ast.relations, schema);
    if (!schema.relations.empty()) {
        for (const ast::RelSel& sel : ast.relations)
            if (schema.relation(sel.name))
                throw CoreError("`$pipeline` 直通模式不支持关系字段 [" + sel.name +
                                "]（自定义 pipeline 与关系下推不能并用）");
    }
    JsonArray out = stages;
    if (condition) {
        types::validate_condition(*condition);
        override_or_append(out, fmt::kMatch, *condition);
    }
    if (sort) override_or_append(out, fmt::kSort, *sort);
    if (skip) override_or_append(out, fmt::kSkip, *skip);
    if (limit) override_or_append(out, fmt::kLimit, *limit);
    return out;
}

// The computes named by a root field, as "C" or as a path "C.x" below it.
NameSet selected_computes(const Schema& schema, const std::vector<std::string>& fields) {
    NameSet out;
    for (const auto& [name, _] : schema.computes) {
        const bool hit = std::any_of(fields.begin(), fields.end(), [&](const std::string& f) {
            return f.size() >= name.size() && f.starts_with(name) && (f.size() == name.size() || f[name.size()] == '.');
        });
        if (hit) out.emplace_hint(out.end(), name);
    }
    return out;
}

}  // namespace

void flatten_object_fields_impl(std::vector<std::string>& fields, std::vector<ast::RelSel>& relations,
                                const Schema& schema) {
    if (relations.empty() || schema.fields.empty()) return;
    bool any = false;
    for (const ast::RelSel& sel : relations) {
        if (!is_flattened_object(schema, sel.name)) continue;
        any = true;
        for (const std::string& sub : sel.ast.fields) fields.push_back(sel.name + "." + sub);
    }
    if (any)
        std::erase_if(relations, [&](const ast::RelSel& sel) { return is_flattened_object(schema, sel.name); });
}

void override_or_append(JsonArray& pipeline, std::string_view op, Json value) {
    Json stage = util::stage(op, std::move(value));
    for (Json& existing : pipeline) {
        if (json::member(existing, op)) {
            existing = std::move(stage);
            return;
        }
    }
    pipeline.push_back(std::move(stage));
}

void root_lookup_stages(const std::vector<ast::RelSel>& relations, const Schema& schema, const Json& params,
                        JsonArray& pipeline, const Registry& registry, const permission::Context* ctx) {
    for (const ast::RelSel& sel : relations) {
        const schema::RelationDef* rel = schema.relation(sel.name);
        if (!rel)
            throw CoreError("关系 \"" + sel.name + "\" 未在 schema \"" + schema.name + "\" 中定义");
        const Schema& target = registry.get(rel->model);
        pipeline.push_back(lookup::build_lookup(sel.name, sel.ast, params, *rel, target, schema, 0, 0, registry, ctx));
        if (rel->rel_type == fmt::kRelOne) pipeline.push_back(lookup::unwind_stage(sel.name));
    }
}

JsonArray build_pipeline(ast::Ast& ast, const Json& params, const Registry& registry,
                         const permission::Context* ctx) {
    const Schema& schema = registry.get(ast.model);
    const bool t2q = registry.text2query();

    const Json* condition = util::set_param(params, ast.param(fmt::kArgCondition));
    const Json* group = util::set_param(params, ast.param(fmt::kArgGroup));
    const Json* having = util::set_param(params, ast.param(fmt::kArgHaving));
    const Json* sort = util::set_param(params, ast.param(fmt::kArgSort));
    const Json* skip = util::set_param(params, ast.param(fmt::kArgSkip));
    const std::optional<Json> limit_value =
        util::force_t2q_limit(registry, util::param(params, ast.param(fmt::kArgLimit)));
    const Json* limit = limit_value && !limit_value->is_null() ? &*limit_value : nullptr;

    const Json* stages = util::param(params, ast.param(fmt::kArgPipeline));
    if (stages && stages->is_array())
        return build_pass_through(ast, stages->get_ref<const JsonArray&>(), schema, registry, condition, sort, skip,
                                  limit);

    if (condition) {
        types::validate_condition_shape(schema, *condition, t2q);
        types::validate_condition(*condition);
        if (types::has_relation_predicate(schema, *condition)) throw CoreError(std::string(kRelationPredicateUnavailable));
    }
    if (group) throw CoreError(std::string(kGroupUnavailable));
    if (having) throw CoreError(std::string(kHavingWithoutGroup));
    if (sort) types::validate_sort_shape(schema, *sort, t2q);

    flatten_object_fields_impl(ast.fields, ast.relations, schema);

    JsonArray out;
    if (condition) out.push_back(util::stage(fmt::kMatch, *condition));
    root_lookup_stages(ast.relations, schema, params, out, registry, ctx);
    util::append_order(out, sort, skip, limit);

    const NameSet selected = selected_computes(schema, ast.fields);
    if (!selected.empty()) {
        JsonArray agg = lookup::build_agg_stages(schema, registry, ctx, selected);
        for (Json& s : agg) out.push_back(std::move(s));
    }
    return out;
}

}  // namespace kelvara::pipeline::build

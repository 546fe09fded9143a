#include "command/count.hpp"

#include "command/cmd.hpp"
#include "error/core_error.hpp"
#include "permission/rules.hpp"
#include "pipeline/format.hpp"
#include "pipeline/parse.hpp"
#include "pipeline/util.hpp"
#include "rbac/decide.hpp"
#include "types/truthy.hpp"
#include "types/validate.hpp"

namespace kelvara::command::count {

namespace fmt = pipeline::format;

namespace {

// A relation predicate filters the items through lookups, which a plain
// count cannot express: the total would disagree with the items.
constexpr std::string_view kRelationPredicateRefused =
    "query_with_count 暂不支持关系聚合谓词条件（§9.6）：total 无法与 items 保持一致，请改用 query 并在调用方自行统计";

void set_param(Json& params, const std::string& arg, Json value) {
    params.get_ref<JsonObject&>().insert_or_assign(std::string(pipeline::util::param_key(arg)), std::move(value));
}

// The caller's condition with the owner and RBAC read restrictions, or {}.
Json count_filter(const pipeline::ast::Ast& ast, const Json& params, const schema::Schema& schema,
                  const schema::Registry& registry, const permission::Context* ctx) {
    Json base = Json::object();
    if (const Json* c = pipeline::util::param(params, ast.param(fmt::kArgCondition)); c && types::is_truthy(*c)) base = *c;
    std::optional<Json> merged = permission::merge_owner_condition(registry.rules, schema, ctx, std::move(base));
    merged = rbac::merge_row_condition(registry, schema, ctx, rbac::Action::Read, std::move(merged));
    return merged ? std::move(*merged) : Json::object();
}

}  // namespace

Json CountQueryPlan::to_value() && {
    Json out = std::move(plan).to_value();
    auto& obj = out.get_ref<JsonObject&>();
    obj.emplace("countCommand", std::move(count_command));
    obj.emplace("page", query::page_number(page.page));
    obj.emplace("pageSize", query::page_number(page.page_size));
    return out;
}

CountQueryPlan plan_query_with_count(std::string_view gql, Json params, const schema::Registry& registry,
                                     const permission::Context* ctx) {
    pipeline::ast::Ast ast = pipeline::parse::parse_gql(gql);
    const schema::Schema& schema = registry.get(ast.model);
    if (!params.is_object()) params = Json::object();
    const query::Page page = query::resolve_page(ast, params);

    if (params.contains("page") || params.contains("pageSize")) {
        if (!ast.param(fmt::kArgSkip)) ast.params.emplace(fmt::kArgSkip, "@" + std::string(cmd::kPageSkipParam));
        if (!ast.param(fmt::kArgLimit)) ast.params.emplace(fmt::kArgLimit, "@" + std::string(cmd::kPageLimitParam));
    }
    if (const std::string* skip = ast.param(fmt::kArgSkip))
        set_param(params, *skip, query::page_number(page.page * page.page_size));
    if (const std::string* limit = ast.param(fmt::kArgLimit)) set_param(params, *limit, query::page_number(page.page_size));

    Json filter = count_filter(ast, params, schema, registry, ctx);
    if (types::has_relation_predicate(schema, filter)) throw CoreError(std::string(kRelationPredicateRefused));

    query::QueryPlan plan = query::plan_query_ast_mut(ast, params, registry, ctx);
    return {std::move(plan), cmd::cmd_count_documents(schema, std::move(filter)), page};
}

bool has_more(const Json& plan, double total) {
    auto number = [&](std::string_view key) {
        const Json* v = json::member(plan, key);
        return v && v->is_number() ? v->get<double>() : 0.0;
    };
    return (number("page") + 1) * number("pageSize") < total;
}

}  // namespace kelvara::command::count

// The finalisation phases around the host's asynchronous computes.
//
// prepare_query settles the selection once (NodePlan) and applies it to
// every item, so the per-item cost is the document walk itself.
#include "command/finalize.hpp"

#include "computes/inject.hpp"
#include "computes/run/async.hpp"
#include "computes/run/sync.hpp"
#include "error/core_error.hpp"
#include "pipeline/ast.hpp"

#include <algorithm>

namespace kelvara::command::finalize {

Prepared prepare_query(const Json& postprocess, JsonArray items, const schema::Registry& registry,
                       const computes::registry::FnRegistry* callbacks, const permission::Context* ctx) {
    if (postprocess.is_null()) return {std::move(items), {}};
    const Json* ast_value = json::member(postprocess, "ast");
    if (!ast_value) throw CoreError("postprocess 缺少 ast");
    pipeline::ast::Ast ast = pipeline::ast::Ast::from_value(*ast_value);
    const schema::Schema& schema = registry.get(ast.model);

    const computes::run::sync::NodePlan plan(std::move(ast.fields), std::move(ast.relations), schema, registry, ctx);
    for (Json& item : items) plan.process(item, callbacks);

    Prepared out{std::move(items), {}};
    for (computes::cache::ComputeEntry& e : computes::run::async_::select_async_fns(registry, schema, ctx))
        out.fn_refs.push_back(std::move(e.fn_ref));
    return out;
}

void strip_query(const Json& postprocess, JsonArray& items) {
    const Json* inject = json::member(postprocess, "inject");
    if (!inject || inject->is_null()) return;
    // The caller's own root selection is what the AST holds besides the
    // injected fields; it guards selected data from being stripped.
    const computes::inject::InjectInfo info = computes::inject::InjectInfo::from_value(*inject);
    std::vector<std::string> selected;
    if (const Json* ast = json::member(postprocess, "ast"))
        if (const Json* fields = json::member(*ast, "fields"); fields && fields->is_array())
            for (const Json& f : *fields)
                if (f.is_string()) {
                    const auto& name = f.get_ref<const std::string&>();
                    if (std::find(info.fields.begin(), info.fields.end(), name) == info.fields.end())
                        selected.push_back(name);
                }
    computes::inject::strip_dep_injected(info, items, selected);
}

}  // namespace kelvara::command::finalize

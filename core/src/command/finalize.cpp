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

Preparer::Preparer(const Json& postprocess, const schema::Registry& registry, const permission::Context* ctx)
    : registry_(registry), ctx_(ctx) {
    if (postprocess.is_null()) return;
    const Json* ast_value = json::member(postprocess, "ast");
    if (!ast_value) throw CoreError("postprocess 缺少 ast");
    pipeline::ast::Ast ast = pipeline::ast::Ast::from_value(*ast_value);
    schema_ = &registry.get(ast.model);
    plan_ = std::make_unique<computes::run::sync::NodePlan>(std::move(ast.fields), std::move(ast.relations), *schema_,
                                                            registry, ctx);
}

std::vector<std::string> Preparer::fn_refs() const {
    std::vector<std::string> refs;
    if (!schema_) return refs;
    for (computes::cache::ComputeEntry& e : computes::run::async_::select_async_fns(registry_, *schema_, ctx_))
        refs.push_back(std::move(e.fn_ref));
    return refs;
}

Prepared prepare_query(const Json& postprocess, JsonArray items, const schema::Registry& registry,
                       const computes::registry::FnRegistry* callbacks, const permission::Context* ctx) {
    const Preparer preparer(postprocess, registry, ctx);
    for (Json& item : items) preparer.process(item, callbacks);
    return {std::move(items), preparer.fn_refs()};
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

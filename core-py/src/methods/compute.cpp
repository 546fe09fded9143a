// Host methods of computed fields: write completion, dependency injection
// and the finalisation of query results.
//
// Methods that may call synchronous computes hand the core a PyFnBridge over
// the callback table; they take shared access, so a callback may call other
// reading methods of the same Registry but no state-changing one.
#include "call_frame.hpp"
#include "command/finalize.hpp"
#include "computes/defaults.hpp"
#include "computes/inject.hpp"
#include "computes/run/async.hpp"
#include "computes/run/sync.hpp"
#include "fn_bridge.hpp"
#include "pipeline/parse.hpp"

namespace kelvara::py {

using namespace nb::literals;
namespace inject = computes::inject;

namespace {

// Result lists are Python lists; anything else is refused before the core
// runs rather than passed through in a shape the caller did not expect.
JsonArray items_of(JsonArg& items) {
    if (!items.value.is_array()) throw nb::type_error("items 必须是列表");
    return std::move(items.value.get_ref<JsonArray&>());
}

// {"items": [...]}, moving the list rather than copying it.
Json items_result(JsonArray&& items) {
    Json out = Json::object();
    out["items"] = Json(std::move(items));
    return out;
}

Json strings(std::vector<std::string> names) {
    Json out = Json::array();
    for (std::string& n : names) out.push_back(std::move(n));
    return out;
}

}  // namespace

void add_compute(RegistryClass& cls) {
    cls.def("apply_write_defaults", shared([](const PyRegistry& r, std::string_view model, JsonArg doc) {
                const PyFnBridge fns(r.fns);
                return computes::defaults::apply_defaults_and_computes(std::move(doc.value), r.core.get(model), &fns);
            }),
            "model"_a, "doc"_a.none());

    cls.def("inject_depends", shared([](const PyRegistry& r, std::string_view gql) {
                pipeline::ast::Ast ast = pipeline::parse::parse_gql(gql);
                const std::vector<inject::RelDep> deps = inject::collect_rel_deps(r.core.get(ast.model));
                const inject::InjectInfo info = deps.empty() ? inject::InjectInfo{} : inject::inject_into_ast(ast.relations, deps);
                Json rel_deps = Json::array();
                for (const inject::RelDep& d : deps) rel_deps.push_back(d.to_value());
                return Json{{"ast", ast.to_value()}, {"injectInfo", info.to_value()}, {"relDeps", std::move(rel_deps)}};
            }),
            "gql"_a);
    cls.def("strip_dep_injected", shared([](const PyRegistry&, JsonArg inject_info, JsonArg items) {
                JsonArray list = items_of(items);
                inject::strip_dep_injected(inject::InjectInfo::from_value(inject_info.value), list);
                return items_result(std::move(list));
            }),
            "inject_info"_a.none(), "items"_a.none());

    cls.def("process_node", shared([](const PyRegistry& r, std::string_view gql, JsonArg doc, CtxArg ctx) {
                pipeline::ast::Ast ast = pipeline::parse::parse_gql(gql);
                const PyFnBridge fns(r.fns);
                computes::run::sync::process_node(doc.value, std::move(ast.fields), std::move(ast.relations),
                                                  r.core.get(ast.model), ctx.get(), r.core, &fns);
                return Json{{"doc", std::move(doc.value)}};
            }),
            "gql"_a, "doc"_a.none(), "ctx"_a = nb::none());
    cls.def("async_fn_refs", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                std::vector<std::string> refs;
                for (auto& e : computes::run::async_::select_async_fns(r.core, r.core.get(model), ctx.get()))
                    refs.push_back(std::move(e.fn_ref));
                return strings(std::move(refs));
            }),
            "model"_a, "ctx"_a = nb::none());
    // The items stream through one at a time (convert, process, convert
    // back), so each document is worked on while it is in cache; a result of
    // many documents would otherwise be walked three times from memory.
    cls.def("prepare_query", shared([](const PyRegistry& r, JsonArg postprocess, PyItems items, CtxArg ctx) {
                const PyFnBridge fns(r.fns);
                const command::finalize::Preparer preparer(postprocess.value, r.core, ctx.get());
                nb::list out = items.map([&](Json& item) { preparer.process(item, &fns); });
                nb::dict result;
                result["fnRefs"] = convert::to_py(strings(preparer.fn_refs()));
                result["items"] = std::move(out);
                return nb::object(std::move(result));
            }),
            "postprocess"_a.none(), "items"_a.none(), "ctx"_a = nb::none());
    cls.def("strip_query", shared([](const PyRegistry&, JsonArg postprocess, JsonArg items) {
                JsonArray list = items_of(items);
                command::finalize::strip_query(postprocess.value, list);
                return items_result(std::move(list));
            }),
            "postprocess"_a.none(), "items"_a.none());
}

}  // namespace kelvara::py

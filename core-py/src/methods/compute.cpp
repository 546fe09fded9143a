// Host methods of computed fields: write completion, dependency injection
// and the finalisation of query results.
//
// Methods that may call synchronous computes hand the core a PyFnBridge over
// the callback table; they take shared access, so a callback may call other
// reading methods of the same Registry but no state-changing one.
#include "call_frame.hpp"
#include "computes/defaults.hpp"
#include "computes/inject.hpp"
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
}

}  // namespace kelvara::py

// Read planning: query plans, pages, relation sorts and second-phase order.
#include "call_frame.hpp"
#include "command/cmd.hpp"
#include "command/count.hpp"
#include "command/query.hpp"
#include "command/text2query.hpp"
#include "pipeline/parse.hpp"

namespace kelvara::py {

using namespace nb::literals;
namespace query = command::query;

namespace {

// The route override of a planning method: the plan is computed first, then
// a given override is refused in text2query or applied to every command.
Json with_route_override(const schema::Registry& registry, Json plan, const OptJsonArg& route_override) {
    const bool given = route_override.value && !route_override.value->is_null();
    command::ensure_route_override_allowed(registry, given);
    if (given) command::cmd::apply_route_override(plan, *route_override.value);
    return plan;
}

}  // namespace

void add_plan(RegistryClass& cls) {
    cls.def("plan_query",
            shared([](const PyRegistry& r, std::string_view gql, ParamsArg params, CtxArg ctx, OptJsonArg route) {
                Json plan = query::plan_query(gql, std::move(params.value), r.core, ctx.get()).to_value();
                return with_route_override(r.core, std::move(plan), route);
            }),
            "gql"_a, "params"_a = nb::none(), "ctx"_a = nb::none(), "route_override"_a = nb::none());
    cls.def("plan_query_one",
            shared([](const PyRegistry& r, std::string_view gql, ParamsArg params, CtxArg ctx, OptJsonArg route) {
                Json plan = query::plan_query_one(gql, std::move(params.value), r.core, ctx.get()).to_value();
                return with_route_override(r.core, std::move(plan), route);
            }),
            "gql"_a, "params"_a = nb::none(), "ctx"_a = nb::none(), "route_override"_a = nb::none());
    cls.def("plan_query_with_count",
            shared([](const PyRegistry& r, std::string_view gql, ParamsArg params, CtxArg ctx, std::optional<double> total,
                      OptJsonArg route) {
                Json plan = command::count::plan_query_with_count(gql, std::move(params.value), r.core, ctx.get()).to_value();
                const bool more = total && command::count::has_more(plan, *total);
                plan.get_ref<JsonObject&>().insert_or_assign("hasMore", more);
                return with_route_override(r.core, std::move(plan), route);
            }),
            "gql"_a, "params"_a = nb::none(), "ctx"_a = nb::none(), "total"_a = nb::none(),
            "route_override"_a = nb::none());
    cls.def("resolve_page", shared([](const PyRegistry&, std::string_view gql, ParamsArg params) {
                return query::resolve_page(pipeline::parse::parse_gql(gql), params.value).to_value();
            }),
            "gql"_a, "params"_a = nb::none());
    cls.def("sorts_by_relation", shared([](const PyRegistry&, OptJsonArg sort) {
                return query::sorts_by_relation(sort.value ? &*sort.value : nullptr);
            }),
            "sort"_a = nb::none());
    cls.def("restore_sort_order", shared([](const PyRegistry&, JsonArg items, JsonArg ids, OptJsonArg sort) {
                if (items.value.is_array() && ids.value.is_array())
                    query::restore_sort_order(items.value.get_ref<JsonArray&>(), ids.value.get_ref<const JsonArray&>(),
                                              sort.value ? &*sort.value : nullptr);
                return Json{{"items", std::move(items.value)}};
            }),
            "items"_a, "ids"_a, "sort"_a = nb::none());
}

}  // namespace kelvara::py

// Static permission queries: the questions the planners ask, for the host.
#include "call_frame.hpp"
#include "permission/rules.hpp"

namespace kelvara::py {

using namespace nb::literals;
namespace perm = permission;

void add_perm(RegistryClass& cls) {
    cls.def("can_read", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return perm::can_read_schema(r.core.rules, r.core.get(model), ctx.get());
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("can_write", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return perm::can_write_schema(r.core.rules, r.core.get(model), ctx.get());
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("should_inject_owner", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return perm::should_inject_owner_condition(r.core.rules, r.core.get(model), ctx.get());
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("merge_owner_condition",
            shared([](const PyRegistry& r, std::string_view model, CtxArg ctx, OptJsonArg condition) {
                return perm::merge_owner_condition(r.core.rules, r.core.get(model), ctx.get(), std::move(condition.value))
                    .value_or(Json());
            }),
            "model"_a, "ctx"_a = nb::none(), "condition"_a = nb::none());

    cls.def("readable_fields", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return convert::sorted_set(perm::get_readable_fields(r.core.rules, r.core.get(model), ctx.get()));
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("readable_relations", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return convert::sorted_set(perm::get_readable_relations(r.core.rules, r.core.get(model), ctx.get()));
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("readable_computes", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return convert::sorted_set(perm::get_readable_computes(r.core.rules, r.core.get(model), ctx.get()));
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("writable_fields", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                return convert::sorted_set(perm::get_writable_fields(r.core.rules, r.core.get(model), ctx.get()));
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("filter_writable_data", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx, JsonArg data) {
                return perm::filter_writable_data(r.core.rules, r.core.get(model), ctx.get(), std::move(data.value));
            }),
            "model"_a, "ctx"_a = nb::none(), "data"_a = nb::none());
}

}  // namespace kelvara::py

// The RBAC policy switch and the RBAC queries.
#include "call_frame.hpp"
#include "permission/rules.hpp"
#include "rbac/decide.hpp"

namespace kelvara::py {

using namespace nb::literals;

void add_rbac(RegistryClass& cls) {
    cls.def("set_rbac", exclusive([](PyRegistry& r, OptJsonArg policy) {
                if (!policy.value) r.core.rbac.reset();
                else r.core.rbac = rbac::RbacPolicy::from_json(*policy.value);  // replaced only on success
            }),
            "policy"_a.none());
    cls.def("rbac_enabled", shared([](const PyRegistry& r) { return r.core.rbac.has_value(); }));

    cls.def("rbac_can", shared([](const PyRegistry& r, std::string_view model, std::string_view action, CtxArg ctx) {
                return rbac::can(r.core, model, ctx.get(), action);
            }),
            "model"_a, "action"_a, "ctx"_a = nb::none());
    cls.def("rbac_row_condition",
            shared([](const PyRegistry& r, std::string_view model, std::string_view action, CtxArg ctx) {
                // The action is checked before the model is looked up.
                const auto a = rbac::row_action_from_str(action);
                if (!a)
                    throw nb::value_error(("RBAC row_condition 的 action \"" + std::string(action) +
                                           "\" 非法（仅支持 read / update / remove）")
                                              .c_str());
                return rbac::row_condition(r.core, r.core.get(model), ctx.get(), *a).value_or(Json());
            }),
            "model"_a, "action"_a, "ctx"_a = nb::none());
    cls.def("rbac_readable_fields", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                const auto& s = r.core.get(model);
                return convert::sorted_set(rbac::overlay_readable_fields(
                    r.core, s.name, ctx.get(), permission::get_readable_fields(r.core.rules, s, ctx.get())));
            }),
            "model"_a, "ctx"_a = nb::none());
    cls.def("rbac_writable_fields", shared([](const PyRegistry& r, std::string_view model, CtxArg ctx) {
                const auto& s = r.core.get(model);
                return convert::sorted_set(rbac::overlay_writable_fields(
                    r.core, s.name, ctx.get(), permission::get_writable_fields(r.core.rules, s, ctx.get())));
            }),
            "model"_a, "ctx"_a = nb::none());
}

}  // namespace kelvara::py

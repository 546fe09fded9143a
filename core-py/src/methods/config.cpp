// Configuration switches of a Registry and the callback table.
#include "call_frame.hpp"
#include "error/core_error.hpp"

namespace kelvara::py {

using namespace nb::literals;
using Strings = std::vector<std::string>;

void add_config(RegistryClass& cls) {
    cls.def("set_require_context", exclusive([](PyRegistry& r, bool require) { r.core.require_context = require; }),
            "require"_a);
    cls.def("require_context", shared([](const PyRegistry& r) { return r.core.require_context; }));

    cls.def("set_profile", exclusive([](PyRegistry& r, std::string_view profile) {
                auto p = schema::profile_from_str(profile);
                if (!p) throw nb::value_error(("未知 profile: " + std::string(profile) + "（仅 standard / text2query）").c_str());
                r.core.profile = *p;
            }),
            "profile"_a);
    cls.def("profile", shared([](const PyRegistry& r) { return std::string(schema::profile_name(r.core.profile)); }));

    cls.def("set_exempt_roles", exclusive([](PyRegistry& r, Strings roles) { r.core.rules.exempt_roles = std::move(roles); }),
            "roles"_a);
    cls.def("set_deny_write_roles",
            exclusive([](PyRegistry& r, Strings roles) { r.core.rules.deny_write_roles = std::move(roles); }), "roles"_a);
    cls.def("set_unconfigured_policy", exclusive([](PyRegistry& r, std::string_view policy) {
                r.core.rules.unconfigured = permission::unconfigured_policy_from_str_or_err(policy);
            }),
            "policy"_a);
    cls.def("set_meta_policy", exclusive([](PyRegistry& r, bool closed, Strings roles) {
                r.core.meta = {closed, std::move(roles)};
            }),
            "closed"_a, "roles"_a);

    cls.def("set_fn", exclusive([](PyRegistry& r, std::string_view fn_ref, nb::callable callback) {
                r.fns.insert_or_assign(std::string(fn_ref), std::move(callback));
            }),
            "fn_ref"_a, "callback"_a);
    cls.def("clear_fns", exclusive([](PyRegistry& r) {
                FnTable dropped;
                dropped.swap(r.fns);
            }));
}

}  // namespace kelvara::py

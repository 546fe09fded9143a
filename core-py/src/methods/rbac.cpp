// The RBAC policy switch and the RBAC queries.
#include "call_frame.hpp"

namespace kelvara::py {

using namespace nb::literals;

void add_rbac(RegistryClass& cls) {
    cls.def("set_rbac", exclusive([](PyRegistry& r, OptJsonArg policy) {
                if (!policy.value) r.core.rbac.reset();
                else r.core.rbac = rbac::RbacPolicy::from_json(*policy.value);  // replaced only on success
            }),
            "policy"_a);
    cls.def("rbac_enabled", shared([](const PyRegistry& r) { return r.core.rbac.has_value(); }));
}

}  // namespace kelvara::py

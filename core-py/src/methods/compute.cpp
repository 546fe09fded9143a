// Host methods of computed fields: write completion, dependency injection
// and the finalisation of query results.
//
// Methods that may call synchronous computes hand the core a PyFnBridge over
// the callback table; they take shared access, so a callback may call other
// reading methods of the same Registry.
#include "call_frame.hpp"
#include "computes/defaults.hpp"
#include "fn_bridge.hpp"

namespace kelvara::py {

using namespace nb::literals;

void add_compute(RegistryClass& cls) {
    cls.def("apply_write_defaults", shared([](const PyRegistry& r, std::string_view model, JsonArg doc) {
                const PyFnBridge fns(r.fns);
                return computes::defaults::apply_defaults_and_computes(std::move(doc.value), r.core.get(model), &fns);
            }),
            "model"_a, "doc"_a.none());
}

}  // namespace kelvara::py

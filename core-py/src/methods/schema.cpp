// Registration and schema lookups.
#include "call_frame.hpp"

namespace kelvara::py {

using namespace nb::literals;

void add_schema(RegistryClass& cls) {
    cls.def("register", exclusive([](PyRegistry& r, JsonArg defn) { r.core.register_defn(defn.value); }), "defn"_a);
    cls.def("register_with_ctx", exclusive([](PyRegistry& r, JsonArg defn, CtxArg ctx) {
                r.core.register_with_ctx(defn.value, ctx.get());
            }),
            "defn"_a, "ctx"_a);
    cls.def("can_register", shared([](const PyRegistry& r, CtxArg ctx) { return r.core.can_register(ctx.get()); }),
            "ctx"_a);
    cls.def("has", shared([](const PyRegistry& r, std::string_view name) { return r.core.has(name); }), "name"_a);
    cls.def("list", shared([](const PyRegistry& r) {
        Json names = Json::array();
        for (const std::string& n : r.core.list()) names.push_back(n);
        return names;
    }));
    cls.def("clear_schemas", exclusive([](PyRegistry& r) { r.core.clear(); }));
}

}  // namespace kelvara::py

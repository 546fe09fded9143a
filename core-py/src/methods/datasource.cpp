// Data-source lookups: a model's declared source name and its resolved kind.
#include "call_frame.hpp"
#include "schema/datasource.hpp"

namespace kelvara::py {

using namespace nb::literals;

void add_datasource(RegistryClass& cls) {
    cls.def("schema_datasource", shared([](const PyRegistry& r, std::string_view schema_name) {
                auto name = r.core.schema_datasource(schema_name);
                return name ? Json(std::move(*name)) : Json();
            }),
            "schema_name"_a);
    // Nothing resolved and the document database both report "mongo".
    cls.def("resolve_datasource", shared([](const PyRegistry& r, std::string_view schema_name, JsonArg config) {
                auto source = schema::datasource::resolve_datasource(r.core, schema_name, config.value);
                return std::string(source ? source->kind_name() : "mongo");
            }),
            "schema_name"_a, "config"_a = nb::none());
}

}  // namespace kelvara::py

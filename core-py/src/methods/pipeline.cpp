// Host methods of the pipeline group.
#include "call_frame.hpp"
#include "pipeline/explain.hpp"

namespace kelvara::py {

using namespace nb::literals;

void add_pipeline(RegistryClass& cls) {
    cls.def("build_pipeline",
            shared([](const PyRegistry& r, std::string_view gql, ParamsArg params, CtxArg ctx) {
                return pipeline::explain::build_pipeline_view(r.core, gql, params.value, ctx.get());
            }),
            "gql"_a, "params"_a = nb::none(), "ctx"_a = nb::none());
}

}  // namespace kelvara::py

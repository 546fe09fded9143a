// Parameter references, ordering stages and the text2query limit rules.
#include "pipeline/util.hpp"

#include "error/core_error.hpp"

namespace kelvara::pipeline::util {

const Json* param(const Json&, const std::string*) { internal_error("not built yet"); }
const Json* set_param(const Json&, const std::string*) { internal_error("not built yet"); }
void append_order(JsonArray&, const Json*, const Json*, const Json*) { internal_error("not built yet"); }
std::optional<Json> force_t2q_limit(const schema::Registry&, const Json*) { internal_error("not built yet"); }
std::optional<Json> clamp_t2q_limit(const schema::Registry&, const Json*) { internal_error("not built yet"); }

}  // namespace kelvara::pipeline::util

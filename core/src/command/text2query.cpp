#include "command/text2query.hpp"

#include "error/core_error.hpp"

namespace kelvara::command {

void forbid_t2q(const schema::Registry& registry, std::string_view feature) {
    if (registry.text2query())
        throw CoreError(std::string(kErrText2Query) + "text2query 档禁用 [" + std::string(feature) + "]（功能收缩）");
}

void forbid_t2q_shape(bool text2query, std::string_view label, std::string_view detail) {
    if (text2query)
        throw CoreError(std::string(kErrText2Query) + "text2query 档功能收缩 [" + std::string(label) + "]：" +
                        std::string(detail));
}

void ensure_route_override_allowed(const schema::Registry& registry, bool override_given) {
    if (override_given && registry.text2query())
        throw CoreError(std::string(kErrText2Query) + "text2query 档禁用 route_override（受信参数，禁 AI 侧指定）");
}

}  // namespace kelvara::command

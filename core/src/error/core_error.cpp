#include "error/core_error.hpp"

namespace kelvara {

namespace {

CoreError::Kind kind_of(const std::string& m) {
    if (m.starts_with(kErrPermission)) return CoreError::Kind::Permission;
    if (m.starts_with(kNoContextMessage)) return CoreError::Kind::NoContext;
    return CoreError::Kind::Other;
}

}  // namespace

CoreError::CoreError(std::string message) : message_(std::move(message)), kind_(kind_of(message_)) {}

void internal_error(std::string_view what) {
    throw CoreError("kelvara internal error: " + std::string(what));
}

}  // namespace kelvara

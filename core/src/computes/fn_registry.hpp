// The core's interface to synchronous compute callbacks.
//
// The core never runs host code itself: the binding hands an implementation
// (the Python callback bridge) to the operations that need computed values.
#pragma once

#include "json/json.hpp"

#include <string_view>

namespace kelvara::computes::registry {

class FnRegistry {
public:
    virtual ~FnRegistry() = default;
    // The value of the synchronous compute registered under fn_ref for the
    // given document; throws CoreError with the callback's error text.
    virtual Json call_sync(std::string_view fn_ref, const Json& argument) const = 0;
    // Asynchronous computes are run by the host; implementations refuse.
    virtual Json call_async(std::string_view fn_ref, const Json& argument) const = 0;
};

}  // namespace kelvara::computes::registry

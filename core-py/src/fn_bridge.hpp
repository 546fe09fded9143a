// PyFnBridge: the callback table seen by the core as its FnRegistry.
//
// It borrows the table for one method call. A callback is called with the
// converted document as its single argument; whatever goes wrong (a missing
// callback, a raising callback, an unconvertible result) becomes a CoreError
// whose message the calling operation passes on.
#pragma once

#include "computes/fn_registry.hpp"
#include "registry.hpp"

namespace kelvara::py {

class PyFnBridge final : public computes::registry::FnRegistry {
public:
    explicit PyFnBridge(const FnTable& table) : table_(table) {}
    Json call_sync(std::string_view fn_ref, const Json& argument) const override;
    Json call_async(std::string_view fn_ref, const Json& argument) const override;

private:
    const FnTable& table_;
};

}  // namespace kelvara::py

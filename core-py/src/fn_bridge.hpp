// PyFnBridge: the callback table seen by the core as its FnRegistry.
//
// It borrows the table for one method call; the method holds shared access
// to the Registry meanwhile, so the table cannot change under it (set_fn and
// clear_fns need exclusive access and fail with "Already borrowed" from
// inside a callback). A callback is called with the converted document as
// its single argument; whatever goes wrong (a missing callback, a raising
// callback, an argument or result that does not convert) becomes a CoreError
// whose message the calling operation passes on.
#pragma once

#include "computes/fn_registry.hpp"
#include "registry.hpp"

namespace kelvara::py {

class PyFnBridge final : public computes::registry::FnRegistry {
public:
    explicit PyFnBridge(const FnTable& table) : table_(table) {}
    // Throws "计算列 {fn_ref} 未注册同步实现", or "TypeName: message" for a
    // Python exception raised while converting or calling.
    Json call_sync(std::string_view fn_ref, const Json& argument) const override;
    // Always throws: the host runs asynchronous computes itself.
    Json call_async(std::string_view fn_ref, const Json& argument) const override;

private:
    const FnTable& table_;
};

}  // namespace kelvara::py

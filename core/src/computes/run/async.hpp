// The asynchronous computes a caller is to receive.
//
// The host computes these itself after prepare_query, from the data that
// dependency injection fetched; the core only says which ones apply.
#pragma once

#include "computes/cache.hpp"
#include "permission/context.hpp"
#include "schema/registry.hpp"

#include <vector>

namespace kelvara::computes::run::async_ {

// The schema's asynchronous computes in declaration order; under a context
// only those the caller may read: the compute's own read list admits it
// and, with an RBAC policy, the readable set RBAC leaves includes it (the
// same narrowing that trims computed values out of the documents).
std::vector<cache::ComputeEntry> select_async_fns(const schema::Registry& registry, const schema::Schema& schema,
                                                  const permission::Context* ctx);

}  // namespace kelvara::computes::run::async_

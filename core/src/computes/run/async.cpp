// Selecting the asynchronous computes for a caller.
//
// The values are added by the host after trimming, so nothing would remove
// one the caller may not read: the filter here must be at least as strict as
// the trimming of computed values.
#include "computes/run/async.hpp"

#include "permission/rules.hpp"
#include "rbac/decide.hpp"

namespace kelvara::computes::run::async_ {

std::vector<cache::ComputeEntry> select_async_fns(const schema::Registry& registry, const schema::Schema& schema,
                                                  const permission::Context* ctx) {
    std::vector<cache::ComputeEntry> entries = cache::ensure_cache(schema).async;
    if (!ctx) return entries;
    OptNameSet rbac_readable;
    if (registry.rbac)
        rbac_readable = rbac::overlay_readable_fields(registry, schema.name, ctx,
                                                      permission::get_readable_computes(registry.rules, schema, ctx));
    std::erase_if(entries, [&](const cache::ComputeEntry& e) {
        const schema::ComputeDef* def = schema.compute(e.name);
        if (!permission::evaluate(registry.rules, ctx, def->read)) return true;
        return rbac_readable && !rbac_readable->contains(e.name);
    });
    return entries;
}

}  // namespace kelvara::computes::run::async_

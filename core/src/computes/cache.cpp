// Building the compute and default digest of a schema.
#include "computes/cache.hpp"

#include "computes/defaults.hpp"
#include "types/truthy.hpp"

namespace kelvara::computes::cache {

namespace {

ComputeEntry entry(const std::string& name, const schema::ComputeDef& def) {
    return {name, def.fn_ref ? *def.fn_ref : name, def.depends};
}

}  // namespace

Cache ensure_cache(const schema::Schema& schema) {
    Cache c;
    for (const auto& [name, def] : schema.computes) {
        if (def.fn) c.sync.push_back(entry(name, def));
        if (def.async_fn) c.async.push_back(entry(name, def));
        c.compute_defaults.emplace_hint(c.compute_defaults.end(), name, types::get_default(def.type));
    }
    for (const auto& [name, field] : schema.fields)
        if (auto d = defaults::field_default(field)) c.field_defaults.emplace_hint(c.field_defaults.end(), name, std::move(*d));
    return c;
}

}  // namespace kelvara::computes::cache

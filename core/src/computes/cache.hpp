// The per-schema digest of computed fields and defaults.
//
// Post-processing and write completion both need the same facts about a
// model: which computes the host calls back for, which it runs itself, and
// which default each field and compute falls back to. ensure_cache reads
// them off a Schema in one pass. Nothing is retained between calls: a caller
// that processes many documents builds the digest once and reuses it.
#pragma once

#include "json/json.hpp"
#include "schema/definition.hpp"

#include <map>
#include <string>
#include <vector>

namespace kelvara::computes::cache {

// One synchronous or asynchronous computed field.
struct ComputeEntry {
    std::string name;
    std::string fn_ref;                // the declared fnRef, else the name
    std::vector<std::string> depends;  // as declared
};

using DefaultMap = std::map<std::string, Json, std::less<>>;

struct Cache {
    std::vector<ComputeEntry> sync;    // "fn" computes, declaration order
    std::vector<ComputeEntry> async;   // "asyncFn" computes, declaration order
    DefaultMap field_defaults;         // stored fields whose default is not null
    DefaultMap compute_defaults;       // every compute -> type default (maybe null)
};

// A compute declared with both flags is listed in both lists.
Cache ensure_cache(const schema::Schema& schema);

}  // namespace kelvara::computes::cache

// Finalisation of a read query's results, in three phases.
//
// 1. prepare_query: every fetched document gets its defaults and synchronous
//    computes, is trimmed to the selection and to what the caller may read,
//    and the host learns which asynchronous computes to run.
// 2. The host runs those itself, reading the data that dependency injection
//    added to the query.
// 3. strip_query removes that injected data again.
// The "postprocess" object ({"ast", "inject"}) travels unchanged from the
// query plan through both calls.
#pragma once

#include "computes/fn_registry.hpp"
#include "computes/run/sync.hpp"
#include "json/json.hpp"
#include "permission/context.hpp"
#include "schema/registry.hpp"

#include <memory>
#include <string>
#include <vector>

namespace kelvara::command::finalize {

struct Prepared {
    JsonArray items;
    std::vector<std::string> fn_refs;  // asynchronous computes for the host to run
};

// Phase one, one document at a time: the selection is settled once when the
// Preparer is made, then each document is processed on its own, so a caller
// can convert, process and hand back documents one by one while each is hot
// in cache.
class Preparer {
public:
    // Throws "postprocess 缺少 ast" and the AST and registry errors.
    Preparer(const Json& postprocess, const schema::Registry& registry, const permission::Context* ctx);

    // A null postprocess leaves the items alone.
    bool active() const { return plan_ != nullptr; }
    // Throws the first compute or registry error.
    void process(Json& item, const computes::registry::FnRegistry* callbacks) const {
        if (plan_) plan_->process(item, callbacks);
    }
    // The asynchronous computes the host must run, for the root model.
    std::vector<std::string> fn_refs() const;

private:
    const schema::Registry& registry_;
    const schema::Schema* schema_ = nullptr;
    const permission::Context* ctx_;
    std::unique_ptr<computes::run::sync::NodePlan> plan_;
};

// Phase one over a whole list. A null postprocess returns the items unchanged and no fn_refs.
// Throws "postprocess 缺少 ast", the AST and registry errors, and the first
// compute error; nothing is returned then.
Prepared prepare_query(const Json& postprocess, JsonArray items, const schema::Registry& registry,
                       const computes::registry::FnRegistry* callbacks, const permission::Context* ctx);

// Phase three: removes what the injection recorded in postprocess "inject"
// added; the items are unchanged when there is no record. Never fails.
void strip_query(const Json& postprocess, JsonArray& items);

}  // namespace kelvara::command::finalize

// The per-document pass of result post-processing.
//
// For every fetched document: fill the defaults of what was selected, run
// the synchronous computes through the host callbacks, descend into the
// selected relations, and trim the document to the selection and to what the
// caller may read. Everything that depends only on the selection, the schema
// and the caller (flattened selection, defaults, readable sets, relation
// targets) is settled once in a NodePlan; only the "creator" read rules are
// decided per document, because they read the document's "createdBy".
#pragma once

#include "computes/cache.hpp"
#include "computes/fn_registry.hpp"
#include "json/json.hpp"
#include "permission/context.hpp"
#include "pipeline/ast.hpp"
#include "schema/registry.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvara::computes::run::sync {

// Runs the synchronous computes of `cache` in declaration order and stores
// each value in an object document; a compute left null (or missing) then
// falls back to its type default. Throws "计算列 {} 未注册同步实现" when
// there are synchronous computes and no callbacks, and a callback's error.
void run_computes(Json& document, const cache::Cache& cache, const registry::FnRegistry* callbacks);

// One selection over one schema, prepared for one caller.
class NodePlan {
public:
    // Flattens object-field selections of `fields`/`relations` first. Never
    // fails: a relation whose target model is not registered fails only when
    // a document reaches it.
    NodePlan(std::vector<std::string> fields, std::vector<pipeline::ast::RelSel> relations,
             const schema::Schema& schema, const schema::Registry& registry, const permission::Context* ctx);
    ~NodePlan();
    NodePlan(const NodePlan&) = delete;
    NodePlan& operator=(const NodePlan&) = delete;

    // Processes one document in place (null is left alone). Throws the first
    // compute or registry error.
    void process(Json& document, const registry::FnRegistry* callbacks) const;

    const cache::Cache& cache() const { return cache_; }

private:
    struct DottedDefault;
    struct Child;
    struct DocRule;

    void fill_defaults(JsonObject& doc) const;
    void descend(Json& document, const registry::FnRegistry* callbacks) const;
    void trim(Json& document) const;

    const schema::Schema& schema_;
    const schema::Registry& registry_;
    const permission::Context* ctx_;
    cache::Cache cache_;
    std::vector<const std::pair<const std::string, Json>*> plain_defaults_;
    std::vector<DottedDefault> dotted_defaults_;
    std::vector<Child> children_;
    NameSet allowed_;
    std::vector<DocRule> doc_rules_;
    std::vector<std::pair<std::string, NameSet>> pruned_;
};

// One document, one selection: the host method's entry point.
void process_node(Json& document, std::vector<std::string> fields, std::vector<pipeline::ast::RelSel> relations,
                  const schema::Schema& schema, const permission::Context* ctx, const schema::Registry& registry,
                  const registry::FnRegistry* callbacks);

}  // namespace kelvara::computes::run::sync

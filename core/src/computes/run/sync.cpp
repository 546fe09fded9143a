// The per-document pass: defaults, synchronous computes, relation descent
// and trimming.
//
// Choices beyond the plain selection rules:
//  - the read rules of a declared field also govern its dotted sub-paths, so
//    a caller who may not read "profile" does not read "profile.lang";
//  - an object field selected whole is not cut back to sub-paths that are
//    selected beside it (the projection fetches it whole as well);
//  - a relation selected twice is descended once, by its later selection,
//    which is the one the pipeline joins.
#include "computes/run/sync.hpp"

#include "computes/defaults.hpp"
#include "error/core_error.hpp"
#include "permission/rules.hpp"
#include "pipeline/build.hpp"
#include "rbac/decide.hpp"

#include <algorithm>

namespace kelvara::computes::run::sync {

namespace {

using permission::path_head;

bool missing_or_null(const JsonObject& obj, std::string_view key) {
    auto it = obj.find(key);
    return it == obj.end() || it->second.is_null();
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool has_creator(const OptRoleList& list) { return list && contains(*list, "creator"); }

// The static readable set narrowed by RBAC; RBAC is neutral without a policy.
OptNameSet narrowed(const schema::Registry& registry, const schema::Schema& schema, const permission::Context* ctx,
                    OptNameSet set) {
    if (!registry.rbac) return set;
    return rbac::overlay_readable_fields(registry, schema.name, ctx, std::move(set));
}

}  // namespace

// A selected dotted path's object field: its own default and the defaults of
// the selected sub-fields that its declaration describes.
struct NodePlan::DottedDefault {
    std::string head;
    std::vector<std::string> rests;
    const Json* head_default = nullptr;
    std::vector<std::pair<std::string, Json>> rest_defaults;
};

// A relation selection that is descended into.
struct NodePlan::Child {
    std::string name;
    bool one = false;                  // to-one: a missing member becomes null, not []
    bool keep_id = false;              // "_id" was selected in the relation
    std::string model;                 // the target model
    std::unique_ptr<NodePlan> plan;    // null when the target model is not registered
};

// A read list with the "creator" grant: decided per document.
struct NodePlan::DocRule {
    const OptRoleList* read;
    std::vector<std::string> names;    // members removed when it denies
};

void run_computes(Json& document, const cache::Cache& cache, const registry::FnRegistry* callbacks) {
    if (cache.sync.empty()) return;
    if (!callbacks) throw CoreError(defaults::missing_callback_message(cache.sync.front().name));
    for (const cache::ComputeEntry& e : cache.sync) {
        Json value = callbacks->call_sync(e.fn_ref, document);
        if (document.is_object()) document.get_ref<JsonObject&>().insert_or_assign(e.name, std::move(value));
    }
    if (!document.is_object()) return;
    auto& obj = document.get_ref<JsonObject&>();
    for (const cache::ComputeEntry& e : cache.sync) {
        if (!missing_or_null(obj, e.name)) continue;
        auto d = cache.compute_defaults.find(e.name);
        if (d != cache.compute_defaults.end()) obj.insert_or_assign(e.name, d->second);
    }
}

NodePlan::NodePlan(std::vector<std::string> fields, std::vector<pipeline::ast::RelSel> relations,
                   const schema::Schema& schema, const schema::Registry& registry, const permission::Context* ctx)
    : schema_(schema), registry_(registry), ctx_(ctx), cache_(cache::ensure_cache(schema)) {
    pipeline::build::flatten_object_fields_impl(fields, relations, schema);

    // Defaults: the selected names, then what the synchronous computes read.
    NameSet seen;
    auto add_default = [&](const std::string& name) {
        if (!seen.insert(name).second) return;
        const std::string_view head = path_head(name);
        if (head.size() == name.size()) {
            auto it = cache_.field_defaults.find(name);
            if (it != cache_.field_defaults.end()) plain_defaults_.push_back(&*it);
            return;
        }
        auto group = std::find_if(dotted_defaults_.begin(), dotted_defaults_.end(),
                                  [&](const DottedDefault& g) { return g.head == head; });
        if (group == dotted_defaults_.end()) {
            dotted_defaults_.emplace_back().head = head;
            group = std::prev(dotted_defaults_.end());
        }
        group->rests.emplace_back(name.substr(head.size() + 1));
    };
    for (const std::string& f : fields) add_default(f);
    for (const cache::ComputeEntry& e : cache_.sync)
        for (const std::string& d : e.depends) add_default(d);
    for (DottedDefault& g : dotted_defaults_) {
        auto it = cache_.field_defaults.find(g.head);
        if (it != cache_.field_defaults.end()) g.head_default = &it->second;
        const schema::FieldDef* f = schema.field(g.head);
        if (!f || f->type != "object" || !f->fields) continue;
        for (const std::string& rest : g.rests)
            if (const Json* spec = json::member(*f->fields, rest))
                if (auto d = defaults::raw_field_default(*spec)) g.rest_defaults.emplace_back(rest, std::move(*d));
    }

    // Readable sets, only under a context.
    const permission::RoleRules& rules = registry.rules;
    OptNameSet readable_fields, readable_computes, readable_relations;
    if (ctx) {
        readable_fields = narrowed(registry, schema, ctx, permission::get_readable_fields(rules, schema, ctx));
        readable_computes = narrowed(registry, schema, ctx, permission::get_readable_computes(rules, schema, ctx));
        readable_relations = permission::get_readable_relations(rules, schema, ctx);
    }

    // Relation descent. Of two selections of one relation only the later
    // is descended, as only the later one is joined into the document:
    // walking both would trim away what the later one fetched.
    for (auto sel_it = relations.begin(); sel_it != relations.end(); ++sel_it) {
        pipeline::ast::RelSel& sel = *sel_it;
        if (std::any_of(std::next(sel_it), relations.end(), [&](const auto& later) { return later.name == sel.name; }))
            continue;
        if (readable_relations && !readable_relations->contains(sel.name)) continue;
        const schema::RelationDef* rel = schema.relation(sel.name);
        if (!rel) continue;
        Child& c = children_.emplace_back();
        c.name = sel.name;
        c.one = rel->rel_type == "one";
        c.keep_id = contains(sel.ast.fields, "_id");
        c.model = rel->model;
        if (const schema::Schema* target = registry.find(rel->model))
            c.plan = std::make_unique<NodePlan>(std::move(sel.ast.fields), std::move(sel.ast.relations), *target,
                                                registry, ctx);
    }

    // Trimming: what may stay in every document.
    allowed_.insert("_id");
    for (const std::string& f : fields) {
        allowed_.insert(f);
        allowed_.emplace(path_head(f));
    }
    for (const pipeline::ast::RelSel& sel : relations) allowed_.insert(sel.name);
    if (ctx) {
        for (const std::string& f : fields) {
            if (f == "_id") continue;
            const std::string_view head = path_head(f);
            const schema::FieldDef* field = schema.field(head);
            const bool dotted = head.size() != f.size();
            if (field && readable_fields && !readable_fields->contains(head)) {
                allowed_.erase(f);
                if (dotted) allowed_.erase(std::string(head));
            } else if (field && has_creator(field->read)) {
                doc_rules_.push_back({&field->read, dotted ? std::vector{f, std::string(head)} : std::vector{f}});
            }
            if (dotted) continue;
            if (const schema::ComputeDef* c = schema.compute(f)) {
                if (readable_computes && !readable_computes->contains(f)) allowed_.erase(f);
                else if (has_creator(c->read) && allowed_.contains(f)) doc_rules_.push_back({&c->read, {f}});
            }
        }
        for (const pipeline::ast::RelSel& sel : relations) {
            if (readable_relations && !readable_relations->contains(sel.name)) {
                allowed_.erase(sel.name);
                continue;
            }
            const schema::RelationDef* rel = schema.relation(sel.name);
            if (rel && has_creator(rel->read)) doc_rules_.push_back({&rel->read, {sel.name}});
        }
    }

    // Sub-paths of an object field selected in part; a field selected whole
    // stays whole.
    for (const std::string& f : fields) {
        const std::string_view head = path_head(f);
        if (head.size() == f.size() || contains(fields, head)) continue;
        auto group = std::find_if(pruned_.begin(), pruned_.end(), [&](const auto& g) { return g.first == head; });
        if (group == pruned_.end()) group = pruned_.insert(pruned_.end(), {std::string(head), {}});
        group->second.insert(f.substr(head.size() + 1));
    }
}

NodePlan::~NodePlan() = default;

void NodePlan::fill_defaults(JsonObject& doc) const {
    for (const auto* d : plain_defaults_)
        if (missing_or_null(doc, d->first)) doc.insert_or_assign(d->first, d->second);
    for (const DottedDefault& g : dotted_defaults_) {
        if (g.head_default && missing_or_null(doc, g.head)) doc.insert_or_assign(g.head, *g.head_default);
        if (g.rest_defaults.empty()) continue;
        auto it = doc.find(g.head);
        if (it == doc.end() || !it->second.is_object()) continue;
        auto& sub = it->second.get_ref<JsonObject&>();
        for (const auto& [rest, value] : g.rest_defaults)
            if (missing_or_null(sub, rest)) sub.insert_or_assign(rest, value);
    }
}

void NodePlan::descend(Json& document, const registry::FnRegistry* callbacks) const {
    for (const Child& c : children_) {
        if (!c.plan) {
            // The lookup fails only once a document needs the relation.
            registry_.get(c.model);
            internal_error("relation target registered during a call");
        }
        if (!document.is_object()) continue;
        auto& doc = document.get_ref<JsonObject&>();
        auto it = doc.find(c.name);
        if (it == doc.end() || it->second.is_null()) {
            doc.insert_or_assign(c.name, c.one ? Json() : Json::array());
            continue;
        }
        Json& member = it->second;
        if (member.is_array()) {
            for (Json& e : member) {
                c.plan->process(e, callbacks);
                if (!c.keep_id && e.is_object()) e.get_ref<JsonObject&>().erase("_id");
            }
        } else if (member.is_object()) {
            c.plan->process(member, callbacks);
            if (!c.keep_id) member.get_ref<JsonObject&>().erase("_id");
        }
    }
}

void NodePlan::trim(Json& document) const {
    // The per-document rules read the document before anything is removed.
    std::vector<const std::string*> denied;
    for (const DocRule& r : doc_rules_)
        if (!permission::evaluate(registry_.rules, ctx_, *r.read, &document))
            for (const std::string& n : r.names) denied.push_back(&n);
    auto& doc = document.get_ref<JsonObject&>();
    std::erase_if(doc, [&](const auto& m) {
        return !allowed_.contains(m.first) ||
               std::any_of(denied.begin(), denied.end(), [&](const std::string* n) { return *n == m.first; });
    });
    for (const auto& [head, rests] : pruned_) {
        auto it = doc.find(head);
        if (it == doc.end() || !it->second.is_object()) continue;
        std::erase_if(it->second.get_ref<JsonObject&>(), [&](const auto& m) { return !rests.contains(m.first); });
    }
}

void NodePlan::process(Json& document, const registry::FnRegistry* callbacks) const {
    if (document.is_null()) return;
    if (document.is_object()) fill_defaults(document.get_ref<JsonObject&>());
    run_computes(document, cache_, callbacks);
    descend(document, callbacks);
    if (document.is_object()) trim(document);
}

void process_node(Json& document, std::vector<std::string> fields, std::vector<pipeline::ast::RelSel> relations,
                  const schema::Schema& schema, const permission::Context* ctx, const schema::Registry& registry,
                  const registry::FnRegistry* callbacks) {
    NodePlan(std::move(fields), std::move(relations), schema, registry, ctx).process(document, callbacks);
}

}  // namespace kelvara::computes::run::sync

// RBAC decisions over the installed policy.
//
// Everything starts from decide(): it says whether RBAC governs a (context,
// model) pair at all and, if so, which actions and field limits the matching
// grants give. The row-level operations then walk the grants again, keeping
// those that match the context and model and grant the action in question
// ("taken" grants), in policy order, so that conditions and error messages
// follow the order the host wrote. Policies are small (a handful of grants),
// so a linear walk per call beats maintaining an index.
#include "rbac/decide.hpp"

#include "error/core_error.hpp"
#include "permission/rules.hpp"

#include <algorithm>

namespace kelvara::rbac {

namespace {

constexpr ActionSet bit(Action a) { return static_cast<ActionSet>(a); }
constexpr ActionSet kWriteActions = bit(Action::Insert) | bit(Action::Update) | bit(Action::Remove);

// Marks a row restriction no document can satisfy (owner-only without a user).
constexpr std::string_view kImpossible = "__rbac_impossible__";
constexpr std::string_view kCreatedBy = "createdBy";

bool holds_role(const Context& ctx, const std::string& role) {
    const auto roles = ctx.effective();
    return std::find(roles.begin(), roles.end(), role) != roles.end();
}

bool grant_matches(const Grant& g, const Context& ctx, std::string_view model) {
    return (g.model == "*" || g.model == model) && holds_role(ctx, g.role);
}

bool grant_taken(const Grant& g, const Context& ctx, std::string_view model, Action action) {
    return has_action(g.actions, action) && grant_matches(g, ctx, model);
}

// Whether RBAC may govern this context at all, whatever the model: not
// without a context, not for the internal context or exempt roles, and in
// enforce mode only for contexts holding a managed role.
bool context_governed(const RbacPolicy& policy, const std::vector<std::string>& exempt_roles, const Context* ctx) {
    if (!ctx || ctx->internal || permission::has_any(*ctx, exempt_roles)) return false;
    if (policy.mode == Mode::Overlay) return true;
    const auto roles = ctx->effective();
    return std::any_of(roles.begin(), roles.end(), [&](const std::string& r) { return policy.roles.contains(r); });
}

// The actions part of decide() alone, without building field sets: the hot
// path of every permission check. Absent when no policy is installed or RBAC
// does not decide.
std::optional<ActionSet> decided_actions(const Registry& registry, const Context* ctx, std::string_view model) {
    if (!registry.rbac) return std::nullopt;
    const RbacPolicy& policy = *registry.rbac;
    if (!context_governed(policy, registry.rules.exempt_roles, ctx)) return std::nullopt;
    ActionSet actions = 0;
    bool matched = false;
    for (const Grant& g : policy.grants) {
        if (!grant_matches(g, *ctx, model)) continue;
        matched = true;
        actions |= g.actions;
    }
    if (policy.mode == Mode::Overlay && !matched) return std::nullopt;
    return actions;
}

// The full decision, or absent when no policy is installed or RBAC does not decide.
std::optional<ModelDecision> decision_for(const Registry& registry, const Context* ctx, std::string_view model) {
    if (!registry.rbac) return std::nullopt;
    return decide(*registry.rbac, registry.rules.exempt_roles, ctx, model);
}

[[noreturn]] void deny(std::string_view model, Action action) {
    throw CoreError("ERR_PERMISSION:RBAC:角色对 [" + std::string(model) + "] 无 [" + std::string(action_name(action)) +
                    "] 权限");
}

// A document value at `key`: the member of that name, or else, for a dotted
// key, the value reached through nested objects (the way a query condition
// reads the same key). Null when absent.
const Json* value_at(const Json& doc, const std::string& key) {
    if (const Json* v = json::member(doc, key)) return v;
    const Json* cur = &doc;
    std::string_view rest = key;
    while (cur) {
        const std::size_t dot = rest.find('.');
        if (dot == std::string_view::npos) return json::member(*cur, rest);
        cur = json::member(*cur, rest.substr(0, dot));
        rest.remove_prefix(dot + 1);
    }
    return nullptr;
}

bool satisfies_equalities(const Json& doc, const Json& condition) {
    for (const auto& [key, expected] : condition.get_ref<const JsonObject&>()) {
        const Json* actual = value_at(doc, key);
        if (!actual || !json::strict_equal(*actual, expected)) return false;
    }
    return true;
}

// Whether one taken grant admits writing `doc`. The owner part is checked
// against the context itself rather than through its rendered condition, so
// a document that happens to carry the impossibility marker is not admitted.
bool grant_admits(const Grant& g, const Context& ctx, const Json& doc) {
    if (!g.owner_only && !g.condition) return true;
    if (!doc.is_object()) return false;
    if (g.owner_only) {
        if (!ctx.has_user()) return false;
        const std::string* created_by = json::string_member(doc, kCreatedBy);
        if (!created_by || *created_by != *ctx.user_id) return false;
    }
    return !g.condition || satisfies_equalities(doc, *g.condition);
}

OptNameSet overlay(const Registry& registry, std::string_view model, const Context* ctx, OptNameSet static_set,
                   OptNameSet ModelDecision::*limit_of) {
    auto d = decision_for(registry, ctx, model);
    if (!d || !((*d).*limit_of)) return static_set;
    NameSet& limit = *((*d).*limit_of);
    if (!static_set) {
        limit.emplace("_id");
        return std::move(limit);
    }
    NameSet out;
    for (const std::string& name : *static_set)
        if (name == "_id" || limit.contains(name)) out.emplace_hint(out.end(), name);
    return out;
}

}  // namespace

std::optional<ModelDecision> decide(const RbacPolicy& policy, const std::vector<std::string>& exempt_roles,
                                    const Context* ctx, std::string_view model) {
    if (!context_governed(policy, exempt_roles, ctx)) return std::nullopt;

    ModelDecision d;
    bool matched = false;
    // A field limit holds only while every grant giving the action has one.
    NameSet read_union, write_union;
    bool read_unlimited = false, write_unlimited = false;
    for (const Grant& g : policy.grants) {
        if (!grant_matches(g, *ctx, model)) continue;
        matched = true;
        d.actions |= g.actions;
        if (has_action(g.actions, Action::Read)) {
            if (g.read_fields) read_union.insert(g.read_fields->begin(), g.read_fields->end());
            else read_unlimited = true;
        }
        if (g.actions & kWriteActions) {
            if (g.write_fields) write_union.insert(g.write_fields->begin(), g.write_fields->end());
            else write_unlimited = true;
        }
    }
    // Overlay mode speaks only where a grant does; enforce mode also denies
    // everything no grant allows.
    if (policy.mode == Mode::Overlay && !matched) return std::nullopt;
    if (!read_unlimited && !read_union.empty()) d.read_fields = std::move(read_union);
    if (!write_unlimited && !write_union.empty()) d.write_fields = std::move(write_union);
    return d;
}

Action write_action_from_str(std::string_view text) {
    if (text == "insert") return Action::Insert;
    if (text == "update") return Action::Update;
    if (text == "remove") return Action::Remove;
    throw CoreError("RBAC action \"" + std::string(text) + "\" 非法（仅支持 read / insert / update / remove）");
}

std::optional<Action> row_action_from_str(std::string_view text) {
    if (text == "read") return Action::Read;
    if (text == "update") return Action::Update;
    if (text == "remove") return Action::Remove;
    return std::nullopt;
}

bool allows(const Registry& registry, const Schema& schema, const Context* ctx, Action action) {
    auto actions = decided_actions(registry, ctx, schema.name);
    return !actions || has_action(*actions, action);
}

bool can(const Registry& registry, std::string_view model, const Context* ctx, std::string_view action) {
    const Action a = action == "read" ? Action::Read : write_action_from_str(action);
    return allows(registry, registry.get(model), ctx, a);
}

void ensure_read(const Registry& registry, const Schema& schema, const Context* ctx) {
    if (!allows(registry, schema, ctx, Action::Read)) deny(schema.name, Action::Read);
}

void ensure_write(const Registry& registry, const Schema& schema, const Context* ctx, Action action) {
    if (!allows(registry, schema, ctx, action)) deny(schema.name, action);
}

void ensure_write_on_doc(const Registry& registry, const Schema& schema, const Context* ctx, Action action,
                         const Json& doc) {
    auto actions = decided_actions(registry, ctx, schema.name);
    if (!actions) return;
    if (!has_action(*actions, action)) deny(schema.name, action);
    for (const Grant& g : registry.rbac->grants)
        if (grant_taken(g, *ctx, schema.name, action) && grant_admits(g, *ctx, doc)) return;
    throw CoreError("ERR_PERMISSION:RBAC:角色对 [" + schema.name + "] 的 [" + std::string(action_name(action)) +
                    "] 限于本人/条件内文档");
}

std::optional<Json> grant_row_restriction(const Grant& grant, const Context* ctx) {
    if (!grant.owner_only && !grant.condition) return std::nullopt;
    if (!grant.owner_only) return *grant.condition;
    Json owner = Json::object();
    if (ctx && ctx->has_user()) owner[kCreatedBy] = *ctx->user_id;
    else owner[kImpossible] = true;
    if (!grant.condition) return owner;
    return Json{{"$and", Json::array({std::move(owner), *grant.condition})}};
}

std::optional<Json> row_condition(const Registry& registry, const Schema& schema, const Context* ctx, Action action) {
    if (!decided_actions(registry, ctx, schema.name)) return std::nullopt;
    JsonArray restrictions;
    for (const Grant& g : registry.rbac->grants) {
        if (!grant_taken(g, *ctx, schema.name, action)) continue;
        auto r = grant_row_restriction(g, ctx);
        if (!r) return std::nullopt;  // one unrestricted grant opens every row
        restrictions.push_back(std::move(*r));
    }
    if (restrictions.empty()) return std::nullopt;
    if (restrictions.size() == 1) return std::move(restrictions.front());
    return Json{{"$or", std::move(restrictions)}};
}

std::optional<Json> merge_row_condition(const Registry& registry, const Schema& schema, const Context* ctx,
                                        Action action, std::optional<Json> condition) {
    std::optional<Json> row = row_condition(registry, schema, ctx, action);
    // Only "no condition" is replaced. A malformed (non-object) condition is
    // kept so that it fails where it is used instead of silently widening the
    // query to every row the role may see.
    const bool no_condition =
        !condition || condition->is_null() || (condition->is_object() && condition->empty());
    if (no_condition) return row;
    if (!row) return condition;
    return Json{{"$and", Json::array({std::move(*condition), std::move(*row)})}};
}

std::vector<std::string> probe_condition_fields(const Registry& registry, const Schema& schema, const Context* ctx,
                                                Action action) {
    std::vector<std::string> fields;
    if (!decided_actions(registry, ctx, schema.name)) return fields;
    NameSet seen;
    for (const Grant& g : registry.rbac->grants) {
        if (!g.condition || !grant_taken(g, *ctx, schema.name, action)) continue;
        for (const auto& [key, _] : g.condition->get_ref<const JsonObject&>())
            if (seen.insert(key).second) fields.push_back(key);
    }
    return fields;
}

OptNameSet overlay_readable_fields(const Registry& registry, std::string_view model, const Context* ctx,
                                   OptNameSet static_set) {
    return overlay(registry, model, ctx, std::move(static_set), &ModelDecision::read_fields);
}

OptNameSet overlay_writable_fields(const Registry& registry, std::string_view model, const Context* ctx,
                                   OptNameSet static_set) {
    return overlay(registry, model, ctx, std::move(static_set), &ModelDecision::write_fields);
}

bool is_field_readable_overlay(const Registry& registry, const Schema& schema, const Context* ctx,
                               std::string_view path) {
    if (!permission::is_field_readable(registry.rules, schema, ctx, path)) return false;
    auto d = decision_for(registry, ctx, schema.name);
    if (!d || !d->read_fields) return true;
    return d->read_fields->contains(permission::path_head(path));
}

Json filter_writable_data_overlay(const Registry& registry, const Schema& schema, const Context* ctx, Json data) {
    if (!registry.rbac) return permission::filter_writable_data(registry.rules, schema, ctx, std::move(data));
    OptNameSet writable = overlay_writable_fields(registry, schema.name, ctx,
                                                  permission::get_writable_fields(registry.rules, schema, ctx));
    return permission::filter_by_writable(std::move(data), writable);
}

}  // namespace kelvara::rbac

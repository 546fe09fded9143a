// Static role rules over the allow-lists declared in schemas.
#include "permission/rules.hpp"

#include "error/core_error.hpp"
#include "types/truthy.hpp"

#include <algorithm>

namespace kelvara::permission {

namespace {

constexpr std::string_view kCreator = "creator";

bool contains(const RoleList& list, std::string_view name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

bool exempt(const RoleRules& rules, const Context& ctx) { return has_any(ctx, rules.exempt_roles); }

template <class Map, class Allow>
OptNameSet readable_names(const RoleRules& rules, const Map& items, const Context* ctx, Allow allow_of) {
    if (!ctx) return std::nullopt;
    NameSet out;
    for (const auto& [name, def] : items) {
        const OptRoleList& allow = allow_of(def);
        if (!allow || evaluate(rules, ctx, allow)) out.emplace_hint(out.end(), name);
    }
    return out;
}

}  // namespace

UnconfiguredPolicy unconfigured_policy_from_str_or_err(std::string_view text) {
    if (text == "open") return UnconfiguredPolicy::Open;
    if (text == "closed") return UnconfiguredPolicy::Closed;
    throw CoreError("未知 unconfigured_policy: " + std::string(text) + "（仅 open / closed）");
}

std::string_view path_head(std::string_view path) { return path.substr(0, path.find('.')); }

bool evaluate(const RoleRules& rules, const Context* ctx, const OptRoleList& allow, const Json* doc) {
    if (!ctx || ctx->internal) return true;
    if (exempt(rules, *ctx)) return true;
    if (!allow || allow->empty()) return rules.unconfigured == UnconfiguredPolicy::Open;
    if (has_any(*ctx, *allow)) return true;
    if (contains(*allow, kCreator)) {
        if (!doc) return true;
        const std::string* created_by = json::string_member(*doc, "createdBy");
        return ctx->has_user() && created_by && *created_by == *ctx->user_id;
    }
    return false;
}

bool can_read_schema(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    return evaluate(rules, ctx, schema.read);
}

bool can_write_schema(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    if (ctx && has_any(*ctx, rules.deny_write_roles)) return false;
    // An empty write list forbids writing outright; an empty read list falls
    // back to the unconfigured policy instead.
    if (ctx && !ctx->internal && !exempt(rules, *ctx) && schema.write && schema.write->empty()) return false;
    return evaluate(rules, ctx, schema.write);
}

OptNameSet get_readable_fields(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    return readable_names(rules, schema.fields, ctx, [](const schema::FieldDef& f) -> const OptRoleList& { return f.read; });
}

OptNameSet get_readable_relations(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    return readable_names(rules, schema.relations, ctx, [](const schema::RelationDef& r) -> const OptRoleList& { return r.read; });
}

OptNameSet get_readable_computes(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    if (!ctx) return std::nullopt;
    NameSet out;
    for (const auto& [name, def] : schema.computes)
        if (!def.read || evaluate(rules, ctx, def.read)) out.insert(name);
    return out;
}

OptNameSet get_writable_fields(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    if (!ctx) return std::nullopt;
    const bool model_writable = can_write_schema(rules, schema, ctx);
    NameSet out;
    for (const auto& [name, def] : schema.fields) {
        const bool writable = def.write ? evaluate(rules, ctx, def.write) : model_writable;
        if (writable) out.emplace_hint(out.end(), name);
    }
    return out;
}

bool is_field_readable(const RoleRules& rules, const Schema& schema, const Context* ctx, std::string_view path) {
    const std::string_view head = path_head(path);
    if (!schema.field(head) || !ctx) return true;
    const schema::FieldDef& f = *schema.field(head);
    return !f.read || evaluate(rules, ctx, f.read);
}

bool is_relation_readable(const RoleRules& rules, const Schema& schema, const Context* ctx, std::string_view name) {
    if (!ctx) return true;
    const schema::RelationDef* r = schema.relation(name);
    return r && (!r->read || evaluate(rules, ctx, r->read));
}

Json filter_by_writable(Json data, const OptNameSet& writable) {
    if (!writable || !data.is_object()) return data;
    auto& obj = data.get_ref<JsonObject&>();
    for (auto it = obj.begin(); it != obj.end();) {
        if (it->first == "_id" || writable->contains(path_head(it->first))) ++it;
        else it = obj.erase(it);
    }
    return data;
}

Json filter_writable_data(const RoleRules& rules, const Schema& schema, const Context* ctx, Json data) {
    if (!ctx || !data.is_object()) return data;
    return filter_by_writable(std::move(data), get_writable_fields(rules, schema, ctx));
}

bool should_inject_owner_condition(const RoleRules& rules, const Schema& schema, const Context* ctx) {
    if (!ctx || !ctx->has_user() || ctx->internal || exempt(rules, *ctx)) return false;
    if (!schema.read || !contains(*schema.read, kCreator)) return false;
    for (const std::string& r : *schema.read)
        if (r != kCreator && has_any(*ctx, std::span<const std::string>(&r, 1))) return false;
    return true;
}

std::optional<Json> merge_owner_condition(const RoleRules& rules, const Schema& schema, const Context* ctx,
                                          std::optional<Json> condition) {
    if (!should_inject_owner_condition(rules, schema, ctx)) return condition;
    Json owner = {{"createdBy", *ctx->user_id}};
    if (condition && types::is_truthy(*condition))
        return Json{{"$and", Json::array({std::move(*condition), std::move(owner)})}};
    return owner;
}

}  // namespace kelvara::permission

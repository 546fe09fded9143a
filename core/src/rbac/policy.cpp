// Parsing and validation of the RBAC policy JSON.
//
// from_json checks the policy top-down (mode, roles, the enforce/roles
// consistency, then each grant key by key) and stops at the first problem,
// so a host always sees the earliest mistake of its policy. Offending values
// are quoted as compact JSON text. Nothing is installed here: the caller
// replaces its policy only with a fully parsed result.
#include "rbac/policy.hpp"

#include "error/core_error.hpp"
#include "types/truthy.hpp"

#include <string>

namespace kelvara::rbac {

namespace {

constexpr ActionSet kWriteActions = static_cast<ActionSet>(Action::Insert) | static_cast<ActionSet>(Action::Update) |
                                    static_cast<ActionSet>(Action::Remove);

// The member `key`, treating an explicit null like an absent member.
const Json* present(const Json& obj, std::string_view key) {
    const Json* v = json::member(obj, key);
    return v && !v->is_null() ? v : nullptr;
}

std::string grant_prefix(std::size_t i) { return "RBAC grants[" + std::to_string(i) + "]"; }

Mode parse_mode(const Json& value) {
    const Json* mode = present(value, "mode");
    if (!mode) return Mode::Overlay;
    if (mode->is_string()) {
        const auto& text = mode->get_ref<const std::string&>();
        if (text == "overlay") return Mode::Overlay;
        if (text == "enforce") return Mode::Enforce;
    }
    throw CoreError("RBAC mode " + json::compact(*mode) + " 非法（仅支持 overlay / enforce）");
}

NameSet parse_roles(const Json& value) {
    NameSet roles;
    const Json* given = present(value, "roles");
    if (!given) return roles;
    if (!given->is_object()) throw CoreError("RBAC roles 必须是对象，实际 " + json::compact(*given));
    for (const auto& [name, _] : given->get_ref<const JsonObject&>()) {
        if (name.empty()) throw CoreError("RBAC roles 含空角色名");
        roles.emplace_hint(roles.end(), name);
    }
    return roles;
}

std::string non_empty_string(const Json& grant, std::string_view key, std::size_t i) {
    const std::string* s = json::string_member(grant, key);
    if (!s || s->empty()) throw CoreError(grant_prefix(i) + "." + std::string(key) + " 必须是非空字符串");
    return *s;
}

ActionSet parse_actions(const Json& grant, std::size_t i) {
    const Json* actions = json::member(grant, "actions");
    if (!actions || !actions->is_array()) throw CoreError(grant_prefix(i) + ".actions 必须是非空数组");
    if (actions->empty()) throw CoreError(grant_prefix(i) + ".actions 不能为空（不授权请移除该 grant）");
    ActionSet set = 0;
    for (const Json& a : *actions) {
        if (!a.is_string()) throw CoreError(grant_prefix(i) + ".actions 含非字符串项 " + json::compact(a));
        const auto& text = a.get_ref<const std::string&>();
        if (text == "read") set |= static_cast<ActionSet>(Action::Read);
        else if (text == "insert") set |= static_cast<ActionSet>(Action::Insert);
        else if (text == "update") set |= static_cast<ActionSet>(Action::Update);
        else if (text == "remove") set |= static_cast<ActionSet>(Action::Remove);
        else if (text == "write") set |= kWriteActions;
        else
            throw CoreError(grant_prefix(i) + ".actions 含非法值 \"" + text +
                            "\"（仅支持 read/insert/update/remove/write）");
    }
    return set;
}

OptNameSet parse_field_list(const Json& grant, std::string_view key, std::size_t i) {
    const Json* list = present(grant, key);
    if (!list) return std::nullopt;
    const std::string where = grant_prefix(i) + "." + std::string(key);
    if (!list->is_array()) throw CoreError(where + " 必须是字符串数组，实际 " + json::compact(*list));
    if (list->empty()) throw CoreError(where + " 不能为空数组（全禁请移除该 grant）");
    NameSet names;
    for (const Json& f : *list) {
        if (!f.is_string() || f.get_ref<const std::string&>().empty())
            throw CoreError(where + " 含非法项 " + json::compact(f) + "（须非空字符串）");
        names.insert(f.get<std::string>());
    }
    return names;
}

std::optional<Json> parse_condition(const Json& grant, std::size_t i) {
    const Json* cond = present(grant, "condition");
    if (!cond) return std::nullopt;
    if (!cond->is_object())
        throw CoreError(grant_prefix(i) + ".condition 必须是对象（等值条件），实际 " + json::compact(*cond));
    for (const auto& [key, value] : cond->get_ref<const JsonObject&>()) {
        if (key.empty() || key.starts_with('$'))
            throw CoreError(grant_prefix(i) + ".condition 键 \"" + key +
                            "\" 非法（第一批仅支持等值字段条件，键不得以 $ 开头）");
        if (value.is_array() || value.is_object())
            throw CoreError(grant_prefix(i) + ".condition[\"" + key + "\"] 必须是标量（string/number/bool/null），实际 " +
                            json::compact(value));
    }
    return *cond;
}

Grant parse_grant(const Json& value, std::size_t i) {
    if (!value.is_object()) throw CoreError(grant_prefix(i) + " 必须是对象");
    Grant g;
    g.role = non_empty_string(value, "role", i);
    g.model = non_empty_string(value, "model", i);
    g.actions = parse_actions(value, i);
    g.read_fields = parse_field_list(value, "readFields", i);
    g.write_fields = parse_field_list(value, "writeFields", i);
    const Json* owner_only = json::member(value, "ownerOnly");
    g.owner_only = owner_only && types::is_truthy(*owner_only);
    g.condition = parse_condition(value, i);
    return g;
}

std::vector<Grant> parse_grants(const Json& value) {
    std::vector<Grant> grants;
    const Json* given = present(value, "grants");
    if (!given) return grants;
    if (!given->is_array()) throw CoreError("RBAC grants 必须是数组，实际 " + json::compact(*given));
    grants.reserve(given->size());
    for (std::size_t i = 0; i < given->size(); ++i) grants.push_back(parse_grant((*given)[i], i));
    return grants;
}

}  // namespace

std::string_view action_name(Action a) {
    switch (a) {
        case Action::Read: return "read";
        case Action::Insert: return "insert";
        case Action::Update: return "update";
        case Action::Remove: return "remove";
    }
    internal_error("unknown RBAC action");
}

RbacPolicy RbacPolicy::from_json(const Json& value) {
    if (!value.is_object()) throw CoreError("RBAC 策略必须是对象");
    RbacPolicy p;
    p.mode = parse_mode(value);
    p.roles = parse_roles(value);
    // An enforce policy without managed roles would govern nobody: a
    // configuration mistake, not a policy.
    if (p.mode == Mode::Enforce && p.roles.empty())
        throw CoreError("RBAC mode=enforce 时 roles 不能为空（无受管角色 = 策略空转，属配置错误）");
    p.grants = parse_grants(value);
    return p;
}

}  // namespace kelvara::rbac

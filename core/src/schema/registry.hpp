// The schema registry: the registered models, their registration order and
// every configuration switch of a Registry object.
//
// Registration parses a definition, passes the meta-policy gate, keeps the
// physical location of every model unique, and derives an archive model
// ("{Name}Deleted") into which removals copy documents. Every other module
// looks models up here, by name or, for SQL translation, by location.
#pragma once

#include "json/json.hpp"
#include "permission/context.hpp"
#include "permission/role_rules.hpp"
#include "rbac/policy.hpp"
#include "schema/definition.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::schema {

enum class Profile { Standard, Text2Query };

// "standard" or "text2query", case-sensitive; nullopt otherwise.
std::optional<Profile> profile_from_str(std::string_view text);
std::string_view profile_name(Profile p);

struct MetaPolicy {
    bool closed = false;
    std::vector<std::string> roles;
};

namespace registry {

class Registry {
public:
    // Switches, read at the time of each decision.
    permission::RoleRules rules;
    MetaPolicy meta;
    std::optional<rbac::RbacPolicy> rbac;
    bool require_context = false;
    Profile profile = Profile::Standard;

    bool text2query() const { return profile == Profile::Text2Query; }

    void register_defn(const Json& defn) { register_with_ctx(defn, nullptr); }
    // Registers the model and its archive. A failure before the model is
    // stored changes nothing; a failure of the archive leaves the model.
    void register_with_ctx(const Json& defn, const permission::Context* ctx);
    bool can_register(const permission::Context* ctx) const;

    // Throws "Schema 未注册: {name}".
    const Schema& get(std::string_view name) const;
    const Schema* find(std::string_view name) const;
    bool has(std::string_view name) const { return find(name) != nullptr; }
    const std::vector<std::string>& list() const { return names_; }
    void clear();

    const Schema& get_by_location(std::string_view source, std::optional<std::string_view> ns,
                                  std::string_view collection) const;
    const Schema& get_for_command(std::string_view source, std::optional<std::string_view> ns,
                                  std::string_view collection) const;

    // The model's datasource name, absent when it declares none.
    std::optional<std::string> schema_datasource(std::string_view name) const;

private:
    std::map<std::string, Schema, std::less<>> schemas_;
    std::vector<std::string> names_;
};

}  // namespace registry

using registry::Registry;

}  // namespace kelvara::schema

// The caller's permission context and its effective roles.
//
// A context is parsed once per call from the host's ctx JSON. "No context"
// (a null pointer wherever a `const Context*` is taken) is a case of its own:
// the static rules and RBAC then do not apply at all.
#pragma once

#include "json/json.hpp"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelvara::permission {

struct Context {
    std::optional<std::string> user_id;
    std::optional<std::vector<std::string>> roles;
    std::optional<std::string> role;
    bool internal = false;

    // The role list when present and non-empty, else the single role, else
    // "". Computed once when the context is built.
    std::span<const std::string> effective() const { return effective_; }
    // True when the user id is present and not empty.
    bool has_user() const { return user_id && !user_id->empty(); }

    void finish();  // computes the effective roles; call after setting members

private:
    std::vector<std::string> effective_;
};

// A JSON object becomes a context; any other value is no context.
std::optional<Context> context_from_value(const Json& value);

// The system's own context: {"internal": true}.
Context internal_context();

std::vector<std::string> effective(const Context& ctx);

// Some effective role equals some entry of `roles`.
bool has_any(const Context& ctx, std::span<const std::string> roles);

}  // namespace kelvara::permission

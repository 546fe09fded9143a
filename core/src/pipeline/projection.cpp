// Projection building. The walk over the root fields keeps three things:
// the plain and dotted names taken (Q), the plain names taken (Z) and the
// heads of dotted paths (D); an object field selected whole removes its
// sub-paths from Q whichever came first, and a function-compute dependency
// on a field already selected through a sub-path is skipped. A dependency
// that is itself a sub-path of a member taken whole is dropped at the end,
// so a field and its sub-path never meet in one projection.
#include "pipeline/projection.hpp"

#include "permission/rules.hpp"
#include "pipeline/white_space.hpp"
#include "rbac/decide.hpp"

#include <string>

namespace kelvara::pipeline::projection {

namespace {

const Json kOne = Json(std::uint64_t{1});

bool has_prefix_path(std::string_view key, std::string_view head) {
    return key.size() > head.size() && key.starts_with(head) && key[head.size()] == '.';
}

}  // namespace

OptNameSet readable_fields(const Registry& registry, const Schema& schema, const Context* ctx) {
    if (!ctx) return std::nullopt;
    return rbac::overlay_readable_fields(registry, schema.name, ctx,
                                         permission::get_readable_fields(registry.rules, schema, ctx));
}

void drop_covered_paths(JsonObject& projection) {
    std::erase_if(projection, [&](const auto& kv) {
        const std::string_view key = kv.first;
        for (std::size_t dot = key.find('.'); dot != std::string_view::npos; dot = key.find('.', dot + 1))
            if (projection.contains(key.substr(0, dot))) return true;
        return false;
    });
}

bool path_under_unreadable_field(const Schema& schema, const NameSet& readable, std::string_view path) {
    const std::size_t dot = path.find('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view head = path.substr(0, dot);
    return schema.field(head) && !readable.contains(head);
}

std::optional<Json> build_projection(const ast::Ast& ast, const Schema& schema, const Context* ctx,
                                     const Registry& registry) {
    if (ast.fields.empty()) return std::nullopt;

    JsonObject q;
    NameSet z;
    NameSet d;
    bool taken = false;
    for (const std::string& name : ast.fields) {
        if (schema.compute(name)) continue;
        const std::size_t dot = name.find('.');
        if (dot != std::string::npos) {
            const std::string_view head = std::string_view(name).substr(0, dot);
            if (!schema.field(head)) continue;
            d.emplace(head);
            if (!z.contains(head)) q.emplace(name, kOne);
            taken = true;
        } else if (schema.field(name)) {
            q.emplace(name, kOne);
            z.emplace(name);
            taken = true;
        }
    }
    if (!taken) return std::nullopt;

    for (const std::string& whole : z)
        std::erase_if(q, [&](const auto& kv) { return has_prefix_path(kv.first, whole); });

    Json out = Json::object();
    auto& p = out.get_ref<JsonObject&>();
    p.emplace("_id", kOne);
    p.merge(q);

    for (const auto& [_, compute] : schema.computes) {
        if (!compute.fn && !compute.async_fn) continue;
        for (const std::string& dep : compute.depends) {
            if (d.contains(dep)) continue;
            const std::size_t brace = dep.find('{');
            if (brace == std::string::npos) {
                p.emplace(dep, kOne);
                continue;
            }
            // A relation dependency such as "author { name }" needs the
            // relation's member.
            const std::string_view head = text::trim_white_space(std::string_view(dep).substr(0, brace));
            if (!head.empty()) p.emplace(std::string(head), kOne);
        }
    }

    for (const std::string& name : ast.fields) {
        const schema::ComputeDef* c = schema.compute(name);
        if (c && c->agg && !c->fn && !c->async_fn) p.insert_or_assign(name, kOne);
    }

    for (const ast::RelSel& sel : ast.relations) p.emplace(sel.name, kOne);

    // Dependencies may name a sub-path of a member taken whole.
    drop_covered_paths(p);

    if (ctx) {
        if (const OptNameSet readable = readable_fields(registry, schema, ctx)) {
            std::erase_if(p, [&](const auto& kv) {
                const std::string& key = kv.first;
                if (key == "_id") return false;
                if (schema.field(key)) return !readable->contains(key);
                return path_under_unreadable_field(schema, *readable, key);
            });
        }
    }
    return out;
}

std::optional<Json> build_pipeline_projection(const ast::Ast& ast, const Schema& schema) {
    Json out = Json::object();
    auto& p = out.get_ref<JsonObject&>();
    p.emplace("_id", kOne);
    bool added = false;
    for (const std::string& name : ast.fields) {
        if (name == "_id" || !schema.field(name)) continue;
        p.emplace(name, kOne);
        added = true;
    }
    if (!added) return std::nullopt;
    return out;
}

}  // namespace kelvara::pipeline::projection

// Dependency injection and stripping.
//
// Only first-level relations are injected (a dependency's nested selections
// and arguments are ignored), which is also all that stripping ever has to
// undo. Dependency lists are short, so membership tests are linear scans
// that keep first-mention order without a side index.
#include "computes/inject.hpp"

#include "pipeline/parse.hpp"
#include "pipeline/white_space.hpp"
#include "types/names.hpp"

#include <algorithm>
#include <map>

namespace kelvara::computes::inject {

namespace {

constexpr std::string_view kAll = "__all__";

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

Json string_array(const std::vector<std::string>& names) {
    Json out = Json::array();
    for (const std::string& n : names) out.push_back(n);
    return out;
}

std::vector<std::string> strings_of(const Json& array) {
    std::vector<std::string> out;
    for (const Json& e : array)
        if (e.is_string()) out.push_back(e.get<std::string>());
    return out;
}

// Calls visit(trimmed dependency) for every dependency of every asynchronous
// compute, in declaration order, skipping "" and "_id".
template <class Visit>
void for_each_async_dep(const schema::Schema& schema, Visit visit) {
    for (const auto& [name, def] : schema.computes) {
        if (!def.async_fn) continue;
        for (const std::string& raw : def.depends) {
            // The same white space as GQL text, so a dependency reads the
            // same here as in the projection and the parser.
            const std::string_view dep = pipeline::text::trim_white_space(raw);
            if (dep.empty() || dep == "_id") continue;
            visit(dep);
        }
    }
}

void erase_members(Json& obj, const std::vector<std::string>& names) {
    auto& members = obj.get_ref<JsonObject&>();
    for (const std::string& n : names) members.erase(n);
}

std::string_view head(std::string_view path) { return path.substr(0, path.find('.')); }

// The caller's own root selection as stripping needs it: whole names, and
// the sub-paths selected under each object field.
struct Selection {
    explicit Selection(std::span<const std::string> fields) {
        for (const std::string& f : fields) {
            const auto dot = f.find('.');
            if (dot == std::string::npos) whole.insert(f);
            else parts[f.substr(0, dot)].insert(f.substr(dot + 1));
        }
    }
    NameSet whole;
    std::map<std::string, NameSet, std::less<>> parts;

    const NameSet* parts_of(std::string_view h) const {
        auto it = parts.find(h);
        return it == parts.end() ? nullptr : &it->second;
    }
};

void strip_root_field(JsonObject& members, const std::string& f, const Selection& sel) {
    const std::string_view h = head(f);
    if (sel.whole.contains(h)) return;
    const NameSet* kept = sel.parts_of(h);
    auto it = members.find(h);
    if (h.size() == f.size()) {
        if (it == members.end()) return;
        if (!kept) {
            members.erase(it);
        } else if (it->second.is_object()) {
            auto& sub = it->second.get_ref<JsonObject&>();
            std::erase_if(sub, [&](const auto& m) { return !kept->contains(m.first); });
        }
        return;
    }
    members.erase(f);  // a member literally named with the dot
    if (it == members.end() || !it->second.is_object()) return;
    auto& sub = it->second.get_ref<JsonObject&>();
    const std::string_view rest = std::string_view(f).substr(h.size() + 1);
    if (kept && kept->contains(rest)) return;
    if (auto m = sub.find(rest); m != sub.end()) {
        sub.erase(m);
        if (sub.empty() && !kept) members.erase(it);
    }
}

}  // namespace

Json RelDep::to_value() const { return Json{{"fields", string_array(fields)}, {"name", name}}; }

Json InjectInfo::to_value() const {
    Json inner = Json::object();
    if (!relations.empty()) {
        Json rels = Json::object();
        for (const auto& [name, added] : relations)
            rels[name] = added.all ? Json(kAll) : string_array(added.fields);
        inner["relations"] = std::move(rels);
    }
    if (!fields.empty()) inner["fields"] = string_array(fields);
    return Json{{"inject", std::move(inner)}};
}

InjectInfo InjectInfo::from_value(const Json& value) {
    const Json* wrapped = json::member(value, "inject");
    const Json& x = wrapped ? *wrapped : value;
    InjectInfo info;
    if (const Json* rels = json::member(x, "relations"); rels && rels->is_object()) {
        for (const auto& [name, added] : rels->get_ref<const JsonObject&>()) {
            if (added.is_array()) info.relations.emplace_back(name, Injected{false, strings_of(added)});
            else if (added.is_string() && added.get_ref<const std::string&>() == kAll)
                info.relations.emplace_back(name, Injected{true, {}});
        }
    }
    if (const Json* fields = json::member(x, "fields"); fields && fields->is_array()) info.fields = strings_of(*fields);
    return info;
}

RelDep& dep_slot(std::vector<RelDep>& deps, std::string_view name) {
    for (RelDep& d : deps)
        if (d.name == name) return d;
    return deps.emplace_back(RelDep{std::string(name), {}});
}

std::vector<RelDep> collect_rel_deps(const schema::Schema& schema) {
    std::vector<RelDep> deps;
    for_each_async_dep(schema, [&](std::string_view dep) {
        if (dep.find('{') != std::string_view::npos) {
            const pipeline::ast::Ast sel = pipeline::parse::parse_gql(dep);
            if (!schema.relation(sel.model)) return;
            RelDep& slot = dep_slot(deps, sel.model);
            for (const std::string& f : sel.fields)
                if (f != "_id" && !contains(slot.fields, f)) slot.fields.push_back(f);
        } else if (schema.relation(dep)) {
            dep_slot(deps, dep);
        }
    });
    return deps;
}

InjectInfo inject_into_ast(std::vector<pipeline::ast::RelSel>& selections, const std::vector<RelDep>& deps) {
    InjectInfo info;
    for (const RelDep& d : deps) {
        auto sel = std::find_if(selections.begin(), selections.end(),
                                [&](const pipeline::ast::RelSel& s) { return s.name == d.name; });
        if (sel == selections.end()) {
            selections.push_back({d.name, pipeline::ast::RelAst{{}, d.fields, {}}});
            info.relations.emplace_back(d.name, Injected{true, {}});
            continue;
        }
        std::vector<std::string> added;
        for (const std::string& f : d.fields) {
            if (contains(sel->ast.fields, f)) continue;
            sel->ast.fields.push_back(f);
            added.push_back(f);
        }
        if (!added.empty()) info.relations.emplace_back(d.name, Injected{false, std::move(added)});
    }
    return info;
}

InjectInfo merge_depends_into_ast(std::vector<pipeline::ast::RelSel>& selections, const schema::Schema& schema) {
    const std::vector<RelDep> deps = collect_rel_deps(schema);
    if (deps.empty()) return {};
    return inject_into_ast(selections, deps);
}

std::vector<std::string> collect_field_deps(std::vector<std::string>& fields, const schema::Schema& schema) {
    std::vector<std::string> added;
    for_each_async_dep(schema, [&](std::string_view dep) {
        if (dep.find('{') != std::string_view::npos || schema.relation(dep)) return;
        if (contains(fields, dep) || contains(fields, head(dep))) return;
        fields.emplace_back(dep);
        added.emplace_back(dep);
    });
    return added;
}

void strip_dep_injected(const InjectInfo& info, JsonArray& items, std::span<const std::string> selected) {
    if (info.empty()) return;
    const Selection sel(selected);
    for (Json& item : items) {
        if (!item.is_object()) continue;
        auto& members = item.get_ref<JsonObject&>();
        for (const std::string& f : info.fields) strip_root_field(members, f, sel);
        for (const auto& [name, added] : info.relations) {
            auto it = members.find(name);
            if (it == members.end()) continue;
            if (added.all) {
                members.erase(it);
            } else if (it->second.is_object()) {
                erase_members(it->second, added.fields);
            } else if (it->second.is_array()) {
                for (Json& e : it->second)
                    if (e.is_object()) erase_members(e, added.fields);
            }
        }
    }
}

}  // namespace kelvara::computes::inject

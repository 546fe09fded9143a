// Dependency injection for asynchronous computed fields.
//
// The host computes an asynchronous field from the fetched document, so what
// the computation reads must be fetched even when the caller did not select
// it. Before a query is built, the missing fields and relation selections are
// added to the AST and what was added is recorded (InjectInfo); the record
// travels with the plan ("postprocess"."inject"), and after the host has
// computed the values strip_dep_injected removes exactly what was added.
//
// Dependency strings: "" and "_id" are ignored; text holding "{" is a GQL
// selection "relation { field, ... }"; a relation's bare name needs the
// relation as such; anything else is a root field.
#pragma once

#include "json/json.hpp"
#include "pipeline/ast.hpp"
#include "schema/definition.hpp"

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvara::computes::inject {

// One relation needed by the asynchronous computes, merged over all of them.
struct RelDep {
    std::string name;                  // a declared relation
    std::vector<std::string> fields;   // needed fields, no duplicates, no "_id", first-mention order
    // {"fields": [...], "name": "..."}
    Json to_value() const;
};

// What was added for one relation: the whole selection, or fields of an
// existing selection.
struct Injected {
    bool all = false;
    std::vector<std::string> fields;
};

struct InjectInfo {
    std::vector<std::pair<std::string, Injected>> relations;  // in RelDep order
    std::vector<std::string> fields;   // root fields appended to the AST

    bool empty() const { return relations.empty() && fields.empty(); }
    // {"inject": {"fields": [...], "relations": {name: "__all__" | [...]}}},
    // each inner member only when not empty.
    Json to_value() const;
    // Accepts the wrapped and the bare form; members of other kinds are
    // skipped. Never fails.
    static InjectInfo from_value(const Json& value);
};

// The relation dependencies of the schema's asynchronous computes, in
// declaration order. Throws the parser's error for a malformed "{...}"
// dependency; a selection naming no declared relation is ignored.
std::vector<RelDep> collect_rel_deps(const schema::Schema& schema);

// The entry named `name`, appended without fields when not yet present.
RelDep& dep_slot(std::vector<RelDep>& deps, std::string_view name);

// Adds the dependencies to the AST's relation selections; returns the
// relation part of the record.
InjectInfo inject_into_ast(std::vector<pipeline::ast::RelSel>& selections, const std::vector<RelDep>& deps);

// collect_rel_deps followed by inject_into_ast; an empty record and an
// untouched AST when there is nothing to inject.
InjectInfo merge_depends_into_ast(std::vector<pipeline::ast::RelSel>& selections, const schema::Schema& schema);

// Appends the root-field dependencies missing from `fields`; returns the
// added names in order. A dotted dependency ("profile.lang") whose head is
// already selected whole is not missing: the whole object is fetched anyway.
std::vector<std::string> collect_field_deps(std::vector<std::string>& fields, const schema::Schema& schema);

// Removes what the record says was added: root members of every object item
// and members of first-level related documents. A dotted root field is
// removed from its object, and the object with it when nothing else is left.
// `selected`, when known, holds the caller's own root selection; what it
// names is never removed, so an injected object field that the caller
// selected only in part ("profile.lang") is cut back to those parts.
void strip_dep_injected(const InjectInfo& info, JsonArray& items, std::span<const std::string> selected = {});

}  // namespace kelvara::computes::inject

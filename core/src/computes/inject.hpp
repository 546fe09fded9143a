// Dependency injection for asynchronous computed fields.
//
// Before a query is built, the fields and relation selections that the
// host's asynchronous computations read are added to the AST, and what was
// added is recorded (InjectInfo); after the host computed the values,
// strip_dep_injected removes exactly what was added.
#pragma once

#include "json/json.hpp"
#include "pipeline/ast.hpp"
#include "schema/definition.hpp"

#include <string>
#include <utility>
#include <vector>

namespace kelvara::computes::inject {

struct RelDep {
    std::string name;                  // a declared relation
    std::vector<std::string> fields;   // needed fields, no duplicates, no "_id"
    Json to_value() const;
};

// What was added for one relation: the whole selection, or fields of an
// existing selection.
struct Injected {
    bool all = false;
    std::vector<std::string> fields;
};

struct InjectInfo {
    std::vector<std::pair<std::string, Injected>> relations;
    std::vector<std::string> fields;   // root fields appended to the AST

    bool empty() const { return relations.empty() && fields.empty(); }
    // {"inject": {"fields": [...], "relations": {...}}}
    Json to_value() const;
    // Accepts the wrapped and the bare form; never fails.
    static InjectInfo from_value(const Json& value);
};

// Throws the parser's error for a malformed "{...}" dependency.
std::vector<RelDep> collect_rel_deps(const schema::Schema& schema);
InjectInfo merge_depends_into_ast(std::vector<pipeline::ast::RelSel>& selections, const schema::Schema& schema);
// Appends missing field dependencies to `fields`; returns the added names.
std::vector<std::string> collect_field_deps(std::vector<std::string>& fields, const schema::Schema& schema);
void strip_dep_injected(const InjectInfo& info, JsonArray& items);

}  // namespace kelvara::computes::inject

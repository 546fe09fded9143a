// The GQL query AST and its JSON form.
//
// The parser fills it without consulting any schema; the builders decide
// what each selected name is. Planning clones and edits it (injected
// arguments and dependency selections) before building.
#pragma once

#include "json/json.hpp"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::pipeline::ast {

// Argument key (leading "$" removed) -> the argument's token text, e.g. "@c".
using Params = std::map<std::string, std::string, std::less<>>;

struct RelSel;

// The argument text of `key`, or null when the argument is absent.
inline const std::string* find_param(const Params& params, std::string_view key) {
    auto it = params.find(key);
    return it == params.end() ? nullptr : &it->second;
}

// One nested selection; its name is held by the parent's RelSel.
struct RelAst {
    Params params;
    std::vector<std::string> fields;   // selection order, duplicates kept
    std::vector<RelSel> relations;     // selection order, duplicates kept

    Json to_value() const;
    // Throws "RelAst 必须是对象" for a non-object.
    static RelAst from_value(const Json& value);

    const std::string* param(std::string_view key) const { return find_param(params, key); }
};

struct RelSel {
    std::string name;
    RelAst ast;
};

struct Ast {
    std::string model;
    Params params;
    std::vector<std::string> fields;
    std::vector<RelSel> relations;

    Json to_value() const;
    // Throws "Ast 必须是对象" for a non-object.
    static Ast from_value(const Json& value);

    const std::string* param(std::string_view key) const { return find_param(params, key); }
};

}  // namespace kelvara::pipeline::ast

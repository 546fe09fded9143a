// The parsed model: Schema with its FieldDef, RelationDef and ComputeDef records.
//
// A host registers a model as a JSON definition; parsing (build_schema) turns
// it into these records, and every other module reads models only through
// them. Parsing is lenient: absent, null or mistyped keys take their defaults;
// only the few checks listed with build_schema reject a definition.
#pragma once

#include "json/json.hpp"
#include "types/names.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvara {

namespace schema {

struct FieldDef {
    std::string type;                  // free text; "" when not given
    bool required = false;
    std::optional<Json> default_value; // never holds null
    OptRoleList read;
    OptRoleList write;
    std::optional<Json> fields;        // nested field description, unparsed
    std::optional<std::string> strategy;
};

struct RelationDef {
    std::string model;                 // target model name
    std::string rel_type = "many";     // cardinality: "one", "many", ...
    std::string local_field = "_id";
    std::string foreign_field;         // defaults to the relation's name
    OptRoleList read;
};

struct ComputeDef {
    std::string type = "any";
    bool fn = false;                   // value from a host callback
    bool async_fn = false;             // value computed by the host itself
    std::optional<std::string> fn_ref;
    std::vector<std::string> depends;
    std::optional<Json> agg;           // validated relation aggregate
    OptRoleList read;
};

using FieldMap = std::map<std::string, FieldDef, std::less<>>;
using RelationMap = std::map<std::string, RelationDef, std::less<>>;

struct Schema {
    std::string name;
    std::string collection;
    std::string id_prefix;
    FieldMap fields;
    RelationMap relations;
    std::vector<std::pair<std::string, ComputeDef>> computes;  // ascending name order
    OptRoleList read;
    OptRoleList write;
    std::vector<Json> indexes;
    std::optional<std::string> datasource;
    std::optional<std::string> namespace_;  // never an empty string
    bool timestamps = true;

    bool id_is_autoincrement() const;
    const FieldDef* field(std::string_view name) const;
    const RelationDef* relation(std::string_view name) const;
    const ComputeDef* compute(std::string_view name) const;
    // The data source name, "default" when none is declared.
    std::string_view source() const;
};

namespace definition {

// The "fields" part of a definition: field name -> FieldDef. Not an object
// gives an empty map. Fails on a spec that is neither string nor object, and
// on an unknown "strategy".
FieldMap normalize_fields(const Json& fields);

}  // namespace definition

namespace registry {

// Parses a definition whose name and collection the registry has settled.
// Throws CoreError with the first problem in key-processing order.
Schema build_schema(const Json& defn, std::string name, std::string collection);

}  // namespace registry
}  // namespace schema
}  // namespace kelvara

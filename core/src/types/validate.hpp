// Validation of host-supplied conditions, sorts and pipelines.
//
// These checks guard against query shapes that would run code on the
// database server, write from a read, silently match everything, or mean
// different things on the document database and the SQL backends. Each
// throws CoreError with the first problem found.
#pragma once

#include "json/json.hpp"
#include "schema/definition.hpp"

#include <string_view>

namespace kelvara::types {

// The declared type of the field named by the path's part before its first
// dot; null when that field is not declared.
const std::string* root_field_type(const schema::Schema& schema, std::string_view path);

// Empty logical groups and server-side-code operators, at any depth.
void validate_condition(const Json& condition);

// Array/object field paths refused in conditions (top level and logical groups).
void validate_condition_shape(const schema::Schema& schema, const Json& condition, bool text2query);

// Object dotted paths refused as sort keys in text2query.
void validate_sort_shape(const schema::Schema& schema, const Json& sort, bool text2query);

// Write stages ("$out", "$merge") and validate_condition over every stage.
void validate_pipeline_stages(const JsonArray& stages);

// Whether a condition names a relation of the schema (a relation predicate)
// at its top level, inside "$and"/"$or"/"$nor" elements or inside "$not".
bool has_relation_predicate(const schema::Schema& schema, const Json& condition);

}  // namespace kelvara::types

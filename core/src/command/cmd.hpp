// Commands: one document-database operation on one collection of one data
// source, as plain JSON. Every planner answers with commands built here and
// wrapped in its own envelope; the SQL translator reads them back.
//
// A command carries "kind", "collection", "source" (the schema's data
// source, "default" when none) and "namespace" (null when none), plus the
// members of its kind. Constructors copy what they are given and never
// fail. A trusted caller may redirect every command of a finished plan to
// another source or namespace (apply_route_override).
#pragma once

#include "json/json.hpp"
#include "schema/definition.hpp"

#include <optional>
#include <string_view>

namespace kelvara::command::cmd {

using schema::Schema;

// Command kinds.
inline constexpr std::string_view kFind = "find";
inline constexpr std::string_view kFindOne = "findOne";
inline constexpr std::string_view kAggregate = "aggregate";
inline constexpr std::string_view kCountDocuments = "countDocuments";
inline constexpr std::string_view kInsertOne = "insertOne";
inline constexpr std::string_view kInsertMany = "insertMany";
inline constexpr std::string_view kUpdateMany = "updateMany";
inline constexpr std::string_view kDeleteMany = "deleteMany";
inline constexpr std::string_view kFindOneAndUpdate = "findOneAndUpdate";

// Placeholders the host substitutes before running a command.
inline constexpr std::string_view kPhase1Ids = "{{phase1.ids}}";
inline constexpr std::string_view kRelPredIds = "__REL_PRED_IDS__";

// Marker parameters planners inject into a query's params.
inline constexpr std::string_view kOwnerParam = "__core_owner__";
inline constexpr std::string_view kOneLimitParam = "__core_one_limit__";
inline constexpr std::string_view kPageSkipParam = "__core_page_skip__";
inline constexpr std::string_view kPageLimitParam = "__core_page_limit__";

// A projection of null means "whole documents".
Json cmd_find(const Schema& schema, Json filter, std::optional<Json> projection);
Json cmd_find_one(const Schema& schema, Json filter, std::optional<Json> projection);
Json cmd_aggregate(const Schema& schema, Json stages);
Json cmd_count_documents(const Schema& schema, Json filter);
Json cmd_insert_one(const Schema& schema, Json doc);
Json cmd_insert_many(const Schema& schema, Json docs);
Json cmd_update_many(const Schema& schema, Json filter, Json update);
Json cmd_delete_many(const Schema& schema, Json filter);
Json cmd_find_one_and_update(const Schema& schema, Json filter, Json update, Json options);

// Sets "source" and "namespace" of `command` from the schema.
void with_loc(Json& command, const Schema& schema);

// Rewrites, in place, the location of every command inside `plan` (every
// object holding both "kind" and "collection", at any depth): "source"
// when the override has a non-empty string "source", "namespace" (any
// value, null included) when it has a "namespace" member. An override that
// is not a non-empty object changes nothing.
void apply_route_override(Json& plan, const Json& route_override);

// JSON -> number for page arithmetic: absent 0; booleans 1/0; numbers
// truncated toward zero (NaN 0); strings trimmed, then a decimal integer
// (sign and digits only; overflow or a lone sign 0) or else a floating
// point number, not truncated (NaN or unparsable 0); anything else 0.
double to_number(const Json* value);

}  // namespace kelvara::command::cmd

// Names that are part of the pipeline format: stage operators, the keys of a
// lookup, the let variables and the names of aggregate arrays. The SQL
// translator reads the same names back, so they are written once, here.
#pragma once

#include <string_view>

namespace kelvara::pipeline::format {

// Stage operators.
inline constexpr std::string_view kMatch = "$match";
inline constexpr std::string_view kLookup = "$lookup";
inline constexpr std::string_view kUnwind = "$unwind";
inline constexpr std::string_view kSort = "$sort";
inline constexpr std::string_view kSkip = "$skip";
inline constexpr std::string_view kLimit = "$limit";
inline constexpr std::string_view kProject = "$project";
inline constexpr std::string_view kAddFields = "$addFields";

// Members of a "$lookup" and an "$unwind" argument.
inline constexpr std::string_view kAs = "as";
inline constexpr std::string_view kFrom = "from";
inline constexpr std::string_view kLet = "let";
inline constexpr std::string_view kPipeline = "pipeline";
inline constexpr std::string_view kPath = "path";
inline constexpr std::string_view kPreserveEmpty = "preserveNullAndEmptyArrays";

// Generated names: "rel_{localField}" (relation lookups), "aggv"
// (aggregate lookups) and "_{compute}" (the aggregate's joined array).
inline constexpr std::string_view kRelLetPrefix = "rel_";
inline constexpr std::string_view kAggLetVar = "aggv";
inline constexpr std::string_view kAggArrayPrefix = "_";

// Root argument keys the builders read.
inline constexpr std::string_view kArgCondition = "condition";
inline constexpr std::string_view kArgGroup = "group";
inline constexpr std::string_view kArgHaving = "having";
inline constexpr std::string_view kArgSort = "sort";
inline constexpr std::string_view kArgSkip = "skip";
inline constexpr std::string_view kArgLimit = "limit";
inline constexpr std::string_view kArgPipeline = "pipeline";

// The relation type of a to-one relation; every other type is to-many.
inline constexpr std::string_view kRelOne = "one";

}  // namespace kelvara::pipeline::format

// Parameter references, ordering stages and the text2query limit rules.
//
// The profile caps every root query at 1000 rows. A negative root limit is
// refused rather than passed on: SQLite reads a negative LIMIT as "no
// limit", so it would lift the cap. A NaN limit has no truncation; it is
// treated as no usable limit and gets the cap.
#include "pipeline/util.hpp"

#include "error/core_error.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace kelvara::pipeline::util {

namespace {

// trunc(min(limit, cap)) as an integer, for a numeric limit.
Json capped_integer(const Json& limit) {
    if (limit.is_number_unsigned()) return Json(std::min<std::uint64_t>(limit.get<std::uint64_t>(), kT2qMaxLimit));
    if (limit.is_number_integer()) {
        const std::int64_t v = limit.get<std::int64_t>();
        return json::integer(std::min<std::int64_t>(v, static_cast<std::int64_t>(kT2qMaxLimit)));
    }
    const double d = limit.get<double>();
    if (std::isnan(d)) return Json(kT2qMaxLimit);
    const double t = std::trunc(std::min(d, static_cast<double>(kT2qMaxLimit)));
    // Saturate instead of overflowing for huge negative values.
    if (t <= static_cast<double>(std::numeric_limits<std::int64_t>::min()))
        return Json(std::numeric_limits<std::int64_t>::min());
    return json::integer(static_cast<long long>(t));
}

}  // namespace

std::string_view param_key(std::string_view value) {
    if (value.empty() || static_cast<unsigned char>(value[0]) >= 0x80) return {};
    return value.substr(1);
}

const Json* param(const Json& params, const std::string* value) {
    if (!value || value->empty() || !params.is_object()) return nullptr;
    return json::member(params, param_key(*value));
}

const Json* set_param(const Json& params, const std::string* value) {
    const Json* v = param(params, value);
    return v && !v->is_null() ? v : nullptr;
}

Json stage(std::string_view op, Json value) {
    Json out = Json::object();
    out.get_ref<JsonObject&>().emplace(op, std::move(value));
    return out;
}

void append_order(JsonArray& pipeline, const Json* sort, const Json* skip, const Json* limit) {
    if (sort && !sort->is_null()) pipeline.push_back(stage("$sort", *sort));
    if (skip && !skip->is_null()) pipeline.push_back(stage("$skip", *skip));
    if (limit && !limit->is_null()) pipeline.push_back(stage("$limit", *limit));
}

std::optional<Json> force_t2q_limit(const schema::Registry& registry, const Json* limit) {
    if (!registry.text2query()) return limit ? std::optional<Json>(*limit) : std::nullopt;
    if (!limit || !limit->is_number()) return Json(kT2qMaxLimit);
    Json capped = capped_integer(*limit);
    if (capped.is_number_integer() && !capped.is_number_unsigned())
        throw CoreError(std::string(kErrText2Query) + "text2query 档 $limit 不能为负数（实际 " + json::compact(*limit) +
                        "）：负数在部分后端等于不设上限，拒绝放行");
    return capped;
}

std::optional<Json> clamp_t2q_limit(const schema::Registry& registry, const Json* limit) {
    if (!limit) return std::nullopt;
    if (registry.text2query() && limit->is_number()) return capped_integer(*limit);
    return *limit;
}

}  // namespace kelvara::pipeline::util

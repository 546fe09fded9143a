// Command constructors, location and route override, and the numeric
// reading of host values used for paging.
#include "command/cmd.hpp"

#include "pipeline/white_space.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <string>

namespace kelvara::command::cmd {

namespace {

Json base(const Schema& schema, std::string_view kind) {
    Json out = Json::object();
    out["kind"] = std::string(kind);
    out["collection"] = schema.collection;
    with_loc(out, schema);
    return out;
}

struct Route {
    const std::string* source = nullptr;  // new source, when to be set
    const Json* ns = nullptr;             // new namespace, when to be set
};

void override_walk(Json& value, const Route& route) {
    if (value.is_object()) {
        auto& obj = value.get_ref<JsonObject&>();
        if (obj.contains("kind") && obj.contains("collection")) {
            if (route.source) obj["source"] = *route.source;
            if (route.ns) obj["namespace"] = *route.ns;
        }
        for (auto& [_, member] : obj) override_walk(member, route);
    } else if (value.is_array()) {
        for (Json& element : value.get_ref<JsonArray&>()) override_walk(element, route);
    }
}

// Sign and ASCII digits only, at least one digit.
bool is_decimal_integer(std::string_view s) {
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

double string_to_number(std::string_view s) {
    s = pipeline::text::trim_white_space(s);
    if (s.empty()) return 0;
    if (s.size() == 1 && (s[0] == '+' || s[0] == '-')) return 0;
    if (is_decimal_integer(s)) {
        const std::string_view digits = s[0] == '+' ? s.substr(1) : s;
        std::int64_t v = 0;
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (ec != std::errc() || ptr != digits.data() + digits.size()) return 0;
        return static_cast<double>(v);
    }
    // from_chars takes no leading '+'; "+-1" stays a parse failure.
    std::string_view body = s[0] == '+' ? s.substr(1) : s;
    if (body.empty() || (s[0] == '+' && body[0] == '-')) return 0;
    double d = 0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), d);
    if (ptr != body.data() + body.size()) return 0;
    if (ec == std::errc::result_out_of_range) {
        // The text is a well-formed decimal number out of double range:
        // strtod gives the rounded result (infinity, or zero for underflow).
        d = std::strtod(std::string(body).c_str(), nullptr);
    } else if (ec != std::errc()) {
        return 0;
    }
    return std::isnan(d) ? 0 : d;
}

}  // namespace

void with_loc(Json& command, const Schema& schema) {
    command["source"] = std::string(schema.source());
    command["namespace"] = schema.namespace_ && !schema.namespace_->empty() ? Json(*schema.namespace_) : Json();
}

Json cmd_find(const Schema& schema, Json filter, std::optional<Json> projection) {
    Json out = base(schema, kFind);
    out["filter"] = std::move(filter);
    out["projection"] = projection ? std::move(*projection) : Json();
    return out;
}

Json cmd_find_one(const Schema& schema, Json filter, std::optional<Json> projection) {
    Json out = base(schema, kFindOne);
    out["filter"] = std::move(filter);
    out["projection"] = projection ? std::move(*projection) : Json();
    return out;
}

Json cmd_aggregate(const Schema& schema, Json stages) {
    Json out = base(schema, kAggregate);
    out["pipeline"] = std::move(stages);
    return out;
}

Json cmd_count_documents(const Schema& schema, Json filter) {
    Json out = base(schema, kCountDocuments);
    out["filter"] = std::move(filter);
    return out;
}

Json cmd_insert_one(const Schema& schema, Json doc) {
    Json out = base(schema, kInsertOne);
    out["doc"] = std::move(doc);
    return out;
}

Json cmd_insert_many(const Schema& schema, Json docs) {
    Json out = base(schema, kInsertMany);
    out["docs"] = std::move(docs);
    return out;
}

Json cmd_update_many(const Schema& schema, Json filter, Json update) {
    Json out = base(schema, kUpdateMany);
    out["filter"] = std::move(filter);
    out["update"] = std::move(update);
    return out;
}

Json cmd_delete_many(const Schema& schema, Json filter) {
    Json out = base(schema, kDeleteMany);
    out["filter"] = std::move(filter);
    return out;
}

Json cmd_find_one_and_update(const Schema& schema, Json filter, Json update, Json options) {
    Json out = base(schema, kFindOneAndUpdate);
    out["filter"] = std::move(filter);
    out["update"] = std::move(update);
    out["options"] = std::move(options);
    return out;
}

void apply_route_override(Json& plan, const Json& route_override) {
    if (!route_override.is_object() || route_override.empty()) return;
    Route route;
    const std::string* source = json::string_member(route_override, "source");
    if (source && !source->empty()) route.source = source;
    route.ns = json::member(route_override, "namespace");
    if (!route.source && !route.ns) return;
    override_walk(plan, route);
}

double to_number(const Json* value) {
    if (!value) return 0;
    switch (value->type()) {
        case Json::value_t::boolean: return value->get<bool>() ? 1 : 0;
        case Json::value_t::number_unsigned: return static_cast<double>(value->get<std::uint64_t>());
        case Json::value_t::number_integer: return static_cast<double>(value->get<std::int64_t>());
        case Json::value_t::number_float: {
            const double d = value->get<double>();
            return std::isnan(d) ? 0 : std::trunc(d);
        }
        case Json::value_t::string: return string_to_number(value->get_ref<const std::string&>());
        default: return 0;
    }
}

}  // namespace kelvara::command::cmd

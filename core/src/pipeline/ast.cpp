// The AST's JSON form. Objects list keys in byte order, so "relations" is
// ordered by name and, of two selections with the same name, the later one
// wins; reading back takes that key order as the selection order.
#include "pipeline/ast.hpp"

#include "error/core_error.hpp"
#include "pipeline/parse.hpp"

namespace kelvara::pipeline::ast {

namespace {

// Members are appended in ascending key order, each hinted at the end.
void put(Json& object, std::string_view key, Json value) {
    auto& obj = object.get_ref<JsonObject&>();
    obj.emplace_hint(obj.end(), key, std::move(value));
}

Json params_to_value(const Params& params) {
    Json out(Json::value_t::object);
    auto& obj = out.get_ref<JsonObject&>();
    for (const auto& [key, value] : params) obj.emplace_hint(obj.end(), key, value);
    return out;
}

Json fields_to_value(const std::vector<std::string>& fields) {
    Json out = Json::array();
    auto& arr = out.get_ref<JsonArray&>();
    arr.reserve(fields.size());
    for (const std::string& f : fields) arr.emplace_back(f);
    return out;
}

Json relations_to_value(const std::vector<RelSel>& relations) {
    Json out = Json::object();
    for (const RelSel& sel : relations) out[sel.name] = sel.ast.to_value();
    return out;
}

Params params_from_value(const Json* value) {
    Params out;
    if (!value || !value->is_object()) return out;
    for (const auto& [key, v] : value->get_ref<const JsonObject&>())
        if (v.is_string()) out.emplace_hint(out.end(), key, v.get_ref<const std::string&>());
    return out;
}

std::vector<std::string> fields_from_value(const Json* value) {
    std::vector<std::string> out;
    if (!value || !value->is_array()) return out;
    const auto& arr = value->get_ref<const JsonArray&>();
    out.reserve(arr.size());
    for (const Json& f : arr) out.push_back(f.is_string() ? f.get_ref<const std::string&>() : std::string());
    return out;
}

RelAst rel_from_value(const Json& value, std::size_t depth);

std::vector<RelSel> relations_from_value(const Json* value, std::size_t depth) {
    std::vector<RelSel> out;
    if (!value || !value->is_object()) return out;
    for (const auto& [name, v] : value->get_ref<const JsonObject&>()) out.push_back({name, rel_from_value(v, depth + 1)});
    return out;
}

RelAst rel_from_value(const Json& value, std::size_t depth) {
    if (!value.is_object()) throw CoreError("RelAst 必须是对象");
    // Same bound as the parser: the walks over an AST are recursive.
    if (depth > parse::kMaxSelectionDepth)
        throw CoreError("RelAst 嵌套超过 " + std::to_string(parse::kMaxSelectionDepth) + " 层");
    RelAst out;
    out.fields = fields_from_value(json::member(value, "fields"));
    out.relations = relations_from_value(json::member(value, "relations"), depth);
    out.params = params_from_value(json::member(value, "params"));
    return out;
}

}  // namespace

Json RelAst::to_value() const {
    Json out(Json::value_t::object);
    put(out, "fields", fields_to_value(fields));
    put(out, "params", params_to_value(params));
    put(out, "relations", relations_to_value(relations));
    return out;
}

RelAst RelAst::from_value(const Json& value) { return rel_from_value(value, 1); }

Json Ast::to_value() const {
    Json out(Json::value_t::object);
    put(out, "fields", fields_to_value(fields));
    put(out, "model", model);
    put(out, "params", params_to_value(params));
    put(out, "relations", relations_to_value(relations));
    return out;
}

Ast Ast::from_value(const Json& value) {
    if (!value.is_object()) throw CoreError("Ast 必须是对象");
    Ast out;
    const std::string* model = json::string_member(value, "model");
    if (model) out.model = *model;
    out.params = params_from_value(json::member(value, "params"));
    out.fields = fields_from_value(json::member(value, "fields"));
    out.relations = relations_from_value(json::member(value, "relations"), 0);
    return out;
}

}  // namespace kelvara::pipeline::ast

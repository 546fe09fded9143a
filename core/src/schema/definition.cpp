// Parsing of schema definitions into Schema records.
//
// Keys are processed in a fixed order (timestamps, fields, timestamp fields,
// relations, computes, the rest) so that the first problem in that order is
// the one reported.
#include "schema/definition.hpp"

#include "error/core_error.hpp"
#include "types/truthy.hpp"

namespace kelvara::schema {

bool Schema::id_is_autoincrement() const {
    const FieldDef* id = field("_id");
    return id && id->strategy && *id->strategy == "autoincrement";
}

const FieldDef* Schema::field(std::string_view n) const {
    auto it = fields.find(n);
    return it == fields.end() ? nullptr : &it->second;
}

const RelationDef* Schema::relation(std::string_view n) const {
    auto it = relations.find(n);
    return it == relations.end() ? nullptr : &it->second;
}

const ComputeDef* Schema::compute(std::string_view n) const {
    for (const auto& [cname, def] : computes)
        if (cname == n) return &def;
    return nullptr;
}

std::string_view Schema::source() const { return datasource ? std::string_view(*datasource) : "default"; }

namespace {

// String elements of an array, in order; anything else is no list.
OptRoleList role_list(const Json* v) {
    if (!v || !v->is_array()) return std::nullopt;
    RoleList roles;
    for (const Json& e : *v)
        if (e.is_string()) roles.push_back(e.get<std::string>());
    return roles;
}

std::optional<std::string> non_empty_string(const Json* v) {
    if (v && v->is_string() && !v->get_ref<const std::string&>().empty()) return v->get<std::string>();
    return std::nullopt;
}

std::string string_or(const Json* v, std::string fallback) {
    if (v && v->is_string()) return v->get<std::string>();
    return fallback;
}

bool truthy_member(const Json& obj, std::string_view key) {
    const Json* v = json::member(obj, key);
    return v && types::is_truthy(*v);
}

bool timestamps_flag(const Json* v) {
    if (!v || v->is_null()) return true;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_string()) {
        const auto& s = v->get_ref<const std::string&>();
        if (s == "s" || s == "ms") return true;
    }
    throw CoreError("timestamps 仅支持 true/false/'ms'/'s'，实际 " + json::compact(*v));
}

FieldDef parse_field(const std::string& name, const Json& spec) {
    FieldDef f;
    if (spec.is_string()) {
        f.type = spec.get<std::string>();
        return f;
    }
    if (!spec.is_object())
        throw CoreError("字段 " + name + " 定义类型非法（须为类型字符串或对象）");
    f.type = string_or(json::member(spec, "type"), "");
    const Json* required = json::member(spec, "required");
    f.required = required && required->is_boolean() && required->get<bool>();
    if (const Json* d = json::member(spec, "default"); d && !d->is_null()) f.default_value = *d;
    f.read = role_list(json::member(spec, "read"));
    f.write = role_list(json::member(spec, "write"));
    if (const Json* nested = json::member(spec, "fields"); nested && types::is_truthy(*nested)) f.fields = *nested;
    if (const std::string* strategy = json::string_member(spec, "strategy")) {
        if (*strategy != "autoincrement")
            throw CoreError("字段 " + name + " 的 strategy \"" + *strategy +
                            "\" 非法（仅支持 \"autoincrement\"，且仅限 _id 字段）");
        f.strategy = *strategy;
    }
    return f;
}

RelationDef parse_relation(const std::string& name, const Json& spec) {
    RelationDef r;
    r.model = string_or(json::member(spec, "model"), "");
    if (auto t = non_empty_string(json::member(spec, "type"))) r.rel_type = std::move(*t);
    if (auto l = non_empty_string(json::member(spec, "localField"))) r.local_field = std::move(*l);
    r.foreign_field = non_empty_string(json::member(spec, "foreignField")).value_or(name);
    r.read = role_list(json::member(spec, "read"));
    return r;
}

constexpr std::string_view kAggOps[] = {"$count", "$sum", "$avg", "$min", "$max"};

// The nine checks of an aggregate compute, in order.
void validate_agg(const std::string& name, const Json& spec, const Json& agg, const RelationMap& relations) {
    const std::string q = "计算列 \"" + name + "\" ";
    if (truthy_member(spec, "fn") || truthy_member(spec, "asyncFn"))
        throw CoreError(q + "不能同时声明 agg 与 fn/asyncFn（二选一）");
    if (!agg.is_object()) throw CoreError(q + "的 agg 必须是对象，如 {\"$count\": \"lessons\"}");
    if (agg.size() != 1) throw CoreError(q + "的 agg 必须且只能声明一个算子键");
    const auto& [op, value] = *agg.get_ref<const JsonObject&>().begin();
    bool known = false;
    for (auto k : kAggOps) known = known || op == k;
    if (!known) throw CoreError(q + "的 agg 算子 " + op + " 不在白名单（$count/$sum/$avg/$min/$max）");
    if (!value.is_string() || value.get_ref<const std::string&>().empty() || value.get_ref<const std::string&>() == "*")
        throw CoreError(q + "的 agg 取值必须是关系路径字符串（如 \"lessons\" / \"lessons.duration\"）");
    const std::string& path = value.get_ref<const std::string&>();
    const auto dot = path.find('.');
    const std::string relation = dot == std::string::npos ? path : path.substr(0, dot);
    if (!relations.contains(relation))
        throw CoreError(q + "的 agg 引用的关系 \"" + relation + "\" 未在 schema 中定义");
    const bool has_field = dot != std::string::npos;
    if (has_field) {
        const std::string_view rest = std::string_view(path).substr(dot + 1);
        if (rest.empty() || rest.find('.') != std::string_view::npos)
            throw CoreError(q + "的 agg 关系路径 \"" + path + "\" 非法：仅支持单级「关系.字段」（二级路径首批不支持）");
    }
    if (op == "$count" && has_field)
        throw CoreError(q + "的 $count 仅支持关系整行计数（如 \"lessons\"），按字段计数待 P5");
    if (op != "$count" && !has_field)
        throw CoreError(q + "的 agg 算子 " + op + " 必须引用关系字段（如 \"lessons.duration\"）");
}

ComputeDef parse_compute(const std::string& name, const Json& spec, const RelationMap& relations) {
    ComputeDef c;
    if (!spec.is_object()) return c;
    if (auto t = non_empty_string(json::member(spec, "type"))) c.type = std::move(*t);
    c.fn = truthy_member(spec, "fn");
    c.async_fn = truthy_member(spec, "asyncFn");
    c.fn_ref = non_empty_string(json::member(spec, "fnRef"));
    if (const Json* deps = json::member(spec, "depends"); deps && deps->is_array())
        for (const Json& d : *deps)
            if (d.is_string()) c.depends.push_back(d.get<std::string>());
    if (const Json* agg = json::member(spec, "agg"); agg && types::is_truthy(*agg)) {
        validate_agg(name, spec, *agg, relations);
        c.agg = *agg;
    }
    c.read = role_list(json::member(spec, "read"));
    return c;
}

}  // namespace

namespace definition {

FieldMap normalize_fields(const Json& fields) {
    FieldMap out;
    if (!fields.is_object()) return out;
    for (const auto& [name, spec] : fields.items()) out.emplace_hint(out.end(), name, parse_field(name, spec));
    return out;
}

}  // namespace definition

namespace registry {

Schema build_schema(const Json& defn, std::string name, std::string collection) {
    Schema s;
    s.name = std::move(name);
    s.collection = std::move(collection);
    s.timestamps = timestamps_flag(json::member(defn, "timestamps"));
    if (const Json* fields = json::member(defn, "fields")) s.fields = definition::normalize_fields(*fields);
    if (s.timestamps) {
        for (const char* ts : {"createdAt", "updatedAt"})
            if (!s.fields.contains(std::string_view(ts))) s.fields.emplace(ts, FieldDef{}).first->second.type = "number";
    }
    if (const Json* rels = json::member(defn, "relations"); rels && rels->is_object())
        for (const auto& [rname, spec] : rels->items())
            s.relations.emplace_hint(s.relations.end(), rname, parse_relation(rname, spec));
    if (const Json* comps = json::member(defn, "computes"); comps && comps->is_object())
        for (const auto& [cname, spec] : comps->items()) s.computes.emplace_back(cname, parse_compute(cname, spec, s.relations));
    s.id_prefix = string_or(json::member(defn, "idPrefix"), "");
    s.read = role_list(json::member(defn, "read"));
    s.write = role_list(json::member(defn, "write"));
    if (const Json* idx = json::member(defn, "indexes"); idx && idx->is_array())
        s.indexes.assign(idx->begin(), idx->end());
    s.datasource = non_empty_string(json::member(defn, "datasource"));
    s.namespace_ = non_empty_string(json::member(defn, "namespace"));
    return s;
}

}  // namespace registry
}  // namespace kelvara::schema

// Registration, archive derivation and lookups of the schema registry.
#include "schema/registry.hpp"

#include "error/core_error.hpp"
#include "types/truthy.hpp"

namespace kelvara::schema {

std::optional<Profile> profile_from_str(std::string_view text) {
    if (text == "standard") return Profile::Standard;
    if (text == "text2query") return Profile::Text2Query;
    return std::nullopt;
}

std::string_view profile_name(Profile p) { return p == Profile::Standard ? "standard" : "text2query"; }

namespace registry {

namespace {

constexpr std::string_view kArchiveSuffix = "Deleted";

// An optional namespace as the messages render it: None or Some("ns").
std::string render_ns(std::optional<std::string_view> ns) {
    if (!ns) return "None";
    return "Some(" + json::compact(Json(std::string(*ns))) + ")";
}

std::string render_ns(const std::optional<std::string>& ns) {
    return ns ? render_ns(std::optional<std::string_view>(*ns)) : "None";
}

std::optional<std::string_view> normalize_ns(std::optional<std::string_view> ns) {
    if (ns && ns->empty()) return std::nullopt;
    return ns;
}

bool same_ns(const Schema& s, std::optional<std::string_view> ns) {
    if (!s.namespace_) return !ns;
    return ns && *s.namespace_ == *ns;
}

// The archive definition derived from a model's definition.
Json archive_definition(const Json& defn, const std::string& name, const std::string& collection) {
    Json fields = Json::object();
    if (const Json* f = json::member(defn, "fields"); f && f->is_object()) fields = *f;
    fields["deletedAt"] = Json{{"type", "number"}};
    if (auto it = fields.find("_id"); it != fields.end() && it->is_object()) it->erase("strategy");

    Json archive = {
        {"name", name + std::string(kArchiveSuffix)},
        {"collection", collection + "_deleted"},
        {"idPrefix", ""},
        {"_isArchive", true},
        {"fields", std::move(fields)},
    };
    const Json* indexes = json::member(defn, "indexes");
    archive["indexes"] = indexes ? *indexes : Json::array();
    if (const Json* ds = json::member(defn, "datasource")) archive["datasource"] = *ds;
    if (const Json* ns = json::member(defn, "namespace")) archive["namespace"] = *ns;
    return archive;
}

}  // namespace

bool Registry::can_register(const permission::Context* ctx) const {
    if (!meta.closed) return true;
    return ctx && (ctx->internal || permission::has_any(*ctx, meta.roles));
}

void Registry::register_with_ctx(const Json& defn, const permission::Context* ctx) {
    if (!defn.is_object()) throw CoreError("schema 定义必须是对象");
    const std::string* name = json::string_member(defn, "name");
    if (!name) throw CoreError("schema 缺少 name");
    if (meta.closed && !can_register(ctx)) throw CoreError("ERR_PERMISSION: 无权注册或覆盖定义 " + *name);

    const std::string* coll = json::string_member(defn, "collection");
    std::string collection = coll && !coll->empty() ? *coll : *name;
    Schema schema = build_schema(defn, *name, collection);

    for (const auto& [other_name, other] : schemas_) {
        if (other_name == schema.name) continue;  // same name: a replacement
        if (other.collection == schema.collection && other.source() == schema.source() &&
            other.namespace_ == schema.namespace_)
            throw CoreError("定位三元组冲突: (" + std::string(schema.source()) + ", " + render_ns(schema.namespace_) +
                            ", " + schema.collection + ") 已被 schema `" + other_name + "`（collection = " +
                            other.collection + "）占用");
    }

    const std::string model_name = schema.name;
    schemas_.insert_or_assign(model_name, std::move(schema));
    names_.push_back(model_name);

    const Json* is_archive = json::member(defn, "_isArchive");
    if ((is_archive && types::is_truthy(*is_archive)) || model_name.ends_with(kArchiveSuffix)) return;
    const permission::Context system = permission::internal_context();
    register_with_ctx(archive_definition(defn, model_name, collection), &system);
}

const Schema* Registry::find(std::string_view name) const {
    auto it = schemas_.find(name);
    return it == schemas_.end() ? nullptr : &it->second;
}

const Schema& Registry::get(std::string_view name) const {
    if (const Schema* s = find(name)) return *s;
    throw CoreError("Schema 未注册: " + std::string(name));
}

void Registry::clear() {
    schemas_.clear();
    names_.clear();
}

const Schema& Registry::get_by_location(std::string_view source, std::optional<std::string_view> ns,
                                        std::string_view collection) const {
    ns = normalize_ns(ns);
    for (const auto& [_, s] : schemas_)
        if (s.collection == collection && s.source() == source && same_ns(s, ns)) return s;
    throw CoreError("Schema 未定位（source = " + std::string(source) + ", namespace = " + render_ns(ns) +
                    ", collection = " + std::string(collection) + "）");
}

const Schema& Registry::get_for_command(std::string_view source, std::optional<std::string_view> ns,
                                        std::string_view collection) const {
    ns = normalize_ns(ns);
    std::vector<const Schema*> candidates;
    for (const auto& [_, s] : schemas_) {
        if (s.collection != collection || s.source() != source) continue;
        if (same_ns(s, ns)) return s;
        candidates.push_back(&s);
    }
    if (candidates.empty()) return get_by_location(source, ns, collection);  // throws the lookup error
    if (candidates.size() == 1) return *candidates.front();
    for (const Schema* s : candidates)
        if (!s->namespace_) return *s;
    throw CoreError("命令定位 (" + std::string(source) + ", " + render_ns(ns) + ", " + std::string(collection) +
                    ") 存在多个结构 schema（多租户 override 需唯一的 (source, collection) 结构声明）");
}

std::optional<std::string> Registry::schema_datasource(std::string_view name) const { return get(name).datasource; }

}  // namespace registry
}  // namespace kelvara::schema

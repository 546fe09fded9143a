// Default values and write completion.
//
// Defaults are copied into the document only where it holds nothing or null:
// a value the writer gave, even a falsy one, always stands.
#include "computes/defaults.hpp"

#include "computes/cache.hpp"
#include "error/core_error.hpp"
#include "types/truthy.hpp"

namespace kelvara::computes::defaults {

namespace {

std::optional<Json> non_null(Json value) {
    if (value.is_null()) return std::nullopt;
    return value;
}

bool missing_or_null(const JsonObject& obj, const std::string& key) {
    auto it = obj.find(key);
    return it == obj.end() || it->second.is_null();
}

}  // namespace

std::string missing_callback_message(std::string_view fn_name) {
    return "计算列 " + std::string(fn_name) + " 未注册同步实现";
}

std::optional<Json> field_default(const schema::FieldDef& field) {
    if (field.default_value) return *field.default_value;
    return non_null(types::get_default(field.type));
}

std::optional<Json> raw_field_default(const Json& spec) {
    if (spec.is_string()) return non_null(types::get_default(spec.get_ref<const std::string&>()));
    if (!spec.is_object()) return std::nullopt;
    if (const Json* d = json::member(spec, "default"); d && !d->is_null()) return *d;
    if (const std::string* type = json::string_member(spec, "type")) return non_null(types::get_default(*type));
    return std::nullopt;
}

void fill_nested_defaults(Json& value, const Json& specs) {
    if (!value.is_object() || !specs.is_object()) return;
    auto& obj = value.get_ref<JsonObject&>();
    for (const auto& [key, spec] : specs.get_ref<const JsonObject&>()) {
        if (missing_or_null(obj, key))
            if (auto d = raw_field_default(spec)) obj.insert_or_assign(key, std::move(*d));
        if (!spec.is_object()) continue;
        const std::string* type = json::string_member(spec, "type");
        const Json* nested = json::member(spec, "fields");
        if (!type || *type != "object" || !nested || nested->is_null()) continue;
        auto it = obj.find(key);
        if (it != obj.end() && it->second.is_object()) fill_nested_defaults(it->second, *nested);
    }
}

Json apply_defaults_and_computes(Json document, const schema::Schema& schema,
                                 const registry::FnRegistry* callbacks) {
    if (!document.is_object()) return document;
    {
        auto& obj = document.get_ref<JsonObject&>();
        const bool auto_id = schema.id_is_autoincrement();
        for (const auto& [name, field] : schema.fields) {
            if (auto_id && name == "_id") continue;  // the database assigns it
            if (!missing_or_null(obj, name)) continue;
            if (auto d = field_default(field)) obj.insert_or_assign(name, std::move(*d));
        }
        // Runs after the field defaults so that an object field that was just
        // given its type default {} also receives its nested defaults.
        for (const auto& [name, field] : schema.fields) {
            if (field.type != "object" || !field.fields) continue;
            auto it = obj.find(name);
            if (it != obj.end() && it->second.is_object()) fill_nested_defaults(it->second, *field.fields);
        }
    }

    const cache::Cache c = cache::ensure_cache(schema);
    if (c.sync.empty()) return document;
    if (!callbacks) throw CoreError(missing_callback_message(c.sync.front().name));
    for (const cache::ComputeEntry& e : c.sync) {
        Json value = callbacks->call_sync(e.fn_ref, document);
        document.get_ref<JsonObject&>().insert_or_assign(e.name, std::move(value));
    }
    return document;
}

}  // namespace kelvara::computes::defaults

// Data-source configuration parsing and resolution.
#include "schema/datasource.hpp"

#include "error/core_error.hpp"
#include "types/unicode_case.hpp"

namespace kelvara::schema::datasource {

namespace {

constexpr std::string_view kDefaultSource = "default";

}  // namespace

DataSource DataSource::from_kind(std::string_view kind) {
    const std::string lower = types::to_lower_unicode(kind);
    if (lower == "mongo" || lower == "mongodb") return document();
    return sql(dialect::Backend::parse(lower));
}

std::string_view DataSource::kind_name() const { return backend_ ? backend_->name() : "mongo"; }

DataSourceConfig DataSourceConfig::from_json(const Json& value) {
    DataSourceConfig config;
    const Json* sources = json::member(value, "sources");
    if (!sources || !sources->is_object()) return config;
    for (const auto& [name, kind] : sources->get_ref<const JsonObject&>()) {
        if (!kind.is_string()) throw CoreError("数据源 " + name + " 的 kind 必须是字符串");
        config.register_source(name, DataSource::from_kind(kind.get_ref<const std::string&>()));
    }
    return config;
}

void DataSourceConfig::register_source(std::string name, DataSource source) {
    sources_.insert_or_assign(std::move(name), source);
}

std::optional<DataSource> DataSourceConfig::resolve(std::optional<std::string_view> source) const {
    if (!source) {
        auto it = sources_.find(kDefaultSource);
        if (it == sources_.end()) return std::nullopt;
        return it->second;
    }
    auto it = sources_.find(*source);
    if (it == sources_.end()) throw CoreError("schema 绑定的数据源未在配置中声明: " + std::string(*source));
    return it->second;
}

std::optional<DataSource> resolve_datasource(const Registry& registry, std::string_view model, const Json& config) {
    const Schema& schema = registry.get(model);
    const DataSourceConfig parsed = DataSourceConfig::from_json(config);
    if (!schema.datasource) return parsed.resolve(std::nullopt);
    return parsed.resolve(*schema.datasource);
}

}  // namespace kelvara::schema::datasource

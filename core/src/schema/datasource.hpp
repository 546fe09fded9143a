// Data sources: which kind of store each model lives in.
//
// The host describes its stores with a small configuration,
// {"sources": {name: kind}}, and each schema names its store ("datasource").
// This module turns the configuration into a lookup table and resolves a
// model to the document database or one SQL backend. Federated planning uses
// the same table to split a query by source.
#pragma once

#include "dialect/backend.hpp"
#include "json/json.hpp"
#include "schema/registry.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kelvara::schema::datasource {

// The document database, or one SQL backend.
class DataSource {
public:
    static DataSource document() { return DataSource(std::nullopt); }
    static DataSource sql(dialect::Backend backend) { return DataSource(backend); }

    // Kinds match after full Unicode lower-casing: "mongo"/"mongodb", else
    // whatever dialect::Backend::parse accepts, whose error then quotes the
    // lower-cased kind.
    static DataSource from_kind(std::string_view kind);

    bool is_document() const { return !backend_; }
    // The SQL backend; absent for the document database.
    std::optional<dialect::Backend> backend() const { return backend_; }
    // "mongo", "mysql", "postgres" or "sqlite".
    std::string_view kind_name() const;

    bool operator==(const DataSource& other) const = default;

private:
    explicit DataSource(std::optional<dialect::Backend> backend) : backend_(backend) {}
    std::optional<dialect::Backend> backend_;
};

// The declared sources, names unique and in ascending byte order.
class DataSourceConfig {
public:
    // A value that is not an object, or lacks an object "sources", is an
    // empty configuration. Throws "数据源 {name} 的 kind 必须是字符串" or the
    // kind's own error; one bad source fails the whole configuration.
    static DataSourceConfig from_json(const Json& value);

    // Adds the source, or replaces the kind of an existing name.
    void register_source(std::string name, DataSource source);

    // A named source must be declared ("schema 绑定的数据源未在配置中声明:
    // {name}" otherwise); no name means the "default" entry, absent when the
    // configuration has none.
    std::optional<DataSource> resolve(std::optional<std::string_view> source) const;

    const std::map<std::string, DataSource, std::less<>>& sources() const { return sources_; }

private:
    std::map<std::string, DataSource, std::less<>> sources_;
};

// The data source of a registered model under a configuration value: the
// model is looked up first ("Schema 未注册: {name}"), then the whole
// configuration is parsed, then the model's datasource name resolved.
// Absent means the document database by default.
std::optional<DataSource> resolve_datasource(const Registry& registry, std::string_view model, const Json& config);

}  // namespace kelvara::schema::datasource

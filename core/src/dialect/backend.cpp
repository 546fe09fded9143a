// Backend names: parsing the host's spelling and the canonical form.
#include "dialect/backend.hpp"

#include "error/core_error.hpp"

#include <string>

namespace kelvara::dialect {

Backend Backend::parse(std::string_view name) {
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == "mysql") return MySql;
    if (lower == "pg" || lower == "postgres" || lower == "postgresql") return Postgres;
    if (lower == "sqlite") return Sqlite;
    throw CoreError("不支持的后端: " + std::string(name));
}

std::string_view Backend::name() const {
    switch (value_) {
        case MySql: return "mysql";
        case Postgres: return "postgres";
        case Sqlite: return "sqlite";
    }
    internal_error("unknown backend");
}

}  // namespace kelvara::dialect

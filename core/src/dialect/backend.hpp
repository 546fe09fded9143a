// The three SQL backends the dialect layer writes for.
//
// Backend is a small value type over an enum so that it reads like one
// (Backend::MySql, switch, ==) while carrying its own parse and canonical
// name. What differs between backends belongs in one dialect description per
// backend next to this type, not in switches spread over the translators.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvara::dialect {

class Backend {
public:
    enum Value : std::uint8_t { MySql, Postgres, Sqlite };

    constexpr Backend(Value v) : value_(v) {}
    constexpr operator Value() const { return value_; }

    // "mysql"; "pg", "postgres" or "postgresql"; "sqlite", compared after
    // ASCII lower-casing. Throws "不支持的后端: {name}" with the name as given.
    static Backend parse(std::string_view name);

    // The canonical name: "mysql", "postgres" or "sqlite".
    std::string_view name() const;

private:
    Value value_;
};

}  // namespace kelvara::dialect

// The JSON value model of the whole core.
//
// Every value that crosses the core is a nlohmann::json. Its objects are
// std::map, so keys iterate in ascending byte order, and integers keep their
// representation (unsigned, signed, double). Two things the library does not
// give us live here: strict equality (1 is not 1.0) and the compact text used
// inside messages.
#pragma once

#include "json/pool_allocator.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace kelvara {

namespace json::detail {
template <class T>
struct PoolAllocator;
}

using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, double,
                                  json::detail::PoolAllocator>;
using JsonObject = Json::object_t;
using JsonArray = Json::array_t;

namespace json {

// Equality in which numbers compare equal only in the same representation:
// an integer never equals a double. A non-negative value held as a signed
// integer equals the same value held unsigned (both are "integers").
// Arrays compare element-wise, objects member-wise.
bool strict_equal(const Json& a, const Json& b);

// Compact JSON text (no spaces, non-ASCII written as is), as quoted in messages.
std::string compact(const Json& value);

// The member `key` of `value` when `value` is an object holding it, else nullptr.
const Json* member(const Json& value, std::string_view key);

// The member `key` as a string when it is one, else nullptr.
const std::string* string_member(const Json& value, std::string_view key);

// A non-negative integer as the unsigned representation, a negative one as
// signed: the same normal form the Python conversion produces.
Json integer(long long value);

// Releases a value depth-first and leaves null behind. nlohmann's own
// destructor flattens every container onto a temporary heap stack (to bound
// recursion), which costs a vector per container; values built by one
// conversion have bounded depth, so plain recursion is safe and far cheaper.
void dispose(Json& value) noexcept;

// Owns a JSON value and disposes of it on scope exit.
struct DisposingJson {
    Json value;
    DisposingJson() = default;
    explicit DisposingJson(Json v) : value(std::move(v)) {}
    DisposingJson(DisposingJson&&) = default;
    DisposingJson& operator=(DisposingJson&&) = default;
    ~DisposingJson() { dispose(value); }
};

}  // namespace json
}  // namespace kelvara

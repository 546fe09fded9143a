// Python <-> JSON value conversion, one recursive pass each way.
//
// py_to_json accepts exactly None, bool, int, float, str, list, tuple and
// dict (and their subclasses) and raises TypeError otherwise; json_to_py
// returns plain Python objects, dicts iterating in the byte order of keys.
#pragma once

#include "json/json.hpp"
#include "types/names.hpp"
#include "permission/context.hpp"

#include <nanobind/nanobind.h>

#include <optional>

namespace kelvara::convert {

namespace nb = nanobind;

// Raises (as a C++ exception nanobind translates) TypeError for unsupported
// values, or the interpreter's own error (a failing str(), an unencodable str).
Json py_to_json(nb::handle obj);

// Creates the table of the format's own key strings; called once at import.
void init_known_keys();

// Never fails for a well-formed value, short of the interpreter running out of memory.
nb::object json_to_py(const Json& value);
// The same, consuming the value: nodes are released as they are converted.
nb::object to_py(Json&& value);

// An absent set gives null; a present one the names in byte order.
Json sorted_set(const OptNameSet& names);

// None (or omitted) is no context; any other value is converted, and a value
// that is not a JSON object is no context too.
std::optional<permission::Context> ctx_from(nb::handle obj);

}  // namespace kelvara::convert

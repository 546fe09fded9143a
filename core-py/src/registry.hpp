// The Python-visible Registry object: the core's schema registry, the table
// of synchronous compute callbacks, and the borrow flag.
#pragma once

#include "borrow.hpp"
#include "schema/registry.hpp"

#include <nanobind/nanobind.h>

#include <map>
#include <string>

namespace kelvara::py {

namespace nb = nanobind;

using FnTable = std::map<std::string, nb::object, std::less<>>;

struct PyRegistry {
    schema::Registry core;
    FnTable fns;
    BorrowFlag borrow;
};

}  // namespace kelvara::py

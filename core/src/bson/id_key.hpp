// The textual key under which document ids are compared.
//
// An object id {"$oid": "65f0..."} and its plain hex string give the same
// key, so ids from a driver that returns object ids and ids that went through
// JSON text meet. Numbers keep their representation: 1 and 1.0 differ.
#pragma once

#include "json/json.hpp"

#include <string>

namespace kelvara::bson {

std::string id_key(const Json& value);

}  // namespace kelvara::bson

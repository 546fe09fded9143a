// Default values of declared fields, and the completion of a written document.
//
// A field falls back to its explicit default, else to the default of its
// type when that is not null. Object fields may describe nested members
// whose defaults are filled inside the stored sub-object. Write planning and
// the host's apply_write_defaults complete a document with these defaults and
// then with the values of the synchronous computed fields.
#pragma once

#include "computes/fn_registry.hpp"
#include "json/json.hpp"
#include "schema/definition.hpp"

#include <optional>

namespace kelvara::computes::defaults {

// The explicit default, else the type default when not null, else none.
std::optional<Json> field_default(const schema::FieldDef& field);

// The default of a nested field spec (a type name, or an object with
// "default" and/or "type"); none for anything else.
std::optional<Json> raw_field_default(const Json& spec);

// Fills missing or null members of `value` from `specs` (both objects, else
// nothing happens), recursing into nested object specs.
void fill_nested_defaults(Json& value, const Json& specs);

// Completes a document: field defaults, nested defaults, then the
// synchronous computes in declaration order, each seeing the earlier results.
// A non-object is returned unchanged. Throws "计算列 {} 未注册同步实现" when
// the schema has synchronous computes and no callbacks are given, and passes
// a callback's error on unchanged.
Json apply_defaults_and_computes(Json document, const schema::Schema& schema,
                                 const registry::FnRegistry* callbacks);

// The missing-callback message, shared with post-processing.
std::string missing_callback_message(std::string_view fn_name);

}  // namespace kelvara::computes::defaults

// Full Unicode lower-casing of UTF-8 text.
//
// Used where a host-given name is matched case-insensitively and quoted back
// in a message (data-source kinds). The mapping is table-driven (tables
// generated from the Unicode character database by scripts/gen_unicode_case.py),
// so it does not depend on the process locale.
#pragma once

#include <string>
#include <string_view>

namespace kelvara::types {

// The lower-case form of `text`: every code point's full lower-case mapping
// (U+0130 becomes "i" followed by U+0307), with capital sigma becoming final
// sigma at the end of a word. Bytes that are not valid UTF-8 are copied
// unchanged. ASCII-only text takes a fast path.
std::string to_lower_unicode(std::string_view text);

}  // namespace kelvara::types

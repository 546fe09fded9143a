// UTF-8 decoding and the Unicode White_Space set, for the GQL tokenizer and
// the numeric reading of host strings.
//
// Host text arrives as UTF-8 from Python and is valid, but the core accepts
// any byte string: a byte that does not start a well-formed sequence is
// read as one code point of its own (U+FFFD), so every byte is consumed
// exactly once and decoding never fails.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvara::pipeline::text {

// The code point starting at `pos`; advances `pos` past it. `pos` must be
// less than text.size().
char32_t next_code_point(std::string_view text, std::size_t& pos);

// Exactly the Unicode White_Space property.
bool is_white_space(char32_t cp);

// `text` without leading and trailing White_Space code points.
std::string_view trim_white_space(std::string_view text);

}  // namespace kelvara::pipeline::text

// The GQL tokenizer: query text -> a flat list of tokens.
//
// GQL has no literals (every value is a reference into the host's params),
// so there are only three kinds of token: punctuation, identifiers and
// parameter references. The tokenizer never fails: characters that belong to
// no token are dropped, and whatever that loses surfaces, if at all, as a
// parser error. The kind is kept as an enum; its textual tag ("p", "id",
// "ref") is what the parser's messages and the host see.
#pragma once

#include "json/json.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::pipeline::token {

enum class Kind : std::uint8_t { Punct, Id, Ref };

// "p", "id" or "ref".
std::string_view kind_tag(Kind kind);

struct Token {
    Kind kind;
    std::string text;  // the characters as they stand in the query (UTF-8)

    std::string_view tag() const { return kind_tag(kind); }
};

// One linear pass over the code points; accepts every string.
std::vector<Token> tokenize(std::string_view text);

// {"t": tag, "v": text}.
Json token_to_value(const Token& token);

// The tokens as an array of token_to_value objects.
Json tokens_to_value(const std::vector<Token>& tokens);

}  // namespace kelvara::pipeline::token

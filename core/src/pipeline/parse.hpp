// The GQL parser: token list -> query AST.
//
// Grammar (punctuation written as its character):
//   Query     := id Arguments? Selection?          (trailing tokens ignored)
//   Arguments := "(" (id ":" any-token ","?)* ")"
//   Selection := "{" ("," | Item)* "}"
//   Item      := id Arguments? Selection? ","?
// An Item without arguments and selection is a field; otherwise it is a
// relation selection. No schema is consulted. Every failure is an
// "ERR_GQL_PARSE:" message naming the expected token and the 0-based token
// index; the parser stops at the first one.
#pragma once

#include "pipeline/ast.hpp"
#include "pipeline/token.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::pipeline::parse {

// Deeper selections are refused, so that neither parsing nor the recursive
// walks over the AST can exhaust the stack. Far above anything the builders
// accept (10 relation levels).
inline constexpr std::size_t kMaxSelectionDepth = 100;

class Parser {
public:
    explicit Parser(const std::vector<token::Token>& tokens) : tokens_(tokens) {}

    // Checks the next token's kind and, when given, its one-character text;
    // returns the text and advances. Throws the parse error otherwise.
    const std::string& consume(token::Kind kind, std::optional<char> expected = std::nullopt);

    // Arguments, the next token being "(": key (leading "$" removed) -> the
    // value token's text, for identifier and reference values only.
    ast::Params parse_params();

    // A selection, the next token being "{": appends to fields and relations.
    void parse_body(std::vector<std::string>& fields, std::vector<ast::RelSel>& relations);

    // The whole query.
    ast::Ast parse_query();

private:
    bool next_is_punct(char c) const;

    const std::vector<token::Token>& tokens_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
};

ast::Ast parse(const std::vector<token::Token>& tokens);

// tokenize followed by parse.
ast::Ast parse_gql(std::string_view text);

}  // namespace kelvara::pipeline::parse

// The GQL tokenizer. Token characters are all ASCII, so every token's text
// is a byte range of the input; non-ASCII code points are decoded only to
// be skipped (white space and every other character alike).
#include "pipeline/token.hpp"

#include "error/core_error.hpp"
#include "pipeline/white_space.hpp"

namespace kelvara::pipeline::token {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_punct(char c) {
    return c == '(' || c == ')' || c == '{' || c == '}' || c == ',' || c == ':';
}
bool starts_identifier(char c) { return is_letter(c) || c == '$' || c == '_'; }
bool continues_identifier(char c) { return is_letter(c) || is_digit(c) || c == '$' || c == '.' || c == '_'; }
bool continues_reference(char c) { return is_letter(c) || is_digit(c) || c == '_'; }

}  // namespace

std::string_view kind_tag(Kind kind) {
    switch (kind) {
        case Kind::Punct: return "p";
        case Kind::Id: return "id";
        case Kind::Ref: return "ref";
    }
    internal_error("unknown token kind");
}

std::vector<Token> tokenize(std::string_view text) {
    std::vector<Token> out;
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
        const char c = text[pos];
        if (static_cast<unsigned char>(c) >= 0x80) {
            // White space or any other non-ASCII character: no token either way.
            text::next_code_point(text, pos);
            continue;
        }
        if (is_punct(c)) {
            out.push_back({Kind::Punct, std::string(1, c)});
            ++pos;
        } else if (starts_identifier(c)) {
            const std::size_t start = pos++;
            while (pos < n && continues_identifier(text[pos])) ++pos;
            out.push_back({Kind::Id, std::string(text.substr(start, pos - start))});
        } else if (c == '@') {
            const std::size_t start = pos++;
            while (pos < n && continues_reference(text[pos])) ++pos;
            out.push_back({Kind::Ref, std::string(text.substr(start, pos - start))});
        } else {
            ++pos;  // ASCII white space, digits, quotes, '.', '-', ...
        }
    }
    return out;
}

Json token_to_value(const Token& token) {
    Json out(Json::value_t::object);
    auto& obj = out.get_ref<JsonObject&>();
    // Keys are added in ascending order, each right after the last.
    obj.emplace_hint(obj.end(), "t", token.tag());
    obj.emplace_hint(obj.end(), "v", token.text);
    return out;
}

Json tokens_to_value(const std::vector<Token>& tokens) {
    Json out = Json::array();
    auto& arr = out.get_ref<JsonArray&>();
    arr.reserve(tokens.size());
    for (const Token& t : tokens) arr.push_back(token_to_value(t));
    return out;
}

}  // namespace kelvara::pipeline::token

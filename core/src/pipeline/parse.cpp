// The GQL parser. Messages report the expected kind tag and character
// ("undefined" when any text is accepted) and, unless the tokens ran out,
// the actual token and its index.
#include "pipeline/parse.hpp"

#include "error/core_error.hpp"
#include "pipeline/format.hpp"

namespace kelvara::pipeline::parse {

using token::Kind;
using token::Token;

namespace {

std::string expected_text(Kind kind, std::optional<char> expected) {
    std::string out(token::kind_tag(kind));
    out += '(';
    if (expected) out += *expected;
    else out += "undefined";
    out += ')';
    return out;
}

[[noreturn]] void fail_at_end(Kind kind, std::optional<char> expected) {
    throw CoreError(std::string(kErrGqlParse) + "期望 " + expected_text(kind, expected) + " 但已到达末尾");
}

[[noreturn]] void fail_at(Kind kind, std::optional<char> expected, const Token& actual, std::size_t index) {
    throw CoreError(std::string(kErrGqlParse) + "期望 " + expected_text(kind, expected) + " 实际 " +
                    std::string(actual.tag()) + "(" + actual.text + ") 位置 " + std::to_string(index));
}

[[noreturn]] void fail_pipeline_on_relation(const std::string& name) {
    throw CoreError(std::string(kErrGqlParse) + "关系 \"" + name +
                    "\" 的参数不支持 $pipeline（$pipeline 直通仅限根级 GQL）");
}

[[noreturn]] void fail_too_deep(std::size_t index) {
    throw CoreError(std::string(kErrGqlParse) + "选择集嵌套超过 " + std::to_string(kMaxSelectionDepth) +
                    " 层 位置 " + std::to_string(index));
}

}  // namespace

bool Parser::next_is_punct(char c) const {
    if (pos_ >= tokens_.size()) return false;
    const Token& t = tokens_[pos_];
    return t.kind == Kind::Punct && t.text.size() == 1 && t.text[0] == c;
}

const std::string& Parser::consume(Kind kind, std::optional<char> expected) {
    if (pos_ >= tokens_.size()) fail_at_end(kind, expected);
    const Token& t = tokens_[pos_];
    if (t.kind != kind || (expected && !(t.text.size() == 1 && t.text[0] == *expected)))
        fail_at(kind, expected, t, pos_);
    ++pos_;
    return t.text;
}

ast::Params Parser::parse_params() {
    consume(Kind::Punct, '(');
    ast::Params params;
    while (!next_is_punct(')')) {
        const std::string& raw_key = consume(Kind::Id);
        const std::size_t skip = raw_key.find_first_not_of('$');
        std::string key = skip == std::string::npos ? std::string() : raw_key.substr(skip);
        consume(Kind::Punct, ':');
        // The value token is taken whatever its kind; running out here is
        // reported by the next key's consume, like any other truncation.
        if (pos_ < tokens_.size()) {
            const Token& value = tokens_[pos_++];
            if (value.kind != Kind::Punct) params.insert_or_assign(std::move(key), value.text);
        }
        if (next_is_punct(',')) ++pos_;
    }
    consume(Kind::Punct, ')');
    return params;
}

void Parser::parse_body(std::vector<std::string>& fields, std::vector<ast::RelSel>& relations) {
    if (depth_ >= kMaxSelectionDepth) fail_too_deep(pos_);
    ++depth_;
    consume(Kind::Punct, '{');
    while (true) {
        if (pos_ >= tokens_.size()) fail_at_end(Kind::Punct, '}');
        if (next_is_punct(',')) {
            ++pos_;
            continue;
        }
        if (next_is_punct('}')) {
            ++pos_;
            break;
        }
        const std::string& name = consume(Kind::Id);
        const bool has_args = next_is_punct('(');
        ast::Params params;
        if (has_args) {
            params = parse_params();
            if (params.contains(format::kArgPipeline)) fail_pipeline_on_relation(name);
        }
        const bool has_body = next_is_punct('{');
        if (!has_args && !has_body) {
            fields.push_back(name);
        } else {
            ast::RelSel sel{name, ast::RelAst{std::move(params), {}, {}}};
            if (has_body) parse_body(sel.ast.fields, sel.ast.relations);
            relations.push_back(std::move(sel));
        }
        if (next_is_punct(',')) ++pos_;
    }
    --depth_;
}

ast::Ast Parser::parse_query() {
    ast::Ast out;
    out.model = consume(Kind::Id);
    if (next_is_punct('(')) out.params = parse_params();
    if (next_is_punct('{')) parse_body(out.fields, out.relations);
    return out;
}

ast::Ast parse(const std::vector<Token>& tokens) { return Parser(tokens).parse_query(); }

ast::Ast parse_gql(std::string_view text) { return parse(token::tokenize(text)); }

}  // namespace kelvara::pipeline::parse

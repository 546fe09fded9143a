// The AST's JSON form read back gives the same JSON again, for any query the
// parser accepts. No host method returns an AST that went through
// Ast::from_value, so this property is checked here.
#include "error/core_error.hpp"
#include "pipeline/ast.hpp"
#include "pipeline/parse.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using kelvara::Json;
using kelvara::pipeline::ast::Ast;

// A random GQL text: identifiers (some dotted, some repeated), arguments with
// references and identifiers, nested selections, stray commas.
class QueryGen {
public:
    explicit QueryGen(unsigned seed) : rng_(seed) {}

    std::string query() { return ident() + maybe_args() + maybe_selection(0); }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::string ident() {
        static const char* names[] = {"a", "b", "posts", "author", "x.y", "_id", "$z", "name", "a"};
        return names[pick(9)];
    }

    std::string maybe_args() {
        if (pick(3) != 0) return "";
        std::string out = "(";
        for (int i = 0, n = pick(4); i < n; ++i) {
            static const char* keys[] = {"$condition", "$sort", "limit", "$$skip", "other"};
            static const char* values[] = {"@c", "@s", "@", "ident", "@n1"};
            out += keys[pick(5)];
            out += ": ";
            out += values[pick(5)];
            if (pick(2)) out += ", ";
            else out += " ";
        }
        return out + ")";
    }

    std::string maybe_selection(int depth) {
        if (depth > 3 || pick(3) == 0) return "";
        std::string out = " {";
        for (int i = 0, n = pick(5); i < n; ++i) {
            out += " " + ident();
            if (pick(3) == 0) out += maybe_args() + maybe_selection(depth + 1);
            if (pick(2)) out += ",";
        }
        return out + " }";
    }

    std::mt19937 rng_;
};

TEST(AstRoundTrip, FromValueOfToValueGivesTheSameJson) {
    QueryGen gen(20261211);
    int parsed = 0;
    for (int i = 0; i < 5000; ++i) {
        const std::string text = gen.query();
        Ast ast;
        try {
            ast = kelvara::pipeline::parse::parse_gql(text);
        } catch (const kelvara::CoreError&) {
            continue;  // only queries the parser accepts
        }
        ++parsed;
        const Json first = ast.to_value();
        const Json second = Ast::from_value(first).to_value();
        ASSERT_EQ(first.dump(), second.dump()) << text;
    }
    EXPECT_GT(parsed, 1000);
}

TEST(AstRoundTrip, NonObjectsAreRefused) {
    EXPECT_THROW(Ast::from_value(Json::array()), kelvara::CoreError);
    EXPECT_THROW(Ast::from_value(Json{{"relations", {{"r", 1}}}}), kelvara::CoreError);
}

}  // namespace

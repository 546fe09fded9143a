// The host's view of a pipeline build. The text is tokenized once: the
// same token list is returned and parsed.
#include "pipeline/explain.hpp"

#include "pipeline/build.hpp"
#include "pipeline/parse.hpp"
#include "pipeline/projection.hpp"
#include "pipeline/token.hpp"

namespace kelvara::pipeline::explain {

Json build_pipeline_view(const schema::Registry& registry, std::string_view gql, const Json& params,
                         const permission::Context* ctx) {
    const std::vector<token::Token> tokens = token::tokenize(gql);
    Json tokens_value = token::tokens_to_value(tokens);
    ast::Ast ast = parse::parse(tokens);
    Json ast_value = ast.to_value();
    JsonArray pipeline = build::build_pipeline(ast, params, registry, ctx);
    std::optional<Json> projection = projection::build_projection(ast, registry.get(ast.model), ctx, registry);

    Json out(Json::value_t::object);
    auto& obj = out.get_ref<JsonObject&>();
    obj.emplace_hint(obj.end(), "ast", std::move(ast_value));
    obj.emplace_hint(obj.end(), "pipeline", std::move(pipeline));
    obj.emplace_hint(obj.end(), "projection", projection ? std::move(*projection) : Json());
    obj.emplace_hint(obj.end(), "tokens", std::move(tokens_value));
    return out;
}

}  // namespace kelvara::pipeline::explain

// The AST's JSON form.
#include "pipeline/ast.hpp"

#include "error/core_error.hpp"

namespace kelvara::pipeline::ast {

Json RelAst::to_value() const { internal_error("not built yet"); }
RelAst RelAst::from_value(const Json&) { internal_error("not built yet"); }
Json Ast::to_value() const { internal_error("not built yet"); }
Ast Ast::from_value(const Json&) { internal_error("not built yet"); }

}  // namespace kelvara::pipeline::ast

// The join road of a SELECT: the operator tree yielding the joined rows of
// the FROM table and its JOIN tables, with the WHERE pushed down where it
// touches only the FROM table.
#pragma once

#include <span>

#include "engine/engine.h"
#include "executor/select_binding.h"
#include "operators/operator.h"
#include "parser/ast.h"

namespace zembrel::executor {

struct JoinSource {
    operators::OperatorPtr source;
    // The WHERE still to apply above the joins (none when it was pushed down).
    const parser::Expr* residual_where = nullptr;
};

Result<JoinSource> build_join_source(Engine& engine, const parser::SelectStatement& statement,
                                     std::span<const BoundTable> tables);

}  // namespace zembrel::executor

// Every table a statement reads, wherever it is named.
#pragma once

#include <string>
#include <vector>

#include "parser/ast.h"

namespace zembrel::shared {

// SELECT and EXPLAIN: the FROM table, the JOIN tables, and the tables of
// every subquery (select list, ON, WHERE, at any depth), each once, in the
// order first met. Other kinds: executor::table_names.
std::vector<std::string> tables_named_in(const parser::Statement& statement);

// Whether the SELECT holds a subquery anywhere (select list, ON, WHERE).
bool has_subquery(const parser::SelectStatement& select);

}  // namespace zembrel::shared

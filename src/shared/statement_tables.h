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

}  // namespace zembrel::shared

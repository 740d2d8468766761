// The tables a statement touches, by kind (Statement::table_names).
#pragma once

#include <string>
#include <vector>

#include "parser/ast.h"

namespace zembrel::planner {

// CREATE TABLE, ALTER TABLE, DROP TABLE, TRUNCATE: the table; INSERT, UPDATE,
// DELETE, CREATE INDEX: the target table; SELECT and EXPLAIN: the FROM table,
// then each JOIN table in order (subquery tables are not listed); DROP INDEX,
// BEGIN, COMMIT, ROLLBACK: none.
std::vector<std::string> table_names(const parser::Statement& statement);

}  // namespace zembrel::planner

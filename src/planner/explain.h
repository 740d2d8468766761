// The text lines of EXPLAIN, from the leaves of the plan up to its root.
// The SELECT planner's own decision functions choose what the lines say, so
// the plan shown is the plan run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "planner/access_path.h"
#include "parser/ast.h"

namespace zembrel::planner {

// The lines of the plan a SELECT would run, chosen by the decision functions
// SELECT follows; binding and ON errors are its errors. Reads no rows but
// those a build-left join's row counts need (the snapshot SELECT reads too).
Result<std::vector<std::string>> explain_select(Engine& engine, const parser::SelectStatement& statement);

}  // namespace zembrel::planner

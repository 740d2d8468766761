// The text lines of EXPLAIN, from the leaves of the plan up to its root.
// The SELECT planner's own decision functions choose what the lines say
// (select.h: explain_select), so the plan shown is the plan run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "executor/access_path.h"
#include "parser/ast.h"

namespace zembrel::executor::explain {

// "IndexSeek(table=t, index=(a,b), key=[1,x])" for a composite path,
// "IndexSeek(table=t, col=x, lower=Excluded(3), upper=Unbounded)" for a range.
std::string index_seek_line(const std::string& table, const AccessPath& path);

// "NestedLoopJoin(kind=Inner)"; "HashJoin(build=right, probe=left, kind=Left, keys=[0, 2])".
std::string nested_loop_line(parser::JoinKind kind);
std::string hash_join_line(parser::JoinKind kind, const std::vector<size_t>& left_keys, bool build_left);

// Appends "Filter", "HashAggregate", "ExternalSort", "Limit(n)" for the
// steps present, in that order, then "Project".
void pipeline_tail(std::vector<std::string>& lines, bool residual_where, bool aggregates, bool order_by,
                   std::optional<uint64_t> limit);

}  // namespace zembrel::executor::explain

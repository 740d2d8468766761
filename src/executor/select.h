// SELECT: the dispatcher's branch, the roads that run what the planner
// (src/planner) chose, the SELECT driver, and the row sources it reads.
//
// Roads of a SELECT, in order: the HASH-literal rewrite (once per
// statement); the in-memory index fast path for a simple one-table query;
// then execute_select: binding and reference checks, then, without joins,
// an index seek (index_seek.h), the direct road (scan + pipeline), or the
// driver (run_select) when the select list or WHERE needs it; with joins,
// the join road (join_road.h) and the driver.
//
// Every row list, operator and plan made here belongs to the statement and
// is released when it returns, on success and on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "executor/planned.h"
#include "operators/operator.h"
#include "parser/ast.h"

namespace zembrel::executor {

// The dispatcher's branch for SELECT. With a sink, a plain scan's pipeline
// hands its rows straight to it; other roads leave them to the dispatcher.
Result<ExecResult> select(Engine& engine, parser::SelectStatement statement, RowSink* sink = nullptr);

// EXPLAIN: the HASH-literal rewrite, then one "plan" row per line of the
// plan the SELECT would run (planner/explain.h); binding and ON errors are
// its errors. It reads no rows but a build-left join's counts.
Result<ExecResult> explain_statement(Engine& engine, parser::Explain statement);

// A bound SELECT run to its rows; `outer` is present inside a correlated
// subquery. The statement's HASH literals must already be rewritten.
Result<Rows> execute_select(Engine& engine, const parser::SelectStatement& statement, const OuterContext* outer,
                            RowSink* sink = nullptr);

// The SELECT driver: applies a WHERE that needs the dynamic evaluator (it
// holds a subquery, or the SELECT runs inside another), has the pipeline
// built and drained, fills the select-list subqueries, and orders and limits
// rows itself when the select list has window functions. Takes the source.
Result<Rows> run_select(Engine& engine, operators::OperatorPtr source, std::span<const BoundTable> tables,
                        const parser::Expr* where, const std::vector<parser::OrderByItem>* order_by,
                        std::optional<uint64_t> limit, OutputPlan plan, const OuterContext* outer,
                        uint64_t sort_budget);

// A scan of one table: a loaded table's rows in place; the RowCache's rows;
// with an ORDER BY or without a LIMIT, the snapshot read from the page file;
// otherwise (LIMIT without ORDER BY) a cursor over the table's B+tree that
// reads only the rows pulled.
Result<operators::OperatorPtr> open_table_scan(Engine& engine, const std::string& table, bool has_order_by,
                                               bool has_limit);

// A source yielding the rows in order, each once; it owns them.
operators::OperatorPtr rows_source(std::vector<Row> rows);

}  // namespace zembrel::executor

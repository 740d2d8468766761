// Binding of a SELECT: its FROM and JOIN tables laid side by side in one
// joined row, column references resolved to positions in that row, bound
// conditions, and the select list planned into an OutputPlan.
//
// Names (tables, aliases, columns) are compared as exact byte strings. Every
// failure is an Execution EngineError and ends the statement; nothing of the
// engine changes except a RowCache entry for a table read from the page file
// and a page store created for an in-memory database.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "operators/basic.h"
#include "operators/hash_aggregate.h"
#include "operators/predicate.h"
#include "operators/window.h"
#include "parser/ast.h"

namespace zembrel::planner {

// One FROM or JOIN table as bound for a statement.
struct BoundTable {
    std::string name;             // as written
    std::vector<Column> columns;  // the table's columns, in table order
    std::optional<std::string> alias;
    uint64_t offset = 0;          // position of its first column in the joined row
};

// The scope's width: the largest offset plus column count.
uint64_t joined_width(std::span<const BoundTable> tables);

// What fills each output column of a SELECT.
struct OutputPlan {
    enum class Kind : uint8_t { Plain = 0, Aggregate = 1 };
    Kind kind = Kind::Plain;
    std::vector<std::string> columns;  // output names, in select-list order

    // Plain: per output column its position in the joined row, or -1 when
    // it is filled later (a window value or a scalar subquery's value).
    std::vector<int64_t> projection;
    // Plain: (output slot, subquery) per scalar subquery item; the subquery
    // is borrowed from the statement, which outlives the plan.
    std::vector<std::pair<uint64_t, const parser::SelectStatement*>> subqueries;
    std::vector<operators::WindowPlan> windows;

    // Aggregate.
    std::vector<size_t> group_positions;
    std::vector<operators::AggregateCall> aggregates;
    std::vector<operators::AggregateOutput> outputs;
};

// The columns of a table in memory, else of its catalog entry (the page
// store is created first when the engine has none). "table '{}' not found".
Result<std::vector<Column>> table_columns(Engine& engine, const std::string& name);

// The FROM table then each JOIN table, offsets side by side.
Result<std::vector<BoundTable>> bind_tables(Engine& engine, const parser::TableRef& from,
                                            std::span<const parser::Join> joins);
// The same for the HASH literal rewrite: tables found neither in memory nor
// in an existing page store's catalog are left out; never fails and never
// creates a page store.
std::vector<BoundTable> bind_tables_lenient(const Engine& engine, const parser::TableRef& from,
                                            std::span<const parser::Join> joins);

// Whether any of the tables, found as bind_tables_lenient finds them, has
// a HASH column. Copies nothing.
bool names_hash_column(const Engine& engine, const parser::TableRef& from, std::span<const parser::Join> joins);

// Position of a column in the joined row. Errors: "ambiguous column '{}' —
// qualify with table name or alias", "column '{}' not found", "table or
// alias '{}' not found", "column '{}' not found in table '{}'".
Result<uint64_t> resolve_column(std::span<const BoundTable> scope, const parser::ColumnRef& ref);

// Resolves every column reference of a condition outside subqueries (the
// column of an IN (subquery) included), left to right; the first error.
Status check_columns(const parser::Expr& condition, std::span<const BoundTable> scope);

// A subquery-free condition over the joined row. A scalar subquery operand
// fails with "scalar subqueries in comparisons use dynamic evaluation",
// EXISTS and IN (subquery) with "subquery predicates must use dynamic
// evaluation".
Result<operators::BoundPredicate> bind_predicate(const parser::Expr& condition, std::span<const BoundTable> scope);

// The select list (absent items: `*`) with its GROUP BY, against the
// statement's own tables. Errors in the order: GROUP BY columns, "SELECT *
// is not allowed with GROUP BY", then each item in order: resolution
// errors, "column '{}' must appear in GROUP BY or be used in an aggregate",
// "scalar subqueries are not supported with GROUP BY yet", "window
// functions are not supported with GROUP BY yet".
Result<OutputPlan> plan_select_list(std::span<const BoundTable> tables,
                                    const std::optional<std::vector<parser::SelectItem>>& items,
                                    const std::optional<std::vector<parser::ColumnRef>>& group_by);

// Each name's index among the table's columns. "column '{}' not found on '{}'".
Result<std::vector<size_t>> column_positions(const Table& table, std::span<const std::string> names);

}  // namespace zembrel::planner

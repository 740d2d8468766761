// The WHERE of UPDATE and DELETE: one table in scope, the condition checked,
// its HASH literals rewritten, bound, and the rows it passes found. A row
// passes only when the condition is true (three-valued: false and unknown
// both reject it).
#pragma once

#include <memory>
#include <vector>

#include "engine/engine.h"
#include "parser/ast.h"

namespace zembrel::executor {

// A bound WHERE condition of one table; owns what it needs.
class RowFilter {
public:
    struct Bound;
    explicit RowFilter(std::unique_ptr<Bound> bound);
    RowFilter(RowFilter&&) noexcept;
    RowFilter& operator=(RowFilter&&) noexcept;
    ~RowFilter();

    // Positions (ascending) of the table's rows the condition passes. An
    // equality with a literal on the Pk column or on a column with a
    // one-column index narrows the rows through that index first, else a
    // range (comparisons with literals on a column with a one-column index
    // in step with the rows); the result is the same as the scan's.
    std::vector<size_t> matching(const LoadedTables& tables, const Table& table) const;

private:
    std::unique_ptr<Bound> bound_;
};

// Resolves every column reference of the condition against the table
// (errors of the column resolution), then replaces text literals compared
// with a HASH column by their hash, in place (a text the hashing library
// refuses fails the statement).
Status check_where(const Table& table, parser::Expr& condition);

// The bound condition. A subquery cannot be bound: "subquery predicates must
// use dynamic evaluation" (EXISTS, IN (subquery)) and "scalar subqueries in
// comparisons use dynamic evaluation".
Result<RowFilter> bind_where(const Table& table, const parser::Expr& condition);

// The positions of every row (no WHERE).
std::vector<size_t> all_positions(const Table& table);

}  // namespace zembrel::executor

// Conditions between parsing and running: the HASH-literal rewrite, the
// structural tests the planner asks, and the chained rows a condition of a
// correlated subquery reads (the executor's condition_eval.h evaluates
// conditions that hold subqueries).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "planner/select_binding.h"
#include "operators/predicate.h"
#include "parser/ast.h"

namespace zembrel::planner {

// The values of a row of several tables side by side, read where they lie:
// the row of the SELECT around (itself chained, inside a subquery of a
// subquery) followed by the own row. Nesting copies no value, so a deep
// chain of correlated subqueries holds each row once; reading a position
// walks one link per level it lies above the own row.
class ChainedRow {
public:
    explicit ChainedRow(std::span<const Value> own) : own_(own) {}
    // The outer row's positions come first, the own row's follow them.
    ChainedRow(const ChainedRow& outer, std::span<const Value> own)
        : outer_(&outer), outer_width_(outer.size()), own_(own) {}

    size_t size() const { return outer_width_ + own_.size(); }
    const Value& operator[](size_t position) const;

private:
    const ChainedRow* outer_ = nullptr;
    size_t outer_width_ = 0;
    std::span<const Value> own_;
};

// The SELECT around a correlated subquery: its tables and current row.
struct OuterContext {
    std::span<const BoundTable> tables;
    const ChainedRow* row = nullptr;
};

// Replaces each text literal compared with a HASH column (found among
// `tables` by the comparison's left column) by its stored hash, unless it is
// already a "$argon2id$" hash or a 64-digit hex digest. Walks AND, OR and
// NOT; stops at IS [NOT] NULL, EXISTS, IN and subquery operands. A column
// that is not found or not HASH leaves the literal alone; fails only when
// hashing itself fails ("column '{}': hashing failed: {}").
Status hash_condition_literals(parser::Expr& condition, std::span<const BoundTable> tables);

// The rewrite for a whole SELECT, once per statement: its WHERE against its
// own tables, each ON condition against the tables up to its join, and the
// same, recursively, in every subquery of the statement (each against its
// own tables).
Status hash_select_literals(const Engine& engine, parser::SelectStatement& select);

// EXISTS, IN (subquery) or a subquery operand anywhere under AND, OR, NOT.
bool contains_subquery(const parser::Expr& condition);

// The largest joined-row position the condition names (EXISTS and IN count
// as 0); the first resolution error.
Result<uint64_t> max_column_position(const parser::Expr& condition, std::span<const BoundTable> tables);

// Whether a WHERE can be applied right above the FROM table's scan.
Result<bool> where_fits_left_table(const parser::Expr& condition, std::span<const BoundTable> tables,
                                   uint64_t left_width);

// Left key positions and right key positions (relative to the right table)
// of an equi-join ON condition; none when the join is not one.
std::optional<std::pair<std::vector<size_t>, std::vector<size_t>>> equi_join_keys(
    const operators::BoundPredicate& predicate, size_t left_width);

// Whether a condition over `scope` (the outer tables followed by the own
// ones, the first `outer_width` positions the outer row's) may read the
// outer row: a reference resolves to an outer column or fails to resolve,
// or it holds a subquery (which may name outer columns).
bool names_outer_column(const parser::Expr& condition, std::span<const BoundTable> scope, uint64_t outer_width);

// A correlated WHERE with the outer row's values in place of its outer
// column references, as a condition over the statement's own tables that
// gives every own row the same truth: `scope` is the outer tables followed
// by the own ones, the first `outer_width` positions the outer row's. None
// when an outer column stands where no literal can (IS [NOT] NULL, or both
// sides of a comparison), a reference fails to resolve, or the condition
// holds a subquery.
std::optional<parser::Expr> with_outer_values(const parser::Expr& where, std::span<const BoundTable> scope,
                                              uint64_t outer_width, const ChainedRow& outer_row);

}  // namespace zembrel::planner

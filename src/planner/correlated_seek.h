// The index seek a correlated subquery runs for each outer row, chosen once
// per statement from its WHERE and its table's source: which index, and
// where each value of the key (or each end of the range) comes from. The
// executor (executor/correlated_subquery.h) takes the values from the outer
// row, fits them to the index, and tests the candidates with the whole
// WHERE, so the choice never changes which rows qualify.
//
// Inside a correlated subquery a seek only ever runs on one of its own
// columns: the WHERE's top-level AND is read for comparisons between an own
// column and an outer column or a literal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operators/predicate.h"
#include "planner/table_source.h"

namespace zembrel::planner {

// Where one value of a seek key comes from: the outer row, or a literal.
struct KeySource {
    bool outer = true;
    size_t position = 0;  // in the outer row
    Value literal;
};

// The index a WHERE conjunct lets the subquery seek through: a loaded
// table's MemIndex, or an index tree of a table read from the page file.
// Borrows the MemIndex: valid while the statement runs.
struct CorrelatedSeek {
    const MemIndex* index = nullptr;
    std::string page_index;  // the tree's name when `index` is null
    bool range = false;
    std::vector<KeySource> key;             // equality: one per index column
    std::optional<KeySource> lower, upper;  // range on the index's one column
    std::vector<DataType> types;            // the indexed columns' types
    // The WHERE is this one equality on the index's one column: the index
    // alone tells whether a row passes.
    bool whole_where = false;
};

// The seek for a WHERE bound over the outer row (its first `outer_width`
// positions) followed by the own table's row: equalities covering every
// column of an index (the widest such index), else a range on the one
// numeric column of an index; none when no index serves.
std::optional<CorrelatedSeek> plan_correlated_seek(const TableSource& source, const operators::BoundPredicate& where,
                                                   uint64_t outer_width);

}  // namespace zembrel::planner

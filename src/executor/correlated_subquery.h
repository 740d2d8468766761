// A correlated subquery prepared once per statement: bound, its select list
// planned, its WHERE bound over the outer tables followed by its own, and
// the index it seeks through chosen (planner/correlated_seek.h). Each outer row then only supplies its
// values: the seek's key is taken from them and the candidates are tested
// with the whole WHERE, reading the outer row and the own row side by side.
//
// The results are exactly those of running the subquery afresh for the
// outer row (execute_select with that outer context): same rows, same order,
// same errors. Inside a correlated subquery the WHERE is never pushed below
// its joins, and a seek only ever runs on one of its own columns; a value
// that cannot be fitted to the indexed column's kind scans instead.
//
// Lifetime: lives while the statement runs (the subquery cache of the
// SELECT owns it); it borrows the statement's subquery node and the
// engine's tables and indexes, which a SELECT never changes. Thread: the
// engine's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "executor/select.h"
#include "executor/planned.h"
#include "operators/predicate.h"
#include "pagestore/index_cursor.h"
#include "parser/ast.h"

namespace zembrel::executor {

class CorrelatedSubquery {
public:
    // Binds the subquery against `outer`'s tables and its own; the binding
    // errors of execute_select, in its order.
    static Result<std::unique_ptr<CorrelatedSubquery>> prepare(Engine& engine, const parser::SelectStatement& subquery,
                                                              const OuterContext& outer);

    // Whether `outer` has the shape this was prepared for (else the caller
    // runs the subquery afresh).
    bool fits(const OuterContext& outer) const;

    // The subquery's rows for the outer row.
    Result<Rows> run(Engine& engine, const OuterContext& outer);
    // EXISTS: at least one row.
    Result<bool> exists(Engine& engine, const OuterContext& outer);
    // probe IN (subquery), by in_subquery_truth's rules.
    Result<operators::Truth> in(Engine& engine, const Value& probe, const OuterContext& outer);

    CorrelatedSubquery(const CorrelatedSubquery&) = delete;
    CorrelatedSubquery& operator=(const CorrelatedSubquery&) = delete;
    ~CorrelatedSubquery();

private:
    CorrelatedSubquery(const parser::SelectStatement& subquery, BoundSelect bound, std::vector<BoundTable> scope,
                       uint64_t outer_width);
    // Calls `keep(row)` for each own row the WHERE passes, in table order,
    // until it returns false. `rows_after`: later outer rows will want the
    // rows too, not only the index (see seek_page_rows).
    template <class Keep>
    Status visit(Engine& engine, const ChainedRow& outer_row, Keep&& keep, bool rows_after = true);
    // Fits the seek's key (or bounds) from the outer row into key_ (or
    // lower_, upper_): Scan when no key stands for the values (the table is
    // read instead), NoMatch when no row can pass.
    KeyFit fit_seek_key(const ChainedRow& outer_row);
    // Appends the table positions of the seek's candidates; false when the
    // seek cannot serve this outer row (the table is scanned instead).
    bool seek_positions(const ChainedRow& outer_row, std::vector<size_t>& positions);
    // The same through the page file's index tree: the candidates, in table
    // order, as slots of the key hash's rows into slots_ when it holds them,
    // else as row ids into rowids_; false when a scan must serve. When it
    // reads the index's key hash, `rows_after` keeps the rows in it.
    Result<bool> seek_page_rows(Engine& engine, const ChainedRow& outer_row, bool rows_after);
    // The row ids of the entries in the seek's range (or of its key) read
    // from the index tree into rowids_; false when the index is gone.
    Result<bool> seek_page_entries(Engine& engine, PageStore& store);
    // The row under the id, none when it is gone; the view lives until
    // the next fetch.
    Result<std::optional<RowView>> fetch_page_row(uint64_t rowid);
    // Whether some row passes, read from the index alone; none when only
    // the rows can tell.
    std::optional<bool> exists_in_index(const ChainedRow& outer_row);

    const parser::SelectStatement& statement_;
    BoundSelect bound_;
    std::vector<BoundTable> scope_;  // outer tables, then the own ones
    uint64_t outer_width_ = 0;
    std::optional<operators::BoundPredicate> where_;  // present for a WHERE without subqueries
    bool plain_ = false;   // rows go out one per qualifying own row: EXISTS and IN need no pipeline
    const Table* table_ = nullptr;
    std::optional<CorrelatedSeek> seek_;
    std::optional<operators::SharedRows> rows_;  // the own table's rows, read on first scan
    std::vector<size_t> positions_;              // scratch of one seek
    IndexKey key_;                               // scratch of one seek
    std::optional<Value> lower_, upper_;         // scratch of one range seek
    // The page-file seek's cursor and fetcher, reused across outer rows: a
    // key near the last one is found in the leaves in hand. They read the
    // interior pages through interiors_, the fetcher its rows through
    // decoded_.
    std::shared_ptr<InteriorPages> interiors_;
    std::shared_ptr<DecodedRows> decoded_;
    std::optional<IndexCursor> cursor_;
    std::optional<RowFetcher> fetcher_;
    // The index's keys in memory, once a statement has sought one key
    // kSeeksBeforeKeyHash times (null while not, or when too large).
    static constexpr uint64_t kSeeksBeforeKeyHash = 16;
    uint64_t key_seeks_ = 0;
    std::shared_ptr<const PageKeyHash> key_hash_;
    std::vector<uint64_t> rowids_;               // scratch of one page-file seek
    const RowIdList* slots_ = nullptr;           // the same, when the key hash holds the rows
    std::vector<uint8_t> start_;                 // scratch of one page-file seek: its first key
    IndexEntry entry_;                           // scratch of one page-file seek
};

}  // namespace zembrel::executor

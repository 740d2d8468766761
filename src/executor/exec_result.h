// The outcome of one successful statement. The variant index is part of the
// contract: the C API's message table, its auto-save rule and the page-store
// sync select by it, so the alternatives must stay in this order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "types/table.h"
#include "types/value.h"

namespace zembrel {

struct TableCreated { std::string table; };
struct TableAltered { std::string table; };
struct MergePolicySet { std::string table; std::optional<std::string> policy; };  // none = DEFAULT
struct TableDropped { std::string table; };
struct TableTruncated { std::string table; uint64_t removed = 0; };
struct Inserted {
    std::string table;
    uint64_t count = 0;
    std::optional<std::string> pk;  // generated key of a one-row insert into a table with a PK column
    uint64_t total = 0;             // rows in the table afterwards
};
// `positions`, `rowids` and the images hand the changed rows to the execute
// step (the page-store sync by row id, the undo of a failed sync, the
// transaction's row journal, the shadow capture); it empties them before the
// outcome leaves it. The images may borrow texts from the table (its cells
// or its arena): they are read while the table stands as the statement left
// it, and copied where they are kept.
struct Updated {
    uint64_t count = 0;
    std::string table;
    std::vector<size_t> positions;  // of the changed rows, ascending; they stay there
    std::vector<uint64_t> rowids;   // parallel to positions
    std::vector<size_t> columns;    // the columns set, ascending, each once
    FlatRows before;                // each changed row as it was, parallel to positions
};
struct Deleted {
    uint64_t count = 0;
    std::string table;
    uint64_t remaining = 0;
    std::vector<size_t> positions;  // the removed rows had, ascending
    std::vector<uint64_t> rowids;   // parallel to positions
    FlatRows rows;                  // the removed rows, parallel to positions
};
struct Rows { std::vector<std::string> columns; std::vector<Row> rows; };
struct TransactionStarted {};
struct TransactionCommitted {};
struct TransactionRolledBack {};
struct IndexCreated { std::string index; };
struct IndexDropped { std::string index; std::string table; };

// Takes a row result's rows one at a time as the statement produces them,
// each lent for the call only, so a caller that turns rows into something
// else need not hold them all as values first. A statement run with a sink
// gives it every row of a row result, in order, and returns the result
// without rows.
class RowSink {
public:
    virtual void row(RowView row) = 0;

protected:
    ~RowSink() = default;
};

using ExecResult = std::variant<TableCreated, TableAltered, MergePolicySet, TableDropped, TableTruncated, Inserted,
                                Updated, Deleted, Rows, TransactionStarted, TransactionCommitted,
                                TransactionRolledBack, IndexCreated, IndexDropped>;

}  // namespace zembrel

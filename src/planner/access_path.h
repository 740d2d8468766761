// Index roads of a one-table SELECT: the planner's choice of an index
// (plan_access_path, the one decision SELECT and EXPLAIN both follow) and
// the fitting of values to index keys that seeks, joins and correlated
// subqueries share. The executor's index_seek.h reads the rows of a path.
//
// A path never changes which rows qualify.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "planner/select_binding.h"
#include "planner/table_source.h"
#include "parser/ast.h"

namespace zembrel::planner {

// One end of an index range.
struct Bound {
    enum class Kind : uint8_t { Included = 0, Excluded = 1, Unbounded = 2 };
    Kind kind = Kind::Unbounded;
    Value value;
};

// Whether k lies inside the lower (upper) end, under Value::key_cmp.
bool above_lower(const Value& k, const Bound& lower);
bool below_upper(const Value& k, const Bound& upper);

// Doubles below this in magnitude stand for exactly one integer each; past
// it one double is `=` to several Ints, so no single key stands for it.
inline constexpr double kExactIntegers = 9007199254740992.0;

// How a value `=` compares against the keys an index on a column of `type`
// holds: Key sets `key` to the one key every equal value carries; NoMatch
// when no value of the column can equal it; Scan when no single key does
// (the caller reads the table instead).
enum class KeyFit : uint8_t { Key, NoMatch, Scan };
KeyFit fit_equal_key(const Value& probe, DataType type, Value& key);

// A range end's value fitted to the keys of a column of `type`, as a bound
// no tighter than the comparison's: every value it accepts stays inside (the
// WHERE itself decides afterwards). None when no bound in key order holds
// every such value (the caller reads the table instead).
std::optional<Bound> fit_bound(const Value& literal, Bound::Kind kind, DataType type, bool is_lower);

// How a one-table SELECT reads its FROM table through an index: the whole
// key of a composite index, a range on the one column of a single-column
// index (from the engine's in-memory index of a loaded table or from the
// index tree of a table read straight from the page file), or one value of
// the Pk column through a loaded table's primary-key tree (for a table read
// from the page file, through its cached rows keyed by Pk value).
//
// A seek hands its rows on in index order: key order, and within a key the
// order the index holds its row ids in. Nothing else is promised without an
// ORDER BY, so the rows need not come in table order; they all meet the
// whole WHERE. An ordered path (ORDER BY its column, ascending, with a
// LIMIT) delivers the first `limit` rows of that index order that meet the
// whole WHERE, rows with a Null key first, where the sort puts them. Either
// way a path never changes which rows qualify.
struct AccessPath {
    enum class Kind : uint8_t { Composite = 0, Range = 1, PrimaryKey = 2 };
    Kind kind = Kind::Range;
    std::string index;                 // the index used (none for PrimaryKey)
    std::vector<std::string> columns;  // Composite: the index's columns; Range, PrimaryKey: the column
    std::vector<Value> key;            // Composite: one fitted value per column
    Bound lower, upper;                // Range (both Unbounded for an ordered scan without WHERE);
                                       // PrimaryKey: both Included, the one key
    bool in_page_file = false;         // the table's index tree, not a MemIndex
    // At most this many rows, the first in index order (set only where
    // nothing after the WHERE needs more rows: no window function).
    std::optional<uint64_t> limit;
    bool ordered = false;  // rows in ORDER BY order, the LIMIT applied
};

// The path for a SELECT without joins or GROUP BY. Without ORDER BY, for a
// WHERE that pins indexed columns: first an AND of equalities naming exactly
// the columns of a composite index in its order; else a range (AND of
// comparisons with literals on one column): one value of a loaded table's
// Pk column goes through its primary-key tree, any other range through a
// single-column index on the column. With ORDER BY: only one column of the
// FROM table, ascending, a LIMIT, no window function, and a WHERE that is
// absent or a range on that column, read through the primary-key tree (one
// value) or a single-column index (a table read from the page file: without
// WHERE only for a NOT NULL column, since the rows with a Null key sort
// first and only a scan finds them there). ORDER BY ... DESC takes the scan.
// Among several usable indexes the one with the smallest name. A literal that
// cannot be fitted to the column's kind (a text against a number, a number
// outside the Int range), a NULL literal, or an in-memory index not in step
// with the table's rows: no path (the scan answers, and a NULL bound matches
// nothing there). With `aggregates` (aggregates or GROUP BY) only the
// WHERE's path, without limit or order: the seek gives the rows to group.
// Reads only the catalog and the trees' cell counts (for an ordered path
// over a nullable column read from the page file, kept with the RowCache);
// creates no page store.
std::optional<AccessPath> plan_access_path(Engine& engine, const parser::SelectStatement& statement,
                                           const BoundTable& from, bool aggregates);

// The unordered choice for a WHERE over the one table `from` (a correlated
// subquery's WHERE with the outer row's values in place).
std::optional<AccessPath> plan_where_access_path(const Engine& engine, const std::string& table,
                                                 const parser::Expr& where, const BoundTable& from);

}  // namespace zembrel::planner

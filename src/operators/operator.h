// The pull interface of SELECT's physical operators, and the two callables
// operators are given: the row predicate and the row comparator.
//
// A pipeline is a tree of operators; each parent owns its children
// (std::unique_ptr), so releasing the root releases the whole tree, on every
// path. An operator is ready for next() as soon as it is built.
//
// Rows are lent, not handed over: next() returns a view of a row that
// stays valid until the same operator's next() is called again or the
// operator is released, so a scan reads a table in place and a filter never
// copies a row it rejects. A consumer that keeps a row copies it, or takes
// it with take() where the operator can give up its own buffer.
//
// Thread: one pipeline is driven by one thread.
#pragma once

#include <compare>
#include <cstddef>
#include <memory>
#include <vector>

#include "operators/predicate.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::operators {

class Operator {
public:
    virtual ~Operator() = default;

    // Exactly one of three outcomes: a row (a view that tests true, lent as
    // said above), the end (the default view, testing false), or an error. Callers stop at the first end
    // or error and then release the operator.
    virtual Result<RowView> next() = 0;

    // True when every row this operator hands out stays valid and unchanged
    // until the operator is released (a scan over a table or a list, and
    // filters and limits over such a scan). A sort then keeps views
    // instead of copies.
    virtual bool rows_stay_valid() const { return false; }

    // True when the values a lent row reads (texts included) stay valid
    // until the operator is released, even where the row itself does not:
    // a join rebuilds its row per call from images of its inputs' values,
    // which lie in place. A consumer that lives no longer than the operator
    // may then keep images of a row (keep_row) instead of copying it.
    virtual bool values_stay_valid() const { return rows_stay_valid(); }

    // The row the last next() returned, as an owned value: moved out when
    // the operator owns a row it would not hand out again, copied otherwise.
    // Call at most once per row, before the next next(); a consumer that
    // keeps views (rows_stay_valid) does not call it.
    virtual Row take(RowView lent) { return lent.to_row(); }
};

using OperatorPtr = std::unique_ptr<Operator>;

// One ordering key: a position in the rows compared, ascending or not.
struct SortKey {
    size_t position = 0;
    bool ascending = true;
    bool operator==(const SortKey&) const = default;
};

// Compares two rows key by key with Value::sql_cmp; a descending key reverses
// its result; the first key that differs decides; no keys: all rows equal.
// A key position outside a row is a broken invariant and ends the process.
class RowComparator {
public:
    RowComparator() = default;
    explicit RowComparator(std::vector<SortKey> keys) : keys_(std::move(keys)) {}
    std::strong_ordering operator()(RowView a, RowView b) const;
    bool less(RowView a, RowView b) const { return (*this)(a, b) < 0; }
    const std::vector<SortKey>& keys() const { return keys_; }

private:
    std::vector<SortKey> keys_;
};

// A bound condition as a callable: true exactly when the predicate is True
// (False and Indeterminate both reject). No side effect; call it any number
// of times.
class RowPredicate {
public:
    explicit RowPredicate(BoundPredicate predicate) : predicate_(std::move(predicate)) {}
    bool operator()(RowView row) const { return predicate_.eval(row) == Truth::True; }
    const BoundPredicate& predicate() const { return predicate_; }

private:
    BoundPredicate predicate_;
};

// Drains an operator to its end into owned rows (the first error is returned
// and the rows read so far are dropped).
Result<std::vector<Row>> drain(Operator& op);

// A row of images of `row`'s values (Value::lend_from): no text is copied,
// and the row is valid only while the values it reads are. Copying or
// moving one of its values gives an owning value, as for any borrowed text.
Row images_of(RowView row);

// A row `op` lent, kept by a consumer that keeps `op` alive at least as
// long: images where op's values stay valid, else op.take(lent).
Row keep_row(Operator& op, RowView lent);

// Drains `op` to its end onto `out`, each row kept as keep_row keeps it (the
// first error is returned; the rows read so far stay in `out`).
Status keep_all(Operator& op, std::vector<Row>& out);

}  // namespace zembrel::operators

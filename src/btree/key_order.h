// Ordering a table's rows by a key of their values, for building key trees
// from sorted runs instead of one insert per row.
//
// The order is the key order of the values at the given positions, compared
// element by element (Value::key_cmp), ties broken by row position, so equal
// keys keep their rows in table order. Sorting goes by a 128-bit image of
// the first value (Value::key_prefix), a text longer than it by its next
// few bytes as well, and falls back to key_cmp only on ties beyond those;
// input already in order (keys that grow with the rows) is recognised in one
// pass and not sorted at all.
//
// Thread: with a Split of more than one worker, the passes run in parts on
// threads of their own, joined before return; the result is the one-thread
// result exactly. The rows must not change meanwhile.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "types/huge_pages.h"
#include "types/parallel_parts.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel {

struct KeyedRow {
    size_t row;
    bool same_key_as_previous;  // its key equals the previous entry's
};

// The rows that have a value at every position in `positions` (and, with
// `skip_nulls`, no Null among them), in key order. With `prefixes`, it
// receives Value::key_prefix of each entry's first key value, parallel to
// the result (so that a tree built from the run need not compute it again).
// A hint for a pass over `rows` that reads the value at `position` of each
// row in turn, now at row i: starts the memory reads of the rows ahead.
void prefetch_ahead(RowsView rows, size_t i, size_t position);

ScratchVector<KeyedRow> rows_in_key_order(RowsView rows, std::span<const size_t> positions, bool skip_nulls,
                                        std::vector<unsigned __int128>* prefixes = nullptr, const Split& split = {});

// A row and an image of its key that decides the key's order wholly:
// equal images are equal keys.
struct ImageRow {
    unsigned __int128 prefix;
    size_t row;
};
// Sorts by image, equal images by row.
void sort_image_rows(ScratchVector<ImageRow>& rows, const Split& split = {});

}  // namespace zembrel

// Reading every row of a large table with worker threads: the leaves the
// interior pages name are split into runs, each read twice, each pass one
// round of a crew. In a first pass the crew's threads take runs in order
// and count their rows from the leaves' headers (a count alone reads and
// checks the pages whole); the calling thread then gives each run, in
// order, the place of its rows at the end of the table, and in a second
// pass the threads read the runs whole, check them against the counts and
// decode them there, long texts into an arena of each thread's, drawing on
// room shared by all. Every thread reads the page file through a handle of
// its own. Runs holding a page that the pager's cache or log holds a newer
// copy of are read by the calling thread through the pager (the only thread
// that touches it), in both passes.
//
// The road takes only what the sequential leaf-chain walk would read the
// same way: a tree with interior pages above its leaves, each leaf linked to
// the next one they name, in-line values, Int keys, rows of the table's
// width and pages that read without fault. Anything else (a damaged page
// included) ends it with false, and the caller reads the table the
// sequential way, which meets every error in row order as always.
//
// Ownership: borrows the store's pager for the call. Thread: the pager's;
// the crew's rounds are done before the call returns, and a crew made for
// the call is joined by then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "types/table.h"

namespace zembrel {

struct PageStore;
class Crew;
struct CatalogEntry;

// The rows to reserve before reading the table of `entry`: every id handed
// out so far, or 0 when that is far more than the file could hold (a
// damaged counter). Rows deleted since leave room that is never touched,
// and so never made resident; counting the tree's entries instead would
// read every leaf page twice.
uint64_t rows_to_reserve(const PageStore& store, const CatalogEntry& entry);

// Fills `table` (no rows or ids yet, its columns set) with the rows and row
// ids of the tree rooted at `root`, their long texts into its arena, with
// `workers` threads decoding (at least one). A tree of more than
// `most_rows` rows is not taken (see rows_to_reserve). False when the road
// did not take the table; `table`'s rows, ids and arena are then
// unspecified.
bool read_rows_in_parallel(PageStore& store, uint64_t root, Table& table, uint64_t most_rows, size_t workers);
// The same with the threads of `crew` (kept for the passes that follow,
// such as the sorts of the table's key trees).
bool read_rows_in_parallel(PageStore& store, uint64_t root, Table& table, uint64_t most_rows, Crew& crew);

// The entries of the tree rooted at `root` (a table's or an index's), its
// leaves checked as the first pass above checks them, by `workers` threads;
// none when the road did not take the tree (the sequential count meets
// whatever stopped it).
std::optional<uint64_t> count_entries_in_parallel(PageStore& store, uint64_t root, size_t workers);

}  // namespace zembrel

// Index seeks on a table read straight from the page file: the road of an
// AccessPath whose index is a tree of the page store (planner/access_path.h plans it
// and hands the rows on). The table stays unloaded; only the index entries
// in the range and the rows they name are read.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "executor/index_seek.h"
#include "pagestore/page_store.h"

namespace zembrel::executor {

// The rows of `path` over the table's index tree, handed to `take` (a
// view that lives for the call only), which says whether the row counts
// against the path's limit: in index order, the entries from the start key
// up to the first one past the range (or the key), each row fetched and
// handed on in that order; in table order, the row ids of those entries
// sorted and the rows fetched in that order. An entry whose row is gone (a
// stale entry) is passed over and the walk goes on, so a LIMIT still gets
// its rows; in index order an entry whose row now holds other values is
// passed over too (the row has its own entry). False when the catalog
// lacks the table or the index. Errors: the index tree's and table tree's,
// the key decoder's, and "row {} of table '{}' holds {} values for {}
// columns" for a stored row of the wrong width. An ordered path wants
// index order. The interior pages come from `interiors` (page_interiors),
// the rows through `decoded` (page_decoded_rows).
Result<bool> page_seek_rows(PageStore& store, InteriorPages& interiors, DecodedRows& decoded, const std::string& table,
                            const AccessPath& path, SeekOrder order, const std::function<bool(RowView)>& take);

// The interior pages of a table read from the page file that seeks keep
// for later statements (with the RowCache's facts, so dropped by every
// write).
std::shared_ptr<InteriorPages> page_interiors(Engine& engine, const std::string& table);
// The same of the rows fetched by id from the table's tree.
std::shared_ptr<DecodedRows> page_decoded_rows(Engine& engine, const std::string& table);

// The keys of a single-column index tree of a table read from the page
// file with their live entries (an entry whose row is gone or holds another
// key is left out, so a key found has a row that holds it), read once and
// kept with the RowCache's facts (dropped by every write), for statements
// that look many keys up. The entries are checked by one pass over the
// table's leaves (read ahead), each row an entry names decoded; a table of
// at least the engine's parallel_rows rows is read whole by worker threads
// instead, when that road takes it (all joined before the call returns);
// the hash itself is built on the calling thread. With
// `keep_rows` (for a caller that reads the rows next) the rows of the live
// entries are kept in the hash, unless they would take more than
// DecodedRows::kMaxBytes. Null when the index has more than one column,
// holds more than kMaxKeyHashEntries entries, is not in the catalog, or its
// trees are damaged where the pass reads them (the seek road then reports
// what it meets).
inline constexpr uint64_t kMaxKeyHashEntries = uint64_t{1} << 20;
std::shared_ptr<const PageKeyHash> page_key_hash(Engine& engine, const std::string& table, const std::string& index,
                                                 bool keep_rows);

// The rows of a table read from the page file whose Pk value (column
// `pk_column`) equals `key` under the key order, in table order. The page
// file has no primary-key tree: the first lookup reads the table into the
// RowCache (as a scan would) and keys its rows by Pk value once; the
// later ones look the key up there. Errors: those of the snapshot.
Result<std::vector<Row>> page_pk_rows(Engine& engine, const std::string& table, size_t pk_column, const Value& key);

}  // namespace zembrel::executor

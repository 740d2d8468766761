// The catalog tree: one B+tree record per table of a page file, rooted at the
// pager's catalog_root.
//
//   key    key encoding of Text(table name)  (keycodec::catalog_key)
//   value  the CatalogEntry's compact JSON text (catalog_entry.h)
//
// Writes change pages in the pager's cache only; the next commit makes them
// durable. Thread: the thread that owns the pager (or snapshot).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bptree/bptree.h"
#include "catalog/catalog_entry.h"
#include "pager/pager.h"
#include "types/error.h"

namespace zembrel {

using NamedCatalogEntry = std::pair<std::string, CatalogEntry>;

// Inserts or replaces the table's record with the whole entry (its stored
// fields; rowid_counter is never stored). A root that moves is recorded in
// the pager (catalog_root, header_dirty). Errors: Storage "catalog encode
// failed: {}" before anything is touched; the B+tree's errors unchanged,
// with catalog_root as it was.
Status write_catalog_entry(Pager& pager, std::string_view table, const CatalogEntry& entry);

// Every record from the cursor on, in key order, parsed but not derived.
// Errors: the tree's and the key codec's unchanged; Storage "invalid catalog
// key: {}" (the key's value in debug form) for a key that is not a Text;
// Storage "corrupt catalog entry '{}': {}" with the table name and the JSON
// reader's text.
Result<std::vector<NamedCatalogEntry>> read_catalog_records(BPlusTreeCursor& cursor);

// The catalog of an opened page file, in key order, each entry with its
// derived fields (CatalogEntry::derive_fields; its refusal is reported as
// "corrupt catalog entry '{}': {}" too). A catalog_root of 0 gives no entries.
Result<std::vector<NamedCatalogEntry>> load_catalog_entries(Pager& pager);

// The catalog as of a read snapshot (parsed, not derived).
Result<std::vector<NamedCatalogEntry>> load_catalog_entries(const PagerSnapshot& snapshot);

}  // namespace zembrel

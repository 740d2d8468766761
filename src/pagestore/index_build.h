// The two halves of an index rebuild, split so that a table rewrite can check
// every index key before it frees anything: `prepare_index_rebuild` builds
// and checks the sorted keys of every index of an entry without touching a
// page; `apply_index_rebuild` then frees each old index tree, bulk-loads the
// new one and sets its root in the in-memory entry (the caller writes the
// entry). Internal to the page store.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "catalog/catalog_entry.h"
#include "pagestore/index_keys.h"
#include "types/error.h"

namespace zembrel {

struct PageStore;

struct PreparedIndex {
    std::string name;
    uint64_t old_root = 0;
    KeyBatch keys;  // sorted
};
using PreparedIndexes = std::vector<PreparedIndex>;

// Keys of every index of `entry` over `rows` (row ids 1..n by position).
// Errors: "key length {} exceeds maximum {}"; for a unique index whose rows
// repeat a key, "unique constraint violated: duplicate key {}".
Result<PreparedIndexes> prepare_index_rebuild(const CatalogEntry& entry, RowsView rows);
Status apply_index_rebuild(PageStore& store, const std::string& table, PreparedIndexes prepared);

}  // namespace zembrel

// Moving tables between the page store and the in-memory Database: lazy
// loading by name, whole-database passes, the name maps filled from the
// catalog, and the return to the last commit after a failed write.

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

#include "catalog/catalog_store.h"
#include "engine/engine.h"
#include "pagestore/parallel_rows.h"
#include "types/parallel_parts.h"
#include "types/sorted_names.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

// Ids were handed out below the counter; keep the next one above them all
// even if the counter was damaged.
void keep_next_rowid_above(Table& table) {
    if (!table.rowids.empty() && table.next_rowid <= table.rowids.back()) table.next_rowid = table.rowids.back() + 1;
}

// Appends the cursor's rows and their ids to `table`, `expected` rows
// reserved for up front; next_rowid ends above every id read. Each row is
// decoded straight into its cells in the table, its long texts into the
// table's arena.
Status read_table_rows(TableCursor& cursor, Table& table, uint64_t expected) {
    const size_t width = table.columns.size();
    table.rows.reserve(expected, width);
    table.rowids.reserve(expected);
    Value rowid;
    Row other;
    for (;;) {
        auto next = cursor.next_row_cells(rowid, table.rows, width, other, &table.text_arena);
        if (!next) return fail(next.error());
        if (*next == TableCursor::Read::End) break;
        if (!rowid.is_int()) return storage_error("table row key must be Int rowid");
        if (*next == TableCursor::Read::OtherWidth)
            return storage_error(format("row {} of table '{}' holds {} values for {} columns", rowid.as_int(),
                                        table.name, other.size(), width));
        table.rowids.push_back(static_cast<uint64_t>(rowid.as_int()));
    }
    keep_next_rowid_above(table);
    return {};
}

}  // namespace

Status Engine::ensure_table_loaded(std::string_view name) {
    std::string key(name);
    if (tables.database.tables.contains(key)) return {};
    auto store = ensure_page_store();
    if (!store) return fail(store.error());
    const CatalogEntry* entry = (*store)->catalog.get(name);
    if (entry == nullptr) return {};  // no such table; the statement's own checks report it

    const auto fresh_table = [&] {
        Table table;
        table.name = key;
        table.columns = entry->columns;
        table.next_rowid = entry->rowid_counter;
        return table;
    };
    const uint64_t expected = rows_to_reserve(**store, *entry);
    std::optional<Table> table;
    const size_t cores = std::thread::hardware_concurrency();
    const bool parallel = expected >= tables.parallel_rows && cores >= 2;
    // One crew for the read and every sorting pass after it: starting
    // threads in a fresh process costs up to a few milliseconds.
    std::optional<Crew> crew;
    if (parallel) {
        crew.emplace(cores);
        table.emplace(fresh_table());
        if (read_rows_in_parallel(**store, entry->root, *table, expected, *crew)) keep_next_rowid_above(*table);
        else table.reset();  // whatever stopped that road, the sequential one meets in its order
    }
    if (!table) {
        auto cursor = TableCursor::open(**store, key);
        if (!cursor) return fail(cursor.error());
        cursor->read_ahead();
        table.emplace(fresh_table());
        if (auto st = read_table_rows(*cursor, *table, expected); !st) return st;
    }
    tables.database.tables.emplace(key, std::move(*table));
    // Sorting keys splits into parts of as many rows as make the decode
    // worth threads. A fresh process pays for every page its sort arrays
    // touch first, and split that cost is shared: at 100,000 rows the split
    // load is about a third quicker.
    tables.rebuild_indexes(name, parallel ? Split{cores, tables.parallel_rows, &*crew} : Split{});
    return {};
}

Status Engine::load_table_from_snapshot(const PagerSnapshot& snapshot, std::string_view name,
                                        const CatalogEntry& entry) {
    Table table;
    table.name = std::string(name);
    table.columns = entry.columns;
    table.next_rowid = 1;
    auto cursor = TableCursor::open_snapshot(snapshot, entry.root);
    if (!cursor) return fail(cursor.error());
    if (auto st = read_table_rows(*cursor, table, 0); !st) return st;
    tables.forget_table(table.name);
    tables.database.tables.emplace(table.name, std::move(table));
    tables.rebuild_indexes(name);
    return {};
}

Status Engine::load_all_tables() {
    auto store = ensure_page_store();
    if (!store) return fail(store.error());
    for (const std::string& name : sorted_keys((*store)->catalog.entries())) {
        if (auto st = ensure_table_loaded(name); !st) return st;
    }
    return {};
}

Status Engine::materialize_tables() {
    auto got = ensure_page_store();
    if (!got) return fail(got.error());
    PageStore& store = **got;
    for (auto& [name, table] : tables.database.tables) {
        Status st = store.catalog.contains(name) ? store.set_table_columns(name, table.columns)
                                                  : store.create_table(name, table.columns);
        if (!st) return st;
        if (st = store.rewrite_table(name, table.rows); !st) return st;
        // The store numbered the rows 1..n; memory follows so that ids agree.
        table.renumber_rowids();
        tables.rebuild_indexes(name);
        if (st = store_memory_only_indexes(name); !st) return st;
        auto policy = tables.merge_policies.find(name);
        if (policy != tables.merge_policies.end()) {
            const CatalogEntry* entry = store.catalog.get(name);
            if (entry != nullptr && entry->merge_policy != policy->second) {
                if (st = store.set_merge_policy(name, policy->second); !st) return st;
            }
        }
    }
    return {};
}

Status Engine::store_memory_only_indexes(const std::string& table) {
    PageStore& store = *file.page_store;
    for (const MemIndexInfo& info : tables.mem_indexes.indexes_of_table(table)) {
        const CatalogEntry* entry = store.catalog.get(table);
        if (entry == nullptr) return {};
        if (entry->has_index(info.name)) continue;
        const MemIndex* index = tables.mem_indexes.get(info.name);
        if (auto st = store.create_index(table, index->name, index->columns, index->unique); !st) return st;
    }
    return {};
}

void Engine::refresh_pk_indexes() {
    for (const auto& [name, table] : tables.database.tables) tables.rebuild_pk_index(name);
}

void Engine::rebuild_name_maps() {
    if (!file.page_store) return;
    const Catalog& catalog = file.page_store->catalog;
    for (const std::string& name : sorted_keys(catalog.entries())) {
        const CatalogEntry* entry = catalog.get(name);
        if (entry->merge_policy) tables.merge_policies[name] = *entry->merge_policy;
        bool added = false;
        for (const IndexCatalogEntry& ix : entry->indexes) {
            if (tables.mem_indexes.contains(ix.name)) continue;
            tables.mem_indexes.insert(MemIndex(ix.name, name, ix.columns, ix.positions, ix.unique));
            added = true;
        }
        // A loaded table's new definitions are filled at once, positioned by
        // the columns memory has (a transaction may have changed them).
        if (added && tables.find(name) != nullptr) tables.refit_indexes(name);
    }
}

Status Engine::reset_to_last_commit() {
    tables.clear();
    txn.clear();
    if (!file.page_store) return {};
    Status rolled = file.page_store->pager->rollback();
    if (auto st = reload_catalog(); !st) return st;
    return rolled;
}

Status Engine::reload_catalog() {
    if (!file.page_store) return {};
    file.page_store->catalog.clear();
    auto entries = load_catalog_entries(*file.page_store->pager);
    file.catalog_stale = !entries.has_value();
    if (!entries) return fail(entries.error());
    for (auto& [name, entry] : *entries) file.page_store->catalog.put(std::move(name), std::move(entry));
    rebuild_name_maps();
    return {};
}

}  // namespace zembrel

// Mirroring finished statement outcomes into the page store's cache.
//
// Row ids: the page store hands out the ids of stored rows (next_rowid from
// its persisted counter); the in-memory table takes them over, so memory and
// file always agree on which id names which row. A rewrite numbers the rows
// 1..n in both.

#include <algorithm>
#include <span>
#include <type_traits>
#include <utility>

#include "types/sorted_names.h"
#include "executor/execute.h"
#include "executor/handlers.h"
#include "types/text_format.h"

namespace zembrel::executor {

void renumber_in_memory(Engine& engine, const std::string& name) {
    auto it = engine.tables.database.tables.find(name);
    if (it == engine.tables.database.tables.end()) return;
    it->second.renumber_rowids();
    engine.tables.rebuild_indexes(name);
}

void adopt_stored_rowids(Engine& engine, const std::string& name, size_t first, const std::vector<uint64_t>& ids,
                         uint64_t next_rowid) {
    auto it = engine.tables.database.tables.find(name);
    if (it == engine.tables.database.tables.end()) return;
    Table& table = it->second;
    bool changed = false;
    for (size_t i = 0; i < ids.size() && first + i < table.rowids.size(); ++i) {
        if (table.rowids[first + i] != ids[i]) {
            table.rowids[first + i] = ids[i];
            changed = true;
        }
    }
    table.next_rowid = next_rowid;
    // Ids normally agree already (memory counts from the store's counter);
    // only after they drifted apart do the indexes need a rebuild.
    if (changed) {
        engine.tables.rebuild_indexes(name);
    }
}

namespace {

// The in-memory table an outcome names; a handler that succeeded left it there.
Result<const Table*> loaded_table(const Engine& engine, const std::string& name) {
    const Table* table = engine.tables.find(name);
    if (table == nullptr) return execution_error(format("table '{}' not found", name));
    return table;
}

// The next row id the store will hand out for the table.
uint64_t stored_next_rowid(PageStore& store, const std::string& name, uint64_t fallback) {
    const CatalogEntry* entry = store.catalog.get(name);
    return entry ? entry->rowid_counter : fallback;
}

// Appends rows [first, end) of the in-memory table under ids from the store.
Status append_rows(Engine& engine, PageStore& store, const std::string& name, size_t first) {
    auto found = loaded_table(engine, name);
    if (!found) return fail(found.error());
    const Table& table = **found;
    auto ids = store.insert_rows(name, RowsView(table.rows, first));
    if (!ids) return fail(ids.error());
    adopt_stored_rowids(engine, name, first, *ids, stored_next_rowid(store, name, table.next_rowid));
    return {};
}

// Index trees and the merge policy that memory has and the stored entry
// lacks: those of a table created in the open transaction reach the file
// together with the table.
Status reconcile_table_extras(Engine& engine, PageStore& store, const std::string& name) {
    if (auto st = engine.store_memory_only_indexes(name); !st) return st;
    const CatalogEntry* entry = store.catalog.get(name);
    if (entry == nullptr) return {};
    std::optional<std::string> wanted;
    if (auto p = engine.tables.merge_policies.find(name); p != engine.tables.merge_policies.end()) wanted = p->second;
    if (entry->merge_policy != wanted) return store.set_merge_policy(name, std::move(wanted));
    return {};
}

// Stored indexes of the table that memory no longer has as stored: DROP
// COLUMN or DROP INDEX took them in memory (inside a transaction), or a
// CREATE INDEX gave the name a new definition, and the store follows at
// COMMIT.
Status drop_indexes_memory_lacks(Engine& engine, PageStore& store, const std::string& name) {
    const CatalogEntry* entry = store.catalog.get(name);
    if (entry == nullptr) return {};
    std::vector<std::string> gone;
    for (const IndexCatalogEntry& index : entry->indexes) {
        const MemIndex* mem = engine.tables.mem_indexes.get(index.name);
        if (mem == nullptr || mem->table != name || mem->columns != index.columns || mem->unique != index.unique)
            gone.push_back(index.name);
    }
    for (const std::string& index : gone) {
        if (auto st = store.drop_index(name, index); !st) return st;
    }
    return {};
}

// The rows of an UPDATE or DELETE, by row id.
Status write_updated(PageStore& store, const Table& table, const Updated& r) {
    std::vector<StoredRowChange> changes;
    changes.reserve(r.positions.size());
    for (size_t c = 0; c < r.positions.size(); ++c) {
        const RowView before = r.before[c];
        const RowView after = table.rows[r.positions[c]];
        // A row set to the values it had needs no page.
        if (std::ranges::all_of(r.columns, [&](size_t k) { return before[k] == after[k]; })) continue;
        changes.push_back(StoredRowChange{r.rowids[c], before, after});
    }
    if (changes.empty()) return {};
    return store.apply_row_changes(r.table, changes, 0);
}

Status write_deleted(PageStore& store, const Deleted& r) {
    std::vector<StoredRowChange> changes;
    changes.reserve(r.rows.size());
    for (size_t c = 0; c < r.rows.size(); ++c) changes.push_back(StoredRowChange{r.rowids[c], r.rows[c], {}});
    return store.apply_row_changes(r.table, changes, 0);
}

// The difference between a table's pre-image (what the store holds) and
// memory, by row id; none when the two cannot be paired that way.
std::optional<std::vector<StoredRowChange>> difference(const Table& stored, const Table& now) {
    if (stored.rows.size() != stored.rowids.size() || now.rows.size() != now.rowids.size()) return std::nullopt;
    if (!std::is_sorted(stored.rowids.begin(), stored.rowids.end()) ||
        !std::is_sorted(now.rowids.begin(), now.rowids.end()))
        return std::nullopt;
    std::vector<StoredRowChange> out;
    size_t i = 0, j = 0;
    while (i < stored.rows.size() || j < now.rows.size()) {
        if (j == now.rows.size() || (i < stored.rows.size() && stored.rowids[i] < now.rowids[j])) {
            out.push_back(StoredRowChange{stored.rowids[i], stored.rows[i], {}});
            ++i;
        } else if (i == stored.rows.size() || now.rowids[j] < stored.rowids[i]) {
            out.push_back(StoredRowChange{now.rowids[j], {}, now.rows[j]});
            ++j;
        } else {
            if (stored.rows[i] != now.rows[j])
                out.push_back(StoredRowChange{now.rowids[j], stored.rows[i], now.rows[j]});
            ++i;
            ++j;
        }
    }
    return out;
}

// The same from a row journal: the journaled rows as they are now (or gone),
// then the rows new in the transaction, which follow every stored one.
std::optional<std::vector<StoredRowChange>> journal_difference(const Table& now, const RowJournal& journal) {
    if (now.rows.size() != now.rowids.size() || !std::is_sorted(now.rowids.begin(), now.rowids.end()))
        return std::nullopt;
    std::vector<uint64_t> ids;
    ids.reserve(journal.originals.size());
    for (const auto& [id, row] : journal.originals) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    std::vector<StoredRowChange> out;
    out.reserve(ids.size());
    for (uint64_t id : ids) {
        const Row& before = journal.originals.find(id)->second;
        auto it = std::lower_bound(now.rowids.begin(), now.rowids.end(), id);
        if (it == now.rowids.end() || *it != id) {
            out.push_back(StoredRowChange{id, before, {}});
            continue;
        }
        const RowView after = now.rows[static_cast<size_t>(it - now.rowids.begin())];
        if (after != RowView(before)) out.push_back(StoredRowChange{id, before, after});
    }
    auto first_new = std::upper_bound(now.rowids.begin(), now.rowids.end(), journal.last_stored_id);
    for (auto it = first_new; it != now.rowids.end(); ++it)
        out.push_back(StoredRowChange{*it, {}, now.rows[static_cast<size_t>(it - now.rowids.begin())]});
    return out;
}

// A table whose rows the transaction changed in place: the difference to
// the pre-image when the store still holds exactly that, else a rewrite.
// True when the caller must renumber memory after a rewrite.
Result<bool> write_changes(PageStore& store, const Table& table, const TxnPreImage* pre) {
    const CatalogEntry* entry = store.catalog.get(table.name);
    const bool stored_as_before = pre != nullptr && !pre->drop_recorded && entry != nullptr && entry->columns == table.columns;
    if (stored_as_before && pre->journal) {
        if (auto changes = journal_difference(table, *pre->journal)) {
            if (auto st = store.apply_row_changes(table.name, *changes, table.next_rowid); !st) return fail(st.error());
            return false;
        }
    }
    if (stored_as_before && pre->table && entry->columns == pre->table->columns) {
        if (auto changes = difference(*pre->table, table)) {
            if (auto st = store.apply_row_changes(table.name, *changes, table.next_rowid); !st) return fail(st.error());
            return false;
        }
    }
    if (auto st = store.rewrite_table(table.name, table.rows); !st) return fail(st.error());
    return true;
}

Status sync_commit(Engine& engine) {
    auto got = engine.ensure_page_store();
    if (!got) return fail(got.error());
    PageStore& store = **got;
    TxnChangedTables changed = std::exchange(engine.txn.changed_tables, {});
    TableSyncModeMap modes = std::exchange(engine.txn.sync_modes, {});
    std::optional<TxnSnapshot> pre_images = std::exchange(engine.txn.committing, std::nullopt);
    const std::vector<std::string> index_ddl =
        tables_whose_indexes_differ(engine.tables.mem_indexes, std::exchange(engine.txn.indexes_at_begin, {}));

    // Index names are unique across the database: every stored index that
    // went, or moved to another table, leaves before any is created.
    for (const std::string& name : index_ddl) {
        if (auto st = drop_indexes_memory_lacks(engine, store, name); !st) return st;
    }

    std::vector<std::string> renumber;
    // Filled in this transaction and loaded 1..n: ids that are 1..n already
    // need no renumbering, and the indexes built row by row stay.
    std::vector<std::string> bulk_loaded;
    for (const std::string& name : sort_names(changed)) {
        auto it = engine.tables.database.tables.find(name);
        if (it == engine.tables.database.tables.end()) {
            if (store.catalog.contains(name)) {
                if (auto st = store.drop_table(name); !st) return st;
            }
            continue;
        }
        const Table& table = it->second;
        if (auto st = drop_indexes_memory_lacks(engine, store, name); !st) return st;
        if (const CatalogEntry* entry = store.catalog.get(name)) {
            if (entry->columns != table.columns) {
                if (auto st = store.set_table_columns(name, table.columns); !st) return st;
            }
        } else if (auto st = store.create_table(name, table.columns); !st) {
            return st;
        }

        auto mode = modes.find(name);
        if (mode != modes.end() && mode->second.mode == TableSyncMode::Changes) {
            const TxnPreImage* pre = nullptr;
            if (pre_images) {
                if (auto p = pre_images->find(name); p != pre_images->end()) pre = &p->second;
            }
            auto rewritten = write_changes(store, table, pre);
            if (!rewritten) return fail(rewritten.error());
            if (*rewritten) renumber.push_back(name);
        } else if (mode == modes.end() || mode->second.mode == TableSyncMode::Rewrite) {
            if (auto st = store.rewrite_table(name, table.rows); !st) return st;
            renumber.push_back(name);
        } else {
            uint64_t base = mode->second.base_rows;
            uint64_t rows = table.rows.size();
            if (base > rows)
                return storage_error(format("append sync base_rows {} exceeds row count {}", base, rows));
            if (base < rows) {
                const CatalogEntry* entry = store.catalog.get(name);
                auto empty = BPlusTree::is_empty(*store.pager, entry->root);
                if (!empty) return fail(empty.error());
                if (base == 0 && *empty) {
                    // A table filled in this transaction: one bulk load.
                    if (auto st = store.replace_table_rows(name, table.rows); !st) return st;
                    bulk_loaded.push_back(name);
                } else if (auto st = append_rows(engine, store, name, base); !st) {
                    return st;
                }
            }
        }
        if (auto st = reconcile_table_extras(engine, store, name); !st) return st;
    }
    // Indexes created on tables whose rows did not change: the store builds
    // them from the rows it holds, which are memory's.
    for (const std::string& name : index_ddl) {
        if (changed.contains(name) || !store.catalog.contains(name)) continue;
        if (auto st = engine.store_memory_only_indexes(name); !st) return st;
    }
    for (const std::string& name : renumber) renumber_in_memory(engine, name);
    for (const std::string& name : bulk_loaded) {
        Table* table = engine.tables.find_owned(name);
        if (table == nullptr) continue;
        bool numbered = table->rowids.size() == table->rows.size();
        for (size_t i = 0; numbered && i < table->rowids.size(); ++i) numbered = table->rowids[i] == i + 1;
        if (numbered) table->next_rowid = table->rowids.size() + 1;
        else renumber_in_memory(engine, name);
    }
    return {};
}

}  // namespace

Status sync_to_page_store(Engine& engine, const ExecResult& result) {
    if (engine.settings.skip_persist) return {};
    return std::visit(
        [&engine](const auto& r) -> Status {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, TableCreated>) {
                auto table = loaded_table(engine, r.table);
                if (!table) return fail(table.error());
                std::vector<Column> columns = (*table)->columns;
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                return (*store)->create_table(r.table, std::move(columns));
            } else if constexpr (std::is_same_v<T, TableAltered>) {
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                auto found = loaded_table(engine, r.table);
                if (!found) return fail(found.error());
                const Table& table = **found;
                if (auto st = drop_indexes_memory_lacks(engine, **store, r.table); !st) return st;
                if (auto st = (*store)->set_table_columns(r.table, table.columns); !st) return st;
                if (auto st = (*store)->rewrite_table(r.table, table.rows); !st) return st;
                renumber_in_memory(engine, r.table);
                return {};
            } else if constexpr (std::is_same_v<T, MergePolicySet>) {
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                if (!(*store)->catalog.contains(r.table)) return {};
                return (*store)->set_merge_policy(r.table, r.policy);
            } else if constexpr (std::is_same_v<T, TableDropped>) {
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                if (!(*store)->catalog.contains(r.table)) return {};
                return (*store)->drop_table(r.table);
            } else if constexpr (std::is_same_v<T, TableTruncated>) {
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                auto it = engine.tables.database.tables.find(r.table);
                if ((*store)->catalog.contains(r.table)) {
                    const RowsView rows = it == engine.tables.database.tables.end() ? RowsView() : RowsView(it->second.rows);
                    if (auto st = (*store)->rewrite_table(r.table, rows); !st) return st;
                }
                renumber_in_memory(engine, r.table);
                return {};
            } else if constexpr (std::is_same_v<T, Inserted>) {
                if (r.count == 0) return {};
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                auto found = loaded_table(engine, r.table);
                if (!found) return fail(found.error());
                const Table& table = **found;
                if (!(*store)->catalog.contains(r.table)) {
                    if (auto st = (*store)->create_table(r.table, table.columns); !st) return st;
                }
                return append_rows(engine, **store, r.table, table.rows.size() - r.count);
            } else if constexpr (std::is_same_v<T, Updated> || std::is_same_v<T, Deleted>) {
                if (r.count == 0) return {};
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                auto found = loaded_table(engine, r.table);
                if (!found) return fail(found.error());
                // Memory and file name each row by the same id, so the
                // changed rows go in by id; a table the store lacks (never
                // the case once created) is written whole.
                if (!(*store)->catalog.contains(r.table)) {
                    if (auto st = (*store)->create_table(r.table, (*found)->columns); !st) return st;
                    if (auto st = (*store)->rewrite_table(r.table, (*found)->rows); !st) return st;
                    renumber_in_memory(engine, r.table);
                    return {};
                }
                if constexpr (std::is_same_v<T, Updated>) return write_updated(**store, **found, r);
                else return write_deleted(**store, r);
            } else if constexpr (std::is_same_v<T, TransactionCommitted>) {
                return sync_commit(engine);
            } else if constexpr (std::is_same_v<T, IndexCreated>) {
                const MemIndex* index = engine.tables.mem_indexes.get(r.index);
                if (index == nullptr) return execution_error(format("index '{}' not found", r.index));
                std::string table = index->table;
                std::vector<std::string> columns = index->columns;
                bool unique = index->unique;
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                return (*store)->create_index(table, r.index, columns, unique);
            } else if constexpr (std::is_same_v<T, IndexDropped>) {
                auto store = engine.ensure_page_store();
                if (!store) return fail(store.error());
                const CatalogEntry* entry = (*store)->catalog.get(r.table);
                if (entry == nullptr) return {};
                if (!entry->has_index(r.index)) return {};
                return (*store)->drop_index(r.table, r.index);
            } else {
                return {};  // Rows, TransactionStarted, TransactionRolledBack
            }
        },
        result);
}

}  // namespace zembrel::executor

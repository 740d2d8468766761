// BEGIN, COMMIT and ROLLBACK.
//
// Inside a transaction statements change memory only, except the outcomes
// that reach the page store at once (merge policy, DROP TABLE of a stored
// table). Index DDL waits for COMMIT like the rows do: BEGIN notes every
// index definition, and ROLLBACK puts exactly those back. ROLLBACK therefore
// puts each touched table's pre-image back in memory and, for a table whose
// drop already reached the store, builds it there again with the indexes
// BEGIN found and its merge policy. A table still in the store holds exactly
// its pre-image there (nothing else of it was written), so it is left alone.

#include <algorithm>
#include <utility>
#include <vector>

#include "types/sorted_names.h"
#include "executor/handlers.h"

namespace zembrel::executor {

namespace {

// The stored side of bringing back a table whose drop was already mirrored.
Status restore_dropped_in_store(PageStore& store, const TxnPreImage& pre, const Table& table, const std::string& name,
                                const std::vector<MemIndex>& indexes_at_begin) {
    if (auto st = store.create_table(name, table.columns); !st) return st;
    if (auto st = store.replace_table_rows(name, table.rows); !st) return st;
    for (const MemIndex& index : indexes_at_begin) {
        if (index.table != name) continue;
        if (auto st = store.create_index(name, index.name, index.columns, index.unique); !st) return st;
    }
    if (pre.dropped_merge_policy) return store.set_merge_policy(name, pre.dropped_merge_policy);
    return {};
}

// Makes memory's index definitions those of BEGIN again and returns the
// tables whose definitions changed: theirs are all put back as BEGIN had
// them (every other table's are alike already). Entries are left empty:
// the caller refills the indexes of loaded tables.
std::vector<std::string> restore_index_definitions(MemIndexMap& indexes, std::vector<MemIndex> at_begin) {
    std::vector<std::string> touched = tables_whose_indexes_differ(indexes, at_begin);
    for (const std::string& table : touched) indexes.remove_table(table);
    for (MemIndex& index : at_begin) {
        if (std::binary_search(touched.begin(), touched.end(), index.table)) indexes.insert(std::move(index));
    }
    return touched;
}

}  // namespace

Result<ExecResult> begin(Engine& engine) {
    if (engine.txn.pre_images) return execution_error("there is already an active transaction");
    engine.txn.clear();
    engine.txn.pre_images.emplace();
    engine.txn.indexes_at_begin.reserve(engine.tables.mem_indexes.size());
    for (const auto& [name, index] : engine.tables.mem_indexes)
        engine.txn.indexes_at_begin.emplace_back(index.name, index.table, index.columns, index.positions, index.unique);
    return TransactionStarted{};
}

Result<ExecResult> commit(Engine& engine) {
    if (!engine.txn.pre_images) return execution_error("no active transaction");
    // The changed tables, their sync modes, the pre-images and the index
    // definitions of BEGIN stay for the commit-time sync.
    engine.txn.committing = std::move(engine.txn.pre_images);
    engine.txn.pre_images.reset();
    return TransactionCommitted{};
}

Result<ExecResult> rollback(Engine& engine) {
    if (!engine.txn.pre_images) return execution_error("no active transaction");
    TxnSnapshot snapshot = std::move(*engine.txn.pre_images);
    std::vector<MemIndex> indexes_at_begin = std::move(engine.txn.indexes_at_begin);
    engine.txn.clear();
    // Later SELECTs must not read rolled-back rows.
    engine.tables.row_cache.clear();

    PageStore* store = nullptr;
    if (!engine.settings.skip_persist) store = engine.page_store();
    bool store_failed = false;

    for (const std::string& name : sorted_keys(snapshot)) {
        TxnPreImage& pre = snapshot.find(name)->second;
        std::optional<Table> restored = pre.take_table(engine.tables.find_owned(name));
        if (!restored) {
            // Created inside the transaction: it never reached the store.
            engine.tables.forget_table(name);
            continue;
        }
        bool rebuilt_in_store = false;
        if (store != nullptr && !store->catalog.contains(name)) {
            if (auto st = restore_dropped_in_store(*store, pre, *restored, name, indexes_at_begin); !st)
                store_failed = true;
            rebuilt_in_store = true;
        }
        if (pre.drop_recorded) {
            if (pre.dropped_merge_policy) engine.tables.merge_policies[name] = *pre.dropped_merge_policy;
            else engine.tables.merge_policies.erase(name);
        }
        auto [it, inserted] = engine.tables.database.tables.insert_or_assign(name, std::move(*restored));
        if (rebuilt_in_store) it->second.renumber_rowids();
    }
    if (store_failed) {
        // The store could not take the table back: return to the last commit,
        // which still holds it, rather than leave memory and file apart.
        if (auto st = engine.reset_to_last_commit(); !st) return fail(st.error());
        return TransactionRolledBack{};
    }
    std::vector<std::string> refill = restore_index_definitions(engine.tables.mem_indexes, std::move(indexes_at_begin));
    engine.rebuild_name_maps();
    // The restored definitions follow the restored columns by name and are
    // filled from the restored rows, as are those of every restored table.
    for (const std::string& name : sorted_keys(snapshot)) refill.push_back(name);
    std::sort(refill.begin(), refill.end());
    refill.erase(std::unique(refill.begin(), refill.end()), refill.end());
    for (const std::string& name : refill) engine.tables.refit_indexes(name);
    return TransactionRolledBack{};
}

}  // namespace zembrel::executor

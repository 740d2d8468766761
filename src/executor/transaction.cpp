// BEGIN, COMMIT and ROLLBACK.
//
// Inside a transaction statements change memory only, except the outcomes
// that reach the page store at once (merge policy, DROP TABLE, index DDL on a
// stored table). ROLLBACK therefore puts each touched table's pre-image back
// in memory and, for a table whose drop already reached the store, builds it
// there again with its indexes and merge policy. A table still in the store
// holds exactly its pre-image there (nothing else of it was written), so it
// is left alone.

#include <utility>

#include "engine/sorted_names.h"
#include "executor/handlers.h"

namespace zembrel::executor {

namespace {

void clear_transaction(Engine& engine) {
    engine.txn_snapshot.reset();
    engine.txn_changed_tables.clear();
    engine.table_sync_modes.clear();
}

// The stored side of bringing back a table whose drop was already mirrored.
Status restore_dropped_in_store(PageStore& store, const TxnPreImage& pre, const std::string& name) {
    const Table& table = *pre.table;
    if (auto st = store.create_table(name, table.columns); !st) return st;
    if (auto st = store.replace_table_rows(name, table.rows); !st) return st;
    for (const MemIndex& index : pre.dropped_indexes) {
        if (auto st = store.create_index(name, index.name, index.columns, index.unique); !st) return st;
    }
    if (pre.dropped_merge_policy) return store.set_merge_policy(name, pre.dropped_merge_policy);
    return {};
}

}  // namespace

Result<ExecResult> begin(Engine& engine) {
    if (engine.txn_snapshot) return execution_error("there is already an active transaction");
    clear_transaction(engine);
    engine.txn_snapshot.emplace();
    return TransactionStarted{};
}

Result<ExecResult> commit(Engine& engine) {
    if (!engine.txn_snapshot) return execution_error("no active transaction");
    // The changed tables and their sync modes stay for the commit-time sync.
    engine.txn_snapshot.reset();
    return TransactionCommitted{};
}

Result<ExecResult> rollback(Engine& engine) {
    if (!engine.txn_snapshot) return execution_error("no active transaction");
    TxnSnapshot snapshot = std::move(*engine.txn_snapshot);
    clear_transaction(engine);
    // Later SELECTs must not read rolled-back rows.
    engine.row_cache.clear();

    PageStore* store = nullptr;
    if (engine.page_store && !engine.skip_persist) store = engine.page_store.get();
    bool store_failed = false;

    for (const std::string& name : sorted_keys(snapshot)) {
        TxnPreImage& pre = snapshot.at(name);
        if (!pre.table) {
            // Created inside the transaction: it never reached the store.
            engine.database.tables.erase(name);
            engine.pk_indexes.erase(name);
            engine.mem_indexes.remove_table(name);
            engine.merge_policies.erase(name);
            continue;
        }
        bool rebuilt_in_store = false;
        if (store != nullptr && !store->catalog.contains(name)) {
            if (auto st = restore_dropped_in_store(*store, pre, name); !st) store_failed = true;
            rebuilt_in_store = true;
        }
        // Indexes of a later table of the same name give way to the originals.
        if (pre.drop_recorded) {
            engine.mem_indexes.remove_table(name);
            for (MemIndex& index : pre.dropped_indexes) {
                if (!engine.mem_indexes.contains(index.name)) engine.mem_indexes.insert(std::move(index));
            }
            if (pre.dropped_merge_policy) engine.merge_policies[name] = *pre.dropped_merge_policy;
            else engine.merge_policies.erase(name);
        }
        engine.database.tables.insert_or_assign(name, std::move(*pre.table));
        if (rebuilt_in_store) engine.database.tables.at(name).renumber_rowids();
        engine.rebuild_pk_index(name);
        engine.rebuild_secondary_indexes(name);
    }
    if (store_failed) {
        // The store could not take the table back: return to the last commit,
        // which still holds it, rather than leave memory and file apart.
        if (auto st = engine.reset_to_last_commit(); !st) return fail(st.error());
        return TransactionRolledBack{};
    }
    engine.rebuild_name_maps();
    return TransactionRolledBack{};
}

}  // namespace zembrel::executor

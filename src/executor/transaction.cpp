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

#include "types/sorted_names.h"
#include "executor/handlers.h"

namespace zembrel::executor {

namespace {

// The stored side of bringing back a table whose drop was already mirrored.
Status restore_dropped_in_store(PageStore& store, const TxnPreImage& pre, const Table& table, const std::string& name) {
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
    if (engine.txn.pre_images) return execution_error("there is already an active transaction");
    engine.txn.clear();
    engine.txn.pre_images.emplace();
    return TransactionStarted{};
}

Result<ExecResult> commit(Engine& engine) {
    if (!engine.txn.pre_images) return execution_error("no active transaction");
    // The changed tables, their sync modes and the pre-images stay for the
    // commit-time sync.
    engine.txn.committing = std::move(engine.txn.pre_images);
    engine.txn.pre_images.reset();
    return TransactionCommitted{};
}

Result<ExecResult> rollback(Engine& engine) {
    if (!engine.txn.pre_images) return execution_error("no active transaction");
    TxnSnapshot snapshot = std::move(*engine.txn.pre_images);
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
            if (auto st = restore_dropped_in_store(*store, pre, *restored, name); !st) store_failed = true;
            rebuilt_in_store = true;
        }
        // Indexes of a later table of the same name give way to the originals.
        if (pre.drop_recorded) {
            engine.tables.mem_indexes.remove_table(name);
            for (MemIndex& index : pre.dropped_indexes) {
                if (!engine.tables.mem_indexes.contains(index.name)) engine.tables.mem_indexes.insert(std::move(index));
            }
            if (pre.dropped_merge_policy) engine.tables.merge_policies[name] = *pre.dropped_merge_policy;
            else engine.tables.merge_policies.erase(name);
        }
        auto [it, inserted] = engine.tables.database.tables.insert_or_assign(name, std::move(*restored));
        if (rebuilt_in_store) it->second.renumber_rowids();
        engine.tables.rebuild_indexes(name);
    }
    if (store_failed) {
        // The store could not take the table back: return to the last commit,
        // which still holds it, rather than leave memory and file apart.
        if (auto st = engine.reset_to_last_commit(); !st) return fail(st.error());
        return TransactionRolledBack{};
    }
    engine.rebuild_name_maps();
    // Index definitions are not part of a pre-image: those that came back
    // from the catalog, and those a column change in the transaction moved,
    // follow the restored columns and are filled from the restored rows.
    for (const std::string& name : sorted_keys(snapshot)) engine.tables.refit_indexes(name);
    return TransactionRolledBack{};
}

}  // namespace zembrel::executor

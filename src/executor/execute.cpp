// The execute step: the one road of every statement, and the dispatcher.
//
// A statement's changes reach the page file whole or not at all. When the
// mirroring into the page store fails, one of two things happens:
// - nothing in the pager changed (the store refused before writing, e.g. an
//   index key too long): the statement's in-memory change is undone, the
//   in-memory catalog re-read from the tree, and an open transaction stays
//   open;
// - pages changed, or the outcome cannot be undone in memory alone, or it
//   was a COMMIT: the engine returns to its last commit (pager rolled back,
//   catalog reloaded, tables and indexes dropped to load again, transaction
//   discarded).
// Either way the statement returns the sync's error.

#include <type_traits>
#include <utility>

#include "executor/handlers.h"
#include "executor/table_names.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

using parser::StatementKind;

bool is_writing(StatementKind k) {
    switch (k) {
        case StatementKind::CreateTable:
        case StatementKind::Insert:
        case StatementKind::Update:
        case StatementKind::Delete:
        case StatementKind::AlterTable:
        case StatementKind::CreateIndex:
        case StatementKind::DropIndex:
        case StatementKind::DropTable:
        case StatementKind::Truncate: return true;
        default: return false;
    }
}

bool loads_named_tables(StatementKind k) {
    return k != StatementKind::Select && k != StatementKind::Begin && k != StatementKind::Commit &&
           k != StatementKind::Rollback && k != StatementKind::Explain;
}

bool is_set_merge_policy(const parser::Statement& s) {
    auto* alter = std::get_if<parser::AlterTable>(&s.node);
    return alter != nullptr && alter->action.kind() == parser::AlterActionKind::SetMergePolicy;
}

// Which pager, and how far its change count stood. Equal before and after a
// failed sync means the sync changed no page and no header field (a pager
// made by the sync differs by identity). The log length and the dirty count
// would not do: reading pages may push dirty pages of earlier statements into
// the log, which moves them but changes none.
struct PagerMark {
    const Pager* pager = nullptr;
    uint64_t changes = 0;
    bool operator==(const PagerMark&) const = default;
};

PagerMark mark_of(const Engine& engine) {
    if (!engine.page_store || !engine.page_store->pager) return {};
    const Pager& p = *engine.page_store->pager;
    return PagerMark{&p, p.change_count()};
}

// The table named by an outcome that changes one, if any.
const std::string* changed_table(const ExecResult& r) {
    return std::visit(
        [](const auto& x) -> const std::string* {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, TableCreated> || std::is_same_v<T, TableAltered> ||
                          std::is_same_v<T, TableDropped> || std::is_same_v<T, TableTruncated>) {
                return &x.table;
            } else if constexpr (std::is_same_v<T, Inserted> || std::is_same_v<T, Updated> ||
                                 std::is_same_v<T, Deleted>) {
                return x.count != 0 ? &x.table : nullptr;
            } else {
                return nullptr;
            }
        },
        r);
}

bool syncs_inside_transaction(const ExecResult& r) {
    return std::holds_alternative<MergePolicySet>(r) || std::holds_alternative<TableDropped>(r) ||
           std::holds_alternative<IndexCreated>(r) || std::holds_alternative<IndexDropped>(r) ||
           std::holds_alternative<TransactionCommitted>(r);
}

// Undoes the in-memory effect of an outcome whose sync failed before any
// page changed. False when this outcome cannot be undone in memory alone.
bool undo_in_memory(Engine& engine, const ExecResult& r) {
    if (auto* ins = std::get_if<Inserted>(&r)) {
        engine.truncate_table_rows(ins->table, ins->count);
        return true;
    }
    if (auto* created = std::get_if<TableCreated>(&r)) {
        engine.database.tables.erase(created->table);
        engine.pk_indexes.erase(created->table);
        engine.mem_indexes.remove_table(created->table);
        return true;
    }
    if (auto* index = std::get_if<IndexCreated>(&r)) {
        engine.mem_indexes.remove(index->index);
        return true;
    }
    return false;
}

}  // namespace

Result<ExecResult> Engine::execute(parser::Statement statement) {
    // Below, the catalog is also read directly (transactions); it must be whole.
    if (page_store && catalog_stale) {
        if (auto store = ensure_page_store(); !store) return fail(store.error());
    }
    const StatementKind kind = statement.kind();
    const bool writing = is_writing(kind);
    // Every writing kind loads its tables, so the names serve both below.
    std::vector<std::string> names;
    if (loads_named_tables(kind)) {
        names = executor::table_names(statement);
        for (const std::string& name : names) {
            if (auto st = ensure_table_loaded(name); !st) return fail(st.error());
        }
    }
    if (writing) row_cache.clear();

    const bool in_txn = in_transaction();
    if (in_txn && writing) {
        for (const std::string& name : names) {
            if (txn_snapshot->contains(name)) continue;
            TxnPreImage pre;
            if (auto it = database.tables.find(name); it != database.tables.end()) pre.table = it->second;
            txn_snapshot->emplace(name, std::move(pre));
        }
        if (!names.empty()) {
            const std::string& name = names.front();
            const bool rewrite = kind == StatementKind::Update || kind == StatementKind::Delete ||
                                 kind == StatementKind::DropTable || kind == StatementKind::Truncate ||
                                 (kind == StatementKind::AlterTable && !is_set_merge_policy(statement));
            const bool append = kind == StatementKind::CreateTable || kind == StatementKind::Insert;
            if (rewrite) {
                table_sync_modes[name] = TableSyncMode{TableSyncMode::Rewrite, 0};
            } else if (append) {
                auto existing = table_sync_modes.find(name);
                if (existing == table_sync_modes.end() || existing->second.mode != TableSyncMode::Rewrite) {
                    const TxnPreImage& pre = txn_snapshot->at(name);
                    uint64_t base = pre.table ? pre.table->rows.size() : 0;
                    table_sync_modes[name] = TableSyncMode{TableSyncMode::Append, base};
                }
            }
        }
    }

    auto result = execute_statement(std::move(statement));
    if (!result) return result;

    if (in_txn) {
        if (const std::string* table = changed_table(*result)) txn_changed_tables.insert(*table);
    }
    bool sync = !in_txn || syncs_inside_transaction(*result);
    // An index or merge policy of a table created in this transaction waits
    // for COMMIT, which creates the table in the store first.
    if (sync && in_txn && !skip_persist) {
        const std::string* table = nullptr;
        if (auto* ix = std::get_if<IndexCreated>(&*result)) {
            if (const MemIndex* index = mem_indexes.get(ix->index)) table = &index->table;
        } else if (auto* mp = std::get_if<MergePolicySet>(&*result)) {
            table = &mp->table;
        }
        if (table != nullptr && (!page_store || !page_store->catalog.contains(*table))) sync = false;
    }
    if (!sync) return result;

    const PagerMark before = mark_of(*this);
    auto synced = sync_to_page_store(*result);
    if (synced) return result;

    const bool commit = std::holds_alternative<TransactionCommitted>(*result);
    if (!commit && mark_of(*this) == before && undo_in_memory(*this, *result)) {
        // Nothing reached the pages; the catalog may hold a half-made change.
        (void)reload_catalog();
        return fail(synced.error());
    }
    (void)reset_to_last_commit();
    return fail(synced.error());
}

Result<ExecResult> Engine::execute_statement(parser::Statement statement) {
    return std::visit(
        [this](auto&& s) -> Result<ExecResult> {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, parser::CreateTable>) {
                return executor::create_table(*this, std::move(s));
            } else if constexpr (std::is_same_v<T, parser::Insert>) {
                return executor::insert(*this, std::move(s));
            } else if constexpr (std::is_same_v<T, parser::SelectStatement>) {
                return execution_error("SELECT is not supported yet");
            } else if constexpr (std::is_same_v<T, parser::Update>) {
                return execution_error("UPDATE is not supported yet");
            } else if constexpr (std::is_same_v<T, parser::Delete>) {
                return execution_error("DELETE is not supported yet");
            } else if constexpr (std::is_same_v<T, parser::AlterTable>) {
                return execution_error("ALTER TABLE is not supported yet");
            } else if constexpr (std::is_same_v<T, parser::CreateIndex>) {
                return executor::create_index(*this, std::move(s));
            } else if constexpr (std::is_same_v<T, parser::DropIndex>) {
                return executor::drop_index(*this, s);
            } else if constexpr (std::is_same_v<T, parser::DropTable>) {
                return executor::drop_table(*this, s);
            } else if constexpr (std::is_same_v<T, parser::Truncate>) {
                return executor::truncate_table(*this, s);
            } else if constexpr (std::is_same_v<T, parser::Begin>) {
                return executor::begin(*this);
            } else if constexpr (std::is_same_v<T, parser::Commit>) {
                return executor::commit(*this);
            } else if constexpr (std::is_same_v<T, parser::Rollback>) {
                return executor::rollback(*this);
            } else {
                return execution_error("EXPLAIN is not supported yet");
            }
        },
        std::move(statement.node));
}

}  // namespace zembrel

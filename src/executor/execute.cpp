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

#include <algorithm>
#include <type_traits>
#include <utility>

#include "executor/execute.h"
#include "executor/handlers.h"
#include "executor/select.h"
#include "planner/table_names.h"
#include "types/text_format.h"

namespace zembrel::executor {

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
    const PageStore* store = engine.page_store();
    if (store == nullptr || !store->pager) return {};
    const Pager& p = *store->pager;
    return PagerMark{&p, p.change_count()};
}

// A change outside a transaction is committed as soon as it is made; the
// first one to a file without an open log has the log made on a worker
// meanwhile (Pager::start_log_ahead), so that the flush of its directory
// entry overlaps the load and the statement. The worker is joined when this
// goes, before the statement's outcome leaves execute. The pager is looked
// up again then: a failed statement may have replaced it.
class LogMadeAhead {
public:
    LogMadeAhead(Engine& engine, bool starts) : engine_(engine) {
        if (starts && !engine.settings.skip_persist) {
            if (PageStore* store = engine.page_store(); store != nullptr && store->pager) store->pager->start_log_ahead();
        }
    }
    ~LogMadeAhead() {
        if (PageStore* store = engine_.page_store(); store != nullptr && store->pager) store->pager->finish_log_ahead();
    }
    LogMadeAhead(const LogMadeAhead&) = delete;
    LogMadeAhead& operator=(const LogMadeAhead&) = delete;

private:
    Engine& engine_;
};

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

// Index DDL inside a transaction waits for COMMIT with the rows, so that
// ROLLBACK has nothing of it to take back from the file.
bool syncs_inside_transaction(const ExecResult& r) {
    return std::holds_alternative<MergePolicySet>(r) || std::holds_alternative<TableDropped>(r) ||
           std::holds_alternative<TransactionCommitted>(r);
}

// Undoes the in-memory effect of an outcome whose sync failed before any
// page changed. False when this outcome cannot be undone in memory alone.
bool undo_in_memory(Engine& engine, const ExecResult& r) {
    if (auto* ins = std::get_if<Inserted>(&r)) {
        engine.tables.truncate_table_rows(ins->table, ins->count);
        return true;
    }
    if (auto* created = std::get_if<TableCreated>(&r)) {
        engine.tables.forget_table(created->table);
        return true;
    }
    if (auto* index = std::get_if<IndexCreated>(&r)) {
        engine.tables.mem_indexes.remove(index->index);
        return true;
    }
    if (auto* updated = std::get_if<Updated>(&r)) {
        // Copies, not loans: the images go when the outcome does.
        FlatRows cells;
        cells.reserve(updated->positions.size(), updated->columns.size());
        for (size_t c = 0; c < updated->positions.size(); ++c) {
            std::span<Value> row = cells.append_blank(updated->columns.size());
            for (size_t k = 0; k < updated->columns.size(); ++k) row[k] = updated->before[c][updated->columns[k]];
        }
        // The rows held these keys a moment ago: no clash can come back.
        return engine.tables.update_rows(updated->table, updated->positions, updated->columns, cells).has_value();
    }
    if (auto* deleted = std::get_if<Deleted>(&r)) {
        engine.tables.restore_deleted_rows(deleted->table, deleted->positions, deleted->rowids, deleted->rows.to_rows());
        return true;
    }
    return false;
}

// Records the rows of a statement that succeeded, sync included, for a
// shadow session. Only here: a handler that fails after changing memory must
// not leave changes behind that never happened.
// The images of UPDATE and DELETE come with their outcome and are moved on.
void capture_changes(Engine& engine, ExecResult& result) {
    if (!engine.change_capture) return;
    std::vector<CapturedChange>& capture = *engine.change_capture;
    if (auto* ins = std::get_if<Inserted>(&result)) {
        const Table* table = engine.tables.find(ins->table);
        if (table == nullptr || ins->count > table->rows.size()) return;
        for (size_t i = table->rows.size() - ins->count; i < table->rows.size(); ++i)
            capture.push_back(CapturedChange{ins->table, std::nullopt, table->rows[i].to_row()});
    } else if (auto* updated = std::get_if<Updated>(&result)) {
        const Table* table = engine.tables.find(updated->table);
        if (table == nullptr) return;
        for (size_t c = 0; c < updated->positions.size(); ++c)
            capture.push_back(
                CapturedChange{updated->table, updated->before[c].to_row(), table->rows[updated->positions[c]].to_row()});
    } else if (auto* deleted = std::get_if<Deleted>(&result)) {
        for (const RowView row : deleted->rows) capture.push_back(CapturedChange{deleted->table, row.to_row(), std::nullopt});
    }
}

// The changed rows are the execute step's own; callers get counts only.
void release_changed_rows(ExecResult& result) {
    if (auto* updated = std::get_if<Updated>(&result)) {
        updated->positions = {};
        updated->rowids = {};
        updated->before = {};
    }
    if (auto* deleted = std::get_if<Deleted>(&result)) {
        deleted->positions = {};
        deleted->rowids = {};
        deleted->rows = {};
    }
}

// Keeps the first image of every stored row an UPDATE or DELETE of the open
// transaction changed, for a table whose pre-image is a row journal.
void journal_changed_rows(Engine& engine, const ExecResult& result) {
    const std::string* table = nullptr;
    if (auto* u = std::get_if<Updated>(&result)) table = &u->table;
    if (auto* d = std::get_if<Deleted>(&result)) table = &d->table;
    if (table == nullptr || !engine.txn.pre_images) return;
    auto pre = engine.txn.pre_images->find(*table);
    if (pre == engine.txn.pre_images->end() || !pre->second.journal) return;
    RowJournal& journal = *pre->second.journal;
    // Copies, not loans: the journal outlives the statement.
    auto keep = [&](std::span<const uint64_t> ids, const FlatRows& images) {
        for (size_t c = 0; c < ids.size(); ++c)
            if (ids[c] <= journal.last_stored_id && !journal.originals.contains(ids[c]))
                journal.originals.emplace(ids[c], images[c].to_row());
    };
    if (auto* u = std::get_if<Updated>(&result)) keep(u->rowids, u->before);
    if (auto* d = std::get_if<Deleted>(&result)) keep(d->rowids, d->rows);
}

// Records pre-images and sync modes of the tables a writing statement in a
// transaction names, before it runs. INSERT, UPDATE and DELETE change rows
// under their ids, so their tables' pre-images are row journals (the length
// and the first images of changed rows); any other change of a table first
// turns its journal into a copy of the rows it stands for.
void prepare_transaction(Engine& engine, const parser::Statement& statement, const std::vector<std::string>& names) {
    TxnSnapshot& pre_images = *engine.txn.pre_images;
    const StatementKind kind = statement.kind();
    // Statements that change rows only, and keep row ids, can start a row
    // journal instead of copying the table; any other change of the table
    // needs the whole pre-image first.
    const bool rows_only = kind == StatementKind::Insert || kind == StatementKind::Update ||
                           kind == StatementKind::Delete || kind == StatementKind::CreateIndex ||
                           is_set_merge_policy(statement);
    for (const std::string& name : names) {
        const Table* table = engine.tables.find(name);
        auto found = pre_images.find(name);
        if (found == pre_images.end()) {
            TxnPreImage pre;
            if (table != nullptr) {
                const bool paired = table->rowids.size() == table->rows.size() &&
                                    std::is_sorted(table->rowids.begin(), table->rowids.end());
                if (rows_only && paired) {
                    pre.journal = RowJournal{table->next_rowid, table->rowids.empty() ? 0 : table->rowids.back(),
                                             table->rows.size(), {}};
                } else {
                    pre.table = *table;
                }
            }
            pre_images.emplace(name, std::move(pre));
        } else if (!rows_only && table != nullptr) {
            found->second.materialize(*table);
        }
    }
    if (names.empty()) return;
    const std::string& name = names.front();
    const bool rewrite = kind == StatementKind::DropTable || kind == StatementKind::Truncate ||
                         (kind == StatementKind::AlterTable && !is_set_merge_policy(statement));
    const bool in_place = kind == StatementKind::Update || kind == StatementKind::Delete;
    const bool append = kind == StatementKind::CreateTable || kind == StatementKind::Insert;
    TableSyncModeMap& modes = engine.txn.sync_modes;
    if (rewrite) {
        modes[name] = TableSyncMode{TableSyncMode::Rewrite, 0};
    } else if (in_place) {
        // Rows changed in place reach the store as the difference to the
        // pre-image, which covers rows appended before or after as well.
        auto existing = modes.find(name);
        if (existing == modes.end() || existing->second.mode != TableSyncMode::Rewrite)
            modes[name] = TableSyncMode{TableSyncMode::Changes, 0};
    } else if (append) {
        auto existing = modes.find(name);
        if (existing == modes.end() || existing->second.mode == TableSyncMode::Append) {
            const TxnPreImage& pre = pre_images.find(name)->second;
            uint64_t base = pre.row_count();
            modes[name] = TableSyncMode{TableSyncMode::Append, base};
        }
    }
}

// One handler per statement kind; a kind without one does not compile.
struct Dispatch {
    Engine& engine;
    RowSink* sink;
    Result<ExecResult> operator()(parser::CreateTable&& s) { return create_table(engine, std::move(s)); }
    Result<ExecResult> operator()(parser::Insert&& s) { return insert(engine, std::move(s)); }
    Result<ExecResult> operator()(parser::SelectStatement&& s) { return select(engine, std::move(s), sink); }
    Result<ExecResult> operator()(parser::Update&& s) { return update(engine, std::move(s)); }
    Result<ExecResult> operator()(parser::Delete&& s) { return remove(engine, std::move(s)); }
    Result<ExecResult> operator()(parser::AlterTable&& s) { return alter_table(engine, std::move(s)); }
    Result<ExecResult> operator()(parser::CreateIndex&& s) { return create_index(engine, std::move(s)); }
    Result<ExecResult> operator()(parser::DropIndex&& s) { return drop_index(engine, s); }
    Result<ExecResult> operator()(parser::DropTable&& s) { return drop_table(engine, s); }
    Result<ExecResult> operator()(parser::Truncate&& s) { return truncate_table(engine, s); }
    Result<ExecResult> operator()(parser::Begin&&) { return begin(engine); }
    Result<ExecResult> operator()(parser::Commit&&) { return commit(engine); }
    Result<ExecResult> operator()(parser::Rollback&&) { return rollback(engine); }
    Result<ExecResult> operator()(parser::Explain&& s) { return explain_statement(engine, std::move(s)); }
    template <class T>
    Result<ExecResult> operator()(T&&) = delete;
};

}  // namespace

Result<ExecResult> execute(Engine& engine, parser::Statement statement, RowSink* sink) {
    // Below, the catalog is also read directly (transactions); it must be whole.
    if (engine.file.page_store && engine.file.catalog_stale) {
        if (auto store = engine.ensure_page_store(); !store) return fail(store.error());
    }
    const StatementKind kind = statement.kind();
    const bool writing = is_writing(kind);
    const LogMadeAhead log_ahead(engine, writing && !engine.in_transaction());
    // Every writing kind loads its tables, so the names serve both below.
    std::vector<std::string> names;
    if (loads_named_tables(kind)) {
        names = table_names(statement);
        for (const std::string& name : names) {
            if (auto st = engine.ensure_table_loaded(name); !st) return fail(st.error());
        }
    }
    if (writing) engine.tables.row_cache.clear();

    const bool in_txn = engine.in_transaction();
    if (in_txn && writing) prepare_transaction(engine, statement, names);

    auto result = execute_statement(engine, std::move(statement), sink);
    if (!result) return result;

    if (in_txn) {
        if (const std::string* table = changed_table(*result)) engine.txn.changed_tables.insert(*table);
        journal_changed_rows(engine, *result);
    }
    bool sync = !in_txn || syncs_inside_transaction(*result);
    // A merge policy of a table created in this transaction waits for
    // COMMIT, which creates the table in the store first.
    if (sync && in_txn && !engine.settings.skip_persist) {
        if (auto* mp = std::get_if<MergePolicySet>(&*result)) {
            const PageStore* store = engine.page_store();
            if (store == nullptr || !store->catalog.contains(mp->table)) sync = false;
        }
    }
    if (sync) {
        const PagerMark before = mark_of(engine);
        auto synced = sync_to_page_store(engine, *result);
        if (!synced) {
            const bool commit = std::holds_alternative<TransactionCommitted>(*result);
            if (!commit && mark_of(engine) == before && undo_in_memory(engine, *result)) {
                // Nothing reached the pages; the catalog may hold a half-made change.
                (void)engine.reload_catalog();
                return fail(synced.error());
            }
            (void)engine.reset_to_last_commit();
            return fail(synced.error());
        }
    }
    capture_changes(engine, *result);
    release_changed_rows(*result);
    return result;
}

Result<ExecResult> execute_statement(Engine& engine, parser::Statement statement, RowSink* sink) {
    auto result = std::visit(Dispatch{engine, sink}, std::move(statement.node));
    // Row results the SELECT road did not stream (EXPLAIN, seeks, the driver
    // of subqueries and windows) reach the sink here.
    if (sink != nullptr && result) {
        if (auto* rows = std::get_if<Rows>(&*result)) {
            for (const Row& row : rows->rows) sink->row(row);
            rows->rows = {};
        }
    }
    return result;
}

}  // namespace zembrel::executor

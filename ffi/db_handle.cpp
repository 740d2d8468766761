// Database handles: open, close, exec, query and the auto-save rule.
#include <malloc.h>

#include <new>

#include "c_text.h"
#include "engine/storage_open.h"
#include "executor/execute.h"
#include "handles.h"
#include "messages.h"
#include "parser/parser.h"
#include "zembrel.h"

using namespace zembrel;

namespace {

void set_error(zembrel_db* db, const EngineError& e) { db->last_error = ffi::c_safe(e.display()); }

// Saves after a successful statement unless the outcome says not to. A save
// that fails returns the engine to its last commit, undoing the statement (at
// COMMIT the whole transaction): its changes would otherwise live on only in
// memory and in uncommitted pages, lost at close or carried into the file by
// a later statement's save. The caller is told, so a retry applies it once.
bool auto_save(zembrel_db* db, const ExecResult& result) {
    bool save;
    if (std::holds_alternative<TransactionStarted>(result) || std::holds_alternative<TransactionRolledBack>(result))
        save = false;
    else if (std::holds_alternative<TransactionCommitted>(result))
        save = true;
    else
        save = !db->engine.in_transaction();
    if (!save) return true;
    auto saved = storage::save(db->engine);
    if (saved) return true;
    // Should the return itself fail, the memory is dropped all the same and
    // the catalog marked stale: the next statement reads both from the file.
    (void)db->engine.reset_to_last_commit();
    db->last_error = ffi::c_safe("auto-save failed: " + saved.error().display());
    return false;
}

// Parses and runs one statement; on failure fills the slot and returns none.
// A row result's rows go to the sink when there is one.
std::optional<ExecResult> run_statement(zembrel_db* db, const char* sql, RowSink* sink = nullptr) {
    auto text = ffi::text_arg(sql);
    if (!text) {
        db->last_error = "invalid SQL string";
        return std::nullopt;
    }
    auto statement = parser::parse_sql(*text);
    if (!statement) {
        set_error(db, statement.error());
        return std::nullopt;
    }
    auto result = executor::execute(db->engine, std::move(*statement), sink);
    if (!result) {
        set_error(db, result.error());
        return std::nullopt;
    }
    db->last_error.reset();
    return std::move(*result);
}

}  // namespace

extern "C" {

zembrel_db* zembrel_open(const char* path) noexcept {
    auto text = ffi::text_arg(path);
    if (!text) return nullptr;
    auto engine = storage::open(std::string(*text));
    if (!engine) return nullptr;
    return new zembrel_db{std::move(*engine), std::nullopt};
}

zembrel_db* zembrel_open_memory(void) noexcept { return new zembrel_db{Engine(), std::nullopt}; }

void zembrel_close(zembrel_db* db) noexcept {
    // Large loaded tables leave many freed blocks behind: hand them back to
    // the system rather than keep the peak for the rest of the process.
    const bool trim = db != nullptr && db->engine.tables.worth_trimming();
    delete db;
    if (trim) malloc_trim(0);
}

const char* zembrel_errmsg(zembrel_db* db) noexcept {
    if (db == nullptr || !db->last_error) return nullptr;
    return db->last_error->c_str();
}

int zembrel_save(zembrel_db* db) noexcept {
    if (db == nullptr) return 1;
    if (!db->engine.file.path) {
        db->last_error = "no file path set";
        return 1;
    }
    if (auto saved = storage::save(db->engine); !saved) {
        set_error(db, saved.error());
        return 1;
    }
    db->last_error.reset();
    return 0;
}

int zembrel_save_as(zembrel_db* db, const char* path) noexcept {
    if (db == nullptr) return 1;
    auto text = ffi::text_arg(path);
    if (!text) {
        db->last_error = "invalid path";
        return 1;
    }
    auto moved = storage::save_as(db->engine, std::string(*text));
    if (!moved) {
        set_error(db, moved.error());
        return 1;
    }
    // The old engine goes now: its lock and any backing file are released.
    db->engine = std::move(*moved);
    db->last_error.reset();
    return 0;
}

int zembrel_exec(zembrel_db* db, const char* sql) noexcept {
    if (db == nullptr) return 1;
    auto result = run_statement(db, sql);
    if (!result) return 1;
    return auto_save(db, *result) ? 0 : 1;
}

zembrel_result* zembrel_query(zembrel_db* db, const char* sql) noexcept {
    if (db == nullptr) return nullptr;
    ffi::ResultBuilder cells;
    auto result = run_statement(db, sql, &cells);
    if (!result) return nullptr;
    if (auto* rows = std::get_if<Rows>(&*result)) return cells.finish(rows->columns);
    if (!auto_save(db, *result)) return nullptr;
    return ffi::new_message_result(*result);
}

}  // extern "C"

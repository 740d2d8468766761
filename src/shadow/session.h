// A shadow session: a private copy of a base database (the snapshot) on which
// statements run, with every row that INSERT, UPDATE and DELETE change
// recorded as an op in the session's shadow log; a commit later merges the
// ops three-way into the base (shadow/commit.h).
//
// An anonymous shadow is named by a fresh UUID and lives for one handle; a
// named branch keeps its log "<branch>.krvb" across sessions and closes
// groups of ops with seals before they may be merged. Logs live in the
// base's shadow directory, "<base file name>.shadows" beside the base.
//
// The base is opened only while it is copied (open, refresh, the reload
// after a commit) or merged into; while another handle holds its lock, the
// open is retried every 15 ms for up to ten seconds.
//
// Ownership: a session owns its snapshot engine and its open log. Closing
// (destroying) a session merges, saves and deletes nothing. Thread: one
// thread at a time; a session holds no lock of its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "pager/vfs.h"
#include "shadow/conflicts.h"
#include "shadow/shadow_log.h"
#include "types/error.h"
#include "types/merge_policy.h"

namespace zembrel::shadow {

// The base file's path (symbolic links resolved, so that every name of the
// base finds the same logs) with ".shadows" appended to its file name; a
// path without a file name (ending in "..", "." or "/") gets ".shadows"
// inside it.
std::string shadows_dir(const std::string& base_path);
// The branch log path, or the Execution error "invalid branch name '{}'
// (use letters, digits, '_', '-', '.'; max 64 chars)". Names are 1 to 64
// bytes of ASCII letters, digits, '_', '-', '.', not starting with '.'.
Result<std::string> branch_file_path(const std::string& base_path, std::string_view branch);

// Opens the base (a missing file becomes a new, empty database) and retries
// every 15 ms for up to ten seconds while the error says it is locked. A
// `vfs` opens the page file through it (tests inject faults there).
Result<Engine> open_database_with_retry(const std::string& path, const std::shared_ptr<Vfs>& vfs = nullptr);
// A private in-memory copy of the base (`skip_persist` set): its tables,
// index definitions and merge policies, with both index families built. The
// base is locked only while it is copied.
Result<Engine> load_base_snapshot(const std::string& path);
// Makes the engine's tables show the ops, rows matched by the display text
// of their primary-key value, with the clear texts recorded before their
// column became HASH hashed (shadow/clear_texts.h). Errors (Execution):
// "shadow references unknown table '{}'", "shadow Update on table '{}'
// without PK column", "shadow Delete on table '{}' without PK column",
// "shadow row width mismatch on '{}' — schema divergence" (an inserted or
// updated row whose width is not the table's), "column '{}': hashing
// failed: {}". After an error the engine holds a partial replay and must be
// discarded.
Status replay_ops(Engine& engine, const std::vector<ShadowOp>& ops);

// What a commit reports; the C API returns `ops_merged`.
struct CommitReport {
    std::vector<std::string> tables;
    std::vector<ConflictRecord> conflicts;
    std::optional<std::string> kept_path;
    std::uint64_t ops_merged = 0;
    std::uint64_t inserted = 0;
    std::uint64_t updated = 0;
    std::uint64_t deleted = 0;
    std::uint64_t field_merged = 0;
    std::uint64_t kept = 0;
};

struct ShadowSession {
    std::string base_path;
    // Anonymous: a UUID text, renewed by every successful commit; a branch:
    // the branch name.
    std::string name;
    std::optional<std::string> branch;
    Engine snapshot;
    // None until the first captured op, and again after a commit.
    std::optional<ShadowLog> log;
    SessionPolicies policies;
    // Ops captured since the last seal (a branch only).
    std::uint64_t unsealed = 0;
    // Ops captured and not yet merged.
    std::uint64_t pending = 0;
    // Set by a commit: the next statement first reloads the snapshot.
    bool stale = false;
    // The snapshot no longer agrees with base + log (a capture failed after
    // the statement had run): the next statement first rebuilds it.
    bool needs_rebuild = false;
    // A commit failed leaving its merge record (its save failed and the base
    // could not be asked whether it holds the merge): INSERT, UPDATE and
    // DELETE are refused until a commit settles the record.
    bool commit_unsettled = false;
    // The file system the commit works through: the base, the merge record
    // and the kept-ops file (none: the real one).
    std::shared_ptr<Vfs> vfs;

    // A new anonymous session; creates no file.
    static Result<ShadowSession> open(const std::string& base_path);
    // A session on the branch; an existing branch log is read, checked
    // against the snapshot's schemas, replayed and reopened for appending.
    static Result<ShadowSession> open_branch(const std::string& base_path, std::string_view branch);

    // Rebuilds the snapshot from the current base and the log's ops, which
    // must pass the schema check of a commit ("schema divergence on '{}':
    // ..."). On failure the old snapshot and flags stay.
    Status refresh();
    // Closes the unsealed ops with a seal; returns their number. Execution
    // errors: "seal() is for named branches; anonymous shadows merge on
    // commit()", "nothing to commit (no unsealed ops)"; the log's errors.
    Result<std::uint64_t> seal(std::string_view author, std::string_view message);
    // An override for the exact table name, or (none) the default.
    void set_merge_policy(const std::optional<std::string>& table, MergePolicy policy);

    // Runs one statement on the snapshot: SELECT and EXPLAIN read it; INSERT,
    // UPDATE and DELETE change it and append one op per changed row to the
    // log (created by the first op); everything else is refused. When an op
    // cannot be written the statement counts as not done: the log is cut
    // back to where it stood, the counters stay, the snapshot is rebuilt from
    // base and log, and the error is returned.
    Result<ExecResult> execute(std::string_view sql);

    // Merges the sealed ops into the base (shadow/commit.cpp); returns the
    // report. A failure leaves the base file, the log and the session as
    // they were.
    Result<CommitReport> commit();
    // The conflict records a commit would meet, every outcome; writes
    // nothing. No log: none.
    Result<std::vector<ConflictRecord>> conflicts();

    LogKind log_kind() const { return branch ? LogKind::Branch : LogKind::Anonymous; }
};

}  // namespace zembrel::shadow

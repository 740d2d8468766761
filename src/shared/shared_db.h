// One database used by several threads of a process at once: the engine
// behind a shared handle.
//
// Roads of `execute`:
// - writing (every kind but SELECT and BEGIN/COMMIT/ROLLBACK, EXPLAIN
//   included): one statement at a time on the shared engine under the
//   mutex, committed to the log before the mutex goes, so each statement is
//   durable when its call returns. A statement that fails, or whose commit
//   fails, is undone: the engine returns to its last commit, so a reported
//   failure leaves nothing behind (nothing of it reaches the log with a later
//   commit) and a retry applies the work once.
// - reading (SELECT): a ReadSnapshot is taken under the mutex; then, without
//   the mutex, every table the statement names (joins and subqueries
//   included) is loaded from the snapshot into a fresh private engine and
//   the statement runs there. A reader sees the database as of the last
//   commit before its snapshot: whole statements only.
// - BEGIN, COMMIT, ROLLBACK are refused (every statement commits itself).
//
// Log growth: while a SELECT's snapshot lives, checkpoints are skipped and
// commits keep appending to the log, so long queries under a steady stream
// of writes let the log grow past its 4 MiB threshold; the first commit
// after the last snapshot is released checkpoints it.
//
// Threads: `execute`, `take_snapshot` and `with_engine` may be called from
// any number of threads at once; the parsing (fast paths first, see
// parser/fast_path.h) and the query itself run outside the mutex. Nothing
// returns with the mutex held. Destruction must follow every call.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/read_snapshot.h"
#include "executor/exec_result.h"
#include "parser/ast.h"
#include "types/error.h"

namespace zembrel {

inline constexpr std::string_view kSharedTransactionRefusal =
    "interactive transactions are not yet supported over shared connections (each statement auto-commits)";

class SharedDb {
public:
    // The engine of a page-file database (or an in-memory one, which gets
    // its backing page file on first use).
    explicit SharedDb(Engine engine);
    SharedDb(const SharedDb&) = delete;
    SharedDb& operator=(const SharedDb&) = delete;

    // Opens the page file at `path` when its metadata can be read, else
    // creates one there; both take the lock file. A file that is not a page
    // file fails (nothing is migrated). Errors: the engine's.
    static Result<std::unique_ptr<SharedDb>> open(const std::string& path);

    // Runs one statement of SQL text (valid UTF-8). Errors: parse errors,
    // Execution kSharedTransactionRefusal, the statement's and the commit's
    // errors, the snapshot's.
    Result<ExecResult> execute(std::string_view sql);
    Result<ExecResult> execute(parser::Statement statement);

    // The reading road in two halves, for callers that hold a snapshot
    // across several queries (each query sees the same commit).
    Result<ReadSnapshot> take_snapshot();
    static Result<ExecResult> run_on_snapshot(ReadSnapshot& snapshot, parser::Statement statement);

    // Runs `f(engine)` under the mutex (inspection and tests).
    template <class F>
    auto with_engine(F&& f) {
        std::lock_guard lock(mutex_);
        return f(engine_);
    }

private:
    Result<ExecResult> write(parser::Statement statement);
    void remember_commit();
    bool changed_since_commit() const;

    std::mutex mutex_;
    Engine engine_;
    // Which pager and how far its change count stood at the last commit.
    const Pager* committed_pager_ = nullptr;
    uint64_t committed_changes_ = 0;
};

}  // namespace zembrel

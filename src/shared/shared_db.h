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
// - reading (SELECT): the statement runs on a private reader engine that
//   borrows every table it names (joins and subqueries included) as an
//   immutable TableVersion. The handle keeps, per table, the version as of
//   the last commit that changed it; a commit drops the versions of the
//   tables its statement changed, and only those. Under the mutex a reader
//   takes the versions that are there and, when one is missing, a
//   ReadSnapshot of the same commit. Without the mutex it then reads the
//   missing tables from the snapshot by the cheapest road that gives the
//   whole of them as of that commit:
//   - the page road (planner/table_source.h), when index seeks alone
//     answer the statement (a one-table SELECT whose WHERE an index of the
//     page file answers): the engine gets a read-only page store over the
//     snapshot's pages (ReadSnapshot::lend_pages) and reads the pages of a
//     few paths, as a plain handle reads a table it has not loaded;
//   - else the table's version, decoded once per change from the snapshot
//     and published for everyone (a decode already under way for the same
//     change is waited for instead).
//   A Pk point query of a table the writing engine has loaded and no
//   version of is instead answered there, under the mutex (a seek of its
//   Pk tree; the page file has none), until kWriterReadsBeforeDecode such
//   reads since the table's last change make the next one decode it. So a
//   table is decoded at most once per change, no point query waits for a
//   decode, and a reader sees the database as of one commit: whole
//   statements only.
//   A thread keeps its reader engine between statements in a lane (one of
//   kLanes; a thread keeps the lane it last had and, finding it in use by
//   another, takes the next free one). The lane keeps every version it
//   borrowed until a commit supersedes it: while none of the versions of
//   the tables a statement names has been superseded, the statement runs on
//   the lane at once, taking neither the mutex nor a count of any version,
//   so readers do not meet, nor are they held up by commits to tables they
//   do not read. Versions all current at one moment are the tables as of
//   the last commit before it, so such a statement still sees whole
//   commits. A lane that read by the page road keeps its snapshot's store
//   too, for statements the page road answers, while no commit and no
//   newly published version has come since. Otherwise the lane takes the
//   named tables' versions anew under the mutex. With every lane in use,
//   or for a statement naming a table that has no stored form, a fresh
//   private engine runs it instead.
// - BEGIN, COMMIT, ROLLBACK are refused (every statement commits itself).
//
// Log growth: while a SELECT's snapshot lives, checkpoints are skipped and
// commits keep appending to the log, so long queries under a steady stream
// of writes let the log grow past its 4 MiB threshold; the first commit
// after the last snapshot is released checkpoints it. A lane between
// statements lets its snapshot go before each commit; a lane in use keeps
// it until its statement ends.
//
// Memory: besides the tables the writing road has loaded, the handle keeps
// one decoded version of every table readers have read since its last
// change; a version that a change dropped goes with its last reader, a lane
// counting as one until its next statement or the next commit (which
// empties every lane not in use).
//
// Threads: `execute`, `take_snapshot` and `with_engine` may be called from
// any number of threads at once; the parsing (fast paths first, see
// parser/fast_path.h), the decoding and the query itself run outside the
// mutex. Nothing returns with the mutex held. Destruction must follow every
// call.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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
    // errors, the snapshot's. With a sink, a row result's rows go to it as
    // they come (executor::execute's contract); a failure may follow rows
    // already given.
    Result<ExecResult> execute(std::string_view sql, RowSink* sink = nullptr);
    Result<ExecResult> execute(parser::Statement statement, RowSink* sink = nullptr);

    // The reading road in two halves, for callers that hold a snapshot
    // across several queries (each query sees the same commit).
    Result<ReadSnapshot> take_snapshot();
    static Result<ExecResult> run_on_snapshot(ReadSnapshot& snapshot, parser::Statement statement);

    // Runs `f(engine)` under the mutex, for inspection and tests: `f` must
    // not change the database (readers would not learn of it).
    template <class F>
    auto with_engine(F&& f) {
        std::lock_guard lock(mutex_);
        return f(engine_);
    }

    // Reads on the writing engine of a table with no version, before one
    // of them decodes it: decoding costs a whole read of the table, a
    // seek of its Pk tree there a few microseconds under the mutex.
    static constexpr uint64_t kWriterReadsBeforeDecode = 1024;

    // How many table versions readers have decoded since the handle opened.
    uint64_t decoded_versions() const { return decoded_.load(std::memory_order_relaxed); }

private:
    // A decoded version as the handle hands it out. `superseded` is set
    // once, under the mutex, by the first commit that changes the table
    // after the version's commit (or at once, for a version whose decode a
    // commit overtook); it is read without the mutex. On a cache line of its
    // own: every reader of the table reads it, no reader writes near it.
    struct Published {
        TableVersion version;
        alignas(64) mutable std::atomic<bool> superseded{false};
        explicit Published(TableVersion v) : version(std::move(v)) {}
    };
    using PublishedPtr = std::shared_ptr<const Published>;
    static bool is_superseded(const PublishedPtr& version) {
        return version->superseded.load(std::memory_order_relaxed);
    }
    struct PendingVersion;
    // What the readers know of one table.
    struct VersionSlot {
        uint64_t changes = 0;                     // commits that changed the table
        PublishedPtr version;                     // as of the last change, or none yet
        std::shared_ptr<PendingVersion> pending;  // its decode under way, or none
        uint64_t writer_reads = 0;                // read_on_writer's since the last change
    };
    struct ReadPlan;
    // What a reader takes under the mutex: the named tables' versions that
    // are there, and for the others (with their slots' change counts then)
    // a snapshot of the same commit, with the counters below as they stood.
    struct Taken {
        struct Missing {
            std::string table;
            uint64_t changes = 0;
        };
        std::vector<PublishedPtr> ready;
        std::vector<Missing> missing;
        std::optional<ReadSnapshot> snapshot;  // when anything is missing
        uint64_t commits = 0;
        uint64_t published = 0;
    };
    // The versions of the named tables as of one commit; a table without a
    // stored form has none, and makes `complete` false.
    struct Versions {
        std::vector<PublishedPtr> ready;
        bool complete = true;
    };
    // A reader engine kept between one thread's statements. Its own cache
    // line, so that readers on different lanes share none.
    struct alignas(64) ReaderLane {
        std::mutex mutex;  // held by the reader running on the lane
        // Borrows exactly `held`; its page store, when it has one, is the
        // read-only one over the snapshot taken with `held`, as of
        // `snapshot_commits` and `snapshot_published`.
        Engine engine;
        std::vector<PublishedPtr> held;
        uint64_t snapshot_commits = 0;
        uint64_t snapshot_published = 0;
    };
    static constexpr size_t kLanes = 16;
    // Pages a reader's read-only store over its snapshot caches: enough for
    // the paths of the seeks of one statement and the next few.
    static constexpr size_t kSnapshotCachePages = 256;

    Result<ExecResult> read(parser::Statement statement, RowSink* sink);
    // A Pk point query of a table that has no version while the writing
    // engine has it loaded, and fewer than kWriterReadsBeforeDecode such
    // reads since its last change (or a decode of it under way): runs on
    // the writing engine under the mutex (the last commit, whole), its rows
    // given to the sink after. None when not so (`statement` untouched).
    std::optional<Result<ExecResult>> read_on_writer(parser::Statement& statement, RowSink* sink);
    // A free lane, locked: the one this thread had last, else the next free
    // one (which becomes this thread's); none when every lane is in use.
    ReaderLane* lock_lane(std::unique_lock<std::mutex>& lock);
    Result<Taken> take_current(const std::vector<std::string>& names);
    // The missing tables' versions as of the snapshot: a version published
    // since for the same change, a decode under way for it (waited for), or
    // decoded here (published when still current).
    Result<Versions> versions_of_missing(Taken& taken);
    // True when the statement may run on the lane as it is: the lane holds
    // a version of every named table and none of those versions is
    // superseded; or its snapshot is still as of the last commit, no version
    // was published since, and the tables it holds none of are read through
    // the page road by index seeks alone.
    bool lane_fits(ReaderLane& lane, const std::vector<std::string>& names, const parser::Statement& statement) const;
    // Replaces the lane's versions of the tables of `versions` with those,
    // and moves them and its superseded ones into `dropped`; the lane's
    // engine starts afresh (its snapshot's page store goes).
    static void refill_lane(ReaderLane& lane, std::vector<PublishedPtr> versions, std::vector<PublishedPtr>& dropped);
    // Moves the superseded versions of every lane not in use into `dropped`.
    void empty_stale_lanes(std::vector<PublishedPtr>& dropped);
    // Every lane not in use lets its snapshot go (before a commit, so that
    // its checkpoint is not held off by readers between statements).
    void release_lane_snapshots(std::vector<Engine>& dropped);
    Result<PublishedPtr> decode(ReadSnapshot& snapshot, const std::string& table);
    void settle(const std::string& table, const std::shared_ptr<PendingVersion>& pending, PublishedPtr version);
    Result<ExecResult> write(parser::Statement statement, RowSink* sink);
    // The tables whose stored form the statement may change; none: any.
    std::optional<std::vector<std::string>> tables_changed_by(const parser::Statement& statement) const;
    void mark_changed(const std::optional<std::vector<std::string>>& tables, std::vector<PublishedPtr>& dropped);
    void remember_commit();
    bool changed_since_commit() const;

    std::mutex mutex_;
    Engine engine_;
    std::unordered_map<std::string, VersionSlot> versions_;  // guarded by mutex_
    std::atomic<uint64_t> decoded_{0};
    // Grow under the mutex: with every commit that changes a table, and with
    // every version published. A lane's snapshot serves while both stand
    // where they stood when it was taken.
    std::atomic<uint64_t> commits_{0};
    std::atomic<uint64_t> published_{0};
    std::array<ReaderLane, kLanes> lanes_;
    // Which pager and how far its change count stood at the last commit.
    const Pager* committed_pager_ = nullptr;
    uint64_t committed_changes_ = 0;
};

}  // namespace zembrel

// Side-by-side harnesses: the same SQL text on zembrel and on SQLite, timed
// in alternating runs, reported as the ratio of zembrel's median time to
// SQLite's. Header-only so that any benchmark in bench/ can include it.
//
// Two faces, each compiled where its headers are visible:
// - in-process (zembrel::bench): a zembrel Engine driven through the
//   executor, for benchmarks linked against the modules. Both sides do the
//   whole work of a query a caller would: zembrel parses, plans and
//   materializes its result rows; SQLite prepares, steps every row and reads
//   every column value.
// - through the C APIs (zembrel::bench::capi): workloads of SQL texts and
//   reopens on a zembrel_db and an sqlite3 handle, for benchmarks linked
//   against the shared library, measuring what a user of the library gets.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zembrel::bench {

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace zembrel::bench

#if __has_include("engine/engine.h")
#include "engine/engine.h"
#include "executor/execute.h"
#include "parser/parser.h"

namespace zembrel::bench {

// Runs one statement on the engine; returns the number of result rows.
inline size_t zembrel_run(Engine& engine, const std::string& sql) {
    auto statement = parser::parse_sql(sql);
    if (!statement) die(sql + ": " + statement.error().display());
    auto result = executor::execute(engine, std::move(*statement));
    if (!result) die(sql + ": " + result.error().display());
    if (auto* rows = std::get_if<Rows>(&*result)) return rows->rows.size();
    return 0;
}

class SqliteDb {
public:
    explicit SqliteDb(const std::string& path = ":memory:") {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) die("sqlite3_open failed");
    }
    ~SqliteDb() { sqlite3_close(db_); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    sqlite3* handle() const { return db_; }

    void exec(const std::string& sql) {
        char* msg = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) die(sql + ": " + (msg ? msg : ""));
    }

    // Steps through every row and reads every column; returns the row count.
    size_t query(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) die(sql + ": " + sqlite3_errmsg(db_));
        size_t rows = 0;
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            ++rows;
            const int n = sqlite3_column_count(st);
            for (int i = 0; i < n; ++i) {
                switch (sqlite3_column_type(st, i)) {
                    case SQLITE_INTEGER: sink_ += static_cast<uint64_t>(sqlite3_column_int64(st, i)); break;
                    case SQLITE_FLOAT: sink_ += static_cast<uint64_t>(sqlite3_column_double(st, i)); break;
                    case SQLITE_TEXT: sink_ += static_cast<uint64_t>(sqlite3_column_bytes(st, i)); break;
                    default: break;
                }
            }
        }
        if (rc != SQLITE_DONE) die(sql + ": " + sqlite3_errmsg(db_));
        sqlite3_finalize(st);
        return rows;
    }

private:
    sqlite3* db_ = nullptr;
    uint64_t sink_ = 0;  // keeps the column reads from being optimised away
};

// The command line of the SELECT benchmarks, for profiling one case: a row
// count, then a part of a workload's name; options meant for other
// benchmarks ("--...") are skipped.
struct BenchArgs {
    std::vector<uint64_t> sizes = {100'000, 1'000'000};
    std::string only;  // empty: every workload
};

inline BenchArgs parse_bench_args(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-') args.emplace_back(argv[i]);
    BenchArgs out;
    if (!args.empty() && !args[0].empty() && args[0].find_first_not_of("0123456789") == std::string::npos)
        out.sizes = {std::stoull(args[0])};
    if (args.size() > 1) out.only = args[1];
    return out;
}

struct Timing {
    double ours_ms = 0;
    double theirs_ms = 0;
    double ratio() const { return theirs_ms > 0 ? ours_ms / theirs_ms : 0; }
};


// One warm-up run of each, then `rounds` runs alternating ours, theirs.
inline Timing alternate(const std::function<void()>& ours, const std::function<void()>& theirs, int rounds) {
    using clock = std::chrono::steady_clock;
    auto time = [](const std::function<void()>& f) {
        auto t0 = clock::now();
        f();
        return std::chrono::duration<double, std::milli>(clock::now() - t0).count();
    };
    ours();
    theirs();
    std::vector<double> a, b;
    for (int i = 0; i < rounds; ++i) {
        a.push_back(time(ours));
        b.push_back(time(theirs));
    }
    return Timing{median(a), median(b)};
}

// The same SQL on both sides; checks that both return the same row count.
inline Timing same_sql(Engine& engine, SqliteDb& sqlite, const std::string& sql, int rounds) {
    const size_t ours = zembrel_run(engine, sql);
    const size_t theirs = sqlite.query(sql);
    if (ours != theirs) die(sql + ": row counts differ (" + std::to_string(ours) + " vs " + std::to_string(theirs) + ")");
    return alternate([&] { zembrel_run(engine, sql); }, [&] { sqlite.query(sql); }, rounds);
}

inline void print_header() {
    std::printf("%-34s %10s %12s %12s %8s\n", "workload", "rows", "zembrel ms", "sqlite ms", "ratio");
}

inline void print_row(const std::string& name, uint64_t rows, const Timing& t) {
    std::printf("%-34s %10llu %12.2f %12.2f %8.2f\n", name.c_str(), static_cast<unsigned long long>(rows), t.ours_ms,
                t.theirs_ms, t.ratio());
    std::fflush(stdout);
}

}  // namespace zembrel::bench
#endif

#if __has_include("zembrel.h")
#include "zembrel.h"

// A workload is a setup (untimed, may differ per engine: the dialects
// disagree on key columns) and a timed sequence of steps, each an SQL text
// run with one call, or a close and reopen of the database. Both engines get
// the very same SQL texts. Runs alternate between the engines (and which one
// goes first):
//   capi::Workload w{...};
//   capi::Outcome o = capi::run(w);   // prints one line
// Databases live in a fresh directory under TMPDIR (or /tmp), removed after
// the workload. A failed call ends the process with the engine's message:
// a benchmark that measured an error would mislead.
namespace zembrel::bench::capi {

enum class EngineKind { Zembrel, Sqlite };
enum class Where { Memory, File };

// One timed step: an SQL text, or (file databases only) close and reopen.
// A query step reads every cell of its result as text, as a user of either
// library would read a result: zembrel_result_value, sqlite3_column_text.
struct Step {
    std::string sql;
    bool reopen = false;
    bool query = false;
};
inline Step sql(std::string text) { return Step{std::move(text), false, false}; }
inline Step query(std::string text) { return Step{std::move(text), false, true}; }
inline Step reopen() { return Step{{}, true, false}; }

// One open database of either engine.
class Db {
public:
    Db(EngineKind kind, Where where, std::string path) : kind_(kind), where_(where), path_(std::move(path)) { open(); }
    ~Db() { close(); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    EngineKind kind() const { return kind_; }

    void exec(const std::string& text) {
        if (kind_ == EngineKind::Zembrel) {
            if (zembrel_exec(zembrel_, text.c_str()) != 0) die(zembrel_errmsg(zembrel_), text);
        } else {
            char* message = nullptr;
            if (sqlite3_exec(sqlite_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) die(message, text);
        }
    }

    // Runs the query and reads every cell as text; returns the row count.
    size_t query(const std::string& text) {
        size_t rows = 0;
        if (kind_ == EngineKind::Zembrel) {
            zembrel_result* rs = zembrel_query(zembrel_, text.c_str());
            if (rs == nullptr) die(zembrel_errmsg(zembrel_), text);
            rows = static_cast<size_t>(zembrel_result_row_count(rs));
            const int columns = zembrel_result_column_count(rs);
            for (int r = 0; r < static_cast<int>(rows); ++r)
                for (int c = 0; c < columns; ++c) sink_ += std::strlen(zembrel_result_value(rs, r, c));
            zembrel_result_free(rs);
        } else {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(sqlite_, text.c_str(), -1, &st, nullptr) != SQLITE_OK) die(sqlite3_errmsg(sqlite_), text);
            const int columns = sqlite3_column_count(st);
            int rc;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                ++rows;
                for (int c = 0; c < columns; ++c) {
                    const unsigned char* cell = sqlite3_column_text(st, c);
                    sink_ += cell == nullptr ? 0 : static_cast<size_t>(sqlite3_column_bytes(st, c));
                }
            }
            if (rc != SQLITE_DONE) die(sqlite3_errmsg(sqlite_), text);
            sqlite3_finalize(st);
        }
        return rows;
    }

    void run(const Step& step) {
        if (step.query) {
            query(step.sql);
            return;
        }
        if (!step.reopen) return exec(step.sql);
        close();
        open();
    }

private:
    void open() {
        if (kind_ == EngineKind::Zembrel) {
            zembrel_ = where_ == Where::Memory ? zembrel_open_memory() : zembrel_open(path_.c_str());
            if (zembrel_ == nullptr) die("cannot open", path_);
        } else {
            const char* name = where_ == Where::Memory ? ":memory:" : path_.c_str();
            if (sqlite3_open(name, &sqlite_) != SQLITE_OK) die(sqlite3_errmsg(sqlite_), path_);
            // Durability like zembrel's: a write-ahead log flushed at every commit.
            if (where_ == Where::File) exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL");
        }
    }
    void close() {
        if (zembrel_ != nullptr) zembrel_close(zembrel_);
        if (sqlite_ != nullptr) sqlite3_close(sqlite_);
        zembrel_ = nullptr;
        sqlite_ = nullptr;
    }
    [[noreturn]] void die(const char* message, const std::string& what) const {
        std::fprintf(stderr, "%s failed: %s\n  on: %.200s\n", kind_ == EngineKind::Zembrel ? "zembrel" : "sqlite",
                     message ? message : "(no message)", what.c_str());
        std::exit(1);
    }

    EngineKind kind_;
    Where where_;
    std::string path_;
    zembrel_db* zembrel_ = nullptr;
    sqlite3* sqlite_ = nullptr;
    size_t sink_ = 0;  // keeps the cell reads from being optimised away
};

struct Workload {
    std::string name;
    Where where = Where::Memory;
    int runs = 5;
    // Each run starts from a new database with the setup done again; else
    // the setup runs once per engine and the runs follow one another.
    bool fresh_per_run = false;
    std::function<void(Db&)> setup;
    // The timed steps of run `r` (0-based); built before the clock starts.
    std::function<std::vector<Step>(int r)> timed;
};

struct Outcome {
    std::string name;
    double zembrel_seconds = 0;
    double sqlite_seconds = 0;
    double ratio() const { return sqlite_seconds > 0 ? zembrel_seconds / sqlite_seconds : 0; }
};


inline std::string fresh_dir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/side-by-side-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return dir;
}

inline std::string format_seconds(double s) {
    char buf[32];
    if (s < 1e-3) std::snprintf(buf, sizeof buf, "%.1f us", s * 1e6);
    else if (s < 1) std::snprintf(buf, sizeof buf, "%.2f ms", s * 1e3);
    else std::snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

inline void print_outcome(const Outcome& o) {
    std::printf("%-48s zembrel %10s  sqlite %10s  ratio %6.2f\n", o.name.c_str(),
                format_seconds(o.zembrel_seconds).c_str(), format_seconds(o.sqlite_seconds).c_str(), o.ratio());
    std::fflush(stdout);
}

inline Outcome run(const Workload& w) {
    const std::string dir = fresh_dir();
    const EngineKind kinds[2] = {EngineKind::Zembrel, EngineKind::Sqlite};
    int opened = 0;
    auto make = [&](EngineKind kind) {
        std::string path = dir + "/db" + std::to_string(opened++) + (kind == EngineKind::Zembrel ? ".zdb" : ".sqlite");
        auto db = std::make_unique<Db>(kind, w.where, path);
        if (w.setup) w.setup(*db);
        return db;
    };
    std::unique_ptr<Db> dbs[2];
    if (!w.fresh_per_run)
        for (int e = 0; e < 2; ++e) dbs[e] = make(kinds[e]);

    std::vector<double> times[2];
    for (int r = 0; r < w.runs; ++r) {
        const std::vector<Step> steps = w.timed(r);
        for (int k = 0; k < 2; ++k) {
            const int e = (r % 2 == 0) ? k : 1 - k;
            if (w.fresh_per_run) {
                dbs[e].reset();
                dbs[e] = make(kinds[e]);
            }
            const auto start = std::chrono::steady_clock::now();
            for (const Step& step : steps) dbs[e]->run(step);
            const auto stop = std::chrono::steady_clock::now();
            times[e].push_back(std::chrono::duration<double>(stop - start).count());
        }
    }
    for (auto& db : dbs) db.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);

    Outcome o{w.name, median(times[0]), median(times[1])};
    print_outcome(o);
    return o;
}

}  // namespace zembrel::bench::capi
#endif

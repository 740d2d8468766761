// A side-by-side harness: the same SQL text on a zembrel Engine and on an
// SQLite database, timed in alternating runs, reported as the ratio of
// zembrel's median time to SQLite's. Header-only so that any benchmark in
// bench/ can include it.
//
// Both sides do the whole work of a query a caller would: zembrel parses,
// plans and materializes its result rows; SQLite prepares, steps every row
// and reads every column value.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/execute.h"
#include "parser/parser.h"

namespace zembrel::bench {

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

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

struct Timing {
    double ours_ms = 0;
    double theirs_ms = 0;
    double ratio() const { return theirs_ms > 0 ? ours_ms / theirs_ms : 0; }
};

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

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

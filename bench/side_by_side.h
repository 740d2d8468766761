// Side-by-side timing of zembrel and SQLite through their C APIs.
//
// A workload is a setup (untimed, may differ per engine: the dialects
// disagree on key columns) and a timed sequence of steps, each an SQL text
// run with one call, or a close and reopen of the database. Both engines get
// the very same SQL texts. Runs alternate between the engines (and which one
// goes first), and each engine's median run is reported with the ratio
// zembrel/SQLite:
//   side_by_side::Workload w{...};
//   side_by_side::Outcome o = side_by_side::run(w);   // prints one line
//
// Databases live in a fresh directory under TMPDIR (or /tmp), removed after
// the workload. A failed call ends the process with the engine's message:
// a benchmark that measured an error would mislead.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zembrel.h"

namespace side_by_side {

enum class EngineKind { Zembrel, Sqlite };
enum class Where { Memory, File };

// One timed step: an SQL text, or (file databases only) close and reopen.
struct Step {
    std::string sql;
    bool reopen = false;
};
inline Step sql(std::string text) { return Step{std::move(text), false}; }
inline Step reopen() { return Step{{}, true}; }

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

    void run(const Step& step) {
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
        std::exit(2);
    }

    EngineKind kind_;
    Where where_;
    std::string path_;
    zembrel_db* zembrel_ = nullptr;
    sqlite3* sqlite_ = nullptr;
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

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline std::string fresh_dir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/side-by-side-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
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

inline void print(const Outcome& o) {
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
    print(o);
    return o;
}

}  // namespace side_by_side

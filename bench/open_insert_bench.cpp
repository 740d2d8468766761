// Opening a file database and making its first change, as a new process
// would: open, one INSERT into a table of `rows` rows (which makes zembrel
// load the table whole), close. Each trial runs in a child process of its
// own, so that its peak RSS is the trial's alone; trials alternate between
// zembrel and SQLite on the same INSERT text.
//
// The table: a key column, an INT under a unique index, a FLOAT, a ~20-byte
// TEXT under a plain index, a ~40-byte TEXT and a DATETIME.
//
// Usage: open_insert_bench [rows [runs]]   (100000 rows, 5 runs without them).
// Prints per engine the median time of open + INSERT, the median peak RSS
// against the file's size, and RSS after close against RSS before open.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "side_by_side.h"
#include "zembrel.h"

namespace {

using zembrel::bench::die;
using zembrel::bench::median;

// A field of /proc/self/status in KiB (VmRSS, VmHWM).
long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    return -1;
}

std::string row_values(long i) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "(%ld, %ld.25, 'group %06ld tag', 'a forty byte note for row number %08ld', '2026-%02ld-%02ld %02ld:%02ld:%02ld:%03ld')",
                  i, i, i % 5000, i, i % 12 + 1, i % 28 + 1, i % 24, i % 60, (i / 60) % 60, i % 1000);
    return buf;
}

const char* kInsert = "INSERT INTO t (a, f, s, n, d) VALUES (-1, 0.5, 'a new row here', 'written after the open', '2026-12-07 10:00:00:000')";

void fill(zembrel::bench::capi::Db& db, long rows) {
    db.exec("BEGIN");
    for (long next = 0; next < rows;) {
        std::string text = "INSERT INTO t (a, f, s, n, d) VALUES ";
        for (int k = 0; k < 1000 && next < rows; ++k, ++next) {
            if (k) text += ", ";
            text += row_values(next);
        }
        db.exec(text);
    }
    db.exec("COMMIT");
}

void build(const std::string& dir, long rows) {
    using namespace zembrel::bench::capi;
    {
        Db z(EngineKind::Zembrel, Where::File, dir + "/t.zdb");
        z.exec("CREATE TABLE t (id PK, a INT, f FLOAT, s TEXT, n TEXT, d DATETIME)");
        z.exec("CREATE UNIQUE INDEX t_a ON t (a)");
        z.exec("CREATE INDEX t_s ON t (s)");
        fill(z, rows);
    }
    {
        Db s(EngineKind::Sqlite, Where::File, dir + "/t.sqlite");
        s.exec("CREATE TABLE t (id TEXT PRIMARY KEY DEFAULT (lower(hex(randomblob(16)))), a INT, f FLOAT, s TEXT, n TEXT, d TEXT)");
        s.exec("CREATE UNIQUE INDEX t_a ON t (a)");
        s.exec("CREATE INDEX t_s ON t (s)");
        fill(s, rows);
    }
}

// One trial in this (child) process; prints "ms peak_kib before_kib after_kib".
int trial(bool ours, const std::string& path) {
    const long before = status_kib("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    double ms = 0;
    if (ours) {
        zembrel_db* db = zembrel_open(path.c_str());
        if (db == nullptr) die("zembrel_open failed");
        if (zembrel_exec(db, kInsert) != 0) die(zembrel_errmsg(db));
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        zembrel_close(db);
    } else {
        sqlite3* db = nullptr;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open failed");
        char* message = nullptr;
        if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr, &message) != SQLITE_OK ||
            sqlite3_exec(db, kInsert, nullptr, nullptr, &message) != SQLITE_OK)
            die(message ? message : "sqlite3_exec failed");
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        sqlite3_close(db);
    }
    std::printf("%f %ld %ld %ld\n", ms, status_kib("VmHWM"), before, status_kib("VmRSS"));
    return 0;
}

struct Sample {
    double ms = 0;
    double peak_kib = 0, before_kib = 0, after_kib = 0;
};

Sample run_child(bool ours, const std::string& path) {
    int fds[2];
    if (pipe(fds) != 0) die("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execl("/proc/self/exe", "open_insert_bench", "--trial", ours ? "zembrel" : "sqlite", path.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    char buf[256] = {};
    const ssize_t got = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Sample s;
    if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(buf, "%lf %lf %lf %lf", &s.ms, &s.peak_kib, &s.before_kib, &s.after_kib) != 4)
        die("trial failed");
    return s;
}

// A fresh copy of the built database for one trial (every trial inserts).
std::string fresh_copy(const std::string& dir, const std::string& name) {
    namespace fs = std::filesystem;
    const std::string copy = dir + "/trial-" + name;
    fs::remove(copy);
    fs::copy_file(dir + "/" + name, copy);
    return copy;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--trial") return trial(std::string(argv[2]) == "zembrel", argv[3]);
    const long rows = argc > 1 ? std::atol(argv[1]) : 100'000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string dir = zembrel::bench::capi::fresh_dir();
    build(dir, rows);
    const double file_mib[2] = {std::filesystem::file_size(dir + "/t.zdb") / 1048576.0,
                                std::filesystem::file_size(dir + "/t.sqlite") / 1048576.0};
    std::vector<Sample> samples[2];
    for (int r = 0; r < runs; ++r) {
        for (int k = 0; k < 2; ++k) {
            const int e = (r % 2 == 0) ? k : 1 - k;
            const std::string path = fresh_copy(dir, e == 0 ? "t.zdb" : "t.sqlite");
            samples[e].push_back(run_child(e == 0, path));
        }
    }
    double ms[2];
    for (int e = 0; e < 2; ++e) {
        std::vector<double> t, peak, grown;
        for (const Sample& s : samples[e]) {
            t.push_back(s.ms);
            peak.push_back(s.peak_kib / 1024.0);
            grown.push_back((s.after_kib - s.before_kib) / 1024.0);
        }
        ms[e] = median(t);
        std::printf("%-8s %8ld rows  open+INSERT %9.2f ms  file %7.1f MiB  peak RSS %7.1f MiB (%.2fx file)  "
                    "RSS after close - before open %+7.1f MiB\n",
                    e == 0 ? "zembrel" : "sqlite", rows, ms[e], file_mib[e], median(peak), median(peak) / file_mib[e],
                    median(grown));
    }
    std::printf("ratio open+INSERT zembrel/sqlite: %.2f\n", ms[1] > 0 ? ms[0] / ms[1] : 0.0);
    if (std::getenv("OPEN_INSERT_BENCH_KEEP") != nullptr) {
        // For profiling a trial: open_insert_bench --trial zembrel DIR/t.zdb
        std::printf("kept %s\n", dir.c_str());
        return 0;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}

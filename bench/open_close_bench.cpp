// Opening and closing a file database in an empty folder and in a crowded
// one (one database per tenant in one folder, each with its lock file, is a
// common layout), through the C API as a user runs it. An open's cost must
// not grow with what else its folder holds.
//
// Each round times a batch of open + close in one folder, then in the other
// (which goes first alternates), and SQLite's open + schema read + close on
// a database beside it, so that both folders see the same machine state.
//
// Usage: open_close_bench [other_files [rounds [batch]]]   (60000, 30, 200).
// Prints the median per open + close for each folder and engine, and the
// crowded folder's cost against the empty one's. To compare builds, run the
// same binary with LD_LIBRARY_PATH set to another build's libzembrel.so.0.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "side_by_side.h"
#include "zembrel.h"

namespace {

using zembrel::bench::die;
using zembrel::bench::median;
using Clock = std::chrono::steady_clock;

struct Folder {
    std::string name;
    std::string zembrel_path;
    std::string sqlite_path;
    std::vector<double> zembrel_us;
    std::vector<double> sqlite_us;
};

void make_databases(Folder& f) {
    using namespace zembrel::bench::capi;
    Db z(EngineKind::Zembrel, Where::File, f.zembrel_path);
    z.exec("CREATE TABLE t (id PK, a INT, s TEXT)");
    z.exec("INSERT INTO t (a, s) VALUES (1, 'one'), (2, 'two'), (3, 'three')");
    Db s(EngineKind::Sqlite, Where::File, f.sqlite_path);
    s.exec("CREATE TABLE t (id TEXT PRIMARY KEY, a INT, s TEXT)");
    s.exec("INSERT INTO t (id, a, s) VALUES ('x', 1, 'one'), ('y', 2, 'two'), ('z', 3, 'three')");
}

double time_zembrel(const std::string& path, int batch) {
    const auto start = Clock::now();
    for (int i = 0; i < batch; ++i) {
        zembrel_db* db = zembrel_open(path.c_str());
        if (db == nullptr) die("zembrel_open failed: " + path);
        zembrel_close(db);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / batch;
}

// SQLite reads nothing at open: the schema read is what makes it look at
// the file, as zembrel's open reads its header and catalog.
double time_sqlite(const std::string& path, int batch) {
    const auto start = Clock::now();
    for (int i = 0; i < batch; ++i) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) die("sqlite3_open failed");
        if (sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) die(sqlite3_errmsg(db));
        sqlite3_close(db);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / batch;
}

}  // namespace

int main(int argc, char** argv) {
    const long others = argc > 1 ? std::atol(argv[1]) : 60000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    const int batch = argc > 3 ? std::atoi(argv[3]) : 200;
    if (others < 0 || rounds < 1 || batch < 1) die("usage: open_close_bench [other_files [rounds [batch]]]");

    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zembrel_open_close_XXXXXX";
    if (mkdtemp(root.data()) == nullptr) die("mkdtemp failed");
    Folder folders[2] = {{"empty", root + "/empty/t.zdb", root + "/empty/t.sqlite", {}, {}},
                         {"crowded", root + "/crowded/t.zdb", root + "/crowded/t.sqlite", {}, {}}};
    std::filesystem::create_directory(root + "/empty");
    std::filesystem::create_directory(root + "/crowded");
    // Other tenants' databases and lock files; their contents do not matter.
    for (long i = 0; i < others; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/crowded/tenant-%06ld.db%s", i / 2, i % 2 ? ".lock" : "");
        const int fd = ::open((root + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) die("cannot create " + root + name);
        ::close(fd);
    }
    for (Folder& f : folders) make_databases(f);

    // One untimed batch each, so neither pays for a cold start.
    for (Folder& f : folders) {
        time_zembrel(f.zembrel_path, batch);
        time_sqlite(f.sqlite_path, batch);
    }
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            Folder& f = folders[(r + k) % 2];
            f.zembrel_us.push_back(time_zembrel(f.zembrel_path, batch));
            f.sqlite_us.push_back(time_sqlite(f.sqlite_path, batch));
        }
    }

    std::printf("open + close, median of %d rounds of %d (%ld other files in the crowded folder)\n", rounds, batch,
                others);
    for (const Folder& f : folders) {
        const double z = median(f.zembrel_us), s = median(f.sqlite_us);
        std::printf("  %-8s zembrel %8.1f us   sqlite %8.1f us   ratio %.2f\n", f.name.c_str(), z, s, z / s);
    }
    std::printf("  crowded / empty: zembrel %.2f, sqlite %.2f\n",
                median(folders[1].zembrel_us) / median(folders[0].zembrel_us),
                median(folders[1].sqlite_us) / median(folders[0].sqlite_us));
    std::filesystem::remove_all(root);
    return 0;
}

// ORDER BY of all rows through the C APIs, side by side with SQLite, every
// cell of the result read as text (zembrel_result_value on one side,
// sqlite3_column_text on the other). A file database of 100,000 and of
// 1,000,000 rows of t(id INT, g INT, v FLOAT, s TEXT), sorted by the float
// v and by the text s: once on a database opened fresh (the reopen is
// timed with the query), once on a table already loaded by an earlier
// query. SQLite runs in WAL mode; both read a warm page cache.
//
// Usage: order_by_bench [substring...]  runs the workloads whose name
// contains any of the substrings (all without one). The machine's load
// average is printed before and after: figures taken under load say so.
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "side_by_side.h"
#include "zembrel.h"

using namespace zembrel::bench::capi;

namespace {

void make_table(Db& db, long rows) {
    db.exec(db.kind() == EngineKind::Zembrel ? "CREATE TABLE t (id INT, g INT, v FLOAT, s TEXT)"
                                             : "CREATE TABLE t (id INTEGER, g INTEGER, v REAL, s TEXT)");
    std::mt19937_64 rng(42);
    db.exec("BEGIN");
    for (long i = 0; i < rows;) {
        std::string text = "INSERT INTO t VALUES ";
        for (int k = 0; k < 1000 && i < rows; ++k, ++i) {
            if (k) text += ", ";
            text += '(';
            text += std::to_string(i);
            text += ", " + std::to_string(rng() % 1000);
            text += ", " + std::to_string(static_cast<double>(rng() % 10'000'000) / 7.0);
            text += ", 'name_" + std::to_string(rng() % 100'000) + "')";
        }
        db.exec(text);
    }
    db.exec("COMMIT");
}

bool wanted(const std::string& name, const std::vector<std::string>& filters) {
    if (filters.empty()) return true;
    for (const std::string& f : filters)
        if (name.find(f) != std::string::npos) return true;
    return false;
}

void print_load(const char* when) {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    std::printf("load average %s: %s %s %s\n", when, one.c_str(), five.c_str(), fifteen.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> filters(argv + 1, argv + argc);
    print_load("before");
    for (long rows : {100'000L, 1'000'000L}) {
        const std::string size = rows >= 1'000'000 ? "1M" : "100k";
        const int runs = rows >= 1'000'000 ? 5 : 9;
        for (const char* key : {"v", "s"}) {
            const std::string text = std::string("SELECT * FROM t ORDER BY ") + key;
            const std::string fresh = "file " + size + ": reopen, ORDER BY " + key;
            if (wanted(fresh, filters)) {
                run({fresh, Where::File, runs, false, [rows](Db& db) { make_table(db, rows); },
                     [&](int) { return std::vector<Step>{reopen(), query(text)}; }});
            }
            const std::string loaded = "file " + size + ": loaded, ORDER BY " + key;
            if (wanted(loaded, filters)) {
                run({loaded, Where::File, runs, false,
                     [&, rows](Db& db) {
                         make_table(db, rows);
                         db.run(reopen());
                         if (db.query(text) != static_cast<size_t>(rows)) {
                             std::fprintf(stderr, "%s: wrong row count\n", text.c_str());
                             std::exit(1);
                         }
                     },
                     [&](int) { return std::vector<Step>{query(text)}; }});
            }
        }
    }
    print_load("after");
    return 0;
}

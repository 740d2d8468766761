// The write road side by side with SQLite: autocommitted and transactional
// INSERTs in memory, BEGIN / k INSERTs / COMMIT on tables of 1,000 to
// 1,000,000 rows, reopening a 100,000-row file database then inserting one
// row (which loads the table whole), UPDATE and DELETE of many rows in
// memory, and 100,000 INSERTs in one transaction.
//
// The table has six columns, a primary key, a unique and a plain index. Every
// timed statement is the same SQL text on both engines.
//
// Usage: write_road_bench [substring...]  runs the workloads whose name
// contains any of the substrings (all without one).
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "side_by_side.h"
#include "zembrel.h"

using namespace zembrel::bench::capi;

namespace {

std::string row_values(long i) {
    return "(" + std::to_string(i) + ", 'group" + std::to_string(i % 100) + "', " + std::to_string(i) + ".5, 'note number " +
           std::to_string(i) + "', " + std::to_string(i % 7) + ")";
}

std::string insert_one(long i) { return "INSERT INTO t (a, b, c, d, e) VALUES " + row_values(i); }

// Schema and `rows` rows (a = 0 .. rows - 1), filled in one transaction.
void make_table(Db& db, long rows) {
    if (db.kind() == EngineKind::Zembrel) {
        db.exec("CREATE TABLE t (id PK, a INT, b TEXT, c FLOAT, d TEXT, e INT)");
    } else {
        db.exec("CREATE TABLE t (id TEXT PRIMARY KEY DEFAULT (lower(hex(randomblob(16)))), a INT, b TEXT, c REAL, "
                "d TEXT, e INT)");
    }
    db.exec("CREATE UNIQUE INDEX t_a ON t (a)");
    db.exec("CREATE INDEX t_b ON t (b)");
    if (rows == 0) return;
    db.exec("BEGIN");
    for (long next = 0; next < rows;) {
        std::string text = "INSERT INTO t (a, b, c, d, e) VALUES ";
        for (int k = 0; k < 1000 && next < rows; ++k, ++next) {
            if (k) text += ", ";
            text += row_values(next);
        }
        db.exec(text);
    }
    db.exec("COMMIT");
}

// Keys above every key of the setup, distinct across runs.
long run_base(long rows, int r) { return rows + 1'000'000L * (r + 1); }

std::vector<Step> inserts(long first, long count, bool transaction) {
    std::vector<Step> steps;
    if (transaction) steps.push_back(sql("BEGIN"));
    for (long i = 0; i < count; ++i) steps.push_back(sql(insert_one(first + i)));
    if (transaction) steps.push_back(sql("COMMIT"));
    return steps;
}

std::string size_name(long rows) {
    if (rows >= 1'000'000) return std::to_string(rows / 1'000'000) + "M";
    if (rows >= 1'000) return std::to_string(rows / 1'000) + "k";
    return std::to_string(rows);
}

bool wanted(const std::string& name, const std::vector<std::string>& filters) {
    if (filters.empty()) return true;
    for (const std::string& f : filters)
        if (name.find(f) != std::string::npos) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> filters(argv + 1, argv + argc);
    auto go = [&](const Workload& w) -> std::optional<Outcome> {
        if (!wanted(w.name, filters)) return std::nullopt;
        return run(w);
    };

    // 1. One INSERT per call on a 100k-row in-memory table: autocommitted vs in a transaction.
    constexpr long kPerRun = 1000;
    auto auto_mem = go({"memory 100k: 1000 autocommitted INSERTs", Where::Memory, 5, false,
                        [](Db& db) { make_table(db, 100'000); },
                        [](int r) { return inserts(run_base(100'000, r), kPerRun, false); }});
    auto txn_mem = go({"memory 100k: 1000 INSERTs in BEGIN..COMMIT", Where::Memory, 5, false,
                       [](Db& db) { make_table(db, 100'000); },
                       [](int r) { return inserts(run_base(100'000, r), kPerRun, true); }});
    if (auto_mem && txn_mem)
        std::printf("  zembrel autocommit/transaction per INSERT: %.2f (target <= 2)\n",
                    auto_mem->zembrel_seconds / txn_mem->zembrel_seconds);

    // 2. BEGIN, 500 INSERTs, COMMIT against the table's size.
    std::vector<std::optional<Outcome>> by_size;
    for (long rows : {1'000L, 100'000L, 1'000'000L}) {
        by_size.push_back(go({"file " + size_name(rows) + ": BEGIN, 500 INSERTs, COMMIT", Where::File,
                              rows >= 1'000'000 ? 5 : 7, false, [rows](Db& db) { make_table(db, rows); },
                              [rows](int r) { return inserts(run_base(rows, r), 500, true); }}));
    }
    if (by_size.front() && by_size.back())
        std::printf("  zembrel 1M/1k: %.2f (target <= 2)   sqlite 1M/1k: %.2f\n",
                    by_size.back()->zembrel_seconds / by_size.front()->zembrel_seconds,
                    by_size.back()->sqlite_seconds / by_size.front()->sqlite_seconds);

    // 3. Reopen a 100k-row file database and insert one row (loads the table whole).
    auto reload = go({"file 100k: reopen, one INSERT", Where::File, 7, false, [](Db& db) { make_table(db, 100'000); },
                      [](int r) { return std::vector<Step>{reopen(), sql(insert_one(run_base(100'000, r)))}; }});
    if (reload)
        std::printf("  zembrel load rate: %.2f M rows/s (target >= 3)\n", 100'000 / reload->zembrel_seconds / 1e6);

    // 3b. UPDATE and DELETE of many rows in memory: about 10% of the rows
    // (a range of the indexed b that holds 11 of its 100 values, every run
    // another), and 1% by the indexed b (every run another value).
    for (long rows : {100'000L, 1'000'000L}) {
        go({"memory " + size_name(rows) + ": UPDATE 10% of the rows", Where::Memory, 5, false,
            [rows](Db& db) { make_table(db, rows); },
            [](int r) {
                const std::string lo = "group" + std::to_string(1 + r), hi = "group" + std::to_string(2 + r);
                return std::vector<Step>{sql("UPDATE t SET d = 'changed " + std::to_string(r) + "' WHERE b >= '" + lo +
                                             "' AND b < '" + hi + "'")};
            }});
        go({"memory " + size_name(rows) + ": DELETE 1% by an indexed column", Where::Memory, 5, false,
            [rows](Db& db) { make_table(db, rows); },
            [](int r) { return std::vector<Step>{sql("DELETE FROM t WHERE b = 'group" + std::to_string(50 + r) + "'")}; }});
    }

    // 4. 100k INSERT statements in one transaction into an empty table.
    for (Where where : {Where::Memory, Where::File}) {
        go({std::string(where == Where::Memory ? "memory" : "file") + ": 100k INSERTs in one transaction", where, 3,
            true, [](Db& db) { make_table(db, 0); }, [](int) { return inserts(0, 100'000, true); }});
    }
    return 0;
}

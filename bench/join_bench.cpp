// Index lookups, joins and subqueries, side by side with SQLite (same SQL
// text, alternating runs), at 100,000 and 1,000,000 rows of
// t(uid PK, id INT, k INT, v FLOAT) with an index on id, beside
// u(id INT, k INT, w FLOAT) of 100,000 rows and q(id INT, k INT) of 10,000
// rows (k random below the row count, unindexed everywhere):
//   10,000 point lookups by PK and by the secondary index (one statement each);
//   a hash join of u with itself (100,000 x 100,000 on the unindexed k);
//   an indexed nested-loop join of q with t on t.id;
//   IN and EXISTS subqueries over q's 10,000 rows.
// Both databases live in memory. Run a Release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMBREL_BENCH=ON
//   ninja -C build/rel join_bench && build/rel/join_bench
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "side_by_side.h"

using namespace zembrel;
using namespace zembrel::bench;

namespace {

void fill_table(Engine& engine, SqliteDb& sqlite, const std::string& table, uint64_t rows, uint64_t key_range,
                bool with_pk, std::mt19937_64& rng) {
    sqlite.exec("BEGIN");
    for (uint64_t i = 0; i < rows;) {
        std::string values;
        for (int n = 0; n < 1000 && i < rows; ++n, ++i) {
            if (n) values += ", ";
            values += "(" + std::to_string(i) + ", " + std::to_string(rng() % key_range);
            values += ", " + std::to_string(static_cast<double>(rng() % 1'000'000) / 8.0) + ")";
        }
        zembrel_run(engine, "INSERT INTO " + table + " VALUES " + values);
        if (!with_pk) sqlite.exec("INSERT INTO " + table + " VALUES " + values);
    }
    sqlite.exec("COMMIT");
}

// The rows of a query, read through the executor.
Rows rows_of(Engine& engine, const std::string& sql) {
    auto statement = parser::parse_sql(sql);
    if (!statement) die(sql + ": " + statement.error().display());
    auto result = executor::execute(engine, std::move(*statement));
    if (!result) die(sql + ": " + result.error().display());
    auto* rows = std::get_if<Rows>(&*result);
    if (rows == nullptr) die(sql + ": no rows");
    return std::move(*rows);
}

// SQLite gets t with the primary keys zembrel generated.
void copy_t_to_sqlite(Engine& engine, SqliteDb& sqlite, std::vector<std::string>& uids) {
    Rows rows = rows_of(engine, "SELECT uid, id, k, v FROM t");
    sqlite.exec("BEGIN");
    std::string values;
    size_t n = 0;
    for (const Row& row : rows.rows) {
        uids.push_back(row[0].display());
        if (n++) values += ", ";
        values += "('" + row[0].display() + "', " + row[1].display() + ", " + row[2].display() + ", " +
                  std::to_string(row[3].as_float()) + ")";
        if (n == 1000) {
            sqlite.exec("INSERT INTO t VALUES " + values);
            values.clear();
            n = 0;
        }
    }
    if (n) sqlite.exec("INSERT INTO t VALUES " + values);
    sqlite.exec("COMMIT");
}

void fill(Engine& engine, SqliteDb& sqlite, uint64_t rows, std::vector<std::string>& uids) {
    zembrel_run(engine, "CREATE TABLE t (uid PK, id INT, k INT, v FLOAT)");
    sqlite.exec("CREATE TABLE t (uid TEXT PRIMARY KEY, id INTEGER, k INTEGER, v REAL)");
    zembrel_run(engine, "CREATE TABLE u (id INT, k INT, w FLOAT)");
    sqlite.exec("CREATE TABLE u (id INTEGER, k INTEGER, w REAL)");
    zembrel_run(engine, "CREATE TABLE q (id INT, k INT, x FLOAT)");
    sqlite.exec("CREATE TABLE q (id INTEGER, k INTEGER, x REAL)");
    std::mt19937_64 rng(7);
    fill_table(engine, sqlite, "t", rows, rows, true, rng);
    copy_t_to_sqlite(engine, sqlite, uids);
    fill_table(engine, sqlite, "u", 100'000, 100'000, false, rng);
    fill_table(engine, sqlite, "q", 10'000, rows, false, rng);
    zembrel_run(engine, "CREATE INDEX t_id ON t (id)");
    sqlite.exec("CREATE INDEX t_id ON t (id)");
}

// Many one-row statements, each parsed and run on its own.
Timing lookups(Engine& engine, SqliteDb& sqlite, const std::vector<std::string>& statements) {
    return alternate([&] { for (const auto& s : statements) zembrel_run(engine, s); },
                     [&] { for (const auto& s : statements) sqlite.query(s); }, 3);
}

}  // namespace

int main(int argc, char** argv) {
    const BenchArgs args = parse_bench_args(argc, argv);
    const std::vector<uint64_t>& sizes = args.sizes;
    const std::string& only = args.only;
    for (uint64_t rows : sizes) {
        Engine engine;
        SqliteDb sqlite;
        std::vector<std::string> uids;
        fill(engine, sqlite, rows, uids);
        std::printf("\n%llu rows\n", static_cast<unsigned long long>(rows));
        print_header();
        std::mt19937_64 rng(11);
        std::vector<std::string> by_pk, by_index;
        for (int i = 0; i < 10'000; ++i) {
            by_pk.push_back("SELECT id, v FROM t WHERE uid = '" + uids[rng() % uids.size()] + "'");
            by_index.push_back("SELECT uid, v FROM t WHERE id = " + std::to_string(rng() % rows));
        }
        if (only.empty()) {
            print_row("10,000 lookups by PK", rows, lookups(engine, sqlite, by_pk));
            print_row("10,000 lookups by secondary index", rows, lookups(engine, sqlite, by_index));
        }
        const std::pair<const char*, const char*> queries[] = {
            {"hash join 100,000 x 100,000", "SELECT a.id, b.id FROM u AS a JOIN u AS b ON a.k = b.k"},
            {"indexed nested-loop join", "SELECT q.id, t.v FROM q JOIN t ON q.k = t.id"},
            {"IN subquery, 10,000 outer rows", "SELECT id FROM q WHERE k IN (SELECT id FROM t WHERE v < 10000)"},
            {"EXISTS subquery, 10,000 outer rows", "SELECT id FROM q WHERE EXISTS (SELECT uid FROM t WHERE t.id = q.k)"},
        };
        for (const auto& [name, sql] : queries)
            if (std::string(name).find(only) != std::string::npos) print_row(name, rows, same_sql(engine, sqlite, sql, rows > 100'000 ? 3 : 5));
    }
    return 0;
}

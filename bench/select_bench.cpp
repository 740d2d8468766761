// SELECT on one table, side by side with SQLite (same SQL text, alternating
// runs), at 100,000 and 1,000,000 rows of t(id INT, g INT, v FLOAT, s TEXT)
// with g in 1,000 groups: a scan with a 10% filter, GROUP BY into 1,000
// groups, ORDER BY of all rows and with LIMIT 10, and ROW_NUMBER with a
// running SUM over 1,000 partitions. Prints zembrel/SQLite per workload and
// the growth of zembrel's time from 100,000 to 1,000,000 rows.
//
// Then the index roads, with indexes on v, g and id on both sides: ORDER BY
// the indexed v with LIMIT 10 on the loaded table (ascending walks the
// index; descending takes the scan and its sort of the first ten); then the
// same table saved, reopened and read straight from the page file (never
// loaded): ORDER BY v LIMIT 10 over a range of v, a seek of about 1/1,000
// of the rows (g = 7) and a point seek (id = 4242).
//
// SQLite lives in memory; zembrel's first part too, its page-file part in a
// database file under TMPDIR (warm page cache after the warm-up run). Run a
// Release build:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMBREL_BENCH=ON
//   ninja -C build/rel select_bench && build/rel/select_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/storage_open.h"
#include "side_by_side.h"

using namespace zembrel;
using namespace zembrel::bench;

namespace {

struct Workload {
    const char* name;
    const char* sql;
};

const Workload kWorkloads[] = {
    {"scan, 10% filter", "SELECT id, v, s FROM t WHERE g < 100"},
    {"GROUP BY 1,000 groups", "SELECT g, COUNT(*), SUM(v), AVG(v) FROM t GROUP BY g"},
    {"ORDER BY all rows", "SELECT * FROM t ORDER BY v"},
    {"ORDER BY ... LIMIT 10", "SELECT * FROM t ORDER BY v LIMIT 10"},
    {"ROW_NUMBER + running SUM", "SELECT id, ROW_NUMBER() OVER (PARTITION BY g ORDER BY v), SUM(v) OVER "
                                 "(PARTITION BY g ORDER BY v ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) "
                                 "FROM t"},
};

void fill(Engine& engine, SqliteDb& sqlite, uint64_t rows) {
    zembrel_run(engine, "CREATE TABLE t (id INT, g INT, v FLOAT, s TEXT)");
    sqlite.exec("CREATE TABLE t (id INTEGER, g INTEGER, v REAL, s TEXT)");
    std::mt19937_64 rng(42);
    sqlite.exec("BEGIN");
    for (uint64_t i = 0; i < rows;) {
        std::string values;
        for (int k = 0; k < 1000 && i < rows; ++k, ++i) {
            if (k) values += ", ";
            values += "(" + std::to_string(i) + ", " + std::to_string(rng() % 1000) + ", " +
                      std::to_string(static_cast<double>(rng() % 10'000'000) / 7.0) + ", 'name_" +
                      std::to_string(rng() % 100'000) + "')";
        }
        zembrel_run(engine, "INSERT INTO t VALUES " + values);
        sqlite.exec("INSERT INTO t VALUES " + values);
    }
    sqlite.exec("COMMIT");
}

const Workload kMemoryIndexWorkloads[] = {
    {"ORDER BY indexed LIMIT 10", "SELECT * FROM t ORDER BY v LIMIT 10"},
    {"ORDER BY indexed DESC LIMIT 10", "SELECT * FROM t ORDER BY v DESC LIMIT 10"},
};

const Workload kPageFileWorkloads[] = {
    {"file: ORDER BY indexed LIMIT 10", "SELECT * FROM t WHERE v >= 0 ORDER BY v LIMIT 10"},
    {"file: seek g = 7 (1/1000)", "SELECT * FROM t WHERE g = 7"},
    {"file: point seek id = 4242", "SELECT * FROM t WHERE id = 4242"},
};

// Index roads take microseconds: four decimals of a millisecond.
void print_fine_row(const std::string& name, uint64_t rows, const Timing& t) {
    std::printf("%-34s %10llu %12.4f %12.4f %8.2f\n", name.c_str(), static_cast<unsigned long long>(rows), t.ours_ms,
                t.theirs_ms, t.ratio());
    std::fflush(stdout);
}

void remove_database(const std::string& path) {
    for (const char* suffix : {"", ".pwal", ".lock"}) std::filesystem::remove(path + suffix);
}

Engine must_open(const std::string& path) {
    auto engine = storage::open(path);
    if (!engine) die(path + ": " + engine.error().display());
    return std::move(*engine);
}

void index_roads(uint64_t rows, const std::string& only) {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path dir(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    const std::string path = (dir / ("zembrel_select_bench_" + std::to_string(rows) + ".db")).string();
    remove_database(path);
    SqliteDb sqlite;
    {
        Engine engine = must_open(path);
        fill(engine, sqlite, rows);
        for (const char* index : {"CREATE INDEX t_v ON t (v)", "CREATE INDEX t_g ON t (g)", "CREATE INDEX t_id ON t (id)"}) {
            zembrel_run(engine, index);
            sqlite.exec(index);
        }
        for (const Workload& w : kMemoryIndexWorkloads) {
            if (std::string(w.name).find(only) == std::string::npos) continue;
            print_fine_row(w.name, rows, same_sql(engine, sqlite, w.sql, 200));
        }
        if (auto saved = storage::save(engine); !saved) die(saved.error().display());
    }
    Engine engine = must_open(path);
    for (const Workload& w : kPageFileWorkloads) {
        if (std::string(w.name).find(only) == std::string::npos) continue;
        print_fine_row(w.name, rows, same_sql(engine, sqlite, w.sql, 200));
    }
    if (!engine.tables.database.tables.empty()) die("the page-file workloads loaded the table");
    engine = Engine();
    remove_database(path);
}

// The same queries on tables read straight from the page file (a handle
// opened fresh for each query) and on the same tables once a write has
// loaded them: a Pk lookup, a secondary-index lookup, COUNT over an indexed
// equality, ORDER BY a nullable uniquely indexed column LIMIT 10, and
// ORDER BY the indexed Pk column LIMIT 10, and correlated subqueries over
// 15,000 orders and 30,000 items. Prints the first run after open (the
// median of five fresh opens), the median of the later ones, the load (the
// write that loads a copy's tables, and the first run there), the median on
// the loaded tables, SQLite's median on the same rows and indexes (in
// memory), and later/loaded, later/SQLite.
struct FileQuery {
    const char* name;
    std::function<std::string(int)> sql;  // the i-th run's text
    const char* loads;                    // a write that loads the query's tables
};

void file_against_loaded(uint64_t rows, const std::string& only) {
    using clock = std::chrono::steady_clock;
    auto ms_since = [](clock::time_point t0) {
        return std::chrono::duration<double, std::milli>(clock::now() - t0).count();
    };
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path dir(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    const std::string path = (dir / ("zembrel_sources_bench_" + std::to_string(rows) + ".db")).string();
    remove_database(path);
    std::vector<std::string> keys;
    {
        Engine engine = must_open(path);
        zembrel_run(engine, "CREATE TABLE big (k PK, g INT, n INT)");
        for (uint64_t i = 0; i < rows;) {
            std::string values;
            for (int b = 0; b < 1000 && i < rows; ++b, ++i)
                values += (b ? ", (" : "(") + std::to_string(i % 1000) + ", " + std::to_string(i) + ")";
            zembrel_run(engine, "INSERT INTO big (g, n) VALUES " + values);
        }
        zembrel_run(engine, "CREATE INDEX big_g ON big (g)");
        zembrel_run(engine, "CREATE UNIQUE INDEX big_n ON big (n)");
        zembrel_run(engine, "CREATE TABLE orders (ord_no INT, total FLOAT)");
        zembrel_run(engine, "CREATE TABLE order_items (ord_no INT, price FLOAT)");
        for (int i = 0; i < 15'000; i += 1000) {
            std::string o, it;
            for (int b = 0; b < 1000; ++b) {
                const int n = i + b;
                o += (b ? ", (" : "(") + std::to_string(n) + ", " + std::to_string(n % 97) + ".5)";
                it += (b ? ", (" : "(") + std::to_string(n) + ", " + std::to_string(n % 31) + ".0), (" +
                      std::to_string(n) + ", " + std::to_string(n % 17) + ".0)";
            }
            zembrel_run(engine, "INSERT INTO orders VALUES " + o);
            zembrel_run(engine, "INSERT INTO order_items VALUES " + it);
        }
        zembrel_run(engine, "CREATE INDEX items_ord ON order_items (ord_no)");
        if (auto saved = storage::save(engine); !saved) die(saved.error().display());
    }
    // The copy whose tables the queries' writes load.
    const std::string loaded_path = path + "-loaded";
    remove_database(loaded_path);
    std::filesystem::copy_file(path, loaded_path);
    // SQLite gets the very rows (the Pk values zembrel made), the same
    // indexes, and the same texts.
    SqliteDb sqlite;
    {
        Engine engine = must_open(path);
        auto statement = parser::parse_sql("SELECT k, g, n FROM big");
        auto got = executor::execute(engine, std::move(*statement));
        if (!got) die(got.error().display());
        sqlite.exec("CREATE TABLE big (k TEXT PRIMARY KEY, g INTEGER, n INTEGER)");
        sqlite.exec("CREATE TABLE orders (ord_no INTEGER, total REAL)");
        sqlite.exec("CREATE TABLE order_items (ord_no INTEGER, price REAL)");
        sqlite.exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(sqlite.handle(), "INSERT INTO big VALUES (?, ?, ?)", -1, &insert, nullptr);
        for (const Row& row : std::get<Rows>(*got).rows) {
            const std::string k = row[0].display();
            if (row[2].as_int() < 200) keys.push_back(k);
            sqlite3_bind_text(insert, 1, k.c_str(), static_cast<int>(k.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 2, row[1].as_int());
            sqlite3_bind_int64(insert, 3, row[2].as_int());
            if (sqlite3_step(insert) != SQLITE_DONE) die("sqlite insert failed");
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        for (const char* table : {"orders", "order_items"}) {
            auto all = parser::parse_sql(std::string("SELECT * FROM ") + table);
            auto rows = executor::execute(engine, std::move(*all));
            if (!rows) die(rows.error().display());
            for (const Row& row : std::get<Rows>(*rows).rows)
                sqlite.exec(std::string("INSERT INTO ") + table + " VALUES (" + row[0].display() + ", " +
                            std::to_string(row[1].as_float()) + ")");
        }
        sqlite.exec("COMMIT");
        for (const char* index : {"CREATE INDEX big_g ON big (g)", "CREATE UNIQUE INDEX big_n ON big (n)",
                                  "CREATE INDEX items_ord ON order_items (ord_no)"})
            sqlite.exec(index);
    }
    const FileQuery queries[] = {
        {"file: Pk lookup", [&](int i) { return "SELECT n FROM big WHERE k = '" + keys[static_cast<size_t>(i) % keys.size()] + "'"; },
         "UPDATE big SET n = 0 WHERE g = -1"},
        {"file: index lookup g = 7", [](int) { return std::string("SELECT n FROM big WHERE g = 7"); },
         "UPDATE big SET n = 0 WHERE g = -1"},
        {"file: COUNT(*) WHERE g = 7", [](int) { return std::string("SELECT COUNT(*) FROM big WHERE g = 7"); },
         "UPDATE big SET n = 0 WHERE g = -1"},
        {"file: ORDER BY n LIMIT 10", [](int) { return std::string("SELECT k, n FROM big ORDER BY n LIMIT 10"); },
         "UPDATE big SET n = 0 WHERE g = -1"},
        {"file: ORDER BY k LIMIT 10", [](int) { return std::string("SELECT k FROM big ORDER BY k LIMIT 10"); },
         "UPDATE big SET n = 0 WHERE g = -1"},
        {"file: correlated SUM",
         [](int) {
             return std::string("SELECT COUNT(*) FROM orders o WHERE o.total > (SELECT SUM(i.price) FROM order_items i "
                                "WHERE i.ord_no = o.ord_no)");
         },
         "UPDATE order_items SET price = 0 WHERE ord_no = -1; UPDATE orders SET total = 0 WHERE ord_no = -1"},
        {"file: correlated NOT EXISTS",
         [](int) {
             return std::string("SELECT COUNT(*) FROM orders o WHERE NOT EXISTS (SELECT * FROM order_items i "
                                "WHERE i.ord_no = o.ord_no)");
         },
         "UPDATE order_items SET price = 0 WHERE ord_no = -1; UPDATE orders SET total = 0 WHERE ord_no = -1"},
    };
    std::printf("%-34s %10s %10s %10s %10s %10s %10s %8s %8s\n", "file vs loaded", "rows", "first ms", "later ms",
                "load ms", "loaded ms", "sqlite ms", "/loaded", "/sqlite");
    for (const FileQuery& q : queries) {
        if (std::string(q.name).find(only) == std::string::npos) continue;
        // ZEMBREL_BENCH_ROUNDS raises the counts, for profiling one query.
        const char* asked = std::getenv("ZEMBREL_BENCH_ROUNDS");
        const int rounds = asked != nullptr ? std::max(1, std::atoi(asked)) : 20;
        // The first run is the median of a few, each on a handle opened
        // fresh: one run alone says little on a shared machine.
        Engine engine;
        size_t first_rows = 0;
        std::vector<double> firsts;
        for (int fresh = 0; fresh < std::max(5, rounds / 4); ++fresh) {
            engine = Engine();  // the old handle lets go of the file first
            engine = must_open(path);
            const auto t0 = clock::now();
            first_rows = zembrel_run(engine, q.sql(0));
            firsts.push_back(ms_since(t0));
        }
        const double first = median(firsts);
        // The loaded tables are a copy's, so that the later runs on the page
        // file, those on the loaded tables and SQLite's take turns: a
        // process's speed drifts with the processor it lands on, and turns
        // share the drift.
        // The load is the write that loads the tables and the first run
        // after it, which builds what the loaded tables build on first use
        // (an index's hash view).
        Engine loaded_engine = must_open(loaded_path);
        auto t0 = clock::now();
        std::string loads = q.loads;
        for (size_t at = 0; at != std::string::npos;) {
            const size_t end = loads.find(';', at);
            zembrel_run(loaded_engine, loads.substr(at, end == std::string::npos ? end : end - at));
            at = end == std::string::npos ? end : end + 1;
        }
        if (zembrel_run(loaded_engine, q.sql(0)) != first_rows)
            die(std::string(q.name) + ": row counts differ once loaded");
        const double load = ms_since(t0);
        if (sqlite.query(q.sql(0)) != first_rows) die(std::string(q.name) + ": row counts differ from SQLite's");
        // A quick query runs for at least kLeast ms in all: a median of a few
        // tenths of a millisecond over 20 runs says little on a shared machine.
        constexpr double kLeast = 200;
        // Turns of a few runs each: a run right after the other engine's
        // would meet the processor's caches full of that engine's memory.
        constexpr int kTurn = 8;
        std::vector<double> later, loaded, theirs;
        for (int i = 1; i <= rounds || std::accumulate(later.begin(), later.end(), 0.0) < kLeast; i += kTurn) {
            for (int k = i; k < i + kTurn; ++k) {
                t0 = clock::now();
                zembrel_run(engine, q.sql(k));
                later.push_back(ms_since(t0));
            }
            for (int k = i; k < i + kTurn; ++k) {
                t0 = clock::now();
                zembrel_run(loaded_engine, q.sql(k));
                loaded.push_back(ms_since(t0));
            }
            for (int k = i; k < i + kTurn; ++k) {
                t0 = clock::now();
                sqlite.query(q.sql(k));
                theirs.push_back(ms_since(t0));
            }
        }
        if (!engine.tables.database.tables.empty()) die(std::string(q.name) + ": the reads loaded a table");
        const double l = median(later), m = median(loaded), t = median(theirs);
        std::printf("%-34s %10llu %10.3f %10.4f %10.1f %10.4f %10.4f %8.2f %8.2f\n", q.name,
                    static_cast<unsigned long long>(rows), first, l, load, m, t, m > 0 ? l / m : 0, t > 0 ? l / t : 0);
        std::fflush(stdout);
    }
    remove_database(path);
    remove_database(loaded_path);
}

}  // namespace

int main(int argc, char** argv) {
    const BenchArgs args = parse_bench_args(argc, argv);
    const std::vector<uint64_t>& sizes = args.sizes;
    const std::string& only = args.only;
    std::map<std::string, double> at_small;
    for (uint64_t rows : sizes) {
        Engine engine;
        SqliteDb sqlite;
        fill(engine, sqlite, rows);
        std::printf("\n%llu rows\n", static_cast<unsigned long long>(rows));
        print_header();
        for (const Workload& w : kWorkloads) {
            if (std::string(w.name).find(only) == std::string::npos) continue;
            Timing t = same_sql(engine, sqlite, w.sql, rows > 100'000 ? 3 : 7);
            print_row(w.name, rows, t);
            if (rows == 100'000) at_small[w.name] = t.ours_ms;
            else if (at_small.contains(w.name)) std::printf("%-34s growth for 10x rows: %.2fx\n", "", t.ours_ms / at_small[w.name]);
        }
    }
    for (uint64_t rows : sizes) {
        std::printf("\nindex roads, %llu rows\n", static_cast<unsigned long long>(rows));
        print_header();
        index_roads(rows, only);
    }
    for (uint64_t rows : sizes) {
        std::printf("\n");
        file_against_loaded(rows, only);
    }
    return 0;
}

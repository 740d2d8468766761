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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
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
    return 0;
}

// Loading a stored table into memory at first use: a file database with one
// table of six columns (a Pk, an INT under a unique index, a TEXT under a
// plain index, a FLOAT, a TEXT and an INT), reopened and loaded again and
// again. Prints the median load time and the rows per second.
//
// Usage: load_bench [rows [runs]]   (100000 rows, 9 runs without them);
// LOAD_BENCH_PARALLEL_ROWS (see below) moves the threshold of the threaded road.
// The first run also prints the time of each step taken alone.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/storage_open.h"
#include "side_by_side.h"

using namespace zembrel;
using zembrel::bench::die;
using zembrel::bench::zembrel_run;

namespace {

std::string row_values(long i) {
    return "(" + std::to_string(i) + ", 'group" + std::to_string(i % 100) + "', " + std::to_string(i) +
           ".5, 'note number " + std::to_string(i) + "', " + std::to_string(i % 7) + ")";
}

// The table's rows decoded as loading decodes them.
std::vector<Row> decode_all(Engine& engine) {
    auto cursor = TableCursor::open(*engine.page_store(), "t");
    if (!cursor) die(cursor.error().display());
    std::vector<Row> rows;
    Value key;
    for (;;) {
        Row& row = rows.emplace_back();
        auto next = cursor->next_row_into(key, row);
        if (!next) die(next.error().display());
        if (!*next) break;
    }
    rows.pop_back();
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? std::atol(argv[1]) : 100'000;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zembrel_load_bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "load.db").string();
    {
        auto engine = storage::open(path);
        if (!engine) die(engine.error().display());
        zembrel_run(*engine, "CREATE TABLE t (id PK, a INT, b TEXT, c FLOAT, d TEXT, e INT)");
        zembrel_run(*engine, "CREATE UNIQUE INDEX t_a ON t (a)");
        zembrel_run(*engine, "CREATE INDEX t_b ON t (b)");
        zembrel_run(*engine, "BEGIN");
        for (long next = 0; next < rows;) {
            std::string text = "INSERT INTO t (a, b, c, d, e) VALUES ";
            for (int k = 0; k < 1000 && next < rows; ++k, ++next) {
                if (k) text += ", ";
                text += row_values(next);
            }
            zembrel_run(*engine, text);
        }
        zembrel_run(*engine, "COMMIT");
        if (auto st = storage::save(*engine); !st) die(st.error().display());
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 9;
    // LOAD_BENCH_PARALLEL_ROWS=n: tables of n rows or more load with worker
    // threads (a huge n measures the one-thread road).
    const char* threshold = std::getenv("LOAD_BENCH_PARALLEL_ROWS");
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        auto engine = storage::open(path);
        if (!engine) die(engine.error().display());
        if (threshold) engine->tables.parallel_rows = std::strtoull(threshold, nullptr, 10);
        const auto start = std::chrono::steady_clock::now();
        if (auto st = engine->ensure_table_loaded("t"); !st) die(st.error().display());
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (engine->tables.find("t")->rows.size() != static_cast<size_t>(rows)) die("wrong row count");
        if (const char* repeat = std::getenv("LOAD_BENCH_REPEAT")) {
            // For profiling one step, repeated: LOAD_BENCH_REPEAT=rows (close,
            // reopen, load), decode, pk, a or b (the index on that column).
            for (int k = 0; k < 20; ++k) {
                if (std::string(repeat) == "decode") {
                    decode_all(*engine);
                } else if (std::string(repeat) == "rows") {
                    { Engine gone = std::move(*engine); }
                    auto reopened = storage::open(path);
                    if (!reopened) die(reopened.error().display());
                    engine = std::move(reopened);
                    if (auto st = engine->ensure_table_loaded("t"); !st) die(st.error().display());
                } else if (std::string(repeat) == "pk") engine->tables.rebuild_pk_index("t");
                else engine->tables.rebuild_index(std::string("t_") + repeat);
            }
        }
        if (run == 0) {
            // Where the time goes: the key trees rebuilt alone, then the close.
            auto lap = [last = std::chrono::steady_clock::now()](const char* what) mutable {
                const auto now = std::chrono::steady_clock::now();
                std::printf("  %-22s %8.2f ms\n", what, std::chrono::duration<double>(now - last).count() * 1e3);
                last = now;
            };
            {
                std::vector<Row> decoded = decode_all(*engine);
                lap("decoding the rows");
            }
            lap("freeing them");
            engine->tables.rebuild_pk_index("t");
            lap("primary-key tree");
            engine->tables.rebuild_index("t_a");
            lap("unique index on a");
            engine->tables.rebuild_index("t_b");
            lap("index on b");
            { Engine gone = std::move(*engine); }
            lap("close");
        }
    }
    const double m = bench::median(seconds);
    const double best = *std::min_element(seconds.begin(), seconds.end());
    std::printf("load %ld rows: median %.2f ms, %.2f M rows/s (best %.2f ms, %.2f M rows/s)\n", rows, m * 1e3,
                rows / m / 1e6, best * 1e3, rows / best / 1e6);
    std::filesystem::remove_all(dir);
    return 0;
}

// Shared handles: read throughput with 1, 2, 4 and 8 reader threads on one
// SharedDb (each SELECT takes a snapshot and loads its table from it), and
// the text fast paths against the full parser, per statement.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "parser/fast_path.h"
#include "parser/parser.h"
#include "shared/shared_db.h"

using namespace zembrel;

namespace {

const char* const kInsertText = "INSERT INTO users VALUES (1, 'it''s', -2.5, NULL, TRUE)";
const char* const kSelectText =
    "SELECT u.name FROM users INNER JOIN orders ON users.id = orders.uid WHERE orders.n = 7";

void BM_ParseInsertFull(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parser::parse_sql(kInsertText));
}
void BM_ParseInsertFast(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parser::fast_insert::try_parse(kInsertText));
}
void BM_ParseSelectFull(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parser::parse_sql(kSelectText));
}
void BM_ParseSelectFast(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parser::fast_select::try_parse(kSelectText));
}

// One database of 2,000 rows for every reader benchmark, built once.
SharedDb& reader_db() {
    static std::unique_ptr<SharedDb> db;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string dir = (std::filesystem::temp_directory_path() / "zembrel-bench-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) std::abort();
        auto opened = SharedDb::open(dir + "/shared.db");
        if (!opened) std::abort();
        db = std::move(*opened);
        (void)db->execute("CREATE TABLE t (id INT, name TEXT, score FLOAT)");
        for (int i = 0; i < 2000; i += 100) {
            std::string sql = "INSERT INTO t VALUES ";
            for (int j = i; j < i + 100; ++j)
                sql += (j == i ? "(" : ", (") + std::to_string(j) + ", 'name " + std::to_string(j) + "', 1.5)";
            (void)db->execute(sql);
        }
    });
    return *db;
}

void BM_SharedRead(benchmark::State& state) {
    SharedDb& db = reader_db();
    for (auto _ : state) benchmark::DoNotOptimize(db.execute("SELECT COUNT(*) FROM t WHERE score > 1.0"));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_ParseInsertFull);
BENCHMARK(BM_ParseInsertFast);
BENCHMARK(BM_ParseSelectFull);
BENCHMARK(BM_ParseSelectFast);
BENCHMARK(BM_SharedRead)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

BENCHMARK_MAIN();

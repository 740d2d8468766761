// One-row INSERT statements, end to end (parse, execute, mirror into the page
// cache, save to the log without the fsync cost dominating: saves happen every
// 1,000 statements), into a table with a unique and a non-unique index that
// already holds 10,000 or 1,000,000 rows. The cost per insert must not grow
// with the table.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "engine/engine.h"
#include "engine/storage_open.h"
#include "executor/execute.h"
#include "parser/parser.h"

using namespace zembrel;

namespace {

bool run(Engine& engine, const std::string& sql) {
    auto statement = parser::parse_sql(sql);
    return statement && executor::execute(engine, std::move(*statement)).has_value();
}

void BM_InsertStatement(benchmark::State& state) {
    const int64_t existing = state.range(0);
    std::string dir = (std::filesystem::temp_directory_path() / "zembrel-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    {
        auto opened = storage::open(dir + "/bench.db");
        if (!opened) {
            state.SkipWithError(opened.error().display().c_str());
            return;
        }
        Engine engine = std::move(*opened);
        run(engine, "CREATE TABLE t (id PK, a INT, b TEXT)");
        run(engine, "CREATE UNIQUE INDEX t_a ON t (a)");
        run(engine, "CREATE INDEX t_b ON t (b)");
        int64_t next = 0;
        while (next < existing) {
            std::string sql = "INSERT INTO t (a, b) VALUES ";
            for (int i = 0; i < 1000 && next < existing; ++i, ++next) {
                if (i) sql += ", ";
                sql += "(" + std::to_string(next) + ", 'group" + std::to_string(next % 10) + "')";
            }
            if (!run(engine, sql)) {
                state.SkipWithError("setup insert failed");
                return;
            }
        }
        (void)storage::save(engine);

        int64_t done = 0;
        for (auto _ : state) {
            std::string sql = "INSERT INTO t (a, b) VALUES (" + std::to_string(next) + ", 'group" +
                              std::to_string(next % 10) + "')";
            ++next;
            if (!run(engine, sql)) state.SkipWithError("insert failed");
            if (++done % 1000 == 0) (void)storage::save(engine);
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(BM_InsertStatement)->Arg(10'000)->Arg(1'000'000)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

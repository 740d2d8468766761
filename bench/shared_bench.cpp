// Shared handles: read throughput with 1, 2, 4 and 8 reader threads on one
// SharedDb, and the text fast paths against the full parser, per statement.
//
// Point queries on 1,000,000 rows big(id PK, k INT, name TEXT) with an
// index on k: by Pk and by the index, through a shared handle (1 to 8
// reader threads) and on a plain engine whose table is loaded; for
// reference, the Pk query on private engines borrowing one decoded version
// without the handle (how far the machine lets threads scale). The shared
// handle's version of big is decoded before any timing. The big
// databases are built on first use (some seconds); run a Release build
// with --benchmark_filter to pick the workloads.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "executor/execute.h"
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

constexpr int kBigRows = 1'000'000;

void must_run(Engine& engine, const std::string& sql) {
    auto parsed = parser::parse_sql(sql);
    if (!parsed || !executor::execute(engine, std::move(*parsed))) std::abort();
}

// Fills big(id PK, k INT, name TEXT) with k = 0..n-1 through `run`, then
// indexes k.
template <class Run>
void fill_big(Run&& run) {
    run("CREATE TABLE big (id PK, k INT, name TEXT)");
    for (int i = 0; i < kBigRows; i += 5000) {
        std::string sql = "INSERT INTO big VALUES ";
        for (int j = i; j < i + 5000; ++j)
            sql += (j == i ? "(" : ", (") + std::to_string(j) + ", 'name " + std::to_string(j) + "')";
        run(sql);
    }
    run("CREATE INDEX big_k ON big (k)");
}

// Every 997th Pk value, to spread the point queries over the table.
std::vector<std::string> sample_pks(const Table& big) {
    std::vector<std::string> pks;
    for (size_t i = 0; i < big.rows.size(); i += 997) pks.push_back(big.rows[i][0].display());
    return pks;
}

struct BigPlain {
    Engine engine;
    std::vector<std::string> pks;
};

BigPlain& big_plain() {
    static BigPlain big;
    static std::once_flag once;
    std::call_once(once, [] {
        fill_big([](const std::string& sql) { must_run(big.engine, sql); });
        big.pks = sample_pks(*big.engine.tables.find("big"));
    });
    return big;
}

struct BigShared {
    std::unique_ptr<SharedDb> db;
    std::vector<std::string> pks;
};

BigShared& big_shared() {
    static BigShared big;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string dir = (std::filesystem::temp_directory_path() / "zembrel-bench-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) std::abort();
        auto opened = SharedDb::open(dir + "/big.db");
        if (!opened) std::abort();
        big.db = std::move(*opened);
        fill_big([](const std::string& sql) {
            if (!big.db->execute(sql)) std::abort();
        });
        big.db->with_engine([&](Engine& e) {
            (void)e.ensure_table_loaded("big");
            big.pks = sample_pks(*e.tables.find("big"));
        });
        // The readers' version is decoded here, not in the first timed query.
        if (!big.db->execute("SELECT COUNT(*) FROM big")) std::abort();
    });
    return big;
}

std::string point_query(bool by_pk, const std::vector<std::string>& pks, uint64_t i) {
    if (by_pk) return "SELECT k, name FROM big WHERE id = '" + pks[i % pks.size()] + "'";
    return "SELECT id, name FROM big WHERE k = " + std::to_string((i * 7919) % kBigRows);
}

// Each query must find its one row.
void check_one_row(const Result<ExecResult>& r, benchmark::State& state) {
    const Rows* rows = r ? std::get_if<Rows>(&*r) : nullptr;
    if (rows == nullptr || rows->rows.size() != 1) state.SkipWithError("a point query did not find its row");
}

void BM_PointPlain(benchmark::State& state) {
    BigPlain& big = big_plain();
    const bool by_pk = state.range(0) == 0;
    uint64_t i = 0;
    for (auto _ : state) {
        auto parsed = parser::parse_sql(point_query(by_pk, big.pks, i++));
        check_one_row(executor::execute(big.engine, std::move(*parsed)), state);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(by_pk ? "by Pk" : "by index");
}

void BM_PointShared(benchmark::State& state) {
    BigShared& big = big_shared();
    const bool by_pk = state.range(0) == 0;
    uint64_t i = static_cast<uint64_t>(state.thread_index()) * 104729;
    for (auto _ : state) check_one_row(big.db->execute(point_query(by_pk, big.pks, i++)), state);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(by_pk ? "by Pk" : "by index");
}

// The Pk query on private engines that borrow one decoded version, without
// the shared handle: how far the machine lets the threads scale at all.
void BM_PointBorrowed(benchmark::State& state) {
    BigShared& big = big_shared();
    static std::shared_ptr<const TableVersion> version;
    static std::once_flag once;
    std::call_once(once, [&] {
        auto snapshot = big.db->take_snapshot();
        if (!snapshot) std::abort();
        auto decoded = snapshot->decode_table("big");
        if (!decoded || !*decoded) std::abort();
        version = std::make_shared<const TableVersion>(std::move(**decoded));
    });
    // One engine per thread, as a lane: nothing written is shared.
    Engine reader;
    reader.tables.borrow(version);
    uint64_t i = static_cast<uint64_t>(state.thread_index()) * 104729;
    for (auto _ : state) {
        auto parsed = parser::parse_sql(point_query(true, big.pks, i++));
        check_one_row(executor::execute_statement(reader, std::move(*parsed)), state);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_ParseInsertFull);
BENCHMARK(BM_ParseInsertFast);
BENCHMARK(BM_ParseSelectFull);
BENCHMARK(BM_ParseSelectFast);
BENCHMARK(BM_SharedRead)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK(BM_PointPlain)->Arg(0)->Arg(1);
BENCHMARK(BM_PointShared)->Arg(0)->Arg(1)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK(BM_PointBorrowed)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

BENCHMARK_MAIN();

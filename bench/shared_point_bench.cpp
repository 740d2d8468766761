// Point queries on 1,000,000 rows through the C API, every cell of every
// result read as text: big(id PK, k INT, name TEXT) with an index on k, read
// by Pk and by the index on a plain handle whose table is loaded, on a
// shared handle with 1, 2, 4 and 8 reader threads, and (the index query,
// same SQL text) on SQLite. The shared handle's version of big is decoded
// before the clock starts, as the plain handle's table is loaded.
//
// Baseline, how far the machine lets threads scale at the moment: before
// each shared run, as many threads each query a handle of their own (an
// in-memory copy of the first 20,000 rows of big), sharing nothing. Last,
// 8 shared readers while another thread commits to a table they do not read.
//
// Usage: shared_point_bench [queries per thread]  (default 200,000). Prints
// microseconds per query, each thread count's throughput against one
// reader's, the CPU time per query (what a busy machine inflates least),
// how often a thread blocked (a lock between readers shows here, a busy
// machine does not), and the load average before and after.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "side_by_side.h"
#include "zembrel.h"

using namespace zembrel::bench;

namespace {

constexpr long kRows = 1'000'000;

void print_load(const char* when) {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    std::printf("load average %s: %s %s %s\n", when, one.c_str(), five.c_str(), fifteen.c_str());
}

std::string insert_text(long first, long count) {
    std::string sql = "INSERT INTO big (k, name) VALUES ";
    for (long j = first; j < first + count; ++j)
        sql += (j == first ? "(" : ", (") + std::to_string(j) + ", 'name " + std::to_string(j) + "')";
    return sql;
}

std::string by_index(uint64_t i) { return "SELECT id, name FROM big WHERE k = " + std::to_string((i * 7919) % kRows); }

// Reads every cell; the result must be one row.
size_t read_result(zembrel_result* rs, const std::string& sql) {
    if (rs == nullptr || zembrel_result_row_count(rs) != 1) die("zembrel: not one row for " + sql);
    size_t bytes = 0;
    for (int c = 0; c < zembrel_result_column_count(rs); ++c) bytes += std::strlen(zembrel_result_value(rs, 0, c));
    zembrel_result_free(rs);
    return bytes;
}

struct Usage {
    double cpu_seconds = 0;
    long waits = 0;  // voluntary context switches: a thread blocked (on a lock, say)
};

Usage usage_now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Usage{static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6,
                 usage.ru_nvcsw};
}

struct Timed {
    double wall_us = 0;         // per query, all threads together
    double cpu_us = 0;          // per query
    double waits_per_1k = 0;    // blocked threads per 1,000 queries
};

// `threads` threads each run `per_thread` queries `query(thread, i)`.
Timed timed(int threads, long per_thread, const std::function<void(int, long)>& query) {
    const Usage before = usage_now();
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (long i = 0; i < per_thread; ++i) query(t, i);
        });
    for (std::thread& t : pool) t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double queries = static_cast<double>(threads) * static_cast<double>(per_thread);
    const Usage after = usage_now();
    return Timed{wall * 1e6 / queries, (after.cpu_seconds - before.cpu_seconds) * 1e6 / queries,
                 static_cast<double>(after.waits - before.waits) * 1e3 / queries};
}

}  // namespace

int main(int argc, char** argv) {
    const long per_thread = argc > 1 ? std::stol(argv[1]) : 200'000;
    const std::string dir = capi::fresh_dir();
    const std::string plain_path = dir + "/plain.zdb", shared_path = dir + "/shared.zdb";

    // One file, built through a plain handle and copied for the shared one.
    zembrel_db* plain = zembrel_open(plain_path.c_str());
    if (plain == nullptr) die("cannot open " + plain_path);
    auto must = [&](const std::string& sql) {
        if (zembrel_exec(plain, sql.c_str()) != 0) die(std::string("zembrel: ") + zembrel_errmsg(plain));
    };
    must("CREATE TABLE big (id PK, k INT, name TEXT)");
    for (long i = 0; i < kRows; i += 5000) must(insert_text(i, 5000));
    must("CREATE INDEX big_k ON big (k)");
    zembrel_close(plain);
    std::filesystem::copy_file(plain_path, shared_path);

    plain = zembrel_open(plain_path.c_str());
    zembrel_shared* shared = zembrel_open_shared(shared_path.c_str());
    if (plain == nullptr || shared == nullptr) die("cannot reopen the databases");
    must("DELETE FROM big WHERE k = -1");  // a write loads the plain handle's table; a SELECT would not
    // Every 997th Pk value.
    std::vector<std::string> pks;
    {
        zembrel_result* rs = zembrel_query(plain, "SELECT id FROM big");
        if (rs == nullptr) die("zembrel: SELECT id");
        for (int r = 0; r < zembrel_result_row_count(rs); r += 997) pks.push_back(zembrel_result_value(rs, r, 0));
        zembrel_result_free(rs);
    }
    auto by_pk = [&](uint64_t i) { return "SELECT k, name FROM big WHERE id = '" + pks[i % pks.size()] + "'"; };
    {
        // The first read decodes the readers' version of big whole, as the
        // first read after each commit that changes big does.
        const auto t0 = std::chrono::steady_clock::now();
        read_result(zembrel_query_shared(shared, by_pk(0).c_str()), by_pk(0));
        std::printf("first shared read (decodes big): %.1f ms\n",
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    {
        // A commit to big supersedes the readers' version of it: each
        // thread's first point query after one, by the index and by Pk, in
        // either order (the second of a pair may find the first's work done).
        auto ms_since = [](std::chrono::steady_clock::time_point t0) {
            return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        };
        for (const bool index_first : {true, false}) {
            if (zembrel_exec_shared(shared, "UPDATE big SET name = 'changed' WHERE k = 3") != 0) die("UPDATE big");
            double first = 0, second = 0;
            std::thread reader([&] {
                const std::string a = index_first ? by_index(5) : by_pk(5), b = index_first ? by_pk(6) : by_index(6);
                auto t0 = std::chrono::steady_clock::now();
                read_result(zembrel_query_shared(shared, a.c_str()), a);
                first = ms_since(t0);
                t0 = std::chrono::steady_clock::now();
                read_result(zembrel_query_shared(shared, b.c_str()), b);
                second = ms_since(t0);
            });
            reader.join();
            std::printf("first reads after a commit to big: %s %.2f ms, then %s %.2f ms\n",
                        index_first ? "by index" : "by Pk", first, index_first ? "by Pk" : "by index", second);
        }
    }
    // A read that no seek answers decodes big's version again, before the
    // clock starts (the point queries above decoded nothing).
    read_result(zembrel_query_shared(shared, "SELECT COUNT(*) FROM big"), "SELECT COUNT(*) FROM big");
    // Enough index lookups on either handle that the index's hash view is
    // built before the clock starts, not in the first timed run.
    for (uint64_t i = 0; i < 16 + kRows / 64; ++i) {
        read_result(zembrel_query(plain, by_index(i).c_str()), by_index(i));
        read_result(zembrel_query_shared(shared, by_index(i).c_str()), by_index(i));
    }

    capi::Db sqlite(capi::EngineKind::Sqlite, capi::Where::File, dir + "/big.sqlite");
    sqlite.exec("CREATE TABLE big (id INTEGER PRIMARY KEY, k INTEGER, name TEXT)");
    sqlite.exec("BEGIN");
    for (long i = 0; i < kRows; i += 5000) sqlite.exec(insert_text(i, 5000));
    sqlite.exec("COMMIT");
    sqlite.exec("CREATE INDEX big_k ON big (k)");
    sqlite.query(by_index(0));  // a warm page cache, as zembrel's

    // One private handle per thread for the baseline, each with its own Pk values.
    constexpr long kPrivateRows = 20'000;
    struct Private {
        zembrel_db* db = nullptr;
        std::vector<std::string> pks;
    };
    std::vector<Private> privates(8);
    for (Private& p : privates) {
        p.db = zembrel_open_memory();
        if (p.db == nullptr) die("cannot open an in-memory database");
        auto run = [&](const std::string& sql) {
            if (zembrel_exec(p.db, sql.c_str()) != 0) die(std::string("zembrel: ") + zembrel_errmsg(p.db));
        };
        run("CREATE TABLE big (id PK, k INT, name TEXT)");
        for (long i = 0; i < kPrivateRows; i += 5000) run(insert_text(i, 5000));
        run("CREATE INDEX big_k ON big (k)");
        zembrel_result* rs = zembrel_query(p.db, "SELECT id FROM big");
        if (rs == nullptr) die("zembrel: SELECT id");
        for (int r = 0; r < zembrel_result_row_count(rs); ++r) p.pks.push_back(zembrel_result_value(rs, r, 0));
        zembrel_result_free(rs);
    }

    print_load("before");
    std::printf("%-10s %-26s %10s %10s %12s %12s\n", "query", "where", "us/query", "cpu us", "waits/1k q",
                "vs 1 reader");
    for (const bool pk : {true, false}) {
        const char* name = pk ? "by Pk" : "by index";
        auto text = [&](int t, long i) {
            const uint64_t n = static_cast<uint64_t>(t) * 104729 + static_cast<uint64_t>(i);
            return pk ? by_pk(n) : by_index(n);
        };
        auto row = [&](const char* where, const Timed& t, double scale) {
            std::printf("%-10s %-26s %10.2f %10.2f %12.2f %12s\n", name, where, t.wall_us, t.cpu_us, t.waits_per_1k,
                        scale > 0 ? (std::to_string(scale).substr(0, 4) + "x").c_str() : "");
            std::fflush(stdout);
        };
        const Timed on_plain = timed(1, per_thread, [&](int t, long i) {
            const std::string sql = text(t, i);
            read_result(zembrel_query(plain, sql.c_str()), sql);
        });
        row("plain handle, loaded", on_plain, 0);
        auto private_text = [&](int t, long i) {
            const uint64_t n = static_cast<uint64_t>(t) * 104729 + static_cast<uint64_t>(i);
            const Private& p = privates[static_cast<size_t>(t)];
            if (pk) return "SELECT k, name FROM big WHERE id = '" + p.pks[(n * 997) % p.pks.size()] + "'";
            return "SELECT id, name FROM big WHERE k = " + std::to_string((n * 7919) % kPrivateRows);
        };
        double one = 0, private_one = 0, last_ratio = 0;
        for (int threads : {1, 2, 4, 8}) {
            const Timed on_private = timed(threads, per_thread, [&](int t, long i) {
                const std::string sql = private_text(t, i);
                read_result(zembrel_query(privates[static_cast<size_t>(t)].db, sql.c_str()), sql);
            });
            const Timed on_shared = timed(threads, per_thread, [&](int t, long i) {
                const std::string sql = text(t, i);
                read_result(zembrel_query_shared(shared, sql.c_str()), sql);
            });
            if (threads == 1) one = on_shared.wall_us, private_one = on_private.wall_us;
            const std::string count = std::to_string(threads) + " reader" + (threads > 1 ? "s" : "");
            row(("baseline, " + count).c_str(), on_private, private_one / on_private.wall_us);
            row(("shared, " + count).c_str(), on_shared, one / on_shared.wall_us);
            last_ratio = (one / on_shared.wall_us) / (private_one / on_private.wall_us);
        }
        std::printf("%-10s shared (1 reader) / plain: %.2f; 8 readers' scaling / the baseline's: %.2f\n", name,
                    one / on_plain.wall_us, last_ratio);
        if (!pk) {
            const Timed on_sqlite = timed(1, per_thread, [&](int t, long i) {
                if (sqlite.query(text(t, i)) != 1) die("sqlite: not one row");
            });
            row("sqlite", on_sqlite, 0);
        }
    }
    {
        // 8 Pk readers of big while one thread commits to another table.
        if (zembrel_exec_shared(shared, "CREATE TABLE other (id PK, n INT)") != 0) die("CREATE TABLE other");
        std::atomic<bool> reading{true};
        long commits = 0;
        std::thread writer([&] {
            for (; reading.load(); ++commits)
                if (zembrel_exec_shared(shared, "INSERT INTO other (n) VALUES (1)") != 0) die("INSERT INTO other");
        });
        const Timed busy = timed(8, per_thread, [&](int t, long i) {
            const std::string sql = by_pk(static_cast<uint64_t>(t) * 104729 + static_cast<uint64_t>(i));
            read_result(zembrel_query_shared(shared, sql.c_str()), sql);
        });
        reading = false;
        writer.join();
        std::printf("%-10s %-26s %10.2f %10.2f %12.2f %12s (%ld commits)\n", "by Pk", "shared, 8 + a writer",
                    busy.wall_us, busy.cpu_us, busy.waits_per_1k, "", commits);
    }
    print_load("after");
    zembrel_close_shared(shared);
    zembrel_close(plain);
    for (Private& p : privates) zembrel_close(p.db);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}

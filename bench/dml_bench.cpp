// UPDATE and DELETE side by side with SQLite on a table of 100,000 rows (or
// as many as the first argument says) with a unique and a plain index, both
// on files and durable at every commit
// (zembrel saves to its log with fsync; SQLite runs in WAL mode with
// synchronous=FULL). Workloads: 1,000 one-row UPDATEs by primary key,
// autocommitted and in one transaction; a DELETE of 1% of the rows by an
// indexed column; an UPDATE of 10% of the rows; and, for zembrel alone,
// 1,000 autocommitted one-row INSERTs as the yardstick of a one-row write.
// A second argument runs only the workloads whose names contain it (to
// profile one of them alone), e.g. `dml_bench 1000000 DELETE`.
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <random>

#include "engine/storage_open.h"
#include "side_by_side.h"

using namespace zembrel;
using namespace zembrel::bench;

namespace {

constexpr int64_t kDefaultRows = 100000;

void save(Engine& e) {
    if (auto st = storage::save(e); !st) die("save: " + st.error().display());
}

std::string row_values(int64_t i) {
    return std::to_string(i) + ", " + std::to_string(i % 100) + ", 'pad" + std::to_string(i) + "'";
}

}  // namespace

int main(int argc, char** argv) {
    // The table's row count: the first argument, else 100,000.
    const int64_t kRows = argc > 1 ? std::atoll(argv[1]) : kDefaultRows;
    if (kRows < 1000) die("at least 1000 rows");
    const std::string_view only = argc > 2 ? argv[2] : "";
    auto wanted = [&](std::string_view workload) { return workload.find(only) != std::string_view::npos; };
    std::string dir = (std::filesystem::temp_directory_path() / "zembrel-dml-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) die("mkdtemp failed");
    auto opened = storage::open(dir + "/z.db");
    if (!opened) die(opened.error().display());
    Engine z = std::move(*opened);
    SqliteDb s(dir + "/s.db");
    s.exec("PRAGMA journal_mode=WAL");
    s.exec("PRAGMA synchronous=FULL");

    zembrel_run(z, "CREATE TABLE t (id PK, u INT, g INT, pad TEXT)");
    zembrel_run(z, "CREATE UNIQUE INDEX t_u ON t (u)");
    zembrel_run(z, "CREATE INDEX t_g ON t (g)");
    s.exec("CREATE TABLE t (id TEXT PRIMARY KEY, u INTEGER, g INTEGER, pad TEXT)");
    s.exec("CREATE UNIQUE INDEX t_u ON t (u)");
    s.exec("CREATE INDEX t_g ON t (g)");
    for (int64_t i = 0; i < kRows;) {
        std::string sql = "INSERT INTO t (u, g, pad) VALUES ";
        for (int k = 0; k < 1000 && i < kRows; ++k, ++i) sql += (k ? ", (" : "(") + row_values(i) + ")";
        zembrel_run(z, sql);
    }
    save(z);
    // SQLite gets the same rows under the same keys.
    const Table* table = z.tables.find("t");
    s.exec("BEGIN");
    std::vector<std::string> ids;
    for (const RowView row : table->rows) {
        ids.emplace_back(row[0].as_text());
        s.exec("INSERT INTO t VALUES ('" + std::string(row[0].as_text()) + "', " + std::to_string(row[1].as_int()) + ", " +
               std::to_string(row[2].as_int()) + ", '" + std::string(row[3].as_text()) + "')");
    }
    s.exec("COMMIT");

    std::mt19937 rng(5);
    std::vector<std::string> picks;
    for (int i = 0; i < 1000; ++i) picks.push_back(ids[rng() % ids.size()]);
    auto update_by_pk = [&](int i) {
        return "UPDATE t SET g = " + std::to_string(1000 + i) + " WHERE id = '" + picks[i] + "'";
    };

    print_header();
    // The disk's flush time drifts by a factor of two within seconds on a
    // shared machine: the two engines take turns statement by statement (the
    // one-statement workloads over several rounds), so drift hits both alike.
    using clock = std::chrono::steady_clock;
    auto timed = [](double& total, const std::function<void()>& f) {
        auto t0 = clock::now();
        f();
        total += std::chrono::duration<double, std::milli>(clock::now() - t0).count();
    };
    Timing t;
    double update_auto = 0;
    double insert_auto = 0;
    if (wanted("1000 UPDATE by PK, autocommit")) {
        for (int i = 0; i < 1000; ++i) {
            timed(t.ours_ms, [&] {
                zembrel_run(z, update_by_pk(i));
                save(z);
            });
            timed(t.theirs_ms, [&] { s.exec(update_by_pk(i)); });
        }
        print_row("1000 UPDATE by PK, autocommit", kRows, t);
        update_auto = t.ours_ms;
    }

    if (wanted("1000 UPDATE by PK, one transaction")) {
        t = alternate(
            [&] {
                zembrel_run(z, "BEGIN");
                for (int i = 0; i < 1000; ++i) zembrel_run(z, update_by_pk(999 - i));
                zembrel_run(z, "COMMIT");
                save(z);
            },
            [&] {
                s.exec("BEGIN");
                for (int i = 0; i < 1000; ++i) s.exec(update_by_pk(999 - i));
                s.exec("COMMIT");
            },
            3);
        print_row("1000 UPDATE by PK, one transaction", kRows, t);
    }

    // A statement per round, timed for both engines; the mean per statement.
    constexpr int kRounds = 5;
    auto rounds = [&](const std::function<std::string(int)>& statement) {
        Timing mean;
        for (int r = 0; r < kRounds; ++r) {
            const std::string sql = statement(r);
            timed(mean.ours_ms, [&] {
                zembrel_run(z, sql);
                save(z);
            });
            timed(mean.theirs_ms, [&] { s.exec(sql); });
        }
        mean.ours_ms /= kRounds;
        mean.theirs_ms /= kRounds;
        return mean;
    };
    // Each round deletes another 1% (g = 7, 8, ...).
    if (wanted("DELETE 1% by indexed column"))
        print_row("DELETE 1% by indexed column", kRows,
                  rounds([](int r) { return "DELETE FROM t WHERE g = " + std::to_string(7 + r); }));
    if (wanted("UPDATE 10% of the rows"))
        print_row("UPDATE 10% of the rows", kRows,
                  rounds([](int r) { return "UPDATE t SET pad = 'changed" + std::to_string(r) + "' WHERE g < 10"; }));

    if (wanted("1000 INSERT, autocommit")) {
        t = Timing{};
        for (int64_t i = 0; i < 1000; ++i) {
            const std::string ins = "INSERT INTO t (u, g, pad) VALUES (" + row_values(kRows + i) + ")";
            const std::string ins_s =
                "INSERT INTO t VALUES ('x" + std::to_string(i) + "', " + row_values(kRows + i) + ")";
            timed(t.ours_ms, [&] {
                zembrel_run(z, ins);
                save(z);
            });
            timed(t.theirs_ms, [&] { s.exec(ins_s); });
        }
        print_row("1000 INSERT, autocommit", kRows, t);
        insert_auto = t.ours_ms;
    }
    if (update_auto > 0 && insert_auto > 0)
        std::printf("zembrel: 1000 autocommitted UPDATEs %.2f ms, INSERTs %.2f ms, ratio %.2f\n", update_auto, insert_auto,
                    update_auto / insert_auto);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}

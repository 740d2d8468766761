// A child process runs numbered UPDATE, DELETE and INSERT steps (some as
// transactions), saving after each, and is killed with SIGKILL at a random
// moment; the reopened file must hold exactly the steps the child reported
// done, or those and the one in flight.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

#include "test_util.h"

namespace zembrel::testing {
namespace {

using Model = std::map<int64_t, int64_t>;  // k -> v

std::string pad_for(int64_t i) { return std::string(i % 4 == 0 ? 2500 : 8, static_cast<char>('a' + i % 26)); }

// The statements of step i, and their effect on the model.
std::vector<std::string> step_sql(int64_t i) {
    const int64_t a = (i * 7) % (i + 1);
    const std::string upd = "UPDATE t SET v = " + std::to_string(i) + ", pad = '" + pad_for(i) + "' WHERE k > " +
                            std::to_string(a) + " AND k < " + std::to_string(a + 30);
    const std::string del = "DELETE FROM t WHERE k = " + std::to_string((i * 13) % (i + 1));
    const std::string ins = "INSERT INTO t (k, v, pad) VALUES (" + std::to_string(i) + ", " + std::to_string(i) +
                            ", '" + pad_for(i) + "')";
    switch (i % 5) {
        case 0: return {"BEGIN", upd, del, ins, "COMMIT"};
        case 1:
        case 2: return {ins};
        case 3: return {upd};
        default: return {del};
    }
}

void step_model(Model& m, int64_t i) {
    const int64_t a = (i * 7) % (i + 1);
    auto upd = [&] {
        for (auto it = m.upper_bound(a); it != m.end() && it->first < a + 30; ++it) it->second = i;
    };
    auto del = [&] { m.erase((i * 13) % (i + 1)); };
    auto ins = [&] { m[i] = i; };
    switch (i % 5) {
        case 0: upd(), del(), ins(); break;
        case 1:
        case 2: ins(); break;
        case 3: upd(); break;
        default: del(); break;
    }
}

[[noreturn]] void child_main(const std::string& path, int64_t first, int report_fd) {
    auto opened = storage::open(path);
    if (!opened) _exit(2);
    Engine& e = *opened;
    if (e.page_store()) e.page_store()->pager->set_cache_capacity(16);
    for (int64_t i = first;; ++i) {
        for (const std::string& sql : step_sql(i)) {
            if (!run(e, sql)) _exit(3);
        }
        if (!storage::save(e)) _exit(4);
        if (::write(report_fd, &i, sizeof i) != sizeof i) _exit(5);
    }
}

Model stored(const std::string& path) {
    Engine e = must(storage::open(path));
    Model m;
    EXPECT_TRUE(e.ensure_table_loaded("t"));
    const Table* t = table_of(e, "t");
    if (t == nullptr) return m;
    for (const RowView row : t->rows) {
        EXPECT_EQ(row[2].as_text(), pad_for(row[1].as_int()));
        m[row[0].as_int()] = row[1].as_int();
    }
    // Both index trees and the row ids agree with the rows: a repeated key is refused.
    if (!m.empty()) {
        auto r = run(e, "INSERT INTO t (k, v, pad) VALUES (" + std::to_string(m.begin()->first) + ", 0, 'x')");
        EXPECT_FALSE(r);
    }
    return m;
}

TEST(DmlCrash, KilledStatementsLeaveExactlyTheAcknowledgedOnes) {
    TempDir dir;
    const std::string path = dir.path("crash.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (k INT, v INT, pad TEXT)");
        ok(e, "CREATE UNIQUE INDEX tk ON t (k)");
        ok(e, "CREATE INDEX tv ON t (v)");
        ASSERT_TRUE(storage::save(e));
    }
    std::mt19937 rng(11);
    Model model;
    int64_t done = 0;
    for (int round = 0; round < 12; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            child_main(path, done + 1, fds[1]);
        }
        ::close(fds[1]);
        ::usleep(20000 + rng() % 150000);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child exited early with " << WEXITSTATUS(status);
        int64_t reported = done;
        int64_t v = 0;
        while (::read(fds[0], &v, sizeof v) == sizeof v) reported = v;
        ::close(fds[0]);

        for (int64_t i = done + 1; i <= reported; ++i) step_model(model, i);
        Model in_flight = model;
        step_model(in_flight, reported + 1);
        const Model found = stored(path);
        if (found == in_flight && found != model) {
            model = in_flight;
            ++reported;
        }
        ASSERT_EQ(found, model) << "round " << round << " after step " << reported;
        done = reported;
    }
    EXPECT_GT(done, 24);
}

}  // namespace
}  // namespace zembrel::testing

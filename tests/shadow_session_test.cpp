// Shadow sessions end to end below the C API: random work in a shadow and,
// meanwhile, in the base, committed under each merge policy and compared with
// a three-way model written here from the rules, not from the code; commits
// failing at every write and sync of the base; unique values moved between
// rows; the kept-ops file across commits.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

#include "test_util.h"
#include "fault_vfs.h"
#include "shadow/session.h"

namespace zembrel::testing {
namespace {

using shadow::ShadowSession;
using Keyed = std::map<std::string, Row>;  // key text -> row

std::string text_of(const Keyed& rows) {
    std::string out;
    for (const auto& [key, row] : rows) out += key + " " + debug_values(row) + "\n";
    return out;
}

Keyed rows_of(const Table& table) {
    Keyed out;
    for (const Row& row : table.rows) out.emplace(row[0].display(), row);
    return out;
}

Keyed read_base(const std::string& path, const std::string& table = "t") {
    Engine e = must(storage::open(path));
    EXPECT_TRUE(e.load_all_tables());
    const Table* t = table_of(e, table);
    return t ? rows_of(*t) : Keyed{};
}

void base_exec(const std::string& path, const std::string& sql) {
    Engine e = must(storage::open(path));
    ok(e, sql);
    ASSERT_TRUE(storage::save(e));
}

ShadowSession open_session(const std::string& path, std::optional<std::string> branch = std::nullopt) {
    auto s = branch ? ShadowSession::open_branch(path, *branch) : ShadowSession::open(path);
    if (!s) {
        ADD_FAILURE() << s.error().display();
        std::abort();
    }
    return std::move(*s);
}

void shadow_ok(ShadowSession& s, const std::string& sql) {
    auto r = s.execute(sql);
    ASSERT_TRUE(r.has_value()) << sql << " -> " << r.error().display();
}

bool same(const Row& a, const Row& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Value::key_cmp(a[i], b[i]) != 0) return false;
    return true;
}

// What the base must hold after a commit under `policy`, or none when the
// commit must fail. `before`: the rows when the shadow started; `mine`: the
// shadow's rows at the end; `touched`: the keys the shadow's ops named.
std::optional<Keyed> three_way(const Keyed& before, const Keyed& mine, const Keyed& base,
                               const std::set<std::string>& touched, MergePolicy policy) {
    Keyed out = base;
    for (const std::string& key : touched) {
        auto b = before.find(key);
        auto s = mine.find(key);
        auto c = base.find(key);
        const bool has_b = b != before.end(), has_s = s != mine.end(), has_c = c != base.end();
        auto take_shadow = [&] {
            if (has_s)
                out[key] = s->second;
            else
                out.erase(key);
        };
        if (!has_b) {  // the shadow inserted the key; the base cannot hold a fresh key
            take_shadow();
            continue;
        }
        bool clean;
        if (!has_s)
            clean = !has_c || same(b->second, c->second);
        else
            clean = has_c && (same(c->second, s->second) || same(c->second, b->second));
        if (clean) {
            if (has_c || has_s) take_shadow();
            continue;
        }
        switch (policy.kind()) {
            case MergePolicy::Lww: take_shadow(); break;
            case MergePolicy::Manual: break;
            case MergePolicy::Error: return std::nullopt;
            case MergePolicy::FieldMerge: {
                if (!has_s || !has_c) return std::nullopt;
                Row merged = c->second;
                for (size_t j = 0; j < merged.size(); ++j) {
                    const Value &bj = b->second[j], &cj = c->second[j], &sj = s->second[j];
                    if (Value::key_cmp(cj, sj) == 0 || Value::key_cmp(sj, bj) == 0) continue;
                    if (Value::key_cmp(cj, bj) != 0) return std::nullopt;
                    merged[j] = sj;
                }
                out[key] = merged;
                break;
            }
        }
    }
    return out;
}

std::string pick(std::mt19937& rng, const Keyed& rows) {
    auto it = rows.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, rows.size() - 1)(rng));
    return it->first;
}

// Replay finds rows by the display text of their key.
TEST(ShadowReplay, RowsAreFoundByKeyText) {
    using shadow::ShadowOp;
    const Value i7 = Value::integer(7), t7 = Value::text("7"), i8 = Value::integer(8);
    auto row = [](Value k, int64_t v) { return Row{std::move(k), Value::integer(v)}; };
    struct Case {
        const char* name;
        std::vector<ShadowOp> ops;
        const char* rows;  // debug texts, in order
        const char* rowids;
        uint64_t next_rowid;
    };
    const Case cases[] = {
        {"delete by text removes Int and Text keys", {ShadowOp::remove("t", t7, std::nullopt)}, "[Int(8), Int(3)]", "1", 2},
        {"insert of a present key replaces its row", {ShadowOp::insert("t", row(i8, 9))},
         "[Int(7), Int(1)][Text(\"7\"), Int(2)][Int(8), Int(9)]", "1 2 3", 10},
        {"update of a missing key appends", {ShadowOp::update("t", Value::integer(9), std::nullopt, row(Value::integer(9), 5))},
         "[Int(7), Int(1)][Text(\"7\"), Int(2)][Int(8), Int(3)][Int(9), Int(5)]", "1 2 3 4", 10},
        {"delete of a missing key still renumbers", {ShadowOp::remove("t", Value::integer(42), std::nullopt)},
         "[Int(7), Int(1)][Text(\"7\"), Int(2)][Int(8), Int(3)]", "1 2 3", 4},
        {"update replaces the last row of a shared text", {ShadowOp::update("t", i7, std::nullopt, row(i7, 6))},
         "[Int(7), Int(1)][Int(7), Int(6)][Int(8), Int(3)]", "1 2 3", 10},
        {"delete then insert and update the key",
         {ShadowOp::remove("t", i8, std::nullopt), ShadowOp::insert("t", row(i8, 4)),
          ShadowOp::update("t", i8, std::nullopt, row(i8, 6)), ShadowOp::remove("t", i7, std::nullopt)},
         "[Int(8), Int(6)]", "1", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine e;
        Table t;
        t.name = "t";
        t.columns.resize(2);
        t.columns[0].name = "id";
        t.columns[0].data_type = DataType::of(DataTypeKind::Pk);
        t.columns[1].name = "v";
        t.rows = {row(i7, 1), row(t7, 2), row(i8, 3)};
        t.rowids = {1, 2, 3};
        t.next_rowid = 10;
        e.tables.database.tables.emplace("t", std::move(t));
        ASSERT_TRUE(shadow::replay_ops(e, c.ops));
        const Table& out = *table_of(e, "t");
        std::string rows, ids;
        for (const Row& r : out.rows) rows += debug_values(r);
        for (uint64_t id : out.rowids) ids += (ids.empty() ? "" : " ") + std::to_string(id);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(ids, c.rowids);
        EXPECT_EQ(out.next_rowid, c.next_rowid);
    }
    Engine e;
    auto missing = shadow::replay_ops(e, {ShadowOp::insert("nope", Row{})});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "Execution error: shadow references unknown table 'nope'");
}

TEST(ShadowSessionModel, RandomWorkInShadowAndBaseMergesLikeTheModel) {
    const MergePolicy policies[] = {MergePolicy::Lww, MergePolicy::Error, MergePolicy::FieldMerge,
                                    MergePolicy::Manual};
    int commits = 0, failures = 0;
    for (int seed = 1; seed <= 24; ++seed) {
        const MergePolicy policy = policies[seed % 4];
        std::mt19937 rng(seed);
        TempDir dir;
        const std::string path = dir.path("base.db");
        base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
        base_exec(path, "INSERT INTO t (a, b) VALUES (1, 1), (2, 2), (3, 3), (4, 4), (5, 5), (6, 6)");
        const Keyed start = read_base(path);
        ShadowSession session = open_session(path);
        session.set_merge_policy(std::nullopt, policy);
        Keyed mine = start;
        std::set<std::string> touched;
        auto value = [&] { return std::to_string(std::uniform_int_distribution<int>(0, 3)(rng)); };
        for (int step = 0; step < 14; ++step) {
            const int what = std::uniform_int_distribution<int>(0, 9)(rng);
            const bool in_base = what >= 6;
            Keyed now = in_base ? read_base(path) : mine;
            const int kind = what % 3;  // 0 update, 1 delete, 2 insert
            std::string sql;
            std::string key;
            if (kind != 2 && now.empty()) continue;
            if (kind == 0) {
                key = pick(rng, now);
                const char* column = std::uniform_int_distribution<int>(0, 1)(rng) ? "a" : "b";
                sql = "UPDATE t SET " + std::string(column) + " = " + value() + " WHERE id = '" + key + "'";
            } else if (kind == 1) {
                key = pick(rng, now);
                sql = "DELETE FROM t WHERE id = '" + key + "'";
            } else {
                sql = "INSERT INTO t (a, b) VALUES (" + value() + ", " + value() + ")";
            }
            if (in_base) {
                base_exec(path, sql);
                continue;
            }
            shadow_ok(session, sql);
            mine = rows_of(*table_of(session.snapshot, "t"));
            if (kind == 2) {
                for (const auto& [k, row] : mine)
                    if (!now.contains(k)) touched.insert(k);
            } else {
                touched.insert(key);
            }
        }
        const Keyed base = read_base(path);
        const std::optional<Keyed> expected = three_way(start, mine, base, touched, policy);
        const std::uint64_t pending = session.pending;
        auto report = session.commit();
        SCOPED_TRACE("seed " + std::to_string(seed) + " policy " + std::string(policy.word()));
        if (!expected) {
            ASSERT_FALSE(report.has_value());
            EXPECT_NE(report.error().display().find("merge conflict: "), std::string::npos) << report.error().display();
            EXPECT_EQ(text_of(read_base(path)), text_of(base));
            EXPECT_EQ(session.pending, pending);
            ++failures;
            continue;
        }
        ASSERT_TRUE(report.has_value()) << report.error().display();
        EXPECT_EQ(text_of(read_base(path)), text_of(*expected));
        EXPECT_EQ(report->ops_merged + report->kept, pending);
        EXPECT_EQ(session.pending, 0u);
        ++commits;
        // The next statement sees the merged base.
        auto count = session.execute("SELECT id FROM t");
        ASSERT_TRUE(count.has_value()) << count.error().display();
        EXPECT_EQ(std::get<Rows>(*count).rows.size(), expected->size());
    }
    EXPECT_GT(commits, 6);
    EXPECT_GT(failures, 2);
}

// Every write and sync of the base failing in turn: the commit fails, the
// base and the session stay as they were; the retry then merges exactly once.
TEST(ShadowCommitFaults, EveryFailedStepLeavesTheBaseAndRetryAppliesOnce) {
    const std::pair<FaultOp, const char*> faults[] = {{FaultOp::Write, "write"}, {FaultOp::Sync, "sync"}};
    for (const auto& [op, label] : faults) {
        for (std::uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE(std::string(label) + " " + std::to_string(nth));
            TempDir dir;
            const std::string path = dir.path("base.db");
            base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
            base_exec(path, "CREATE TABLE k (a INT)");
            base_exec(path, "CREATE UNIQUE INDEX t_a ON t (a)");
            base_exec(path, "INSERT INTO t (a, b) VALUES (1, 1), (2, 2), (3, 3)");
            const Keyed start = read_base(path);
            ShadowSession session = open_session(path);
            session.set_merge_policy("t", MergePolicy::Manual);
            auto vfs = std::make_shared<FaultVfs>();
            session.vfs = vfs;
            const std::string first = start.begin()->first, last = start.rbegin()->first;
            shadow_ok(session, "UPDATE t SET a = 10 WHERE id = '" + first + "'");
            shadow_ok(session, "DELETE FROM t WHERE id = '" + last + "'");
            shadow_ok(session, "INSERT INTO t (a, b) VALUES (4, 4)");
            shadow_ok(session, "INSERT INTO k (a) VALUES (7)");
            base_exec(path, "UPDATE t SET b = 20 WHERE id = '" + first + "'");  // set aside: manual
            const Keyed base = read_base(path);
            const std::string log = session.log->path();

            vfs->fail_nth(op, nth, "", true);
            auto first_try = session.commit();
            vfs->clear();
            const bool failed = !first_try;
            if (failed) {
                EXPECT_EQ(text_of(read_base(path)), text_of(base));
                EXPECT_EQ(read_base(path, "k").size(), 0u);
                EXPECT_TRUE(std::filesystem::exists(log));
                EXPECT_FALSE(std::filesystem::exists(dir.path("base.db.shadows/") + session.name + ".krvc"));
                EXPECT_EQ(session.pending, 4u);
            }
            // A fault after the save (the closing checkpoint) does not fail it.
            auto retried = first_try ? std::move(first_try) : session.commit();
            ASSERT_TRUE(retried.has_value()) << retried.error().display();
            EXPECT_EQ(retried->ops_merged, 3u);
            EXPECT_EQ(retried->kept, 1u);
            const Keyed merged = read_base(path);
            EXPECT_EQ(merged.size(), 3u);
            EXPECT_EQ(debug_values(merged.at(first)), debug_values(base.at(first)));
            EXPECT_FALSE(merged.contains(last));
            EXPECT_EQ(read_base(path, "k").size(), 1u);
            EXPECT_FALSE(std::filesystem::exists(log));
            auto kept = shadow::ShadowFile::read(*retried->kept_path);
            ASSERT_TRUE(kept.has_value());
            EXPECT_EQ(kept->entries.size(), 1u);
            if (!failed) break;
            ASSERT_LT(nth, 60u);
        }
    }
}

// Rows trade a unique value in one merge, whatever their key order; a value
// that a base row keeps is refused before anything is written.
TEST(ShadowCommitUnique, ValuesMoveBetweenRowsAndClashesAreRefusedFirst) {
    TempDir dir;
    const std::string path = dir.path("base.db");
    base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
    base_exec(path, "CREATE UNIQUE INDEX t_a ON t (a)");
    base_exec(path, "INSERT INTO t (a, b) VALUES (1, 0), (2, 0), (3, 0)");
    const Keyed start = read_base(path);
    std::vector<std::string> keys;
    for (const auto& [k, row] : start) keys.push_back(k);

    ShadowSession swap = open_session(path);
    shadow_ok(swap, "UPDATE t SET a = 9 WHERE id = '" + keys[0] + "'");
    shadow_ok(swap, "UPDATE t SET a = " + start.at(keys[0])[1].display() + " WHERE id = '" + keys[2] + "'");
    shadow_ok(swap, "UPDATE t SET a = " + start.at(keys[2])[1].display() + " WHERE id = '" + keys[1] + "'");
    shadow_ok(swap, "UPDATE t SET a = " + start.at(keys[1])[1].display() + " WHERE id = '" + keys[0] + "'");
    auto swapped = swap.commit();
    ASSERT_TRUE(swapped.has_value()) << swapped.error().display();
    EXPECT_EQ(swapped->updated, 3u);
    const Keyed after = read_base(path);
    EXPECT_TRUE(Value::key_cmp(after.at(keys[1])[1], start.at(keys[2])[1]) == 0);

    ShadowSession clash = open_session(path);
    shadow_ok(clash, "INSERT INTO t (a, b) VALUES (100, 0)");
    base_exec(path, "INSERT INTO t (a, b) VALUES (100, 1)");
    auto refused = clash.commit();
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), "Execution error: merge conflict: unique index 't_a' violated by key [Int(100)]");
    EXPECT_EQ(read_base(path).size(), 4u);
}

// Ops a manual merge sets aside reach the kept-ops file; a later commit of
// the same branch adds its own instead of replacing the file.
TEST(ShadowBranch, ReplaySealCommitAndKeptOpsAccumulate) {
    TempDir dir;
    const std::string path = dir.path("base.db");
    base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
    base_exec(path, "INSERT INTO t (a, b) VALUES (1, 0), (2, 0)");
    const Keyed start = read_base(path);
    const std::string k1 = start.begin()->first, k2 = start.rbegin()->first;
    const std::string kept_path = dir.path("base.db.shadows/feature-1.krvc");
    int round = 0;
    for (const std::string& key : {k1, k2}) {
        ++round;
        {
            ShadowSession s = open_session(path, "feature-1");
            s.set_merge_policy("t", MergePolicy::Manual);
            shadow_ok(s, "UPDATE t SET a = 50 WHERE id = '" + key + "'");
            shadow_ok(s, "INSERT INTO t (a, b) VALUES (60, " + std::to_string(round) + ")");
        }  // closed: the log stays
        ShadowSession s = open_session(path, "feature-1");
        s.set_merge_policy("t", MergePolicy::Manual);
        EXPECT_EQ(s.pending, 2u);
        EXPECT_EQ(s.unsealed, 2u);
        EXPECT_EQ(rows_of(*table_of(s.snapshot, "t")).at(key)[1].display(), "50");  // replayed
        auto refused = s.commit();
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().display(),
                  "Execution error: branch has 2 unsealed op(s) — seal them (commit -m) before merging");
        auto sealed = s.seal("me", "round");
        ASSERT_TRUE(sealed.has_value());
        EXPECT_EQ(*sealed, 2u);
        base_exec(path, "UPDATE t SET b = 7 WHERE id = '" + key + "'");
        auto report = s.commit();
        ASSERT_TRUE(report.has_value()) << report.error().display();
        EXPECT_EQ(report->ops_merged, 1u);
        EXPECT_EQ(report->kept, 1u);
        auto kept = shadow::ShadowFile::read(kept_path);
        ASSERT_TRUE(kept.has_value());
        ASSERT_EQ(kept->entries.size(), static_cast<size_t>(round));
        EXPECT_EQ(std::get<shadow::ShadowOp>(kept->entries.back()).pk.display(), key);
        EXPECT_EQ(read_base(path).at(key)[1].display(), start.at(key)[1].display());
    }
    EXPECT_EQ(read_base(path).size(), 4u);
}

// A statement whose second op cannot be written (the file size limit) did
// not happen: the log is cut back, the counters stay, and neither the
// snapshot nor a commit shows its first row.
TEST(ShadowCapture, AFailedAppendTakesTheWholeStatementBack) {
    TempDir dir;
    const std::string path = dir.path("base.db");
    base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
    base_exec(path, "INSERT INTO t (a, b) VALUES (1, 1), (2, 2)");
    ShadowSession s = open_session(path);
    shadow_ok(s, "INSERT INTO t (a, b) VALUES (3, 3)");
    const std::string log = s.log->path();
    const auto size = std::filesystem::file_size(log);

    auto r = [&] {
        FileSizeLimit limit(size + 100);
        return s.execute("INSERT INTO t (a, b) VALUES (4, 4), (5, 5), (6, 6)");
    }();

    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().display().find("shadow append"), std::string::npos) << r.error().display();
    EXPECT_EQ(std::filesystem::file_size(log), size);
    EXPECT_EQ(s.pending, 1u);
    auto rows = s.execute("SELECT a FROM t");
    ASSERT_TRUE(rows.has_value()) << rows.error().display();
    EXPECT_EQ(std::get<Rows>(*rows).rows.size(), 3u);
    shadow_ok(s, "INSERT INTO t (a, b) VALUES (7, 7)");
    auto report = s.commit();
    ASSERT_TRUE(report.has_value()) << report.error().display();
    EXPECT_EQ(report->ops_merged, 2u);
    EXPECT_EQ(read_base(path).size(), 4u);
}

// A process killed at a random moment of a branch's commit: reopening the
// branch and committing whatever it still holds always ends in the base
// holding the merge exactly once.
TEST(ShadowCommitCrash, KilledCommitsEndInOneMergeAfterRetry) {
    std::mt19937 rng(5);
    int outcomes[3] = {0, 0, 0};  // before the merge, merged with the log left, done
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        const std::string path = dir.path("base.db");
        base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
        base_exec(path, "CREATE UNIQUE INDEX t_b ON t (b)");
        base_exec(path, "INSERT INTO t (a, b) VALUES (0, 1), (0, 2), (0, 3), (0, 4), (0, 5), (0, 6)");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            auto s = ShadowSession::open_branch(path, "work");
            bool good = s && s->execute("UPDATE t SET a = 7") && s->execute("DELETE FROM t WHERE b = 3") &&
                        s->execute("UPDATE t SET b = 3 WHERE b = 4") && s->execute("INSERT INTO t (a, b) VALUES (9, 9)") &&
                        s->seal("me", "m");
            char ready = good ? 1 : 0;
            if (::write(fds[1], &ready, 1) != 1 || !good) ::_exit(2);
            ::_exit(s->commit() ? 0 : 3);
        }
        ::close(fds[1]);
        char ready = 0;
        ASSERT_EQ(::read(fds[0], &ready, 1), 1);
        ::close(fds[0]);
        ASSERT_EQ(ready, 1);
        ::usleep(rng() % 40000);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
        ShadowSession again = open_session(path, "work");
        ++outcomes[again.pending == 0 ? 2 : read_base(path).at(read_base(path).begin()->first)[1].display() == "0" ? 0 : 1];
        if (again.pending > 0) {
            auto report = again.commit();
            ASSERT_TRUE(report.has_value()) << report.error().display();
        }
        const Keyed merged = read_base(path);
        std::multiset<std::string> seen;
        for (const auto& [key, row] : merged) seen.insert(row[1].display() + "/" + row[2].display());
        EXPECT_EQ(seen, (std::multiset<std::string>{"7/1", "7/2", "7/3", "7/5", "7/6", "9/9"}));
        EXPECT_FALSE(std::filesystem::exists(dir.path("base.db.shadows/work.krvb")));
    }
    std::printf("kills: %d before the merge, %d merged with the log left, %d done\n", outcomes[0], outcomes[1], outcomes[2]);
    EXPECT_GT(outcomes[0] + outcomes[1], 0);
}

}  // namespace
}  // namespace zembrel::testing

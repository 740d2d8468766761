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
    for (const RowView row : table.rows) out.emplace(row[0].display(), row.to_row());
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

// Replay finds rows by the display text of their key, and refuses rows of
// another width.
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
    // t (id PK, v) holding the rows 7, "7" and 8; keyless k (x).
    auto engine = [&] {
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
        Table k;
        k.name = "k";
        k.columns.resize(1);
        k.columns[0].name = "x";
        e.tables.database.tables.emplace("k", std::move(k));
        return e;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine e = engine();
        ASSERT_TRUE(shadow::replay_ops(e, c.ops));
        const Table& out = *table_of(e, "t");
        std::string rows, ids;
        for (const RowView r : out.rows) rows += debug_values(r);
        for (uint64_t id : out.rowids) ids += (ids.empty() ? "" : " ") + std::to_string(id);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(ids, c.rowids);
        EXPECT_EQ(out.next_rowid, c.next_rowid);
    }
    // Rows of another width (a log of another schema) never reach a table.
    const std::pair<ShadowOp, const char*> refusals[] = {
        {ShadowOp::insert("nope", Row{}), "shadow references unknown table 'nope'"},
        {ShadowOp::insert("t", Row{Value::integer(9)}), "shadow row width mismatch on 't' — schema divergence"},
        {ShadowOp::update("t", i8, std::nullopt, Row{i8, i8, i8}), "shadow row width mismatch on 't' — schema divergence"},
        {ShadowOp::insert("k", row(i7, 1)), "shadow row width mismatch on 'k' — schema divergence"},
        {ShadowOp::update("k", i7, std::nullopt, Row{i7}), "shadow Update on table 'k' without PK column"},
        {ShadowOp::remove("k", i7, std::nullopt), "shadow Delete on table 'k' without PK column"},
    };
    for (const auto& [op, error] : refusals) {
        Engine e = engine();
        auto refused = shadow::replay_ops(e, {op});
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message, error);
    }
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

std::size_t row_count(const std::string& path, const std::string& table) {
    Engine e = must(storage::open(path));
    EXPECT_TRUE(e.load_all_tables());
    const Table* t = table_of(e, table);
    return t ? t->rows.size() : 0;
}

// Every write and sync of the commit failing in turn (the base, the merge
// record, the kept-ops file): the commit fails, the base and the session stay
// as they were; the retry then merges exactly once. A save reported failed
// whose commit the file kept all the same (its log could be neither cut back
// nor removed) has merged: the commit says so at once, or, when the base
// cannot be opened again to tell, leaves its merge record for the retry.
TEST(ShadowCommitFaults, EveryFailedStepLeavesTheBaseAndRetryAppliesOnce) {
    enum FirstTry { FailsCleanly, Merges, LeavesRecord };
    struct Fault {
        const char* label;
        void (*arm)(FaultVfs&, std::uint64_t nth);
        FirstTry first_try;
    };
    const Fault faults[] = {
        {"write", [](FaultVfs& vfs, std::uint64_t nth) { vfs.fail_nth(FaultOp::Write, nth, "", true); }, FailsCleanly},
        {"sync", [](FaultVfs& vfs, std::uint64_t nth) { vfs.fail_nth(FaultOp::Sync, nth, "", true); }, FailsCleanly},
        {"kept commit",
         [](FaultVfs& vfs, std::uint64_t) {
             vfs.fail_nth(FaultOp::Sync, 1, ".pwal");
             vfs.fail_nth(FaultOp::Remove, 1, ".pwal", true);
         },
         Merges},
        {"kept commit, base not reopened",
         [](FaultVfs& vfs, std::uint64_t) {
             vfs.fail_nth(FaultOp::Sync, 1, ".pwal");
             vfs.fail_nth(FaultOp::SetLen, 1, ".pwal", true);
             vfs.fail_nth(FaultOp::Remove, 1, ".pwal", true);
         },
         LeavesRecord},
    };
    for (const auto& [label, arm, expected] : faults) {
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

            arm(*vfs, nth);
            auto first_try = session.commit();
            const std::string record = dir.path("base.db.shadows/") + session.name + ".krvm";
            if (expected != FailsCleanly) {
                EXPECT_GT(vfs->injected(), 0u);
                EXPECT_EQ(first_try.has_value(), expected == Merges);
            }
            EXPECT_EQ(std::filesystem::exists(record), expected == LeavesRecord);
            vfs->clear();
            if (expected == LeavesRecord) {
                open_session(path);  // another session leaves alone a record whose log this one holds
                EXPECT_TRUE(std::filesystem::exists(record));
                // Until it is settled the log takes no more ops; reading goes on.
                auto refused = session.execute("INSERT INTO k (a) VALUES (8)");
                ASSERT_FALSE(refused.has_value());
                EXPECT_EQ(refused.error().display(), "Execution error: the last commit of this shadow did not finish; "
                                                     "commit again before changing rows");
                EXPECT_TRUE(session.execute("SELECT a FROM k").has_value());
            }
            const bool failed = !first_try;
            if (failed && expected == FailsCleanly) {
                EXPECT_EQ(text_of(read_base(path)), text_of(base));
                EXPECT_EQ(row_count(path, "k"), 0u);
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
            EXPECT_EQ(row_count(path, "k"), 1u);
            EXPECT_FALSE(std::filesystem::exists(log));
            auto kept = shadow::ShadowFile::read(*retried->kept_path);
            ASSERT_TRUE(kept.has_value());
            EXPECT_EQ(kept->entries.size(), 1u);
            shadow_ok(session, "INSERT INTO k (a) VALUES (8)");
            if (!failed || expected != FailsCleanly) break;
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

// A branch log left empty (its first op killed between making the file and
// writing its header) records nothing: the branch opens without ops and its
// first op writes the header there. A log with bytes but no header, or an
// empty file that has a second name, is not taken over.
// An empty log, or one of zeros only (a power cut can leave a first op's
// length without its bytes), records nothing and is a new branch.
TEST(ShadowBranch, AnEmptyLogIsANewBranch) {
    TempDir dir;
    const std::string path = dir.path("base.db");
    base_exec(path, "CREATE TABLE t (id PK, v INT)");
    const std::string log = dir.path("base.db.shadows/b.krvb");
    fs::create_directory(dir.path("base.db.shadows"));
    for (const std::size_t zeros : {0, 5, 20000}) {
        SCOPED_TRACE(std::to_string(zeros) + " zero bytes");
        write_file(log, std::vector<std::uint8_t>(zeros, 0));
        {
            ShadowSession s = open_session(path, "b");
            EXPECT_EQ(s.pending, 0u);
            EXPECT_FALSE(s.log.has_value());
            shadow_ok(s, "INSERT INTO t (v) VALUES (1)");
        }
        ShadowSession again = open_session(path, "b");
        EXPECT_EQ(again.pending, 1u);
        ASSERT_TRUE(again.seal("me", "one").has_value());
        ASSERT_TRUE(again.commit().has_value());
    }
    EXPECT_EQ(read_base(path).size(), 3u);
    // One byte that is not zero is a log with bytes and no valid header.
    std::vector<std::uint8_t> almost(300, 0);
    almost[299] = 1;
    write_file(log, almost);
    EXPECT_FALSE(ShadowSession::open_branch(path, "b").has_value());
    EXPECT_EQ(read_file(log), almost);

    write_file(log, {'K', 'R', 'V'});
    auto refused = ShadowSession::open_branch(path, "b");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), "Storage error: '" + log + "' is not a KRVV shadow file");
    EXPECT_EQ(read_file(log), std::vector<std::uint8_t>({'K', 'R', 'V'}));

    const std::string users = dir.path("users-empty-file");
    write_file(users, {});
    fs::remove(log);
    fs::create_hard_link(users, log);
    ShadowSession linked = open_session(path, "b");
    auto r = linked.execute("INSERT INTO t (v) VALUES (2)");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "Storage error: shadow '" + log + "': File exists (os error 17)");
    EXPECT_EQ(fs::file_size(users), 0u);
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

// The rows of a SELECT as "v|v" lines, or the error's text.
std::string shown(const Result<ExecResult>& r) {
    if (!r) return r.error().display();
    std::string out;
    for (const Row& row : std::get<Rows>(*r).rows) {
        for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "|" : "") + row[i].display();
        out += "\n";
    }
    return out;
}

std::string base_query(const std::string& path, const std::string& sql) {
    Engine e = must(storage::open(path));
    return shown(run(e, sql));
}

// A base ALTER of a table after a shadow recorded ops on it. A change of its
// columns is refused alike by a refresh (the old copy stays readable) and by
// the commit. A column made HASH is no such change: the texts the shadow
// recorded before reach the copy and the base hashed, as before-images they
// still match their base rows, and texts recorded as hashes are not hashed
// again.
TEST(ShadowSchemaChange, RefreshAndCommitAgreeAndHashColumnsTakeNoClearText) {
    const std::string divergence =
        "Execution error: schema divergence on 't': the shadow was written against a different schema "
        "(columns/types changed on main since the snapshot)";
    struct Case {
        std::vector<const char*> alters;
        bool diverges;
    };
    const Case cases[] = {
        {{"ALTER TABLE t ADD COLUMN c INT"}, true},
        {{"ALTER TABLE t DROP COLUMN a"}, true},
        {{"ALTER TABLE t MODIFY COLUMN s STRING(20)"}, true},
        {{"ALTER TABLE t ADD COLUMN c INT", "ALTER TABLE t DROP COLUMN c"}, false},
        {{"ALTER TABLE t MODIFY COLUMN s TEXT HASH"}, false},
    };
    for (const Case& c : cases) {
        const std::string last = c.alters.back();
        SCOPED_TRACE(last);
        const bool hash = last.ends_with("HASH");
        TempDir dir;
        const std::string path = dir.path("base.db");
        base_exec(path, "CREATE TABLE t (id PK, a INT, s TEXT)");
        base_exec(path, "INSERT INTO t (a, s) VALUES (1, 'x'), (2, 'y')");
        ShadowSession s = open_session(path);
        s.set_merge_policy(std::nullopt, MergePolicy::Error);  // a stale before-image fails the commit
        shadow_ok(s, "UPDATE t SET s = 'secret' WHERE a = 1");
        shadow_ok(s, "INSERT INTO t (a, s) VALUES (3, 'new')");
        for (const char* alter : c.alters) base_exec(path, alter);

        auto refreshed = s.refresh();
        // A HASH column compares a literal's hash: only a hashed row matches.
        EXPECT_EQ(shown(s.execute("SELECT a FROM t WHERE s = 'secret'")), "1\n");
        EXPECT_EQ(shown(s.execute("SELECT a FROM t WHERE s = 'new'")), "3\n");
        auto committed = s.commit();
        if (c.diverges) {
            ASSERT_FALSE(refreshed);
            EXPECT_EQ(refreshed.error().display(), divergence);
            ASSERT_FALSE(committed);
            EXPECT_EQ(committed.error().display(), divergence);
            EXPECT_EQ(shown(s.execute("SELECT a, s FROM t ORDER BY a")), "1|secret\n2|y\n3|new\n");
            EXPECT_EQ(s.pending, 2u);
            EXPECT_EQ(base_query(path, "SELECT s FROM t ORDER BY s"), "x\ny\n");
            continue;
        }
        ASSERT_TRUE(refreshed) << refreshed.error().display();
        ASSERT_TRUE(committed) << committed.error().display();
        EXPECT_EQ(committed->ops_merged, 2u);
        if (!hash) {
            EXPECT_EQ(base_query(path, "SELECT a, s FROM t ORDER BY a"), "1|secret\n2|y\n3|new\n");
            continue;
        }
        for (const char* text : {"secret", "y", "new"}) {
            const std::string rows = base_query(path, "SELECT a, s FROM t WHERE s = '" + std::string(text) + "'");
            EXPECT_EQ(rows.size(), 2 + 97u + 1) << text << ": " << rows;
            EXPECT_NE(rows.find("|$argon2id$"), std::string::npos) << rows;
        }
        shadow_ok(s, "UPDATE t SET a = 9 WHERE s = 'secret'");
        auto again = s.commit();
        ASSERT_TRUE(again) << again.error().display();
        EXPECT_EQ(base_query(path, "SELECT a FROM t WHERE s = 'secret'"), "9\n");
    }
}

// The crash scenario: t (id PK, a, b, unique b) and keyless k. The shadow
// changes every row of t, moves a unique value, deletes and inserts, and
// puts the same row into k twice; meanwhile the base changes the row b = 6,
// which the manual policy of t sets aside into the kept-ops file.
void prepare_crash_base(const std::string& path) {
    base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
    base_exec(path, "CREATE UNIQUE INDEX t_b ON t (b)");
    base_exec(path, "CREATE TABLE k (x INT)");
    base_exec(path, "INSERT INTO t (a, b) VALUES (0, 1), (0, 2), (0, 3), (0, 4), (0, 5), (0, 6)");
}

// Runs in a forked child: records the work in a branch "work" (sealed) or
// an anonymous shadow, lets the base change its row, sends the shadow's name
// down `fd` and commits; `kill_step` (0: none) kills it through the file
// system at that step of the commit. Exits 0 when the commit succeeded.
[[noreturn]] void crash_child(const std::string& path, bool branch, int fd, std::uint64_t kill_step, bool torn) {
    auto s = branch ? ShadowSession::open_branch(path, "work") : ShadowSession::open(path);
    bool good = s && s->execute("UPDATE t SET a = 7") && s->execute("DELETE FROM t WHERE b = 3") &&
                s->execute("UPDATE t SET b = 3 WHERE b = 4") && s->execute("INSERT INTO t (a, b) VALUES (9, 9)") &&
                s->execute("INSERT INTO k (x) VALUES (1), (1)") && (!branch || s->seal("me", "m"));
    if (good) {
        auto base = storage::open(path);
        good = base && run(*base, "UPDATE t SET a = 5 WHERE b = 6") && storage::save(*base);
    }
    const std::string name = good ? s->name : "";
    if (::write(fd, name.data(), name.size()) != static_cast<ssize_t>(name.size()) || !good) ::_exit(2);
    ::close(fd);
    s->set_merge_policy("t", MergePolicy::Manual);
    auto vfs = std::make_shared<FaultVfs>();
    if (kill_step != 0) vfs->kill_at(kill_step, torn);
    s->vfs = vfs;
    ::_exit(s->commit() ? 0 : 3);
}

// After a crash child: the next open settles what it left, a branch commits
// what it still holds, and the base holds the merge once (an anonymous
// shadow's also not at all: nothing can merge its log again) with the kept
// op in the kept-ops file once. Returns whether the base holds the merge.
bool expect_one_merge(const std::string& path, bool branch, const std::string& name) {
    const std::string dir = path + ".shadows/";
    if (branch) {
        ShadowSession again = open_session(path, "work");
        if (again.pending > 0) {
            again.set_merge_policy("t", MergePolicy::Manual);
            auto report = again.commit();
            EXPECT_TRUE(report.has_value()) << report.error().display();
        }
    } else {
        open_session(path);
    }
    const bool merged = row_count(path, "k") != 0;
    std::multiset<std::string> seen;
    for (const auto& [key, row] : read_base(path)) seen.insert(row[1].display() + "/" + row[2].display());
    if (merged) {
        EXPECT_EQ(row_count(path, "k"), 2u);
        EXPECT_EQ(seen, (std::multiset<std::string>{"7/1", "7/2", "7/3", "7/5", "5/6", "9/9"}));
        auto kept = shadow::ShadowFile::read(dir + name + ".krvc");
        EXPECT_TRUE(kept.has_value()) << kept.error().display();
        if (kept) {
            EXPECT_EQ(kept->entries.size(), 1u);
            EXPECT_EQ(kept->valid_len, std::filesystem::file_size(dir + name + ".krvc"));
            const auto* op = kept->entries.empty() ? nullptr : std::get_if<shadow::ShadowOp>(&kept->entries[0]);
            EXPECT_TRUE(op != nullptr && op->kind == shadow::ShadowOp::Kind::Update && op->row[2].display() == "6");
        }
    } else {
        EXPECT_FALSE(branch);
        EXPECT_EQ(seen, (std::multiset<std::string>{"0/1", "0/2", "0/3", "0/4", "0/5", "5/6"}));
        EXPECT_FALSE(std::filesystem::exists(dir + name + ".krvc"));
    }
    EXPECT_EQ(std::filesystem::exists(dir + name + (branch ? ".krvb" : ".krvv")), !merged);
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(entry.path().string().find(".krvm"), std::string::npos) << entry.path();
    return merged;
}

struct CrashRun {
    std::string name;
    int status = 0;
};

// Forks a crash child; `kill_after_us` kills it from here after that long.
CrashRun run_crash_child(const std::string& path, bool branch, std::uint64_t kill_step, bool torn,
                         std::optional<int> kill_after_us = std::nullopt) {
    CrashRun run;
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return run;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        crash_child(path, branch, fds[1], kill_step, torn);
    }
    ::close(fds[1]);
    char buf[128];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) run.name.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (kill_after_us) {
        ::usleep(*kill_after_us);
        ::kill(pid, SIGKILL);
    }
    ::waitpid(pid, &run.status, 0);
    EXPECT_FALSE(run.name.empty()) << "the child could not record its work";
    EXPECT_TRUE(WIFSIGNALED(run.status) || WEXITSTATUS(run.status) == 0) << WEXITSTATUS(run.status);
    return run;
}

// A process killed at a random moment of a branch's commit: reopening the
// branch and committing whatever it still holds always ends in the base
// holding the merge exactly once, keyless rows and kept ops included.
TEST(ShadowCommitCrash, KilledCommitsEndInOneMergeAfterRetry) {
    std::mt19937 rng(5);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        const std::string path = dir.path("base.db");
        prepare_crash_base(path);
        CrashRun run = run_crash_child(path, true, 0, false, static_cast<int>(rng() % 40000));
        expect_one_merge(path, true, "work");
    }
}

// The same, killed at each file-system step of the commit in turn (the base
// and its log, the merge record, the kept-ops file, the removals), with the
// write met there torn in half or not: a branch merges once after its
// reopen, an anonymous shadow once or (killed before its save) not at all.
TEST(ShadowCommitCrash, KilledAtEveryStepEndsInOneMerge) {
    TempDir prepared;
    prepare_crash_base(prepared.path("base.db"));
    for (bool branch : {true, false}) {
        for (bool torn : {false, true}) {
            int outcomes[2] = {0, 0};  // not merged, merged (the last run: not killed)
            std::uint64_t step = 1;
            for (;; ++step) {
                SCOPED_TRACE(std::string(branch ? "branch" : "anonymous") + (torn ? " torn" : "") + " step " +
                             std::to_string(step));
                TempDir dir;
                const std::string path = dir.path("base.db");
                crash_copy(prepared.path("base.db"), path);
                CrashRun run = run_crash_child(path, branch, step, torn);
                ++outcomes[expect_one_merge(path, branch, branch ? "work" : run.name)];
                if (HasFailure() || WIFEXITED(run.status)) break;
                ASSERT_LT(step, 500u);
            }
            std::printf("%s%s: %llu steps, %d kills left no merge, %d one\n", branch ? "branch" : "anonymous",
                        torn ? " torn" : "", static_cast<unsigned long long>(step - 1), outcomes[0], outcomes[1] - 1);
            EXPECT_GT(outcomes[branch ? 1 : 0], 3);
            EXPECT_GT(outcomes[1], 3);
        }
    }
}

}  // namespace
}  // namespace zembrel::testing

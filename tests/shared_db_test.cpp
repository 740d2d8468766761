#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/read_snapshot.h"
#include "test_util.h"
#include "fault_vfs.h"
#include "parser/parser.h"
#include "shared/shared_db.h"
#include "shared/statement_tables.h"

namespace zembrel {
namespace {

using testing::FaultOp;
using testing::FaultVfs;
using testing::TempDir;

ExecResult ok(SharedDb& db, std::string_view sql) {
    auto r = db.execute(sql);
    EXPECT_TRUE(r.has_value()) << sql << " -> " << (r ? "" : r.error().display());
    return r ? std::move(*r) : ExecResult{TransactionStarted{}};
}

std::string err(SharedDb& db, std::string_view sql) {
    auto r = db.execute(sql);
    EXPECT_FALSE(r.has_value()) << sql << " unexpectedly succeeded";
    return r ? std::string() : r.error().display();
}

// The rows of `table` as the snapshot sees them (empty when absent).
std::vector<Row> rows_in(ReadSnapshot& snapshot, const std::string& table) {
    Engine reader;
    auto st = snapshot.load_tables(reader, {table});
    EXPECT_TRUE(st.has_value()) << (st ? "" : st.error().display());
    const Table* t = testing::table_of(reader, table);
    return t == nullptr ? std::vector<Row>{} : t->rows.to_rows();
}

size_t count_now(SharedDb& db, const std::string& table) {
    auto snapshot = db.take_snapshot();
    EXPECT_TRUE(snapshot.has_value());
    return snapshot ? rows_in(*snapshot, table).size() : 0;
}

const Rows* rows_of(const Result<ExecResult>& r) { return r ? std::get_if<Rows>(&*r) : nullptr; }

TEST(SharedDb, EveryWritingStatementIsCommittedWhenItReturns) {
    TempDir dir;
    const std::string path = dir.path("w.db");
    {
        auto db = SharedDb::open(path);
        ASSERT_TRUE(db.has_value()) << db.error().display();
        ok(**db, "CREATE TABLE t (id INT, name TEXT)");
        ok(**db, "INSERT INTO t VALUES (1, 'a')");  // fast road
        ok(**db, "INSERT INTO t VALUES (2, 'b'), (3, 'c')");
        EXPECT_EQ((*db)->with_engine([](Engine& e) { return e.page_store()->pager->dirty_page_count(); }), 0u);
        // A second opener of the same file is kept out by the lock file.
        EXPECT_FALSE(SharedDb::open(path).has_value());
    }
    Engine reopened = testing::must(Engine::open_page_file(path));
    ASSERT_TRUE(reopened.ensure_table_loaded("t").has_value());
    const Table* t = testing::table_of(reopened, "t");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->rows.size(), 3u);
    EXPECT_EQ(t->rows[2][1], Value::text("c"));
}

TEST(SharedDb, ReadsNameEveryTableOfTheStatement) {
    struct Case {
        const char* sql;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"SELECT * FROM a", {"a"}},
        {"SELECT a.x FROM a INNER JOIN b ON a.x = b.y WHERE a.z = 1", {"a", "b"}},
        {"SELECT x, (SELECT MAX(y) FROM c) FROM a LEFT JOIN b ON a.x = b.x "
         "WHERE x IN (SELECT x FROM d WHERE EXISTS (SELECT * FROM e WHERE e.q = (SELECT q FROM f))) "
         "AND NOT (y = (SELECT y FROM a) OR z > 1)",
         {"a", "b", "c", "d", "e", "f"}},
        {"EXPLAIN SELECT * FROM a WHERE x IN (SELECT x FROM g)", {"a", "g"}},
        {"INSERT INTO t VALUES (1)", {"t"}},
        {"DROP INDEX ix", {}},
    };
    for (const Case& c : cases) {
        auto statement = parser::parse_sql(c.sql);
        ASSERT_TRUE(statement.has_value()) << c.sql << ": " << statement.error().message;
        EXPECT_EQ(shared::tables_named_in(*statement), c.names) << c.sql;
    }
}

// A query that works on a plain handle works on a shared one: tables named
// only in a join or a subquery are loaded from the snapshot too.
TEST(SharedDb, SelectLoadsJoinAndSubqueryTables) {
    SharedDb db{Engine()};
    ok(db, "CREATE TABLE users (id INT, name TEXT)");
    ok(db, "CREATE TABLE orders (uid INT, n INT)");
    ok(db, "CREATE TABLE vip (id INT)");
    ok(db, "INSERT INTO users VALUES (1, 'ann'), (2, 'bob'), (3, 'cy')");
    ok(db, "INSERT INTO orders VALUES (1, 7), (2, 7), (3, 8)");
    ok(db, "INSERT INTO vip VALUES (2)");

    struct Case {
        const char* sql;
        std::vector<std::string> first_column;
    };
    const Case cases[] = {
        {"SELECT users.name FROM users INNER JOIN orders ON users.id = orders.uid WHERE orders.n = 7", {"ann", "bob"}},
        {"SELECT name FROM users WHERE id IN (SELECT id FROM vip)", {"bob"}},
        {"SELECT name FROM users WHERE EXISTS (SELECT * FROM vip WHERE vip.id = users.id)", {"bob"}},
        {"SELECT name FROM users WHERE id = (SELECT MAX(uid) FROM orders) ORDER BY name", {"cy"}},
    };
    for (const Case& c : cases) {
        auto r = db.execute(c.sql);
        const Rows* rows = rows_of(r);
        ASSERT_NE(rows, nullptr) << c.sql << " -> " << (r ? "no rows" : r.error().display());
        std::vector<std::string> got;
        for (const Row& row : rows->rows) got.push_back(row.at(0).display());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.first_column) << c.sql;
    }
    EXPECT_EQ(err(db, "SELECT * FROM missing"), "Execution error: table 'missing' not found");
}

// A snapshot keeps showing its commit while writers append, drop tables and
// reuse the freed pages; values in overflow chains included. In memory the
// snapshots read the backing file and its log, which have no names: nothing
// shows in TMPDIR meanwhile.
TEST(SharedDb, SnapshotsShowTheCommitTheyWereTakenAt) {
    for (bool in_memory : {false, true}) {
        TempDir dir;
        const char* tmpdir = std::getenv("TMPDIR");
        const std::optional<std::string> old_tmpdir = tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt;
        ::setenv("TMPDIR", dir.root().c_str(), 1);
        auto opened = in_memory ? Result<std::unique_ptr<SharedDb>>(std::make_unique<SharedDb>(Engine()))
                                : SharedDb::open(dir.path("s.db"));
        ASSERT_TRUE(opened.has_value());
        SharedDb& db = **opened;
        const std::string pad(300, 'p'), big(2500, 'b');  // big: an overflow chain
        ok(db, "CREATE TABLE t (id INT, v TEXT)");
        ok(db, "CREATE TABLE d (id INT, v TEXT)");
        for (int i = 0; i < 40; ++i) {
            ok(db, "INSERT INTO t VALUES (" + std::to_string(i) + ", 'row')");
            ok(db, "INSERT INTO d VALUES (" + std::to_string(i) + ", '" + pad + "'), (0, 'x'), (1, 'y')");
        }
        auto before = db.take_snapshot();
        ASSERT_TRUE(before.has_value());
        ok(db, "DROP TABLE d");
        for (int i = 40; i < 80; ++i) ok(db, "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + big + "')");
        auto middle = db.take_snapshot();
        ASSERT_TRUE(middle.has_value());
        ok(db, "DROP TABLE t");

        std::vector<Row> old_t = rows_in(*before, "t");
        ASSERT_EQ(old_t.size(), 40u) << "in memory: " << in_memory;
        for (const Row& r : old_t) EXPECT_EQ(r[1], Value::text("row"));
        std::vector<Row> old_d = rows_in(*before, "d");
        ASSERT_EQ(old_d.size(), 120u);
        for (size_t i = 0; i < old_d.size(); i += 3) EXPECT_EQ(old_d[i][1], Value::text(pad));
        std::vector<Row> middle_t = rows_in(*middle, "t");
        ASSERT_EQ(middle_t.size(), 80u);
        EXPECT_EQ(middle_t[79][1], Value::text(big));
        EXPECT_TRUE(rows_in(*middle, "d").empty());
        EXPECT_EQ(count_now(db, "t"), 0u);
        if (in_memory) {
            EXPECT_TRUE(db.with_engine([](Engine& e) { return e.page_store()->pager->wal_open(); }));
            EXPECT_TRUE(std::filesystem::is_empty(dir.root()));
        }
        if (old_tmpdir) ::setenv("TMPDIR", old_tmpdir->c_str(), 1);
        else ::unsetenv("TMPDIR");
    }
}

// The rows of a SELECT as "v v|v v" in the order given.
std::string shown(const Result<ExecResult>& r) {
    const Rows* rows = rows_of(r);
    if (rows == nullptr) return r ? "no rows" : r.error().display();
    std::string out;
    for (const Row& row : rows->rows) {
        if (!out.empty()) out += "|";
        for (size_t i = 0; i < row.size(); ++i) out += (i ? " " : "") + row[i].display();
    }
    return out;
}

std::string shown(SharedDb& db, const std::string& sql) { return shown(db.execute(sql)); }

// Readers share one decoded version per table until a commit changes that
// table: each change of a table's stored form (rows, columns, indexes) makes
// the next SELECT of it decode anew and see the change, the other table's
// version stays, and a statement that changed nothing keeps both.
TEST(SharedDb, ACommitDropsTheVersionsOfTheTablesItChangedOnly) {
    SharedDb db{Engine()};
    ok(db, "CREATE TABLE a (k INT, v TEXT)");
    ok(db, "CREATE TABLE b (k INT)");
    ok(db, "INSERT INTO a VALUES (1, 'x'), (2, 'y')");
    ok(db, "INSERT INTO b VALUES (1)");
    struct Case {
        const char* sql;
        bool succeeds;
        int decodes;  // of a and b together at the next reads of both
        const char* a_after;
        const char* b_after;
    };
    const Case cases[] = {
        {"INSERT INTO a VALUES (3, 'z')", true, 1, "1 x|2 y|3 z", "1"},
        {"UPDATE a SET v = 'w' WHERE k = 2", true, 1, "1 x|2 w|3 z", "1"},
        {"DELETE FROM a WHERE k = 1", true, 1, "2 w|3 z", "1"},
        {"CREATE UNIQUE INDEX a_v ON a (v)", true, 1, "2 w|3 z", "1"},
        {"INSERT INTO a VALUES (4, 'w')", false, 0, "2 w|3 z", "1"},  // unique clash
        {"INSERT INTO a VALUES (4)", false, 0, "2 w|3 z", "1"},
        {"EXPLAIN SELECT * FROM a WHERE v = 'w'", true, 0, "2 w|3 z", "1"},
        {"DROP INDEX a_v", true, 1, "2 w|3 z", "1"},
        {"ALTER TABLE a ADD COLUMN n INT DEFAULT (7)", true, 1, "2 w 7|3 z 7", "1"},
        {"UPDATE b SET k = 5", true, 1, "2 w 7|3 z 7", "5"},
        {"TRUNCATE TABLE b", true, 1, "2 w 7|3 z 7", ""},
        {"DROP TABLE a", true, 0, "Execution error: table 'a' not found", ""},
        {"CREATE TABLE a (k INT)", true, 1, "", ""},
        {"INSERT INTO a VALUES (8)", true, 1, "8", ""},
    };
    for (const Case& c : cases) {
        shown(db, "SELECT * FROM a JOIN b ON a.k = b.k");  // both versions are there
        const uint64_t before = db.decoded_versions();
        EXPECT_EQ(db.execute(c.sql).has_value(), c.succeeds) << c.sql;
        EXPECT_EQ(shown(db, "SELECT * FROM a"), c.a_after) << c.sql;
        EXPECT_EQ(shown(db, "SELECT * FROM b"), c.b_after) << c.sql;
        EXPECT_EQ(db.decoded_versions() - before, static_cast<uint64_t>(c.decodes)) << c.sql;
    }
}

// Random statements on three tables, through a shared handle and on a
// plain engine: every read must show what the plain engine shows. A reader
// keeps the versions of every table it read until a commit supersedes them,
// so reads naming other subsets of the tables than the last one, between
// commits to some of them (tables dropped and made anew included), must
// still show only current versions, taken together.
TEST(SharedDb, ReadsOfChangingSubsetsOfTablesMatchAPlainEngine) {
    SharedDb db{Engine()};
    Engine model;
    std::mt19937_64 rng(20261207);
    const char* const tables[] = {"x", "y", "z"};
    auto both = [&](const std::string& sql) {
        const bool on_model = testing::run(model, sql).has_value();
        EXPECT_EQ(db.execute(sql).has_value(), on_model) << sql;
    };
    for (const char* t : tables) both(std::string("CREATE TABLE ") + t + " (k INT, v INT)");
    both("CREATE INDEX x_k ON x (k)");
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    for (int step = 0; step < 600; ++step) {
        const std::string t = tables[pick(3)], u = tables[pick(3)];
        const std::string n = std::to_string(pick(8));
        switch (pick(10)) {
            case 0: both("INSERT INTO " + t + " VALUES (" + n + ", " + std::to_string(step) + ")"); break;
            case 1: both("UPDATE " + t + " SET v = " + std::to_string(step) + " WHERE k = " + n); break;
            case 2: both("DELETE FROM " + t + " WHERE k = " + n); break;
            case 3:
                if (pick(8) == 0) {
                    both("DROP TABLE " + t);
                    both("CREATE TABLE " + t + " (k INT, v INT)");
                }
                break;
            default: {
                const std::string join = "SELECT a.k, a.v, b.v FROM " + t + " AS a JOIN " + u +
                                         " AS b ON a.k = b.k ORDER BY a.k, a.v, b.v";
                const std::string sql =
                    pick(3) == 0 ? "SELECT k, v FROM " + t + " WHERE k = " + n + " ORDER BY v"
                    : pick(2) == 0 ? join
                                   : "SELECT COUNT(*), SUM(v) FROM " + t + " WHERE k IN (SELECT k FROM " + u + ")";
                ASSERT_EQ(shown(db, sql), shown(testing::run(model, sql))) << "step " << step << ": " << sql;
            }
        }
    }
}

// A decoded version carries the table's Pk tree and every index of its
// catalog entry, placed by column name and in step with the rows, so that
// readers seek as the writing road does.
TEST(SharedDb, AVersionHoldsThePkTreeAndTheIndexes) {
    SharedDb db{Engine()};
    ok(db, "CREATE TABLE t (a INT, id PK, b TEXT, c FLOAT)");
    ok(db, "INSERT INTO t VALUES (1, 'p', 1.5), (2, 'q', 2.5), (3, 'p', NULL)");
    ok(db, "CREATE INDEX t_cb ON t (c, b)");
    ok(db, "CREATE UNIQUE INDEX t_a ON t (a)");
    ok(db, "ALTER TABLE t DROP COLUMN a");  // t_a goes, the others' columns move
    auto snapshot = db.take_snapshot();
    ASSERT_TRUE(snapshot.has_value());
    auto decoded = snapshot->decode_table("t");
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    ASSERT_TRUE(decoded->has_value());
    const TableVersion& version = **decoded;
    ASSERT_EQ(version.table.rows.size(), 3u);
    ASSERT_TRUE(version.pk.has_value());
    EXPECT_EQ(version.pk->pk_column, 0u);
    EXPECT_EQ(version.pk->tree.size(), 3u);
    EXPECT_EQ(version.indexes.size(), 1u);
    const MemIndex* cb = version.indexes.get("t_cb");
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(cb->positions, (std::vector<size_t>{2, 1}));
    EXPECT_EQ(cb->entered_rows(), 3u);
    EXPECT_EQ(cb->id_count(), 2u);  // the Null key is in no list
    EXPECT_FALSE(snapshot->decode_table("missing")->has_value());
    EXPECT_EQ(shown(db, "SELECT b FROM t WHERE c = 2.5 AND b = 'q'"), "q");
}

// The rows as shown, in an order of their own: roads that differ in the
// order they give rows without ORDER BY compare alike.
std::string sorted_shown(const Result<ExecResult>& r) {
    const Rows* rows = rows_of(r);
    if (rows == nullptr) return r ? "no rows" : r.error().display();
    std::vector<std::string> lines;
    for (const Row& row : rows->rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) line += (i ? " " : "") + row[i].display();
        lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += (out.empty() ? "" : "|") + line;
    return out;
}

// After a commit to a table, readers that seek it by an index read the
// snapshot's pages and decode nothing; reads by Pk seek the writing
// engine's Pk tree, until so many have that the next decodes the table;
// any other road decodes it at once, and later seeks take that version. Between
// statements a reader lets its snapshot go before the next commit, so
// seeks between commits never hold the log past its checkpoint.
TEST(SharedDb, AfterACommitIndexSeeksReadPagesAndAPkValueTheVersion) {
    TempDir dir;
    auto opened = SharedDb::open(dir.path("seek.db"));
    ASSERT_TRUE(opened.has_value());
    SharedDb& db = **opened;
    ok(db, "CREATE TABLE t (id PK, k INT, v INT, pad TEXT)");
    ok(db, "CREATE INDEX t_k ON t (k)");
    std::string fill = "INSERT INTO t (k, v) VALUES (0, 0)";
    for (int i = 1; i < 300; ++i) fill += ", (" + std::to_string(i) + ", " + std::to_string(i % 7) + ")";
    ok(db, fill);
    const uint64_t start = db.decoded_versions();
    const std::string id = shown(db, "SELECT id FROM t WHERE k = 12");
    EXPECT_EQ(db.decoded_versions(), start);
    struct Step {
        const char* write;
        const char* read;
        const char* shown;
        int decodes;
    };
    const Step steps[] = {
        {"UPDATE t SET v = 70 WHERE k = 12", "SELECT v FROM t WHERE k = 12", "70", 0},
        {nullptr, "SELECT COUNT(*), SUM(v) FROM t WHERE k >= 10 AND k < 14", "4 83", 0},
        {nullptr, "SELECT k, v FROM t WHERE id = '{id}'", "12 70", 0},
        {nullptr, "SELECT v FROM t WHERE k = 13", "6", 0},
        {"DELETE FROM t WHERE k = 13", "SELECT v FROM t WHERE k >= 12 AND k <= 13", "70", 0},
        {"UPDATE t SET k = 13 WHERE k = 12", "SELECT k, v FROM t WHERE id = '{id}'", "13 70", 0},
        {nullptr, "SELECT COUNT(*) FROM t", "299", 1},
        {nullptr, "SELECT k, v FROM t WHERE id = '{id}'", "13 70", 0},
        {"INSERT INTO t (k, v) VALUES (13, 1)", "SELECT k, COUNT(*) FROM t GROUP BY k HAVING k = 13", "", -1},
        {nullptr, "SELECT COUNT(*), SUM(v) FROM t WHERE k = 13", "2 71", 0},
        {nullptr, "SELECT v FROM nope WHERE k = 1", "Execution error: table 'nope' not found", 0},
    };
    for (const Step& step : steps) {
        if (step.write != nullptr) ok(db, step.write);
        std::string read = step.read;
        if (auto at = read.find("{id}"); at != std::string::npos) read.replace(at, 4, id);
        const uint64_t before = db.decoded_versions();
        const std::string got = shown(db, read);
        if (step.decodes < 0) continue;  // a statement the dialect may refuse
        EXPECT_EQ(got, step.shown) << read;
        EXPECT_EQ(db.decoded_versions() - before, static_cast<uint64_t>(step.decodes)) << read;
    }

    ok(db, "UPDATE t SET v = 71 WHERE k = 13");
    const uint64_t before = db.decoded_versions();
    for (uint64_t i = 0; i <= SharedDb::kWriterReadsBeforeDecode; ++i) {
        ASSERT_EQ(shown(db, "SELECT v FROM t WHERE id = '" + id + "'"), "71");
        ASSERT_EQ(db.decoded_versions(), before + (i == SharedDb::kWriterReadsBeforeDecode ? 1 : 0)) << i;
    }

    auto wal_len = [&] { return db.with_engine([](Engine& e) { return e.page_store()->pager->wal_len(); }); };
    const std::string pad(1500, 'x');
    uint64_t longest = 0;
    for (int i = 0; i < 6000; ++i) {
        const std::string k = std::to_string(14 + i % 280);
        ok(db, "UPDATE t SET pad = '" + pad + "' WHERE k = " + k);
        EXPECT_EQ(shown(db, "SELECT k FROM t WHERE k = " + k), k);
        longest = std::max(longest, wal_len());
    }
    EXPECT_LT(longest, 2 * kCheckpointThreshold);
}

// Checkpoints wait for readers: a snapshot held across many commits lets the
// log grow past its threshold; the first commit after it goes shrinks it.
TEST(SharedDb, ALongSnapshotHoldsTheLogUntilItIsReleased) {
    TempDir dir;
    auto opened = SharedDb::open(dir.path("log.db"));
    ASSERT_TRUE(opened.has_value());
    SharedDb& db = **opened;
    auto wal_len = [&] { return db.with_engine([](Engine& e) { return e.page_store()->pager->wal_len(); }); };
    ok(db, "CREATE TABLE t (id INT, pad TEXT)");
    const std::string pad(1500, 'x');
    {
        auto held = db.take_snapshot();
        ASSERT_TRUE(held.has_value());
        for (int i = 0; wal_len() <= kCheckpointThreshold + kPageSize * 64; ++i) {
            ASSERT_LT(i, 20000) << "the log never grew";
            ok(db, "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + pad + "')");
        }
        EXPECT_TRUE(rows_in(*held, "t").empty());
    }
    ok(db, "INSERT INTO t VALUES (-1, 'after')");
    EXPECT_LT(wal_len(), kCheckpointThreshold);
    EXPECT_GT(count_now(db, "t"), 100u);
}

// A write whose commit fails is undone: nothing of it rides along with the
// next commit, and the retry applies it once.
TEST(SharedDb, AFailedCommitLeavesNothingAndTheRetryAppliesOnce) {
    TempDir dir;
    const std::string path = dir.path("f.db");
    auto vfs = std::make_shared<FaultVfs>();
    SharedDb db{testing::must(Engine::create_page_file(path, vfs))};
    ok(db, "CREATE TABLE t (id INT)");
    ok(db, "INSERT INTO t VALUES (1)");

    vfs->fail_nth(FaultOp::Sync, 1, ".pwal");
    std::string e = err(db, "INSERT INTO t VALUES (2)");
    EXPECT_NE(e.find("fsync"), std::string::npos) << e;
    vfs->clear();
    EXPECT_EQ(count_now(db, "t"), 1u);
    ok(db, "INSERT INTO t VALUES (3)");
    ok(db, "INSERT INTO t VALUES (2)");

    vfs->fail_nth(FaultOp::Write, 1, ".pwal");
    err(db, "CREATE TABLE lost (x INT)");
    vfs->clear();
    ok(db, "CREATE TABLE kept (x INT)");

    auto snapshot = db.take_snapshot();
    ASSERT_TRUE(snapshot.has_value());
    std::vector<Row> rows = rows_in(*snapshot, "t");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2][0], Value::integer(2));
    ASSERT_TRUE(snapshot->load_catalog().has_value());
    Engine reader;
    ASSERT_TRUE(snapshot->load_tables(reader, {"lost", "kept"}).has_value());
    EXPECT_EQ(testing::table_of(reader, "lost"), nullptr);
    EXPECT_NE(testing::table_of(reader, "kept"), nullptr);
}

// A commit that reached the log counts even when the checkpoint after it
// fails: reporting it as failed would make a retry apply it twice.
TEST(SharedDb, AFailedCheckpointAfterADurableCommitIsNoFailure) {
    TempDir dir;
    auto vfs = std::make_shared<FaultVfs>();
    SharedDb db{testing::must(Engine::create_page_file(dir.path("c.db"), vfs))};
    auto wal_len = [&] { return db.with_engine([](Engine& e) { return e.page_store()->pager->wal_len(); }); };
    ok(db, "CREATE TABLE t (id INT, pad TEXT)");
    // Writes never cut a file; the checkpoint sets the page file's length.
    vfs->fail_nth(FaultOp::SetLen, 1);
    const std::string pad(1500, 'x');
    int statements = 0;
    while (vfs->injected() == 0) {
        ASSERT_LT(statements, 20000) << "no checkpoint was tried";
        ok(db, "INSERT INTO t VALUES (" + std::to_string(statements++) + ", '" + pad + "')");
    }
    EXPECT_GT(wal_len(), kCheckpointThreshold);
    ok(db, "INSERT INTO t VALUES (-1, 'after')");
    EXPECT_LT(wal_len(), kCheckpointThreshold);
    EXPECT_EQ(count_now(db, "t"), static_cast<size_t>(statements) + 1);
}

// ---------------------------------------------------------------------------
// Many threads: 8 writers, 4 readers. Writer w's statement i inserts group i:
// one row (w, i, 6) through the fast road, or three rows (w, i, 1..3) in one
// statement. A reader must see, for every writer, exactly the groups 0..k-1
// of some k, each group whole (sum 6): whole statements, in order.

constexpr int kWriters = 8;
constexpr int kReaders = 4;
constexpr int kStatementsPerWriter = 250;

std::string writer_statement(int w, int i) {
    std::string row = std::to_string(w) + ", " + std::to_string(i) + ", ";
    if (i % 3 == 0) return "INSERT INTO t VALUES (" + row + "6)";
    return "INSERT INTO t VALUES (" + row + "1), (" + row + "2), (" + row + "3)";
}

// k when `seen` is exactly the groups 0..k-1, else -1.
int prefix_of(const std::set<int64_t>& seen) {
    const int k = static_cast<int>(seen.size());
    if (k == 0) return 0;
    return *seen.begin() == 0 && *seen.rbegin() == k - 1 ? k : -1;
}

// Rows after the first k statements of one writer.
int64_t rows_after(int k) {
    int64_t rows = 0;
    for (int i = 0; i < k; ++i) rows += i % 3 == 0 ? 1 : 3;
    return rows;
}

// k whose row count is `count`, or -1.
int statements_for_rows(int64_t count) {
    for (int k = 0; k <= kStatementsPerWriter; ++k)
        if (rows_after(k) == count) return k;
    return -1;
}

// Per writer, the number of its statements one SELECT sees: counts and sums
// taken together must fit one prefix of that writer's statements.
bool observe_by_select(SharedDb& db, std::vector<int>& last_k) {
    auto r = db.execute("SELECT w, COUNT(*), SUM(v) FROM t GROUP BY w");
    const Rows* rows = rows_of(r);
    if (rows == nullptr) {
        ADD_FAILURE() << (r ? "no rows" : r.error().display());
        return false;
    }
    std::vector<int> k(kWriters, 0);
    for (const Row& row : rows->rows) {
        const int64_t w = row.at(0).as_int();
        const int64_t count = row.at(1).as_int();
        const Value& total = row.at(2);  // SUM is a Float here
        const int64_t sum = total.is_float() ? static_cast<int64_t>(total.as_float()) : total.as_int();
        if (w < 0 || w >= kWriters) return false;
        k[w] = statements_for_rows(count);
        EXPECT_GE(k[w], 0) << "writer " << w << ": " << count << " rows fit no prefix";
        EXPECT_EQ(sum, 6 * k[w]) << "writer " << w << ": a statement seen in part";
        if (k[w] < 0 || sum != 6 * k[w]) return false;
    }
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_GE(k[w], last_k[w]) << "writer " << w << " went back in time";
        if (k[w] < last_k[w]) return false;
        last_k[w] = k[w];
    }
    return true;
}

void run_many_threads(SharedDb& db) {
    ok(db, "CREATE TABLE t (w INT, g INT, v INT)");
    std::atomic<int> writers_left{kWriters};
    std::atomic<int> failures{0};
    std::atomic<int> observations{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kStatementsPerWriter; ++i) {
                auto r = db.execute(writer_statement(w, i));
                if (!r) {
                    ADD_FAILURE() << r.error().display();
                    ++failures;
                }
            }
            --writers_left;
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            std::vector<int> last_k(kWriters, 0);  // a reader never goes back in time
            std::vector<int> last_select_k(kWriters, 0);
            bool by_select = false;
            do {
                by_select = !by_select;
                if (by_select) {
                    if (!observe_by_select(db, last_select_k)) ++failures;
                    ++observations;
                    continue;
                }
                auto snapshot = db.take_snapshot();
                if (!snapshot) {
                    ADD_FAILURE() << snapshot.error().display();
                    ++failures;
                    return;
                }
                std::vector<std::map<int64_t, int64_t>> sums(kWriters);  // group -> sum of v
                std::vector<std::set<int64_t>> groups(kWriters);
                for (const Row& row : rows_in(*snapshot, "t")) {
                    auto w = row[0].as_int();
                    sums[w][row[1].as_int()] += row[2].as_int();
                    groups[w].insert(row[1].as_int());
                }
                for (int w = 0; w < kWriters; ++w) {
                    for (const auto& [g, sum] : sums[w]) EXPECT_EQ(sum, 6) << "writer " << w << " group " << g;
                    int k = prefix_of(groups[w]);
                    EXPECT_GE(k, last_k[w]) << "writer " << w << " shows no later prefix of its statements";
                    if (k < last_k[w]) ++failures;
                    last_k[w] = k;
                }
                ++observations;
            } while (writers_left.load() > 0 && failures.load() == 0);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(observations.load(), kReaders);
    auto snapshot = db.take_snapshot();
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_EQ(rows_in(*snapshot, "t").size(), size_t(rows_after(kStatementsPerWriter) * kWriters));
}

// The thread tests exercise locking and snapshots, not the disk: thousands
// of fsyncs would dominate them.
std::shared_ptr<Vfs> no_flush() {
    auto vfs = std::make_shared<testing::WatchedVfs>();
    vfs->flush = false;
    return vfs;
}

TEST(SharedDbThreads, EightWritersFourReadersOnAFile) {
    TempDir dir;
    SharedDb db{testing::must(Engine::create_page_file(dir.path("threads.db"), no_flush()))};
    run_many_threads(db);
}

TEST(SharedDbThreads, EightWritersFourReadersInMemory) {
    Engine engine;
    engine.file.vfs = no_flush();
    SharedDb db{std::move(engine)};
    run_many_threads(db);
}

// One writer changes table a while readers join it with table b, which no
// commit touches. Writer statement i adds group i to a (one row of v 6, or
// three rows of v 1, 2, 3, every k one of b's): a reader must see groups
// 0..n-1 of some n, each whole, never fewer than it saw before. Versions of
// b are shared throughout, and each version of a is decoded once however
// many readers need it.
TEST(SharedDbThreads, ReadersSeeWholeCommitsAndShareTheUnchangedTable) {
    constexpr int kStatements = 150;
    constexpr int kThreads = 6;
    TempDir dir;
    SharedDb db{testing::must(Engine::create_page_file(dir.path("versions.db"), no_flush()))};
    ok(db, "CREATE TABLE a (g INT, k INT, v INT)");
    ok(db, "CREATE TABLE b (k INT, name TEXT)");
    ok(db, "CREATE INDEX b_k ON b (k)");
    std::string fill = "INSERT INTO b VALUES (0, 'k0')";
    for (int k = 1; k < 50; ++k) fill += ", (" + std::to_string(k) + ", 'k" + std::to_string(k) + "')";
    ok(db, fill);
    const uint64_t before = db.decoded_versions();

    std::atomic<bool> writing{true};
    std::atomic<int> failures{0};
    std::atomic<int> observations{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kThreads; ++r) {
        readers.emplace_back([&, r] {
            int last = 0;
            int seen = 0;  // at least two each, however soon a busy machine lets the writer finish
            // Half of the readers seek b's index once per row of a, on the
            // index all of them share.
            const bool by_index = r % 2 == 1;
            do {
                auto result = db.execute(by_index ? "SELECT g, COUNT(*), SUM(v) FROM a "
                                                    "WHERE EXISTS (SELECT * FROM b WHERE b.k = a.k) GROUP BY g"
                                                  : "SELECT a.g, COUNT(*), SUM(a.v) FROM a JOIN b ON a.k = b.k "
                                                    "GROUP BY a.g");
                const Rows* rows = rows_of(result);
                if (rows == nullptr) {
                    ADD_FAILURE() << (result ? "no rows" : result.error().display());
                    ++failures;
                    return;
                }
                std::set<int64_t> groups;
                for (const Row& row : rows->rows) {
                    const int64_t g = row.at(0).as_int(), count = row.at(1).as_int();
                    const Value& sum = row.at(2);
                    const int64_t total = sum.is_float() ? static_cast<int64_t>(sum.as_float()) : sum.as_int();
                    if (count != (g % 3 == 0 ? 1 : 3) || total != 6) {
                        ADD_FAILURE() << "group " << g << " seen in part: " << count << " rows, sum " << total;
                        ++failures;
                    }
                    groups.insert(g);
                }
                const int n = prefix_of(groups);
                if (n < last) {
                    ADD_FAILURE() << "groups " << groups.size() << " after " << last << " (prefix " << n << ")";
                    ++failures;
                }
                last = std::max(last, n);
                ++observations;
            } while ((writing.load() || ++seen < 2) && failures.load() == 0);
        });
    }
    for (int i = 0; i < kStatements && failures.load() == 0; ++i) {
        const std::string row = "(" + std::to_string(i) + ", " + std::to_string(i % 50) + ", ";
        ok(db, i % 3 == 0 ? "INSERT INTO a VALUES " + row + "6)"
                          : "INSERT INTO a VALUES " + row + "1), " + row + "2), " + row + "3)");
    }
    writing = false;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(observations.load(), kThreads);
    // b once, a at most once per commit that changed it (and once before).
    const uint64_t decodes = db.decoded_versions() - before;
    EXPECT_LE(decodes, static_cast<uint64_t>(kStatements) + 2);

    // Now one at a time: a change of a costs one decode, of a alone.
    const uint64_t settled = db.decoded_versions();
    ok(db, "INSERT INTO a VALUES (" + std::to_string(kStatements) + ", 1, 6)");
    EXPECT_EQ(shown(db, "SELECT COUNT(*) FROM a JOIN b ON a.k = b.k"), std::to_string(rows_after(kStatements) + 1));
    EXPECT_EQ(shown(db, "SELECT COUNT(*) FROM b"), "50");
    EXPECT_EQ(db.decoded_versions(), settled + 1);
}

// Point readers, more of them than the handle has lanes, while two writers
// commit: one changes the row they seek, the other a table some of them read
// in between (so lanes change tables and see commits that leave theirs
// alone). A value read must be one the writer had begun to write by the
// time the read returned and no older than the last one it had finished
// before the read began, and never older than one read before.
TEST(SharedDbThreads, PointReadersSeeExactlyTheCommittedValue) {
    constexpr int kCommits = 200;
    constexpr int kReaders = 20;
    SharedDb db{Engine()};
    ok(db, "CREATE TABLE c (id PK, k INT, n INT)");
    ok(db, "CREATE INDEX c_k ON c (k)");
    ok(db, "CREATE TABLE d (id PK, n INT)");
    ok(db, "INSERT INTO c VALUES (1, 0), (2, 0)");
    ok(db, "INSERT INTO d VALUES (0)");
    const std::string c_id = "'" + shown(db, "SELECT id FROM c WHERE k = 1") + "'";
    const std::string d_id = "'" + shown(db, "SELECT id FROM d") + "'";

    std::atomic<int64_t> started{0}, finished{0};
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 1; i <= kCommits; ++i) {
            started.store(i);
            if (!db.execute("UPDATE c SET n = " + std::to_string(i) + " WHERE id = " + c_id)) ++failures;
            finished.store(i);
        }
    });
    threads.emplace_back([&] {
        for (int i = 1; i <= kCommits / 2 && writing.load(); ++i)
            if (!db.execute("UPDATE d SET n = " + std::to_string(i) + " WHERE id = " + d_id)) ++failures;
    });
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            const std::string queries[] = {"SELECT n FROM c WHERE id = " + c_id, "SELECT n FROM c WHERE k = 1",
                                           "SELECT n FROM d WHERE id = " + d_id};
            int64_t last = 0;
            for (int i = 0; (writing.load() || i < 2) && failures.load() == 0; ++i) {
                const int q = (r + i) % (r % 2 == 0 ? 2 : 3);
                const int64_t low = finished.load();
                auto result = db.execute(queries[q]);
                const int64_t high = started.load();
                const Rows* rows = rows_of(result);
                if (rows == nullptr || rows->rows.size() != 1) {
                    ADD_FAILURE() << queries[q] << ": " << (result ? "not one row" : result.error().display());
                    ++failures;
                    return;
                }
                ++reads;
                if (q == 2) continue;
                const int64_t n = rows->rows[0].at(0).as_int();
                if (n < low || n > high || n < last) {
                    ADD_FAILURE() << queries[q] << " gave " << n << " between commits " << low << " and " << high
                                  << " after " << last;
                    ++failures;
                }
                last = n;
            }
        });
    }
    threads[0].join();
    writing = false;
    for (size_t t = 1; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), kReaders);
    EXPECT_EQ(shown(db, "SELECT n FROM c WHERE k = 1"), std::to_string(kCommits));
}

// Readers on several threads query one table (by Pk, by its index, joined,
// grouped, through a subquery) while a writer commits random changes to it
// and now and then to the table it is joined with. Every read must equal
// the result of one whole commit between the last one finished before the
// read began and the last one begun when it returned: the writer runs each
// statement on a model first and keeps every query's result there.
TEST(SharedDbThreads, ReadsOfATableUnderCommitsShowWholeCommits) {
    constexpr int kCommits = 150;
    constexpr int kReaders = 6;
    TempDir dir;
    SharedDb db{testing::must(Engine::create_page_file(dir.path("whole.db"), no_flush()))};
    Engine model;
    auto both = [&](const std::string& sql) {
        auto on_model = testing::run(model, sql);
        EXPECT_TRUE(on_model.has_value()) << sql << " -> " << (on_model ? "" : on_model.error().display());
        ok(db, sql);
    };
    both("CREATE TABLE t (id PK, tag INT, k INT, v INT)");
    both("CREATE INDEX t_k ON t (k)");
    both("CREATE TABLE u (k INT, w INT)");
    std::string fill = "INSERT INTO t (tag, k, v) VALUES (0, 0, 0)";
    for (int tag = 1; tag < 60; ++tag)
        fill += ", (" + std::to_string(tag) + ", " + std::to_string(tag % 10) + ", " + std::to_string(tag) + ")";
    both(fill);
    both("INSERT INTO u VALUES (0, 0), (1, 10), (2, 20), (3, 30), (4, 40), (5, 50), (6, 60), (7, 70), (8, 80), (9, 90)");
    // (on the handle, on the model): the handle made the Pk values, the
    // model finds the same rows by tag.
    std::vector<std::pair<std::string, std::string>> queries;
    for (int tag : {0, 5, 17, 33}) {
        const std::string id = shown(db, "SELECT id FROM t WHERE tag = " + std::to_string(tag));
        queries.emplace_back("SELECT tag, k, v FROM t WHERE id = '" + id + "'",
                             "SELECT tag, k, v FROM t WHERE tag = " + std::to_string(tag));
    }
    for (const char* sql : {"SELECT tag, v FROM t WHERE k = 1", "SELECT tag, v FROM t WHERE k = 4",
                            "SELECT COUNT(*), SUM(v) FROM t WHERE k = 2", "SELECT tag FROM t WHERE k > 3 AND k < 6",
                            "SELECT t.tag, u.w FROM t JOIN u ON t.k = u.k WHERE u.w >= 30 AND u.w < 40",
                            "SELECT k, COUNT(*), SUM(v) FROM t GROUP BY k",
                            "SELECT COUNT(*) FROM t WHERE k IN (SELECT k FROM u WHERE w > 50)"})
        queries.emplace_back(sql, sql);
    auto state_now = [&] {
        std::vector<std::string> out;
        for (const auto& q : queries) out.push_back(sorted_shown(testing::run(model, q.second)));
        return out;
    };
    std::vector<std::vector<std::string>> states(kCommits + 1);
    states[0] = state_now();
    for (size_t q = 0; q < queries.size(); ++q) EXPECT_EQ(sorted_shown(db.execute(queries[q].first)), states[0][q]) << queries[q].first;

    std::atomic<int> started{0}, finished{0};
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0}, reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 rng(static_cast<unsigned>(r) * 7919u + 1u);
            for (int i = 0; (writing.load() || i < 3) && failures.load() == 0; ++i) {
                const size_t q = rng() % queries.size();
                const int low = finished.load();
                const std::string got = sorted_shown(db.execute(queries[q].first));
                const int high = started.load();
                ++reads;
                bool matched = false;
                for (int j = low; j <= high && !matched; ++j) matched = states[static_cast<size_t>(j)][q] == got;
                if (!matched) {
                    ADD_FAILURE() << queries[q].first << " gave " << got << " between commits " << low << " and "
                                  << high << "; at " << low << ": " << states[static_cast<size_t>(low)][q];
                    ++failures;
                }
            }
        });
    }
    std::mt19937 rng(20261207);
    for (int i = 1; i <= kCommits && failures.load() == 0; ++i) {
        const std::string a = std::to_string(rng() % 10), b = std::to_string(rng() % 60), n = std::to_string(i);
        std::string sql;
        switch (rng() % 6) {
            case 0: sql = "INSERT INTO t (tag, k, v) VALUES (" + std::to_string(1000 + i) + ", " + a + ", " + n + ")"; break;
            case 1: sql = "UPDATE t SET v = " + n + " WHERE k = " + a; break;
            case 2: sql = "UPDATE t SET k = " + a + " WHERE tag = " + b; break;
            case 3: sql = "DELETE FROM t WHERE tag = " + b; break;
            case 4: sql = "UPDATE u SET w = " + std::to_string(rng() % 100) + " WHERE k = " + a; break;
            default: sql = "UPDATE t SET v = " + n + " WHERE k >= " + a; break;
        }
        if (!testing::run(model, sql)) {
            ADD_FAILURE() << sql;
            ++failures;
            break;
        }
        states[static_cast<size_t>(i)] = state_now();
        started.store(i);
        ok(db, sql);
        finished.store(i);
    }
    writing = false;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), kReaders * 3 - 1);
}

}  // namespace
}  // namespace zembrel

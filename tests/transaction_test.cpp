// BEGIN / COMMIT / ROLLBACK, the commit-time sync modes, and the return to
// the last commit when mirroring into the page file fails.
#include <gtest/gtest.h>

#include <set>

#include "test_util.h"
#include "fault_vfs.h"
#include "types/text_format.h"

namespace zembrel::testing {
namespace {

std::vector<uint64_t> ids_1_to(uint64_t n) {
    std::vector<uint64_t> ids;
    for (uint64_t i = 1; i <= n; ++i) ids.push_back(i);
    return ids;
}

// Rows of a table after a fresh open of the file (from the last commit).
std::vector<Row> stored_rows(const std::string& path, const std::string& table) {
    Engine e = must(storage::open(path));
    EXPECT_TRUE(e.ensure_table_loaded(table));
    const Table* t = table_of(e, table);
    return t ? t->rows.to_rows() : std::vector<Row>{};
}

// Rows appended in a transaction follow the stored ones, in the session and
// after a reopen; a TRUNCATE in a transaction rewrites the table from 1.
TEST(Transaction, AppendAndRewriteReachTheFile) {
    TempDir dir;
    std::string path = dir.path("txn.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (id PK, n INT)");
        ok(e, "INSERT INTO t VALUES (1), (2), (3), (4), (5)");
        ASSERT_TRUE(storage::save(e));
        ok(e, "BEGIN");
        ok(e, "INSERT INTO t VALUES (6), (7)");
        // Nothing reaches the store before COMMIT.
        EXPECT_EQ(e.file.page_store->pager->dirty_page_count(), 0u);
        ok(e, "COMMIT");
        EXPECT_EQ(table_of(e, "t")->rowids, ids_1_to(7));
        ASSERT_TRUE(storage::save(e));
    }
    {
        Engine e = must(storage::open(path));
        ok(e, "BEGIN");
        ok(e, "INSERT INTO t VALUES (8), (9)");
        ok(e, "COMMIT");
        ASSERT_TRUE(storage::save(e));
    }
    {
        Engine e = must(storage::open(path));
        ASSERT_TRUE(e.ensure_table_loaded("t"));
        // Stored rows keep their ids; the new ones continue at the stored hint.
        std::vector<uint64_t> want = ids_1_to(7);
        want.insert(want.end(), {1026, 1027});
        EXPECT_EQ(table_of(e, "t")->rowids, want);
        EXPECT_EQ(table_of(e, "t")->rows[8][1], Value::integer(9));

        ok(e, "BEGIN");
        ok(e, "INSERT INTO t VALUES (10)");
        ok(e, "TRUNCATE TABLE t");
        ok(e, "INSERT INTO t VALUES (11), (12)");
        ok(e, "COMMIT");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    ASSERT_TRUE(e.ensure_table_loaded("t"));
    const Table* t = table_of(e, "t");
    ASSERT_EQ(t->rows.size(), 2u);
    EXPECT_EQ(t->rows[0][1], Value::integer(11));
    EXPECT_EQ(t->rowids, ids_1_to(2));
}

// What the model test does not track: a dropped table's merge policy comes
// back with it, and ROLLBACK empties the row cache.
TEST(Transaction, RollbackRestoresMergePolicyAndClearsTheRowCache) {
    TempDir dir;
    std::string path = dir.path("drop.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (id PK, a INT)");
        ok(e, "INSERT INTO t VALUES (1), (2), (3)");
        ASSERT_TRUE(e.file.page_store->set_merge_policy("t", "lww"));
        e.tables.merge_policies["t"] = "lww";
        ASSERT_TRUE(storage::save(e));

        ok(e, "BEGIN");
        ok(e, "DROP TABLE t");
        ok(e, "ROLLBACK");
        EXPECT_EQ(e.tables.merge_policies.at("t"), "lww");

        ok(e, "BEGIN");
        ok(e, "TRUNCATE TABLE t");
        e.tables.row_cache["t"] = std::make_shared<const FlatRows>();
        ok(e, "ROLLBACK");
        EXPECT_TRUE(e.tables.row_cache.empty());
        EXPECT_EQ(table_of(e, "t")->rows.size(), 3u);
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    EXPECT_EQ(e.file.page_store->catalog.get("t")->merge_policy, std::optional<std::string>("lww"));
}

// Index definitions as memory and the page store each hold them.
std::string indexes_in_memory(const Engine& e) {
    std::set<std::string> out;
    for (const auto& [name, ix] : e.tables.mem_indexes)
        out.insert(name + ":" + ix.table + "(" + join_texts(ix.columns) + ")" + (ix.unique ? "u" : ""));
    std::string text;
    for (const std::string& s : out) text += s + " ";
    return text;
}

std::string indexes_in_store(const Engine& e) {
    std::set<std::string> out;
    for (const auto& [table, entry] : e.page_store()->catalog.entries())
        for (const IndexCatalogEntry& ix : entry.indexes)
            out.insert(ix.name + ":" + table + "(" + join_texts(ix.columns) + ")" + (ix.unique ? "u" : ""));
    std::string text;
    for (const std::string& s : out) text += s + " ";
    return text;
}

// Index DDL inside a transaction is undone by ROLLBACK and reaches the file
// only with COMMIT, checked against the rows the transaction sees; memory
// and file agree after every step, on a file after a reopen too.
TEST(Transaction, IndexDefinitionsRollBackAndCommitWithTheRows) {
    TempDir dir;
    const std::string path = dir.path("ix.db");
    for (bool on_file : {true, false}) {
        SCOPED_TRACE(on_file ? "file" : "memory");
        Engine e = on_file ? must(storage::open(path)) : Engine();
        const auto agree = [&](const std::string& want) {
            EXPECT_EQ(indexes_in_memory(e), want);
            EXPECT_EQ(indexes_in_store(e), want);
        };
        ok(e, "CREATE TABLE t (k INT, b INT)");
        ok(e, "CREATE TABLE u (k INT, v INT)");
        ok(e, "INSERT INTO t VALUES (1, 1), (2, 2)");
        ok(e, "INSERT INTO u VALUES (1, 0), (1, 0)");
        ok(e, "CREATE UNIQUE INDEX tk ON t (k)");
        ok(e, "CREATE UNIQUE INDEX ub ON t (b)");
        const std::string base = "tk:t(k)u ub:t(b)u ";

        ok(e, "BEGIN");
        ok(e, "DROP INDEX tk");
        ok(e, "INSERT INTO t VALUES (1, 7)");
        ok(e, "ROLLBACK");
        EXPECT_EQ(err(e, "INSERT INTO t VALUES (1, 8)"), "Execution error: unique constraint violated: duplicate key [Int(1)]");
        agree(base);

        ok(e, "BEGIN");
        ok(e, "DELETE FROM u WHERE k = 1");
        ok(e, "INSERT INTO u VALUES (1, 0)");
        ok(e, "CREATE UNIQUE INDEX uk ON u (k)");
        EXPECT_EQ(indexes_in_store(e), base);
        ok(e, "ROLLBACK");
        ok(e, "INSERT INTO u VALUES (1, 0)");
        agree(base);

        ok(e, "BEGIN");
        ok(e, "ALTER TABLE t DROP COLUMN b");
        ok(e, "DROP TABLE t");
        ok(e, "ROLLBACK");
        EXPECT_EQ(err(e, "INSERT INTO t VALUES (3, 2)"), "Execution error: unique constraint violated: duplicate key [Int(2)]");
        agree(base);

        // A duplicate the transaction removed no longer blocks the index; one
        // it added does. A name freed and taken again moves to the new table.
        ok(e, "BEGIN");
        EXPECT_EQ(err(e, "CREATE UNIQUE INDEX uk ON u (k)"), "Execution error: unique index 'uk': duplicate key");
        ok(e, "DELETE FROM u WHERE k = 1");
        ok(e, "INSERT INTO u VALUES (5, 0)");
        ok(e, "CREATE UNIQUE INDEX uk ON u (k)");
        ok(e, "DROP INDEX ub");
        ok(e, "CREATE INDEX ub ON u (v)");
        ok(e, "DROP INDEX tk");
        ok(e, "CREATE UNIQUE INDEX tk ON t (b)");
        ok(e, "COMMIT");
        const std::string committed = "tk:t(b)u ub:u(v) uk:u(k)u ";
        agree(committed);
        EXPECT_EQ(err(e, "INSERT INTO u VALUES (5, 0)"), "Execution error: unique constraint violated: duplicate key [Int(5)]");
        if (!on_file) continue;
        ASSERT_TRUE(storage::save(e));
        e = Engine();
        e = must(storage::open(path));
        agree(committed);
        ASSERT_TRUE(e.ensure_table_loaded("t"));
        ASSERT_TRUE(e.ensure_table_loaded("u"));
        EXPECT_EQ(err(e, "INSERT INTO t VALUES (9, 1)"), "Execution error: unique constraint violated: duplicate key [Int(1)]");
        EXPECT_EQ(err(e, "INSERT INTO u VALUES (5, 0)"), "Execution error: unique constraint violated: duplicate key [Int(5)]");
        ok(e, "INSERT INTO t VALUES (1, 9)");
        ok(e, "DROP TABLE u");
        ok(e, "DROP TABLE t");
        ASSERT_TRUE(storage::save(e));
    }
}

// An index dropped in a transaction stays in the file until COMMIT; a table
// read from the file meanwhile is not planned through it.
TEST(Transaction, IndexDroppedInATransactionIsNotPlannedThrough) {
    TempDir dir;
    const std::string path = dir.path("plan.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (k INT)");
        ok(e, "INSERT INTO t VALUES (1), (2)");
        ok(e, "CREATE INDEX tk ON t (k)");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    const auto plan = [&] {
        auto r = run(e, "EXPLAIN SELECT * FROM t WHERE k = 2");
        EXPECT_TRUE(r);
        return r ? std::string(std::get<Rows>(*r).rows.front()[0].as_text()) : std::string();
    };
    const std::string seek = plan();
    ok(e, "BEGIN");
    ok(e, "DROP INDEX tk");
    EXPECT_EQ(table_of(e, "t"), nullptr);
    EXPECT_NE(plan(), seek);
    ok(e, "ROLLBACK");
    EXPECT_EQ(plan(), seek);
}

TEST(SyncFailure, RefusalBeforeAnyPageChangedKeepsTheTransaction) {
    TempDir dir;
    const std::string path = dir.path("refusal.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (id PK, n INT, s TEXT)");
        ok(e, "CREATE TABLE u (n INT)");
        ok(e, "INSERT INTO t VALUES (1, 'a'), (6, '" + std::string(1100, 'k') + "')");
        ASSERT_TRUE(storage::save(e));
        ok(e, "BEGIN");
        ok(e, "INSERT INTO u VALUES (1)");
        std::string message = err(e, "CREATE INDEX ts ON t (s)");
        EXPECT_TRUE(message.starts_with("Storage error: key length ")) << message;
        EXPECT_TRUE(e.in_transaction());
        EXPECT_EQ(e.tables.mem_indexes.get("ts"), nullptr);
        EXPECT_TRUE(e.page_store()->catalog.get("t")->indexes.empty());
        ok(e, "COMMIT");
        ASSERT_TRUE(storage::save(e));
    }
    EXPECT_EQ(stored_rows(path, "u").size(), 1u);
}

// A sync that fails after writing only into pages an earlier, not yet saved
// statement had already changed leaves every pager count as it was; it must
// still not leave its row in the page cache for the next save to commit. And
// while the catalog cannot be read back, nothing may write as if it were empty.
TEST(SyncFailure, FailureAfterWritingIntoDirtyPagesReturnsToTheLastCommit) {
    TempDir dir;
    std::string path = dir.path("dirty.db");
    auto vfs = std::make_shared<FaultVfs>();
    const std::vector<std::string> expected{"a", "b", "e"};
    {
        Engine e = must(Engine::create_page_file(path, vfs));
        ok(e, "CREATE TABLE t (n INT, s TEXT)");
        ok(e, "CREATE INDEX tn ON t (n)");
        ok(e, "INSERT INTO t VALUES (1, 'a'), (2, 'b')");
        ASSERT_TRUE(storage::save(e));
        // Not saved: the table's leaf is now dirty (a Null n has no index entry).
        ok(e, "INSERT INTO t VALUES (NULL, 'c')");
        Pager& pager = *e.file.page_store->pager;
        {
            // Push every other page out of the cache, keeping the leaf.
            auto leaf = pager.read_page(e.file.page_store->catalog.get("t")->root);
            ASSERT_TRUE(leaf);
            pager.set_cache_capacity(1);
            auto spare = pager.allocate_page();
            ASSERT_TRUE(spare);
            ASSERT_TRUE(pager.free_page(*spare));
        }
        // The row goes into the cached leaf; its index entry needs a read.
        vfs->fail_nth(FaultOp::Read, 1, "", true);
        std::string message = err(e, "INSERT INTO t VALUES (4, 'd')");
        EXPECT_NE(message.find("read failed"), std::string::npos) << message;
        EXPECT_NE(err(e, "CREATE TABLE t (x INT)").find("read failed"), std::string::npos);
        vfs->clear();
        pager.set_cache_capacity(4096);
        ok(e, "INSERT INTO t VALUES (5, 'e')");
        ASSERT_TRUE(storage::save(e));
        ASSERT_TRUE(e.ensure_table_loaded("t"));
        ASSERT_NE(table_of(e, "t"), nullptr);
        std::vector<std::string> in_memory;
        for (const RowView row : table_of(e, "t")->rows) in_memory.push_back(row[1].display());
        EXPECT_EQ(in_memory, expected);
    }
    std::vector<std::string> stored;
    for (const Row& row : stored_rows(path, "t")) stored.push_back(row[1].display());
    EXPECT_EQ(stored, expected);
}

// A unique index made in a transaction is checked against the rows the
// transaction sees, not the stored ones: a stored duplicate the transaction
// truncated away does not refuse it. At COMMIT the index is built from the
// rows just written, while a cache of two pages pushes dirty pages of the
// commit into the log.
TEST(SyncFailure, IndexMadeInATransactionIsBuiltAtCommitWhileDirtyPagesAreEvicted) {
    TempDir dir;
    std::string path = dir.path("evict.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (n INT, s TEXT)");
        ok(e, "CREATE TABLE u (n INT)");
        ok(e, "CREATE INDEX un ON u (n)");
        std::string sql = "INSERT INTO t VALUES ";
        for (int i = 0; i < 100; ++i) sql += "(" + std::to_string(i) + ", '" + std::string(600, 'p') + "'), ";
        ok(e, sql + "(0, 'again')");  // the stored duplicate comes last
        ASSERT_TRUE(storage::save(e));
    }
    {
        Engine e = must(storage::open(path));  // an empty cache
        e.file.page_store->pager->set_cache_capacity(2);

        ok(e, "BEGIN");
        ok(e, "INSERT INTO u VALUES (5)");
        ok(e, "TRUNCATE TABLE t");
        ok(e, "DROP INDEX un");
        EXPECT_EQ(e.file.page_store->pager->dirty_page_count(), 0u);  // waits for COMMIT
        ok(e, "INSERT INTO t VALUES (1, 'x'), (2, 'y')");
        ok(e, "CREATE UNIQUE INDEX tn ON t (n)");
        EXPECT_TRUE(e.file.page_store->catalog.get("t")->indexes.empty());
        ok(e, "COMMIT");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    EXPECT_TRUE(e.file.page_store->catalog.get("u")->indexes.empty());
    ASSERT_EQ(e.file.page_store->catalog.get("t")->indexes.size(), 1u);
    EXPECT_TRUE(e.file.page_store->catalog.get("t")->indexes[0].unique);
    ASSERT_TRUE(e.load_all_tables());
    EXPECT_EQ(table_of(e, "u")->rows.size(), 1u);
    EXPECT_EQ(table_of(e, "t")->rows.size(), 2u);
    EXPECT_EQ(err(e, "INSERT INTO t VALUES (2, 'z')"), "Execution error: unique constraint violated: duplicate key [Int(2)]");
}

// Count and sum of v of table t as the file holds it.
std::pair<size_t, int64_t> stored_count_and_sum(const std::string& path) {
    const std::vector<Row> rows = stored_rows(path, "t");
    int64_t sum = 0;
    for (const Row& row : rows) sum += row[2].as_int();
    return {rows.size(), sum};
}

// The first change after an open has the log made on a worker while the
// table loads: created, its header written and its directory entry flushed
// before the statement's outcome leaves execute. When the making fails on
// every try, the save fails with the error the commit's own making gives,
// the file keeps its rows and no log is left; the statement applied again
// lands once. A failure of the worker's try alone costs only the commit's
// own making. A refused statement leaves the made log to the next commit.
TEST(SyncFailure, LogMadeAheadOfTheFirstCommit) {
    const std::string eio = "Input/output error (os error 5)";
    struct Statement {
        const char* sql;
        size_t count;  // of the 50 rows 0..49 (sum 1225) after it
        int64_t sum;
    };
    const Statement statements[] = {
        {"INSERT INTO t (k, v) VALUES (100, 7)", 51, 1232},
        {"UPDATE t SET v = 100 WHERE k < 10", 50, 2180},
        {"DELETE FROM t WHERE k >= 40", 40, 780},
    };
    struct Fault {
        FaultOp op;
        bool every_try;
        std::string error;  // "{log}" for the log's path
    };
    const Fault faults[] = {
        {FaultOp::Create, true, "create failed for '{log}': " + eio},
        {FaultOp::Write, true, "WAL header write failed: write failed: " + eio},
        {FaultOp::Create, false, ""},
        {FaultOp::Write, false, ""},
    };
    TempDir dir;
    int run_no = 0;
    for (const Statement& st : statements) {
        for (const Fault& f : faults) {
            SCOPED_TRACE(std::string(st.sql) + " fault " + std::to_string(static_cast<int>(f.op)) +
                         (f.every_try ? " on every try" : " once"));
            const std::string path = dir.path("ahead" + std::to_string(run_no++) + ".db");
            const std::string log = wal_path_for(path);
            {
                Engine e = must(storage::open(path));
                ok(e, "CREATE TABLE t (id PK, k INT, v INT)");
                ok(e, "CREATE UNIQUE INDEX tk ON t (k)");
                std::string fill = "INSERT INTO t (k, v) VALUES (0, 0)";
                for (int k = 1; k < 50; ++k) fill += ", (" + std::to_string(k) + ", " + std::to_string(k) + ")";
                ok(e, fill);
                ASSERT_TRUE(storage::save(e));
            }
            ASSERT_FALSE(std::filesystem::exists(log));
            auto vfs = std::make_shared<FaultVfs>();
            {
                Engine e = must(Engine::open_page_file(path, vfs));
                ASSERT_FALSE(e.file.page_store->pager->wal_open());
                vfs->fail_nth(f.op, 1, ".pwal", f.every_try);
                ok(e, st.sql);
                auto saved = storage::save(e);
                if (f.every_try) {
                    ASSERT_FALSE(saved);
                    std::string want = f.error;
                    if (auto at = want.find("{log}"); at != std::string::npos) want.replace(at, 5, log);
                    EXPECT_EQ(saved.error().message, want);
                    EXPECT_EQ(vfs->injected(), 2u);  // the worker's try and the commit's
                    ASSERT_TRUE(e.reset_to_last_commit());
                    vfs->clear();
                    // The directory is flushed within the statement, before the save.
                    const uint64_t dir_flushes = vfs->calls(FaultOp::SyncDir);
                    ok(e, st.sql);
                    EXPECT_EQ(vfs->calls(FaultOp::SyncDir), dir_flushes + 1);
                    EXPECT_TRUE(e.file.page_store->pager->wal_open());
                    ASSERT_TRUE(storage::save(e));
                } else {
                    ASSERT_TRUE(saved) << saved.error().message;
                    EXPECT_EQ(vfs->injected(), 1u);
                }
            }
            EXPECT_FALSE(std::filesystem::exists(log));
            EXPECT_EQ(stored_count_and_sum(path), std::make_pair(st.count, st.sum));
        }
    }

    // A statement refused after the log was made leaves the log open and
    // empty; a transaction commits through it, and close removes it.
    const std::string path = dir.path("refused.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (id PK, k INT, v INT)");
        ok(e, "CREATE UNIQUE INDEX tk ON t (k)");
        ok(e, "INSERT INTO t (k, v) VALUES (1, 1), (2, 2)");
        ASSERT_TRUE(storage::save(e));
    }
    {
        Engine e = must(storage::open(path));
        EXPECT_NE(err(e, "INSERT INTO t (k, v) VALUES (2, 5)").find("duplicate key"), std::string::npos);
        EXPECT_TRUE(e.file.page_store->pager->wal_open());
        ok(e, "BEGIN");
        ok(e, "INSERT INTO t (k, v) VALUES (3, 3)");
        ok(e, "COMMIT");
        ASSERT_TRUE(storage::save(e));
    }
    EXPECT_FALSE(std::filesystem::exists(wal_path_for(path)));
    EXPECT_EQ(stored_count_and_sum(path), std::make_pair(size_t{3}, int64_t{6}));
}

}  // namespace
}  // namespace zembrel::testing

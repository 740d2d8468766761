// CREATE TABLE, DROP TABLE, TRUNCATE, CREATE [UNIQUE] INDEX and DROP INDEX
// through Engine::execute, in memory and in the page file.
#include <gtest/gtest.h>

#include "engine_test_util.h"

namespace zembrel::testing {
namespace {

TEST(Ddl, RefusalsChangeNothing) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, a INT, b TEXT, d DATE DEFAULT (TODAY))");
    ok(e, "CREATE INDEX i1 ON t (a, b)");
    struct Case { const char* sql; const char* message; };
    const Case cases[] = {
        {"CREATE TABLE t (x INT)", "table 't' already exists"},
        {"CREATE TABLE p (a PK, b PK)", "only one Pk column allowed per table"},
        {"CREATE TABLE q (n INT DEFAULT (TODAY))", "column 'n': Default(Today) is only valid for Date and DateTime"},
        {"CREATE TABLE q (n INT DEFAULT (TODAY) HASH)",
         "column 'n': Default(Today) is only valid for Date and DateTime"},
        {"CREATE TABLE q (s TEXT, n INT HASH)", "column 'n': HASH is only valid for TEXT and STRING columns"},
        {"DROP TABLE nope", "table 'nope' not found"},
        {"TRUNCATE TABLE nope", "table 'nope' not found"},
        {"CREATE INDEX x ON nope (a)", "table 'nope' not found"},
        {"CREATE INDEX i1 ON t (b)", "index 'i1' already exists"},
        {"CREATE INDEX x ON t (A)", "column 'A' not found on 't'"},
        {"CREATE INDEX x ON t (id)", "primary key column already has an index"},
        {"CREATE INDEX x ON t (a, b)", "columns (a, b) are already indexed on 't'"},
        {"DROP INDEX nope", "index 'nope' not found"},
    };
    for (const Case& c : cases) EXPECT_EQ(err(e, c.sql), std::string("Execution error: ") + c.message) << c.sql;
    EXPECT_EQ(e.tables.database.tables.size(), 1u);
    EXPECT_EQ(e.tables.mem_indexes.size(), 1u);
    EXPECT_EQ(e.file.page_store->catalog.size(), 1u);
    // A column definition refused by the column builder passes its error on.
    EXPECT_EQ(err(e, "CREATE TABLE q (d DATE DEFAULT ('nope'))").substr(0, 11), "Type error:");
}

TEST(Ddl, IndexesOverExistingRows) {
    Engine e;
    ok(e, "CREATE TABLE t (a INT, b INT, s TEXT)");
    ok(e, "INSERT INTO t VALUES (1, NULL, 'x'), (1, NULL, 'x'), (2, 3, 'y')");
    // Keys holding a Null take no part in the unique check.
    EXPECT_TRUE(std::holds_alternative<IndexCreated>(ok(e, "CREATE UNIQUE INDEX ab ON t (a, b)")));
    EXPECT_EQ(err(e, "CREATE UNIQUE INDEX us ON t (s)"), "Execution error: unique index 'us': duplicate key");
    EXPECT_EQ(e.tables.mem_indexes.get("us"), nullptr);
    EXPECT_FALSE(e.file.page_store->catalog.get("t")->indexes.size() != 1);
    // The reversed column list is another index.
    ok(e, "CREATE INDEX ba ON t (b, a)");
    const MemIndex* ba = e.tables.mem_indexes.get("ba");
    ASSERT_NE(ba, nullptr);
    EXPECT_EQ(ba->positions, (std::vector<size_t>{1, 0}));
    EXPECT_EQ(ba->map().size(), 1u);  // only the row without a Null

    auto dropped = ok(e, "DROP INDEX ba");
    ASSERT_TRUE(std::holds_alternative<IndexDropped>(dropped));
    EXPECT_EQ(std::get<IndexDropped>(dropped).table, "t");
    EXPECT_EQ(e.file.page_store->catalog.get("t")->indexes.size(), 1u);
}

TEST(Ddl, TruncateRestartsRowIds) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, n INT)");
    auto empty = ok(e, "TRUNCATE TABLE t");
    EXPECT_EQ(std::get<TableTruncated>(empty).removed, 0u);
    ok(e, "INSERT INTO t VALUES (1), (2), (3), (4), (5)");
    auto truncated = ok(e, "TRUNCATE TABLE t");
    ASSERT_TRUE(std::holds_alternative<TableTruncated>(truncated));
    EXPECT_EQ(std::get<TableTruncated>(truncated).removed, 5u);
    EXPECT_EQ(e.tables.pk_indexes.at("t").tree.len, 0u);
    ok(e, "INSERT INTO t VALUES (6)");
    EXPECT_EQ(table_of(e, "t")->rowids, (std::vector<uint64_t>{1}));
}

TEST(Ddl, DropTableTakesItsIndexesAndReachesTheFile) {
    ScratchDir dir;
    std::string path = dir.file("ddl.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (a INT, b TEXT)");
        ok(e, "CREATE TABLE keep (a INT)");
        ok(e, "CREATE INDEX ia ON t (a)");
        ok(e, "CREATE UNIQUE INDEX ib ON t (b)");
        ASSERT_TRUE(storage::save(e));
        ok(e, "DROP TABLE t");
        EXPECT_EQ(e.tables.mem_indexes.size(), 0u);
        // The names are free again.
        ok(e, "CREATE INDEX ia ON keep (a)");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    EXPECT_FALSE(e.file.page_store->catalog.contains("t"));
    ASSERT_TRUE(e.file.page_store->catalog.contains("keep"));
    ASSERT_EQ(e.file.page_store->catalog.get("keep")->indexes.size(), 1u);
    EXPECT_EQ(e.file.page_store->catalog.get("keep")->indexes[0].name, "ia");
    ASSERT_NE(e.tables.mem_indexes.get("ia"), nullptr);
    EXPECT_EQ(e.tables.mem_indexes.get("ia")->table, "keep");
}

}  // namespace
}  // namespace zembrel::testing

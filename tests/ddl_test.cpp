// Statements through executor::execute: the refusals of every statement, and
// CREATE TABLE, DROP TABLE, TRUNCATE, CREATE [UNIQUE] INDEX and DROP INDEX in
// memory and in the page file.
#include <gtest/gtest.h>

#include "test_util.h"

namespace zembrel::testing {
namespace {

// Every refused statement, one per row: its error text, and nothing changed.
TEST(Statements, RefusalsChangeNothing) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, a INT, b TEXT, d DATE DEFAULT (TODAY))");
    ok(e, "CREATE INDEX i1 ON t (a, b)");
    ok(e, "CREATE TABLE u (id PK, name TEXT NOT NULL, n INT DEFAULT (7), s STRING(3))");
    const std::string long_text(1100, 'x');  // in i1 beside an Int: 9 + 1103 + 9 = 1121 bytes
    struct Case { std::string sql; std::string error; };
    const Case cases[] = {
        {"CREATE TABLE t (x INT)", "Execution error: table 't' already exists"},
        {"CREATE TABLE p (a PK, b PK)", "Execution error: only one Pk column allowed per table"},
        {"CREATE TABLE y (id PK, a INT, a TEXT)", "Execution error: column 'a' already exists in table 'y'"},
        // The repeated name is refused before any other check of the columns.
        {"CREATE TABLE y (a PK, b INT DEFAULT (TODAY), a PK)", "Execution error: column 'a' already exists in table 'y'"},
        {"CREATE TABLE q (n INT DEFAULT (TODAY))",
         "Execution error: column 'n': Default(Today) is only valid for Date and DateTime"},
        {"CREATE TABLE q (n INT DEFAULT (TODAY) HASH)",
         "Execution error: column 'n': Default(Today) is only valid for Date and DateTime"},
        {"CREATE TABLE q (s TEXT, n INT HASH)", "Execution error: column 'n': HASH is only valid for TEXT and STRING columns"},
        {"CREATE TABLE q (d DATE DEFAULT ('nope'))", "Type error: column 'd': invalid date 'nope', expected yyyy-MM-dd"},
        {"DROP TABLE nope", "Execution error: table 'nope' not found"},
        {"TRUNCATE TABLE nope", "Execution error: table 'nope' not found"},
        {"CREATE INDEX x ON nope (a)", "Execution error: table 'nope' not found"},
        {"CREATE INDEX i1 ON t (b)", "Execution error: index 'i1' already exists"},
        {"CREATE INDEX x ON t (A)", "Execution error: column 'A' not found on 't'"},
        {"CREATE INDEX x ON t (id)", "Execution error: primary key column already has an index"},
        {"CREATE INDEX x ON t (a, b)", "Execution error: columns (a, b) are already indexed on 't'"},
        {"DROP INDEX nope", "Execution error: index 'nope' not found"},
        {"INSERT INTO nope VALUES (1)", "Execution error: table 'nope' not found"},
        {"INSERT INTO u VALUES ('a')", "Execution error: expected 3 values (Pk columns are auto-generated), got 1"},
        {"INSERT INTO u (name) VALUES ('a', 1)", "Execution error: column count (1) does not match value count (2)"},
        {"INSERT INTO u (zz) VALUES (1)", "Execution error: column 'zz' not found in table 'u'"},
        {"INSERT INTO u (Name) VALUES ('a')", "Execution error: column 'Name' not found in table 'u'"},
        {"INSERT INTO u (id) VALUES (1)", "Execution error: column 'id' is Pk and cannot be set manually"},
        // Within a row the value count is checked before the listed names.
        {"INSERT INTO u (zz) VALUES (1, 2)", "Execution error: column count (1) does not match value count (2)"},
        {"INSERT INTO u (id, name) VALUES (1)", "Execution error: column count (2) does not match value count (1)"},
        {"INSERT INTO u (n) VALUES (1)", "Execution error: column 'name' does not accept NULL (NOT NULL)"},
        {"INSERT INTO u VALUES (NULL, 1, 'x')", "Execution error: column 'name' does not accept NULL (NOT NULL)"},
        {"INSERT INTO u VALUES ('a', 'x', 'y')", "Type error: column 'n' expects INT, got Text(\"x\")"},
        {"INSERT INTO u VALUES ('a', 1, 'long')", "Type error: column 's': string length 4 exceeds STRING(3)"},
        // The first bad row decides; nothing of the good first row is stored.
        {"INSERT INTO u VALUES ('a', 1, 'x'), ('b', 2.5, 'y')", "Type error: column 'n' expects INT, got Float(2.5)"},
        {"INSERT INTO t (a, b) VALUES (1, 'x'), (2, '" + long_text + "')",
         "Storage error: key length 1121 exceeds maximum 1024"},
        // Every row is built before any key is measured.
        {"INSERT INTO t (a, b) VALUES (1, '" + long_text + "'), ('x', 'y')",
         "Type error: column 'a' expects INT, got Text(\"x\")"},
        {"COMMIT", "Execution error: no active transaction"},
        {"ROLLBACK", "Execution error: no active transaction"},
        {"EXPLAIN SELECT * FROM nope", "Execution error: table 'nope' not found"},
    };
    for (const Case& c : cases) EXPECT_EQ(err(e, c.sql), c.error) << c.sql;
    EXPECT_EQ(e.tables.database.tables.size(), 2u);
    EXPECT_EQ(e.tables.mem_indexes.size(), 1u);
    EXPECT_EQ(e.file.page_store->catalog.size(), 2u);
    EXPECT_TRUE(table_of(e, "u")->rows.empty());
    EXPECT_EQ(table_of(e, "u")->next_rowid, 1u);
    EXPECT_TRUE(table_of(e, "t")->rows.empty());
    EXPECT_FALSE(e.in_transaction());
    ok(e, "CREATE TABLE y (a INT, A INT)");  // names differ in case: two columns
    ok(e, "BEGIN");
    EXPECT_EQ(err(e, "BEGIN"), "Execution error: there is already an active transaction");
    EXPECT_TRUE(e.in_transaction());
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

}  // namespace
}  // namespace zembrel::testing

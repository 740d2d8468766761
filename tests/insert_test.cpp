// INSERT through Engine::execute: generated keys, coercion, defaults, NOT
// NULL, unique checks, all-or-nothing, and the row ids the page file hands out.
#include <gtest/gtest.h>

#include "test_util.h"

namespace zembrel::testing {
namespace {

const Inserted& inserted(const ExecResult& r) {
    static const Inserted kNone;
    return std::holds_alternative<Inserted>(r) ? std::get<Inserted>(r) : kNone;
}

TEST(Insert, GeneratedKeysDefaultsAndTotals) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, name TEXT NOT NULL DEFAULT ('anon'), n INT DEFAULT (7))");
    ok(e, "CREATE TABLE plain (n INT)");

    auto one = inserted(ok(e, "INSERT INTO t (name) VALUES ('a')"));
    ASSERT_TRUE(one.pk);
    EXPECT_EQ(one.pk->size(), 36u);
    EXPECT_EQ((*one.pk)[14], '4');
    EXPECT_EQ(one.count, 1u);
    EXPECT_EQ(one.total, 1u);
    const Row& row = table_of(e, "t")->rows[0];
    EXPECT_EQ(row[0], Value::uuid(*one.pk));
    EXPECT_EQ(row[2], Value::integer(7));  // omitted: its default

    // An explicit NULL into a NOT NULL column with a default takes the default.
    auto two = inserted(ok(e, "INSERT INTO t VALUES (NULL, 1), ('b', NULL)"));
    EXPECT_FALSE(two.pk);
    EXPECT_EQ(two.count, 2u);
    EXPECT_EQ(two.total, 3u);
    EXPECT_EQ(table_of(e, "t")->rows[1][1], Value::text("anon"));
    EXPECT_EQ(table_of(e, "t")->rows[2][2], Value::integer(7));
    EXPECT_EQ(e.tables.pk_indexes.at("t").tree.len, 3u);

    EXPECT_FALSE(inserted(ok(e, "INSERT INTO plain VALUES (1)")).pk);
}

// A shadow session must see exactly the statements that happened: a refused
// one, in memory or at the file, leaves no captured row behind.
TEST(Insert, OnlyStatementsThatSucceedAreCaptured) {
    Engine e;
    ok(e, "CREATE TABLE u (n INT)");
    ok(e, "CREATE UNIQUE INDEX un ON u (n)");
    ok(e, "INSERT INTO u VALUES (1)");
    e.change_capture.emplace();
    err(e, "INSERT INTO u VALUES (2), (1)");
    EXPECT_EQ(table_of(e, "u")->rows.size(), 1u);
    EXPECT_TRUE(e.change_capture->empty());
    ok(e, "INSERT INTO u VALUES (2), (3)");
    ASSERT_EQ(e.change_capture->size(), 2u);
    EXPECT_EQ((*e.change_capture)[1].table, "u");
    EXPECT_FALSE((*e.change_capture)[1].before);
    EXPECT_EQ((*e.change_capture)[1].after, (Row{Value::integer(3)}));
}

TEST(Insert, RowIdsComeFromTheFileAndSurviveReopen) {
    TempDir dir;
    std::string path = dir.path("ids.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (id PK, n INT)");
        ok(e, "INSERT INTO t VALUES (1), (2)");
        ASSERT_TRUE(storage::save(e));
    }
    std::vector<uint64_t> ids;
    {
        Engine e = must(storage::open(path));
        ok(e, "INSERT INTO t VALUES (3)");
        ids = table_of(e, "t")->rowids;
        // A reopened table continues at the stored hint, above every id handed out before.
        EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 1026}));
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    ASSERT_TRUE(e.load_all_tables());
    EXPECT_EQ(table_of(e, "t")->rowids, ids);
    EXPECT_EQ(table_of(e, "t")->rows[2][1], Value::integer(3));
}

TEST(Insert, KeyTooLongForTheFileIsRefusedWhole) {
    TempDir dir;
    std::string path = dir.path("long.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (n INT, s TEXT)");
        ok(e, "CREATE INDEX i_s ON t (s)");
        ok(e, "INSERT INTO t VALUES (1, 'short')");
        ASSERT_TRUE(storage::save(e));
        std::string sql = "INSERT INTO t VALUES (2, 'ok'), (3, '" + std::string(1100, 'x') + "')";
        std::string message = err(e, sql);
        EXPECT_TRUE(message.starts_with("Storage error: key length ")) << message;
        EXPECT_EQ(table_of(e, "t")->rows.size(), 1u);
        EXPECT_EQ(e.tables.mem_indexes.get("i_s")->map().size(), 1u);
        ok(e, "INSERT INTO t VALUES (4, 'fine')");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    ASSERT_TRUE(e.load_all_tables());
    ASSERT_EQ(table_of(e, "t")->rows.size(), 2u);
    EXPECT_EQ(table_of(e, "t")->rows[1][0], Value::integer(4));
}

}  // namespace
}  // namespace zembrel::testing

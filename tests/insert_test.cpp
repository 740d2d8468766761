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
    const RowView row = table_of(e, "t")->rows[0];
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

// A key the page store cannot hold is refused by the statement that makes
// it, with the store's own text, in and out of a transaction, in a file or in
// memory: nothing of the statement stays, an open transaction stays open, and
// its COMMIT never meets such a key.
TEST(Insert, KeyTooLongForTheFileIsRefusedByTheStatement) {
    const std::string big(1100, 'x');   // alone in an index: 1 + 1100 + 2 + 9 = 1112 bytes
    const std::string wide(920, 'y');   // beside 'z' in (l, h): 923 + 4 + 9 = 936 bytes
    const std::string fits(1012, 's');  // alone in an index: exactly 1024 bytes
    auto too_long = [](int n) { return "Storage error: key length " + std::to_string(n) + " exceeds maximum 1024"; };
    struct Case {
        std::string sql;
        std::string error;
    };
    const Case cases[] = {
        {"INSERT INTO t VALUES (2, 'ok', NULL, NULL), (3, '" + big + "', NULL, NULL)", too_long(1112)},
        {"INSERT INTO t VALUES (2, '" + fits + "s', NULL, NULL)", too_long(1025)},
        {"UPDATE t SET s = '" + big + "' WHERE n = 1", too_long(1112)},
        // Each value fits alone; the index over both cannot hold them together.
        {"UPDATE t SET h = '" + std::string(100, 'h') + "'", too_long(1035)},
        {"CREATE INDEX iu ON u (s)", too_long(1112)},
        {"CREATE UNIQUE INDEX iw ON w (s)", too_long(1112)},
        // A hash (97 characters) is longer than the text it replaces.
        {"ALTER TABLE t MODIFY COLUMN h TEXT HASH", too_long(1032)},
    };
    using Tables = std::vector<std::pair<std::vector<Column>, std::vector<Row>>>;
    auto tables_of = [](const Engine& e) {
        Tables out;
        for (const char* name : {"t", "u", "w"}) {
            const Table* t = table_of(e, name);
            if (t) out.emplace_back(t->columns, t->rows.to_rows());
        }
        return out;
    };
    auto indexes_of = [](const Engine& e) {
        std::map<std::string, IndexKeyMap> out;
        for (const auto& [name, index] : e.tables.mem_indexes) out[name] = index.map();
        return out;
    };
    for (bool file : {true, false}) {
        for (bool in_txn : {false, true}) {
            SCOPED_TRACE(::testing::Message() << (file ? "file" : "in memory") << (in_txn ? ", in a transaction" : ""));
            TempDir dir;
            Engine e = file ? must(storage::open(dir.path("long.db"))) : Engine();
            ok(e, "CREATE TABLE t (n INT, s TEXT, h TEXT, l TEXT)");
            ok(e, "CREATE INDEX i_s ON t (s)");
            ok(e, "CREATE INDEX i_lh ON t (l, h)");
            ok(e, "INSERT INTO t VALUES (1, 'short', 'z', '" + wide + "')");
            ok(e, "CREATE TABLE u (s TEXT)");
            ASSERT_TRUE(storage::save(e));
            // u is stored without the long row; w is stored only at COMMIT.
            if (in_txn) ok(e, "BEGIN");
            ok(e, "INSERT INTO t VALUES (5, 'five', NULL, NULL)");
            ok(e, "INSERT INTO u VALUES ('" + big + "')");
            ok(e, "CREATE TABLE w (s TEXT)");
            ok(e, "INSERT INTO w VALUES ('" + big + "')");
            const Tables tables = tables_of(e);
            const auto indexes = indexes_of(e);
            for (const Case& c : cases) {
                EXPECT_EQ(err(e, c.sql), c.error) << c.sql.substr(0, 40);
                EXPECT_EQ(tables_of(e), tables) << c.sql.substr(0, 40);
                EXPECT_EQ(indexes_of(e), indexes) << c.sql.substr(0, 40);
                EXPECT_EQ(e.in_transaction(), in_txn);
            }
            if (in_txn) ok(e, "COMMIT");
            // A key of exactly the limit passes, and so does a long text in an
            // index whose key a Null removes.
            ok(e, "INSERT INTO t VALUES (4, '" + fits + "', NULL, '" + big + "')");
            ASSERT_TRUE(storage::save(e));
            ASSERT_TRUE(e.reset_to_last_commit());
            ASSERT_TRUE(e.load_all_tables());
            std::vector<Value> ns;
            for (const RowView row : table_of(e, "t")->rows) ns.push_back(row[0]);
            EXPECT_EQ(ns, (std::vector<Value>{Value::integer(1), Value::integer(5), Value::integer(4)}));
            EXPECT_EQ(table_of(e, "t")->columns[2].salt, std::nullopt);
            EXPECT_EQ(e.tables.mem_indexes.get("i_s")->map().size(), 3u);
            EXPECT_EQ(table_of(e, "u")->rows.size(), 1u);
            EXPECT_EQ(table_of(e, "w")->rows.size(), 1u);
            EXPECT_EQ(e.tables.mem_indexes.size(), 2u);
        }
    }
}

}  // namespace
}  // namespace zembrel::testing

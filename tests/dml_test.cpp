// UPDATE, DELETE and ALTER TABLE through Engine::execute: every refusal in
// its check order, all-or-nothing UPDATE in and out of transactions, index
// upkeep after column changes, the shadow capture, and merge policy words.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_util.h"
#include "types/merge_policy.h"

namespace zembrel::testing {
namespace {

// Rows, ids, next id and both index families of a table, for comparisons.
struct TableState {
    std::vector<Row> rows;
    std::vector<uint64_t> rowids;
    uint64_t next_rowid = 0;
    std::vector<std::pair<Value, uint64_t>> pk;
    std::map<std::string, IndexKeyMap> indexes;
    bool operator==(const TableState&) const = default;
};

TableState state_of(const Engine& e, const std::string& name) {
    TableState s;
    const Table* t = table_of(e, name);
    if (t == nullptr) return s;
    s.rows = t->rows.to_rows();
    s.rowids = t->rowids;
    s.next_rowid = t->next_rowid;
    if (auto pk = e.tables.pk_indexes.find(name); pk != e.tables.pk_indexes.end())
        pk->second.tree.for_each([&](const Value& k, uint64_t id) {
            s.pk.emplace_back(k, id);
            return true;
        });
    for (const auto& [ix, index] : e.tables.mem_indexes)
        if (index.table == name) s.indexes[ix] = index.map();
    return s;
}

TEST(Dml, RefusalsInCheckOrder) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, name TEXT NOT NULL, n INT DEFAULT (7), s STRING(3), h TEXT HASH, d DATE)");
    ok(e, "CREATE TABLE one (a INT)");
    ok(e, "CREATE TABLE empty (a INT)");
    ok(e, "INSERT INTO t VALUES ('a', 1, 'abc', 'x', '2020-01-01'), ('b', NULL, 'ab', NULL, NULL)");
    ok(e, "INSERT INTO one VALUES (1)");
    ok(e, "CREATE INDEX t_name_n ON t (name, n)");
    const std::string long_name(1100, 'x');  // with n: 1103 + 9 + 9 = 1121 bytes
    struct Case { std::string sql; std::string message; };
    const Case cases[] = {
        {"ALTER TABLE nope ADD COLUMN x INT", "Execution error: table 'nope' not found"},
        {"ALTER TABLE nope SET MERGE POLICY bogus", "Execution error: table 'nope' not found"},
        {"ALTER TABLE t ADD COLUMN name PK", "Execution error: column 'name' already exists in table 't'"},
        {"ALTER TABLE t ADD COLUMN k PK", "Execution error: cannot add PK column with ALTER TABLE"},
        {"ALTER TABLE t ADD COLUMN k INT HASH DEFAULT (TODAY)",
         "Execution error: column 'k': Default(Today) is only valid for Date and DateTime"},
        {"ALTER TABLE t ADD COLUMN k INT HASH NOT NULL",
         "Execution error: column 'k': HASH is only valid for TEXT and STRING columns"},
        {"ALTER TABLE t ADD COLUMN k INT NOT NULL",
         "Execution error: cannot add NOT NULL column 'k' without a default to a table with existing rows"},
        {"ALTER TABLE t DROP COLUMN zz", "Execution error: column 'zz' not found in table 't'"},
        {"ALTER TABLE t DROP COLUMN Name", "Execution error: column 'Name' not found in table 't'"},
        {"ALTER TABLE t DROP COLUMN id", "Execution error: cannot drop PK column"},
        {"ALTER TABLE one DROP COLUMN a", "Execution error: cannot drop the last column of a table"},
        {"ALTER TABLE t MODIFY COLUMN zz INT", "Execution error: column 'zz' not found in table 't'"},
        {"ALTER TABLE t MODIFY COLUMN id TEXT", "Execution error: cannot modify PK column"},
        {"ALTER TABLE t MODIFY COLUMN n PK", "Execution error: cannot modify PK column"},
        {"ALTER TABLE t MODIFY COLUMN n FLOAT", "Execution error: cannot change column type from INT to FLOAT"},
        {"ALTER TABLE t MODIFY COLUMN s INT", "Execution error: cannot change column type from STRING(3) to INT"},
        {"ALTER TABLE t MODIFY COLUMN h STRING(2)", "Execution error: column 'h': cannot remove HASH (irreversible)"},
        {"ALTER TABLE t MODIFY COLUMN d DATE HASH",
         "Execution error: column 'd': HASH is only valid for TEXT and STRING columns"},
        {"ALTER TABLE t MODIFY COLUMN n INT DEFAULT (TODAY)",
         "Execution error: column 'n': Default(Today) is only valid for Date and DateTime"},
        {"ALTER TABLE t MODIFY COLUMN d DATE NOT NULL",
         "Execution error: column 'd': existing data contains NULL values, cannot set NOT NULL"},
        {"ALTER TABLE t MODIFY COLUMN s STRING(2)", "Execution error: column 's': existing value length 3 exceeds STRING(2)"},
        {"ALTER TABLE t SET MERGE POLICY bogus",
         "Execution error: unknown merge policy 'bogus' (expected lww, error, field_merge, manual or DEFAULT)"},
        {"UPDATE nope SET a = 1", "Execution error: table 'nope' not found"},
        {"UPDATE t SET zz = 1", "Execution error: column 'zz' not found in table 't'"},
        {"UPDATE t SET id = 'x'", "Execution error: cannot update PK column 'id'"},
        {"UPDATE t SET n = 'x'", "Type error: column 'n' expects INT, got Text(\"x\")"},
        {"UPDATE t SET name = NULL", "Execution error: column 'name' does not accept NULL (NOT NULL)"},
        // The SET list is checked in order, even where no row would match.
        {"UPDATE t SET n = 2, zz = 1, id = 'x'", "Execution error: column 'zz' not found in table 't'"},
        {"UPDATE empty SET a = 'x'", "Type error: column 'a' expects INT, got Text(\"x\")"},
        {"UPDATE t SET name = '" + long_name + "'", "Storage error: key length 1121 exceeds maximum 1024"},
        // The whole SET list is checked before any row's keys are measured.
        {"UPDATE t SET name = '" + long_name + "', n = 'x'", "Type error: column 'n' expects INT, got Text(\"x\")"},
        {"DELETE FROM nope", "Execution error: table 'nope' not found"},
        // The WHERE is resolved before the SET list, and bound after it.
        {"UPDATE t SET zz = 1 WHERE nope = 1", "Execution error: column 'nope' not found"},
        {"DELETE FROM t WHERE nope = 1", "Execution error: column 'nope' not found"},
        {"UPDATE t SET zz = 1 WHERE id IN (SELECT a FROM one)", "Execution error: column 'zz' not found in table 't'"},
        {"UPDATE t SET n = 1 WHERE id IN (SELECT a FROM one)",
         "Execution error: subquery predicates must use dynamic evaluation"},
        {"DELETE FROM t WHERE EXISTS (SELECT a FROM one)",
         "Execution error: subquery predicates must use dynamic evaluation"},
        {"DELETE FROM t WHERE n = (SELECT a FROM one)",
         "Execution error: scalar subqueries in comparisons use dynamic evaluation"},
    };
    const TableState before = state_of(e, "t");
    const std::vector<Column> columns = table_of(e, "t")->columns;
    for (const Case& c : cases) EXPECT_EQ(err(e, c.sql), c.message) << c.sql;
    EXPECT_EQ(state_of(e, "t"), before);
    EXPECT_EQ(table_of(e, "t")->columns, columns);
    EXPECT_FALSE(e.tables.merge_policies.contains("t"));
}

// A unique clash of any updated row leaves everything as it was, in memory
// and in the file, in and out of a transaction; a later UPDATE still works.
TEST(Dml, FailingUpdateChangesNothing) {
    for (bool in_txn : {false, true}) {
        TempDir dir;
        const std::string path = dir.path("u.db");
        {
            Engine e = must(storage::open(path));
            ok(e, "CREATE TABLE t (id PK, n INT, m INT)");
            ok(e, "CREATE UNIQUE INDEX un ON t (n)");
            ok(e, "CREATE INDEX im ON t (m)");
            ok(e, "INSERT INTO t (n, m) VALUES (1, 10), (2, 20), (NULL, 30)");
            ASSERT_TRUE(storage::save(e));
            if (in_txn) ok(e, "BEGIN");
            const TableState before = state_of(e, "t");
            // Every row would take n = 5: a clash among the updated rows.
            EXPECT_EQ(err(e, "UPDATE t SET m = 1, n = 5"), "Execution error: unique constraint violated: duplicate key [Int(5)]");
            EXPECT_EQ(state_of(e, "t"), before);
            EXPECT_EQ(e.in_transaction(), in_txn);
            // A clash with a row the WHERE leaves alone.
            EXPECT_EQ(err(e, "UPDATE t SET n = 2 WHERE n = 1 OR n IS NULL"),
                      "Execution error: unique constraint violated: duplicate key [Int(2)]");
            EXPECT_EQ(state_of(e, "t"), before);
            // Rows that swap unique keys pass.
            ok(e, "UPDATE t SET n = 3 WHERE n = 1");
            ok(e, "UPDATE t SET n = 1 WHERE n = 2");
            ok(e, "UPDATE t SET n = 2 WHERE n = 3");
            // Null keys never clash; the plain index follows the new values.
            auto r = ok(e, "UPDATE t SET n = NULL, m = 7");
            EXPECT_EQ(std::get<Updated>(r).count, 3u);
            EXPECT_TRUE(std::get<Updated>(r).before.empty());  // the images stay inside the execute step
            EXPECT_EQ(state_of(e, "t").indexes["un"].size(), 0u);
            EXPECT_EQ(state_of(e, "t").indexes["im"].size(), 1u);
            EXPECT_EQ(state_of(e, "t").rowids, before.rowids);
            if (in_txn) ok(e, "COMMIT");
            ASSERT_TRUE(storage::save(e));
        }
        Engine again = must(storage::open(path));
        ASSERT_TRUE(again.ensure_table_loaded("t"));
        const Table* t = table_of(again, "t");
        ASSERT_EQ(t->rows.size(), 3u);
        for (const RowView row : t->rows) {
            EXPECT_TRUE(row[1].is_null());
            EXPECT_EQ(row[2], Value::integer(7));
        }
        EXPECT_EQ(t->rowids, (std::vector<uint64_t>{1, 2, 3}));
        // Ids stay unique across the reopen.
        ok(again, "INSERT INTO t (n, m) VALUES (1, 1)");
        EXPECT_GT(table_of(again, "t")->rowids.back(), 3u);
    }
}

TEST(Dml, ColumnChangesKeepIndexesInStep) {
    TempDir dir;
    const std::string path = dir.path("a.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (a INT, b TEXT, id PK, c INT)");
        ok(e, "CREATE INDEX ia ON t (a)");
        ok(e, "CREATE INDEX iab ON t (a, b)");
        ok(e, "CREATE UNIQUE INDEX ic ON t (c)");
        ok(e, "CREATE INDEX ib ON t (b)");
        ok(e, "INSERT INTO t (a, b, c) VALUES (1, 'x', 10), (2, 'y', 20)");
        ok(e, "ALTER TABLE t DROP COLUMN a");
        EXPECT_FALSE(e.tables.mem_indexes.contains("ia"));
        EXPECT_FALSE(e.tables.mem_indexes.contains("iab"));
        EXPECT_EQ(e.tables.mem_indexes.get("ic")->positions, std::vector<size_t>{2});
        EXPECT_EQ(e.tables.pk_indexes.at("t").pk_column, 1u);
        EXPECT_EQ(err(e, "INSERT INTO t (b, c) VALUES ('z', 10)"),
                  "Execution error: unique constraint violated: duplicate key [Int(10)]");
        // HASH over existing values: the index holds the hashes.
        ok(e, "ALTER TABLE t MODIFY COLUMN b TEXT HASH");
        const Table* t = table_of(e, "t");
        const std::string hx(t->rows[0][0].as_text());
        EXPECT_EQ(hx.rfind("$argon2id$", 0), 0u);
        EXPECT_TRUE(e.tables.mem_indexes.get("ib")->find({Value::text(hx)}) != nullptr);
        // A HASH column added with a Text default stores the hash of the default.
        ok(e, "ALTER TABLE t ADD COLUMN k TEXT HASH DEFAULT ('dflt')");
        EXPECT_EQ(t->rows[1][3].as_text().rfind("$argon2id$", 0), 0u);
        EXPECT_EQ(t->rows[0][3], t->rows[1][3]);
        ok(e, "ALTER TABLE t SET MERGE POLICY ' Field-Merge'");
        EXPECT_EQ(e.tables.merge_policies.at("t"), "field_merge");
        ASSERT_TRUE(storage::save(e));
    }
    Engine again = must(storage::open(path));
    ASSERT_TRUE(again.ensure_table_loaded("t"));
    const CatalogEntry* entry = again.file.page_store->catalog.get("t");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->indexes.size(), 2u);
    EXPECT_EQ(entry->merge_policy, std::optional<std::string>("field_merge"));
    EXPECT_EQ(table_of(again, "t")->columns.size(), 4u);
    ok(again, "ALTER TABLE t SET MERGE POLICY DEFAULT");
    EXPECT_FALSE(again.tables.merge_policies.contains("t"));
    EXPECT_EQ(again.file.page_store->catalog.get("t")->merge_policy, std::nullopt);
}

// DROP COLUMN inside a transaction takes its indexes in memory at once and
// in the file at COMMIT; ROLLBACK brings them back with the column.
TEST(Dml, DropColumnInTransaction) {
    for (bool commit : {false, true}) {
        Engine e;
        ok(e, "CREATE TABLE t (a INT, b INT)");
        ok(e, "CREATE INDEX ia ON t (a)");
        ok(e, "CREATE INDEX ib ON t (b)");
        ok(e, "INSERT INTO t VALUES (1, 2), (3, 4)");
        ok(e, "BEGIN");
        ok(e, "ALTER TABLE t DROP COLUMN a");
        EXPECT_EQ(e.tables.mem_indexes.get("ib")->positions, std::vector<size_t>{0});
        EXPECT_FALSE(e.tables.mem_indexes.contains("ia"));
        ok(e, commit ? "COMMIT" : "ROLLBACK");
        const CatalogEntry* entry = e.file.page_store->catalog.get("t");
        EXPECT_EQ(entry->indexes.size(), commit ? 1u : 2u);
        EXPECT_EQ(e.tables.mem_indexes.contains("ia"), !commit);
        const MemIndex* ib = e.tables.mem_indexes.get("ib");
        EXPECT_EQ(ib->positions, std::vector<size_t>{commit ? 0u : 1u});
        EXPECT_TRUE(ib->find({Value::integer(4)}) != nullptr);
    }
}

// A WHERE passes a row only when true; HASH literals are compared hashed;
// the index narrowing finds what the scan finds.
TEST(Dml, WhereSemantics) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, a INT, h TEXT HASH, f FLOAT)");
    ok(e, "CREATE INDEX ia ON t (a)");
    ok(e, "INSERT INTO t (a, h, f) VALUES (1, 'x', 1.0), (NULL, 'y', 2.0), (9, 'x', 1.5), (1, NULL, NULL)");
    auto count = [&](const char* sql) -> uint64_t {
        auto r = run(e, sql);
        EXPECT_TRUE(r) << sql << (r ? "" : " -> " + r.error().display());
        if (!r) return 99;
        if (auto* u = std::get_if<Updated>(&*r)) return u->count;
        return std::get<Deleted>(*r).count;
    };
    EXPECT_EQ(count("UPDATE t SET f = 3.0 WHERE a = 1.0"), 2u);  // Int 1 equals Float 1.0 in a condition
    EXPECT_EQ(count("UPDATE t SET f = 4.0 WHERE a = 1 AND h = 'x'"), 1u);
    EXPECT_EQ(count("UPDATE t SET f = 5.0 WHERE NOT (a > 5)"), 2u);  // the Null row stays out
    const std::string id(table_of(e, "t")->rows[2][0].as_text());
    EXPECT_EQ(count(("UPDATE t SET a = 10 WHERE id = '" + id + "'").c_str()), 1u);
    EXPECT_EQ(count("UPDATE t SET a = 10 WHERE id = 'no such key'"), 0u);
    EXPECT_EQ(count("DELETE FROM t WHERE h = 'y'"), 1u);
    EXPECT_EQ(count("DELETE FROM t WHERE NOT (a > 5)"), 2u);
    ASSERT_EQ(table_of(e, "t")->rows.size(), 1u);
    EXPECT_EQ(table_of(e, "t")->rows[0][1], Value::integer(10));
    EXPECT_EQ(count("DELETE FROM t WHERE a = 10"), 1u);
    EXPECT_EQ(e.tables.mem_indexes.get("ia")->map().size(), 0u);
    EXPECT_EQ(e.tables.pk_indexes.at("t").tree.size(), 0u);
}

// Every index of the table as key -> ids in ascending order (the order of
// the ids under a key is the order they came in, which a rebuild does not keep).
std::map<std::string, std::vector<std::pair<IndexKey, std::vector<uint64_t>>>> index_contents(const Engine& e,
                                                                                          const std::string& name) {
    std::map<std::string, std::vector<std::pair<IndexKey, std::vector<uint64_t>>>> out;
    for (const auto& [ix, index] : e.tables.mem_indexes) {
        if (index.table != name) continue;
        auto& entries = out[ix];
        for (const auto& [key, ids] : index.map()) {
            std::vector<uint64_t> sorted(ids.begin(), ids.end());
            std::sort(sorted.begin(), sorted.end());
            entries.emplace_back(IndexKey(key), std::move(sorted));
        }
    }
    return out;
}

// Both index families as a rebuild from the rows would make them.
void expect_indexes_in_step(Engine& e, const std::string& name, const std::string& context) {
    const auto kept = index_contents(e, name);
    const auto kept_pk = state_of(e, name).pk;
    e.tables.rebuild_indexes(name);
    EXPECT_EQ(kept, index_contents(e, name)) << context;
    EXPECT_EQ(kept_pk, state_of(e, name).pk) << context;
}

// Whether two tables hold the same rows but for their Pk values (column 0).
bool same_but_ids(const FlatRows& a, const FlatRows& b) {
    return std::ranges::equal(a, b, [](RowView x, RowView y) {
        return x.size() == y.size() && std::equal(x.begin() + 1, x.end(), y.begin() + 1);
    });
}

// UPDATE and DELETE whose WHERE ranges over an indexed column (the index
// narrows the rows) against the same statements on a table without those
// indexes (the scan): the same counts, messages and rows, with the indexes
// still what the rows say, in memory and on a file.
TEST(Dml, RangeWhereThroughIndexFindsWhatTheScanFinds) {
    for (bool on_file : {false, true}) {
        TempDir dir;
        Engine indexed = on_file ? must(storage::open(dir.path("i.db"))) : Engine();
        Engine plain;
        std::mt19937_64 rng(on_file ? 11 : 7);
        auto pick = [&](uint64_t n) { return rng() % n; };
        for (Engine* e : {&indexed, &plain}) {
            ok(*e, "CREATE TABLE t (id PK, a INT, b TEXT, u INT, c INT)");
            ok(*e, "CREATE UNIQUE INDEX tu ON t (u)");
        }
        ok(indexed, "CREATE INDEX ta ON t (a)");
        ok(indexed, "CREATE INDEX tb ON t (b)");
        ok(indexed, "CREATE INDEX tac ON t (a, c)");
        int64_t next_u = 0;
        auto insert_some = [&] {
            std::string sql = "INSERT INTO t (a, b, u, c) VALUES ";
            for (int k = 0; k < 40; ++k) {
                const std::string a = pick(8) == 0 ? "NULL" : std::to_string(static_cast<int64_t>(pick(30)) - 10);
                const std::string b = pick(8) == 0 ? "NULL" : "'k" + std::to_string(pick(25)) + "'";
                sql += (k ? ", (" : "(") + a + ", " + b + ", " + std::to_string(next_u++) + ", " + std::to_string(pick(5)) + ")";
            }
            for (Engine* e : {&indexed, &plain}) ok(*e, sql);
        };
        insert_some();
        // One comparison with a literal: mostly of the column's own kind,
        // sometimes another (which no index answers).
        auto comparison = [&](bool on_a) {
            static const char* const kOps[] = {"<", "<=", ">", ">=", "="};
            std::string lit;
            if (on_a) lit = pick(6) == 0 ? std::to_string(pick(20)) + ".5" : std::to_string(static_cast<int64_t>(pick(34)) - 12);
            else lit = "'k" + std::to_string(pick(27)) + (pick(4) == 0 ? "x'" : "'");
            return std::string(on_a ? "a " : "b ") + kOps[pick(5)] + " " + lit;
        };
        auto where = [&] {
            const bool on_a = pick(2) == 0;
            std::string w = comparison(on_a);
            for (uint64_t n = pick(3); n > 0; --n) w += " AND " + comparison(pick(4) != 0 ? on_a : !on_a);
            if (pick(4) == 0) w += " AND c <> " + std::to_string(pick(5));
            if (pick(6) == 0) w = "(" + w + ") OR c = " + std::to_string(pick(5));
            return w;
        };
        for (int step = 0; step < 300; ++step) {
            std::string sql;
            switch (pick(6)) {
                case 0: sql = "DELETE FROM t WHERE " + where(); break;
                case 1: sql = "UPDATE t SET a = " + std::to_string(pick(30)) + " WHERE " + where(); break;
                case 2: sql = "UPDATE t SET b = 'k" + std::to_string(pick(25)) + "', c = 1 WHERE " + where(); break;
                // Unique keys: given up (passes) or moved onto one value (clashes past one row).
                case 3: sql = "UPDATE t SET u = NULL WHERE " + where(); break;
                case 4: sql = "UPDATE t SET u = " + std::to_string(pick(next_u + 5)) + " WHERE " + where(); break;
                default: sql = "UPDATE t SET c = " + std::to_string(pick(5)) + " WHERE " + where(); break;
            }
            auto got = run(indexed, sql);
            auto want = run(plain, sql);
            ASSERT_EQ(got.has_value(), want.has_value()) << sql;
            if (!got) {
                EXPECT_EQ(got.error().display(), want.error().display()) << sql;
            } else if (auto* u = std::get_if<Updated>(&*got)) {
                EXPECT_EQ(u->count, std::get<Updated>(*want).count) << sql;
            } else {
                EXPECT_EQ(std::get<Deleted>(*got).count, std::get<Deleted>(*want).count) << sql;
            }
            ASSERT_TRUE(same_but_ids(table_of(indexed, "t")->rows, table_of(plain, "t")->rows)) << sql;
            if (step % 25 == 0) {
                expect_indexes_in_step(indexed, "t", sql);
                if (table_of(plain, "t")->rows.size() < 60) insert_some();
            }
        }
        if (on_file) {
            ASSERT_TRUE(storage::save(indexed));
            const std::vector<Row> rows = table_of(indexed, "t")->rows.to_rows();
            indexed = Engine();  // lets go of the file
            Engine again = must(storage::open(dir.path("i.db")));
            ASSERT_TRUE(again.ensure_table_loaded("t"));
            EXPECT_EQ(table_of(again, "t")->rows, rows);
        }
    }
}

// An UPDATE that leaves a unique index's columns alone passes over that
// index; one that moves its keys still meets every clash, and a refused
// statement changes nothing (in a transaction too, and ROLLBACK undoes a
// passed one).
TEST(Dml, UniqueKeysUntouchedOrMovedByUpdate) {
    Engine e;
    ok(e, "CREATE TABLE t (id PK, u INT, v INT, w TEXT)");
    ok(e, "CREATE UNIQUE INDEX tu ON t (u)");
    ok(e, "CREATE UNIQUE INDEX tv ON t (v)");
    ok(e, "CREATE INDEX tw ON t (w)");
    ok(e, "INSERT INTO t (u, v, w) VALUES (1, 10, 'a'), (2, 20, 'b'), (3, 30, 'c'), (4, NULL, 'd')");
    const TableState start = state_of(e, "t");
    // Only w changes: neither unique index is consulted, both stay.
    EXPECT_EQ(std::get<Updated>(ok(e, "UPDATE t SET w = 'z' WHERE u >= 2")).count, 3u);
    expect_indexes_in_step(e, "t", "w");
    // v moves onto a value an untouched row holds: refused.
    EXPECT_EQ(err(e, "UPDATE t SET v = 10 WHERE u = 4"),
              "Execution error: unique constraint violated: duplicate key [Int(10)]");
    // A row keeps its v while another row of the same statement takes it.
    EXPECT_EQ(err(e, "UPDATE t SET v = 20, w = 'y' WHERE u >= 2 AND u <= 4"),
              "Execution error: unique constraint violated: duplicate key [Int(20)]");
    ok(e, "BEGIN");
    ok(e, "UPDATE t SET v = NULL WHERE u <= 2");
    ok(e, "UPDATE t SET v = 10 WHERE u = 2");  // a key another row gave up
    EXPECT_EQ(err(e, "UPDATE t SET u = 1, w = 'q' WHERE v = 10"),
              "Execution error: unique constraint violated: duplicate key [Int(1)]");
    expect_indexes_in_step(e, "t", "in transaction");
    ok(e, "ROLLBACK");
    ok(e, "UPDATE t SET w = 'a' WHERE u = 1");
    ok(e, "UPDATE t SET w = 'b' WHERE u = 2");
    ok(e, "UPDATE t SET w = 'c' WHERE u = 3");
    ok(e, "UPDATE t SET w = 'd' WHERE u = 4");
    EXPECT_EQ(state_of(e, "t"), start);
}

TEST(Dml, CaptureHoldsTheImagesOfSuccessfulStatementsOnly) {
    Engine e;
    ok(e, "CREATE TABLE t (n INT, m INT)");
    ok(e, "CREATE UNIQUE INDEX un ON t (n)");
    ok(e, "INSERT INTO t VALUES (1, 1), (2, 2)");
    e.change_capture.emplace();
    ok(e, "UPDATE t SET m = 5");
    EXPECT_EQ(err(e, "UPDATE t SET n = 3"), "Execution error: unique constraint violated: duplicate key [Int(3)]");
    ok(e, "DELETE FROM t");
    const auto& c = *e.change_capture;
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].before, (Row{Value::integer(1), Value::integer(1)}));
    EXPECT_EQ(c[0].after, (Row{Value::integer(1), Value::integer(5)}));
    EXPECT_EQ(c[2].before, (Row{Value::integer(1), Value::integer(5)}));
    EXPECT_FALSE(c[3].after);
}

TEST(Dml, MergePolicyWords) {
    struct Case { const char* word; std::optional<std::string_view> canonical; };
    const Case cases[] = {
        {"lww", "lww"}, {" ERROR\t", "error"}, {"Field-Merge", "field_merge"}, {"FIELDMERGE", "field_merge"},
        {"field_merge", "field_merge"}, {"\u3000manual\u3000", "manual"}, {"field merge", std::nullopt},
        {"", std::nullopt}, {"  ", std::nullopt}, {"lw w", std::nullopt}, {"\xff", std::nullopt},
    };
    for (const Case& c : cases) {
        auto p = MergePolicy::parse(c.word);
        EXPECT_EQ(p ? std::optional<std::string_view>(p->word()) : std::nullopt, c.canonical) << c.word;
    }
}

}  // namespace
}  // namespace zembrel::testing

// SELECT on one table, end to end through the execute step: a randomized
// differential test against SQLite on the subset where the two dialects
// agree, the three-valued rule, and the binding and validation messages.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "executor/join_road.h"
#include "shared/shared_db.h"
#include "storage/row_record.h"
#include "types/float_text.h"
#include "test_util.h"

using namespace zembrel;
using namespace zembrel::testing;

namespace {

Rows rows_of(Engine& engine, const std::string& sql) {
    ExecResult r = ok(engine, sql);
    if (auto* rows = std::get_if<Rows>(&r)) return std::move(*rows);
    ADD_FAILURE() << sql << " gave no rows";
    return {};
}

// The same through a shared handle (a SELECT reads the tables' shared versions).
Rows rows_of(SharedDb& db, const std::string& sql) {
    auto r = db.execute(sql);
    if (auto* rows = r ? std::get_if<Rows>(&*r) : nullptr) return std::move(*rows);
    ADD_FAILURE() << sql << " -> " << (r ? "no rows" : r.error().display());
    return {};
}

// One result cell in a form both engines can be compared in: NULL, a number
// (SUM of Ints is a Float here and an integer there) or a text.
struct Cell {
    enum Kind { Null, Number, Text } kind = Null;
    double number = 0;
    std::string text;
    bool operator==(const Cell& o) const {
        if (kind != o.kind) return false;
        if (kind == Number) return number == o.number || std::fabs(number - o.number) <= 1e-9 * std::fabs(number);
        return text == o.text;
    }
};

std::string show(const std::vector<std::vector<Cell>>& rows) {
    std::string s;
    for (const auto& row : rows) {
        for (const Cell& c : row) s += c.kind == Cell::Null ? "NULL" : c.kind == Cell::Text ? c.text : std::to_string(c.number);
        s += " | ";
        s.back() = '\n';
    }
    return s;
}

std::vector<std::vector<Cell>> cells_of(const Rows& rows) {
    std::vector<std::vector<Cell>> out;
    for (const Row& row : rows.rows) {
        std::vector<Cell> r;
        for (const Value& v : row) {
            if (v.is_null()) r.push_back({});
            else if (v.is_int()) r.push_back({Cell::Number, static_cast<double>(v.as_int()), {}});
            else if (v.is_float()) r.push_back({Cell::Number, v.as_float(), {}});
            else r.push_back({Cell::Text, 0, v.display()});
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<std::vector<Cell>> sqlite_cells(sqlite3* db, const std::string& sql) {
    std::vector<std::vector<Cell>> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
        return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<Cell> r;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            switch (sqlite3_column_type(st, i)) {
                case SQLITE_NULL: r.push_back({}); break;
                case SQLITE_INTEGER:
                case SQLITE_FLOAT: r.push_back({Cell::Number, sqlite3_column_double(st, i), {}}); break;
                default:
                    r.push_back({Cell::Text, 0, reinterpret_cast<const char*>(sqlite3_column_text(st, i))});
            }
        }
        out.push_back(std::move(r));
    }
    sqlite3_finalize(st);
    return out;
}

void sqlite_exec(sqlite3* db, const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << (msg ? msg : "");
        sqlite3_free(msg);
    }
}

// Random SQL over t(id INT, a INT, b FLOAT, c TEXT, g INT): id is 1..n in
// insertion order, so "ORDER BY x" here (stable: ties keep insertion order)
// must equal "ORDER BY x, id" there.
struct QueryGen {
    std::mt19937_64 rng;
    int pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }

    std::string literal_for(char column) {
        switch (column) {
            case 'a':
            case 'g':
            case 'i': return std::to_string(pick(21) - 10);
            case 'b': return std::to_string(pick(41) - 20) + ".25";
            default: return "'" + std::string(1, static_cast<char>('a' + pick(6))) + "'";
        }
    }
    std::string column_name(char c) { return c == 'i' ? "id" : std::string(1, c); }

    std::string condition(int depth) {
        int k = depth > 2 ? pick(3) : pick(7);
        const char cols[] = {'a', 'b', 'c', 'g', 'i'};
        const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
        char col = cols[pick(5)];
        switch (k) {
            case 0:
            case 1: return column_name(col) + " " + ops[pick(6)] + " " + literal_for(col);
            case 2: return column_name(col) + (pick(2) ? " IS NULL" : " IS NOT NULL");
            case 3: return "(" + condition(depth + 1) + " AND " + condition(depth + 1) + ")";
            case 4: return "(" + condition(depth + 1) + " OR " + condition(depth + 1) + ")";
            case 5: return "NOT (" + condition(depth + 1) + ")";
            default: return "a " + std::string(ops[pick(6)]) + " g";  // column against column
        }
    }
};

// SQLite adds a window's floats in its own way, so SUM OVER is checked against
// a model instead: each row's frame added in row order from 0.0, Ints as
// their nearest double, other values skipped, compared as cell texts.
struct FrameEdge {
    enum Kind { UnboundedPreceding, Preceding, CurrentRow, Following, UnboundedFollowing } kind;
    uint64_t n = 0;

    std::string sql() const {
        switch (kind) {
            case UnboundedPreceding: return "UNBOUNDED PRECEDING";
            case Preceding: return std::to_string(n) + " PRECEDING";
            case CurrentRow: return "CURRENT ROW";
            case Following: return std::to_string(n) + " FOLLOWING";
            default: return "UNBOUNDED FOLLOWING";
        }
    }
    // Row i's bound in a partition of `rows` rows, held inside the partition.
    size_t at(size_t i, size_t rows) const {
        switch (kind) {
            case UnboundedPreceding: return 0;
            case Preceding: return n > i ? 0 : i - n;
            case CurrentRow: return i;
            case Following: return n > rows - 1 - i ? rows - 1 : i + n;
            default: return rows - 1;
        }
    }
};

struct WindowSum {
    std::string column;            // x (FLOAT) or a (INT)
    bool partitioned = false;      // PARTITION BY g
    int order = 0;                 // none, o, o DESC
    std::optional<std::pair<FrameEdge, FrameEdge>> frame;

    std::string sql() const {
        std::string over;
        if (partitioned) over += "PARTITION BY g";
        if (order) over += std::string(over.empty() ? "" : " ") + "ORDER BY o" + (order == 2 ? " DESC" : "");
        if (frame) over += (over.empty() ? "" : " ") + ("ROWS BETWEEN " + frame->first.sql() + " AND " + frame->second.sql());
        return "SUM(" + column + ") OVER (" + over + ")";
    }

    // Each row's cell text, in the rows' order: rows are (id, g, o, x, a).
    std::vector<std::string> model(const std::vector<Row>& rows) const {
        const size_t arg = column == "x" ? 3 : 4;
        std::map<std::optional<int64_t>, std::vector<size_t>> partitions;  // rows in input order
        for (size_t r = 0; r < rows.size(); ++r) {
            const Value& g = rows[r][1];
            partitions[partitioned && !g.is_null() ? std::optional(g.as_int()) : std::nullopt].push_back(r);
        }
        std::vector<std::string> out(rows.size());
        for (auto& [key, part] : partitions) {
            if (order) {
                std::stable_sort(part.begin(), part.end(), [&](size_t p, size_t q) {
                    return order == 1 ? rows[p][2].as_int() < rows[q][2].as_int()
                                      : rows[p][2].as_int() > rows[q][2].as_int();
                });
            }
            const FrameEdge start = frame ? frame->first : FrameEdge{FrameEdge::UnboundedPreceding};
            const FrameEdge end = frame ? frame->second : FrameEdge{FrameEdge::CurrentRow};
            for (size_t i = 0; i < part.size(); ++i) {
                size_t a = start.at(i, part.size()), b = end.at(i, part.size());
                if (a > b) std::swap(a, b);
                double sum = 0.0;
                bool any = false;
                for (size_t k = a; k <= b; ++k) {
                    const Value& v = rows[part[k]][arg];
                    if (v.is_int()) sum += static_cast<double>(v.as_int());
                    if (v.is_float()) sum += v.as_float();
                    any = any || v.is_int() || v.is_float();
                }
                out[part[i]] = any ? float_cell_text(sum) : "NULL";
            }
        }
        return out;
    }
};

// A FLOAT between 1e-3 and 1e17 in magnitude, of either sign, sometimes a
// small whole number or NULL, as an SQL literal.
std::string mixed_float(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return "NULL";
        case 1: return std::to_string(static_cast<int>(rng() % 21) - 10);
        default: {
            const double d = (1.0 + static_cast<double>(rng() % 9000) / 1000.0) *
                             std::pow(10.0, static_cast<double>(rng() % 20) - 3.0);
            std::string text = float_cell_text(rng() % 2 ? d : -d);
            return text.find('.') == std::string::npos ? text + ".0" : text;
        }
    }
}

// An INT, small or up to 1e17 in magnitude (beyond 2^53 its double rounds).
std::string mixed_int(std::mt19937_64& rng) {
    switch (rng() % 6) {
        case 0: return "NULL";
        case 1: return std::to_string(static_cast<int64_t>(rng() % 200'000'000'000'000'001ULL) - 100'000'000'000'000'000);
        default: return std::to_string(static_cast<int>(rng() % 21) - 10);
    }
}

// w(id, g, o, x, a): g a partition with NULLs, o an order with ties.
void make_window_table(Engine& engine, std::mt19937_64& rng) {
    ok(engine, "CREATE TABLE w (id INT, g INT, o INT, x FLOAT, a INT)");
    const int n = 30 + static_cast<int>(rng() % 150);
    std::string insert = "INSERT INTO w VALUES ";
    for (int i = 1; i <= n; ++i) {
        const std::string g = rng() % 6 ? std::to_string(rng() % 4) : "NULL";
        insert += (i > 1 ? ", (" : "(") + std::to_string(i) + ", " + g + ", " + std::to_string(rng() % (n / 2)) + ", " +
                  mixed_float(rng) + ", " + mixed_int(rng) + ")";
    }
    ok(engine, insert);
}

FrameEdge random_bound(std::mt19937_64& rng) {
    static const uint64_t kOffsets[] = {0, 1, 2, 3, 5, 6, 40, 9223372036854775807ULL};
    return FrameEdge{static_cast<FrameEdge::Kind>(rng() % 5), kOffsets[rng() % std::size(kOffsets)]};
}

// Three SUM OVER windows of random shape in one query, each cell against the model.
void check_window_sums(Engine& engine, std::mt19937_64& rng) {
    const Rows table = rows_of(engine, "SELECT id, g, o, x, a FROM w");
    std::vector<WindowSum> sums(3);
    std::string sql = "SELECT id";
    for (WindowSum& w : sums) {
        w.column = rng() % 3 ? "x" : "a";
        w.partitioned = rng() % 2;
        w.order = static_cast<int>(rng() % 3);
        if (rng() % 5) w.frame = std::pair(random_bound(rng), random_bound(rng));
        sql += ", " + w.sql();
    }
    const Rows got = rows_of(engine, sql + " FROM w");
    ASSERT_EQ(got.rows.size(), table.rows.size()) << sql;
    for (size_t k = 0; k < sums.size(); ++k) {
        const std::vector<std::string> want = sums[k].model(table.rows);
        for (size_t r = 0; r < got.rows.size(); ++r) {
            ASSERT_EQ(got.rows[r][0], table.rows[r][0]) << sql;  // input order
            const Value& v = got.rows[r][k + 1];
            ASSERT_TRUE(v.is_null() || v.is_float()) << sql << ": " << v.debug();
            ASSERT_EQ(v.display(), want[r]) << sql << "\nrow id " << table.rows[r][0].as_int();
        }
    }
}

TEST(SelectDifferential, AgreesWithSqliteOnRandomTablesAndQueries) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        QueryGen gen{std::mt19937_64(seed)};
        Engine engine;
        engine.settings.sort_budget = seed % 2 ? 200 : 32768;  // every other table sorts through run files
        ok(engine, "CREATE TABLE t (id INT, a INT, b FLOAT, c TEXT, g INT)");
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        sqlite_exec(db, "CREATE TABLE t (id INTEGER, a INTEGER, b REAL, c TEXT, g INTEGER)");
        const int n = 40 + gen.pick(160);
        std::string insert = "INSERT INTO t VALUES ";
        for (int i = 1; i <= n; ++i) {
            auto maybe = [&](std::string v) { return gen.pick(5) == 0 ? std::string("NULL") : v; };
            insert += (i > 1 ? ", (" : "(") + std::to_string(i) + ", " + maybe(gen.literal_for('a')) + ", " +
                      maybe(gen.literal_for('b')) + ", " + maybe(gen.literal_for('c')) + ", " +
                      maybe(std::to_string(gen.pick(4))) + ")";
        }
        ok(engine, insert);
        sqlite_exec(db, insert);
        std::mt19937_64 window_rng(seed * 7919);  // apart from gen, whose queries stay as they were
        make_window_table(engine, window_rng);

        for (int q = 0; q < 60; ++q) {
            std::string where = gen.pick(4) == 0 ? "" : " WHERE " + gen.condition(0);
            std::string ours, theirs;
            const char sortable[] = {'a', 'b', 'c', 'g'};
            std::string key = std::string(1, sortable[gen.pick(4)]);
            std::string dir = gen.pick(2) ? " DESC" : "";
            std::string limit = gen.pick(3) == 0 ? " LIMIT " + std::to_string(gen.pick(12)) : "";
            switch (gen.pick(4)) {
                case 0:  // plain scan, insertion order in both
                    ours = theirs = "SELECT id, c, a FROM t" + where;
                    break;
                case 1:  // ORDER BY with ties, optionally a LIMIT
                    ours = "SELECT * FROM t" + where + " ORDER BY " + key + dir + limit;
                    theirs = "SELECT * FROM t" + where + " ORDER BY " + key + dir + ", id" + limit;
                    break;
                case 2: {  // grouping and aggregates
                    std::string group = gen.pick(2) ? "g" : "c";
                    std::string arg = gen.pick(2) ? "a" : "b";
                    ours = theirs = "SELECT " + group + ", COUNT(*), COUNT(" + arg + "), SUM(" + arg + "), MIN(" + arg +
                                    "), MAX(" + arg + "), AVG(" + arg + ") FROM t" + where + " GROUP BY " + group +
                                    " ORDER BY " + group + dir + limit;
                    break;
                }
                default: {  // windows
                    std::string order = key + dir;
                    ours = "SELECT id, ROW_NUMBER() OVER (PARTITION BY g ORDER BY " + order +
                           "), RANK() OVER (ORDER BY " + order + "), SUM(a) OVER (PARTITION BY g ORDER BY " + order +
                           " ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) FROM t" + where + " ORDER BY id" + limit;
                    theirs = "SELECT id, ROW_NUMBER() OVER (PARTITION BY g ORDER BY " + order +
                             ", id), RANK() OVER (ORDER BY " + order + "), SUM(a) OVER (PARTITION BY g ORDER BY " +
                             order + ", id ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) FROM t" + where +
                             " ORDER BY id" + limit;
                    check_window_sums(engine, window_rng);
                    break;
                }
            }
            auto got = cells_of(rows_of(engine, ours));
            auto want = sqlite_cells(db, theirs);
            ASSERT_EQ(got, want) << "seed " << seed << ": " << ours << "\nzembrel:\n"
                                 << show(got) << "sqlite:\n"
                                 << show(want);
        }
        sqlite3_close(db);
    }
}

TEST(SelectConditions, ARowPassesOnlyWhenTheConditionIsTrue) {
    Engine engine;
    ok(engine, "CREATE TABLE t (id INT, a INT, b FLOAT)");
    ok(engine, "INSERT INTO t VALUES (1, 1, 1.0), (2, NULL, NULL), (3, 7, 2.5), (4, 1, NULL)");
    struct Case {
        const char* where;
        std::vector<int64_t> ids;
    };
    const Case cases[] = {
        {"NOT (a > 5)", {1, 4}},          // NULL > 5 is unknown, and so is its negation
        {"NOT (a = NULL)", {}},
        {"a <> 1", {3}},
        {"NOT (a <> 1)", {1, 4}},
        {"a IS NULL OR a > 5", {2, 3}},
        {"NOT (a > 5 AND id > 0)", {1, 4}},
        {"NOT (a > 5 OR id = 2)", {1, 4}},  // unknown OR true is true
        {"a = b", {1}},                    // Int 1 equals Float 1.0
    };
    for (const Case& c : cases) {
        Rows rows = rows_of(engine, std::string("SELECT id FROM t WHERE ") + c.where);
        std::vector<int64_t> ids;
        for (const Row& r : rows.rows) ids.push_back(r[0].as_int());
        EXPECT_EQ(ids, c.ids) << c.where;
    }
}

TEST(SelectBinding, MessagesOfBindingAndValidation) {
    Engine engine;
    ok(engine, "CREATE TABLE t (id INT, name TEXT, x INT)");
    const std::pair<const char*, const char*> cases[] = {
        {"SELECT * FROM nope", "table 'nope' not found"},
        {"SELECT nope FROM t", "column 'nope' not found"},
        {"SELECT b.x FROM t AS a", "table or alias 'b' not found"},
        {"SELECT a.nope FROM t AS a", "column 'nope' not found in table 't'"},
        {"SELECT * FROM t GROUP BY name", "SELECT * is not allowed with GROUP BY"},
        {"SELECT * FROM t GROUP BY nope", "column 'nope' not found"},
        {"SELECT name, COUNT(*) FROM t", "column 'name' must appear in GROUP BY or be used in an aggregate"},
        {"SELECT x, COUNT(*) FROM t GROUP BY name", "column 'x' must appear in GROUP BY or be used in an aggregate"},
        {"SELECT name, RANK() OVER (ORDER BY name) FROM t GROUP BY name",
         "window functions are not supported with GROUP BY yet"},
        {"SELECT name, (SELECT x FROM t) FROM t GROUP BY name", "scalar subqueries are not supported with GROUP BY yet"},
        {"SELECT name, COUNT(*) FROM t GROUP BY name ORDER BY x", "ORDER BY column 'x' not in SELECT output"},
        {"SELECT name, ROW_NUMBER() OVER (ORDER BY name) FROM t ORDER BY x", "ORDER BY column 'x' not in SELECT output"},
        {"SELECT id FROM t WHERE nope = 1", "column 'nope' not found"},
        {"SELECT id FROM t ORDER BY nope", "column 'nope' not found"},
        {"SELECT SUM(nope) FROM t", "column 'nope' not found"},
    };
    for (const auto& [sql, message] : cases) {
        EXPECT_EQ(err(engine, sql), std::string("Execution error: ") + message) << sql;
    }
    // Accepted shapes: a qualifier by table name or alias, ORDER BY a column
    // not selected, ORDER BY t.name matching the output column name.
    for (const char* sql : {"SELECT t.x FROM t AS a", "SELECT a.x FROM t AS a", "SELECT id FROM t ORDER BY x",
                            "SELECT t.name, COUNT(*) FROM t GROUP BY name ORDER BY t.name"}) {
        ok(engine, sql);
    }
    EXPECT_EQ(rows_of(engine, "SELECT t.name, COUNT(*), SUM(t.x) FROM t GROUP BY name").columns,
              (std::vector<std::string>{"name", "COUNT(*)", "SUM(x)"}));
}

TEST(SelectConditions, TextLiteralsComparedWithAHashColumnAreHashedOnce) {
    Engine engine;
    ok(engine, "CREATE TABLE u (name TEXT HASH, n INT)");
    ok(engine, "INSERT INTO u VALUES ('alice', 1), ('bob', 2)");
    const std::string stored(table_of(engine, "u")->rows[1][0].as_text());
    const std::string digest(64, 'a');
    const std::pair<std::string, std::vector<Row>> cases[] = {
        {"SELECT n FROM u WHERE name = 'alice'", {{Value::integer(1)}}},
        {"SELECT n FROM u AS x WHERE x.name = 'bob' AND n > 0", {{Value::integer(2)}}},
        {"SELECT n FROM u WHERE name = '" + stored + "'", {{Value::integer(2)}}},  // a stored hash passes as it is
        {"SELECT n FROM u WHERE name = '" + digest + "'", {}},                      // so does a hex digest
    };
    for (const auto& [sql, want] : cases) EXPECT_EQ(rows_of(engine, sql).rows, want) << sql;
}

TEST(SelectOutput, NamesEmptyAggregatesAndWindowFrames) {
    Engine engine;
    ok(engine, "CREATE TABLE t (k INT, v INT, d TEXT)");
    Rows empty = rows_of(engine, "SELECT COUNT(*), SUM(v), MIN(v), MAX(v), AVG(v) FROM t");
    EXPECT_EQ(empty.columns, (std::vector<std::string>{"COUNT(*)", "SUM(v)", "MIN(v)", "MAX(v)", "AVG(v)"}));
    ASSERT_EQ(empty.rows.size(), 1u);
    EXPECT_EQ(empty.rows[0], (Row{Value::integer(0), Value(), Value(), Value(), Value()}));
    EXPECT_TRUE(rows_of(engine, "SELECT d, COUNT(*) FROM t GROUP BY d").rows.empty());

    ok(engine, "INSERT INTO t VALUES (1, 1, 'x'), (2, 2, 'y'), (3, 3, 'x'), (4, NULL, 'y')");
    Rows sums = rows_of(engine,
                        "SELECT k, SUM(v) OVER (ORDER BY k ROWS BETWEEN 1 FOLLOWING AND 1 PRECEDING), "
                        "SUM(v) OVER (PARTITION BY d) FROM t");
    EXPECT_EQ(sums.columns, (std::vector<std::string>{"k", "SUM(v)", "SUM(v)"}));
    const Row want[] = {{Value::integer(1), Value::floating(3), Value::floating(1)},
                        {Value::integer(2), Value::floating(6), Value::floating(2)},
                        {Value::integer(3), Value::floating(5), Value::floating(4)},
                        {Value::integer(4), Value::floating(3), Value::floating(2)}};
    ASSERT_EQ(sums.rows.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(sums.rows[i], want[i]) << i;
    // A frame past the partition's ends saturates instead of wrapping.
    Rows far = rows_of(engine,
                       "SELECT SUM(v) OVER (ORDER BY k ROWS BETWEEN 9223372036854775807 PRECEDING AND "
                       "9223372036854775807 FOLLOWING) FROM t");
    for (const Row& r : far.rows) EXPECT_EQ(r[0], Value::floating(6));

    // Each frame adds its own rows in order: a large value before small ones
    // does not leave its rounding in their sums.
    ok(engine, "CREATE TABLE f (i INT, b FLOAT)");
    auto texts = [&](const std::string& frame) {
        std::vector<std::string> out;
        for (const Row& r : rows_of(engine, "SELECT SUM(b) OVER (ORDER BY i ROWS BETWEEN " + frame + ") FROM f").rows)
            out.push_back(r[0].display());
        return out;
    };
    ok(engine, "INSERT INTO f VALUES (1, 1000.0), (2, 0.1), (3, 0.2)");
    const std::pair<const char*, std::vector<std::string>> frames[] = {
        {"CURRENT ROW AND CURRENT ROW", {"1000", "0.1", "0.2"}},
        {"1 PRECEDING AND CURRENT ROW", {"1000", "1000.1", "0.30000000000000004"}},
        {"CURRENT ROW AND UNBOUNDED FOLLOWING", {"1000.3000000000001", "0.30000000000000004", "0.2"}},
        {"UNBOUNDED PRECEDING AND CURRENT ROW", {"1000", "1000.1", "1000.3000000000001"}},
        // Wholly past an edge, a frame holds that edge's row.
        {"5 FOLLOWING AND 6 FOLLOWING", {"0.2", "0.2", "0.2"}},
        {"6 PRECEDING AND 5 PRECEDING", {"1000", "1000", "1000"}},
    };
    for (const auto& [frame, want] : frames) EXPECT_EQ(texts(frame), want) << frame;
    ok(engine, "TRUNCATE TABLE f");
    ok(engine, "INSERT INTO f VALUES (1, 10000000000000000.0), (2, 0.5), (3, -2.5), (4, 3.0)");
    EXPECT_EQ(texts("CURRENT ROW AND CURRENT ROW"), (std::vector<std::string>{"10000000000000000", "0.5", "-2.5", "3"}));
}

TEST(SelectPageFile, ATableOnlyInTheFileIsReadWithoutLoadingIt) {
    TempDir dir;
    const std::string path = dir.path("t.db");
    {
        Engine engine = must(storage::open(path));
        ok(engine, "CREATE TABLE t (id PK, n INT)");
        ok(engine, "INSERT INTO t (n) VALUES (3), (1), (2)");
        ASSERT_TRUE(storage::save(engine).has_value());
    }
    Engine engine = must(storage::open(path));
    Rows limited = rows_of(engine, "SELECT n FROM t LIMIT 2");
    EXPECT_EQ(limited.rows, (std::vector<Row>{{Value::integer(3)}, {Value::integer(1)}}));
    Rows sorted = rows_of(engine, "SELECT n FROM t ORDER BY n DESC");
    EXPECT_EQ(sorted.rows, (std::vector<Row>{{Value::integer(3)}, {Value::integer(2)}, {Value::integer(1)}}));
    EXPECT_EQ(table_of(engine, "t"), nullptr);
    EXPECT_EQ(engine.tables.row_cache.count("t"), 1u);

    // The primary-key point query of a loaded table, against the scan.
    ok(engine, "INSERT INTO t (n) VALUES (4)");
    const Table* t = table_of(engine, "t");
    ASSERT_NE(t, nullptr);
    const std::string key(t->rows[1][0].as_text());
    Rows one = rows_of(engine, "SELECT n FROM t WHERE id = '" + key + "'");
    EXPECT_EQ(one.rows, (std::vector<Row>{{Value::integer(1)}}));
    EXPECT_TRUE(rows_of(engine, "SELECT n FROM t WHERE id = 'nope'").rows.empty());
    EXPECT_TRUE(rows_of(engine, "SELECT n FROM t WHERE id = '" + key + "' LIMIT 0").rows.empty());
}

}  // namespace

// Random single-table queries and joins of two or three tables t1, t2, t3 (id INT, a INT, b FLOAT,
// c TEXT, NULLs everywhere but id, d INT NOT NULL, uid PK; a few rows updated after the insert, so
// that index order differs from table order) with WHERE conditions holding IN and EXISTS
// subqueries and aggregate subqueries, correlated or not, ORDER BY one column with a LIMIT (ties
// and NULL keys included), and aggregates, grouped or not, over indexed equalities and ranges.
// Every query runs four ways: with in-memory indexes, without, with nested-loop joins forced, and
// with the tables and their indexes only in the page file, on a handle now and then reopened
// between statements; and against SQLite.
// Seeks give their rows in index order and merge and build-left hash joins reorder rows, so
// without an ORDER BY results compare as multisets, and under a LIMIT as any that many rows of
// the full result. ORDER BY one column compares the keys in sequence and the rows of equal keys
// as multisets. An ORDER BY over every table's id leaves ties only between rows the ids cannot
// tell apart: every way keeps nested-loop order, row for row. A uid order (no ties) is compared
// exactly against the same engine with nested loops forced (uids differ between engines).
struct JoinGen {
    std::mt19937_64 rng;
    int pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }

    std::string literal_for(char column) {
        switch (column) {
            case 'a': return std::to_string(pick(9) - 4);
            case 'b': return std::to_string(pick(9) - 4) + (pick(2) ? ".0" : ".5");
            default: return "'" + std::string(1, static_cast<char>('a' + pick(5))) + "'";
        }
    }
    std::string column(int tables) { return "t" + std::to_string(1 + pick(tables)) + "." + "abc"[pick(3)]; }

    // A range on one column of t1, literals of the other numeric kind too.
    std::string range_on(char col) {
        auto lit = [&] { return col == 'c' ? literal_for('c') : col == 'd' ? std::to_string(pick(5) - 1) : literal_for("ab"[pick(2)]); };
        const char* ops[] = {"<", ">", "<=", ">=", "="};
        std::string r = "t1." + std::string(1, col) + " " + ops[pick(5)] + " " + lit();
        if (pick(2)) r += " AND t1." + std::string(1, col) + " " + ops[pick(4)] + " " + lit();
        return r;
    }

    std::string on(int left_tables, int right) {
        const std::string r = "t" + std::to_string(right);
        const std::string l = "t" + std::to_string(1 + pick(left_tables));
        switch (pick(6)) {
            case 0: return l + ".a = " + r + ".b";  // Int against Float: one equality for every algorithm
            case 1: return l + ".c = " + r + ".c";
            case 2: return l + ".a = " + r + ".a AND " + l + ".c = " + r + ".c";
            case 3: return l + ".a < " + r + ".a";
            default: return l + ".a = " + r + ".a";
        }
    }

    std::string correlation() {
        const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
        switch (pick(8)) {
            case 0: return "s.a = t1.a AND s.c " + std::string(ops[pick(6)]) + " " + literal_for('c');
            case 1: return "s.a = t1.b";                     // Int index, Float outer values
            case 2: return "t1.a = s.b";                     // Float index, Int outer values, outer side first
            case 3: return "s.b = t1.b AND s.c = t1.c";      // the composite index
            case 4: return "s.a " + std::string(ops[2 + pick(4)]) + " t1.b AND s.c IS NOT NULL";  // a range
            case 5: return "(s.a = t1.a OR s.c = t1.c)";     // no seek
            case 6: return "s.a = t1.a AND EXISTS (SELECT * FROM t2 AS u WHERE u.c = s.c AND u.b > t1.b)";  // two levels up
            default: return "s.a = t1.a AND s.b > t1.b";
        }
    }

    // The FROM and WHERE of a subquery `levels` deep over t2 and t3, level k aliased nk: each level tests its
    // own columns and may name a column of a level above it (t1 only where `reach_top`), and the level below
    // stands in an EXISTS, an IN or a scalar MAX. So the subquery is correlated at some depth or at none.
    std::string nested(int level, int levels, bool reach_top) {
        const std::string me = "n" + std::to_string(level);
        std::string where = me + (pick(2) ? ".d < " + std::to_string(2 + pick(2)) : ".c IS NOT NULL");
        const int highest = reach_top ? 0 : 1;  // level 0 is t1
        if (level > highest && pick(4) != 0) {
            const int above = highest + pick(level - highest);
            const std::string other = above == 0 ? "t1" : "n" + std::to_string(above);
            const char* ops[] = {"=", "<", ">="};
            switch (pick(3)) {
                case 0: where += " AND " + me + ".a " + ops[pick(3)] + " " + other + ".a"; break;
                case 1: where += " AND " + other + ".c = " + me + ".c"; break;
                default: where = "(" + where + " OR " + me + ".b > " + other + ".b)"; break;
            }
        }
        if (level < levels) {
            const std::string below = nested(level + 1, levels, reach_top);
            const std::string next = "n" + std::to_string(level + 1);
            switch (pick(7)) {
                case 0:
                case 1: where += " AND EXISTS (SELECT * " + below + ")"; break;
                case 2: where += " AND NOT EXISTS (SELECT * " + below + ")"; break;
                case 3:
                case 4:
                    where += " AND " + me + ".a IS NOT NULL AND " + me + ".a IN (SELECT " + next + ".a " + below + ")";
                    break;
                default: where += " AND " + me + ".a <= (SELECT MAX(" + next + ".a) " + below + ")"; break;
            }
        }
        return std::string("FROM ") + (pick(2) ? "t2" : "t3") + " AS " + me + " WHERE " + where;
    }

    std::string condition(int tables, int depth) {
        const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
        switch (depth > 1 ? pick(3) : pick(10)) {
            case 0:
            case 1: {
                // Numbers of the other kind and NULL too: an index seek must fit them or stand aside.
                std::string c = column(tables);
                const char kind = c.back() == 'c' ? 'c' : "abN"[pick(3)];
                return c + " " + ops[pick(6)] + " " + (kind == 'N' ? "NULL" : literal_for(kind));
            }
            case 2:
                if (pick(2)) {  // a range, or the key of the composite index
                    const std::string t = "t" + std::to_string(1 + pick(tables)) + ".";
                    if (pick(2)) return "(" + t + "b = " + literal_for('b') + " AND " + t + "c = " + literal_for('c') + ")";
                    return "(" + t + "a >= " + literal_for(pick(2) ? 'a' : 'b') + " AND " + t + "a " + ops[2 + pick(4)] +
                           " " + literal_for('a') + ")";
                }
                return column(tables) + (pick(2) ? " IS NULL" : " IS NOT NULL");
            case 3: return "(" + condition(tables, depth + 1) + " AND " + condition(tables, depth + 1) + ")";
            case 4: return "(" + condition(tables, depth + 1) + " OR " + condition(tables, depth + 1) + ")";
            case 5: return "NOT (" + condition(tables, depth + 1) + ")";
            case 6: {  // same kinds on both sides: IN compares by key order
                const std::string col = pick(2) ? "a" : "c";
                const std::string sub = " (SELECT s." + col + " FROM t3 AS s WHERE s.b > " + literal_for('b') + ")";
                // NULL NOT IN an empty list is unknown here and true there: leave NULL out.
                if (pick(3) == 0) return "(t1." + col + " IS NOT NULL AND t1." + col + " NOT IN" + sub + ")";
                return "t1." + col + " IN" + sub;
            }
            case 7: {  // correlated, prepared once: the outer row's values (NULLs, the other numeric kind) key the seeks
                const std::string where = correlation();
                if (pick(3) == 0) {
                    // Same kinds on both sides: IN compares by key order. A NULL probe against no rows is
                    // where the dialects part, hence the IS NOT NULL.
                    const std::string col = pick(2) ? "a" : "c";
                    return "(t1." + col + " IS NOT NULL AND t1." + col + (pick(3) == 0 ? " NOT IN" : " IN") +
                           " (SELECT s." + col + " FROM t3 AS s WHERE " + where +
                           (pick(3) == 0 ? " ORDER BY s.id LIMIT 2))" : "))");
                }
                if (pick(4) == 0) {  // an aggregate over the seek the outer row keys
                    return pick(2) ? "t1.b > (SELECT SUM(s.b) FROM t3 AS s WHERE " + where + ")"
                                   : "t1.d < (SELECT COUNT(*) FROM t3 AS s WHERE " + where + ")";
                }
                return std::string(pick(3) == 0 ? "NOT " : "") + "EXISTS (SELECT * FROM t3 AS s WHERE " + where +
                       (pick(4) == 0 ? " LIMIT 1)" : ")");
            }
            case 8: {  // nested; naming t1 over one table only (over joins each of its rows would run them)
                const bool reach_top = tables == 1 && pick(2);
                const std::string body = nested(1, 2 + pick(2), reach_top);
                switch (pick(3)) {
                    case 0: return std::string(pick(3) == 0 ? "NOT " : "") + "EXISTS (SELECT * " + body + ")";
                    case 1: return "(t1.a IS NOT NULL AND t1.a IN (SELECT n1.a " + body + "))";
                    default: return "t1.a <= (SELECT MAX(n1.a) " + body + ")";
                }
            }
            default:  // a correlated subquery with a join of its own
                return std::string("EXISTS (SELECT * FROM t3 AS s JOIN t2 AS u ON s.c = u.c WHERE ") +
                       (pick(2) ? "u.a = t1.a)" : "u.b = t1.a AND s.a IS NOT NULL)");
        }
    }
};

std::string row_key(const std::vector<Cell>& r) {
    std::string s;
    for (const Cell& c : r)
        s += (c.kind == Cell::Null ? std::string("N") : c.kind == Cell::Text ? "T" + c.text : "F" + std::to_string(c.number)) + "|";
    return s;
}

std::vector<std::vector<Cell>> sorted_cells(std::vector<std::vector<Cell>> rows) {
    std::sort(rows.begin(), rows.end(), [&](const auto& x, const auto& y) { return row_key(x) < row_key(y); });
    return rows;
}

// Whether every row of `part` is one of `whole`'s, each no more often.
bool sub_multiset(const std::vector<std::vector<Cell>>& part, const std::vector<std::vector<Cell>>& whole) {
    std::vector<std::string> p, w;
    for (const auto& r : part) p.push_back(row_key(r));
    for (const auto& r : whole) w.push_back(row_key(r));
    std::sort(p.begin(), p.end());
    std::sort(w.begin(), w.end());
    return std::includes(w.begin(), w.end(), p.begin(), p.end());
}

// Whether `got` answers a query without ORDER BY whose rows, without the
// LIMIT, are `all`: all of them in any order, or, under a LIMIT n, any n of
// them (all of them when fewer).
::testing::AssertionResult unordered_answer(const std::vector<std::vector<Cell>>& got,
                                            const std::vector<std::vector<Cell>>& all, std::optional<uint64_t> limit) {
    const size_t want = limit ? std::min<size_t>(*limit, all.size()) : all.size();
    if (got.size() == want && sub_multiset(got, all)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got:\n" << show(got) << "from " << want << " of:\n" << show(all);
}

// Whether `got` answers `ORDER BY <the column at key>` [LIMIT n] whose rows,
// totally ordered with the sort's column first and without the LIMIT, are
// `all`: the same keys in the same sequence, and the rows of each run of
// equal keys taken from `all`'s rows of that key (all of them but where the
// LIMIT cuts the run).
::testing::AssertionResult ordered_answer(const std::vector<std::vector<Cell>>& got,
                                          const std::vector<std::vector<Cell>>& all, size_t key,
                                          std::optional<uint64_t> limit) {
    auto failure = [&] { return ::testing::AssertionFailure() << "got:\n" << show(got) << "of:\n" << show(all); };
    if (got.size() != (limit ? std::min<size_t>(*limit, all.size()) : all.size())) return failure();
    for (size_t i = 0; i < got.size(); ++i)
        if (!(got[i][key] == all[i][key])) return failure();
    using Rows = std::vector<std::vector<Cell>>;
    auto at = [](const Rows& rows, size_t i) { return rows.begin() + static_cast<std::ptrdiff_t>(i); };
    for (size_t i = 0, end = 0; i < got.size(); i = end) {
        size_t from = i, to = i;
        while (end < got.size() && got[end][key] == got[i][key]) ++end;
        while (from > 0 && all[from - 1][key] == got[i][key]) --from;
        while (to < all.size() && all[to][key] == got[i][key]) ++to;
        if (!sub_multiset(Rows(at(got, i), at(got, end)), Rows(at(all, from), at(all, to)))) return failure();
    }
    return ::testing::AssertionSuccess();
}

TEST(SelectDifferential, JoinsAndSubqueriesAgreeAcrossAccessPathsAndWithSqlite) {
    int compared = 0;
    TempDir dir;
    for (uint64_t seed = 1; seed <= 5; ++seed) {
        JoinGen gen{std::mt19937_64(seed * 7919)};
        JoinGen changes{std::mt19937_64(seed)};
        Engine plain, indexed, nested;
        nested.settings.force_nested_join = true;
        const std::string paged_path = dir.path("paged" + std::to_string(seed) + ".db");
        Engine paged = must(storage::open(paged_path));
        SharedDb shared{must(Engine::create_page_file(dir.path("shared" + std::to_string(seed) + ".db")))};
        // Every change of the shared handle meets a version of its table
        // that readers hold, which the change must replace.
        auto change_shared = [&](const std::string& table, const std::string& sql) {
            rows_of(shared, "SELECT COUNT(*) FROM " + table);
            auto r = shared.execute(sql);
            EXPECT_TRUE(r.has_value()) << sql << " -> " << (r ? "" : r.error().display());
        };
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
        for (int t = 1; t <= 3; ++t) {
            const std::string name = "t" + std::to_string(t);
            // pad: a long text on some rows that no statement reads (subqueries' SELECT * aside), which
            // every join carries along.
            const std::string create =
                "CREATE TABLE " + name + " (id INT, a INT, b FLOAT, c TEXT, d INT NOT NULL, pad TEXT, uid PK)";
            for (Engine* e : {&plain, &indexed, &nested, &paged}) ok(*e, create);
            ASSERT_TRUE(shared.execute(create).has_value()) << create;
            for (const char* cols : {"a", "b", "c", "d", "bc", "ab"}) {
                std::string list;
                for (const char* p = cols; *p; ++p) list += (p == cols ? "" : ", ") + std::string(1, *p);
                const std::string index = "CREATE INDEX " + name + "_" + cols + " ON " + name + " (" + list + ")";
                for (Engine* e : {&indexed, &paged}) ok(*e, index);
                change_shared(name, index);
            }
            sqlite_exec(db, "CREATE TABLE " + name + " (id INTEGER, a INTEGER, b REAL, c TEXT, d INTEGER NOT NULL, pad TEXT)");
            const int n = 5 + gen.pick(25);
            const std::string long_pad(32 << 10, static_cast<char>('o' + t));
            std::string insert = "INSERT INTO " + name + " VALUES ";
            for (int i = 1; i <= n; ++i) {
                auto maybe = [&](std::string v) { return gen.pick(5) == 0 ? std::string("NULL") : v; };
                insert += (i > 1 ? ", (" : "(") + std::to_string(i) + ", " + maybe(gen.literal_for('a')) + ", " +
                          maybe(gen.literal_for('b')) + ", " + maybe(gen.literal_for('c')) + ", " +
                          std::to_string(gen.pick(4)) + ", '" + (i % 11 == 3 ? long_pad : "p" + std::to_string(i)) + "')";
            }
            for (Engine* e : {&plain, &indexed, &nested, &paged}) ok(*e, insert);
            change_shared(name, insert);
            sqlite_exec(db, insert);
            // Changed keys move their row ids behind the others of the new
            // key: index order then differs from table order.
            for (int u = changes.pick(4); u > 0; --u) {
                const std::string update = "UPDATE " + name + " SET a = " + changes.literal_for('a') + ", b = " +
                                           changes.literal_for('b') + ", c = " + changes.literal_for('c') +
                                           " WHERE id = " + std::to_string(1 + changes.pick(n));
                for (Engine* e : {&plain, &indexed, &nested, &paged}) ok(*e, update);
                change_shared(name, update);
                sqlite_exec(db, update);
            }
        }
        // Reopened, the tables are only in the page file (a SELECT never loads them).
        ASSERT_TRUE(storage::save(paged).has_value());
        paged = Engine();
        paged = must(storage::open(paged_path));
        for (int q = 0; q < 60; ++q) {
            // Now and then a fresh handle: nothing learned about the tables
            // (their rows, Pk keys, index counts) carries over.
            if (changes.pick(3) == 0) {
                paged = Engine();
                paged = must(storage::open(paged_path));
            }
            // Now and then t3, which the correlated subqueries seek, changes
            // everywhere, or a change is refused or rolled back: nothing read
            // from the page file before may answer for it afterwards.
            if (changes.pick(6) == 0) {
                const std::string id = std::to_string(1 + changes.pick(30));
                const std::string update = "UPDATE t3 SET a = " + changes.literal_for('a') + ", c = " +
                                           changes.literal_for('c') + " WHERE id = " + id;
                switch (changes.pick(4)) {
                    case 0:  // refused: d is NOT NULL
                        for (Engine* e : {&plain, &indexed, &nested, &paged}) err(*e, "INSERT INTO t3 (id) VALUES (99)");
                        EXPECT_FALSE(shared.execute("INSERT INTO t3 (id) VALUES (99)").has_value());
                        break;
                    case 1:
                        for (Engine* e : {&plain, &indexed, &nested, &paged}) {
                            ok(*e, "BEGIN");
                            ok(*e, update);
                            ok(*e, "ROLLBACK");
                        }
                        break;
                    default: {
                        const std::string sql = changes.pick(2) ? update : "DELETE FROM t3 WHERE id = " + id;
                        for (Engine* e : {&plain, &indexed, &nested, &paged}) ok(*e, sql);
                        change_shared("t3", sql);
                        sqlite_exec(db, sql);
                    }
                }
                // The write loaded t3; reopened, it is read from the file again.
                ASSERT_TRUE(storage::save(paged).has_value());
                paged = Engine();
                paged = must(storage::open(paged_path));
            }
            if (gen.pick(6) == 0) {  // aggregates over an indexed equality or range, grouped or not
                std::string where;
                switch (gen.pick(4)) {
                    case 0: where = "t1.a = " + gen.literal_for('a'); break;
                    case 1: where = "t1.b = " + gen.literal_for('b') + " AND t1.c = " + gen.literal_for('c'); break;
                    case 2: where = "t1.d = " + std::to_string(gen.pick(4)); break;
                    default: where = gen.range_on("abd"[gen.pick(3)]); break;
                }
                const std::string sql = gen.pick(2) ? "SELECT COUNT(*), MAX(t1.id), MIN(t1.c), SUM(t1.a) FROM t1 WHERE " + where
                                                    : "SELECT t1.c, COUNT(*), MAX(t1.id) FROM t1 WHERE " + where + " GROUP BY t1.c";
                const auto want = sorted_cells(sqlite_cells(db, sql));
                for (Engine* e : {&plain, &indexed, &nested, &paged})
                    ASSERT_EQ(sorted_cells(cells_of(rows_of(*e, sql))), want) << "seed " << seed << ": " << sql;
                ++compared;
                continue;
            }
            if (gen.pick(4) == 0) {  // ORDER BY one column with a LIMIT: the ordered index scans
                const char col = "abcd"[gen.pick(4)];
                std::string where;
                if (const int w = gen.pick(3); w == 1) where = " WHERE " + gen.range_on(col);
                else if (w == 2) where = " WHERE " + gen.condition(1, 0);
                const std::string dir = gen.pick(2) ? " DESC" : "";
                const uint64_t count = gen.pick(10) == 0 ? 0 : 1 + gen.pick(8);
                const std::string key = "t1." + std::string(1, col);
                const std::string head = "SELECT t1.id, t1.c, t1.d, " + key + " FROM t1" + where + " ORDER BY " + key + dir;
                const std::string sql = head + " LIMIT " + std::to_string(count);
                // Ties in any order, and a LIMIT may cut a run of them anywhere.
                const auto all = sqlite_cells(db, head + ", t1.id");
                for (Engine* e : {&plain, &indexed, &paged})
                    ASSERT_TRUE(ordered_answer(cells_of(rows_of(*e, sql)), all, 3, count)) << "seed " << seed << ": " << sql;
                ASSERT_TRUE(ordered_answer(cells_of(rows_of(shared, sql)), all, 3, count)) << "seed " << seed << ": " << sql;
                // Descending, every way takes the scan and its stable sort.
                if (!dir.empty()) {
                    for (Engine* e : {&indexed, &paged}) ASSERT_EQ(cells_of(rows_of(*e, sql)), cells_of(rows_of(plain, sql))) << sql;
                    ASSERT_EQ(cells_of(rows_of(shared, sql)), cells_of(rows_of(plain, sql))) << sql;
                }
                ++compared;
                continue;
            }
            const int tables = 1 + gen.pick(3);
            std::string from = "t1";
            std::string ids = "t1.id";
            std::string by_id = "t1.id";
            std::string by_uid = "t1.uid";
            for (int t = 2; t <= tables; ++t) {
                const char* kinds[] = {" JOIN ", " LEFT JOIN ", " RIGHT JOIN "};
                from += std::string(gen.pick(2) ? kinds[0] : kinds[gen.pick(3)]) + "t" + std::to_string(t) + " ON " +
                        gen.on(t - 1, t);
                ids += ", t" + std::to_string(t) + ".id";
                by_id += ", t" + std::to_string(t) + ".id";
                by_uid += ", t" + std::to_string(t) + ".uid";
            }
            std::string sql = "SELECT " + ids + ", t1.c";
            if (gen.pick(4) == 0) sql += ", (SELECT MAX(s.b) FROM t3 AS s WHERE s.a = t1.a)";
            if (gen.pick(5) == 0) sql += ", (SELECT s.c FROM t3 AS s WHERE " + gen.correlation() + " ORDER BY s.id LIMIT 1)";
            if (gen.pick(6) == 0) sql += ", (SELECT MAX(n1.b) " + gen.nested(1, 2, tables == 1) + ")";
            sql += " FROM " + from;
            if (gen.pick(5) != 0) sql += " WHERE " + gen.condition(tables, 0);
            const std::string unordered = sql;
            enum { None, ById, ByUid } order = static_cast<decltype(None)>(gen.pick(3));
            std::optional<uint64_t> limit;
            if (order != None) sql += " ORDER BY " + (order == ById ? by_id : by_uid);
            if (gen.pick(order == None ? 3 : 2) == 0) limit = gen.pick(10);
            if (limit) sql += " LIMIT " + std::to_string(*limit);
            auto with_indexes = cells_of(rows_of(indexed, sql));
            indexed.settings.force_nested_join = true;
            auto with_nested = cells_of(rows_of(indexed, sql));
            indexed.settings.force_nested_join = false;
            if (order == None && limit) {  // which rows a LIMIT keeps depends on the road
                const auto all = sqlite_cells(db, unordered);
                for (Engine* e : {&plain, &nested, &paged})
                    ASSERT_TRUE(unordered_answer(cells_of(rows_of(*e, sql)), all, limit)) << "seed " << seed << ": " << sql;
                ASSERT_TRUE(unordered_answer(cells_of(rows_of(shared, sql)), all, limit)) << "seed " << seed << ": " << sql;
                for (const auto* rows : {&with_indexes, &with_nested})
                    ASSERT_TRUE(unordered_answer(*rows, all, limit)) << "seed " << seed << ": " << sql;
                ++compared;
                continue;
            }
            if (order == None) {
                ASSERT_EQ(sorted_cells(with_indexes), sorted_cells(with_nested)) << sql;
            } else {
                ASSERT_EQ(with_indexes, with_nested) << sql;
            }
            if (order == ByUid && limit) {
                ++compared;
                continue;  // which rows a LIMIT keeps depends on the uids
            }
            auto got = cells_of(rows_of(plain, sql));
            auto forced = cells_of(rows_of(nested, sql));
            auto from_file = cells_of(rows_of(paged, sql));
            auto from_shared = cells_of(rows_of(shared, sql));
            auto want = sqlite_cells(db, order == ByUid ? unordered : sql);
            if (order != ById) {
                for (auto* rows : {&got, &forced, &from_file, &from_shared, &with_indexes, &want})
                    *rows = sorted_cells(std::move(*rows));
            }
            ASSERT_EQ(with_indexes, got) << sql;
            ASSERT_EQ(forced, got) << sql;
            ASSERT_EQ(from_file, got) << sql;
            ASSERT_EQ(from_shared, got) << sql;
            ASSERT_EQ(got, want) << "seed " << seed << ": " << sql << "\nzembrel:\n" << show(got) << "sqlite:\n" << show(want);
            ++compared;
        }
        for (int t = 1; t <= 3; ++t) EXPECT_EQ(table_of(paged, "t" + std::to_string(t)), nullptr);
    }
    EXPECT_EQ(compared, 300);
}

TEST(SelectJoins, UnmatchedRowsAndSubqueryMessages) {
    Engine e;
    ok(e, "CREATE TABLE l (k INT, v TEXT)");
    ok(e, "CREATE TABLE r (k FLOAT, w TEXT)");
    ok(e, "INSERT INTO l VALUES (1, 'x'), (NULL, 'y'), (3, 'z')");
    ok(e, "INSERT INTO r VALUES (1.0, 'p'), (2.0, 'q'), (1.0, 'r')");
    struct Case {
        std::string sql;
        std::string want;
    };
    const Case cases[] = {
        {"SELECT v, w FROM l JOIN r ON l.k = r.k", "x p\nx r\n"},
        {"SELECT v, w FROM l LEFT JOIN r ON l.k = r.k", "x p\nx r\ny NULL\nz NULL\n"},
        {"SELECT v, w FROM l RIGHT JOIN r ON l.k = r.k", "x p\nNULL q\nx r\n"},
        {"SELECT v, w FROM l RIGHT JOIN r ON l.k = r.k WHERE v IS NULL", "NULL q\n"},
        {"SELECT v FROM l WHERE k IN (SELECT m.k FROM l AS m WHERE m.v = 'z')", "z\n"},
        {"SELECT v, (SELECT w FROM r WHERE r.w = 'q') FROM l WHERE k = 3", "z q\n"},
    };
    for (const Case& c : cases) {
        std::string got;
        for (const Row& row : rows_of(e, c.sql).rows) {
            for (size_t i = 0; i < row.size(); ++i) got += (i ? " " : "") + row[i].display();
            got += "\n";
        }
        EXPECT_EQ(got, c.want) << c.sql;
    }
    EXPECT_EQ(err(e, "SELECT v FROM l WHERE k = (SELECT k FROM l)"), "Execution error: subquery returned more than one row");
    EXPECT_EQ(err(e, "SELECT v FROM l WHERE k = (SELECT w, w FROM r WHERE w = 'p')"),
              "Execution error: subquery must return exactly one column");
}

// One equality for every algorithm: each join runs with indexes (merge and
// index joins), without (hash joins, the smaller FROM table hashed) and
// with nested loops forced, on keys of every pairing of INT, FLOAT, TEXT
// and DATE: Int 1 meets Float 1.0, integers beyond 2^53 meet the double
// they round to, a text meets the date of the same text, NULL meets nothing.
std::string plan_of(Engine& e, const std::string& sql);

// Row ids that do not ascend along the rows (a table this engine did not
// write): index joins and correlated seeks still find each id's own row,
// and give the rows in the order of the scan they stand in for.
TEST(SelectJoins, RowIdsOutOfOrderStillFindTheirRows) {
    Engine indexed, plain;
    for (Engine* e : {&indexed, &plain}) {
        ok(*e, "CREATE TABLE t (a INT)");
        ok(*e, "CREATE TABLE u (k INT, v TEXT)");
        ok(*e, "INSERT INTO t VALUES (1), (2), (3), (4)");
        ok(*e, "INSERT INTO u VALUES (1, 'one'), (2, 'two'), (3, 'three'), (4, 'four')");
        Table& u = e->tables.database.tables.at("u");
        // Each row keeps its id; only their order changes: ids 1, 3, 2, 4.
        Row second = u.rows[1].to_row();
        u.rows.replace(1, u.rows[2]);
        u.rows.replace(2, std::move(second));
        std::swap(u.rowids[1], u.rowids[2]);
    }
    ok(indexed, "CREATE INDEX u_k ON u (k)");
    for (const char* sql : {"SELECT t.a, u.v FROM t JOIN u ON t.a = u.k ORDER BY t.a",
                            "SELECT a FROM t WHERE EXISTS (SELECT v FROM u WHERE u.k = t.a AND u.v = 'two')",
                            "SELECT a, (SELECT v FROM u WHERE u.k = t.a) FROM t",
                            // A correlated WHERE is read like the scan, in table order.
                            "SELECT a, (SELECT v FROM u WHERE u.k >= t.a LIMIT 1) FROM t"})
        EXPECT_EQ(cells_of(rows_of(indexed, sql)), cells_of(rows_of(plain, sql))) << sql;
}

TEST(SelectJoins, EveryAlgorithmMatchesWithTheOneEquality) {
    Engine indexed, plain, nested;
    nested.settings.force_nested_join = true;
    for (Engine* e : {&indexed, &plain, &nested}) {
        ok(*e, "CREATE TABLE l (k INT, f FLOAT, s TEXT, d DATE)");
        ok(*e, "CREATE TABLE r (k INT, f FLOAT, s TEXT, d DATE)");
        ok(*e, "INSERT INTO l VALUES (1, 1.0, '2024-01-02', '2024-01-02'), (NULL, NULL, NULL, NULL), "
               "(9007199254740993, 9007199254740992.0, 'b', '2024-01-03'), (1, 2.5, '2024-01-03', '2024-01-02')");
        ok(*e, "INSERT INTO r VALUES (1, 1.0, '2024-01-03', '2024-01-03'), (9007199254740992, 9007199254740992.0, "
               "'2024-01-02', '2024-01-02'), (NULL, 1.0, NULL, '2024-01-02'), (2, NULL, 'b', NULL), "
               "(1, 1.0, '2024-01-02', '2024-01-03')");
    }
    for (const char* c : {"k", "f", "s", "d"}) {
        ok(indexed, std::string("CREATE INDEX l_") + c + " ON l (" + c + ")");
        ok(indexed, std::string("CREATE INDEX r_") + c + " ON r (" + c + ")");
    }
    EXPECT_EQ(plan_of(indexed, "EXPLAIN SELECT * FROM l JOIN r ON l.s = r.d"),
              "TableScan(l)\nMergeJoin(left=l, right=r, keys=[s=d])\nProject\n");
    EXPECT_EQ(plan_of(plain, "EXPLAIN SELECT * FROM l JOIN r ON l.k = r.f"),
              "TableScan(l)\nHashJoin(build=left, probe=right, kind=Inner, keys=[0])\nProject\n");
    int matched = 0;
    for (const char* kind : {"JOIN", "LEFT JOIN", "RIGHT JOIN"}) {
        for (const char* x : {"k", "f", "s", "d"}) {
            for (const char* y : {"k", "f", "s", "d"}) {
                const std::string sql = std::string("SELECT l.k, l.f, l.s, l.d, r.k, r.f, r.s, r.d FROM l ") + kind +
                                        " r ON l." + x + " = r." + y;
                const auto want = sorted_cells(cells_of(rows_of(nested, sql)));
                EXPECT_EQ(sorted_cells(cells_of(rows_of(indexed, sql))), want) << sql;
                EXPECT_EQ(sorted_cells(cells_of(rows_of(plain, sql))), want) << sql;
                matched += static_cast<int>(want.size());
            }
        }
    }
    EXPECT_GT(matched, 48 * 4);  // more than the NULL-filled rows alone
}

std::optional<long> peak_growth_kib(const std::function<bool()>& run);

// A joined row refers to its input rows: every algorithm lends rows whose
// long texts are the tables' own bytes, read in place, at every step of a
// chain of joins; a row a consumer takes owns copies of them.
TEST(SelectJoins, JoinedRowsReadTheirInputRowsInPlace) {
    Engine indexed, plain, nested;
    indexed.settings.force_nested_join = plain.settings.force_nested_join = false;  // whatever the environment says
    nested.settings.force_nested_join = true;
    std::string values;
    for (int i = 0; i < 8; ++i)
        values += (i ? ", (" : "(") + std::to_string(i) + ", " + (i == 5 ? "NULL" : std::to_string(i % 3)) + ", '" +
                  std::string(100 + static_cast<size_t>(i), 'p') + "')";
    for (Engine* e : {&indexed, &plain, &nested}) {
        for (const std::string t : {"l", "r"}) {
            ok(*e, "CREATE TABLE " + t + " (a INT, k INT, pad TEXT)");
            ok(*e, "INSERT INTO " + t + " VALUES " + values);
        }
        ok(*e, "INSERT INTO l VALUES (8, 7, 'short')");  // the smaller FROM table is r
    }
    ok(indexed, "CREATE INDEX l_k ON l (k)");
    ok(indexed, "CREATE INDEX r_k ON r (k)");
    std::string plans;
    for (Engine* e : {&indexed, &plain, &nested}) {
        std::set<const char*> stored;
        for (const char* t : {"l", "r"})
            for (RowView row : table_of(*e, t)->rows) stored.insert(row[2].as_text().data());
        for (const char* on : {"l.k = r.k", "l.a < r.k"}) {
            for (const std::string& sql :
                 {"SELECT l.a FROM l JOIN r ON " + std::string(on), "SELECT l.a FROM r JOIN l ON " + std::string(on),
                  "SELECT l.a FROM l LEFT JOIN r ON " + std::string(on), "SELECT l.a FROM l RIGHT JOIN r ON " + std::string(on),
                  "SELECT l.a FROM l JOIN r ON " + std::string(on) + " JOIN r AS s ON r.k = s.k",
                  "SELECT l.a FROM l LEFT JOIN r ON " + std::string(on) + " RIGHT JOIN l AS s ON r.k = s.k"}) {
                plans += plan_of(*e, "EXPLAIN " + sql);
                auto statement = parser::parse_sql(sql);
                const auto& select = std::get<parser::SelectStatement>(statement->node);
                auto bound = planner::bind_select(*e, select, nullptr);
                auto joined = executor::build_join_source(*e, select, bound->tables, bound->plan, nullptr);
                ASSERT_TRUE(joined.has_value()) << sql;
                size_t rows = 0, long_texts = 0;
                for (auto row = joined->source->next(); row.has_value() && *row; row = joined->source->next(), ++rows) {
                    for (const Value& v : *row) {
                        if (!v.has_text() || v.as_text().size() <= Value::kInlineText) continue;
                        ++long_texts;
                        ASSERT_EQ(v.text_store(), Value::TextStore::Borrowed) << sql;
                        ASSERT_TRUE(stored.count(v.as_text().data())) << sql;
                    }
                    if (rows % 3 == 0) {
                        const Row taken = joined->source->take(*row);
                        ASSERT_EQ(RowView(taken), *row) << sql;
                        for (const Value& v : taken) EXPECT_NE(v.text_store(), Value::TextStore::Borrowed) << sql;
                    }
                }
                EXPECT_EQ(rows, rows_of(*e, sql).rows.size()) << sql;
                EXPECT_GT(long_texts, 0u) << sql;
            }
        }
    }
    for (const char* algorithm : {"NestedLoopJoin(kind=Inner", "NestedLoopJoin(kind=Left", "NestedLoopJoin(kind=Right",
                                  "HashJoin(build=left", "kind=Left, keys", "kind=Right, keys", "MergeJoin", "IndexNested"})
        EXPECT_NE(plans.find(algorithm), std::string::npos) << algorithm << " not run:\n" << plans;
}

// Long texts no part of a statement reads cost a join nothing, on every
// road: 216,000 joined rows carrying 1 MiB texts took minutes when each
// joined row copied its inputs. What keeps rows above a join (a sort, a
// right join's left side, window functions, the rows a subquery WHERE
// passes) keeps images, not copies, of 3,600 rows of which 236 carry 1 MiB.
TEST(SelectJoins, LongUnreadTextsCostJoinsNothing) {
    TempDir dir;
    Engine plain, nested, indexed;
    nested.settings.force_nested_join = true;
    SharedDb shared{must(Engine::create_page_file(dir.path("shared.db")))};
    std::string insert = "INSERT INTO t VALUES ";
    for (int i = 0; i < 60; ++i)
        insert += (i ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(i % 7) + ", '" +
                  (i == 15 || i == 45 ? std::string(1 << 20, 'k') : "r") + "')";
    for (const std::string& sql : {std::string("CREATE TABLE t (a INT, x INT, pad TEXT)"), insert}) {
        for (Engine* e : {&plain, &nested, &indexed}) ok(*e, sql);
        ASSERT_TRUE(shared.execute(sql).has_value());
    }
    ok(indexed, "CREATE INDEX t_x ON t (x)");
    ok(indexed, "CREATE INDEX t_a ON t (a)");
    const auto start = std::chrono::steady_clock::now();
    for (const char* sql : {"SELECT COUNT(*) FROM t JOIN t AS j1 ON t.x >= -100 JOIN t AS j2 ON j2.a >= -100",
                            "SELECT COUNT(*) FROM t JOIN t AS j1 ON t.x = j1.x JOIN t AS j2 ON j1.a <> j2.x",
                            "SELECT COUNT(*) FROM t LEFT JOIN t AS j1 ON t.x = j1.a RIGHT JOIN t AS j2 ON j2.x <= j1.x"}) {
        const auto want = cells_of(rows_of(plain, sql));
        for (Engine* e : {&nested, &indexed}) EXPECT_EQ(cells_of(rows_of(*e, sql)), want) << sql;
        EXPECT_EQ(cells_of(rows_of(shared, sql)), want) << sql;
    }
    EXPECT_EQ(rows_of(plain, "SELECT COUNT(*) FROM t JOIN t AS u ON t.a >= 0 JOIN t AS w ON w.a >= 0").rows[0][0].as_int(),
              216000);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), 20.0);  // seconds: one or two under the sanitizers

    const char* kept[] = {
        "SELECT t.a, u.a FROM t JOIN t AS u ON t.x >= -100 ORDER BY u.x, t.a DESC",
        "SELECT t.a, w.a FROM t JOIN t AS u ON t.x >= -100 RIGHT JOIN t AS w ON w.a = u.a",
        "SELECT t.a, ROW_NUMBER() OVER (ORDER BY u.x) FROM t JOIN t AS u ON t.x >= -100",
        "SELECT t.a FROM t JOIN t AS u ON t.x >= -100 WHERE EXISTS (SELECT a FROM t AS s WHERE s.a = 0)",
    };
    for (Engine* e : {&plain, &nested}) {
        for (const char* sql : kept) {
            auto growth = peak_growth_kib([&] {
                auto r = run(*e, sql);
                const Rows* rows = r ? std::get_if<Rows>(&*r) : nullptr;
                return rows != nullptr && rows->rows.size() == 3600;
            });
            ASSERT_TRUE(growth.has_value()) << sql;
            EXPECT_LT(*growth, 48 * 1024L) << sql;
        }
    }
}

std::string plan_of(Engine& e, const std::string& sql) {
    Rows r = rows_of(e, sql);
    EXPECT_EQ(r.columns, std::vector<std::string>{"plan"}) << sql;
    std::string out;
    for (const Row& row : r.rows) out += row.front().display() + "\n";
    return out;
}

// Each plan beside the rows the same SELECT gives: a seek's rows come in
// index order (x: 3, 4, 5 holds a: 1, 3, 2), a scan's in table order.
TEST(SelectExplain, LinesOfThePlanRun) {
    Engine e;
    ok(e, "CREATE TABLE t (a INT, b TEXT, x INT)");
    ok(e, "CREATE TABLE u (a INT, y FLOAT)");
    ok(e, "CREATE TABLE p (id PK, n INT)");
    ok(e, "CREATE INDEX t_ab ON t (a, b)");
    ok(e, "CREATE INDEX t_x ON t (x)");
    ok(e, "INSERT INTO t VALUES (1, 'x', 3), (2, 'y', 5), (3, 'z', 4)");
    ok(e, "INSERT INTO p (n) VALUES (10), (20), (30)");
    const std::string id = rows_of(e, "SELECT id FROM p WHERE n = 20").rows.at(0).at(0).display();
    const std::string pk_seek = "IndexSeek(table=p, col=id, lower=Included(" + id + "), upper=Included(" + id + "))\n";
    struct Case {
        std::string sql, plan;
        const char* firsts;  // the first column of the SELECT's rows; nullptr: not compared
    };
    const Case cases[] = {
        {"SELECT * FROM t", "TableScan(t)\nProject\n", "1,2,3"},
        {"SELECT * FROM t WHERE a = 1 ORDER BY b LIMIT 5", "TableScan(t)\nFilter\nExternalSort\nLimit(5)\nProject\n", "1"},
        {"SELECT * FROM t WHERE a = 1 AND b = 'x'", "IndexSeek(table=t, index=(a,b), key=[1,x])\nProject\n", "1"},
        {"SELECT * FROM t WHERE x > 3 AND x <= 7",
         "IndexSeek(table=t, col=x, lower=Excluded(3), upper=Included(7))\nProject\n", "3,2"},
        {"SELECT * FROM t WHERE x >= 3", "IndexSeek(table=t, col=x, lower=Included(3), upper=Unbounded)\nProject\n", "1,3,2"},
        {"SELECT * FROM t WHERE x >= 3 LIMIT 2",
         "IndexSeek(table=t, col=x, lower=Included(3), upper=Unbounded)\nLimit(2)\nProject\n", "1,3"},
        {"SELECT b, COUNT(*) FROM t GROUP BY b", "TableScan(t)\nHashAggregate\nProject\n", nullptr},
        {"SELECT * FROM t JOIN u ON t.a = u.a WHERE t.x = 1",
         "Filter(t pushdown)\nTableScan(t)\nHashJoin(build=right, probe=left, kind=Inner, keys=[0])\nProject\n", ""},
        {"SELECT * FROM t RIGHT JOIN u ON t.a = u.a WHERE t.x = 1",
         "TableScan(t)\nHashJoin(build=right, probe=left, kind=Right, keys=[0])\nFilter\nProject\n", ""},
        {"SELECT * FROM t LEFT JOIN u ON t.a < u.a LIMIT 2", "TableScan(t)\nNestedLoopJoin(kind=Left)\nLimit(2)\nProject\n", "1,2"},
        // A Pk value of a loaded table goes through its primary-key tree;
        // a wider range has no index to read (no MemIndex on the column).
        {"SELECT n FROM p WHERE id = '" + id + "'", pk_seek + "Project\n", "20"},
        {"SELECT n FROM p WHERE id = '" + id + "' LIMIT 1", pk_seek + "Limit(1)\nProject\n", "20"},
        {"SELECT n FROM p WHERE id = '" + id + "' AND id >= '" + id + "' ORDER BY id LIMIT 3", pk_seek + "Project\n", "20"},
        {"SELECT * FROM p WHERE id = 'gone'", "IndexSeek(table=p, col=id, lower=Included(gone), upper=Included(gone))\nProject\n", ""},
        {"SELECT n FROM p WHERE id >= '" + id + "'", "TableScan(p)\nFilter\nProject\n", nullptr},
        {"SELECT n FROM p WHERE id = '" + id + "' AND id > '" + id + "'", "TableScan(p)\nFilter\nProject\n", ""},
        // Aggregates group the rows of the seek; ORDER BY and LIMIT act on
        // the groups.
        {"SELECT COUNT(*) FROM p WHERE id = '" + id + "'", pk_seek + "HashAggregate\nProject\n", "1"},
        {"SELECT x, COUNT(*) FROM t WHERE x >= 4 GROUP BY x ORDER BY x LIMIT 1",
         "IndexSeek(table=t, col=x, lower=Included(4), upper=Unbounded)\nHashAggregate\nExternalSort\nLimit(1)\nProject\n",
         "4"},
        // ORDER BY an indexed column, ascending, with a LIMIT: the seek sorts
        // and limits; descending, or without a LIMIT, the scan and the sort.
        {"SELECT * FROM t ORDER BY x LIMIT 5", "IndexSeek(table=t, col=x, lower=Unbounded, upper=Unbounded)\nProject\n", "1,3,2"},
        {"SELECT * FROM t WHERE x > 3 ORDER BY x DESC LIMIT 5", "TableScan(t)\nFilter\nExternalSort\nLimit(5)\nProject\n", "2,3"},
        {"SELECT * FROM t ORDER BY x DESC LIMIT 2", "TableScan(t)\nExternalSort\nLimit(2)\nProject\n", "2,3"},
        {"SELECT * FROM t ORDER BY x", "TableScan(t)\nExternalSort\nProject\n", "1,3,2"},
        {"SELECT * FROM t WHERE a = 1 ORDER BY x LIMIT 5", "TableScan(t)\nFilter\nExternalSort\nLimit(5)\nProject\n", "1"},
        {"SELECT * FROM t WHERE x > 3 ORDER BY a LIMIT 5", "TableScan(t)\nFilter\nExternalSort\nLimit(5)\nProject\n", "2,3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plan_of(e, "EXPLAIN " + c.sql), c.plan) << c.sql;
        if (c.firsts == nullptr) continue;
        std::string firsts;
        for (const Row& row : rows_of(e, c.sql).rows) firsts += (firsts.empty() ? "" : ",") + row.at(0).display();
        EXPECT_EQ(firsts, c.firsts) << c.sql;
    }
    // The smaller FROM table is hashed only where the row order cannot show.
    ok(e, "INSERT INTO u VALUES (1, 1.5), (2, 2.5), (7, 0.5), (8, 3.5)");
    EXPECT_EQ(plan_of(e, "EXPLAIN SELECT * FROM t JOIN u ON t.a = u.a"),
              "TableScan(t)\nHashJoin(build=left, probe=right, kind=Inner, keys=[0])\nProject\n");
    EXPECT_EQ(plan_of(e, "EXPLAIN SELECT t.b FROM t JOIN u ON t.a = u.a ORDER BY t.a"),
              "TableScan(t)\nHashJoin(build=right, probe=left, kind=Inner, keys=[0])\nExternalSort\nProject\n");
    ok(e, "CREATE INDEX u_a ON u (a)");
    EXPECT_EQ(plan_of(e, "EXPLAIN SELECT * FROM t JOIN u ON u.a = t.a"),
              "TableScan(t)\nMergeJoin(left=t, right=u, keys=[a=a])\nProject\n");
    EXPECT_EQ(plan_of(e, "EXPLAIN SELECT * FROM t JOIN u ON t.a = u.a LIMIT 1"),
              "TableScan(t)\nIndexNestedLoopJoin(probe=left, index_table=u, index_col=a, keys=[a=a])\nLimit(1)\nProject\n");
    EXPECT_EQ(plan_of(e, "EXPLAIN SELECT * FROM t LEFT JOIN u ON u.a = t.x"),
              "TableScan(t)\nIndexNestedLoopJoin(probe=left, index_table=u, index_col=a, keys=[x=a])\nProject\n");
    e.settings.force_nested_join = true;
    EXPECT_EQ(plan_of(e, "EXPLAIN SELECT * FROM t JOIN u ON t.a = u.a"), "TableScan(t)\nNestedLoopJoin(kind=Inner)\nProject\n");
    EXPECT_EQ(err(e, "EXPLAIN SELECT * FROM t JOIN u ON t.a = u.nope"), "Execution error: column 'nope' not found in table 'u'");
}

// An index never changes which rows qualify (the order is the index's):
// literals of the other numeric kind, a NULL bound, rows with NULL in a
// composite index's later column.
TEST(SelectIndexSeek, ResultsEqualAScan) {
    Engine indexed, plain;
    for (Engine* e : {&indexed, &plain}) {
        ok(*e, "CREATE TABLE t (i INT, f FLOAT, s TEXT)");
        ok(*e, "INSERT INTO t VALUES (1, 0.5, 'a'), (2, 1.0, NULL), (3, 2.5, 'c'), (5, NULL, 'b'), (NULL, 1.5, 'a'), "
               "(9007199254740993, NULL, 'z')");
    }
    ok(indexed, "CREATE INDEX t_i ON t (i)");
    ok(indexed, "CREATE INDEX t_f ON t (f)");
    ok(indexed, "CREATE INDEX t_is ON t (i, s)");
    const char* queries[] = {
        "SELECT * FROM t WHERE f > 1",         "SELECT * FROM t WHERE i = 1.0",        "SELECT * FROM t WHERE i > 2.5",
        "SELECT * FROM t WHERE i < 2.5",       "SELECT * FROM t WHERE i = 2.5",        "SELECT * FROM t WHERE f >= 1 AND f < 2",
        "SELECT * FROM t WHERE i > NULL",      "SELECT * FROM t WHERE i = 5",          "SELECT * FROM t WHERE i = 5 AND s = 'b'",
        "SELECT * FROM t WHERE i = 1 AND s = 'a'", "SELECT * FROM t WHERE f = 1",     "SELECT * FROM t WHERE i <= 100000000000000000000000000000.5",
        "SELECT * FROM t WHERE i > 1 AND i > 2", "SELECT * FROM t WHERE s = 'a'",     "SELECT * FROM t WHERE f <> 1",
        "SELECT i, i, s FROM t WHERE i > 1 LIMIT 2", "SELECT f FROM t WHERE f >= 0.5 LIMIT 0", "SELECT t.s FROM t WHERE i < 9",
        // Past 2^53 one double is `=` to several Ints.
        "SELECT * FROM t WHERE i <= 9007199254740992.0", "SELECT * FROM t WHERE i = 9007199254740992.0",
    };
    for (const std::string sql : queries) {
        const size_t cut = sql.find(" LIMIT ");
        const auto limit = cut == std::string::npos ? std::nullopt : std::optional<uint64_t>(std::stoull(sql.substr(cut + 7)));
        EXPECT_TRUE(unordered_answer(cells_of(rows_of(indexed, sql)), cells_of(rows_of(plain, sql.substr(0, cut))), limit)) << sql;
    }
    EXPECT_EQ(plan_of(indexed, "EXPLAIN SELECT * FROM t WHERE i = 1.0"),
              "IndexSeek(table=t, col=i, lower=Included(1), upper=Included(1))\nProject\n");
    EXPECT_EQ(rows_of(indexed, "SELECT * FROM t WHERE i = 5").rows.size(), 1u);
}

// Rows gone from a page-file table while their index entries stay (stale
// entries): a seek passes over them and still fills its LIMIT, in index
// order (key order, ties by row id).
TEST(SelectPageFile, SeeksPassOverStaleEntriesAndStillFillTheLimit) {
    TempDir dir;
    const std::string path = dir.path("stale.db");
    {
        Engine engine = must(storage::open(path));
        ok(engine, "CREATE TABLE t (id INT, k INT NOT NULL, n INT)");
        ok(engine, "CREATE INDEX t_k ON t (k)");
        std::string insert = "INSERT INTO t VALUES ";
        for (int id = 1; id <= 20; ++id) insert += (id > 1 ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(id % 5) + ", NULL)";
        ok(engine, insert);
        PageStore* store = engine.page_store();
        for (uint64_t rowid : {1, 2, 3, 5, 6, 7, 11}) {
            auto gone = BPlusTree::delete_key(*store->pager, store->catalog.get("t")->root, keycodec::table_key(rowid));
            ASSERT_TRUE(gone.has_value() && *gone) << rowid;
        }
        // Row 21 comes to hold k = 4 while its only entry says 1: the
        // entry is stale, its row there.
        ok(engine, "INSERT INTO t VALUES (21, 1, NULL)");
        ASSERT_TRUE(storage::save(engine).has_value());
        const std::vector<Value> moved{Value::integer(21), Value::integer(4), Value::null()};
        auto record = storage::encode_row(moved);
        ASSERT_TRUE(record.has_value());
        auto root = BPlusTree::insert(*store->pager, store->catalog.get("t")->root, keycodec::table_key(21), *record);
        ASSERT_TRUE(root.has_value() && *root == store->catalog.get("t")->root);
        ASSERT_TRUE(storage::save(engine).has_value());
    }
    Engine engine = must(storage::open(path));
    struct Case {
        std::string sql;
        std::vector<int64_t> ids;
        std::string plan_head;
    };
    const Case cases[] = {
        {"SELECT id FROM t WHERE k >= 0 LIMIT 3", {10, 15, 20}, "IndexSeek(table=t, col=k, lower=Included(0), upper=Unbounded)\nLimit(3)\n"},
        {"SELECT id FROM t WHERE k = 1 LIMIT 2", {16}, "IndexSeek(table=t, col=k, lower=Included(1), upper=Included(1))\nLimit(2)\n"},
        {"SELECT id FROM t WHERE k = 1", {16}, "IndexSeek(table=t, col=k, lower=Included(1), upper=Included(1))\n"},
        {"SELECT id FROM t ORDER BY k LIMIT 4", {10, 15, 20, 16}, "IndexSeek(table=t, col=k, lower=Unbounded, upper=Unbounded)\n"},
        {"SELECT id FROM t WHERE k > 0 AND n IS NULL LIMIT 2", {4, 8}, "TableScan(t)\nFilter\nLimit(2)\n"},
        {"SELECT id FROM t WHERE k > 1 ORDER BY k LIMIT 3", {12, 17, 8}, "IndexSeek(table=t, col=k, lower=Excluded(1), upper=Unbounded)\n"},
        {"SELECT id FROM t ORDER BY k DESC LIMIT 2", {4, 9}, "TableScan(t)\nExternalSort\nLimit(2)\n"},
    };
    for (const Case& c : cases) {
        std::vector<int64_t> ids;
        for (const Row& r : rows_of(engine, c.sql).rows) ids.push_back(r[0].as_int());
        EXPECT_EQ(ids, c.ids) << c.sql;
        EXPECT_EQ(plan_of(engine, "EXPLAIN " + c.sql), c.plan_head + "Project\n") << c.sql;
    }
    EXPECT_EQ(table_of(engine, "t"), nullptr);
}

// A table read from the page file answers a Pk value through its cached
// rows keyed once by Pk, groups the rows of a seek, and walks an index on
// a nullable column for ORDER BY ... LIMIT only while every row has an
// entry there; all without loading the table, with a loaded table's rows.
TEST(SelectPageFile, PkLookupsGroupedSeeksAndOrderedScansStayUnloaded) {
    TempDir dir;
    const std::string path = dir.path("pk.db");
    {
        Engine engine = must(storage::open(path));
        ok(engine, "CREATE TABLE t (id PK, n INT, g INT)");
        ok(engine, "CREATE INDEX t_n ON t (n)");
        ok(engine, "CREATE INDEX t_g ON t (g)");
        ok(engine, "INSERT INTO t (n, g) VALUES (5, 1), (3, 2), (4, 1), (1, 2), (2, 1)");
        ASSERT_TRUE(storage::save(engine).has_value());
    }
    auto n_of = [](Engine& e, const std::string& sql) {
        std::vector<std::string> out;
        for (const Row& r : rows_of(e, sql).rows) {
            std::string line;
            for (const Value& v : r) line += (line.empty() ? "" : "|") + v.display();
            out.push_back(line);
        }
        return out;
    };
    for (bool with_null : {false, true}) {
        Engine engine = must(storage::open(path));
        // EXPLAIN only plans: the Pk lookup it prints reads no rows.
        EXPECT_EQ(plan_of(engine, "EXPLAIN SELECT n FROM t WHERE id = 'nope'"),
                  "IndexSeek(table=t, col=id, lower=Included(nope), upper=Included(nope))\nProject\n");
        EXPECT_TRUE(engine.tables.row_cache.empty());
        const Rows all = rows_of(engine, "SELECT id, n FROM t");
        for (int round = 0; round < 2; ++round) {  // the second reads the keys the first made
            for (const Row& r : all.rows) {
                EXPECT_EQ(n_of(engine, "SELECT n FROM t WHERE id = '" + r[0].display() + "'"),
                          std::vector<std::string>{r[1].display()});
            }
        }
        EXPECT_TRUE(rows_of(engine, "SELECT n FROM t WHERE id = 'nope'").rows.empty());
        const std::string id = all.rows.front()[0].display();
        EXPECT_EQ(plan_of(engine, "EXPLAIN SELECT n FROM t WHERE id = '" + id + "'"),
                  "IndexSeek(table=t, col=id, lower=Included(" + id + "), upper=Included(" + id + "))\nProject\n");
        EXPECT_EQ(plan_of(engine, "EXPLAIN SELECT COUNT(*) FROM t WHERE g = 1"),
                  "IndexSeek(table=t, col=g, lower=Included(1), upper=Included(1))\nHashAggregate\nProject\n");
        EXPECT_EQ(n_of(engine, "SELECT COUNT(*) FROM t WHERE g = 1"), std::vector<std::string>{"3"});
        EXPECT_EQ(n_of(engine, "SELECT g, SUM(n) FROM t WHERE g >= 1 GROUP BY g ORDER BY g"),
                  (std::vector<std::string>{"1|11", "2|4"}));
        // A row without an entry in t_n sorts first: only the scan finds it.
        EXPECT_EQ(plan_of(engine, "EXPLAIN SELECT n FROM t ORDER BY n LIMIT 2"),
                  with_null ? "TableScan(t)\nExternalSort\nLimit(2)\nProject\n"
                            : "IndexSeek(table=t, col=n, lower=Unbounded, upper=Unbounded)\nProject\n");
        const std::vector<std::string> firsts = n_of(engine, "SELECT n FROM t ORDER BY n LIMIT 2");
        EXPECT_EQ(firsts, with_null ? (std::vector<std::string>{"NULL", "1"}) : (std::vector<std::string>{"1", "2"}));
        EXPECT_EQ(table_of(engine, "t"), nullptr);
        // Once a write has loaded the table, the same answers.
        ok(engine, "INSERT INTO t (n, g) VALUES (NULL, 3)");
        ok(engine, "DELETE FROM t WHERE g = 3");
        ASSERT_NE(table_of(engine, "t"), nullptr);
        EXPECT_EQ(n_of(engine, "SELECT n FROM t WHERE id = '" + id + "'"), std::vector<std::string>{all.rows.front()[1].display()});
        EXPECT_EQ(n_of(engine, "SELECT n FROM t ORDER BY n LIMIT 2"), firsts);
        EXPECT_EQ(n_of(engine, "SELECT COUNT(*) FROM t WHERE g = 1"), std::vector<std::string>{"3"});
        if (!with_null) {
            ok(engine, "INSERT INTO t (n, g) VALUES (NULL, 2)");
            ASSERT_TRUE(storage::save(engine).has_value());
        }
    }
}

// Correlated subqueries over tables read from the page file, with trees of
// several levels: outer rows in random key order (the cursor reused across
// them moves back and forth), outer keys no entry holds, and index entries
// whose rows are gone, whole leaves of them. Each answer equals the one the
// same engine gives once a write has loaded the tables.
// The value of a step that must succeed (a default one when it fails).
template <class T>
T value_of(Result<T> r) {
    if (!r) {
        ADD_FAILURE() << r.error().display();
        return T{};
    }
    return std::move(*r);
}

// Past a few seeks of one key a statement reads the index's live entries
// into a key hash, checked against the rows by one pass over the table's
// leaves: entries whose row is gone or now holds another key stay out, rows
// with a NULL key have none, and the hash holds the rows themselves only
// for statements that read them. Damage makes the seek road serve, with
// the errors it meets and no others.
TEST(SelectPageFile, CorrelatedSeeksReuseOneCursorAcrossOuterRows) {
    TempDir dir;
    const std::string path = dir.path("correlated.db");
    std::mt19937_64 rng(3);
    uint64_t null_run = 0;  // a row id in the middle of a run of rows with a NULL key
    {
        Engine engine = must(storage::open(path));
        ok(engine, "CREATE TABLE orders (ord_no INT, total FLOAT)");
        ok(engine, "CREATE TABLE order_items (ord_no INT, price FLOAT, note TEXT)");
        ok(engine, "CREATE INDEX items_ord ON order_items (ord_no)");
        std::vector<int> numbers(2500);
        for (int i = 0; i < 2500; ++i) numbers[i] = i;
        std::shuffle(numbers.begin(), numbers.end(), rng);
        std::string orders = "INSERT INTO orders VALUES ";
        for (size_t i = 0; i < numbers.size(); ++i) {
            const std::string ord = i % 50 == 0 ? "NULL" : std::to_string(numbers[i]);
            orders += (i ? ", (" : "(") + ord + ", " + std::to_string(numbers[i] + static_cast<int>(rng() % 5)) + ".5)";
        }
        ok(engine, orders);
        for (int batch = 0; batch < 6; ++batch) {
            std::string items = "INSERT INTO order_items VALUES ";
            for (int i = 0; i < 1000; ++i) {
                const bool null_key = batch == 3 ? i < 400 : rng() % 40 == 0;
                items += (i ? ", (" : "(") + (null_key ? std::string("NULL") : std::to_string(rng() % 2700)) + ", " +
                         std::to_string(rng() % 9) + ".0, '" + std::string(rng() % 200, 'x') + "')";
            }
            ok(engine, items);
        }
        null_run = 3000 + 200;
        // Rows gone while their entries stay: single ones and runs that
        // empty whole leaves.
        PageStore* store = engine.page_store();
        const uint64_t root = store->catalog.get("order_items")->root;
        for (int run = 0; run < 60; ++run) {
            const uint64_t first = 1 + rng() % 6000, len = run % 10 == 0 ? 150 : 1;
            if (first + len > 3000 && first < 3400) continue;
            for (uint64_t id = first; id < first + len; ++id)
                ASSERT_TRUE(BPlusTree::delete_key(*store->pager, root, keycodec::table_key(id)).has_value());
        }
        // Rows changed while their entries stay: the old key's entry goes
        // stale beside the new key's (a NULL key has none).
        for (int n = 0; n < 80; ++n) {
            const uint64_t id = 1 + rng() % 6000;
            auto row = value_of(store->fetch_row("order_items", Value::integer(static_cast<int64_t>(id))));
            if (!row || (*row)[0].is_null()) continue;
            (*row)[0] = n % 4 == 0 ? Value::null() : Value::integer(static_cast<int64_t>(rng() % 2700));
            ASSERT_TRUE(store->put_row("order_items", keycodec::table_key(id), *row).has_value());
            if (!(*row)[0].is_null()) {
                ASSERT_TRUE(store->insert_index_entries("order_items", id, *row).has_value());
            }
        }
        ASSERT_TRUE(storage::save(engine).has_value());
    }
    const std::string queries[] = {
        "SELECT o.ord_no FROM orders o WHERE o.total > (SELECT SUM(i.price) FROM order_items i WHERE i.ord_no = o.ord_no)",
        "SELECT COUNT(*) FROM orders o WHERE NOT EXISTS (SELECT * FROM order_items i WHERE i.ord_no = o.ord_no)",
        "SELECT o.ord_no FROM orders o WHERE EXISTS (SELECT * FROM order_items i WHERE i.ord_no = o.ord_no AND i.price > 6)",
        "SELECT o.ord_no FROM orders o WHERE o.ord_no IN (SELECT i.ord_no FROM order_items i WHERE i.ord_no = o.ord_no AND i.price < 3)",
        "SELECT o.ord_no, (SELECT COUNT(*) FROM order_items i WHERE i.ord_no > o.ord_no AND i.ord_no <= o.total) FROM orders o",
        "SELECT o.ord_no, (SELECT MAX(i.price) FROM order_items i WHERE i.ord_no = o.total) FROM orders o",
    };
    constexpr size_t kQueries = std::size(queries);
    // The first statement builds the key hash: the SUM keeps the rows in
    // it, NOT EXISTS (answered by the keys alone) does not, and the later
    // statements read it as built. The table's rows are met by one pass,
    // or read whole by worker threads first (a slot for every row then).
    size_t item_rows = 0;
    {
        Engine engine = must(storage::open(path));
        item_rows = static_cast<size_t>(rows_of(engine, "SELECT COUNT(*) FROM order_items").rows.front()[0].as_int());
    }
    std::vector<std::vector<std::vector<Cell>>> from_file[4];
    for (size_t run : {0, 1, 2, 3}) {
        const size_t first = run % 2;
        const bool threads = run >= 2;
        Engine engine = must(storage::open(path));
        engine.tables.parallel_rows = threads ? 1 : LoadedTables::kParallelRows;
        for (size_t k = 0; k < kQueries; ++k) {
            from_file[run].push_back(cells_of(rows_of(engine, queries[(first + k) % kQueries])));
            if (k > 0) continue;
            const PageTableFacts& facts = engine.tables.row_cache.facts["order_items"];
            auto hash = facts.key_hashes.find("items_ord");
            ASSERT_TRUE(hash != facts.key_hashes.end() && hash->second != nullptr);
            EXPECT_EQ(hash->second->rows.has_value(), first == 0);
            if (!threads) {
                EXPECT_LT(hash->second->rowids.size(), item_rows);
            } else if (std::thread::hardware_concurrency() >= 2) {
                EXPECT_EQ(hash->second->rowids.size(), item_rows);
            }
        }
        std::rotate(from_file[run].begin(), from_file[run].begin() + static_cast<std::ptrdiff_t>(kQueries - first),
                    from_file[run].end());
        EXPECT_EQ(table_of(engine, "order_items"), nullptr);
    }
    std::vector<std::vector<std::vector<Cell>>> loaded;
    {
        Engine engine = must(storage::open(path));
        ok(engine, "UPDATE order_items SET price = 0 WHERE ord_no = -1");
        ok(engine, "UPDATE orders SET total = 0 WHERE ord_no = -1");
        ASSERT_NE(table_of(engine, "order_items"), nullptr);
        for (const std::string& sql : queries) loaded.push_back(cells_of(rows_of(engine, sql)));
    }
    for (size_t q = 0; q < kQueries; ++q) {
        for (const auto& run : from_file) EXPECT_EQ(show(run[q]), show(loaded[q])) << queries[q];
    }

    // Each damage to a copy of the file as it stands now.
    const std::string clean = dir.path("correlated_clean.db");
    std::filesystem::copy_file(path, clean);
    auto restore = [&] { std::filesystem::copy_file(clean, path, std::filesystem::copy_options::overwrite_existing); };
    // A damaged leaf holding only rows with a NULL key: no seek reads it,
    // so the statements answer as before; the hash is left unbuilt.
    auto damage_leaf_of = [&](uint64_t rowid) {
        uint64_t leaf = 0;
        {
            Engine engine = must(storage::open(path));
            PageStore* store = value_of(engine.ensure_page_store());
            leaf = value_of(BPlusTree::find_leaf(*store->pager, store->catalog.get("order_items")->root,
                                             keycodec::table_key(rowid)));
        }
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(leaf * kPageSize + 100));
        file.put('\x7f');
    };
    damage_leaf_of(null_run);
    for (const size_t parallel_rows : {LoadedTables::kParallelRows, size_t{1}}) {
        Engine engine = must(storage::open(path));
        engine.tables.parallel_rows = parallel_rows;
        EXPECT_NE(err(engine, "SELECT COUNT(*) FROM order_items").find("page checksum mismatch"), std::string::npos);
        for (size_t q = 0; q < kQueries; ++q) EXPECT_EQ(show(cells_of(rows_of(engine, queries[q]))), show(loaded[q])) << queries[q];
        EXPECT_EQ(engine.tables.row_cache.facts["order_items"].key_hashes["items_ord"], nullptr);
    }
    // A damaged leaf with keyed rows, and a stored row of the wrong width:
    // every statement that seeks their keys fails as a single seek of one
    // of them does.
    for (const bool narrow : {false, true}) {
        restore();
        uint64_t rowid = 0;
        Value key;
        {
            Engine engine = must(storage::open(path));
            PageStore* store = value_of(engine.ensure_page_store());
            for (rowid = narrow ? 5000 : 1000;; ++rowid) {
                auto row = value_of(store->fetch_row("order_items", Value::integer(static_cast<int64_t>(rowid))));
                if (!row || (*row)[0].is_null() || (*row)[0].as_int() >= 2500) continue;
                key = (*row)[0];
                if (narrow) {
                    row->pop_back();
                    ASSERT_TRUE(store->put_row("order_items", keycodec::table_key(rowid), *row).has_value());
                    ASSERT_TRUE(storage::save(engine).has_value());
                }
                break;
            }
        }
        if (!narrow) damage_leaf_of(rowid);
        for (const size_t parallel_rows : {LoadedTables::kParallelRows, size_t{1}}) {
            Engine engine = must(storage::open(path));
            engine.tables.parallel_rows = parallel_rows;
            const std::string seek = err(engine, "SELECT * FROM order_items WHERE ord_no = " + key.display());
            EXPECT_NE(seek.find(narrow ? "holds 2 values for 3 columns" : "page checksum mismatch"), std::string::npos)
                << seek;
            for (size_t q : {0, 1, 2, 3}) EXPECT_EQ(err(engine, queries[q]), seek) << queries[q];
        }
    }
}

// The key hash of a table the workers read whole is built, while they read
// it, as a table without gaps would place its entries, and kept only when
// the rows confirm every entry; the outer table's scan is read by threads
// too. Each form of the items (NULL keys, outer keys without items, keys of
// several items) answers as the loaded tables and a shared handle do, with
// the rows untouched, a key changed in place (its old entry stale at the
// very place the guess puts it), rows deleted (gaps), or a damaged index or
// table leaf (the error a seek of a key there meets, the hash unbuilt).
TEST(SelectPageFile, CorrelatedSeeksKeepAGuessedKeyHashOnlyWhereTheRowsConfirmIt) {
    TempDir dir;
    const std::string path = dir.path("guess.db");
    std::mt19937_64 rng(11);
    {
        Engine engine = must(storage::open(path));
        ok(engine, "CREATE TABLE orders (ord_no INT, total FLOAT)");
        ok(engine, "CREATE TABLE order_items (ord_no INT, price FLOAT)");
        ok(engine, "CREATE INDEX items_ord ON order_items (ord_no)");
        std::string orders = "INSERT INTO orders VALUES ";
        for (int i = 0; i < 1200; ++i)
            orders += (i ? ", (" : "(") + (i % 97 == 0 ? std::string("NULL") : std::to_string(i)) + ", " +
                      std::to_string(i % 13) + ".5)";
        ok(engine, orders);
        std::string items = "INSERT INTO order_items VALUES ";
        for (int i = 0; i < 3000; ++i) {
            const uint64_t pick = rng() % 20;
            const std::string key = pick == 0 ? "NULL" : std::to_string(rng() % (pick < 10 ? 1500 : 40));
            items += (i ? ", (" : "(") + key + ", " + std::to_string(rng() % 9) + ".0)";
        }
        ok(engine, items);
        ASSERT_TRUE(storage::save(engine).has_value());
    }
    const std::string clean = dir.path("guess_clean.db");
    std::filesystem::copy_file(path, clean);
    const std::string queries[] = {
        "SELECT COUNT(*) FROM orders o WHERE NOT EXISTS (SELECT * FROM order_items i WHERE i.ord_no = o.ord_no)",
        "SELECT o.ord_no FROM orders o WHERE EXISTS (SELECT * FROM order_items i WHERE i.ord_no = o.ord_no)",
        "SELECT o.ord_no, (SELECT SUM(i.price) FROM order_items i WHERE i.ord_no = o.ord_no) FROM orders o",
    };
    // The leaf of the table or of the index that holds row `rowid`.
    auto leaf_of = [&](Engine& engine, uint64_t rowid, bool index) {
        PageStore* store = value_of(engine.ensure_page_store());
        const CatalogEntry* entry = store->catalog.get("order_items");
        if (!index) return value_of(BPlusTree::find_leaf(*store->pager, entry->root, keycodec::table_key(rowid)));
        const Row row = value_of(store->fetch_row("order_items", Value::integer(static_cast<int64_t>(rowid)))).value();
        const keycodec::Bytes key = keycodec::index_key(std::span<const Value>(&row[0], 1), rowid);
        return value_of(BPlusTree::find_leaf(*store->pager, entry->indexes.front().root, key));
    };
    enum class Change { None, KeyInPlace, Deleted, IndexLeaf, TableLeaf };
    for (const Change change : {Change::None, Change::KeyInPlace, Change::Deleted, Change::IndexLeaf, Change::TableLeaf}) {
        std::filesystem::copy_file(clean, path, std::filesystem::copy_options::overwrite_existing);
        const uint64_t rowid = 1700;  // keyed: the keys are drawn again until it is
        Value key;
        uint64_t damaged = 0;
        {
            Engine engine = must(storage::open(path));
            PageStore* store = value_of(engine.ensure_page_store());
            Row row = value_of(store->fetch_row("order_items", Value::integer(static_cast<int64_t>(rowid)))).value();
            ASSERT_FALSE(row[0].is_null());
            key = row[0];
            if (change == Change::KeyInPlace) {
                row[0] = Value::integer(1499);
                ASSERT_TRUE(store->put_row("order_items", keycodec::table_key(rowid), row).has_value());
                ASSERT_TRUE(store->insert_index_entries("order_items", rowid, row).has_value());
            } else if (change == Change::Deleted) {
                ok(engine, "DELETE FROM order_items WHERE price = 3 OR ord_no = " + key.display());
            } else if (change != Change::None) {
                damaged = leaf_of(engine, rowid, change == Change::IndexLeaf);
            }
            ASSERT_TRUE(storage::save(engine).has_value());
        }
        if (damaged != 0) {
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(damaged * kPageSize + 100));
            file.put('\x7f');
        }
        const std::string seek = "SELECT price FROM order_items WHERE ord_no = " + key.display();
        if (damaged != 0) {
            for (const size_t parallel_rows : {LoadedTables::kParallelRows, size_t{1}}) {
                Engine engine = must(storage::open(path));
                engine.tables.parallel_rows = parallel_rows;
                const std::string error = err(engine, seek);
                EXPECT_NE(error.find("page checksum mismatch"), std::string::npos) << error;
                for (const std::string& sql : queries) EXPECT_EQ(err(engine, sql), error) << sql;
                EXPECT_EQ(engine.tables.row_cache.facts["order_items"].key_hashes["items_ord"], nullptr);
            }
            continue;
        }
        std::vector<std::string> loaded;
        {
            Engine engine = must(storage::open(path));
            ok(engine, "UPDATE order_items SET price = 0 WHERE ord_no = -1");
            ok(engine, "UPDATE orders SET total = 0 WHERE ord_no = -1");
            for (const std::string& sql : queries) loaded.push_back(show(cells_of(rows_of(engine, sql))));
        }
        {
            SharedDb shared{must(storage::open(path))};
            for (size_t q = 0; q < std::size(queries); ++q)
                EXPECT_EQ(show(cells_of(rows_of(shared, queries[q]))), loaded[q]) << queries[q];
        }
        for (const size_t parallel_rows : {LoadedTables::kParallelRows, size_t{1}}) {
            Engine engine = must(storage::open(path));
            engine.tables.parallel_rows = parallel_rows;
            for (size_t q = 0; q < std::size(queries); ++q)
                EXPECT_EQ(show(cells_of(rows_of(engine, queries[q]))), loaded[q]) << queries[q];
            EXPECT_NE(engine.tables.row_cache.facts["order_items"].key_hashes["items_ord"], nullptr);
            EXPECT_EQ(table_of(engine, "order_items"), nullptr);
        }
    }
}

// A correlated subquery is bound once, on its first outer row: its errors
// keep their texts, and one that never runs (no outer row) raises none. A
// subquery nested in one that names nothing outside it still resolves its
// names over every level around it, the outermost first.
TEST(SelectSubqueries, PreparedCorrelatedSubqueriesKeepTheirErrors) {
    Engine e;
    ok(e, "CREATE TABLE o (id INT, k INT)");
    ok(e, "CREATE TABLE none (id INT, k INT)");
    ok(e, "CREATE TABLE s (id INT, k INT)");
    ok(e, "CREATE TABLE m (id INT, w INT)");
    ok(e, "CREATE INDEX s_k ON s (k)");
    ok(e, "INSERT INTO o VALUES (1, 1), (2, 2), (3, NULL)");
    ok(e, "INSERT INTO s VALUES (10, 1), (11, 1), (12, 2)");
    ok(e, "INSERT INTO m VALUES (20, 2), (21, 5)");
    const std::pair<const char*, const char*> cases[] = {
        // k is a column of o and of s, not of m between them.
        {"SELECT id FROM o WHERE EXISTS (SELECT * FROM m WHERE m.w = 2 AND EXISTS (SELECT * FROM s WHERE k = m.w))",
         "Execution error: ambiguous column 'k' \xE2\x80\x94 qualify with table name or alias"},
        {"SELECT id FROM o WHERE EXISTS (SELECT m.w FROM m WHERE EXISTS (SELECT * FROM s WHERE s.k = m.w) ORDER BY id)",
         "Execution error: ambiguous column 'id' \xE2\x80\x94 qualify with table name or alias"},
        {"SELECT id FROM o WHERE EXISTS (SELECT * FROM s WHERE s.nope = o.k)",
         "Execution error: column 'nope' not found in table 's'"},
        {"SELECT id FROM o WHERE EXISTS (SELECT * FROM gone WHERE gone.k = o.k)", "Execution error: table 'gone' not found"},
        {"SELECT id FROM o WHERE EXISTS (SELECT * FROM s WHERE id = o.k)",
         "Execution error: ambiguous column 'id' \xE2\x80\x94 qualify with table name or alias"},
        {"SELECT id, (SELECT s.id FROM s WHERE s.k = o.k) FROM o", "Execution error: subquery returned more than one row"},
    };
    for (const auto& [sql, want] : cases) EXPECT_EQ(err(e, sql), want) << sql;
    for (const auto& [sql, want] : cases) {
        std::string on_empty = sql;
        on_empty.replace(on_empty.find("FROM o"), 6, "FROM none AS o");
        EXPECT_TRUE(rows_of(e, on_empty).rows.empty()) << on_empty;
    }
    EXPECT_EQ(cells_of(rows_of(e, "SELECT id, (SELECT s.id FROM s WHERE s.k = o.k AND s.id > 10) FROM o")),
              cells_of(rows_of(e, "SELECT id, (SELECT MAX(s.id) FROM s WHERE s.k = o.k AND s.id > 10) FROM o")));
    const std::pair<const char*, std::vector<int64_t>> nested[] = {
        // s.k names the outermost s, not the s called x: correlated two levels down.
        {"SELECT id FROM s WHERE EXISTS (SELECT * FROM s AS x WHERE EXISTS (SELECT * FROM m WHERE m.w = s.k))", {12}},
        {"SELECT id FROM o WHERE EXISTS (SELECT * FROM m WHERE EXISTS (SELECT * FROM s WHERE s.k = o.k))", {1, 2}},
        {"SELECT id FROM o WHERE EXISTS (SELECT * FROM m WHERE EXISTS (SELECT * FROM s WHERE s.k = m.w))", {1, 2, 3}},
    };
    for (const auto& [sql, want] : nested) {
        std::vector<int64_t> ids;
        for (const Row& row : rows_of(e, sql).rows) ids.push_back(row[0].as_int());
        EXPECT_EQ(ids, want) << sql;
    }
}

// The growth of the peak resident size while `run` works, in KiB, taken in
// a child process: a forked child's peak starts at its size at the fork, so
// nothing the test did before counts. None when the child fails.
std::optional<long> peak_growth_kib(const std::function<bool()>& run) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        ::close(fds[0]);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const bool ran = run();
        ::getrusage(RUSAGE_SELF, &after);
        const long growth = after.ru_maxrss - before.ru_maxrss;
        const bool sent = ::write(fds[1], &growth, sizeof growth) == sizeof growth;
        ::_exit(ran && sent ? 0 : 1);
    }
    ::close(fds[1]);
    long growth = 0;
    const bool got = ::read(fds[0], &growth, sizeof growth) == sizeof growth;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return growth;
}

// `levels` subqueries, each in the WHERE of the one around it, over t as t1,
// t2, ...: `opening(k)` opens level k + 1 in level k's WHERE, after level
// k's own test `own(k)` (empty for none; level 0 is the statement).
std::string nest(int levels, const std::function<std::string(int)>& opening,
                 const std::function<std::string(int)>& own) {
    std::string sql = "SELECT COUNT(*) FROM t AS t0";
    for (int k = 0; k <= levels; ++k) {
        std::string where = own(k);
        if (k < levels) where += (where.empty() ? "" : " AND ") + opening(k);
        if (!where.empty()) sql += " WHERE " + where;
    }
    return sql + std::string(static_cast<size_t>(levels), ')');
}

// Subqueries that name nothing outside them run once per statement at any
// depth, and so does a level whose own subquery names only that level; a
// deep chain of correlated subqueries holds each outer row once, not a copy
// per level. Run per outer row at every level, the first statements take
// minutes; copied into every level, the 1 MiB row takes gigabytes.
TEST(SelectSubqueries, NestedSubqueriesStayWithinTimeAndMemoryBudgets) {
    Engine e;
    ok(e, "CREATE TABLE t (a INT, b TEXT)");
    ok(e, "CREATE INDEX t_a ON t (a)");
    std::string insert = "INSERT INTO t VALUES (0, 'x')";
    for (int i = 1; i < 1000; ++i) insert += ", (" + std::to_string(i) + ", 'x')";
    ok(e, insert);
    auto t = [](int k) { return "t" + std::to_string(k); };
    auto exists = [&](int k) { return "EXISTS (SELECT * FROM t AS " + t(k + 1); };
    auto none = [](int) { return std::string(); };
    const std::pair<std::string, int64_t> timed[] = {
        {nest(4, exists, none), 1000},
        {nest(4, [&](int k) { return t(k) + ".a IN (SELECT " + t(k + 1) + ".a FROM t AS " + t(k + 1); },
              [&](int k) { return k == 0 ? "" : t(k) + ".a < " + std::to_string(1000 - k); }),
         996},
        // MIN is 0 at the bottom and one more at each level up: 3 at the top.
        {nest(4, [&](int k) { return t(k) + ".a > (SELECT MIN(" + t(k + 1) + ".a) FROM t AS " + t(k + 1); }, none),
         996},
        {nest(2, exists, [&](int k) { return k == 1 ? "t1.a > 990" : k == 2 ? "t2.a = t1.a" : ""; }), 1000},
    };
    for (const auto& [sql, want] : timed) {
        const auto start = std::chrono::steady_clock::now();
        Rows rows = rows_of(e, sql);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(rows.rows.size(), 1u) << sql;
        EXPECT_EQ(rows.rows[0][0].as_int(), want) << sql;
        EXPECT_LT(took.count(), 1.0) << sql;
    }

    Engine big;
    ok(big, "CREATE TABLE t (a INT, b TEXT)");
    ok(big, "INSERT INTO t VALUES (1, '" + std::string(1 << 20, 'x') + "')");
    constexpr int kLevels = 100;
    const std::string deep[] = {
        nest(kLevels, exists, none),
        nest(kLevels, exists, [&](int k) { return k == 0 ? "" : t(k) + ".a = " + t(k - 1) + ".a"; }),
    };
    for (const std::string& sql : deep) {
        ASSERT_LT(sql.size(), 10000u);
        auto growth = peak_growth_kib([&] {
            auto r = run(big, sql);
            const Rows* rows = r ? std::get_if<Rows>(&*r) : nullptr;
            return rows != nullptr && rows->rows.size() == 1 && rows->rows[0][0].as_int() == 1;
        });
        ASSERT_TRUE(growth.has_value()) << sql;
        // A few MiB a level at most: the address sanitizer keeps freed
        // memory in quarantine, up to 256 MiB by default.
        EXPECT_LT(*growth, kLevels * 4 * 1024L) << sql;
    }
}

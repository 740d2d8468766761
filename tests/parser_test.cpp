#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "statement_text_util.h"

namespace zp = zembrel::parser;
using zembrel::ErrorKind;
using zembrel::Value;

namespace {

using statement_text::show;

// The tree's text form, or "error: {message}" (always of kind Parse).
std::string parse(std::string_view sql) {
    auto st = zp::parse_sql(sql);
    if (!st) {
        EXPECT_EQ(st.error().kind, ErrorKind::Parse) << sql;
        return "error: " + st.error().message;
    }
    return show(*st);
}

struct Case {
    std::string sql;
    std::string expected;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(parse(c.sql), c.expected) << "input: " << c.sql;
}

// ---------------------------------------------------------------------------

TEST(Parser, TreesAndMessages) {
    const std::string p = "SELECT * FROM t WHERE ";
    run_cases({
        // Statement dispatch and end.
        {"", "error: unexpected token: Eof"},
        {"-- nothing", "error: unexpected token: Eof"},
        {";", "error: unexpected token: Semicolon"},
        {"HELLO", "error: unexpected token: Identifier(\"HELLO\")"},
        {"SELECT * FROM t; DROP TABLE t", "SELECT * FROM t"},
        {"SELECT * FROM t; garbage ! here", "error: unexpected character: '!'"},  // the lexer sees it all
        {"COMMIT;;", "Commit"},
        {"BEGIN", "Begin"},
        {"begin transaction", "Begin"},
        {"BEGIN Transaction;", "Begin"},
        {"COMMIT WORK", "Commit"},
        {"commit transaction", "Commit"},
        {"ROLLBACK work;", "Rollback"},
        {"BEGIN WORK", "error: expected Eof, got Identifier(\"WORK\")"},
        {"COMMIT WORK WORK", "error: expected Eof, got Identifier(\"WORK\")"},
        {"ROLLBACK TO x", "error: expected Eof, got Identifier(\"TO\")"},
        // Trailing text after a complete statement is an error, not ignored.
        {"DELETE FROM t WHER id = 1", "error: expected Eof, got Identifier(\"WHER\")"},
        {"UPDATE t SET a = -5 - 1 WHERE id = 3", "error: expected Eof, got Minus"},
        {"SELECT * FROM t LIMIT 10 OFFSET 20", "error: expected Eof, got Identifier(\"OFFSET\")"},
        {"SELECT * FROM a, b", "error: expected Eof, got Comma"},
        {"DROP TABLE IF EXISTS t", "error: expected Eof, got Exists"},
        {"SELECT * FROM t ORDER BY a WHERE b = 1", "error: expected Eof, got Where"},
        {"SELECT * FROM t HAVING a = 1", "error: expected Eof, got Identifier(\"a\")"},  // HAVING is an alias,
        {"SELECT * FROM t x y", "error: expected Eof, got Identifier(\"y\")"},
        {"ALTER TABLE t ADD COLUMN c INT PRIMARY KEY", "error: expected Eof, got Identifier(\"PRIMARY\")"},
        {"SELECT * FROM t )", "error: expected Eof, got RightParen"},
        {"SELECT * FROM t;", "SELECT * FROM t"},
        {"EXPLAIN SELECT a FROM t", "Explain SELECT [a] FROM t"},
        {"EXPLAIN DELETE FROM t", "error: expected Select, got Delete"},
        {"SELECT * FROM t WHERE a = 1 ?", "error: expected Eof, got Question"},
        // CREATE, DROP, TRUNCATE, ALTER.
        {"CREATE TABLE t (id PK, name STRING(40) NOT NULL, d DATE DEFAULT (TODAY), s STRING HASH)",
         "CreateTable t [(id Pk), (name Str(40) notnull), (d Date default=Today), (s Str(255) hash)]"},
        {"create table T (a integer, b varchar, c real, d double, e boolean, f datetime, g string(0))",
         "CreateTable T [(a Int), (b Text), (c Float), (d Float), (e Bool), (f DateTime), (g Str(0))]"},
        {"CREATE TABLE t (a INT DEFAULT (NULL), b INT)", "CreateTable t [(a Int default=Null), (b Int)]"},
        {"CREATE TABLE t (a INT NOT NULL NULL, b INT NULL NOT NULL)", "CreateTable t [(a Int), (b Int notnull)]"},
        {"CREATE TABLE t (a INT DEFAULT (1) DEFAULT (-2.5) HASH HASH)",
         "CreateTable t [(a Int default=Float(-2.5) hash)]"},
        {"CREATE TABLE t (a TEXT DEFAULT ('x'), b BOOL DEFAULT (TRUE))",
         "CreateTable t [(a Text default=Text(\"x\")), (b Bool default=Bool(true))]"},
        {"CREATE TABLE t (a STRING(8000))", "CreateTable t [(a Str(8000))]"},
        {"CREATE UNIQUE TABLE t (a INT)", "CreateTable t [(a Int)]"},
        {"CREATE TABLE t (a VARCHAR(20))", "error: expected RightParen, got LeftParen"},
        {"CREATE TABLE t (a STRING(8001))", "error: STRING size must be 0-8000, got 8001"},
        {"CREATE TABLE t (a STRING(-1))", "error: expected size, got Minus"},
        {"CREATE TABLE t (a STRING(x))", "error: expected size, got Identifier(\"x\")"},
        {"CREATE TABLE t (a STRING(10)", "error: expected RightParen, got Eof"},
        {"CREATE TABLE t (a INT PRIMARY KEY)", "error: expected RightParen, got Identifier(\"PRIMARY\")"},
        {"CREATE TABLE t (a)", "error: expected data type, got RightParen"},
        {"CREATE TABLE t ()", "error: expected identifier, got RightParen"},
        {"CREATE TABLE t (a INT,)", "error: expected identifier, got RightParen"},
        {"CREATE TABLE date (a INT)", "error: expected identifier, got Date"},
        {"CREATE TABLE t (count INT)", "error: expected identifier, got Count"},
        {"CREATE TABLE t (a INT DEFAULT 5)", "error: expected LeftParen, got IntegerLiteral(5)"},
        {"CREATE TABLE t (a INT DEFAULT (TODAY)", "error: expected RightParen, got Eof"},
        {"CREATE TABLE t (a INT NOT 5)", "error: expected Null, got IntegerLiteral(5)"},
        {"CREATE VIEW v", "error: expected TABLE or INDEX after CREATE, got Identifier(\"VIEW\")"},
        {"CREATE", "error: expected TABLE or INDEX after CREATE, got Eof"},
        {"CREATE INDEX i ON t (a, b)", "CreateIndex i ON t [a, b]"},
        {"CREATE UNIQUE INDEX i ON t (a)", "CreateIndex unique i ON t [a]"},
        {"CREATE INDEX i t (a)", "error: expected On, got Identifier(\"t\")"},
        {"CREATE INDEX i ON t ()", "error: expected identifier, got RightParen"},
        {"DROP TABLE t", "DropTable t"},
        {"DROP INDEX i;", "DropIndex i"},
        {"DROP VIEW v", "error: expected TABLE or INDEX after DROP, got Identifier(\"VIEW\")"},
        {"DROP TABLE", "error: expected identifier, got Eof"},
        {"TRUNCATE TABLE t", "Truncate t"},
        {"TRUNCATE t", "error: expected Table, got Identifier(\"t\")"},
        {"ALTER TABLE t ADD COLUMN c INT", "AlterTable t AddColumn (c Int)"},
        {"ALTER TABLE t ADD c STRING(5) NOT NULL DEFAULT ('x')",
         "AlterTable t AddColumn (c Str(5) default=Text(\"x\") notnull)"},
        {"ALTER TABLE t DROP COLUMN c", "AlterTable t DropColumn c"},
        {"ALTER TABLE t DROP c", "AlterTable t DropColumn c"},
        {"ALTER TABLE t MODIFY COLUMN c TEXT HASH", "AlterTable t ModifyColumn (c Text hash)"},
        {"ALTER TABLE t MODIFY c DATE", "AlterTable t ModifyColumn (c Date)"},
        {"ALTER TABLE t SET MERGE POLICY DEFAULT", "AlterTable t SetMergePolicy <default>"},
        {"ALTER TABLE t SET MERGE POLICY 'LWW'", "AlterTable t SetMergePolicy lww"},
        {"ALTER TABLE t SET MERGE POLICY 'Field_Merge'", "AlterTable t SetMergePolicy field_merge"},
        {"ALTER TABLE t SET merge Policy Manual", "AlterTable t SetMergePolicy manual"},
        {"ALTER TABLE t SET MERGE POLICY whatever", "AlterTable t SetMergePolicy whatever"},
        {"ALTER TABLE t SET POLICY lww", "error: expected SET MERGE POLICY, got \"POLICY\""},
        {"ALTER TABLE t SET MERGER POLICY lww", "error: expected SET MERGE POLICY, got \"MERGER\""},
        {"ALTER TABLE t SET MERGE POLICIES lww", "error: expected SET MERGE POLICY, got \"POLICIES\""},
        {"ALTER TABLE t SET DEFAULT", "error: expected identifier, got Default"},
        {"ALTER TABLE t SET MERGE POLICY 5",
         "error: expected merge policy (lww, error, field_merge, manual or DEFAULT), got IntegerLiteral(5)"},
        {"ALTER TABLE t SET MERGE POLICY",
         "error: expected merge policy (lww, error, field_merge, manual or DEFAULT), got Eof"},
        {"ALTER TABLE t RENAME TO u", "error: expected ADD, DROP, MODIFY or SET MERGE POLICY, got Identifier(\"RENAME\")"},
        {"ALTER t ADD c INT", "error: expected Table, got Identifier(\"t\")"},
        // INSERT, UPDATE, DELETE and literals.
        {"INSERT INTO t VALUES (1)", "Insert t * [[Int(1)]]"},
        {"INSERT INTO t (a) VALUES (1), (2)", "Insert t [a] [[Int(1)], [Int(2)]]"},
        {"INSERT INTO t (a, b) VALUES (1.5, 'x', TRUE, FALSE, NULL, -5, -2.5)",
         "Insert t [a, b] [[Float(1.5), Text(\"x\"), Bool(true), Bool(false), Null, Int(-5), Float(-2.5)]]"},
        {"INSERT INTO t VALUES (9223372036854775807, -9223372036854775807)",
         "Insert t * [[Int(9223372036854775807), Int(-9223372036854775807)]]"},
        {"INSERT INTO t VALUES ('2026-09-03')", "Insert t * [[Text(\"2026-09-03\")]]"},
        {"INSERT INTO t VALUES (2026-09-03)",
         "error: unquoted date near 2026-\xE2\x80\xA6: dates go in single quotes, e.g. '2026-09-03'"},
        {"INSERT INTO t VALUES (5-1)", "error: arithmetic is not supported near 5 - \xE2\x80\xA6: write the final value"},
        {"INSERT INTO t VALUES (5 - 1 - x)",
         "error: arithmetic is not supported near 5 - \xE2\x80\xA6: write the final value"},
        {"INSERT INTO t VALUES (-5 - 3)", "error: expected RightParen, got Minus"},
        {"INSERT INTO t VALUES (5 - 'a')", "error: expected RightParen, got Minus"},
        {"INSERT INTO t VALUES ()", "error: expected value, got RightParen"},
        {"INSERT INTO t VALUES (1,)", "error: expected value, got RightParen"},
        {"INSERT INTO t VALUES (- 'a')", "error: expected number after '-', got StringLiteral(\"a\")"},
        {"INSERT INTO t VALUES (1), ", "error: expected LeftParen, got Eof"},
        {"INSERT INTO t SELECT * FROM u", "error: expected Values, got Select"},
        {"INSERT INTO t () VALUES (1)", "error: expected identifier, got RightParen"},
        {"INSERT t VALUES (1)", "error: expected Into, got Identifier(\"t\")"},
        {"INSERT INTO t VALUES (?)", "error: expected value, got Question"},
        {"UPDATE t SET a = 1", "Update t [a=Int(1)]"},
        {"UPDATE t SET a = 1, b = 'x' WHERE id = 3", "Update t [a=Int(1), b=Text(\"x\")] WHERE (id = Int(3))"},
        {"UPDATE t SET a = b", "error: expected value, got Identifier(\"b\")"},
        {"UPDATE t SET a = a + 1", "error: unexpected character: '+'"},
        {"UPDATE t SET a 1", "error: expected Equals, got IntegerLiteral(1)"},
        {"UPDATE t a = 1", "error: expected Set, got Identifier(\"a\")"},
        {"UPDATE t SET a = 1 WHERE", "error: expected identifier, got Eof"},
        {"DELETE FROM t", "Delete t"},
        {"DELETE FROM t WHERE a IS NULL", "Delete t WHERE (a IS NULL)"},
        {"DELETE t", "error: expected From, got Identifier(\"t\")"},
        // Select list.
        {"SELECT * FROM t", "SELECT * FROM t"},
        {"SELECT a FROM t", "SELECT [a] FROM t"},
        {"SELECT a, t.b FROM t", "SELECT [a, t.b] FROM t"},
        {"SELECT COUNT(*), count(t.a), SUM(b) OVER (PARTITION BY g ORDER BY d DESC ROWS BETWEEN 2 PRECEDING AND "
         "CURRENT ROW) FROM t",
         "SELECT [Count(*), Count(t.a), Sum(b) OVER(partition=[g] order=[d DESC] rows=Preceding(2)..CurrentRow)] "
         "FROM t"},
        {"SELECT MIN(a), MAX(a), AVG(a), SUM(a) FROM t", "SELECT [Min(a), Max(a), Avg(a), Sum(a)] FROM t"},
        {"SELECT ROW_NUMBER() OVER () FROM t", "SELECT [RowNumber() OVER(partition=[] order=[])] FROM t"},
        {"SELECT RANK() OVER (PARTITION BY a, b ORDER BY c, d ASC) FROM t",
         "SELECT [Rank() OVER(partition=[a, b] order=[c, d])] FROM t"},
        {"SELECT SUM(x) OVER (ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING) FROM t",
         "SELECT [Sum(x) OVER(partition=[] order=[] rows=UnboundedPreceding..UnboundedFollowing)] FROM t"},
        {"SELECT SUM(x) OVER (ROWS BETWEEN CURRENT ROW AND UNBOUNDED PRECEDING) FROM t",
         "SELECT [Sum(x) OVER(partition=[] order=[] rows=CurrentRow..UnboundedPreceding)] FROM t"},
        {"SELECT SUM(x) OVER (ROWS BETWEEN 0 FOLLOWING AND 3 FOLLOWING) FROM t",
         "SELECT [Sum(x) OVER(partition=[] order=[] rows=Following(0)..Following(3))] FROM t"},
        {"SELECT (SELECT MAX(b) FROM u) FROM t", "SELECT [(SELECT [Max(b)] FROM u)] FROM t"},
        {"SELECT a, * FROM t", "error: expected identifier, got Asterisk"},
        {"SELECT *, a FROM t", "error: expected From, got Comma"},
        {"SELECT a AS x FROM t", "error: expected From, got As"},
        {"SELECT 1 FROM t", "error: expected identifier, got IntegerLiteral(1)"},
        {"SELECT DISTINCT a FROM t", "error: expected From, got Identifier(\"a\")"},
        {"SELECT t.* FROM t", "error: expected identifier, got Asterisk"},
        {"SELECT FROM t", "error: expected identifier, got From"},
        {"SELECT a", "error: expected From, got Eof"},
        {"SELECT a FROM", "error: expected identifier, got Eof"},
        {"SELECT SUM(*) FROM t", "error: only COUNT accepts '*', got Sum"},
        {"SELECT AVG(*) FROM t", "error: only COUNT accepts '*', got Avg"},
        {"SELECT COUNT(*) OVER () FROM t", "error: OVER is only supported with SUM for window aggregates, got Count"},
        {"SELECT MAX(a) OVER () FROM t", "error: OVER is only supported with SUM for window aggregates, got Max"},
        {"SELECT COUNT(a, b) FROM t", "error: expected RightParen, got Comma"},
        {"SELECT COUNT a FROM t", "error: expected LeftParen, got Identifier(\"a\")"},
        {"SELECT ROW_NUMBER() FROM t", "error: expected Over, got From"},
        {"SELECT ROW_NUMBER(a) OVER () FROM t", "error: expected RightParen, got Identifier(\"a\")"},
        {"SELECT RANK() OVER (ORDER BY a PARTITION BY b) FROM t", "error: expected RightParen, got Partition"},
        {"SELECT RANK() OVER ORDER BY a FROM t", "error: expected LeftParen, got Order"},
        {"SELECT SUM(a) OVER (ROWS 2 PRECEDING) FROM t", "error: expected Between, got IntegerLiteral(2)"},
        {"SELECT SUM(a) OVER (ROWS BETWEEN UNBOUNDED AND CURRENT ROW) FROM t",
         "error: expected PRECEDING or FOLLOWING after UNBOUNDED, got And"},
        {"SELECT SUM(a) OVER (ROWS BETWEEN 2 AND CURRENT ROW) FROM t",
         "error: expected PRECEDING or FOLLOWING after integer, got And"},
        {"SELECT SUM(a) OVER (ROWS BETWEEN -1 PRECEDING AND CURRENT ROW) FROM t",
         "error: expected frame bound, got Minus"},
        {"SELECT SUM(a) OVER (ROWS BETWEEN CURRENT AND CURRENT ROW) FROM t", "error: expected Row, got And"},
        {"SELECT SUM(a) OVER (ROWS BETWEEN CURRENT ROW CURRENT ROW) FROM t", "error: expected And, got Current"},
        {"SELECT SUM(a) OVER (RANGE BETWEEN CURRENT ROW AND CURRENT ROW) FROM t",
         "error: expected RightParen, got Identifier(\"RANGE\")"},
        {"SELECT (a) FROM t", "error: expected Select, got Identifier(\"a\")"},
        {"SELECT (SELECT a FROM u FROM t", "error: expected RightParen, got From"},
        // FROM, joins and clauses.
        {"SELECT * FROM t x", "SELECT * FROM t AS x"},
        {"SELECT * FROM t AS x", "SELECT * FROM t AS x"},
        {"SELECT * FROM t AS", "error: expected identifier, got Eof"},
        {"SELECT * FROM t AS WHERE", "error: expected identifier, got Where"},
        {"SELECT * FROM a JOIN b ON a.id = b.id LEFT JOIN c ON b.k = c.k",
         "SELECT * FROM a INNER JOIN b ON (a.id = b.id) LEFT JOIN c ON (b.k = c.k)"},
        {"SELECT * FROM a x INNER JOIN b AS y ON x.i = y.i RIGHT JOIN c ON c.k = 1",
         "SELECT * FROM a AS x INNER JOIN b AS y ON (x.i = y.i) RIGHT JOIN c ON (c.k = Int(1))"},
        {"SELECT * FROM a LEFT OUTER JOIN b ON a.i = b.i", "error: expected Join, got Identifier(\"OUTER\")"},
        {"SELECT * FROM a INNER b ON a.i = b.i", "error: expected Join, got Identifier(\"b\")"},
        // Join words that are no keywords are refused, not read as an alias.
        {"SELECT * FROM c FULL JOIN o ON c.id = o.cid", "error: FULL JOIN is not supported"},
        {"SELECT * FROM c full outer join o ON c.id = o.cid", "error: FULL JOIN is not supported"},
        {"SELECT * FROM c Cross JOIN o", "error: CROSS JOIN is not supported"},
        {"SELECT * FROM c NATURAL LEFT JOIN o ON c.id = o.cid", "error: NATURAL JOIN is not supported"},
        {"SELECT * FROM c JOIN o ON c.id = o.cid OUTER JOIN p ON p.k = 1", "error: OUTER JOIN is not supported"},
        {"SELECT * FROM c JOIN o natural JOIN p ON p.k = 1", "error: NATURAL JOIN is not supported"},
        {"SELECT * FROM c AS x FULL JOIN o ON x.id = o.cid", "error: FULL JOIN is not supported"},
        {"SELECT * FROM c AS full JOIN o ON full.id = o.cid", "SELECT * FROM c AS full INNER JOIN o ON (full.id = o.cid)"},
        {"SELECT * FROM c cross WHERE cross.a = 1", "SELECT * FROM c AS cross WHERE (cross.a = Int(1))"},
        {"SELECT * FROM c full LIMIT 1", "SELECT * FROM c AS full LIMIT 1"},
        {"SELECT * FROM c fuller JOIN o ON c.id = o.cid", "SELECT * FROM c AS fuller INNER JOIN o ON (c.id = o.cid)"},
        {"SELECT * FROM a JOIN b", "error: expected On, got Eof"},
        {"SELECT * FROM a JOIN b ON", "error: expected identifier, got Eof"},
        {"SELECT a FROM t WHERE a = 1 GROUP BY a, t.b ORDER BY a DESC, b LIMIT 5",
         "SELECT [a] FROM t WHERE (a = Int(1)) GROUP BY [a, t.b] ORDER BY [a DESC, b] LIMIT 5"},
        {"SELECT * FROM t ORDER BY a ASC", "SELECT * FROM t ORDER BY [a]"},
        {"SELECT * FROM t LIMIT 0", "SELECT * FROM t LIMIT 0"},
        {"SELECT * FROM t LIMIT 9223372036854775807", "SELECT * FROM t LIMIT 9223372036854775807"},
        {"SELECT * FROM t LIMIT -1", "error: expected integer after LIMIT, got Minus"},
        {"SELECT * FROM t LIMIT 1.5", "error: expected integer after LIMIT, got FloatLiteral(1.5)"},
        {"SELECT * FROM t LIMIT", "error: expected integer after LIMIT, got Eof"},
        {"SELECT * FROM t GROUP BY a,", "error: expected identifier, got Eof"},
        {"SELECT * FROM t GROUP a", "error: expected By, got Identifier(\"a\")"},
        {"SELECT * FROM t ORDER BY", "error: expected identifier, got Eof"},
        {"SELECT * FROM t WHERE EXISTS (SELECT * FROM u, v)", "error: expected RightParen, got Comma"},
        {"SELECT * FROM t WHERE EXISTS (SELECT * FROM u HAVING x)",
         "error: expected RightParen, got Identifier(\"x\")"},
        // Conditions.
        {p + "a BETWEEN 1 AND 2", "error: expected comparison operator, got Between"},
        {p + "a LIKE 'x'", "error: expected comparison operator, got Identifier(\"LIKE\")"},
        {p + "a NOT LIKE 'x'", "error: expected IN after NOT, got Identifier(\"LIKE\")"},
        {p + "a", "error: expected comparison operator, got Eof"},
        {p + "a IN (SELECT b FROM u)", "SELECT * FROM t WHERE In(a, SELECT [b] FROM u)"},
        {p + "a NOT IN (SELECT b FROM u)", "SELECT * FROM t WHERE Not(In(a, SELECT [b] FROM u))"},
        {p + "NOT EXISTS (SELECT * FROM u)", "SELECT * FROM t WHERE Not(Exists(SELECT * FROM u))"},
        {p + "EXISTS (SELECT * FROM u WHERE u.a = t.a)", "SELECT * FROM t WHERE Exists(SELECT * FROM u WHERE (u.a = t.a))"},
        {p + "a IN (1, 2)", "error: expected Select, got IntegerLiteral(1)"},
        {p + "EXISTS SELECT * FROM u", "error: expected LeftParen, got Select"},
        {p + "a IS NULL", "SELECT * FROM t WHERE (a IS NULL)"},
        {p + "a IS NOT NULL", "SELECT * FROM t WHERE (a IS NOT NULL)"},
        {p + "a IS 1", "error: expected Null, got IntegerLiteral(1)"},
        {p + "a IS NOT 1", "error: expected Null, got IntegerLiteral(1)"},
        {p + "a <> b", "SELECT * FROM t WHERE (a <> b)"},
        {p + "a != 'b'", "SELECT * FROM t WHERE (a <> Text(\"b\"))"},
        {p + "a < 1 AND b > 2 AND c <= 3 AND d >= 4.5",
         "SELECT * FROM t WHERE And(And(And((a < Int(1)), (b > Int(2))), (c <= Int(3))), (d >= Float(4.5)))"},
        {p + "a >= (SELECT MAX(b) FROM u)", "SELECT * FROM t WHERE (a >= (SELECT [Max(b)] FROM u))"},
        {p + "a = NULL", "SELECT * FROM t WHERE (a = Null)"},
        {p + "a = -5", "SELECT * FROM t WHERE (a = Int(-5))"},
        {p + "a = TRUE", "SELECT * FROM t WHERE (a = Bool(true))"},
        {p + "a = (1)", "error: expected value, got LeftParen"},
        {p + "a = 5-1", "error: arithmetic is not supported near 5 - \xE2\x80\xA6: write the final value"},
        {p + "1 = a", "error: expected identifier, got IntegerLiteral(1)"},
        {p + "t.count = 1", "error: expected identifier, got Count"},
        {p + "a = 1 OR b = 2 OR c = 3", "SELECT * FROM t WHERE Or(Or((a = Int(1)), (b = Int(2))), (c = Int(3)))"},
        {p + "a = 1 OR b = 2 AND c = 3", "SELECT * FROM t WHERE Or((a = Int(1)), And((b = Int(2)), (c = Int(3))))"},
        {p + "(a = 1 OR b = 2) AND c = 3", "SELECT * FROM t WHERE And(Or((a = Int(1)), (b = Int(2))), (c = Int(3)))"},
        {p + "NOT a = 1 AND b = 2", "SELECT * FROM t WHERE And(Not((a = Int(1))), (b = Int(2)))"},
        {p + "NOT NOT a = 1", "error: expected identifier, got Not"},
        {p + "NOT (NOT a = 1)", "SELECT * FROM t WHERE Not(Not((a = Int(1))))"},
        {p + "((a = 1))", "SELECT * FROM t WHERE (a = Int(1))"},
        {p + "(a = 1", "error: expected RightParen, got Eof"},
        {p + "a = 1 AND", "error: expected identifier, got Eof"},
        {p + "a.b.c = 1", "error: expected comparison operator, got Dot"},
        {p + "a = b.c", "SELECT * FROM t WHERE (a = b.c)"},
        {p + "a = ?", "error: expected value, got Question"},
        {"DELETE FROM t WHERE a = 1 OR (b IS NULL AND c IN (SELECT c FROM u WHERE d = 'x'))",
         "Delete t WHERE Or((a = Int(1)), And((b IS NULL), In(c, SELECT [c] FROM u WHERE (d = Text(\"x\")))))"},
    });
}

// Deep nesting must end in a Parse error, never in a stack overflow, both
// while parsing and while releasing the tree.
TEST(Parser, NestingLimits) {
    const size_t n = 100000;
    auto nested_error = [](const std::string& sql) {
        auto st = zp::parse_sql(sql);
        ASSERT_FALSE(st.has_value());
        EXPECT_EQ(st.error().kind, ErrorKind::Parse);
        EXPECT_EQ(st.error().message,
                  "statement nested too deeply: more than 200 levels of parentheses or subqueries");
    };
    nested_error("SELECT * FROM t WHERE " + std::string(n, '(') + "a = 1" + std::string(n, ')'));
    nested_error("SELECT * FROM t WHERE " + std::string(n, '('));  // unbalanced too
    std::string exists;
    for (size_t i = 0; i < n / 10; ++i) exists += "EXISTS (SELECT * FROM t WHERE ";
    nested_error("SELECT * FROM t WHERE " + exists);
    std::string items;
    for (size_t i = 0; i < n; ++i) items += "(SELECT ";
    nested_error("SELECT " + items);
    std::string nots;
    for (size_t i = 0; i < n; ++i) nots += "NOT (";
    nested_error("DELETE FROM t WHERE " + nots + "a = 1");

    // Just inside the limit parses (the top SELECT is one level).
    const size_t ok = zp::kMaxNestingDepth - 1;
    auto st = zp::parse_sql("SELECT * FROM t WHERE " + std::string(ok, '(') + "a = 1" + std::string(ok, ')'));
    ASSERT_TRUE(st.has_value()) << st.error().message;
    st = zp::parse_sql("SELECT * FROM t WHERE " + std::string(ok + 1, '(') + "a = 1" + std::string(ok + 1, ')'));
    EXPECT_FALSE(st.has_value());

    // Subqueries count too: the top SELECT and each nested one is a level.
    auto nested_exists = [](size_t levels) {
        std::string sql = "SELECT * FROM t";
        for (size_t i = 1; i < levels; ++i) sql += " WHERE EXISTS (SELECT * FROM t";
        return sql + std::string(levels - 1, ')');
    };
    st = zp::parse_sql(nested_exists(zp::kMaxNestingDepth));
    ASSERT_TRUE(st.has_value()) << st.error().message;
    nested_error(nested_exists(zp::kMaxNestingDepth + 1));

    // Long AND/OR chains nest the tree one level per operator.
    auto chain = [](size_t terms, const char* op) {
        std::string sql = "DELETE FROM t WHERE a = 0";
        for (size_t i = 1; i < terms; ++i) sql += std::string(" ") + op + " a = " + std::to_string(i);
        return sql;
    };
    for (const char* op : {"OR", "AND"}) {
        auto deep = zp::parse_sql(chain(n / 10, op));
        ASSERT_FALSE(deep.has_value()) << op;
        EXPECT_EQ(deep.error().message, "condition nested too deeply: more than 1000 levels");
        auto fine = zp::parse_sql(chain(zp::kMaxConditionDepth - 10, op));
        EXPECT_TRUE(fine.has_value()) << op;
    }
}

// Random token soups and random bytes: any answer is fine, a crash is not.
TEST(Parser, FuzzDoesNotCrash) {
    const std::vector<std::string> vocab = {
        "SELECT", "FROM", "WHERE", "INSERT", "INTO", "VALUES", "CREATE", "TABLE", "INDEX", "UNIQUE", "DEFAULT",
        "TODAY", "GROUP", "BY", "ORDER", "LIMIT", "COUNT", "SUM", "ROW_NUMBER", "RANK", "OVER", "PARTITION",
        "ROWS", "BETWEEN", "UNBOUNDED", "PRECEDING", "FOLLOWING", "CURRENT", "ROW", "ASC", "DESC", "AND", "OR",
        "NOT", "IS", "NULL", "IN", "EXISTS", "JOIN", "LEFT", "RIGHT", "INNER", "ON", "AS", "INT", "STRING", "HASH",
        "UPDATE", "SET", "DELETE", "ALTER", "ADD", "DROP", "MODIFY", "COLUMN", "TRUNCATE", "BEGIN", "COMMIT",
        "ROLLBACK", "EXPLAIN", "TRUE", "FALSE", "MERGE", "POLICY", "a", "t", "x.y", "1", "0", "2.5", "'s'",
        "(", ")", ",", ";", "*", "-", ".", "?", "=", "<", ">", "<=", ">=", "<>", "!=", "--c\n",
    };
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string sql;
        size_t len = rng() % 30;
        for (size_t i = 0; i < len; ++i) {
            sql += vocab[rng() % vocab.size()];
            sql += ' ';
        }
        auto st = zp::parse_sql(sql);
        if (!st) {
            EXPECT_EQ(st.error().kind, ErrorKind::Parse);
            EXPECT_FALSE(st.error().message.empty());
        }
    }
    for (int round = 0; round < 5000; ++round) {
        std::string bytes(rng() % 64, '\0');
        for (char& c : bytes) c = static_cast<char>(rng() % 256);
        if (round % 2) bytes = "SELECT * FROM t WHERE a = " + bytes;
        auto st = zp::parse_sql(bytes);
        if (!st) {
            EXPECT_EQ(st.error().kind, ErrorKind::Parse);
        }
    }
}

}  // namespace

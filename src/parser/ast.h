// The statement tree: the parsed form of one SQL statement.
//
// Ownership: strictly hierarchical. Every node owns its texts, lists and
// children exclusively (values or std::unique_ptr); nothing is shared and
// nothing points upwards or back into the SQL text. Nodes are move-only where
// they hold a unique_ptr; the consumer of a Statement owns it.
//
// Absent versus empty: wherever a field is std::optional, absence has its own
// meaning, stated at the field (no LIMIT versus LIMIT 0, no column list versus
// a list, no DEFAULT versus DEFAULT (NULL)). A present optional list is never
// empty.
//
// Kind codes: every variant below is laid out so that `index()` equals the
// kind's fixed code, and the `kind()` accessors return that code as an enum.
// Statement execution dispatches on these codes; do not reorder.
//
// Names are identifier texts exactly as written (case kept). Literals are
// Values of kind Int, Float, Text, Bool or Null only; a quoted date is Text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "types/value.h"

namespace zembrel::parser {

struct SelectStatement;
struct Expr;

// ---------------------------------------------------------------------------
// Column references and small enums

// A column, optionally qualified: in a.b the table is a and the column is b.
// The qualifier is a table name or alias as written; execution resolves it.
struct ColumnRef {
    std::string column;
    std::optional<std::string> table;  // absent for an unqualified name

    static ColumnRef from_parts(std::string_view column, std::string_view table) {
        return ColumnRef{std::string(column), std::string(table)};
    }
    static ColumnRef named(std::string_view column) { return ColumnRef{std::string(column), std::nullopt}; }
    bool operator==(const ColumnRef&) const = default;
};

struct OrderByItem {
    ColumnRef column;
    bool descending = false;  // true only for DESC
    bool operator==(const OrderByItem&) const = default;
};

enum class JoinKind : uint8_t { Inner = 0, Left = 1, Right = 2 };

enum class CompareOp : uint8_t { Eq = 0, Ne = 1, Lt = 2, Gt = 3, Le = 4, Ge = 5 };

enum class AggregateFunc : uint8_t { Count = 0, Sum = 1, Min = 2, Max = 3, Avg = 4 };

// The printed name used in messages: "Count", "Sum", "Min", "Max", "Avg".
constexpr std::string_view fmt_debug(AggregateFunc f) {
    switch (f) {
        case AggregateFunc::Count: return "Count";
        case AggregateFunc::Sum: return "Sum";
        case AggregateFunc::Min: return "Min";
        case AggregateFunc::Max: return "Max";
        case AggregateFunc::Avg: return "Avg";
    }
    return "Count";
}

// ---------------------------------------------------------------------------
// FROM and JOIN

struct TableRef {
    std::string name;
    std::optional<std::string> alias;  // absent when none was written
    bool operator==(const TableRef&) const = default;
};

// ---------------------------------------------------------------------------
// Windows

enum class FrameBoundKind : uint8_t {
    UnboundedPreceding = 0,
    UnboundedFollowing = 1,
    Preceding = 2,  // offset rows before the current one
    Following = 3,  // offset rows after the current one
    CurrentRow = 4,
};

struct FrameBound {
    FrameBoundKind kind = FrameBoundKind::CurrentRow;
    uint64_t offset = 0;  // only for Preceding and Following; 0 otherwise
    bool operator==(const FrameBound&) const = default;
};

// ROWS BETWEEN start AND end. The start is not checked to lie before the end.
struct WindowFrame {
    FrameBound start;
    FrameBound end;
    bool operator==(const WindowFrame&) const = default;
};

struct WindowSpec {
    std::vector<ColumnRef> partition_by;  // empty without PARTITION BY
    std::vector<OrderByItem> order_by;    // empty without ORDER BY
    std::optional<WindowFrame> frame;     // absent without ROWS BETWEEN
    bool operator==(const WindowSpec&) const = default;
};

enum class WindowFuncKind : uint8_t { RowNumber = 0, Rank = 1, Sum = 2 };

struct WindowFunc {
    WindowFuncKind kind = WindowFuncKind::RowNumber;
    std::optional<ColumnRef> column;  // present exactly for Sum
    bool operator==(const WindowFunc&) const = default;
};

// ---------------------------------------------------------------------------
// Select list

// COUNT, SUM, MIN, MAX or AVG of a column; COUNT(*) has no column.
struct AggregateItem {
    AggregateFunc func = AggregateFunc::Count;
    std::optional<ColumnRef> column;  // absent only for COUNT(*)
};

struct WindowItem {
    WindowFunc func;
    WindowSpec spec;
};

enum class SelectItemKind : uint8_t { Column = 0, Aggregate = 1, Subquery = 2, Window = 3 };

// One entry of the select list. There are no aliases and no expressions.
struct SelectItem {
    std::variant<ColumnRef,                         // Column
                 AggregateItem,                     // Aggregate
                 std::unique_ptr<SelectStatement>,  // Subquery (scalar, never null)
                 WindowItem>                        // Window
        node;

    SelectItemKind kind() const { return static_cast<SelectItemKind>(node.index()); }
};

// ---------------------------------------------------------------------------
// Conditions

enum class OperandKind : uint8_t { Column = 0, Value = 1, Subquery = 2 };

// The right side of a comparison. A literal NULL is a Value (Null), so
// "a = NULL" is a Compare, not an IsNull.
struct Operand {
    std::variant<ColumnRef,                         // Column
                 Value,                             // Value: Int, Float, Text, Bool or Null
                 std::unique_ptr<SelectStatement>>  // Subquery (scalar, never null)
        node;

    OperandKind kind() const { return static_cast<OperandKind>(node.index()); }
};

struct CompareExpr {
    ColumnRef left;
    CompareOp op = CompareOp::Eq;
    Operand right;
};
struct IsNullExpr {
    ColumnRef column;
};
struct IsNotNullExpr {
    ColumnRef column;
};
struct ExistsExpr {
    std::unique_ptr<SelectStatement> subquery;  // never null
};
struct InSubqueryExpr {
    ColumnRef column;
    std::unique_ptr<SelectStatement> subquery;  // never null
};
struct AndExpr {
    std::unique_ptr<Expr> left;  // never null
    std::unique_ptr<Expr> right;
};
struct OrExpr {
    std::unique_ptr<Expr> left;  // never null
    std::unique_ptr<Expr> right;
};
// NOT a; also "column NOT IN (SELECT ...)", which is Not(InSubquery).
struct NotExpr {
    std::unique_ptr<Expr> inner;  // never null
};

enum class ExprKind : uint8_t {
    Compare = 0,
    IsNull = 1,
    IsNotNull = 2,
    Exists = 3,
    InSubquery = 4,
    And = 5,
    Or = 6,
    Not = 7,
};

// A condition (WHERE, ON). Parentheses leave no node of their own. The parser
// bounds the depth of the tree, so recursive walks over it are safe.
struct Expr {
    std::variant<CompareExpr, IsNullExpr, IsNotNullExpr, ExistsExpr, InSubqueryExpr, AndExpr, OrExpr, NotExpr>
        node;

    ExprKind kind() const { return static_cast<ExprKind>(node.index()); }
};

struct Join {
    TableRef table;
    JoinKind kind = JoinKind::Inner;
    Expr on;  // every join has an ON condition
};

// ---------------------------------------------------------------------------
// SELECT

struct SelectStatement {
    std::optional<std::vector<SelectItem>> items;  // absent for SELECT *; never holds a star
    TableRef from;                                 // exactly one FROM table
    std::vector<Join> joins;                       // in text order; empty without joins
    std::optional<Expr> where_clause;              // absent without WHERE
    std::optional<std::vector<ColumnRef>> group_by;    // absent without GROUP BY
    std::optional<std::vector<OrderByItem>> order_by;  // absent without ORDER BY
    std::optional<uint64_t> limit;                 // absent without LIMIT; LIMIT 0 is 0
};

// ---------------------------------------------------------------------------
// Column definitions and the other statements

// One column of CREATE TABLE, ALTER TABLE ADD and ALTER TABLE MODIFY. The
// default is not checked against the type here (execution does that).
struct ColumnDef {
    std::string name;
    DataType data_type;                        // a bare STRING is Str(255)
    std::optional<DefaultValue> default_value; // absent without DEFAULT; DEFAULT (NULL) is Literal(Null)
    bool nullable = true;                      // false if the last of NULL / NOT NULL was NOT NULL
    bool hash = false;                         // HASH was written
    bool operator==(const ColumnDef&) const = default;
};

struct Assignment {
    std::string column;
    Value value;  // always a literal
    bool operator==(const Assignment&) const = default;
};

struct AddColumn {
    ColumnDef column;
    bool operator==(const AddColumn&) const = default;
};
struct DropColumn {
    std::string column;
    bool operator==(const DropColumn&) const = default;
};
// The column's name and its complete new definition.
struct ModifyColumn {
    ColumnDef column;
    bool operator==(const ModifyColumn&) const = default;
};
// The policy word in ASCII lower case, not validated here; absent for DEFAULT
// (the table then keeps no policy word and the default policy applies).
struct SetMergePolicy {
    std::optional<std::string> policy;
    bool operator==(const SetMergePolicy&) const = default;
};

enum class AlterActionKind : uint8_t { AddColumn = 0, DropColumn = 1, ModifyColumn = 2, SetMergePolicy = 3 };

struct AlterAction {
    std::variant<AddColumn, DropColumn, ModifyColumn, SetMergePolicy> node;
    AlterActionKind kind() const { return static_cast<AlterActionKind>(node.index()); }
    bool operator==(const AlterAction&) const = default;
};

struct CreateTable {
    std::string name;
    std::vector<ColumnDef> columns;  // at least one, in written order
};
// Row lengths are not compared with each other or with the column list here.
struct Insert {
    std::string table;
    std::optional<std::vector<std::string>> columns;  // absent without a column list
    std::vector<std::vector<Value>> rows;             // at least one row of at least one literal
};
struct Update {
    std::string table;
    std::vector<Assignment> assignments;  // at least one
    std::optional<Expr> where_clause;     // absent: every row
};
struct Delete {
    std::string table;
    std::optional<Expr> where_clause;  // absent: every row
};
struct AlterTable {
    std::string table;
    AlterAction action;
};
struct CreateIndex {
    std::string name;  // the index
    std::string table;
    std::vector<std::string> columns;  // at least one, in written order
    bool unique = false;
};
struct DropIndex {
    std::string name;
};
struct DropTable {
    std::string name;
};
struct Truncate {
    std::string table;
};
struct Begin {};
struct Commit {};
struct Rollback {};
// EXPLAIN covers SELECT only.
struct Explain {
    SelectStatement select;
};

enum class StatementKind : uint8_t {
    CreateTable = 0,
    Insert = 1,
    Select = 2,
    Update = 3,
    Delete = 4,
    AlterTable = 5,
    CreateIndex = 6,
    DropIndex = 7,
    DropTable = 8,
    Truncate = 9,
    Begin = 10,
    Commit = 11,
    Rollback = 12,
    Explain = 13,
};

struct Statement {
    std::variant<CreateTable,      // 0
                 Insert,           // 1
                 SelectStatement,  // 2 Select
                 Update,           // 3
                 Delete,           // 4
                 AlterTable,       // 5
                 CreateIndex,      // 6
                 DropIndex,        // 7
                 DropTable,        // 8
                 Truncate,         // 9
                 Begin,            // 10
                 Commit,           // 11
                 Rollback,         // 12
                 Explain>          // 13
        node;

    StatementKind kind() const { return static_cast<StatementKind>(node.index()); }
};

}  // namespace zembrel::parser

// A compact text form of whole statement trees, so a test compares one
// string. Absent optionals print nothing (or "*"), empty lists print "[]".
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "parser/ast.h"

namespace statement_text {

namespace zp = zembrel::parser;
using zembrel::Value;

inline std::string show(const zp::SelectStatement& s);
inline std::string show(const zp::Expr& e);

template <class T, class F>
inline std::string list(const std::vector<T>& items, F each) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += each(items[i]);
    }
    return out + "]";
}

inline std::string show(const zp::ColumnRef& c) { return c.table ? *c.table + "." + c.column : c.column; }
inline std::string show(const zp::OrderByItem& o) { return show(o.column) + (o.descending ? " DESC" : ""); }
inline std::string show_values(const std::vector<Value>& vs) {
    return list(vs, [](const Value& v) { return v.debug(); });
}

inline std::string show(const zp::FrameBound& b) {
    switch (b.kind) {
        case zp::FrameBoundKind::UnboundedPreceding: return "UnboundedPreceding";
        case zp::FrameBoundKind::UnboundedFollowing: return "UnboundedFollowing";
        case zp::FrameBoundKind::Preceding: return "Preceding(" + std::to_string(b.offset) + ")";
        case zp::FrameBoundKind::Following: return "Following(" + std::to_string(b.offset) + ")";
        case zp::FrameBoundKind::CurrentRow: return "CurrentRow";
    }
    return "?";
}

inline std::string show(const zp::WindowSpec& w) {
    std::string out = "OVER(partition=" + list(w.partition_by, [](auto& c) { return show(c); }) +
                      " order=" + list(w.order_by, [](auto& o) { return show(o); });
    if (w.frame) out += " rows=" + show(w.frame->start) + ".." + show(w.frame->end);
    return out + ")";
}

inline std::string show(const zp::SelectItem& item) {
    switch (item.kind()) {
        case zp::SelectItemKind::Column: return show(std::get<zp::ColumnRef>(item.node));
        case zp::SelectItemKind::Aggregate: {
            auto& a = std::get<zp::AggregateItem>(item.node);
            return std::string(zp::fmt_debug(a.func)) + "(" + (a.column ? show(*a.column) : "*") + ")";
        }
        case zp::SelectItemKind::Subquery:
            return "(" + show(*std::get<std::unique_ptr<zp::SelectStatement>>(item.node)) + ")";
        case zp::SelectItemKind::Window: {
            auto& w = std::get<zp::WindowItem>(item.node);
            std::string f = w.func.kind == zp::WindowFuncKind::RowNumber ? "RowNumber()"
                            : w.func.kind == zp::WindowFuncKind::Rank    ? "Rank()"
                                                                         : "Sum(" + show(*w.func.column) + ")";
            return f + " " + show(w.spec);
        }
    }
    return "?";
}

inline const char* op_text(zp::CompareOp op) {
    static const char* names[] = {"=", "<>", "<", ">", "<=", ">="};
    return names[static_cast<int>(op)];
}

inline std::string show(const zp::Operand& o) {
    switch (o.kind()) {
        case zp::OperandKind::Column: return show(std::get<zp::ColumnRef>(o.node));
        case zp::OperandKind::Value: return std::get<Value>(o.node).debug();
        case zp::OperandKind::Subquery:
            return "(" + show(*std::get<std::unique_ptr<zp::SelectStatement>>(o.node)) + ")";
    }
    return "?";
}

inline std::string show(const zp::Expr& e) {
    return std::visit(
        [](const auto& n) -> std::string {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, zp::CompareExpr>) {
                return "(" + show(n.left) + " " + op_text(n.op) + " " + show(n.right) + ")";
            } else if constexpr (std::is_same_v<N, zp::IsNullExpr>) {
                return "(" + show(n.column) + " IS NULL)";
            } else if constexpr (std::is_same_v<N, zp::IsNotNullExpr>) {
                return "(" + show(n.column) + " IS NOT NULL)";
            } else if constexpr (std::is_same_v<N, zp::ExistsExpr>) {
                return "Exists(" + show(*n.subquery) + ")";
            } else if constexpr (std::is_same_v<N, zp::InSubqueryExpr>) {
                return "In(" + show(n.column) + ", " + show(*n.subquery) + ")";
            } else if constexpr (std::is_same_v<N, zp::AndExpr>) {
                return "And(" + show(*n.left) + ", " + show(*n.right) + ")";
            } else if constexpr (std::is_same_v<N, zp::OrExpr>) {
                return "Or(" + show(*n.left) + ", " + show(*n.right) + ")";
            } else {
                return "Not(" + show(*n.inner) + ")";
            }
        },
        e.node);
}

inline std::string show(const zp::TableRef& t) { return t.name + (t.alias ? " AS " + *t.alias : ""); }

inline std::string show(const zp::SelectStatement& s) {
    std::string out = "SELECT ";
    out += s.items ? list(*s.items, [](auto& i) { return show(i); }) : "*";
    out += " FROM " + show(s.from);
    for (const zp::Join& j : s.joins) {
        static const char* kinds[] = {"INNER", "LEFT", "RIGHT"};
        out += std::string(" ") + kinds[static_cast<int>(j.kind)] + " JOIN " + show(j.table) + " ON " + show(j.on);
    }
    if (s.where_clause) out += " WHERE " + show(*s.where_clause);
    if (s.group_by) out += " GROUP BY " + list(*s.group_by, [](auto& c) { return show(c); });
    if (s.order_by) out += " ORDER BY " + list(*s.order_by, [](auto& o) { return show(o); });
    if (s.limit) out += " LIMIT " + std::to_string(*s.limit);
    return out;
}

inline std::string show(const zp::ColumnDef& c) {
    std::string out = "(" + c.name + " " + c.data_type.debug();
    if (c.default_value) out += c.default_value->is_today() ? " default=Today" : " default=" + c.default_value->literal.debug();
    if (!c.nullable) out += " notnull";
    if (c.hash) out += " hash";
    return out + ")";
}

inline std::string show(const zp::Statement& st) {
    return std::visit(
        [](const auto& n) -> std::string {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, zp::CreateTable>) {
                return "CreateTable " + n.name + " " + list(n.columns, [](auto& c) { return show(c); });
            } else if constexpr (std::is_same_v<N, zp::Insert>) {
                std::string cols = n.columns ? list(*n.columns, [](auto& c) { return c; }) : "*";
                return "Insert " + n.table + " " + cols + " " + list(n.rows, show_values);
            } else if constexpr (std::is_same_v<N, zp::SelectStatement>) {
                return show(n);
            } else if constexpr (std::is_same_v<N, zp::Update>) {
                std::string out = "Update " + n.table + " " + list(n.assignments, [](auto& a) {
                                      return a.column + "=" + a.value.debug();
                                  });
                if (n.where_clause) out += " WHERE " + show(*n.where_clause);
                return out;
            } else if constexpr (std::is_same_v<N, zp::Delete>) {
                return "Delete " + n.table + (n.where_clause ? " WHERE " + show(*n.where_clause) : "");
            } else if constexpr (std::is_same_v<N, zp::AlterTable>) {
                std::string out = "AlterTable " + n.table + " ";
                const auto& a = n.action.node;
                if (auto* add = std::get_if<zp::AddColumn>(&a)) return out + "AddColumn " + show(add->column);
                if (auto* drop = std::get_if<zp::DropColumn>(&a)) return out + "DropColumn " + drop->column;
                if (auto* mod = std::get_if<zp::ModifyColumn>(&a)) return out + "ModifyColumn " + show(mod->column);
                auto& p = std::get<zp::SetMergePolicy>(a);
                return out + "SetMergePolicy " + (p.policy ? *p.policy : "<default>");
            } else if constexpr (std::is_same_v<N, zp::CreateIndex>) {
                return std::string("CreateIndex ") + (n.unique ? "unique " : "") + n.name + " ON " + n.table + " " +
                       list(n.columns, [](auto& c) { return c; });
            } else if constexpr (std::is_same_v<N, zp::DropIndex>) {
                return "DropIndex " + n.name;
            } else if constexpr (std::is_same_v<N, zp::DropTable>) {
                return "DropTable " + n.name;
            } else if constexpr (std::is_same_v<N, zp::Truncate>) {
                return "Truncate " + n.table;
            } else if constexpr (std::is_same_v<N, zp::Begin>) {
                return "Begin";
            } else if constexpr (std::is_same_v<N, zp::Commit>) {
                return "Commit";
            } else if constexpr (std::is_same_v<N, zp::Rollback>) {
                return "Rollback";
            } else {
                return "Explain " + show(n.select);
            }
        },
        st.node);
}

}  // namespace statement_text

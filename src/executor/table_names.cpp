#include "executor/table_names.h"

#include <algorithm>
#include <type_traits>

namespace zembrel::executor {

namespace {

std::vector<std::string> select_tables(const parser::SelectStatement& select) {
    std::vector<std::string> names{select.from.name};
    for (const auto& join : select.joins) names.push_back(join.table.name);
    return names;
}

void add_name(std::vector<std::string>& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

void add_select_tables(std::vector<std::string>& names, const parser::SelectStatement& select);

void add_condition_tables(std::vector<std::string>& names, const parser::Expr& condition) {
    std::visit(
        [&](const auto& node) {
            using T = std::decay_t<decltype(node)>;
            if constexpr (std::is_same_v<T, parser::CompareExpr>) {
                if (const auto* sub = std::get_if<std::unique_ptr<parser::SelectStatement>>(&node.right.node))
                    add_select_tables(names, **sub);
            } else if constexpr (std::is_same_v<T, parser::ExistsExpr> || std::is_same_v<T, parser::InSubqueryExpr>) {
                add_select_tables(names, *node.subquery);
            } else if constexpr (std::is_same_v<T, parser::AndExpr> || std::is_same_v<T, parser::OrExpr>) {
                add_condition_tables(names, *node.left);
                add_condition_tables(names, *node.right);
            } else if constexpr (std::is_same_v<T, parser::NotExpr>) {
                add_condition_tables(names, *node.inner);
            }
        },
        condition.node);
}

void add_select_tables(std::vector<std::string>& names, const parser::SelectStatement& select) {
    for (const std::string& name : select_tables(select)) add_name(names, name);
    for (const auto& join : select.joins) add_condition_tables(names, join.on);
    if (select.where_clause) add_condition_tables(names, *select.where_clause);
    if (select.items) {
        for (const parser::SelectItem& item : *select.items) {
            if (const auto* sub = std::get_if<std::unique_ptr<parser::SelectStatement>>(&item.node))
                add_select_tables(names, **sub);
        }
    }
}

}  // namespace

std::vector<std::string> all_table_names(const parser::Statement& statement) {
    if (const auto* select = std::get_if<parser::SelectStatement>(&statement.node)) {
        std::vector<std::string> names;
        add_select_tables(names, *select);
        return names;
    }
    if (const auto* explain = std::get_if<parser::Explain>(&statement.node)) {
        std::vector<std::string> names;
        add_select_tables(names, explain->select);
        return names;
    }
    std::vector<std::string> names;
    for (const std::string& name : table_names(statement)) add_name(names, name);
    return names;
}

std::vector<std::string> table_names(const parser::Statement& statement) {
    return std::visit(
        [](const auto& s) -> std::vector<std::string> {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, parser::CreateTable> || std::is_same_v<T, parser::DropTable>) {
                return {s.name};
            } else if constexpr (std::is_same_v<T, parser::Insert> || std::is_same_v<T, parser::Update> ||
                                 std::is_same_v<T, parser::Delete> || std::is_same_v<T, parser::AlterTable> ||
                                 std::is_same_v<T, parser::CreateIndex> || std::is_same_v<T, parser::Truncate>) {
                return {s.table};
            } else if constexpr (std::is_same_v<T, parser::SelectStatement>) {
                return select_tables(s);
            } else if constexpr (std::is_same_v<T, parser::Explain>) {
                return select_tables(s.select);
            } else {
                return {};
            }
        },
        statement.node);
}

}  // namespace zembrel::executor

#include "shared/statement_tables.h"

#include <algorithm>
#include <type_traits>
#include <variant>

#include "planner/table_names.h"

namespace zembrel::shared {

namespace {

using namespace parser;

class NameCollector {
public:
    void select(const SelectStatement& s) {
        ++selects;
        add(s.from.name);
        for (const Join& join : s.joins) add(join.table.name);
        if (s.items) {
            for (const SelectItem& item : *s.items) {
                if (auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&item.node)) select(**sub);
            }
        }
        for (const Join& join : s.joins) expr(join.on);
        if (s.where_clause) expr(*s.where_clause);
    }

    std::vector<std::string> names;
    size_t selects = 0;

private:
    void add(const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }

    // The parser bounds condition and subquery depth, so recursion is safe.
    void expr(const Expr& e) {
        std::visit(
            [this](const auto& n) {
                using N = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<N, CompareExpr>) {
                    if (auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&n.right.node)) select(**sub);
                } else if constexpr (std::is_same_v<N, ExistsExpr> || std::is_same_v<N, InSubqueryExpr>) {
                    select(*n.subquery);
                } else if constexpr (std::is_same_v<N, AndExpr> || std::is_same_v<N, OrExpr>) {
                    expr(*n.left);
                    expr(*n.right);
                } else if constexpr (std::is_same_v<N, NotExpr>) {
                    expr(*n.inner);
                }
            },
            e.node);
    }
};

}  // namespace

std::vector<std::string> tables_named_in(const Statement& statement) {
    const SelectStatement* select = std::get_if<SelectStatement>(&statement.node);
    if (auto* explain = std::get_if<Explain>(&statement.node)) select = &explain->select;
    if (select == nullptr) return planner::table_names(statement);
    NameCollector collector;
    collector.select(*select);
    return std::move(collector.names);
}

bool has_subquery(const SelectStatement& select) {
    NameCollector collector;
    collector.select(select);
    return collector.selects > 1;
}

}  // namespace zembrel::shared

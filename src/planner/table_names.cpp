#include "planner/table_names.h"

#include <type_traits>

namespace zembrel::planner {

namespace {

std::vector<std::string> select_tables(const parser::SelectStatement& select) {
    std::vector<std::string> names{select.from.name};
    for (const auto& join : select.joins) names.push_back(join.table.name);
    return names;
}

}  // namespace

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

}  // namespace zembrel::planner

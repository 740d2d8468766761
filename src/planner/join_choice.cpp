#include "planner/join_choice.h"

#include <algorithm>

#include "planner/access_path.h"

namespace zembrel::planner {

namespace {

// Whether an index can deliver the column in key order: one the table
// offers leading with it, or the column is a Pk column.
bool is_column_indexed(const Engine& engine, const BoundTable& table, size_t column) {
    if (column >= table.columns.size()) return false;
    if (table.columns[column].data_type.kind == DataTypeKind::Pk) return true;
    const TableSource source = table_source(engine, table.name);
    return std::any_of(source.indexes.begin(), source.indexes.end(),
                       [&](const SourceIndex& index) { return index.positions->front() == column; });
}

// Whether `=` between columns of these types is an equivalence that the
// SQL order keeps in runs: not for integers against floats, nor for UUIDs
// against dates, nor for kinds that never meet.
bool merge_types_agree(DataType a, DataType b) {
    auto family = [](DataTypeKind k) {
        switch (k) {
            case DataTypeKind::Text:
            case DataTypeKind::Str: return 0;
            case DataTypeKind::Date:
            case DataTypeKind::DateTime: return 1;
            case DataTypeKind::Pk: return 2;
            case DataTypeKind::Int: return 3;
            case DataTypeKind::Float: return 4;
            case DataTypeKind::Bool: return 5;
        }
        return 6;
    };
    const int fa = family(a.kind), fb = family(b.kind);
    return fa == fb || (fa == 0 && (fb == 1 || fb == 2)) || (fb == 0 && (fa == 1 || fa == 2));
}

// The bound table holding a position of the joined row.
const BoundTable* table_at(std::span<const BoundTable> tables, size_t position) {
    for (const BoundTable& t : tables) {
        if (position >= t.offset && position < t.offset + t.columns.size()) return &t;
    }
    return nullptr;
}

}  // namespace

Result<JoinChoice> choose_join(const Engine& engine, const operators::BoundPredicate& on,
                               std::span<const BoundTable> tables, const parser::Join& join,
                               const JoinSetting& setting) {
    if (engine.settings.force_nested_join || tables.size() < 2) return JoinChoice{};
    const BoundTable& right = tables.back();
    auto keys = equi_join_keys(on, right.offset);
    if (!keys) return JoinChoice{};
    JoinChoice choice{JoinChoice::Algorithm::Hash, std::move(keys->first), std::move(keys->second), {}, false};
    const bool first_inner = setting.position == 0 && join.kind == parser::JoinKind::Inner;
    if (choice.left_keys.size() == 1) {
        const size_t lp = choice.left_keys.front(), rp = choice.right_keys.front();
        const BoundTable* left = table_at(tables.first(tables.size() - 1), lp);
        if (first_inner && setting.order_free && left != nullptr && rp < right.columns.size() &&
            is_column_indexed(engine, *left, lp - left->offset) && is_column_indexed(engine, right, rp) &&
            merge_types_agree(left->columns[lp - left->offset].data_type, right.columns[rp].data_type)) {
            choice.algorithm = JoinChoice::Algorithm::Merge;
            return choice;
        }
        if (join.kind != parser::JoinKind::Right) {
            if (const MemIndex* index = join_index(engine, join.table.name, rp)) {
                choice.algorithm = JoinChoice::Algorithm::IndexNestedLoop;
                choice.index_column = index->columns.front();
                return choice;
            }
        }
    }
    if (first_inner && setting.order_free && !setting.where_pushed && setting.row_counts) {
        auto counts = setting.row_counts();
        if (!counts) return fail(counts.error());
        choice.build_left = counts->first < counts->second;
    }
    return choice;
}

bool order_free_joins(const parser::SelectStatement& s, const OutputPlan& plan, std::span<const BoundTable> tables) {
    if (plan.kind != OutputPlan::Kind::Plain || !plan.subqueries.empty() || !plan.windows.empty()) return false;
    if (s.where_clause && contains_subquery(*s.where_clause)) return false;
    if (!s.order_by) return !s.limit.has_value();
    std::vector<uint64_t> ordered;
    for (const parser::OrderByItem& item : *s.order_by) {
        auto position = resolve_column(tables, item.column);
        if (!position) return false;
        ordered.push_back(*position);
    }
    // Pk values are unique and never NULL in a stored row, so rows that tie
    // on every table's Pk are one pairing (or one NULL-filled row).
    return std::all_of(tables.begin(), tables.end(), [&](const BoundTable& t) {
        for (size_t c = 0; c < t.columns.size(); ++c) {
            if (t.columns[c].data_type.kind == DataTypeKind::Pk &&
                std::find(ordered.begin(), ordered.end(), t.offset + c) != ordered.end())
                return true;
        }
        return false;
    });
}

Result<bool> where_pushes_down(const parser::SelectStatement& s, std::span<const BoundTable> tables,
                               const OuterContext* outer) {
    if (outer != nullptr || !s.where_clause) return false;
    const bool inner_or_left = std::all_of(s.joins.begin(), s.joins.end(), [](const parser::Join& j) {
        return j.kind == parser::JoinKind::Inner || j.kind == parser::JoinKind::Left;
    });
    if (!inner_or_left) return false;
    return where_fits_left_table(*s.where_clause, tables, tables.front().columns.size());
}

const MemIndex* join_index(const Engine& engine, const std::string& table_name, size_t column) {
    const TableSource source = table_source(engine, table_name);
    for (const SourceIndex& index : source.indexes) {
        if (index.mem != nullptr && index.positions->size() == 1 && index.positions->front() == column) return index.mem;
    }
    return nullptr;
}

}  // namespace zembrel::planner

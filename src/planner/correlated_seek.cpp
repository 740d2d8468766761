#include "planner/correlated_seek.h"

namespace zembrel::planner {

namespace {

using operators::BoundPredicate;
using operators::CompareCode;

CompareCode flipped(CompareCode op) {
    switch (op) {
        case CompareCode::Lt: return CompareCode::Gt;
        case CompareCode::Gt: return CompareCode::Lt;
        case CompareCode::Le: return CompareCode::Ge;
        case CompareCode::Ge: return CompareCode::Le;
        default: return op;
    }
}

bool is_numeric(DataType t) { return t.kind == DataTypeKind::Int || t.kind == DataTypeKind::Float; }

bool seekable(DataType t) { return is_numeric(t) || t.kind == DataTypeKind::Text || t.kind == DataTypeKind::Str; }

}  // namespace

std::optional<CorrelatedSeek> plan_correlated_seek(const TableSource& source, const BoundPredicate& where,
                                                   uint64_t outer_width) {
    if (source.columns == nullptr) return std::nullopt;
    const std::vector<Column>& columns = *source.columns;

    // The comparisons of the WHERE's top-level AND between an own column and
    // an outer column or a literal, as (own column, operator, source).
    struct Conjunct {
        size_t column;
        CompareCode op;
        KeySource source;
    };
    std::vector<Conjunct> conjuncts;
    std::vector<const BoundPredicate*> stack{&where};
    while (!stack.empty()) {
        const BoundPredicate* p = stack.back();
        stack.pop_back();
        if (p->kind() == BoundPredicate::Kind::And) {
            stack.push_back(p->second());
            stack.push_back(p->first());
            continue;
        }
        if (p->kind() != BoundPredicate::Kind::Compare || p->op() == CompareCode::Ne) continue;
        const size_t l = p->left_position();
        const bool left_own = l >= outer_width;
        if (p->literal()) {
            if (left_own) conjuncts.push_back({l - outer_width, p->op(), KeySource{false, 0, *p->literal()}});
            continue;
        }
        const size_t r = p->right_position();
        const bool right_own = r >= outer_width;
        if (left_own && !right_own) conjuncts.push_back({l - outer_width, p->op(), KeySource{true, r, {}}});
        if (!left_own && right_own) conjuncts.push_back({r - outer_width, flipped(p->op()), KeySource{true, l, {}}});
    }
    if (conjuncts.empty()) return std::nullopt;
    auto seek_through = [](const SourceIndex& index, bool range, DataType type) {
        CorrelatedSeek seek{index.mem, index.mem == nullptr ? *index.name : std::string(), range, {}, {}, {}, {}, false};
        if (range) seek.types.push_back(type);
        return seek;
    };
    auto equality_on = [&](size_t column) -> const Conjunct* {
        for (const Conjunct& c : conjuncts)
            if (c.column == column && c.op == CompareCode::Eq) return &c;
        return nullptr;
    };
    auto type_of = [&](size_t column) { return columns[column].data_type; };

    // Equalities covering every column of an index, the widest index first.
    std::optional<CorrelatedSeek> chosen;
    for (const SourceIndex& index : source.indexes) {
        if (chosen && chosen->key.size() >= index.positions->size()) continue;
        CorrelatedSeek seek = seek_through(index, false, {});
        for (size_t column : *index.positions) {
            const Conjunct* c = column < columns.size() && seekable(type_of(column)) ? equality_on(column) : nullptr;
            if (c == nullptr) break;
            seek.key.push_back(c->source);
            seek.types.push_back(type_of(column));
        }
        if (seek.key.size() == index.positions->size()) chosen = std::move(seek);
    }
    if (chosen) {
        chosen->whole_where =
            chosen->key.size() == 1 && conjuncts.size() == 1 && where.kind() == BoundPredicate::Kind::Compare;
        return chosen;
    }
    // Else a range on the one column of an index.
    for (const SourceIndex& index : source.indexes) {
        if (index.positions->size() != 1) continue;
        const size_t column = index.positions->front();
        if (column >= columns.size() || !is_numeric(type_of(column))) continue;
        CorrelatedSeek seek = seek_through(index, true, type_of(column));
        for (const Conjunct& c : conjuncts) {
            if (c.column != column) continue;
            if ((c.op == CompareCode::Gt || c.op == CompareCode::Ge) && !seek.lower) seek.lower = c.source;
            if ((c.op == CompareCode::Lt || c.op == CompareCode::Le) && !seek.upper) seek.upper = c.source;
        }
        if (seek.lower || seek.upper) return seek;
    }
    return std::nullopt;
}

}  // namespace zembrel::planner

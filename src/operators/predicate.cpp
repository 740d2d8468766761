#include "operators/predicate.h"

#include "types/error.h"

namespace zembrel::operators {

Truth truth_not(Truth t) {
    switch (t) {
        case Truth::True: return Truth::False;
        case Truth::False: return Truth::True;
        default: return Truth::Indeterminate;
    }
}

Truth truth_and(Truth a, Truth b) {
    if (a == Truth::False || b == Truth::False) return Truth::False;
    if (a == Truth::Indeterminate || b == Truth::Indeterminate) return Truth::Indeterminate;
    return Truth::True;
}

Truth truth_or(Truth a, Truth b) {
    if (a == Truth::True || b == Truth::True) return Truth::True;
    if (a == Truth::Indeterminate || b == Truth::Indeterminate) return Truth::Indeterminate;
    return Truth::False;
}

Truth compare_truth(CompareCode op, const Value& left, const Value& right) {
    if (left.is_null() || right.is_null()) return Truth::Indeterminate;
    const std::strong_ordering c = Value::sql_cmp(left, right);
    bool r = false;
    switch (op) {
        case CompareCode::Eq: r = c == 0; break;
        case CompareCode::Ne: r = c != 0; break;
        case CompareCode::Lt: r = c < 0; break;
        case CompareCode::Gt: r = c > 0; break;
        case CompareCode::Le: r = c <= 0; break;
        case CompareCode::Ge: r = c >= 0; break;
    }
    return r ? Truth::True : Truth::False;
}

BoundPredicate BoundPredicate::compare_literal(CompareCode op, size_t left, Value literal) {
    BoundPredicate p;
    p.kind_ = Kind::Compare;
    p.op_ = op;
    p.left_ = left;
    p.literal_ = std::move(literal);
    return p;
}

BoundPredicate BoundPredicate::compare_columns(CompareCode op, size_t left, size_t right) {
    BoundPredicate p;
    p.kind_ = Kind::Compare;
    p.op_ = op;
    p.left_ = left;
    p.right_ = right;
    return p;
}

BoundPredicate BoundPredicate::is_null(size_t position) {
    BoundPredicate p;
    p.kind_ = Kind::IsNull;
    p.left_ = position;
    return p;
}

BoundPredicate BoundPredicate::is_not_null(size_t position) {
    BoundPredicate p;
    p.kind_ = Kind::IsNotNull;
    p.left_ = position;
    return p;
}

BoundPredicate BoundPredicate::both(BoundPredicate left, BoundPredicate right) {
    BoundPredicate p;
    p.kind_ = Kind::And;
    p.a_ = std::make_unique<BoundPredicate>(std::move(left));
    p.b_ = std::make_unique<BoundPredicate>(std::move(right));
    return p;
}

BoundPredicate BoundPredicate::either(BoundPredicate left, BoundPredicate right) {
    BoundPredicate p;
    p.kind_ = Kind::Or;
    p.a_ = std::make_unique<BoundPredicate>(std::move(left));
    p.b_ = std::make_unique<BoundPredicate>(std::move(right));
    return p;
}

BoundPredicate BoundPredicate::negate(BoundPredicate inner) {
    BoundPredicate p;
    p.kind_ = Kind::Not;
    p.a_ = std::make_unique<BoundPredicate>(std::move(inner));
    return p;
}

BoundPredicate::BoundPredicate(const BoundPredicate& o)
    : kind_(o.kind_),
      op_(o.op_),
      left_(o.left_),
      right_(o.right_),
      literal_(o.literal_),
      a_(o.a_ ? std::make_unique<BoundPredicate>(*o.a_) : nullptr),
      b_(o.b_ ? std::make_unique<BoundPredicate>(*o.b_) : nullptr) {}

BoundPredicate& BoundPredicate::operator=(const BoundPredicate& o) {
    if (this != &o) *this = BoundPredicate(o);
    return *this;
}

namespace {
const Value& at(RowView row, size_t position) {
    if (position >= row.size()) invariant_failed("condition position outside the row");
    return row[position];
}
}  // namespace

Truth BoundPredicate::eval(RowView row) const {
    // Walks down the right spine with a loop; only left children recurse,
    // so the depth of the call stack is the parser's nesting bound at most.
    const BoundPredicate* p = this;
    bool negated = false;
    for (;;) {
        switch (p->kind_) {
            case Kind::Not:
                negated = !negated;
                p = p->a_.get();
                continue;
            case Kind::And: {
                Truth l = p->a_->eval(row);
                if (l == Truth::False) return negated ? Truth::True : Truth::False;
                Truth r = p->b_->eval(row);
                Truth t = truth_and(l, r);
                return negated ? truth_not(t) : t;
            }
            case Kind::Or: {
                Truth l = p->a_->eval(row);
                if (l == Truth::True) return negated ? Truth::False : Truth::True;
                Truth r = p->b_->eval(row);
                Truth t = truth_or(l, r);
                return negated ? truth_not(t) : t;
            }
            case Kind::IsNull:
            case Kind::IsNotNull: {
                bool null = at(row, p->left_).is_null();
                bool t = (p->kind_ == Kind::IsNull) == null;
                return (t != negated) ? Truth::True : Truth::False;
            }
            case Kind::Compare: {
                const Value& l = at(row, p->left_);
                const Value& r = p->literal_ ? *p->literal_ : at(row, p->right_);
                Truth t = compare_truth(p->op_, l, r);
                return negated ? truth_not(t) : t;
            }
        }
        return Truth::Indeterminate;
    }
}

std::optional<std::vector<std::pair<size_t, size_t>>> BoundPredicate::equi_pairs(size_t left_width) const {
    std::vector<std::pair<size_t, size_t>> pairs;
    // An AND tree flattened left to right.
    std::vector<const BoundPredicate*> stack{this};
    while (!stack.empty()) {
        const BoundPredicate* p = stack.back();
        stack.pop_back();
        if (p->kind_ == Kind::And) {
            stack.push_back(p->b_.get());
            stack.push_back(p->a_.get());
            continue;
        }
        if (p->kind_ != Kind::Compare || p->op_ != CompareCode::Eq || p->literal_) return std::nullopt;
        const size_t a = p->left_, b = p->right_;
        if (a < left_width && left_width <= b) pairs.emplace_back(a, b - left_width);
        else if (b < left_width && left_width <= a) pairs.emplace_back(b, a - left_width);
        else return std::nullopt;
    }
    return pairs;
}

}  // namespace zembrel::operators

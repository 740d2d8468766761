#include "executor/explain.h"

#include "types/text_format.h"

namespace zembrel::executor::explain {

namespace {

std::string bound_text(const Bound& bound) {
    switch (bound.kind) {
        case Bound::Kind::Included: return "Included(" + bound.value.display() + ")";
        case Bound::Kind::Excluded: return "Excluded(" + bound.value.display() + ")";
        case Bound::Kind::Unbounded: return "Unbounded";
    }
    return "Unbounded";
}

std::string kind_text(parser::JoinKind kind) {
    switch (kind) {
        case parser::JoinKind::Inner: return "Inner";
        case parser::JoinKind::Left: return "Left";
        case parser::JoinKind::Right: return "Right";
    }
    return "Inner";
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
    return out;
}

}  // namespace

std::string index_seek_line(const std::string& table, const AccessPath& path) {
    if (path.kind == AccessPath::Kind::Composite) {
        std::vector<std::string> values;
        for (const Value& v : path.key) values.push_back(v.display());
        return format("IndexSeek(table={}, index=({}), key=[{}])", table, joined(path.columns, ","),
                      joined(values, ","));
    }
    return format("IndexSeek(table={}, col={}, lower={}, upper={})", table, path.columns.front(),
                  bound_text(path.lower), bound_text(path.upper));
}

std::string nested_loop_line(parser::JoinKind kind) { return format("NestedLoopJoin(kind={})", kind_text(kind)); }

std::string hash_join_line(parser::JoinKind kind, const std::vector<size_t>& left_keys, bool build_left) {
    std::vector<std::string> keys;
    for (size_t k : left_keys) keys.push_back(std::to_string(k));
    return format(build_left ? "HashJoin(build=left, probe=right, kind={}, keys=[{}])"
                             : "HashJoin(build=right, probe=left, kind={}, keys=[{}])",
                  kind_text(kind), joined(keys, ", "));
}

void pipeline_tail(std::vector<std::string>& lines, bool residual_where, bool aggregates, bool order_by,
                   std::optional<uint64_t> limit) {
    if (residual_where) lines.emplace_back("Filter");
    if (aggregates) lines.emplace_back("HashAggregate");
    if (order_by) lines.emplace_back("ExternalSort");
    if (limit) lines.push_back(format("Limit({})", *limit));
    lines.emplace_back("Project");
}

}  // namespace zembrel::executor::explain

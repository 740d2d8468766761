#include "executor/where_filter.h"

#include <numeric>

namespace zembrel::executor {

struct RowFilter::Bound {};

RowFilter::RowFilter(std::unique_ptr<Bound> bound) : bound_(std::move(bound)) {}
RowFilter::RowFilter(RowFilter&&) noexcept = default;
RowFilter& RowFilter::operator=(RowFilter&&) noexcept = default;
RowFilter::~RowFilter() = default;

std::vector<size_t> RowFilter::matching(const LoadedTables&, const Table& table) const { return all_positions(table); }

Status check_where(const Table&, parser::Expr&) { return execution_error("WHERE is not supported yet"); }

Result<RowFilter> bind_where(const Table&, const parser::Expr&) { return execution_error("WHERE is not supported yet"); }

std::vector<size_t> all_positions(const Table& table) {
    std::vector<size_t> out(table.rows.size());
    std::iota(out.begin(), out.end(), size_t{0});
    return out;
}

}  // namespace zembrel::executor

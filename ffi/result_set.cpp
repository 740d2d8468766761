// Result-set accessors: never fail, out-of-range gives NULL or 0.
#include <cstdint>

#include "c_text.h"
#include "handles.h"
#include "messages.h"
#include "zembrel.h"

namespace {
// A C index widened with its sign and compared unsigned: negatives are out of range.
bool in_range(int index, size_t count) { return static_cast<uint64_t>(static_cast<int64_t>(index)) < count; }
}  // namespace

namespace zembrel::ffi {

zembrel_result* new_rows_result(const Rows& rows) {
    auto* rs = new zembrel_result();
    rs->columns.reserve(rows.columns.size());
    for (const std::string& name : rows.columns) rs->columns.push_back(c_safe(name).value_or(""));
    rs->rows.reserve(rows.rows.size());
    for (const Row& row : rows.rows) {
        std::vector<std::string> cells;
        cells.reserve(row.size());
        for (const Value& v : row) cells.push_back(c_safe(v.display()).value_or(""));
        rs->rows.push_back(std::move(cells));
    }
    return rs;
}

zembrel_result* new_message_result(const ExecResult& result) {
    auto* rs = new zembrel_result();
    rs->message = c_safe(exec_result_message(result));
    return rs;
}

}  // namespace zembrel::ffi

extern "C" {

int zembrel_result_column_count(const zembrel_result* rs) noexcept {
    return rs == nullptr ? 0 : static_cast<int>(static_cast<uint32_t>(rs->columns.size()));
}

const char* zembrel_result_column_name(const zembrel_result* rs, int column) noexcept {
    if (rs == nullptr || !in_range(column, rs->columns.size())) return nullptr;
    return rs->columns[static_cast<size_t>(column)].c_str();
}

int zembrel_result_row_count(const zembrel_result* rs) noexcept {
    return rs == nullptr ? 0 : static_cast<int>(static_cast<uint32_t>(rs->rows.size()));
}

const char* zembrel_result_value(const zembrel_result* rs, int row, int column) noexcept {
    if (rs == nullptr || !in_range(row, rs->rows.size())) return nullptr;
    const auto& cells = rs->rows[static_cast<size_t>(row)];
    if (!in_range(column, cells.size())) return nullptr;
    return cells[static_cast<size_t>(column)].c_str();
}

const char* zembrel_result_message(const zembrel_result* rs) noexcept {
    if (rs == nullptr || !rs->message) return nullptr;
    return rs->message->c_str();
}

void zembrel_result_free(zembrel_result* rs) noexcept { delete rs; }

}  // extern "C"

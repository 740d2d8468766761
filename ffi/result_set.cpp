// Result-set accessors: never fail, out-of-range gives NULL or 0.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "c_text.h"
#include "handles.h"
#include "messages.h"
#include "types/float_text.h"
#include "zembrel.h"

namespace {

using zembrel::Value;
using zembrel::ValueKind;

// Blocks grow to this size, so a small result stays small and a large one
// takes one allocation per megabyte.
constexpr size_t kLargestBlock = size_t{1} << 20;

// A C index widened with its sign and compared unsigned: negatives are out of range.
bool in_range(int index, size_t count) { return static_cast<uint64_t>(static_cast<int64_t>(index)) < count; }

// The cell text (Value::display) of a value that carries no text, appended
// without an allocation of its own.
void append_cell_text(std::string& out, const Value& v) {
    switch (v.kind()) {
        case ValueKind::Int: {
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, v.as_int()).ptr;
            out.append(digits, end);
            break;
        }
        case ValueKind::Float: zembrel::append_float_cell_text(out, v.as_float()); break;
        case ValueKind::Bool: out += v.as_bool() ? "true" : "false"; break;
        default: out += "NULL"; break;
    }
}

}  // namespace

namespace zembrel::ffi {

void ResultBuilder::place(std::string_view text) {
    const size_t need = text.size() + 1;
    if (room_ < need) {
        const size_t size = std::max(need, next_block_);
        next_block_ = std::min(next_block_ * 2, kLargestBlock);
        rs_.blocks.push_back(std::make_unique_for_overwrite<char[]>(size));
        free_ = rs_.blocks.back().get();
        room_ = size;
    }
    // A cell read as "" (a text holding a NUL byte) comes as an empty view
    // with no pointer, which memcpy may not be given even for no bytes.
    if (!text.empty()) std::memcpy(free_, text.data(), text.size());
    free_[text.size()] = '\0';
    rs_.cells.push_back(free_);
    free_ += need;
    room_ -= need;
}

void ResultBuilder::row(RowView row) {
    rs_.row_starts.push_back(rs_.cells.size());
    for (const Value& v : row) {
        if (v.has_text()) {
            const std::string_view text = v.as_text();
            place(std::memchr(text.data(), '\0', text.size()) == nullptr ? text : std::string_view());
            continue;
        }
        scratch_.clear();
        append_cell_text(scratch_, v);
        place(scratch_);
    }
}

zembrel_result* ResultBuilder::finish(const std::vector<std::string>& columns) {
    rs_.columns.reserve(columns.size());
    for (const std::string& name : columns) rs_.columns.push_back(c_safe(name).value_or(""));
    rs_.row_starts.push_back(rs_.cells.size());
    return new zembrel_result(std::move(rs_));
}

zembrel_result* new_rows_result(const Rows& rows) {
    ResultBuilder builder;
    for (const Row& row : rows.rows) builder.row(row);
    return builder.finish(rows.columns);
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
    return rs == nullptr ? 0 : static_cast<int>(static_cast<uint32_t>(rs->row_count()));
}

const char* zembrel_result_value(const zembrel_result* rs, int row, int column) noexcept {
    if (rs == nullptr || !in_range(row, rs->row_count())) return nullptr;
    const size_t first = rs->row_starts[static_cast<size_t>(row)];
    if (!in_range(column, rs->row_starts[static_cast<size_t>(row) + 1] - first)) return nullptr;
    return rs->cells[first + static_cast<size_t>(column)];
}

const char* zembrel_result_message(const zembrel_result* rs) noexcept {
    if (rs == nullptr || !rs->message) return nullptr;
    return rs->message->c_str();
}

void zembrel_result_free(zembrel_result* rs) noexcept { delete rs; }

}  // extern "C"

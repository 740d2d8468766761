#include "legacy/table_record.h"

#include <algorithm>

#include "pager/le_bytes.h"
#include "types/text_format.h"

namespace zembrel::storage {

namespace {


constexpr std::uint8_t kStrTag = 7;

Result<DataType> decode_data_type(Cursor& c) {
    auto tag = read_u8(c);
    if (!tag) return fail(tag.error());
    if (*tag > kStrTag) return storage_error(format("invalid data type tag: {}", *tag));
    if (*tag == kStrTag) {
        auto n = read_u16(c);
        if (!n) return fail(n.error());
        return DataType::str(*n);
    }
    return DataType::of(static_cast<DataTypeKind>(*tag));
}

Result<Column> decode_column(Cursor& c) {
    Column col;
    auto name = decode_string(c);
    if (!name) return fail(name.error());
    col.name = std::move(*name);
    auto type = decode_data_type(c);
    if (!type) return fail(type.error());
    col.data_type = *type;
    auto nullable = read_u8(c);
    if (!nullable) return fail(nullable.error());
    col.nullable = *nullable != 0;
    auto def = read_u8(c);
    if (!def) return fail(def.error());
    switch (*def) {
        case 0: break;
        case 1: col.default_value = DefaultValue::today(); break;
        case 2: {
            auto v = decode_value(c);
            if (!v) return fail(v.error());
            col.default_value = DefaultValue::of(std::move(*v));
            break;
        }
        default: return storage_error(format("invalid default tag: {}", *def));
    }
    auto salt = read_u8(c);
    if (!salt) return fail(salt.error());
    if (*salt > 1) return storage_error(format("invalid salt tag: {}", *salt));
    if (*salt == 1) {
        auto s = decode_string(c);
        if (!s) return fail(s.error());
        col.salt = std::move(*s);
    }
    return col;
}

Status encode_column(Bytes& out, const Column& col) {
    if (auto st = put_string(out, col.name); !st) return st;
    out.push_back(static_cast<std::uint8_t>(col.data_type.kind));
    if (col.data_type.kind == DataTypeKind::Str) put_u16(out, col.data_type.size);
    out.push_back(col.nullable ? 1 : 0);
    if (!col.default_value) {
        out.push_back(0);
    } else if (col.default_value->is_today()) {
        out.push_back(1);
    } else {
        out.push_back(2);
        if (auto st = encode_value(out, col.default_value->literal); !st) return st;
    }
    if (!col.salt) {
        out.push_back(0);
    } else {
        out.push_back(1);
        if (auto st = put_string(out, *col.salt); !st) return st;
    }
    return {};
}

}  // namespace

Result<std::uint8_t> read_u8(Cursor& c) {
    if (c.remaining() < 1) return unexpected_eof();
    return c.bytes[c.pos++];
}

Result<std::uint16_t> read_u16(Cursor& c) {
    if (c.remaining() < 2) return unexpected_eof();
    std::uint16_t v = le::get16(c.bytes.data() + c.pos);
    c.pos += 2;
    return v;
}

Result<std::uint32_t> read_u32(Cursor& c) {
    if (c.remaining() < 4) return unexpected_eof();
    std::uint32_t v = le::get32(c.bytes.data() + c.pos);
    c.pos += 4;
    return v;
}

Result<ByteView> read_bytes(Cursor& c, std::uint64_t count) {
    if (c.remaining() < count) return unexpected_eof();
    ByteView v = c.bytes.subspan(c.pos, static_cast<size_t>(count));
    c.pos += static_cast<size_t>(count);
    return v;
}

void put_u16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Status put_string(Bytes& out, std::string_view s) {
    if (s.size() > kMaxRecordText)
        return storage_error(format("text of {} bytes is too long to store (limit 4294967295)", s.size()));
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
    return {};
}

Result<Table> decode_table_record(Cursor& c) {
    Table table;
    auto name = decode_string(c);
    if (!name) return fail(name.error());
    table.name = std::move(*name);
    auto column_count = read_u16(c);
    if (!column_count) return fail(column_count.error());
    for (std::uint16_t i = 0; i < *column_count; ++i) {
        auto col = decode_column(c);
        if (!col) return fail(col.error());
        table.columns.push_back(std::move(*col));
    }
    auto row_count = read_u32(c);
    if (!row_count) return fail(row_count.error());
    const std::uint64_t width = *column_count;
    if (width == 0 && *row_count > 0)
        return storage_error(format("table record '{}' has {} rows but no columns", table.name, *row_count));
    // Each value takes at least one byte: a count the bytes cannot hold fails
    // before any row is made.
    if (*row_count * width > c.remaining()) return unexpected_eof();
    table.rows.reserve(*row_count, width);
    for (std::uint32_t r = 0; r < *row_count; ++r) {
        std::span<Value> row = table.rows.append_blank(width);
        for (Value& cell : row) {
            auto v = decode_value(c);
            if (!v) return fail(v.error());
            cell = std::move(*v);
        }
    }
    return table;
}

Status encode_table_record(Bytes& out, std::string_view name, const Table& table) {
    if (auto st = put_string(out, name); !st) return st;
    if (table.columns.size() > 0xFFFF)
        return storage_error(format("table '{}' has too many columns for a snapshot ({})", name, table.columns.size()));
    put_u16(out, static_cast<std::uint16_t>(table.columns.size()));
    for (const Column& col : table.columns)
        if (auto st = encode_column(out, col); !st) return st;
    if (table.rows.size() > 0xFFFFFFFFULL)
        return storage_error(format("table '{}' has too many rows for a snapshot ({})", name, table.rows.size()));
    put_u32(out, static_cast<std::uint32_t>(table.rows.size()));
    for (const RowView row : table.rows) {
        if (row.size() != table.columns.size())
            return storage_error(
                format("table '{}' has a row of {} values for {} columns", name, row.size(), table.columns.size()));
        for (const Value& v : row)
            if (auto st = encode_value(out, v); !st) return st;
    }
    return {};
}

}  // namespace zembrel::storage

#include "keycodec/keycodec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::keycodec {

namespace {

constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;

void put_be64(std::uint64_t v, Bytes& out) {
    const size_t at = out.size();
    out.resize(at + 8);
    for (size_t i = 0; i < 8; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

// An Int key of the 64-bit pattern `v` (an int64 or a row id).
void put_int(std::uint64_t v, Bytes& out) {
    out.push_back(kInt);
    put_be64(v ^ kSignBit, out);
}

std::uint64_t get_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

std::uint8_t text_tag(ValueKind k) {
    switch (k) {
        case ValueKind::Uuid: return kUuid;
        case ValueKind::Date: return kDate;
        case ValueKind::DateTime: return kDateTime;
        default: return kText;
    }
}

Result<Decoded> decode_text(ByteView bytes, ValueKind kind) {
    std::string text;
    size_t i = 1;
    for (;;) {
        if (i >= bytes.size()) return storage_error("unterminated string key");
        std::uint8_t b = bytes[i];
        if (b != 0x00) {
            text.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        if (i + 1 >= bytes.size()) return storage_error("unterminated string key");
        std::uint8_t next = bytes[i + 1];
        i += 2;
        if (next == 0xFF) {
            text.push_back('\0');
        } else if (next == 0x01) {
            break;
        } else {
            char hex[3];
            static const char digits[] = "0123456789ABCDEF";
            hex[0] = digits[next >> 4];
            hex[1] = digits[next & 0x0F];
            hex[2] = '\0';
            return storage_error(format("invalid string escape: 0x00 0x{}", hex));
        }
    }
    if (auto err = utf8_error(text)) return storage_error("invalid UTF-8 in key: " + *err);
    return Decoded{Value::with_text(kind, std::move(text)), i};
}

}  // namespace

void encode_escaped(std::uint8_t tag, std::string_view text, Bytes& out) {
    out.push_back(tag);
    for (char c : text) {
        auto b = static_cast<std::uint8_t>(c);
        out.push_back(b);
        if (b == 0x00) out.push_back(0xFF);
    }
    out.push_back(0x00);
    out.push_back(0x01);
}

void encode_value(const Value& value, Bytes& out) {
    switch (value.kind()) {
        case ValueKind::Null: out.push_back(kNull); return;
        case ValueKind::Bool:
            out.push_back(kBool);
            out.push_back(value.as_bool() ? 0x01 : 0x00);
            return;
        case ValueKind::Int: put_int(static_cast<std::uint64_t>(value.as_int()), out); return;
        case ValueKind::Float: {
            std::uint64_t bits = std::bit_cast<std::uint64_t>(value.as_float());
            bits = (bits & kSignBit) ? ~bits : (bits | kSignBit);
            out.push_back(kFloat);
            put_be64(bits, out);
            return;
        }
        default: encode_escaped(text_tag(value.kind()), value.as_text(), out); return;
    }
}

size_t encoded_length(const Value& value) {
    switch (value.kind()) {
        case ValueKind::Null: return 1;
        case ValueKind::Bool: return 2;
        case ValueKind::Int:
        case ValueKind::Float: return 9;
        default: {
            // Tag, the bytes with every zero byte doubled, the terminator.
            const std::string_view text = value.as_text();
            return 1 + text.size() + static_cast<size_t>(std::count(text.begin(), text.end(), '\0')) + 2;
        }
    }
}

Bytes table_key(std::uint64_t rowid) {
    Bytes out;
    out.reserve(kTableKeyLen);
    put_int(rowid, out);
    return out;
}

Bytes index_key(std::span<const Value> values, std::uint64_t rowid) {
    Bytes out;
    for (const Value& v : values) encode_value(v, out);
    put_int(rowid, out);
    return out;
}

Bytes catalog_key(std::string_view table_name) {
    Bytes out;
    encode_escaped(kText, table_name, out);
    return out;
}

Result<Decoded> decode_value(ByteView bytes) {
    if (bytes.empty()) return storage_error("empty key");
    std::uint8_t tag = bytes[0];
    switch (tag) {
        case kNull: return Decoded{Value::null(), 1};
        case kBool:
            if (bytes.size() < 2) return storage_error("truncated bool key");
            return Decoded{Value::boolean(bytes[1] != 0x00), 2};
        case kInt:
            if (bytes.size() < 9) return storage_error("truncated int key");
            return Decoded{Value::integer(static_cast<std::int64_t>(get_be64(bytes.data() + 1) ^ kSignBit)), 9};
        case kFloat: {
            if (bytes.size() < 9) return storage_error("truncated float key");
            std::uint64_t p = get_be64(bytes.data() + 1);
            std::uint64_t bits = (p & kSignBit) ? (p & ~kSignBit) : ~p;
            return Decoded{Value::floating(std::bit_cast<double>(bits)), 9};
        }
        case kText: return decode_text(bytes, ValueKind::Text);
        case kUuid: return decode_text(bytes, ValueKind::Uuid);
        case kDate: return decode_text(bytes, ValueKind::Date);
        case kDateTime: return decode_text(bytes, ValueKind::DateTime);
        default: return storage_error(format("invalid key tag: {}", static_cast<unsigned>(tag)));
    }
}

Result<Value> decode_key(ByteView bytes) {
    auto d = decode_value(bytes);
    if (!d) return fail(std::move(d.error()));
    if (d->consumed != bytes.size()) return storage_error("trailing bytes after key");
    return std::move(d->value);
}

Result<size_t> decode_index_key_into(ByteView bytes, size_t n, std::vector<Value>& values, std::uint64_t& rowid) {
    values.resize(n);
    size_t at = 0;
    // An Int (every row id, most keys) is read in place: a walk over a
    // whole index meets one per entry.
    const auto int_at = [&](size_t from) { return bytes.size() - from >= 9 && bytes[from] == kInt; };
    const auto int_value = [&](size_t from) { return get_be64(bytes.data() + from + 1) ^ kSignBit; };
    for (size_t i = 0; i < n; ++i) {
        if (int_at(at)) {
            values[i] = Value::integer(static_cast<std::int64_t>(int_value(at)));
            at += 9;
            continue;
        }
        auto d = decode_value(bytes.subspan(at));
        if (!d) return fail(std::move(d.error()));
        at += d->consumed;
        values[i] = std::move(d->value);
    }
    if (int_at(at)) {
        rowid = int_value(at);
        return at + 9;
    }
    auto last = decode_value(bytes.subspan(at));
    if (!last) return fail(std::move(last.error()));
    if (!last->value.is_int()) return storage_error("index key rowid must be Int");
    rowid = static_cast<std::uint64_t>(last->value.as_int());
    return at + last->consumed;
}

std::optional<std::uint64_t> rowid_after_prefix(ByteView key, ByteView prefix) {
    if (key.size() != prefix.size() + 9 || key[prefix.size()] != kInt) return std::nullopt;
    if (!prefix.empty() && std::memcmp(key.data(), prefix.data(), prefix.size()) != 0) return std::nullopt;
    return get_be64(key.data() + prefix.size() + 1) ^ kSignBit;
}

Result<DecodedIndexKey> decode_index_key(ByteView bytes, size_t n) {
    DecodedIndexKey out;
    auto consumed = decode_index_key_into(bytes, n, out.values, out.rowid);
    if (!consumed) return fail(std::move(consumed.error()));
    out.consumed = *consumed;
    return out;
}

std::optional<std::vector<Value>> index_key_for_row(std::span<const Value> row, std::span<const size_t> positions) {
    std::vector<Value> out;
    out.reserve(positions.size());
    for (size_t p : positions) {
        // Loaded rows are checked against their table's width.
        if (p >= row.size()) invariant_failed(format("index column position {} outside a row of {} values", p, row.size()));
        if (row[p].is_null()) return std::nullopt;
        out.push_back(row[p]);
    }
    return out;
}

}  // namespace zembrel::keycodec

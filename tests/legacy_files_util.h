// Hand-made legacy databases for tests: snapshot files of each version, the
// snapshot log with its records, and the JSON document in both forms, built
// from one sample Database.
#pragma once

#include <openssl/sha.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "catalog/schema_json.h"
#include "legacy/snapshot_file.h"
#include "legacy/table_record.h"
#include "pager/le_bytes.h"
#include "test_util.h"

namespace zembrel::testing::legacy {

using storage::Bytes;

// "B" (no rows) sorts before "people" (every column form, enough rows that
// its record spans several pages).
inline Database sample_database() {
    Database db;
    Table b;
    b.name = "B";
    b.columns = {col("x", DataType::of(DataTypeKind::Int)), col("y", DataType::str(5))};
    db.tables["B"] = b;

    Table p;
    p.name = "people";
    p.columns = {col("id", DataType::of(DataTypeKind::Pk), {}, {}, false), col("name", DataType::of(DataTypeKind::Text), {}, {}, false),
                 col("age", DataType::of(DataTypeKind::Int)), col("score", DataType::of(DataTypeKind::Float)),
                 col("ok", DataType::of(DataTypeKind::Bool)), col("born", DataType::of(DataTypeKind::Date)),
                 col("at", DataType::of(DataTypeKind::DateTime)), col("pw", DataType::of(DataTypeKind::Text))};
    p.columns[2].default_value = DefaultValue::of(Value::integer(7));
    p.columns[5].default_value = DefaultValue::today();
    p.columns[7].salt = "0f3c5a4e-1d2b-4c6a-8e9f-000000000001";
    for (int i = 0; i < 60; ++i) {
        p.rows.push_back({Value::with_text(ValueKind::Uuid, "00000000-0000-4000-8000-0000000000" + std::to_string(10 + i)),
                          Value::text("person-" + std::to_string(i) + std::string(100, 'x')),
                          i % 5 ? Value::integer(i) : Value::null(), Value::floating(i + 0.25), Value::boolean(i % 2),
                          Value::with_text(ValueKind::Date, "2020-01-0" + std::to_string(1 + i % 9)),
                          Value::with_text(ValueKind::DateTime, "2020-01-01 10:00:0" + std::to_string(i % 10)),
                          Value::null()});
    }
    db.tables["people"] = p;
    return db;
}

// A table of texts as a legacy file may carry them: one holding a NUL byte,
// which the C interface cannot hand out whole, and an empty one.
inline Table nul_text_table() {
    Table t;
    t.name = "notes";
    t.columns = {col("n", DataType::of(DataTypeKind::Int)), col("t", DataType::of(DataTypeKind::Text))};
    t.rows = {{Value::integer(1), Value::text(std::string("a\0b", 3))},
              {Value::integer(2), Value::text("")},
              {Value::integer(3), Value::text("plain")}};
    return t;
}

inline Bytes snapshot_v3(const Database& db) {
    auto image = storage::encode_snapshot_image(db);
    return image ? *image : Bytes();
}

// Version 2 is version 3 without file length and digest.
inline Bytes snapshot_v2(const Database& db) {
    Bytes v3 = snapshot_v3(db);
    Bytes v2 = v3;
    std::memset(v2.data() + 14, 0, 4096 - 14);
    le::put16(v2.data() + 4, 2);
    std::memcpy(v2.data() + 14, v3.data() + 54, 4096 - 56);
    return v2;
}

inline Bytes snapshot_v1(const Database& db) {
    Bytes out = {'K', 'R', 'V', 'D', 1, 0};
    storage::put_u32(out, static_cast<std::uint32_t>(db.tables.size()));
    for (const auto& [name, table] : db.tables) (void)storage::encode_table_record(out, name, table);
    return out;
}

// Makes the digest of a changed version-3 image good again.
inline void reseal(Bytes& b) {
    storage::Digest d = storage::image_checksum(b);
    std::memcpy(b.data() + 22, d.data(), d.size());
}

// A version-3 image whose chains are loose in ways the format allows: every
// directory length becomes `length`, and the last page of each chain links
// to `last_next` of the chain's first page. Resealed.
inline Bytes relinked(Bytes b, std::uint32_t length, const std::function<std::uint32_t(std::uint32_t)>& last_next) {
    size_t at = 56;
    const std::uint16_t count = le::get16(b.data() + 54);
    for (std::uint16_t i = 0; i < count; ++i) {
        at += 4 + le::get32(b.data() + at);
        const std::uint32_t first = le::get32(b.data() + at);
        le::put32(b.data() + at + 4, length);
        at += 8;
        std::uint32_t page = first;
        while (le::get32(b.data() + page * 4096) != 0) page = le::get32(b.data() + page * 4096);
        le::put32(b.data() + page * 4096, last_next(first));
    }
    reseal(b);
    return b;
}

// A version-3 image with one more directory entry, after the others. Resealed.
inline Bytes with_entry(Bytes b, const std::string& name, std::uint32_t first, std::uint32_t length) {
    size_t at = 56;
    const std::uint16_t count = le::get16(b.data() + 54);
    for (std::uint16_t i = 0; i < count; ++i) at += 4 + le::get32(b.data() + at) + 8;
    le::put32(b.data() + at, static_cast<std::uint32_t>(name.size()));
    std::memcpy(b.data() + at + 4, name.data(), name.size());
    le::put32(b.data() + at + 4 + name.size(), first);
    le::put32(b.data() + at + 8 + name.size(), length);
    le::put16(b.data() + 54, static_cast<std::uint16_t>(count + 1));
    reseal(b);
    return b;
}

// The object form, or with `array` the array forms of document and tables;
// a table's row ids and next row id only when it has ids.
inline std::string json_document(const Database& db, bool array = false) {
    std::string out = array ? "[{" : "{\"tables\":{";
    bool first = true;
    for (const auto& [name, t] : db.tables) {
        if (!first) out += ",";
        first = false;
        out += "\"" + name + "\":" + (array ? "[\"" + t.name + "\",[" : "{\"name\":\"" + t.name + "\",\"columns\":[");
        for (size_t i = 0; i < t.columns.size(); ++i) {
            if (i) out += ",";
            (void)schema_json::write_column(out, t.columns[i]);
        }
        out += array ? "],[" : "],\"rows\":[";
        for (size_t i = 0; i < t.rows.size(); ++i) {
            if (i) out += ",";
            (void)schema_json::write_row(out, t.rows[i]);
        }
        out += "]";
        if (!t.rowids.empty()) {
            out += array ? ",[" : ",\"rowids\":[";
            for (size_t i = 0; i < t.rowids.size(); ++i) out += (i ? "," : "") + std::to_string(t.rowids[i]);
            out += (array ? "]," : "],\"next_rowid\":") + std::to_string(t.next_rowid);
        }
        out += array ? "]" : "}";
    }
    out += array ? "}]" : "}}";
    return out;
}

inline Bytes log_header(const Bytes& snapshot) {
    Bytes out = {'K', 'R', 'V', 'W', 1, 0};
    storage::Digest d = storage::sha256(snapshot);
    out.insert(out.end(), d.begin(), d.end());
    return out;
}

inline void append_log_record(Bytes& log, const Bytes& payload, bool good_digest = true) {
    storage::put_u32(log, static_cast<std::uint32_t>(payload.size()));
    storage::Digest d = storage::sha256(payload);
    if (!good_digest) d[0] ^= 1;
    log.insert(log.end(), d.begin(), d.end());
    log.insert(log.end(), payload.begin(), payload.end());
}

inline Bytes table_image_payload(const Table& t) {
    Bytes out = {1};
    (void)storage::encode_table_record(out, t.name, t);
    return out;
}

inline Bytes row_append_payload(const std::string& table, const std::vector<Row>& rows, std::uint16_t width,
                                std::uint32_t stated_count) {
    Bytes out = {2};
    (void)storage::put_string(out, table);
    storage::put_u32(out, stated_count);
    storage::put_u16(out, width);
    for (const Row& r : rows)
        for (const Value& v : r) (void)storage::encode_value(out, v);
    return out;
}

inline Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

}  // namespace zembrel::testing::legacy

#include "legacy/snapshot_log.h"

#include <cstring>
#include <vector>

#include "legacy/snapshot_file.h"
#include "legacy/table_record.h"
#include "pager/le_bytes.h"
#include "types/text_format.h"

namespace zembrel::storage {

namespace {

constexpr size_t kHeaderLen = 38;
constexpr size_t kRecordHead = 36;

// One record's effect; its errors are only reasons to stop the replay.
Status apply_record(Database& db, ByteView payload) {
    Cursor c{payload, 0};
    auto kind = read_u8(c);
    if (!kind) return fail(kind.error());
    if (*kind == 1) {
        auto table = decode_table_record(c);
        if (!table) return fail(table.error());
        std::string name = table->name;
        db.tables.insert_or_assign(std::move(name), std::move(*table));
        return {};
    }
    if (*kind != 2) return storage_error(format("invalid WAL record tag: {}", *kind));
    auto name = decode_string(c);
    if (!name) return fail(name.error());
    auto count = read_u32(c);
    if (!count) return fail(count.error());
    auto width = read_u16(c);
    if (!width) return fail(width.error());
    auto it = db.tables.find(*name);
    if (it == db.tables.end()) return storage_error(format("WAL references unknown table '{}'", *name));
    Table& table = it->second;
    if (table.columns.size() != *width) return storage_error(format("WAL column count mismatch for table '{}'", *name));
    // Rows of no values take no bytes: nothing bounds their count.
    if (*width == 0 && *count > 0) return storage_error(format("WAL rows without values for table '{}'", *name));
    if (static_cast<std::uint64_t>(*count) * *width > c.remaining()) return storage_error("unexpected end of file");
    std::vector<Row> rows;
    rows.reserve(*count);
    for (std::uint32_t r = 0; r < *count; ++r) {
        Row row;
        row.reserve(*width);
        for (std::uint16_t i = 0; i < *width; ++i) {
            auto v = decode_value(c);
            if (!v) return fail(v.error());
            row.push_back(std::move(*v));
        }
        rows.push_back(std::move(row));
    }
    // Decoded whole before the table changes.
    for (Row& row : rows) table.rows.push_back(std::move(row));
    return {};
}

}  // namespace

LogOutcome replay_snapshot_log(Database& db, std::optional<ByteView> log, ByteView snapshot) {
    if (!log || log->empty()) return LogOutcome::Untouched;
    ByteView bytes = *log;
    if (has_snapshot_magic(bytes)) return LogOutcome::Untouched;
    if (bytes.size() < 4 || std::memcmp(bytes.data(), "KRVW", 4) != 0) return LogOutcome::Discarded;
    if (bytes.size() < kHeaderLen || le::get16(bytes.data() + 4) != 1) return LogOutcome::Discarded;
    Digest stated;
    std::memcpy(stated.data(), bytes.data() + 6, stated.size());
    if (stated != sha256(snapshot) || bytes.size() < kHeaderLen + kRecordHead) return LogOutcome::Discarded;

    size_t applied = 0;
    size_t at = kHeaderLen;
    while (bytes.size() - at >= kRecordHead) {
        std::uint64_t len = le::get32(bytes.data() + at);
        if (len > bytes.size() - at - kRecordHead) break;
        ByteView payload = bytes.subspan(at + kRecordHead, static_cast<size_t>(len));
        Digest digest;
        std::memcpy(digest.data(), bytes.data() + at + 4, digest.size());
        if (digest != sha256(payload)) break;
        if (!apply_record(db, payload)) break;
        ++applied;
        at += kRecordHead + static_cast<size_t>(len);
    }
    return applied > 0 ? LogOutcome::Applied : LogOutcome::Discarded;
}

}  // namespace zembrel::storage

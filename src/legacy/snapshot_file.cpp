#include "legacy/snapshot_file.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "legacy/json_database.h"
#include "legacy/table_record.h"
#include "pager/le_bytes.h"
#include "types/text_format.h"

namespace zembrel::storage {

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'D'};
constexpr size_t kDigestAt = 22;
constexpr size_t kV3DirAt = 56;
constexpr size_t kV2DirAt = 16;


// Gathers one record's bytes by following its page chain: what the chain
// holds, up to the directory's length, which may run past the chain's end
// (the record then decodes from what arrived). Records may share pages and a
// chain may come back to a page; the walk stops once it has read as many
// pages as the file has data pages, so no loop of links makes a record
// larger than the file. A link it would follow is still checked.
Result<Bytes> collect_record(ByteView file, std::uint32_t first, std::uint32_t length) {
    Bytes record;
    if (first == 0 || length == 0) return record;
    const std::uint64_t data_pages = file.size() / kSnapshotPageSize - 1;
    record.reserve(std::min<std::uint64_t>(length, data_pages * kSnapshotPagePayload));
    std::uint64_t left = length;
    std::uint64_t page = first;
    for (std::uint64_t read = 0;; ++read) {
        if (page * kSnapshotPageSize + kSnapshotPageSize > file.size())
            return storage_error(format("page {} out of bounds", page));
        // Past this many pages the chain only repeats pages it has given.
        if (read == data_pages) break;
        const std::uint8_t* p = file.data() + page * kSnapshotPageSize;
        const std::uint32_t next = le::get32(p);
        const std::uint64_t take = std::min<std::uint64_t>(left, kSnapshotPagePayload);
        record.insert(record.end(), p + 4, p + 4 + take);
        if (next == 0 || left <= kSnapshotPagePayload) break;
        left -= kSnapshotPagePayload;
        page = next;
    }
    return record;
}

Result<Database> parse_paged(ByteView file, std::uint16_t version) {
    if (file.size() < kSnapshotPageSize) return storage_error("file too small for paged format");
    std::uint32_t page_size = le::get32(file.data() + 6);
    if (page_size != kSnapshotPageSize) return storage_error(format("unsupported page size: {}", page_size));
    std::uint64_t page_count = le::get32(file.data() + 10);
    if (page_count * kSnapshotPageSize > file.size())
        return storage_error("file truncated: fewer bytes than page count");
    if (version == 3) {
        std::uint64_t stated = le::get64(file.data() + 14);
        if (stated != file.size())
            return storage_error(format("file length mismatch: header says {}, got {}", stated, file.size()));
        Digest stored;
        std::memcpy(stored.data(), file.data() + kDigestAt, stored.size());
        if (stored != image_checksum(file)) return storage_error("checksum mismatch: file is corrupt");
    }
    Cursor dir{file.subspan(0, kSnapshotPageSize), version == 3 ? kV3DirAt - 2 : kV2DirAt - 2};
    auto count = read_u16(dir);
    if (!count) return fail(count.error());
    struct Entry {
        std::string name;
        std::uint32_t first;
        std::uint32_t length;
    };
    std::vector<Entry> entries;
    for (std::uint16_t i = 0; i < *count; ++i) {
        auto name = decode_string(dir);
        if (!name) return fail(name.error());
        auto first = read_u32(dir);
        if (!first) return fail(first.error());
        auto length = read_u32(dir);
        if (!length) return fail(length.error());
        entries.push_back({std::move(*name), *first, *length});
    }
    Database db;
    for (Entry& e : entries) {
        auto bytes = collect_record(file, e.first, e.length);
        if (!bytes) return fail(bytes.error());
        Cursor c{*bytes, 0};
        auto table = decode_table_record(c);
        if (!table) return fail(table.error());
        db.tables.insert_or_assign(std::move(e.name), std::move(*table));
    }
    return db;
}

Result<Database> parse_v1(ByteView file) {
    if (file.size() < 10) return unexpected_eof();
    std::uint32_t count = le::get32(file.data() + 6);
    Cursor c{file, 10};
    Database db;
    // Every record takes at least ten bytes, so the loop ends with the file.
    for (std::uint32_t i = 0; i < count; ++i) {
        auto table = decode_table_record(c);
        if (!table) return fail(table.error());
        std::string name = table->name;
        db.tables.insert_or_assign(std::move(name), std::move(*table));
    }
    return db;
}

}  // namespace

Digest sha256(ByteView bytes) {
    Digest d;
    ::SHA256(bytes.data(), bytes.size(), d.data());
    return d;
}

Digest image_checksum(ByteView image) {
    static constexpr std::uint8_t kZero[32] = {};
    Digest d{};
    EVP_MD_CTX* ctx = ::EVP_MD_CTX_new();
    ZEMBREL_INVARIANT(ctx != nullptr, "SHA-256 context allocated");
    bool ok = ::EVP_DigestInit_ex(ctx, ::EVP_sha256(), nullptr) == 1 &&
              ::EVP_DigestUpdate(ctx, image.data(), kDigestAt) == 1 &&
              ::EVP_DigestUpdate(ctx, kZero, sizeof kZero) == 1 &&
              ::EVP_DigestUpdate(ctx, image.data() + kDigestAt + 32, image.size() - kDigestAt - 32) == 1 &&
              ::EVP_DigestFinal_ex(ctx, d.data(), nullptr) == 1;
    ::EVP_MD_CTX_free(ctx);
    ZEMBREL_INVARIANT(ok, "SHA-256 digest computed");
    return d;
}

bool has_snapshot_magic(ByteView bytes) { return bytes.size() >= 4 && std::memcmp(bytes.data(), kMagic, 4) == 0; }

bool legacy_database_start(ByteView head) {
    if (has_snapshot_magic(head)) return true;
    for (std::uint8_t c : head) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        return c == '{' || c == '[';
    }
    return true;
}

Result<Database> parse_snapshot(ByteView bytes) {
    if (bytes.size() >= 6 && has_snapshot_magic(bytes)) {
        std::uint16_t version = le::get16(bytes.data() + 4);
        if (version == 2 || version == 3) return parse_paged(bytes, version);
        if (version == 1) return parse_v1(bytes);
        return storage_error(format("unsupported format version: {}", version));
    }
    return read_json_database(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<Bytes> encode_snapshot_image(const Database& db) {
    // Records first: the header needs their lengths and first pages.
    std::vector<Bytes> records;
    records.reserve(db.tables.size());
    std::uint64_t header_len = kV3DirAt;
    for (const auto& [name, table] : db.tables) {
        header_len += 12 + name.size();
        Bytes rec;
        if (auto st = encode_table_record(rec, name, table); !st) return fail(st.error());
        if (rec.size() > 0xFFFFFFFFULL)
            return storage_error(format("table '{}' is too large for a snapshot ({} bytes)", name, rec.size()));
        records.push_back(std::move(rec));
    }
    if (header_len > kSnapshotPageSize)
        return storage_error(format("header overflow: {} bytes (max {})", header_len, kSnapshotPageSize));
    if (db.tables.size() > 0xFFFF) return storage_error("too many tables for a snapshot");

    std::uint64_t pages = 1;
    for (const Bytes& rec : records) pages += rec.empty() ? 1 : (rec.size() + kSnapshotPagePayload - 1) / kSnapshotPagePayload;
    if (pages > 0xFFFFFFFFULL) return storage_error("too many pages for a snapshot");

    Bytes image(pages * kSnapshotPageSize, 0);
    std::uint8_t* h = image.data();
    std::memcpy(h, kMagic, 4);
    le::put16(h + 4, 3);
    le::put32(h + 6, kSnapshotPageSize);
    le::put32(h + 10, static_cast<std::uint32_t>(pages));
    le::put64(h + 14, image.size());
    le::put16(h + 54, static_cast<std::uint16_t>(db.tables.size()));
    size_t at = kV3DirAt;
    std::uint64_t page = 1;
    size_t i = 0;
    for (const auto& [name, table] : db.tables) {
        const Bytes& rec = records[i++];
        le::put32(h + at, static_cast<std::uint32_t>(name.size()));
        std::memcpy(h + at + 4, name.data(), name.size());
        at += 4 + name.size();
        le::put32(h + at, static_cast<std::uint32_t>(page));
        le::put32(h + at + 4, static_cast<std::uint32_t>(rec.size()));
        at += 8;
        size_t done = 0;
        do {
            std::uint8_t* p = image.data() + page * kSnapshotPageSize;
            size_t take = std::min(rec.size() - done, kSnapshotPagePayload);
            if (take > 0) std::memcpy(p + 4, rec.data() + done, take);
            done += take;
            le::put32(p, done < rec.size() ? static_cast<std::uint32_t>(page + 1) : 0);
            ++page;
        } while (done < rec.size());
    }
    Digest d = image_checksum(image);
    std::memcpy(h + kDigestAt, d.data(), d.size());
    return image;
}

}  // namespace zembrel::storage

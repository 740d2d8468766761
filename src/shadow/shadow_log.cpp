// Shadow log files (".krvv" anonymous logs, ".krvb" branch logs, ".krvc"
// kept ops). All integers little-endian.
//
// Header:
//   offset     size  field
//   0          4     magic "KRVV"
//   4          2     version: 3 is written; 1, 2 and 3 are read
//   6          2     name length n
//   8          n     name (UTF-8; read with U+FFFD for bad bytes)
//   8+n        2     version 3 only: table count m
//   10+n       ...   version 3 only: m entries of
//                      2 name length k, k bytes table name, 8 fingerprint
//
// Frames follow the header back to back until the end of the file:
//   0          4     payload length L (never 0)
//   4          4     CRC-32 of the payload (zlib's crc32)
//   8          L     payload
//
// Payload:
//   0          1     kind: 1 Insert, 2 Update, 3 Delete, 4 seal
//   1          2     table name length t (0 for a seal, ignored when read)
//   3          t     table name (UTF-8)
//   3+t        ...   by kind and version:
//     Insert   all versions  row record of the row, to the end
//     Update   v1            u32 p, pk record (p bytes), row record of the new row
//     Update   v2, v3        u32 p, pk record, optional row (before), new row record
//     Delete   v1            pk record, to the end
//     Delete   v2, v3        u32 p, pk record, optional row (before)
//     seal     all versions  u32 a, author (a bytes), u32 g, message (g bytes),
//                            u64 timestamp, u64 op_count: 27 + a + g bytes in all
//   A row record is storage/row_record.h's form; a pk record is a row record
//   of exactly one value; an optional row is a byte 0 (none), or a byte 1,
//   u32 r and r bytes of row record. Bytes after a row record's last value,
//   after a v2/v3 Delete's before row and after a seal's op_count are
//   ignored.
//
// The reader's rules: a header fault is an error. The frame list ends,
// without an error, at the first frame that runs past the end of the file,
// has L = 0, a CRC that differs, or a payload these rules refuse (a table
// name that is not UTF-8, an unknown kind, a record cut short or not
// decodable, a pk record of other than one value, an optional-row flag other
// than 0 or 1). `valid_len` is where that frame (or a trailing piece shorter
// than 8 bytes) starts, or the end of the file.
#include "shadow/shadow_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#include "pager/le_bytes.h"
#include "pager/vfs.h"
#include "storage/row_record.h"
#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::shadow {

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'V'};
constexpr std::uint16_t kWrittenVersion = 3;
constexpr std::size_t kFrameHead = 8;
constexpr std::uint8_t kSealKind = 4;
constexpr std::uint64_t kMax16 = 0xFFFF;
constexpr std::uint64_t kMax32 = 0xFFFFFFFF;

std::uint32_t crc_of(ByteView bytes) {
    return static_cast<std::uint32_t>(::crc32_z(0, bytes.data(), bytes.size()));
}

void put_u16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u64(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_text(Bytes& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

// A bounds-checked read position; every take fails instead of reading past
// the end, and no length read from the bytes is trusted before the check.
struct Reader {
    ByteView bytes;
    std::size_t pos = 0;

    std::size_t remaining() const { return bytes.size() - pos; }
    bool take(std::size_t n, ByteView& out) {
        if (remaining() < n) return false;
        out = bytes.subspan(pos, n);
        pos += n;
        return true;
    }
    // A little-endian unsigned integer of T's width.
    template <class T>
    bool num(T& v) {
        if (remaining() < sizeof(T)) return false;
        v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | (static_cast<T>(bytes[pos + i]) << (8 * i)));
        pos += sizeof(T);
        return true;
    }
    ByteView rest() const { return bytes.subspan(pos); }
};

std::string_view as_text(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// ---------------------------------------------------------------- decoding

std::optional<Row> decode_row(ByteView bytes) {
    auto row = storage::decode_row(bytes);
    if (!row) return std::nullopt;
    return std::move(*row);
}

std::optional<Value> decode_pk(ByteView bytes) {
    auto row = decode_row(bytes);
    if (!row || row->size() != 1) return std::nullopt;
    return std::move((*row)[0]);
}

// u32 length p, then a pk record of exactly p bytes.
std::optional<Value> read_prefixed_pk(Reader& r) {
    std::uint32_t p = 0;
    ByteView record;
    if (!r.num(p) || !r.take(p, record)) return std::nullopt;
    return decode_pk(record);
}

// Flag byte 0 (none) or 1, u32 r and r bytes of row record. The outer
// optional is the fault signal.
std::optional<std::optional<Row>> read_optional_row(Reader& r) {
    std::uint8_t flag = 0;
    if (!r.num(flag)) return std::nullopt;
    if (flag == 0) return std::optional<Row>{};
    if (flag != 1) return std::nullopt;
    std::uint32_t len = 0;
    ByteView record;
    if (!r.num(len) || !r.take(len, record)) return std::nullopt;
    auto row = decode_row(record);
    if (!row) return std::nullopt;
    return std::optional<Row>(std::move(*row));
}

std::optional<ShadowLogEntry> decode_seal(ByteView payload) {
    if (payload.size() < 7) return std::nullopt;
    Reader r{payload, 3};  // the table-name bytes of a seal are not looked at
    std::uint32_t a = 0, g = 0;
    ByteView author, message;
    SealRecord seal;
    if (!r.num(a) || !r.take(a, author) || !r.num(g) || !r.take(g, message) || !r.num(seal.timestamp) ||
        !r.num(seal.op_count))
        return std::nullopt;
    seal.author = utf8_lossy(as_text(author));
    seal.message = utf8_lossy(as_text(message));
    return ShadowLogEntry(std::move(seal));
}

std::optional<ShadowLogEntry> decode_op(ByteView payload, std::uint16_t version) {
    Reader r{payload};
    std::uint8_t kind = 0;
    std::uint16_t t = 0;
    ByteView name;
    if (!r.num(kind) || !r.num(t) || !r.take(t, name)) return std::nullopt;
    if (utf8_error(as_text(name))) return std::nullopt;
    ShadowOp op;
    op.table.assign(as_text(name));
    switch (kind) {
        case 1: {
            auto row = decode_row(r.rest());
            if (!row) return std::nullopt;
            op.kind = ShadowOp::Kind::Insert;
            op.row = std::move(*row);
            break;
        }
        case 2: {
            auto pk = read_prefixed_pk(r);
            if (!pk) return std::nullopt;
            if (version >= 2) {
                auto before = read_optional_row(r);
                if (!before) return std::nullopt;
                op.before = std::move(*before);
            }
            auto row = decode_row(r.rest());
            if (!row) return std::nullopt;
            op.kind = ShadowOp::Kind::Update;
            op.pk = std::move(*pk);
            op.row = std::move(*row);
            break;
        }
        case 3: {
            std::optional<Value> pk;
            if (version >= 2) {
                pk = read_prefixed_pk(r);
                if (!pk) return std::nullopt;
                auto before = read_optional_row(r);
                if (!before) return std::nullopt;
                op.before = std::move(*before);
            } else {
                pk = decode_pk(r.rest());
                if (!pk) return std::nullopt;
            }
            op.kind = ShadowOp::Kind::Delete;
            op.pk = std::move(*pk);
            break;
        }
        default: return std::nullopt;
    }
    return ShadowLogEntry(std::move(op));
}

std::optional<ShadowLogEntry> decode_payload(ByteView payload, std::uint16_t version) {
    if (payload.empty()) return std::nullopt;
    if (payload[0] == kSealKind) return decode_seal(payload);
    return decode_op(payload, version);
}

// ---------------------------------------------------------------- encoding

Status encode_optional_row(Bytes& out, const std::optional<Row>& row) {
    if (!row) {
        out.push_back(0);
        return {};
    }
    out.push_back(1);
    const std::size_t len_at = out.size();
    put_u32(out, 0);
    if (auto st = storage::encode_row_into(out, *row); !st) return st;
    const std::uint64_t len = out.size() - len_at - 4;
    if (len > kMax32) return storage_error(format("shadow row record of {} bytes is too long (limit 4294967295)", len));
    le::put32(out.data() + len_at, static_cast<std::uint32_t>(len));
    return {};
}

Status encode_prefixed_pk(Bytes& out, const Value& pk) {
    const std::size_t len_at = out.size();
    put_u32(out, 0);
    if (auto st = storage::encode_row_into(out, std::span<const Value>(&pk, 1)); !st) return st;
    const std::uint64_t len = out.size() - len_at - 4;
    if (len > kMax32) return storage_error(format("shadow pk record of {} bytes is too long (limit 4294967295)", len));
    le::put32(out.data() + len_at, static_cast<std::uint32_t>(len));
    return {};
}

// Appends the op's version-3 payload to `out`.
Status encode_op_into(Bytes& out, const ShadowOp& op) {
    if (op.table.size() > kMax16)
        return storage_error(format("shadow table name of {} bytes is too long (limit 65535)", op.table.size()));
    out.push_back(static_cast<std::uint8_t>(op.kind));
    put_u16(out, static_cast<std::uint16_t>(op.table.size()));
    put_text(out, op.table);
    switch (op.kind) {
        case ShadowOp::Kind::Insert: return storage::encode_row_into(out, op.row);
        case ShadowOp::Kind::Update:
            if (auto st = encode_prefixed_pk(out, op.pk); !st) return st;
            if (auto st = encode_optional_row(out, op.before); !st) return st;
            return storage::encode_row_into(out, op.row);
        case ShadowOp::Kind::Delete:
            if (auto st = encode_prefixed_pk(out, op.pk); !st) return st;
            return encode_optional_row(out, op.before);
    }
    return {};
}

Status encode_seal_into(Bytes& out, const SealRecord& seal) {
    for (const std::string* text : {&seal.author, &seal.message})
        if (text->size() > kMax32)
            return storage_error(format("shadow seal text of {} bytes is too long (limit 4294967295)", text->size()));
    out.push_back(kSealKind);
    put_u16(out, 0);
    put_u32(out, static_cast<std::uint32_t>(seal.author.size()));
    put_text(out, seal.author);
    put_u32(out, static_cast<std::uint32_t>(seal.message.size()));
    put_text(out, seal.message);
    put_u64(out, seal.timestamp);
    put_u64(out, seal.op_count);
    return {};
}

// Writes length and CRC into the 8 bytes reserved at `at`, for the payload
// from there to the end of `buf`.
Status fill_frame_head(Bytes& buf, std::size_t at) {
    const std::uint64_t len = buf.size() - at - kFrameHead;
    if (len > kMax32) return storage_error(format("shadow frame of {} bytes is too long (limit 4294967295)", len));
    le::put32(buf.data() + at, static_cast<std::uint32_t>(len));
    le::put32(buf.data() + at + 4, crc_of(ByteView(buf).subspan(at + kFrameHead)));
    return {};
}

// A buffer that starts with the 8 bytes of a frame head, to be filled once
// the payload behind it is complete.
Bytes frame_buffer() {
    Bytes frame;
    frame.reserve(4096);
    frame.resize(kFrameHead);
    return frame;
}

Result<Bytes> header_bytes(std::string_view name, const TableFingerprints& fingerprints) {
    if (name.size() > kMax16)
        return storage_error(format("shadow name of {} bytes is too long (limit 65535)", name.size()));
    if (fingerprints.size() > kMax16)
        return storage_error(format("shadow header of {} tables is too long (limit 65535)", fingerprints.size()));
    Bytes out(kMagic, kMagic + 4);
    put_u16(out, kWrittenVersion);
    put_u16(out, static_cast<std::uint16_t>(name.size()));
    put_text(out, name);
    put_u16(out, static_cast<std::uint16_t>(fingerprints.size()));
    for (const auto& [table, fingerprint] : fingerprints) {
        if (table.size() > kMax16)
            return storage_error(format("shadow table name of {} bytes is too long (limit 65535)", table.size()));
        put_u16(out, static_cast<std::uint16_t>(table.size()));
        put_text(out, table);
        put_u64(out, fingerprint);
    }
    return out;
}

// ---------------------------------------------------------------- file I/O

std::string errno_text() { return os_error_text(errno); }

// Writes all bytes at `offset`, looping over partial writes and EINTR.
bool write_all_at(int fd, ByteView bytes, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// An exclusive, non-blocking lock on the open log.
Status lock_log(int fd, const std::string& path) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return storage_error(format("shadow log '{}' is in use by another session", path));
        return storage_error(format("shadow lock '{}': {}", path, errno_text()));
    }
    return {};
}

// Whether the regular file at `path` holds zeros only (or nothing), read
// in bounded pieces; with `same_as`, only when it is that file.
bool zeros_only(const std::string& path, const struct stat* same_as) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool zeros = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                 (same_as == nullptr || (st.st_dev == same_as->st_dev && st.st_ino == same_as->st_ino));
    std::uint8_t buf[16384];
    for (std::uint64_t left = zeros ? static_cast<std::uint64_t>(st.st_size) : 0; zeros && left > 0;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // shorter than it was: what was there is zeros
        zeros = std::all_of(buf, buf + n, [](std::uint8_t b) { return b == 0; });
        left -= std::min<std::uint64_t>(left, static_cast<std::uint64_t>(n));
    }
    ::close(fd);
    return zeros;
}

// Whether the open file `fd` is still the one at `path` (no link followed);
// `held` is what it is.
bool still_named(int fd, const std::string& path, struct stat& held) {
    struct stat named;
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// The unwritten log at `path` opened for writing, without following a link
// or waiting on a FIFO; -1 with errno EEXIST when what stands there is
// anything else (a written log, a link, a folder, a file with a second name
// that may be a user's). Its holder asks again under the lock
// (`unwritten_length`).
int open_unwritten_log(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        (st.st_size == 0 || zeros_only(path, &st)))
        return fd;
    if (fd >= 0) ::close(fd);
    errno = EEXIST;
    return -1;
}

// The length of the locked log `fd` when it is still the file at `path`
// and was never written: empty, or zeros only (a first op whose bytes a
// power cut lost after its length reached the disk). Nothing was ever
// sealed in such a file, since a seal flushes and a flushed header is never
// zero. Asked under the lock, as whoever held the file before may have
// written it, or committed it and so removed its name.
std::optional<std::uint64_t> unwritten_length(int fd, const std::string& path) {
    struct stat held;
    if (!still_named(fd, path, held) || held.st_nlink != 1) return std::nullopt;
    if (held.st_size != 0 && !zeros_only(path, &held)) return std::nullopt;
    return static_cast<std::uint64_t>(held.st_size);
}

Result<Bytes> read_whole_file(const std::string& path) {
    auto bytes = read_regular_file(path);
    if (!bytes) return storage_error(format("shadow read '{}': {}", path, bytes.error().message));
    return std::move(*bytes);
}

}  // namespace

// ---------------------------------------------------------------- ops and seals

ShadowOp ShadowOp::insert(std::string table, Row row) {
    ShadowOp op;
    op.kind = Kind::Insert;
    op.table = std::move(table);
    op.row = std::move(row);
    return op;
}

ShadowOp ShadowOp::update(std::string table, Value pk, std::optional<Row> before, Row row) {
    ShadowOp op;
    op.kind = Kind::Update;
    op.table = std::move(table);
    op.pk = std::move(pk);
    op.before = std::move(before);
    op.row = std::move(row);
    return op;
}

ShadowOp ShadowOp::remove(std::string table, Value pk, std::optional<Row> before) {
    ShadowOp op;
    op.kind = Kind::Delete;
    op.table = std::move(table);
    op.pk = std::move(pk);
    op.before = std::move(before);
    return op;
}

Result<Bytes> ShadowOp::payload() const {
    Bytes out;
    out.reserve(4096);
    if (auto st = encode_op_into(out, *this); !st) return fail(std::move(st.error()));
    return out;
}

Status ShadowOp::encode(ShadowLog& log) const {
    Bytes frame = frame_buffer();
    if (auto st = encode_op_into(frame, *this); !st) return st;
    return log.append_built_frame(frame);
}

Status append_op_frame(Bytes& out, const ShadowOp& op) {
    const std::size_t at = out.size();
    out.resize(at + kFrameHead);
    Status st = encode_op_into(out, op);
    if (st) st = fill_frame_head(out, at);
    if (!st) out.resize(at);
    return st;
}

Result<Bytes> log_header(std::string_view name, const TableFingerprints& fingerprints) {
    return header_bytes(name, fingerprints);
}

Result<Bytes> SealRecord::encode() const {
    Bytes out;
    if (auto st = encode_seal_into(out, *this); !st) return fail(std::move(st.error()));
    return out;
}

// ---------------------------------------------------------------- reader

Result<ShadowFile> ShadowFile::read(const std::string& path) {
    auto bytes = read_whole_file(path);
    if (!bytes) return fail(std::move(bytes.error()));
    return parse(*bytes, path);
}

Result<ShadowFile> ShadowFile::parse(ByteView bytes, const std::string& path) {
    if (bytes.size() < 8 || !std::equal(kMagic, kMagic + 4, bytes.begin()))
        return storage_error(format("'{}' is not a KRVV shadow file", path));
    ShadowFile file;
    file.version = le::get16(bytes.data() + 4);
    if (file.version < 1 || file.version > 3) return storage_error(format("unsupported shadow version {}", file.version));
    Reader r{bytes, 6};
    std::uint16_t n = 0;
    ByteView name;
    if (!r.num(n) || !r.take(n, name)) return storage_error("shadow header truncated");
    file.name = utf8_lossy(as_text(name));
    if (file.version == 3) {
        std::uint16_t m = 0;
        if (!r.num(m)) return storage_error("shadow header truncated");
        for (std::uint16_t i = 0; i < m; ++i) {
            std::uint16_t k = 0;
            ByteView table;
            std::uint64_t fingerprint = 0;
            if (!r.num(k) || !r.take(k, table) || !r.num(fingerprint)) return storage_error("shadow header truncated");
            file.table_fingerprints.insert_or_assign(utf8_lossy(as_text(table)), fingerprint);
        }
    }
    while (r.remaining() >= kFrameHead) {
        const std::uint32_t len = le::get32(bytes.data() + r.pos);
        const std::uint32_t crc = le::get32(bytes.data() + r.pos + 4);
        if (len == 0 || len > r.remaining() - kFrameHead) break;
        ByteView payload = bytes.subspan(r.pos + kFrameHead, len);
        if (crc_of(payload) != crc) break;
        auto entry = decode_payload(payload, file.version);
        if (!entry) break;
        file.entries.push_back(std::move(*entry));
        r.pos += kFrameHead + len;
    }
    file.valid_len = r.pos;
    file.valid_crc = crc_of(bytes.first(r.pos));
    return file;
}

std::vector<ShadowOp> ShadowFile::all_ops(const std::vector<ShadowLogEntry>& entries) {
    std::vector<ShadowOp> ops;
    ops.reserve(entries.size());
    for (const auto& e : entries)
        if (const auto* op = std::get_if<ShadowOp>(&e)) ops.push_back(*op);
    return ops;
}

Result<std::vector<ShadowOp>> ShadowFile::sealed_ops(const std::vector<ShadowLogEntry>& entries, LogKind kind) {
    const bool has_seal =
        std::any_of(entries.begin(), entries.end(), [](const auto& e) { return std::holds_alternative<SealRecord>(e); });
    // An anonymous shadow never seals: all its ops merge. A branch that never
    // sealed has sealed nothing.
    if (!has_seal && kind == LogKind::Anonymous) return all_ops(entries);
    if (const std::uint64_t unsealed = unsealed_count(entries); unsealed > 0)
        return execution_error(format(
            "branch has {} unsealed op(s) after the last commit — commit them (seal) or discard before merging",
            unsealed));
    return all_ops(entries);
}

std::uint64_t unsealed_count(const std::vector<ShadowLogEntry>& entries) {
    std::uint64_t after = 0;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (std::holds_alternative<SealRecord>(*it)) break;
        ++after;
    }
    return after;
}

// ---------------------------------------------------------------- writer

bool unwritten_log(const std::string& path) { return zeros_only(path, nullptr); }

Result<ShadowLog> ShadowLog::create(const std::string& path, std::string_view name,
                                    const TableFingerprints& fingerprints) {
    auto header = header_bytes(name, fingerprints);
    if (!header) return fail(std::move(header.error()));
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) return storage_error(format("shadow dir '{}': {}", parent.string(), os_error_text(ec.value())));
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const int create_error = errno;
    const bool made = fd >= 0;
    // An unwritten log was left by a first op killed before its header, or
    // by a power cut: nothing was ever recorded in it, and it is written
    // now as if this create had made it.
    if (!made && create_error == EEXIST) fd = open_unwritten_log(path);
    if (fd < 0) return storage_error(format("shadow '{}': {}", path, open_failure_reason(path, create_error)));
    ShadowLog log(path, fd, 0);
    log.name_synced_ = false;
    // Locked before the first byte is written. Until then another session
    // may have taken the file over (even the one made here, found empty),
    // and written, sealed or committed it: a log not held, or no longer
    // unwritten at its name, is left exactly as it is.
    if (auto st = lock_log(fd, path); !st) return fail(std::move(st.error()));
    const auto unwritten = unwritten_length(fd, path);
    if (!unwritten) return storage_error(format("shadow '{}': {}", path, os_error_text(EEXIST)));
    // Until its header is whole the file is of no use to anyone, and left
    // with part of one it would make the name unusable for good: one made
    // here goes again, one taken over is emptied again (both held, and
    // still at the name).
    const auto discard = [&log, made](EngineError error) {
        if (made) {
            log.remove_file();
        } else {
            (void)::ftruncate(log.fd_, 0);
            log.close_file();
        }
        return fail(std::move(error));
    };
    if (*unwritten != 0 && ::ftruncate(fd, 0) != 0)
        return discard(EngineError::storage(format("shadow truncate '{}': {}", path, errno_text())));
    if (!write_all_at(fd, *header, 0)) return discard(EngineError::storage(format("shadow header write: {}", errno_text())));
    log.end_ = header->size();
    return log;
}

Result<ShadowLog> ShadowLog::open_existing(const std::string& path, ShadowFile* contents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return storage_error(format("shadow '{}': {}", path, open_failure_reason(path, errno)));
    ShadowLog log(path, fd, 0);
    // Whoever made it may never have flushed it, nor so its name.
    log.name_synced_ = false;
    // Read under the lock, so that the valid length cut to below is the one
    // of the frames this log appends after.
    if (auto st = lock_log(fd, path); !st) return fail(std::move(st.error()));
    auto file = ShadowFile::read(path);
    if (!file) return fail(std::move(file.error()));
    if (::ftruncate(fd, static_cast<off_t>(file->valid_len)) != 0)
        return storage_error(format("shadow truncate '{}': {}", path, errno_text()));
    log.end_ = file->valid_len;
    if (contents != nullptr) *contents = std::move(*file);
    return log;
}

ShadowLog::ShadowLog(ShadowLog&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      end_(other.end_),
      name_synced_(other.name_synced_) {}

ShadowLog& ShadowLog::operator=(ShadowLog&& other) noexcept {
    if (this != &other) {
        close_file();
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        end_ = other.end_;
        name_synced_ = other.name_synced_;
    }
    return *this;
}

ShadowLog::~ShadowLog() { close_file(); }

void ShadowLog::close_file() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the flock
    fd_ = -1;
}

void ShadowLog::remove_file() {
    struct stat held;
    if (fd_ >= 0 && still_named(fd_, path_, held)) ::unlink(path_.c_str());
    close_file();
}

Status ShadowLog::append_frame(ByteView payload) {
    if (payload.empty()) return storage_error("shadow append: empty frame payload");
    Bytes frame(kFrameHead + payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHead);
    return append_built_frame(frame);
}

Status ShadowLog::append_seal(const SealRecord& seal) {
    Bytes frame = frame_buffer();
    if (auto st = encode_seal_into(frame, seal); !st) return st;
    return append_built_frame(frame);
}

Status ShadowLog::append_built_frame(Bytes& frame) {
    if (auto st = fill_frame_head(frame, 0); !st) return st;
    if (fd_ < 0) return storage_error("shadow append: log is closed");
    if (!write_all_at(fd_, frame, end_)) {
        std::string err = errno_text();
        (void)::ftruncate(fd_, static_cast<off_t>(end_));  // best effort; the next frame starts at end_ anyway
        return storage_error(format("shadow append: {}", err));
    }
    end_ += frame.size();
    return {};
}

Status ShadowLog::sync() {
    if (fd_ < 0) return storage_error("shadow fsync: log is closed");
    while (::fsync(fd_) != 0) {
        if (errno == EINTR) continue;
        return storage_error(format("shadow fsync: {}", errno_text()));
    }
    if (!name_synced_) {
        // What a flush made durable must be found after a power cut: the
        // log's name in the shadow folder, and that folder's name beside the
        // database, reach the disk with the first flush of this log.
        const std::string folder = std::filesystem::path(path_).parent_path().string();
        RealVfs fs;
        fs.sync_dir(path_);
        if (!folder.empty()) fs.sync_dir(folder);
        name_synced_ = true;
    }
    return {};
}

Status ShadowLog::truncate_to(std::uint64_t offset) {
    if (fd_ < 0) return storage_error("shadow truncate: log is closed");
    if (offset > end_) return storage_error(format("shadow truncate '{}': offset past the end", path_));
    end_ = offset;
    while (::ftruncate(fd_, static_cast<off_t>(offset)) != 0) {
        if (errno == EINTR) continue;
        return storage_error(format("shadow truncate '{}': {}", path_, errno_text()));
    }
    return {};
}

// ---------------------------------------------------------------- fingerprint

std::uint64_t schema_fingerprint(std::span<const Column> columns) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    auto mix = [&hash](std::string_view bytes) {
        for (unsigned char b : bytes) {
            hash ^= b;
            hash *= 0x100000001b3ULL;
        }
    };
    for (const Column& c : columns) {
        mix(c.name);
        mix("\xFF");
        mix(c.data_type.debug());
        mix("\xFF");
        mix(c.nullable ? std::string_view("\x01", 1) : std::string_view("\x00", 1));
        mix("\xFF");
    }
    return hash;
}

}  // namespace zembrel::shadow

// The shadow log: the durable record of one shadow session. Captured row
// changes (ops) and, for a named branch, the seals that close groups of ops,
// appended one frame each behind a header. The byte layout is documented at
// the top of shadow_log.cpp.
//
// Reading never trusts the file: header faults are errors; the first faulty
// frame (torn, zero length, bad CRC, undecodable payload) silently ends the
// content, and `valid_len` says where. Every error here is a Storage error
// except the unsealed-ops refusal of `sealed_ops` (Execution).
//
// Ownership: a `ShadowFile` is a parsed copy owned by its reader. A
// `ShadowLog` owns its open file and an exclusive advisory lock (flock) on
// it for its whole life, so a second `ShadowLog` on the same file, in this
// process or another, is refused instead of overwriting frames; moving it
// moves both, destroying it closes the file and releases the lock.
// Threads: one thread at a time per `ShadowLog`.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::shadow {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
// Table name -> schema fingerprint, in ascending byte order of the names.
using TableFingerprints = std::map<std::string, std::uint64_t>;

class ShadowLog;

// One captured row change.
struct ShadowOp {
    enum class Kind : std::uint8_t { Insert = 1, Update = 2, Delete = 3 };

    Kind kind = Kind::Insert;
    std::string table;
    Value pk;                   // Update, Delete: the row's primary-key value
    std::optional<Row> before;  // Update, Delete: the row before the change, when the log knows it
    Row row;                    // Insert, Update: the row after the change

    static ShadowOp insert(std::string table, Row row);
    static ShadowOp update(std::string table, Value pk, std::optional<Row> before, Row row);
    static ShadowOp remove(std::string table, Value pk, std::optional<Row> before);

    // The current (version 3) payload of the op. Fails when a part does not
    // fit its length field (table name over 65535 bytes, a row the row
    // record refuses, a payload of 4 GiB or more).
    Result<Bytes> payload() const;
    // Appends the op to the log as one frame (payload errors, then the
    // append's).
    Status encode(ShadowLog& log) const;

    bool operator==(const ShadowOp&) const = default;
};

// One seal of a named branch: closes the `op_count` ops before it.
struct SealRecord {
    std::string author;
    std::string message;
    std::uint64_t timestamp = 0;  // seconds since the Unix epoch
    std::uint64_t op_count = 0;

    // The seal payload: 27 + author + message bytes. Fails only for an
    // author or message of 4 GiB or more.
    Result<Bytes> encode() const;

    bool operator==(const SealRecord&) const = default;
};

using ShadowLogEntry = std::variant<ShadowOp, SealRecord>;

// Which kind of shadow a log belongs to: only a branch seals its ops.
enum class LogKind : std::uint8_t { Anonymous, Branch };

// A parsed log.
struct ShadowFile {
    std::uint16_t version = 3;
    std::string name;                        // header name; invalid UTF-8 became U+FFFD
    TableFingerprints table_fingerprints;    // empty for versions 1 and 2
    std::vector<ShadowLogEntry> entries;     // in file order
    std::uint64_t valid_len = 0;             // just past the last good frame (or the header)
    std::uint32_t valid_crc = 0;             // CRC-32 of the first valid_len bytes

    // Reads the whole file. Errors: "shadow read '{}': {}", then the
    // header errors of `parse`.
    static Result<ShadowFile> read(const std::string& path);
    // Parses log bytes; `path` only names the file in messages. Errors:
    // "'{}' is not a KRVV shadow file", "unsupported shadow version {}",
    // "shadow header truncated". Frame faults are not errors.
    static Result<ShadowFile> parse(ByteView bytes, const std::string& path);

    // Every op, in file order, seals left out (copies).
    static std::vector<ShadowOp> all_ops(const std::vector<ShadowLogEntry>& entries);
    // The ops a merge may take: the ops before the last seal, or every op of
    // an anonymous log without seals. Entries after the last seal, or a
    // branch's ops without any seal, fail with the Execution error "branch
    // has {} unsealed op(s) after the last commit — commit them (seal) or
    // discard before merging" (the count of those entries).
    static Result<std::vector<ShadowOp>> sealed_ops(const std::vector<ShadowLogEntry>& entries, LogKind kind);
};

// The entries after the last seal; every entry when there is no seal (a
// branch that never sealed has sealed nothing).
std::uint64_t unsealed_count(const std::vector<ShadowLogEntry>& entries);

// A log open for appending, positioned after its last good frame.
class ShadowLog {
public:
    // Creates the parent directories (mode 0777 before umask; "shadow dir
    // '{}': {}"), then the file exclusively (mode 0666; "shadow '{}': {}"),
    // locks it, and writes a version-3 header ("shadow header write: {}").
    // An unwritten log already at `path` (a regular file with one name,
    // empty or zeros only: a create killed before its header, or one whose
    // bytes a power cut lost) is written as if made here; anything else
    // there is "File exists". A lock refused ("shadow log '{}' is in use by
    // another session") leaves the file as it is: its holder is writing it.
    // So does finding it, once locked, no longer at `path` or written
    // ("File exists"). A failed header write removes the file made, or
    // empties the one taken over. Names that do not fit the header are
    // refused before anything is created. Nothing is flushed.
    static Result<ShadowLog> create(const std::string& path, std::string_view name,
                                    const TableFingerprints& fingerprints);
    // Opens an existing log for appending: opens it write-only ("shadow
    // '{}': {}"), locks it, reads it (the errors of `ShadowFile::read`) and
    // cuts off everything after its valid part ("shadow truncate '{}': {}").
    // When `contents` is given it receives the file as read under the lock,
    // which is exactly what later appends follow.
    static Result<ShadowLog> open_existing(const std::string& path, ShadowFile* contents = nullptr);

    ShadowLog(ShadowLog&& other) noexcept;
    ShadowLog& operator=(ShadowLog&& other) noexcept;
    ShadowLog(const ShadowLog&) = delete;
    ShadowLog& operator=(const ShadowLog&) = delete;
    ~ShadowLog();

    // Appends one frame (length, CRC-32, payload) in one write ("shadow
    // append: {}"). After a failed append the file is cut back to its last
    // whole frame where possible, and the next append starts there either
    // way, so a torn frame never hides later ones. An empty payload is
    // refused. Nothing is flushed.
    Status append_frame(ByteView payload);
    // Appends the seal's frame.
    Status append_seal(const SealRecord& seal);
    // Flushes the file to stable storage ("shadow fsync: {}"); the first
    // flush of a log made or opened here flushes its folder and that
    // folder's parent too (failures there ignored, as some file systems
    // refuse to flush a folder), so that the log's name outlives a power cut.
    Status sync();
    // Cuts the log back to `offset` (a frame boundary at or before `end()`),
    // dropping the frames after it ("shadow truncate '{}': {}"). Appends
    // continue at `offset` even when the cut fails.
    Status truncate_to(std::uint64_t offset);

    // Removes the log's file while still holding it, when its name still
    // leads to it, and closes it: the log a failed first statement made
    // goes, and never another session's that took its name meanwhile.
    void remove_file();

    const std::string& path() const { return path_; }
    // Offset just past the last whole frame.
    std::uint64_t end() const { return end_; }

private:
    friend struct ShadowOp;
    ShadowLog(std::string path, int fd, std::uint64_t end) : path_(std::move(path)), fd_(fd), end_(end) {}
    // Writes a frame whose first 8 bytes are reserved for length and CRC.
    Status append_built_frame(Bytes& frame);
    void close_file();

    std::string path_;
    int fd_ = -1;
    std::uint64_t end_ = 0;
    // Whether the log's name is known to be on disk.
    bool name_synced_ = true;
};

// Whether the regular file at `path` holds zeros only, or nothing: a log
// that records nothing (no link is followed; false when it cannot be read).
bool unwritten_log(const std::string& path);

// The version-3 header `ShadowLog::create` writes (a name or table map that
// does not fit is refused with its message).
Result<Bytes> log_header(std::string_view name, const TableFingerprints& fingerprints);
// Appends the op to `out` as one frame, as `ShadowOp::encode` writes it to a
// log; on failure `out` is as it was.
Status append_op_frame(Bytes& out, const ShadowOp& op);

// FNV-1a 64 over each column's name, 0xFF, its type's debug text, 0xFF, its
// nullable flag as one byte, 0xFF, in column order. Defaults and HASH salts
// do not enter it.
std::uint64_t schema_fingerprint(std::span<const Column> columns);

}  // namespace zembrel::shadow

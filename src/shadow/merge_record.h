// A shadow merge in flight, and how a later open finishes or undoes it.
//
// A commit cannot change the base file, the kept-ops file and the shadow log
// in one step, and a process may die between any two of them. So before the
// base is saved, the commit writes a merge record "<stem>.krvm" into the
// shadow directory (stem: the log's file name without its extension) and
// puts the record's merge id into the "shadow_merges" of every table the
// merge writes (catalog entries, saved in the same pager commit as the
// merged rows). Whether that commit reached the file is then a fact the base
// itself answers: it carries the id or it does not.
//
// The commit's order: merged rows and marks into the pager's cache; the
// record (written beside, flushed, renamed into place); the kept ops
// appended to "<stem>.krvc" and flushed; the base saved; the log removed;
// the record removed. A record left behind is settled under the base's lock
// by the next commit of the same session, or by the next open of any shadow
// session on the base:
//   - the base carries the id: the merge is in the file and so are the kept
//     ops (flushed before the save). The log is removed when the file there
//     is still the one that was merged (same valid length and CRC), then the
//     record;
//   - it does not: the save never happened (a torn pager commit counts as
//     none). The kept-ops file is cut back to where the commit found it (or
//     removed when the commit created it), then the record is removed; the
//     log stays and merges again later.
// A log that a live session holds (its flock) is left alone, with its
// record: that session settles it itself. Either way the rows merge once
// and the kept ops are in the kept-ops file once.
//
// Byte layout of a record (integers little-endian):
//   0    4  magic "KRVM"
//   4    2  version 1
//   6    2  id length a, then a bytes: the merge id (UUID text)
//   .    2  log file name length b, then b bytes: the merged log's file name
//   .    8  the log's valid length when it was merged
//   .    4  CRC-32 of those bytes of the log
//   .    8  ops merged
//   .    8  ops kept
//   .    1  kept-ops file: 0 created by the commit, 1 appended to
//   .    8  its valid length before the commit (0 when created)
//   .    4  CRC-32 of every byte before
// Anything else (a bad CRC, a short or long file, a log name that is not a
// plain file name) is the Storage error "merge record '{}' is damaged".
//
// Thread: the caller's; every function here runs under the base's lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "pager/vfs.h"
#include "shadow/shadow_log.h"

namespace zembrel::shadow {

struct MergeRecord {
    std::string id;
    std::string log_file;
    std::uint64_t log_len = 0;
    std::uint32_t log_crc = 0;
    std::uint64_t ops_merged = 0;
    std::uint64_t kept = 0;
    // Where the kept ops start in the kept-ops file; none: the commit created it.
    std::optional<std::uint64_t> kept_from;

    Bytes encode() const;
    static Result<MergeRecord> parse(ByteView bytes, const std::string& path);
};

// The stem of a log's file name: the name without its last extension (a
// name without a dot, or with only a leading one, is its own stem; a path
// without a file name gives "shadow").
std::string log_stem(const std::string& log_path);
// "<stem>.krvm" and "<stem>.krvc" beside the log.
std::string merge_record_path(const std::string& log_path);
std::string kept_ops_path(const std::string& log_path);

// Flushes the record under a temporary name and renames it into place, so
// that a record either is whole or is not there.
Status write_merge_record(Vfs& fs, const std::string& path, const MergeRecord& record);
Result<MergeRecord> read_merge_record(Vfs& fs, const std::string& path);

// Puts the merge id into each named table's entry (written to the pager's
// cache), dropping the ids of other stems that have no record left.
Status mark_merged_tables(PageStore& store, const std::vector<std::string>& tables, const std::string& stem,
                          const std::string& id, Vfs& fs, const std::string& shadow_dir);

// For a merge that did not reach the base: the kept-ops file back to where
// the commit found it, then the record at `path` removed.
Status take_back_merge(Vfs& fs, const std::string& path, const MergeRecord& record);

enum class Settled : std::uint8_t {
    NotSaved,      // the merge is not in the base: kept ops taken back, the log stays
    Saved,         // the merge is in the base; its log is gone
    SavedEarlier,  // the merge is in the base; the log there now is a newer one
};

// Settles the record at `path` as the top of this file says. `log_now` is
// the log as it stands (none: no file), held by the caller.
Result<Settled> settle_merge_record(const Engine& base, Vfs& fs, const std::string& path, const MergeRecord& record,
                                    const ShadowFile* log_now);

// Settles every record in the base's shadow directory whose log no live
// session holds; removes records cut short before their rename. Failures
// leave their record for a later open; the one of `own_record` (a branch's
// own, or empty) is returned.
Status settle_unfinished_merges(const Engine& base, const std::string& base_path, const std::string& own_record);

}  // namespace zembrel::shadow

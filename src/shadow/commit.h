// The shadow commit's stages on the base engine, apart from the session
// (shadow/session.cpp runs them in order): the unique re-check, the
// application of the resolved rows to the base's page store, and the
// kept-ops file of the keys the manual policy set aside.
//
// Nothing here saves. The application changes pages in the base's pager
// cache only; the commit saves them or drops the base engine unsaved, which
// rolls them back, so a failed commit leaves the base file as it was. How a
// commit cut short between its files is finished: shadow/merge_record.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "pager/vfs.h"
#include "shadow/conflicts.h"
#include "shadow/merge_plan.h"
#include "shadow/session.h"

namespace zembrel::shadow {

// Fails with "merge conflict: unique index '{}' violated by key {}" when the
// resolved rows would give a unique in-memory index of a keyed touched table
// a key twice, or a key that a base row the merge does not replace holds.
Status check_unique_indexes(const Engine& base, const MergeResolution& resolution, const MergePlan& plan);

// Writes every resolved row and keyless insert into the base's page store,
// per table one change set by row id (old index entries out before new ones
// go in, so rows may trade unique values). Updated rows keep their row id;
// inserted rows get ids from the table's counter. Fills the report's row
// counts. The in-memory tables are left as loaded.
Status apply_to_page_store(Engine& base, const MergeResolution& resolution, const MergePlan& plan,
                           CommitReport& report);

// The ops of the skipped keys, in log order (every op on such a key).
std::vector<const ShadowOp*> collect_kept_ops(const std::vector<ShadowOp>& ops, const MergePlan& plan,
                                              const MergeResolution& resolution);

// The valid length of the kept-ops file at `kept_path` (where a commit's
// kept ops go), none when there is no such file; its read errors.
Result<std::optional<std::uint64_t>> kept_ops_end(Vfs& fs, const std::string& kept_path);

// Writes the kept ops to "<stem of the log's file name>.krvc" beside the
// log: behind its valid part at `from` (anything after that is cut), or,
// with none, into a new file with a version-3 header (name: the stem;
// fingerprints: the log's). The file keeps the kept ops of every commit of
// the log's name. Flushed before return.
Status write_kept_ops(Vfs& fs, const std::string& log_path, std::optional<std::uint64_t> from,
                      const std::vector<const ShadowOp*>& kept, const TableFingerprints& fingerprints);

}  // namespace zembrel::shadow

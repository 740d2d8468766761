// The shadow commit's stages on the base engine, apart from the session
// (shadow/session.cpp runs them in order): the unique re-check, the
// application of the resolved rows to the base's page store, and the
// kept-ops file of the keys the manual policy set aside.
//
// Nothing here saves. The application changes pages in the base's pager
// cache only; the commit saves them or drops the base engine unsaved, which
// rolls them back, so a failed commit leaves the base file as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
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

// A kept-ops file as written by one commit, so that a commit that fails
// later can take its part back.
struct KeptOpsWrite {
    std::string path;
    bool created = false;      // the file did not exist before
    std::uint64_t old_end = 0; // its valid length before, when it existed

    // Removes a file this write created, or cuts an older one back.
    void undo() const;
};

// "<stem of the log's file name>.krvc" beside the log. The file keeps the
// kept ops of every commit of the log's name: an existing one is appended
// to (its torn tail cut first), a missing one created with a version-3
// header (name: the stem; fingerprints: the log's). Flushed before return.
Result<KeptOpsWrite> write_kept_ops(const std::string& log_path, const std::vector<const ShadowOp*>& kept,
                                    const TableFingerprints& fingerprints);

}  // namespace zembrel::shadow

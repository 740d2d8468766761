// Conflict detection: the three-way comparison of each net change of a
// MergePlan with the before-image the shadow started from and the row the
// base holds now, and the merge policies that resolve the conflicts.
//
// A net change whose base row has not moved since the shadow read it is
// clean and taken as the shadow left it; every other one is a conflict,
// resolved by its table's policy: the shadow's row wins (lww), the merge
// fails (error), the rows are merged column by column (field_merge), or the
// key is set aside and the base keeps its row (manual). Rows are equal when
// they have the same width and every pair of values is equal under
// Value::key_cmp (an Int never equals a Float).
//
// Detection is a pure function of the plan, the base engine's loaded tables
// (rows and merge-policy words) and the session's policies: it reports no
// error and changes nothing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "shadow/merge_plan.h"
#include "types/merge_policy.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::shadow {

struct ConflictKind {
    enum class Tag : std::uint8_t {
        UpdateDiverged,      // both sides changed the row, to different rows
        UpdateOnDeletedRow,  // the shadow changed (or re-inserted) a row the base deleted
        DeleteDiverged,      // the shadow deleted a row the base changed
        InsertOnExistingPk,  // the shadow inserted a key the base now holds with another row
        SameColumnsEdited,   // field_merge: both sides changed these columns differently
    };
    Tag tag = Tag::UpdateDiverged;
    std::vector<std::string> columns;  // SameColumnsEdited only, in column order

    // "update diverged", "update on deleted row", "delete diverged", "insert
    // on existing pk", "same columns edited on both sides: {}" (names joined
    // with ", ").
    std::string display() const;
    bool operator==(const ConflictKind&) const = default;
};

enum class MergeOutcome : std::uint8_t {
    Ours = 0,     // the shadow's row is taken
    Merged = 1,   // the column-wise merge is taken
    Skipped = 2,  // the key is set aside; the base keeps its row
    Aborted = 3,  // the merge must fail
};

// "Ours", "Merged", "Skipped", "Aborted".
std::string_view display(MergeOutcome outcome);

// One conflicting merge key.
struct ConflictRecord {
    std::string table;
    std::string pk;                 // the key text
    std::optional<Row> shadow;      // the net row; none for a net delete
    std::optional<Row> before;      // the before-image when it is a row
    std::optional<Row> current;     // the base's row now; none when it has none
    ConflictKind kind;
    MergeOutcome outcome = MergeOutcome::Aborted;

    // "{table}[{pk}]: {kind} ({outcome})".
    std::string line() const;
    bool operator==(const ConflictRecord&) const = default;
};

struct MergeResolution {
    // Every conflict, in merge-key order, whatever its outcome.
    std::vector<ConflictRecord> conflicts;
    // What the commit writes per key: a row to insert or update with, or
    // none to delete. Clean, Ours and Merged keys.
    std::map<MergeKey, std::optional<Row>> resolved;
    // Keys resolved Skipped.
    std::set<MergeKey> skipped;
    // Keys resolved Merged.
    std::uint64_t merged = 0;
};

// Per-table overrides (exact, case-sensitive names) before the table's
// catalog policy before the default.
struct SessionPolicies {
    std::map<std::string, MergePolicy> table_policies;
    MergePolicy default_policy = MergePolicy::Lww;
};

// The policy that decides a conflict on `table`: the session's override, else
// the base's merge-policy word (from its catalog) when it parses, else the
// session default.
MergePolicy policy_for(const LoadedTables& base, const SessionPolicies& policies, const std::string& table);

// One line per record, in order.
std::vector<std::string> format_conflict_lines(const std::vector<ConflictRecord>& records);
// The records whose outcome is Aborted, in order.
std::vector<ConflictRecord> aborted_conflicts(const std::vector<ConflictRecord>& records);

// Whether two rows hold the same values under key order (an Int and a
// Float of equal value differ, as they do in a key).
bool rows_equal_by_key(RowView a, RowView b);

}  // namespace zembrel::shadow

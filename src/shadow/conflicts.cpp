#include "shadow/conflicts.h"

#include "types/text_format.h"

namespace zembrel::shadow {

bool rows_equal_by_key(RowView a, RowView b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Value::key_cmp(a[i], b[i]) != 0) return false;
    return true;
}


namespace {

bool values_equal(const Value& a, const Value& b) { return Value::key_cmp(a, b) == 0; }

// The conflict a net change makes against the current row, or none when it
// is clean.
std::optional<ConflictKind::Tag> classify(const NetChange& change, RowView current) {
    using Tag = ConflictKind::Tag;
    const BeforeImage& before = change.before;
    if (!change.row) {
        if (!current || !before.is_row() || rows_equal_by_key(before.row, current)) return std::nullopt;
        return Tag::DeleteDiverged;
    }
    if (!current) {
        if (before.is_row()) return Tag::UpdateOnDeletedRow;
        return std::nullopt;
    }
    if (rows_equal_by_key(current, *change.row)) return std::nullopt;
    switch (before.kind) {
        case BeforeImage::Kind::Inserted: return Tag::InsertOnExistingPk;
        case BeforeImage::Kind::Absent: return std::nullopt;
        case BeforeImage::Kind::Row:
            if (rows_equal_by_key(before.row, current)) return std::nullopt;
            return Tag::UpdateDiverged;
    }
    return std::nullopt;
}

// Column merge of before b, current c and shadow s (all of one width): each
// column takes the side that changed it; columns both sides changed to
// different values are reported by position.
Row merge_columns(const Row& b, const Row& c, const Row& s, std::vector<std::size_t>& clashes) {
    Row merged;
    merged.reserve(s.size());
    for (std::size_t j = 0; j < s.size(); ++j) {
        if (values_equal(c[j], s[j]) || values_equal(s[j], b[j])) {
            merged.push_back(c[j]);
        } else if (values_equal(c[j], b[j])) {
            merged.push_back(s[j]);
        } else {
            clashes.push_back(j);
            merged.push_back(s[j]);
        }
    }
    return merged;
}

// Applies the table's policy to a fresh (Aborted) record.
void resolve(ConflictRecord& record, const MergeKey& key, MergePolicy policy, const Table& table,
             MergeResolution& out) {
    switch (policy.kind()) {
        case MergePolicy::Lww:
            record.outcome = MergeOutcome::Ours;
            out.resolved.insert_or_assign(key, record.shadow);
            return;
        case MergePolicy::Error: return;
        case MergePolicy::Manual:
            record.outcome = MergeOutcome::Skipped;
            out.skipped.insert(key);
            return;
        case MergePolicy::FieldMerge: {
            if (record.kind.tag != ConflictKind::Tag::UpdateDiverged || !record.before || !record.current ||
                !record.shadow)
                return;
            const Row& b = *record.before;
            const Row& c = *record.current;
            const Row& s = *record.shadow;
            if (b.size() != s.size() || c.size() != s.size()) return;
            std::vector<std::size_t> clashes;
            Row merged = merge_columns(b, c, s, clashes);
            if (clashes.empty()) {
                record.outcome = MergeOutcome::Merged;
                ++out.merged;
                out.resolved.insert_or_assign(key, std::move(merged));
                return;
            }
            record.kind.tag = ConflictKind::Tag::SameColumnsEdited;
            for (std::size_t j : clashes)
                record.kind.columns.push_back(j < table.columns.size() ? table.columns[j].name : std::to_string(j));
            return;
        }
    }
}

}  // namespace

std::string ConflictKind::display() const {
    switch (tag) {
        case Tag::UpdateDiverged: return "update diverged";
        case Tag::UpdateOnDeletedRow: return "update on deleted row";
        case Tag::DeleteDiverged: return "delete diverged";
        case Tag::InsertOnExistingPk: return "insert on existing pk";
        case Tag::SameColumnsEdited: return "same columns edited on both sides: " + join_texts(columns);
    }
    return {};
}

std::string_view display(MergeOutcome outcome) {
    switch (outcome) {
        case MergeOutcome::Ours: return "Ours";
        case MergeOutcome::Merged: return "Merged";
        case MergeOutcome::Skipped: return "Skipped";
        case MergeOutcome::Aborted: return "Aborted";
    }
    return {};
}

std::string ConflictRecord::line() const {
    return format("{}[{}]: {} ({})", table, pk, kind.display(), display(outcome));
}

MergePolicy policy_for(const LoadedTables& base, const SessionPolicies& policies, const std::string& table) {
    if (auto o = policies.table_policies.find(table); o != policies.table_policies.end()) return o->second;
    if (auto w = base.merge_policies.find(table); w != base.merge_policies.end())
        if (auto p = MergePolicy::parse(w->second)) return *p;
    return policies.default_policy;
}

MergeResolution MergePlan::detect_conflicts(const LoadedTables& base, const SessionPolicies& policies) const {
    MergeResolution out;
    for (const auto& [key, change] : changes) {
        // Inserted and deleted again: the shadow leaves no trace, so
        // whatever the base holds under the key stays.
        if (!change.row && change.before.kind == BeforeImage::Kind::Inserted) continue;
        const auto table = base.database.tables.find(key.table);
        RowView current;
        if (auto at = base_row(key); at && table != base.database.tables.end() && at->position < table->second.rows.size())
            current = table->second.rows[at->position];
        const auto tag = classify(change, current);
        if (!tag) {
            out.resolved.insert_or_assign(key, change.row);
            continue;
        }
        ConflictRecord record;
        record.table = key.table;
        record.pk = key.key;
        record.shadow = change.row;
        if (change.before.is_row()) record.before = change.before.row;
        if (current) record.current = current.to_row();
        record.kind.tag = *tag;
        if (table != base.database.tables.end())
            resolve(record, key, policy_for(base, policies, key.table), table->second, out);
        out.conflicts.push_back(std::move(record));
    }
    return out;
}

std::vector<std::string> format_conflict_lines(const std::vector<ConflictRecord>& records) {
    std::vector<std::string> lines;
    lines.reserve(records.size());
    for (const ConflictRecord& r : records) lines.push_back(r.line());
    return lines;
}

std::vector<ConflictRecord> aborted_conflicts(const std::vector<ConflictRecord>& records) {
    std::vector<ConflictRecord> out;
    for (const ConflictRecord& r : records)
        if (r.outcome == MergeOutcome::Aborted) out.push_back(r);
    return out;
}

}  // namespace zembrel::shadow

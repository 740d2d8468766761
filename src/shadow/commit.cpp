#include "shadow/commit.h"

#include <filesystem>
#include <set>
#include <utility>

#include "engine/storage_open.h"
#include "shadow/merge_record.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel::shadow {

namespace {

// The resolved entries of one table: a range of the key-ordered map.
auto resolved_of(const MergeResolution& resolution, const std::string& table) {
    auto first = resolution.resolved.lower_bound(MergeKey{table, {}});
    auto last = first;
    while (last != resolution.resolved.end() && last->first.table == table) ++last;
    return std::pair{first, last};
}

struct MergeInput {
    Engine base;
    ShadowFile file;
    std::vector<ShadowOp> ops;
};

}  // namespace

Status check_unique_indexes(const Engine& base, const MergeResolution& resolution, const MergePlan& plan) {
    for (const auto& [table, keys] : plan.base_keys) {
        std::set<std::uint64_t> replaced;
        auto [first, last] = resolved_of(resolution, table);
        for (auto it = first; it != last; ++it)
            if (auto row = keys.find(it->first.key); row != keys.end()) replaced.insert(row->second.rowid);
        for (const MemIndexInfo& info : base.tables.mem_indexes.indexes_of_table(table)) {
            if (!info.unique) continue;
            const MemIndex* index = base.tables.mem_indexes.get(info.name);
            std::set<IndexKey, KeyLess> seen;
            for (auto it = first; it != last; ++it) {
                if (!it->second) continue;
                auto key = MemIndex::key_for_row(*it->second, info.positions);
                if (!key) continue;
                bool clash = !seen.insert(*key).second;
                if (!clash && index != nullptr) {
                    if (const RowIdList* ids = index->find(*key))
                        for (std::uint64_t id : *ids) clash = clash || !replaced.contains(id);
                }
                if (clash)
                    return execution_error(
                        format("merge conflict: unique index '{}' violated by key {}", info.name, debug_values(*key)));
            }
        }
    }
    return {};
}

Status apply_to_page_store(Engine& base, const MergeResolution& resolution, const MergePlan& plan,
                           CommitReport& report) {
    auto got = base.ensure_page_store();
    if (!got) return fail(got.error());
    PageStore& store = **got;
    for (const std::string& name : plan.tables) {
        const Table* table = base.tables.find(name);
        const CatalogEntry* entry = store.catalog.get(name);
        if (table == nullptr || entry == nullptr) return execution_error(format("table '{}' not found", name));
        std::uint64_t next_id = std::max(entry->rowid_counter, table->next_rowid);
        std::vector<StoredRowChange> changes;
        auto [first, last] = resolved_of(resolution, name);
        for (auto it = first; it != last; ++it) {
            const std::optional<Row>& row = it->second;
            const std::optional<BaseRow> at = plan.base_row(it->first);
            if (!at) {
                if (!row) continue;
                changes.push_back(StoredRowChange{next_id++, {}, *row});
                ++report.inserted;
                continue;
            }
            const RowView current = table->rows[at->position];
            if (!row) {
                changes.push_back(StoredRowChange{at->rowid, current, {}});
                ++report.deleted;
            } else if (!rows_equal_by_key(*row, current)) {
                changes.push_back(StoredRowChange{at->rowid, current, *row});
                ++report.updated;
            }
        }
        for (const auto& [keyless_table, row] : plan.keyless_inserts) {
            if (keyless_table != name) continue;
            changes.push_back(StoredRowChange{next_id++, {}, row});
            ++report.inserted;
        }
        if (changes.empty()) continue;
        if (auto st = store.apply_row_changes(name, changes, next_id); !st) return st;
    }
    return {};
}

std::vector<const ShadowOp*> collect_kept_ops(const std::vector<ShadowOp>& ops, const MergePlan& plan,
                                              const MergeResolution& resolution) {
    std::vector<const ShadowOp*> kept;
    if (resolution.skipped.empty()) return kept;
    for (const ShadowOp& op : ops) {
        auto pk = plan.pk_columns.find(op.table);
        if (pk == plan.pk_columns.end() || !pk->second) continue;
        std::string key;
        if (op.kind == ShadowOp::Kind::Insert) {
            if (*pk->second >= op.row.size()) continue;
            key = op.row[*pk->second].display();
        } else {
            key = op.pk.display();
        }
        if (resolution.skipped.contains(MergeKey{op.table, std::move(key)})) kept.push_back(&op);
    }
    return kept;
}

Result<std::optional<std::uint64_t>> kept_ops_end(Vfs& fs, const std::string& kept_path) {
    auto present = fs.exists_checked(kept_path);
    if (!present) return fail(present.error());
    if (!*present) return std::optional<std::uint64_t>();
    auto file = ShadowFile::read(kept_path);
    if (!file) return fail(file.error());
    return std::optional<std::uint64_t>(file->valid_len);
}

Status write_kept_ops(Vfs& fs, const std::string& log_path, std::optional<std::uint64_t> from,
                      const std::vector<const ShadowOp*>& kept, const TableFingerprints& fingerprints) {
    Bytes bytes;
    if (!from) {
        auto header = log_header(log_stem(log_path), fingerprints);
        if (!header) return fail(header.error());
        bytes = std::move(*header);
    }
    for (const ShadowOp* op : kept)
        if (auto st = append_op_frame(bytes, *op); !st) return st;
    const std::string path = kept_ops_path(log_path);
    auto file = from ? fs.open(path) : fs.create_truncate(path);
    if (!file) return fail(file.error());
    const std::uint64_t at = from.value_or(0);
    if (auto st = (*file)->write_at(bytes, at); !st) return st;
    if (auto st = (*file)->set_len(at + bytes.size()); !st) return st;
    if (auto st = (*file)->sync(kSyncFull); !st) return st;
    if (!from) fs.sync_dir(path);
    return {};
}

namespace {

// Steps shared by the commit and the conflict report: the base opened and
// loaded, the mergeable ops read. No ops: `ops` is empty and the base is not
// loaded.
Result<MergeInput> read_merge_input(ShadowSession& session) {
    if (auto st = session.log->sync(); !st) return fail(st.error());
    auto base = open_database_with_retry(session.base_path, session.vfs);
    if (!base) return fail(base.error());
    auto file = ShadowFile::read(session.log->path());
    if (!file) return fail(file.error());
    auto ops = ShadowFile::sealed_ops(file->entries, session.log_kind());
    if (!ops) return fail(ops.error());
    MergeInput input{std::move(*base), std::move(*file), std::move(*ops)};
    if (input.ops.empty()) return input;
    if (auto st = input.base.load_all_tables(); !st) return fail(st.error());
    return input;
}

Result<MergePlan> plan_merge(MergeInput& input) {
    if (auto st = check_schema_divergence(input.base.tables.database, input.file.table_fingerprints, input.ops); !st)
        return fail(st.error());
    return MergePlan::fold_ops(input.base.tables.database, input.ops);
}

}  // namespace

Result<std::vector<ConflictRecord>> ShadowSession::conflicts() {
    if (!log) return std::vector<ConflictRecord>{};
    auto input = read_merge_input(*this);
    if (!input) return fail(input.error());
    if (input->ops.empty()) return std::vector<ConflictRecord>{};
    auto plan = plan_merge(*input);
    if (!plan) return fail(plan.error());
    return plan->detect_conflicts(input->base.tables, policies).conflicts;
}

namespace {

// The session after its log merged: stale, no log, a new name if anonymous.
CommitReport close_merged_log(ShadowSession& session, CommitReport report) {
    session.log.reset();
    session.stale = true;
    session.pending = 0;
    session.commit_unsettled = false;
    if (!session.branch) session.name = types::new_uuid();
    return report;
}

CommitReport settled_report(const MergeRecord& record, const std::string& log_path) {
    CommitReport report;
    report.ops_merged = record.ops_merged;
    report.kept = record.kept;
    if (record.kept > 0) report.kept_path = kept_ops_path(log_path);
    return report;
}

}  // namespace

Result<CommitReport> ShadowSession::commit() {
    CommitReport report;
    if (!log) {
        stale = true;
        return report;
    }
    if (unsealed != 0)
        return execution_error(
            format("branch has {} unsealed op(s) — seal them (commit -m) before merging", unsealed));
    auto input = read_merge_input(*this);
    if (!input) return fail(input.error());
    RealVfs real_fs;
    Vfs& fs = vfs ? *vfs : real_fs;
    const std::string log_path = log->path();
    const std::string record_path = merge_record_path(log_path);
    // An earlier commit of this log that was cut short (its save failed and
    // the base could not be asked) is settled first: when it reached the
    // base, nothing is left to merge.
    auto left = fs.exists_checked(record_path);
    if (!left) return fail(left.error());
    if (*left) {
        auto record = read_merge_record(fs, record_path);
        if (!record) return fail(record.error());
        auto settled = settle_merge_record(input->base, fs, record_path, *record, &input->file);
        if (!settled) return fail(settled.error());
        if (*settled == Settled::Saved) return close_merged_log(*this, settled_report(*record, log_path));
    }
    commit_unsettled = false;
    if (input->ops.empty()) {
        (void)fs.remove(log_path);
        return close_merged_log(*this, report);
    }
    auto plan = plan_merge(*input);
    if (!plan) return fail(plan.error());
    MergeResolution resolution = plan->detect_conflicts(input->base.tables, policies);
    report.tables.assign(plan->tables.begin(), plan->tables.end());
    report.field_merged = resolution.merged;
    std::vector<ConflictRecord> aborted = aborted_conflicts(resolution.conflicts);
    if (!aborted.empty()) {
        std::string lines;
        for (const std::string& line : format_conflict_lines(aborted)) {
            if (!lines.empty()) lines += "; ";
            lines += line;
        }
        return execution_error(format("merge conflict: {} row(s) diverged from base — {}", aborted.size(), lines));
    }
    if (auto st = check_unique_indexes(input->base, resolution, *plan); !st) return fail(st.error());
    // A failure from here on drops the base engine unsaved: its pages roll
    // back, so the file keeps its last commit.
    if (auto st = apply_to_page_store(input->base, resolution, *plan, report); !st) return fail(st.error());
    std::vector<const ShadowOp*> kept = collect_kept_ops(input->ops, *plan, resolution);
    MergeRecord record{types::new_uuid(), std::filesystem::path(log_path).filename().string(), input->file.valid_len,
                       input->file.valid_crc, input->ops.size() - kept.size(), kept.size(), std::nullopt};
    if (!kept.empty()) {
        auto end = kept_ops_end(fs, kept_ops_path(log_path));
        if (!end) return fail(end.error());
        record.kept_from = *end;
        report.kept_path = kept_ops_path(log_path);
    }
    if (auto st = mark_merged_tables(*input->base.page_store(), report.tables, log_stem(log_path), record.id, fs,
                                     shadows_dir(base_path));
        !st)
        return fail(st.error());
    if (auto st = write_merge_record(fs, record_path, record); !st) return fail(st.error());
    // Before the save: once the base holds the merge, the set-aside ops
    // must already be safe.
    if (!kept.empty()) {
        if (auto st = write_kept_ops(fs, log_path, record.kept_from, kept, input->file.table_fingerprints); !st) {
            (void)take_back_merge(fs, record_path, record);
            return fail(st.error());
        }
    }
    report.conflicts = std::move(resolution.conflicts);
    report.kept = kept.size();
    report.ops_merged = record.ops_merged;
    if (auto st = storage::save(input->base); !st) {
        // Dropping the engine rolls its pages back; whether the pager's
        // commit reached the file before the failure only the file can tell.
        input->base = Engine();
        auto reopened = open_database_with_retry(base_path, vfs);
        auto settled = reopened ? settle_merge_record(*reopened, fs, record_path, record, &input->file)
                                : Result<Settled>(fail(reopened.error()));
        if (settled && *settled != Settled::NotSaved) return close_merged_log(*this, std::move(report));
        commit_unsettled = !settled;  // the record stays for the next commit or open
        return fail(st.error());
    }
    // The base holds the merge. A log or record that cannot be removed stays
    // for the next open to settle; the commit has succeeded all the same.
    (void)settle_merge_record(input->base, fs, record_path, record, &input->file);
    return close_merged_log(*this, std::move(report));
}

}  // namespace zembrel::shadow

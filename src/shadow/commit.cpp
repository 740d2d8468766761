#include "shadow/commit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <utility>

#include "engine/storage_open.h"
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

std::string kept_stem(const std::filesystem::path& log_path) {
    const std::string file = log_path.filename().string();
    if (file.empty() || file == "..") return "shadow";
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return file;
    return file.substr(0, dot);
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
                changes.push_back(StoredRowChange{next_id++, nullptr, &*row});
                ++report.inserted;
                continue;
            }
            const Row& current = table->rows[at->position];
            if (!row) {
                changes.push_back(StoredRowChange{at->rowid, &current, nullptr});
                ++report.deleted;
            } else if (!rows_equal_by_key(*row, current)) {
                changes.push_back(StoredRowChange{at->rowid, &current, &*row});
                ++report.updated;
            }
        }
        for (const auto& [keyless_table, row] : plan.keyless_inserts) {
            if (keyless_table != name) continue;
            changes.push_back(StoredRowChange{next_id++, nullptr, &row});
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

void KeptOpsWrite::undo() const {
    if (created) {
        (void)::unlink(path.c_str());
    } else if (auto log = ShadowLog::open_existing(path)) {
        if (log->end() >= old_end) (void)log->truncate_to(old_end);
    }
}

Result<KeptOpsWrite> write_kept_ops(const std::string& log_path, const std::vector<const ShadowOp*>& kept,
                                    const TableFingerprints& fingerprints) {
    const std::filesystem::path log(log_path);
    const std::string stem = kept_stem(log);
    std::filesystem::path kept_path = log;
    if (kept_path.has_filename()) kept_path.remove_filename();
    kept_path /= stem + ".krvc";
    KeptOpsWrite write{kept_path.string()};
    struct stat st;
    std::optional<ShadowLog> file;
    if (::stat(write.path.c_str(), &st) == 0) {
        auto existing = ShadowLog::open_existing(write.path);
        if (!existing) return fail(existing.error());
        write.old_end = existing->end();
        file = std::move(*existing);
    } else {
        auto created = ShadowLog::create(write.path, stem, fingerprints);
        if (!created) return fail(created.error());
        write.created = true;
        file = std::move(*created);
    }
    for (const ShadowOp* op : kept) {
        if (auto s = op->encode(*file); !s) {
            file.reset();
            write.undo();
            return fail(s.error());
        }
    }
    if (auto s = file->sync(); !s) {
        file.reset();
        write.undo();
        return fail(s.error());
    }
    return write;
}

namespace {

// Steps shared by the commit and the conflict report: the base opened and
// loaded, the mergeable ops read. No ops: `ops` is empty and the base is not
// loaded.
Result<MergeInput> read_merge_input(ShadowSession& session) {
    if (auto st = session.log->sync(); !st) return fail(st.error());
    auto base = open_database_with_retry(session.base_path, session.base_vfs);
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
    if (!input->ops.empty()) {
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
            return execution_error(
                format("merge conflict: {} row(s) diverged from base — {}", aborted.size(), lines));
        }
        if (auto st = check_unique_indexes(input->base, resolution, *plan); !st) return fail(st.error());
        // A failure from here on drops the base engine unsaved: its pages
        // roll back, so the file keeps its last commit.
        if (auto st = apply_to_page_store(input->base, resolution, *plan, report); !st) return fail(st.error());
        std::vector<const ShadowOp*> kept = collect_kept_ops(input->ops, *plan, resolution);
        std::optional<KeptOpsWrite> kept_write;
        // Before the save: once the base holds the merge, the set-aside ops
        // must already be safe.
        if (!kept.empty()) {
            auto written = write_kept_ops(log->path(), kept, input->file.table_fingerprints);
            if (!written) return fail(written.error());
            kept_write = std::move(*written);
            report.kept_path = kept_write->path;
        }
        if (auto st = storage::save(input->base); !st) {
            if (kept_write) kept_write->undo();
            return fail(st.error());
        }
        report.conflicts = std::move(resolution.conflicts);
        report.kept = kept.size();
        report.ops_merged = input->ops.size() - kept.size();
    }
    // The base file holds the merge; from here nothing can fail.
    input->base = Engine();
    const std::string path = log->path();
    log.reset();
    (void)::unlink(path.c_str());
    stale = true;
    pending = 0;
    if (!branch) name = types::new_uuid();
    return report;
}

}  // namespace zembrel::shadow

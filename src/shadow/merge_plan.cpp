#include "shadow/merge_plan.h"

#include "shadow/stored_rows.h"
#include "types/text_format.h"

namespace zembrel::shadow {

std::optional<std::size_t> pk_column_of(const Table& table) {
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        if (table.columns[i].data_type.kind == DataTypeKind::Pk) return i;
    return std::nullopt;
}

Status check_schema_divergence(const Database& database, const TableFingerprints& fingerprints,
                               const std::vector<ShadowOp>& ops) {
    std::set<std::string> names;
    for (const ShadowOp& op : ops) names.insert(op.table);
    for (const std::string& name : names) {
        auto recorded = fingerprints.find(name);
        if (recorded == fingerprints.end()) continue;
        auto table = database.tables.find(name);
        if (table == database.tables.end()) continue;  // the fold names it
        if (schema_fingerprint(table->second.columns) != recorded->second)
            return execution_error(format(
                "schema divergence on '{}': the shadow was written against a different schema "
                "(columns/types changed on main since the snapshot)",
                name));
    }
    return {};
}

namespace {

// Later ops replace the net row; the before-image stays the first op's.
void combine(std::map<MergeKey, NetChange>& changes, MergeKey key, std::optional<Row> row, BeforeImage before) {
    auto [it, fresh] = changes.try_emplace(std::move(key));
    if (fresh) it->second.before = std::move(before);
    it->second.row = std::move(row);
}

// A delete's before-image may have any width.
Result<BeforeImage> before_of(StoredRows& stored, const Table& table, const ShadowOp& op) {
    if (!op.before) return BeforeImage::absent();
    auto row = stored.of(table, *op.before, StoredRows::Width::Any);
    if (!row) return fail(row.error());
    return BeforeImage::of(std::move(*row));
}

}  // namespace

Result<MergePlan> MergePlan::fold_ops(Database& database, const std::vector<ShadowOp>& ops) {
    MergePlan plan;
    for (const ShadowOp& op : ops) plan.tables.insert(op.table);
    for (const std::string& name : plan.tables)
        if (!database.tables.contains(name)) return execution_error(format("shadow references unknown table '{}'", name));
    for (const std::string& name : plan.tables) plan.pk_columns[name] = pk_column_of(database.tables.find(name)->second);

    StoredRows stored;
    for (const ShadowOp& op : ops) {
        const Table& table = database.tables.find(op.table)->second;
        const std::optional<std::size_t> pk = plan.pk_columns.find(op.table)->second;
        if (op.kind != ShadowOp::Kind::Insert && !pk)
            return execution_error(format("shadow Update/Delete on table '{}' without PK column", op.table));
        std::optional<Row> row;
        if (op.kind != ShadowOp::Kind::Delete) {
            auto fitted = stored.of(table, op.row);
            if (!fitted) return fail(fitted.error());
            row = std::move(*fitted);
        }
        if (!pk) {
            plan.keyless_inserts.emplace_back(op.table, std::move(*row));
            continue;
        }
        if (op.kind == ShadowOp::Kind::Insert) {
            std::string key = (*row)[*pk].display();
            combine(plan.changes, MergeKey{op.table, std::move(key)}, std::move(row), BeforeImage::inserted());
            continue;
        }
        auto before = before_of(stored, table, op);
        if (!before) return fail(before.error());
        combine(plan.changes, MergeKey{op.table, op.pk.display()}, std::move(row), std::move(*before));
    }

    // Only the keys the shadow changed are looked up later; one pass over
    // each touched table finds them (the later row wins a shared key text).
    std::map<std::string, std::set<std::string>> wanted;
    for (const auto& [key, change] : plan.changes) wanted[key.table].insert(key.key);
    for (const auto& [name, pk] : plan.pk_columns) {
        if (!pk) continue;
        Table& table = database.tables.find(name)->second;
        if (table.rowids.size() != table.rows.size()) {
            const std::uint64_t n = table.rows.size();
            table.rowids.resize(n);
            for (std::uint64_t i = 0; i < n; ++i) table.rowids[i] = i + 1;
            if (table.next_rowid <= n) table.next_rowid = n + 1;
        }
        auto& keys = plan.base_keys[name];
        const auto want = wanted.find(name);
        if (want == wanted.end()) continue;
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            const Row& row = table.rows[i];
            if (*pk >= row.size()) continue;  // a row without a key value matches no key
            std::string text = row[*pk].display();
            if (want->second.contains(text)) keys.insert_or_assign(std::move(text), BaseRow{i, table.rowids[i]});
        }
    }
    return plan;
}

std::optional<BaseRow> MergePlan::base_row(const MergeKey& key) const {
    auto table = base_keys.find(key.table);
    if (table == base_keys.end()) return std::nullopt;
    auto row = table->second.find(key.key);
    if (row == table->second.end()) return std::nullopt;
    return row->second;
}

}  // namespace zembrel::shadow

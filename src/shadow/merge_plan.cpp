#include "shadow/merge_plan.h"

#include "shadow/clear_texts.h"
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

std::unexpected<EngineError> width_mismatch(const std::string& table) {
    return execution_error(format("shadow row width mismatch on '{}' — schema divergence", table));
}

namespace {

// Later ops replace the net row; the before-image stays the first op's.
void combine(std::map<MergeKey, NetChange>& changes, MergeKey key, std::optional<Row> row, BeforeImage before) {
    auto [it, fresh] = changes.try_emplace(std::move(key));
    if (fresh) it->second.before = std::move(before);
    it->second.row = std::move(row);
}

BeforeImage before_of(const ShadowOp& op) {
    return op.before ? BeforeImage::of(*op.before) : BeforeImage::absent();
}

}  // namespace

Result<MergePlan> MergePlan::fold_ops(Database& database, const std::vector<ShadowOp>& ops) {
    MergePlan plan;
    for (const ShadowOp& op : ops) plan.tables.insert(op.table);
    for (const std::string& name : plan.tables)
        if (!database.tables.contains(name)) return execution_error(format("shadow references unknown table '{}'", name));
    for (const std::string& name : plan.tables) plan.pk_columns[name] = pk_column_of(database.tables.find(name)->second);

    for (const ShadowOp& op : ops) {
        const Table& table = database.tables.find(op.table)->second;
        const std::optional<std::size_t> pk = plan.pk_columns.find(op.table)->second;
        switch (op.kind) {
            case ShadowOp::Kind::Insert:
                if (op.row.size() != table.columns.size()) return width_mismatch(op.table);
                if (!pk) {
                    plan.keyless_inserts.emplace_back(op.table, op.row);
                    break;
                }
                combine(plan.changes, MergeKey{op.table, op.row[*pk].display()}, op.row, BeforeImage::inserted());
                break;
            case ShadowOp::Kind::Update:
                if (!pk)
                    return execution_error(format("shadow Update/Delete on table '{}' without PK column", op.table));
                if (op.row.size() != table.columns.size()) return width_mismatch(op.table);
                combine(plan.changes, MergeKey{op.table, op.pk.display()}, op.row, before_of(op));
                break;
            case ShadowOp::Kind::Delete:
                if (!pk)
                    return execution_error(format("shadow Update/Delete on table '{}' without PK column", op.table));
                combine(plan.changes, MergeKey{op.table, op.pk.display()}, std::nullopt, before_of(op));
                break;
        }
    }

    // Only the keys the shadow changed are looked up later; one pass over
    // each touched table finds them (the later row wins a shared key text).
    // Row ids that are not one per row count as renumbered 1..n, which they
    // become once nothing can fail.
    std::map<std::string, std::set<std::string>> wanted;
    for (const auto& [key, change] : plan.changes) wanted[key.table].insert(key.key);
    for (const auto& [name, pk] : plan.pk_columns) {
        if (!pk) continue;
        const Table& table = database.tables.find(name)->second;
        const bool renumbered = table.rowids.size() != table.rows.size();
        auto& keys = plan.base_keys[name];
        const auto want = wanted.find(name);
        if (want == wanted.end()) continue;
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            const RowView row = table.rows[i];
            if (*pk >= row.size()) continue;  // a row without a key value matches no key
            std::string text = row[*pk].display();
            if (want->second.contains(text))
                keys.insert_or_assign(std::move(text), BaseRow{i, renumbered ? i + 1 : table.rowids[i]});
        }
    }

    ClearTextHasher clear_texts;
    for (auto& [key, change] : plan.changes) {
        const Table& table = database.tables.find(key.table)->second;
        const std::optional<BaseRow> at = plan.base_row(key);
        const RowView current = at ? table.rows[at->position] : RowView();
        if (change.row)
            if (auto st = clear_texts.hash(table, *change.row, current); !st) return fail(st.error());
        if (change.before.is_row())
            if (auto st = clear_texts.hash(table, change.before.row, current); !st) return fail(st.error());
    }
    for (auto& [name, row] : plan.keyless_inserts)
        if (auto st = clear_texts.hash(database.tables.find(name)->second, row, RowView()); !st) return fail(st.error());

    for (const auto& [name, pk] : plan.pk_columns)
        if (pk) renumber_if_mismatched(database.tables.find(name)->second);
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

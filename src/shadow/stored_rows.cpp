#include "shadow/stored_rows.h"

#include "hash_column/hash_column.h"
#include "types/text_format.h"

namespace zembrel::shadow {

std::vector<StoredRows::HashColumn>& StoredRows::hash_columns(const Table& table) {
    auto [it, fresh] = tables_.try_emplace(table.name);
    if (fresh) {
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const Column& c = table.columns[i];
            if (c.salt) it->second.push_back(HashColumn{i, c.name, *c.salt, hash_column::hash_prefix(*c.salt), {}});
        }
    }
    return it->second;
}

Result<Row> StoredRows::of(const Table& table, const Row& row, Width width) {
    if (width == Width::Exact && row.size() != table.columns.size())
        return execution_error(format("shadow row width mismatch on '{}' — schema divergence", table.name));
    Row out = row;
    for (HashColumn& column : hash_columns(table)) {
        if (column.position >= out.size() || out[column.position].kind() != ValueKind::Text) continue;
        const std::string& text = out[column.position].as_text();
        if (hash_column::has_hash_form(text, column.prefix)) continue;
        auto known = column.hashes.find(text);
        if (known == column.hashes.end()) {
            auto hashed = hash_column::hash_value(text, column.salt);
            if (!hashed) return execution_error(format("column '{}': hashing failed: {}", column.name, hashed.error()));
            known = column.hashes.emplace(text, std::move(*hashed)).first;
        }
        out[column.position] = Value::text(known->second);
    }
    return out;
}

}  // namespace zembrel::shadow

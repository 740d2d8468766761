#include "shadow/clear_texts.h"

#include "hash_column/hash_column.h"
#include "types/text_format.h"

namespace zembrel::shadow {

std::vector<ClearTextHasher::HashColumn>& ClearTextHasher::hash_columns(const Table& table) {
    auto [it, fresh] = tables_.try_emplace(table.name);
    if (fresh) {
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const Column& c = table.columns[i];
            if (c.salt) it->second.push_back(HashColumn{i, c.name, *c.salt, hash_column::hash_prefix(*c.salt), {}});
        }
    }
    return it->second;
}

Status ClearTextHasher::hash(const Table& table, Row& row, RowView base_row) {
    for (HashColumn& column : hash_columns(table)) {
        const std::size_t p = column.position;
        if (p >= row.size() || row[p].kind() != ValueKind::Text) continue;
        const std::string_view text = row[p].as_text();
        if (hash_column::has_hash_form(text, column.prefix)) continue;
        if (base_row && p < base_row.size() && base_row[p].kind() == ValueKind::Text &&
            base_row[p].as_text() == text)
            continue;
        auto known = column.hashes.find(std::string(text));
        if (known == column.hashes.end()) {
            auto hashed = hash_column::hash_value(text, column.salt);
            if (!hashed) return execution_error(format("column '{}': hashing failed: {}", column.name, hashed.error()));
            known = column.hashes.emplace(text, std::move(*hashed)).first;
        }
        row[p] = Value::text(known->second);
    }
    return {};
}

}  // namespace zembrel::shadow

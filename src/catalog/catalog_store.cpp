#include "catalog/catalog_store.h"

#include "keycodec/keycodec.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

EngineError corrupt(std::string_view table, const EngineError& inner) {
    return EngineError::storage(format("corrupt catalog entry '{}': {}", table, inner.message));
}

}  // namespace

Status write_catalog_entry(Pager& pager, std::string_view table, const CatalogEntry& entry) {
    auto json = entry.to_json();
    if (!json) return fail(json.error());
    keycodec::Bytes key = keycodec::catalog_key(table);
    std::uint64_t root = pager.catalog_root();
    auto new_root = BPlusTree::insert(pager, root, key, as_bytes(*json));
    if (!new_root) return fail(new_root.error());
    if (*new_root != root) pager.set_catalog_root(*new_root);
    return {};
}

Result<std::vector<NamedCatalogEntry>> read_catalog_records(BPlusTreeCursor& cursor) {
    std::vector<NamedCatalogEntry> out;
    for (;;) {
        auto kv = cursor.next();
        if (!kv) return fail(kv.error());
        if (!*kv) break;
        auto name = keycodec::decode_key((*kv)->key);
        if (!name) return fail(name.error());
        if (name->kind() != ValueKind::Text) return storage_error(format("invalid catalog key: {}", name->debug()));
        const auto& value = (*kv)->value;
        auto entry = CatalogEntry::from_json(std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
        if (!entry) return fail(corrupt(name->as_text(), entry.error()));
        out.emplace_back(name->as_text(), std::move(*entry));
    }
    return out;
}

Result<std::vector<NamedCatalogEntry>> load_catalog_entries(Pager& pager) {
    if (pager.catalog_root() == 0) return std::vector<NamedCatalogEntry>{};
    auto cursor = BPlusTree::seek(pager, pager.catalog_root(), std::nullopt);
    if (!cursor) return fail(cursor.error());
    auto records = read_catalog_records(*cursor);
    if (!records) return records;
    for (auto& [name, entry] : *records) {
        if (auto st = entry.derive_fields(); !st) return fail(corrupt(name, st.error()));
    }
    return records;
}

Result<std::vector<NamedCatalogEntry>> load_catalog_entries(const PagerSnapshot& snapshot) {
    if (snapshot.catalog_root() == 0) return std::vector<NamedCatalogEntry>{};
    auto leaf = BPlusTree::leftmost_leaf_snapshot(snapshot, snapshot.catalog_root());
    if (!leaf) return fail(leaf.error());
    BPlusTreeCursor cursor(snapshot, *leaf, 0);
    return read_catalog_records(cursor);
}

}  // namespace zembrel

#include "pagestore/index_cursor.h"

#include "keycodec/keycodec.h"
#include "types/text_format.h"

namespace zembrel {

Result<BPlusTreeCursor> IndexCursor::descend(PageStore& store, uint64_t root, std::optional<bpt::ByteSpan> start,
                                             InteriorPages* interiors) {
    if (interiors != nullptr && start) return BPlusTree::seek(*store.pager, *interiors, root, *start);
    return BPlusTree::seek(*store.pager, root, start);
}

Result<std::optional<IndexCursor>> IndexCursor::open(PageStore& store, const std::string& table,
                                                     const std::string& index,
                                                     std::optional<std::span<const uint8_t>> start,
                                                     InteriorPages* interiors) {
    const CatalogEntry* entry = store.catalog.get(table);
    if (entry == nullptr) return std::optional<IndexCursor>();
    for (const IndexCatalogEntry& ix : entry->indexes) {
        if (ix.name != index) continue;
        if (ix.positions.empty() || ix.positions.size() != ix.columns.size()) return std::optional<IndexCursor>();
        auto cursor = descend(store, ix.root, start ? std::optional<bpt::ByteSpan>(bpt::ByteSpan(*start)) : std::nullopt,
                              interiors);
        if (!cursor) return std::unexpected(cursor.error());
        return std::optional<IndexCursor>(IndexCursor(std::move(*cursor), ix.name, ix.positions, ix.root, interiors));
    }
    return std::optional<IndexCursor>();
}

Status IndexCursor::seek(PageStore& store, std::span<const uint8_t> start) {
    if (cursor_.seek_within(bpt::ByteSpan(start))) return {};
    auto cursor = descend(store, root_, bpt::ByteSpan(start), interiors_);
    if (!cursor) return std::unexpected(cursor.error());
    cursor_ = std::move(*cursor);
    return {};
}

Result<std::optional<IndexEntry>> IndexCursor::next() {
    IndexEntry entry;
    auto got = next_into(entry);
    if (!got) return std::unexpected(got.error());
    if (!*got) return std::optional<IndexEntry>();
    return std::optional<IndexEntry>(std::move(entry));
}

Status IndexCursor::check_rowid(uint64_t rowid) const {
    if (rowid == 0 || rowid > static_cast<uint64_t>(INT64_MAX))
        return storage_error(format("index '{}' holds an entry with row id {}", index_, static_cast<int64_t>(rowid)));
    return {};
}

Result<bool> IndexCursor::next_into(IndexEntry& entry) {
    bpt::ByteSpan key, value;
    auto got = cursor_.next_view(key, value);
    if (!got) return std::unexpected(got.error());
    if (!*got) return false;
    auto decoded = keycodec::decode_index_key_into(key, positions_.size(), entry.values, entry.rowid);
    if (!decoded) return std::unexpected(decoded.error());
    if (auto st = check_rowid(entry.rowid); !st) return std::unexpected(st.error());
    return true;
}

Result<IndexCursor::Next> IndexCursor::next_after_prefix(std::span<const uint8_t> prefix, IndexEntry& entry) {
    bpt::ByteSpan key, value;
    auto got = cursor_.next_view(key, value);
    if (!got) return std::unexpected(got.error());
    if (!*got) return Next::End;
    if (const std::optional<uint64_t> rowid = keycodec::rowid_after_prefix(key, prefix)) {
        entry.rowid = *rowid;
        if (auto st = check_rowid(entry.rowid); !st) return std::unexpected(st.error());
        return Next::SameKey;
    }
    auto decoded = keycodec::decode_index_key_into(key, positions_.size(), entry.values, entry.rowid);
    if (!decoded) return std::unexpected(decoded.error());
    if (auto st = check_rowid(entry.rowid); !st) return std::unexpected(st.error());
    return Next::Decoded;
}

}  // namespace zembrel

#include "btree/mem_index.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>
#include <utility>

namespace zembrel {

MemIndex::MemIndex(std::string name_, std::string table_, std::vector<std::string> columns_,
                   std::vector<size_t> positions_, bool unique_)
    : name(std::move(name_)),
      table(std::move(table_)),
      columns(std::move(columns_)),
      positions(std::move(positions_)),
      unique(unique_) {}

std::optional<IndexKey> MemIndex::key_for_row(const Row& row, std::span<const size_t> positions) {
    for (size_t p : positions)
        if (p >= row.size() || row[p].is_null()) return std::nullopt;
    IndexKey key;
    key.reserve(positions.size());
    for (size_t p : positions) key.push_back(row[p]);
    return key;
}

const RowIdList* MemIndex::find(const IndexKey& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

const RowIdList* MemIndex::find(const Value& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

void MemIndex::add_row_id(const IndexKey& key, uint64_t rowid) {
    auto it = map_.find(key);
    if (it == map_.end()) {
        hash_view_.reset();
        it = map_.emplace(key, RowIdList{}).first;
    }
    RowIdList& ids = it->second;
    if (rowid > max_id_ || std::find(ids.begin(), ids.end(), rowid) == ids.end()) {
        ids.push_back(rowid);
        ++id_count_;
    }
    max_id_ = std::max(max_id_, rowid);
}

void MemIndex::remove_row_id(const IndexKey& key, uint64_t rowid) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    id_count_ -= std::erase(it->second, rowid);
    if (it->second.empty()) {
        hash_view_.reset();
        map_.erase(it);
    }
}

void MemIndex::set_entered(size_t rows, uint64_t last_id, bool may_hold_stale) {
    entered_rows_ = rows;
    last_entered_id_ = last_id;
    may_hold_stale_ids_ = may_hold_stale;
}

void MemIndex::replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id) {
    hash_view_.reset();
    map_ = std::move(map);
    max_id_ = 0;
    id_count_ = 0;
    for (const auto& [key, ids] : map_) {
        for (uint64_t id : ids) max_id_ = std::max(max_id_, id);
        id_count_ += ids.size();
    }
    set_entered(entered_rows, last_id, false);
}

const KeyHashView& MemIndex::build_hash_view() const {
    if (positions.size() != 1) invariant_failed("a hash view of a composite index");
    if (!hash_view_.view) hash_view_.view = std::make_shared<const KeyHashView>(map_);
    return *hash_view_.view;
}

const RowIdList* MemIndex::find_one(const Value& key) const {
    if (positions.size() == 1) {
        if (const KeyHashView* view = hash_view()) return view->find(key);
        if (++hash_view_.lookups >= 16 + map_.size() / 64) return build_hash_view().find(key);
    }
    return find(IndexKey{key});
}

KeyHashView::KeyHashView(const IndexKeyMap& map) {
    size_t capacity = 16;
    while (capacity < map.size() * 2) capacity *= 2;
    slots_.resize(capacity);
    mask_ = capacity - 1;
    if (!map.empty()) {
        const ValueKind first = map.begin()->first.front().kind();
        if (first == ValueKind::Int || first == ValueKind::Float) numeric_kind_ = first;
    }
    for (const auto& entry : map) {
        if (entry.first.size() != 1) invariant_failed("a single-column index holds a wider key");
        if (numeric_kind_ && entry.first.front().kind() != *numeric_kind_) numeric_kind_.reset();
    }
    for (const auto& entry : map) {
        uint64_t code = 0;
        code_of(entry.first.front(), code);
        size_t at = mixed(code) & mask_;
        while (slots_[at].entry != nullptr) at = (at + 1) & mask_;
        slots_[at] = Slot{code, &entry};
    }
}

uint64_t KeyHashView::mixed(uint64_t h) {
    // Spreads the bits the mask keeps (a Float's low bits are often zero).
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

bool KeyHashView::code_of(const Value& key, uint64_t& code) const {
    if (numeric_kind_) {
        // No key of another kind is equal under the key order.
        if (key.kind() != *numeric_kind_) return false;
        code = key.is_int() ? static_cast<uint64_t>(key.as_int()) : std::bit_cast<uint64_t>(key.as_float());
        return true;
    }
    // Equal under the key order hashes alike: Text and Uuid of the same
    // bytes share a hash; other kinds differ by their tag.
    uint64_t h = 0;
    switch (key.kind()) {
        case ValueKind::Null: h = 0x51ed27; break;
        case ValueKind::Bool: h = key.as_bool() ? 1 : 2; break;
        case ValueKind::Int: h = static_cast<uint64_t>(key.as_int()) ^ 0x2000000000000001ull; break;
        case ValueKind::Float: h = std::bit_cast<uint64_t>(key.as_float()) ^ 0x3000000000000003ull; break;
        case ValueKind::Text:
        case ValueKind::Uuid: h = std::hash<std::string_view>{}(key.as_text()) ^ 0x4000000000000004ull; break;
        case ValueKind::Date: h = std::hash<std::string_view>{}(key.as_text()) ^ 0x6000000000000006ull; break;
        case ValueKind::DateTime: h = std::hash<std::string_view>{}(key.as_text()) ^ 0x7000000000000007ull; break;
    }
    code = h;
    return true;
}

const RowIdList* KeyHashView::find(const Value& key) const {
    uint64_t code = 0;
    if (!code_of(key, code)) return nullptr;
    for (size_t at = mixed(code) & mask_; slots_[at].entry != nullptr; at = (at + 1) & mask_) {
        const Slot& slot = slots_[at];
        if (slot.code != code) continue;
        // Numeric codes are the keys themselves; hashes are confirmed.
        if (numeric_kind_ || Value::key_cmp(slot.entry->first.front(), key) == 0) return &slot.entry->second;
    }
    return nullptr;
}

MemIndex* MemIndexMap::get(std::string_view name) {
    auto it = indexes_.find(name);
    return it == indexes_.end() ? nullptr : &it->second;
}

const MemIndex* MemIndexMap::get(std::string_view name) const {
    auto it = indexes_.find(name);
    return it == indexes_.end() ? nullptr : &it->second;
}

std::vector<MemIndexInfo> MemIndexMap::indexes_of_table(std::string_view table) const {
    std::vector<MemIndexInfo> out;
    for (const auto& [name, index] : indexes_)
        if (index.table == table) out.push_back({name, index.positions, index.unique});
    return out;
}

std::vector<std::string> MemIndexMap::names_of_table(std::string_view table) const {
    std::vector<std::string> out;
    for (const auto& [name, index] : indexes_)
        if (index.table == table) out.push_back(name);
    return out;
}

bool MemIndexMap::insert(MemIndex index) {
    std::string key = index.name;
    return indexes_.try_emplace(std::move(key), std::move(index)).second;
}

std::optional<MemIndex> MemIndexMap::remove(std::string_view name) {
    auto it = indexes_.find(name);
    if (it == indexes_.end()) return std::nullopt;
    MemIndex out = std::move(it->second);
    indexes_.erase(it);
    return out;
}

void MemIndexMap::remove_table(std::string_view table) {
    std::erase_if(indexes_, [&](const auto& entry) { return entry.second.table == table; });
}

}  // namespace zembrel

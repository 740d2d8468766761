#include "btree/mem_index.h"

#include <algorithm>
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
    if (it == map_.end()) it = map_.emplace(key, RowIdList{}).first;
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
    if (it->second.empty()) map_.erase(it);
}

void MemIndex::set_entered(size_t rows, uint64_t last_id, bool may_hold_stale) {
    entered_rows_ = rows;
    last_entered_id_ = last_id;
    may_hold_stale_ids_ = may_hold_stale;
}

void MemIndex::replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id) {
    map_ = std::move(map);
    max_id_ = 0;
    id_count_ = 0;
    for (const auto& [key, ids] : map_) {
        for (uint64_t id : ids) max_id_ = std::max(max_id_, id);
        id_count_ += ids.size();
    }
    set_entered(entered_rows, last_id, false);
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

#include "btree/mem_index.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace zembrel {

namespace {

// Element by element in key order, a proper prefix first.
int compare_keys(std::span<const Value> a, std::span<const Value> b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto c = Value::key_cmp(a[i], b[i]);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

void RowIdList::push_back(uint64_t id) {
    if (!many_.empty()) {
        many_.push_back(id);
    } else if (!has_one_) {
        one_ = id;
        has_one_ = true;
    } else {
        many_.reserve(4);
        many_.push_back(one_);
        many_.push_back(id);
        has_one_ = false;
    }
}

IndexKeyMap::IndexKeyMap(const IndexKeyMap& other) : size_(other.size_) {
    leaves_.reserve(other.leaves_.size());
    for (const auto& leaf : other.leaves_) leaves_.push_back(std::make_unique<Leaf>(*leaf));
}

IndexKeyMap& IndexKeyMap::operator=(const IndexKeyMap& other) {
    if (this != &other) {
        IndexKeyMap copy(other);
        *this = std::move(copy);
    }
    return *this;
}

bool operator==(const IndexKeyMap& a, const IndexKeyMap& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        const auto [ka, ia] = *i;
        const auto [kb, ib] = *j;
        if (!std::ranges::equal(ka, kb) || !(ia == ib)) return false;
    }
    return true;
}

size_t IndexKeyMap::Leaf::lower(Key key, bool& equal) const {
    size_t lo = 0, hi = size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (compare_keys(this->key(mid), key) < 0) lo = mid + 1;
        else hi = mid;
    }
    equal = lo < size() && compare_keys(this->key(lo), key) == 0;
    return lo;
}

void IndexKeyMap::Leaf::insert(size_t at, Key key) {
    const size_t from = start(at);
    values.insert(values.begin() + static_cast<ptrdiff_t>(from), key.begin(), key.end());
    const auto width = static_cast<uint32_t>(key.size());
    ends.insert(ends.begin() + static_cast<ptrdiff_t>(at), static_cast<uint32_t>(from) + width);
    for (size_t i = at + 1; i < ends.size(); ++i) ends[i] += width;
    ids.emplace(ids.begin() + static_cast<ptrdiff_t>(at));
}

void IndexKeyMap::Leaf::remove(size_t at) {
    const size_t from = start(at);
    const uint32_t width = ends[at] - static_cast<uint32_t>(from);
    values.erase(values.begin() + static_cast<ptrdiff_t>(from), values.begin() + static_cast<ptrdiff_t>(ends[at]));
    ends.erase(ends.begin() + static_cast<ptrdiff_t>(at));
    for (size_t i = at; i < ends.size(); ++i) ends[i] -= width;
    ids.erase(ids.begin() + static_cast<ptrdiff_t>(at));
}

size_t IndexKeyMap::Leaf::drop_empty() {
    size_t out = 0, value_out = 0;
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) {
        const size_t from = start(i), to = ends[i];
        if (ids[i].empty()) continue;
        if (out != i) {
            for (size_t v = from; v < to; ++v) values[value_out + v - from] = std::move(values[v]);
            ids[out] = std::move(ids[i]);
        }
        value_out += to - from;
        ends[out] = static_cast<uint32_t>(value_out);
        ++out;
    }
    values.resize(value_out);
    ends.resize(out);
    ids.resize(out);
    return n - out;
}

size_t IndexKeyMap::leaf_for(Key key, size_t from) const {
    size_t lo = from, hi = leaves_.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        const Leaf& leaf = *leaves_[mid];
        if (compare_keys(leaf.key(leaf.size() - 1), key) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo == leaves_.size() && lo > 0 ? lo - 1 : lo;
}

IndexKeyMap::const_iterator IndexKeyMap::lower_bound(Key key) const {
    if (leaves_.empty()) return end();
    const size_t at = leaf_for(key);
    bool equal = false;
    const size_t pos = leaves_[at]->lower(key, equal);
    if (pos == leaves_[at]->size()) return const_iterator(this, at + 1, 0);  // past the last key
    return const_iterator(this, at, pos);
}

IndexKeyMap::const_iterator IndexKeyMap::upper_bound(Key key) const {
    const_iterator it = lower_bound(key);
    if (it != end() && compare_keys((*it).first, key) == 0) ++it;
    return it;
}

IndexKeyMap::const_iterator IndexKeyMap::find(Key key) const {
    if (leaves_.empty()) return end();
    const size_t at = leaf_for(key);
    bool equal = false;
    const size_t pos = leaves_[at]->lower(key, equal);
    return equal ? const_iterator(this, at, pos) : end();
}

const RowIdList* IndexKeyMap::find_ids(Key key) const {
    if (leaves_.empty()) return nullptr;
    const Leaf& leaf = *leaves_[leaf_for(key)];
    bool equal = false;
    const size_t pos = leaf.lower(key, equal);
    return equal ? &leaf.ids[pos] : nullptr;
}

RowIdList& IndexKeyMap::entry(Key key) {
    if (leaves_.empty()) {
        leaves_.push_back(std::make_unique<Leaf>());
        leaves_.back()->insert(0, key);
        ++size_;
        return leaves_.back()->ids.back();
    }
    size_t at = leaf_for(key);
    bool equal = false;
    size_t pos = leaves_[at]->lower(key, equal);
    if (equal) return leaves_[at]->ids[pos];
    leaves_[at]->insert(pos, key);
    ++size_;
    if (leaves_[at]->size() > kLeafMax) {
        split(at);
        if (pos >= leaves_[at]->size()) {
            pos -= leaves_[at]->size();
            ++at;
        }
    }
    return leaves_[at]->ids[pos];
}

void IndexKeyMap::split(size_t at) {
    Leaf& left = *leaves_[at];
    const size_t keep = left.size() / 2;
    const size_t cut = left.start(keep);
    auto right = std::make_unique<Leaf>();
    right->values.assign(std::make_move_iterator(left.values.begin() + static_cast<ptrdiff_t>(cut)),
                         std::make_move_iterator(left.values.end()));
    for (size_t i = keep; i < left.size(); ++i) right->ends.push_back(left.ends[i] - static_cast<uint32_t>(cut));
    right->ids.assign(std::make_move_iterator(left.ids.begin() + static_cast<ptrdiff_t>(keep)),
                      std::make_move_iterator(left.ids.end()));
    left.values.resize(cut);
    left.ends.resize(keep);
    left.ids.resize(keep);
    leaves_.insert(leaves_.begin() + static_cast<ptrdiff_t>(at) + 1, std::move(right));
}

void IndexKeyMap::erase(Key key) {
    if (leaves_.empty()) return;
    const size_t at = leaf_for(key);
    bool equal = false;
    const size_t pos = leaves_[at]->lower(key, equal);
    if (!equal) return;
    leaves_[at]->remove(pos);
    --size_;
    if (leaves_[at]->ids.empty()) leaves_.erase(leaves_.begin() + static_cast<ptrdiff_t>(at));
}

size_t IndexKeyMap::remove_sorted(std::span<const Key> keys, std::span<const uint64_t> ids) {
    if (keys.size() != ids.size()) invariant_failed("index keys that do not pair with their row ids");
    size_t removed = 0;
    std::vector<size_t> emptied;  // leaves left with an empty list, ascending
    std::vector<uint64_t> gone;   // the ids of one key, sorted
    size_t at = 0;
    for (size_t i = 0; i < keys.size() && !leaves_.empty();) {
        size_t end = i + 1;
        while (end < keys.size() && compare_keys(keys[end], keys[i]) == 0) ++end;
        at = leaf_for(keys[i], at);
        Leaf& leaf = *leaves_[at];
        bool equal = false;
        const size_t pos = leaf.lower(keys[i], equal);
        if (equal) {
            RowIdList& list = leaf.ids[pos];
            if (end - i == 1) {
                removed += list.erase_if([&](uint64_t id) { return id == ids[i]; });
            } else {
                gone.assign(ids.begin() + static_cast<ptrdiff_t>(i), ids.begin() + static_cast<ptrdiff_t>(end));
                std::sort(gone.begin(), gone.end());
                removed += list.erase_if([&](uint64_t id) { return std::binary_search(gone.begin(), gone.end(), id); });
            }
            // The key stays in its leaf until the pass ends, so later keys
            // find their leaves as before.
            if (list.empty() && (emptied.empty() || emptied.back() != at)) emptied.push_back(at);
        }
        i = end;
    }
    for (size_t e : emptied) size_ -= leaves_[e]->drop_empty();
    if (!emptied.empty()) std::erase_if(leaves_, [](const auto& leaf) { return leaf->ids.empty(); });
    return removed;
}

RowIdList& IndexKeyMap::append_greatest(std::span<const Value> row, std::span<const size_t> positions) {
    // Built leaves are left a quarter empty, so that inserts between the
    // loaded keys do not split at once.
    constexpr size_t kBuildFill = kLeafMax * 3 / 4;
    if (leaves_.empty() || leaves_.back()->size() >= kBuildFill) {
        auto leaf = std::make_unique<Leaf>();
        leaf->values.reserve(kBuildFill * positions.size());
        leaf->ends.reserve(kBuildFill);
        leaf->ids.reserve(kBuildFill);
        leaves_.push_back(std::move(leaf));
    }
    Leaf& leaf = *leaves_.back();
    for (size_t p : positions) leaf.values.push_back(row[p]);
    leaf.ends.push_back(static_cast<uint32_t>(leaf.values.size()));
    ++size_;
    return leaf.ids.emplace_back();
}

MemIndex::MemIndex(std::string name_, std::string table_, std::vector<std::string> columns_,
                   std::vector<size_t> positions_, bool unique_)
    : name(std::move(name_)),
      table(std::move(table_)),
      columns(std::move(columns_)),
      positions(std::move(positions_)),
      unique(unique_) {}

std::optional<IndexKey> MemIndex::key_for_row(std::span<const Value> row, std::span<const size_t> positions) {
    for (size_t p : positions)
        if (p >= row.size() || row[p].is_null()) return std::nullopt;
    IndexKey key;
    key.reserve(positions.size());
    for (size_t p : positions) key.push_back(row[p]);
    return key;
}

void MemIndex::add_row_id(const IndexKey& key, uint64_t rowid) {
    const size_t keys_before = map_.size();
    RowIdList& ids = map_.entry(key);
    // A new key moves its neighbours in the leaf, which the hash view points to.
    if (map_.size() != keys_before) hash_view_.reset();
    if (rowid > max_id_ || !ids.contains(rowid)) {
        ids.push_back(rowid);
        ++id_count_;
    }
    max_id_ = std::max(max_id_, rowid);
}

void MemIndex::remove_row_id(const IndexKey& key, uint64_t rowid) {
    RowIdList* ids = map_.find_ids(key);
    if (ids == nullptr) return;
    id_count_ -= ids->erase_if([&](uint64_t id) { return id == rowid; });
    if (ids->empty()) {
        hash_view_.reset();
        map_.erase(key);
    }
}

void MemIndex::add_row_ids(const IndexKey& key, std::span<const uint64_t> rowids) {
    if (rowids.size() < 8) {
        for (uint64_t id : rowids) add_row_id(key, id);
        return;
    }
    const size_t keys_before = map_.size();
    RowIdList& ids = map_.entry(key);
    if (map_.size() != keys_before) hash_view_.reset();
    std::unordered_set<uint64_t> held(ids.begin(), ids.end());
    held.reserve(ids.size() + rowids.size());
    for (uint64_t id : rowids) {
        if (!held.insert(id).second) continue;
        ids.push_back(id);
        ++id_count_;
        max_id_ = std::max(max_id_, id);
    }
}

void MemIndex::remove_row_ids(const IndexKey& key, std::span<const uint64_t> rowids) {
    if (rowids.size() < 8) {
        for (uint64_t id : rowids) remove_row_id(key, id);
        return;
    }
    RowIdList* ids = map_.find_ids(key);
    if (ids == nullptr) return;
    std::vector<uint64_t> gone(rowids.begin(), rowids.end());
    std::sort(gone.begin(), gone.end());
    id_count_ -= ids->erase_if([&](uint64_t id) { return std::binary_search(gone.begin(), gone.end(), id); });
    if (ids->empty()) {
        hash_view_.reset();
        map_.erase(key);
    }
}

size_t MemIndex::remove_sorted(std::span<const IndexKeyView> keys, std::span<const uint64_t> rowids) {
    const size_t keys_before = map_.size();
    const size_t removed = map_.remove_sorted(keys, rowids);
    id_count_ -= removed;
    if (map_.size() != keys_before) hash_view_.reset();
    return removed;
}

void MemIndex::set_entered(size_t rows, uint64_t last_id, bool may_hold_stale) {
    entered_rows_ = rows;
    last_entered_id_ = last_id;
    may_hold_stale_ids_ = may_hold_stale;
}

void MemIndex::replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id) {
    size_t count = 0;
    uint64_t max_id = 0;
    for (const auto& [key, ids] : map) {
        for (uint64_t id : ids) max_id = std::max(max_id, id);
        count += ids.size();
    }
    replace_map(std::move(map), entered_rows, last_id, count, max_id);
}

void MemIndex::replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id, size_t ids, uint64_t max_id) {
    hash_view_.reset();
    map_ = std::move(map);
    max_id_ = max_id;
    id_count_ = ids;
    set_entered(entered_rows, last_id, false);
}

const KeyHashView& MemIndex::build_hash_view() const {
    if (positions.size() != 1) invariant_failed("a hash view of a composite index");
    if (const KeyHashView* view = hash_view_.get()) return *view;
    return hash_view_.publish(std::make_unique<const KeyHashView>(map_));
}

const RowIdList* MemIndex::find_one(const Value& key) const {
    if (positions.size() == 1) {
        if (const KeyHashView* view = hash_view()) return view->find(key);
        if (hash_view_.lookups.fetch_add(1, std::memory_order_relaxed) + 1 >= 16 + map_.size() / 64) return build_hash_view().find(key);
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
        while (slots_[at].key != nullptr) at = (at + 1) & mask_;
        slots_[at] = Slot{code, &entry.first.front(), &entry.second};
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
    for (size_t at = mixed(code) & mask_; slots_[at].key != nullptr; at = (at + 1) & mask_) {
        const Slot& slot = slots_[at];
        if (slot.code != code) continue;
        // Numeric codes are the keys themselves; hashes are confirmed.
        if (numeric_kind_ || Value::key_cmp(*slot.key, key) == 0) return slot.ids;
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

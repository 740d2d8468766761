// Keeping the in-memory indexes in step with the in-memory tables.
//
// Cost of an INSERT: index_insert_row must, before entering new rows, drop
// from every unique index the row ids that are not ids of the table's older
// rows (ids left behind by earlier changes). Walking every key for that on
// each INSERT would make a loop of one-row INSERTs quadratic, so each
// MemIndex remembers how many leading rows it covers and whether it may hold
// anything else; the walk only runs when that record cannot rule stale ids
// out, and then leaves exactly what the walk always would.
#include <malloc.h>

#include <algorithm>
#include <string>
#include <set>
#include <unordered_set>
#include <vector>

#include "engine/loaded_tables.h"

#include "btree/key_order.h"
#include "catalog/catalog_entry.h"
#include "pagestore/index_keys.h"
#include "types/huge_pages.h"

namespace zembrel {
namespace {

// Forgetting a table this large (rows, or bytes of texts) trims the heap.
constexpr size_t kTrimRows = 100'000;
constexpr size_t kTrimBytes = 16 << 20;

// Scratch kept between one index's sort and the next is handed back before
// an index's map is filled only from this size on.
constexpr size_t kScratchKeptBelow = 32 << 20;

bool large_enough_to_trim(const Table& table) {
    return table.rows.size() >= kTrimRows || table.text_arena.bytes_held() >= kTrimBytes;
}

// Row ids changed under the table's indexes: they may now name the wrong rows.
void renumber_and_flag(MemIndexMap& indexes, Table& table) {
    if (!renumber_if_mismatched(table)) return;
    for (const std::string& name : indexes.names_of_table(table.name))
        if (MemIndex* index = indexes.get(name)) index->mark_may_hold_stale_ids();
}

// Index entries (key, row id) to add or remove, applied key by key: a key
// many rows share takes all its ids in one pass, each key's ids in the
// order given (the order a list keeps).
using KeyedIds = std::vector<std::pair<IndexKey, uint64_t>>;
template <class Apply>
void for_each_key_run(KeyedIds& entries, Apply&& apply) {
    // Rows taken in table order often come in key order already.
    const auto by_key = [](const auto& a, const auto& b) { return KeyLess{}(a.first, b.first); };
    if (!std::is_sorted(entries.begin(), entries.end(), by_key)) std::stable_sort(entries.begin(), entries.end(), by_key);
    std::vector<uint64_t> ids;
    for (size_t i = 0; i < entries.size();) {
        size_t end = i;
        ids.clear();
        while (end < entries.size() && !KeyLess{}(entries[i].first, entries[end].first)) ids.push_back(entries[end++].second);
        apply(entries[i].first, std::span<const uint64_t>(ids));
        i = end;
    }
}

// The index entries of some rows of a table, sorted by key, each key's
// values lent from its row (valid while the rows stay as they are), so that
// no key costs an allocation of its own. A row with a Null (or no value) at
// a position has no entry.
struct SortedEntries {
    std::vector<size_t> rows;
    std::vector<Value> values;  // key after key
    std::vector<IndexKeyView> keys;
    std::vector<uint64_t> ids;  // parallel to keys
};

void sorted_entries_of(const Table& table, std::span<const size_t> positions, std::span<const size_t> columns,
                       SortedEntries& out) {
    const FlatRows& rows = table.rows;
    out.rows.clear();
    for (size_t p : positions) {
        const RowView row = rows[p];
        if (std::ranges::all_of(columns, [&](size_t c) { return c < row.size() && !row[c].is_null(); }))
            out.rows.push_back(p);
    }
    const auto by_key = [&](size_t a, size_t b) {
        const RowView x = rows[a], y = rows[b];
        for (size_t c : columns) {
            const auto order = Value::key_cmp(x[c], y[c]);
            if (order != 0) return order < 0;
        }
        return false;
    };
    // Rows taken in table order often come in key order already.
    if (!std::is_sorted(out.rows.begin(), out.rows.end(), by_key))
        std::stable_sort(out.rows.begin(), out.rows.end(), by_key);
    const size_t width = columns.size();
    out.values.clear();
    out.values.resize(out.rows.size() * width);
    out.keys.clear();
    out.ids.clear();
    for (size_t k = 0; k < out.rows.size(); ++k) {
        const RowView row = rows[out.rows[k]];
        Value* key = out.values.data() + k * width;
        for (size_t i = 0; i < width; ++i) key[i].lend_from(row[columns[i]]);
        out.keys.emplace_back(key, width);
        out.ids.push_back(table.rowids[out.rows[k]]);
    }
}

uint64_t id_before(const Table& table, size_t rows) { return rows == 0 ? 0 : table.rowids[rows - 1]; }

// Whether the index may hold an id outside the table's first `kept` row ids.
bool may_hold_ids_outside(const MemIndex& index, const Table& table, size_t kept) {
    if (index.map().empty()) return false;
    if (index.may_hold_stale_ids()) return true;
    size_t entered = index.entered_rows();
    if (entered > kept || entered > table.rowids.size()) return true;
    return entered > 0 && table.rowids[entered - 1] != index.last_entered_id();
}

// The Pk tree's entries (see MemBTree::from_sorted) of a table whose keys
// all have images (canonical Uuids, the usual case), sorted by image alone:
// false, nothing filled, when a key has none. The images are taken in row
// order, which walks memory in order (rows taken in key order would each
// cost a cache miss).
bool pk_entries_by_image(const Table& table, size_t column, ScratchVector<unsigned __int128>& images,
                         ScratchVector<uint64_t>& ids, const Split& split) {
    const FlatRows& rows = table.rows;
    const size_t n = rows.size(), parts = split.parts(n);
    ScratchVector<ImageRow> keyed;
    keyed.resize(n);
    std::vector<unsigned char> imaged(parts, 1);
    run_parts(split, parts, [&](size_t w) {
        for (size_t i = part_begin(n, parts, w), end = part_begin(n, parts, w + 1); i < end; ++i) {
            prefetch_ahead(rows, i, column);
            const auto image = column < rows[i].size() && rows[i][column].kind() == ValueKind::Uuid
                                   ? MemBTree::uuid_image(rows[i][column])
                                   : std::nullopt;
            if (!image) {
                imaged[w] = 0;
                return;
            }
            keyed[i] = ImageRow{*image, i};
        }
    });
    if (!std::ranges::all_of(imaged, [](unsigned char ok) { return ok != 0; })) return false;
    sort_image_rows(keyed, split);
    // Every entry first, in parts; then, if keys repeat, each key's last id
    // in the place of its first.
    images.resize(n);
    ids.resize(n);
    std::vector<size_t> repeats(parts, 0);
    run_parts(split, parts, [&](size_t w) {
        constexpr size_t kAhead = 16;
        size_t repeated = 0;  // counted apart: the parts' slots share a cache line
        for (size_t k = part_begin(n, parts, w), end = part_begin(n, parts, w + 1); k < end; ++k) {
            if (k + kAhead < n) __builtin_prefetch(&table.rowids[keyed[k + kAhead].row]);
            images[k] = keyed[k].prefix;
            ids[k] = table.rowids[keyed[k].row];
            repeated += k > 0 && keyed[k].prefix == keyed[k - 1].prefix;
        }
        repeats[w] = repeated;
    });
    if (std::ranges::any_of(repeats, [](size_t r) { return r != 0; })) {
        size_t kept = 0;
        for (size_t k = 0; k < n; ++k) {
            if (k > 0 && images[k] == images[kept - 1]) {
                ids[kept - 1] = ids[k];
                continue;
            }
            images[kept] = images[k];
            ids[kept++] = ids[k];
        }
        images.resize(kept);
        ids.resize(kept);
    }
    return true;
}

// The same for keys of any kind: images where they have one, the values of
// the others in `others`, ordered by value.
void pk_entries_by_value(const Table& table, size_t column, ScratchVector<unsigned __int128>& images,
                         ScratchVector<uint64_t>& ids, std::vector<std::pair<size_t, Value>>& others,
                         const Split& split) {
    const FlatRows& rows = table.rows;
    std::vector<unsigned __int128> by_row(rows.size());
    std::vector<unsigned char> has_image(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        prefetch_ahead(rows, i, column);
        if (column >= rows[i].size() || rows[i][column].kind() != ValueKind::Uuid) continue;
        if (const auto image = MemBTree::uuid_image(rows[i][column])) by_row[i] = *image, has_image[i] = 1;
    }
    const ScratchVector<KeyedRow> order = rows_in_key_order(rows, std::span<const size_t>(&column, 1), false, nullptr, split);
    images.reserve(order.size());
    ids.reserve(order.size());
    for (const auto& [i, same] : order) {
        if (same) {
            ids.back() = table.rowids[i];
            continue;
        }
        if (!has_image[i]) others.emplace_back(ids.size(), column < rows[i].size() ? rows[i][column] : Value());
        images.push_back(by_row[i]);
        ids.push_back(table.rowids[i]);
    }
}

}  // namespace

const TableVersion* LoadedTables::lent(std::string_view name) const {
    for (const auto& version : borrowed)
        if (version->table.name == name) return version.get();
    return nullptr;
}

Table* LoadedTables::find_owned(std::string_view name) {
    auto it = database.tables.find(std::string(name));
    return it == database.tables.end() ? nullptr : &it->second;
}

const Table* LoadedTables::find(std::string_view name) const {
    auto it = database.tables.find(std::string(name));
    if (it != database.tables.end()) return &it->second;
    const TableVersion* version = lent(name);
    return version != nullptr ? &version->table : nullptr;
}

const PkIndex* LoadedTables::pk_index(std::string_view table) const {
    if (auto it = pk_indexes.find(std::string(table)); it != pk_indexes.end()) return &it->second;
    const TableVersion* version = lent(table);
    return version != nullptr && version->pk ? &*version->pk : nullptr;
}

const MemIndex* LoadedTables::index(std::string_view name) const {
    if (const MemIndex* own = mem_indexes.get(name)) return own;
    for (const auto& version : borrowed)
        if (const MemIndex* lent_index = version->indexes.get(name)) return lent_index;
    return nullptr;
}

std::vector<std::string> LoadedTables::index_names_of(std::string_view table) const {
    if (const TableVersion* version = lent(table)) return version->indexes.names_of_table(table);
    return mem_indexes.names_of_table(table);
}

void LoadedTables::borrow(std::shared_ptr<const TableVersion> version) {
    forget_table(version->table.name);
    borrowed.push_back(std::move(version));
}

std::optional<TableVersion> LoadedTables::release_table(std::string_view name) {
    const std::string key(name);
    auto it = database.tables.find(key);
    if (it == database.tables.end()) return std::nullopt;
    TableVersion version{std::move(it->second), std::nullopt, MemIndexMap()};
    if (auto pk = pk_indexes.find(key); pk != pk_indexes.end()) version.pk = std::move(pk->second);
    for (const std::string& index_name : mem_indexes.names_of_table(name)) {
        if (auto index = mem_indexes.remove(index_name)) version.indexes.insert(std::move(*index));
    }
    forget_table(key);
    return version;
}

void LoadedTables::forget_table(const std::string& name) {
    std::erase_if(borrowed, [&](const auto& version) { return version->table.name == name; });
    auto table = database.tables.find(name);
    // A large table leaves many freed blocks behind; hand them back to the
    // system rather than keep the peak for the rest of the process.
    const bool large = table != database.tables.end() && large_enough_to_trim(table->second);
    if (table != database.tables.end()) database.tables.erase(table);
    pk_indexes.erase(name);
    mem_indexes.remove_table(name);
    merge_policies.erase(name);
    row_cache.erase(name);
    if (large) malloc_trim(0);
}

bool LoadedTables::worth_trimming() const {
    size_t rows = 0, bytes = 0;
    for (const auto& [name, table] : database.tables) {
        rows += table.rows.size();
        bytes += table.text_arena.bytes_held();
    }
    return rows >= kTrimRows || bytes >= kTrimBytes;
}

void LoadedTables::clear() {
    borrowed.clear();
    database.tables.clear();
    pk_indexes.clear();
    mem_indexes = MemIndexMap();
    merge_policies.clear();
    row_cache.clear();
}

void LoadedTables::rebuild_indexes(std::string_view table, const Split& split) {
    if (split.workers <= 1 || split.crew != nullptr) {
        // The sorts of the trees one after the other take buffers of about
        // the same sizes: the pages of one serve the next. They are kept
        // while the primary-key tree is built only when an index's sort
        // follows, which would take as much fresh memory there.
        std::optional<ScratchReuse> reuse;
        if (!mem_indexes.names_of_table(table).empty()) reuse.emplace();
        rebuild_pk_index(table, split);
        rebuild_secondary_indexes(table, split);
        return;
    }
    // One crew for every sorting pass of every tree.
    Crew crew(split.workers);
    Split shared = split;
    shared.crew = &crew;
    rebuild_indexes(table, shared);
}

void LoadedTables::refit_indexes(std::string_view table_name) {
    const Table* table = find_owned(table_name);
    if (!table) return;
    for (const std::string& name : mem_indexes.names_of_table(table_name)) {
        MemIndex* index = mem_indexes.get(name);
        std::vector<size_t> positions;
        bool complete = true;
        for (const std::string& column : index->columns) {
            auto at = table->column_index(column);
            if (!at) {
                complete = false;
                break;
            }
            positions.push_back(*at);
        }
        if (!complete) {
            mem_indexes.remove(name);
            continue;
        }
        index->positions = std::move(positions);
    }
    rebuild_indexes(table_name);
}

void LoadedTables::rebuild_pk_index(std::string_view table_name, const Split& split) {
    Table* table = find_owned(table_name);
    if (!table) {
        pk_indexes.erase(std::string(table_name));
        return;
    }
    renumber_and_flag(mem_indexes, *table);
    const std::optional<size_t> pk_column = first_pk_column(table->columns);
    if (!pk_column) {
        pk_indexes.erase(std::string(table_name));
        return;
    }
    // From a sorted run: each key once, under the id of its last row.
    const size_t column = *pk_column;
    ScratchVector<unsigned __int128> images;
    ScratchVector<uint64_t> ids;
    std::vector<std::pair<size_t, Value>> others;
    if (!pk_entries_by_image(*table, column, images, ids, split))
        pk_entries_by_value(*table, column, images, ids, others, split);
    PkIndex entry;
    entry.pk_column = column;
    entry.tree = MemBTree::from_sorted(std::move(images), std::move(ids), std::move(others));
    pk_indexes.insert_or_assign(std::string(table_name), std::move(entry));
}

void LoadedTables::pk_index_insert(std::string_view table_name, size_t first) {
    auto entry = pk_indexes.find(std::string(table_name));
    Table* table = find_owned(table_name);
    if (entry == pk_indexes.end() || !table) return;
    renumber_and_flag(mem_indexes, *table);
    const size_t column = entry->second.pk_column;
    for (size_t i = first; i < table->rows.size(); ++i) {
        const RowView row = table->rows[i];
        if (column < row.size()) entry->second.tree.insert(row[column], table->rowids[i]);
    }
}

void LoadedTables::rebuild_index(std::string_view index_name, const Split& split) {
    const MemIndex* found = mem_indexes.get(index_name);
    if (!found) return;
    const std::string table_name = found->table;
    const std::vector<size_t> positions = found->positions;
    Table* table = find_owned(table_name);
    if (!table) return;
    renumber_and_flag(mem_indexes, *table);

    // From a sorted run: each distinct key is built once and goes in at the
    // end, its list made as long as the key's run.
    IndexKeyMap map;
    const FlatRows& rows = table->rows;
    const ScratchVector<KeyedRow> order = rows_in_key_order(rows, positions, true, nullptr, split);
    // The map's leaves and texts are memory of their own: kept scratch of a
    // large table's sorts must not add to that at the load's peak. A few
    // MiB are kept for the next index's sort, which would fault them in anew.
    ScratchReuse::release_current(kScratchKeptBelow);
    const auto keys = std::count_if(order.begin(), order.end(), [](const KeyedRow& r) { return !r.same_key_as_previous; });
    map.plan_build(static_cast<size_t>(keys), positions.size());
    uint64_t max_id = 0;
    RowIdList* last = nullptr;
    for (size_t k = 0; k < order.size(); ++k) {
        const auto [i, same] = order[k];
        if (!same) {
            last = &map.append_greatest(rows[i], positions);
            size_t run = 1;
            while (k + run < order.size() && order[k + run].same_key_as_previous) ++run;
            last->reserve(run);
        }
        const uint64_t id = table->rowids[i];
        last->push_back(id);
        max_id = std::max(max_id, id);
    }
    if (MemIndex* index = mem_indexes.get(index_name)) {
        const size_t n = table->rows.size();
        index->replace_map(std::move(map), n, id_before(*table, n), order.size(), max_id);
    }
}

void LoadedTables::rebuild_secondary_indexes(std::string_view table_name, const Split& split) {
    for (const std::string& name : mem_indexes.names_of_table(table_name)) rebuild_index(name, split);
}

Status LoadedTables::index_insert_row(std::string_view table_name, size_t first) {
    const std::vector<MemIndexInfo> infos = mem_indexes.indexes_of_table(table_name);
    Table* table = find_owned(table_name);
    if (!table) return {};

    // The ids of the rows before the new ones; unique indexes keep only these.
    const size_t kept = std::min(first, table->rowids.size());
    std::unordered_set<uint64_t> kept_ids;
    bool kept_ids_built = false;
    // Per collected index: whether it may still hold ids outside the kept ones.
    std::vector<bool> stale(infos.size(), false);
    for (size_t j = 0; j < infos.size(); ++j) {
        MemIndex* index = mem_indexes.get(infos[j].name);
        if (!index) continue;
        bool outside = may_hold_ids_outside(*index, *table, kept);
        if (outside && infos[j].unique) {
            if (!kept_ids_built) {
                kept_ids.reserve(kept);
                kept_ids.insert(table->rowids.begin(), table->rowids.begin() + static_cast<ptrdiff_t>(kept));
                kept_ids_built = true;
            }
            index->retain_row_ids([&](uint64_t id) { return kept_ids.contains(id); });
            outside = false;
        }
        stale[j] = outside;
        index->set_entered(kept, id_before(*table, kept), outside);
    }

    renumber_and_flag(mem_indexes, *table);
    const size_t n = table->rows.size();
    if (first >= n) return {};

    // Every key is computed before any is entered.
    const size_t new_rows = n - first;
    std::vector<uint64_t> ids(table->rowids.begin() + static_cast<ptrdiff_t>(first), table->rowids.end());
    std::vector<std::optional<IndexKey>> keys;
    keys.reserve(new_rows * infos.size());
    for (size_t i = first; i < n; ++i)
        for (const MemIndexInfo& info : infos) keys.push_back(MemIndex::key_for_row(table->rows[i], info.positions));

    // Whatever happens below, the indexes then cover (at most) all n rows.
    auto record_coverage = [&] {
        for (size_t j = 0; j < infos.size(); ++j) {
            MemIndex* index = mem_indexes.get(infos[j].name);
            if (!index) continue;
            index->set_entered(n, id_before(*table, n), index->may_hold_stale_ids() || stale[j]);
        }
    };

    // Nothing below adds or removes indexes, so the lookups by name hold.
    std::vector<MemIndex*> targets;
    targets.reserve(infos.size());
    for (const MemIndexInfo& info : infos) targets.push_back(mem_indexes.get(info.name));

    for (size_t r = 0; r < new_rows; ++r) {
        const uint64_t rowid = ids[r];
        for (size_t j = 0; j < infos.size(); ++j) {
            const std::optional<IndexKey>& key = keys[r * infos.size() + j];
            MemIndex* index = targets[j];
            if (!key || !index) continue;
            if (infos[j].unique) {
                const RowIdList* holders = index->find(*key);
                if (holders && std::any_of(holders->begin(), holders->end(), [&](uint64_t id) { return id != rowid; })) {
                    record_coverage();
                    return execution_error("unique constraint violated: duplicate key " + debug_values(*key));
                }
            }
            index->add_row_id(*key, rowid);
        }
    }
    record_coverage();
    return {};
}

Status LoadedTables::check_index_key_lengths(std::string_view table, RowsView rows) const {
    std::vector<const MemIndex*> indexes;
    for (const auto& [name, index] : mem_indexes)
        if (index.table == table) indexes.push_back(&index);
    if (indexes.empty()) return {};
    for (const RowView row : rows) {
        for (const MemIndex* index : indexes) {
            if (auto st = check_row_index_key(row, index->positions); !st) return st;
        }
    }
    return {};
}

void LoadedTables::remove_rows_from_indexes(std::string_view table_name, uint64_t rowid, RowView row) {
    for (auto& [name, index] : mem_indexes) {
        if (index.table != table_name) continue;
        if (auto key = index.key_for_row(row)) index.remove_row_id(*key, rowid);
    }
}

void LoadedTables::truncate_table_rows(std::string_view table_name, size_t count) {
    Table* table = find_owned(table_name);
    if (count == 0 || !table || table->rows.size() < count) return;
    const size_t n = table->rows.size();
    const size_t keep = n - count;
    // With parallel lists every cut row pairs with its own id; otherwise the
    // pairing below may miss ids, which then stay behind in the indexes.
    const bool parallel = table->rowids.size() == n;

    std::vector<Row> cut_rows;
    table->rows.truncate(keep, &cut_rows);
    const size_t id_cut = std::min(keep, table->rowids.size());
    std::vector<uint64_t> cut_ids(table->rowids.begin() + static_cast<ptrdiff_t>(id_cut), table->rowids.end());
    table->rowids.resize(id_cut);

    const size_t pairs = std::min(cut_ids.size(), cut_rows.size());
    for (size_t i = 0; i < pairs; ++i) remove_rows_from_indexes(table_name, cut_ids[i], cut_rows[i]);

    for (const std::string& name : mem_indexes.names_of_table(table_name)) {
        MemIndex* index = mem_indexes.get(name);
        if (!index) continue;
        if (!parallel) index->mark_may_hold_stale_ids();
        if (index->entered_rows() > keep) {
            const uint64_t last = keep <= table->rowids.size() ? id_before(*table, keep) : 0;
            index->set_entered(keep, last, index->may_hold_stale_ids() || keep > table->rowids.size());
        }
    }
    rebuild_pk_index(table_name);
}

}  // namespace zembrel

namespace zembrel {

std::optional<size_t> LoadedTables::position_of_rowid(std::string_view table_name, uint64_t rowid) const {
    const Table* table = find(table_name);
    return table ? table->position_of_rowid(rowid) : std::nullopt;
}

Status LoadedTables::update_rows(std::string_view table_name, std::span<const size_t> positions,
                                 std::span<const size_t> columns, FlatRows& cells) {
    Table* table = find_owned(table_name);
    if (!table || positions.empty()) return {};
    if (cells.size() != positions.size() || cells.width() != columns.size())
        invariant_failed("updated cells that do not pair with their rows and columns");
    renumber_and_flag(mem_indexes, *table);
    // Only an index over a set column can see a key move.
    std::vector<MemIndex*> indexes;
    for (const std::string& name : mem_indexes.names_of_table(table_name)) {
        MemIndex* index = mem_indexes.get(name);
        if (std::ranges::any_of(index->positions, [&](size_t p) { return std::ranges::find(columns, p) != columns.end(); }))
            indexes.push_back(index);
    }
    // The changed rows as they will read, for those indexes' keys.
    std::vector<Row> after;
    if (!indexes.empty()) {
        after.reserve(positions.size());
        for (size_t c = 0; c < positions.size(); ++c) {
            Row row = table->rows[positions[c]].to_row();
            const RowView given = cells[c];
            for (size_t k = 0; k < columns.size(); ++k) row[columns[k]] = given[k];
            after.push_back(std::move(row));
        }
    }
    // Per index, the changed rows (by their place in `positions`) whose key
    // moves; a row whose indexed values stay keeps its entry.
    std::vector<std::vector<size_t>> moving(indexes.size());
    for (size_t j = 0; j < indexes.size(); ++j) {
        for (size_t c = 0; c < positions.size(); ++c)
            if (!same_values_at(table->rows[positions[c]], after[c], indexes[j]->positions)) moving[j].push_back(c);
    }
    std::unordered_set<uint64_t> changed_ids;

    // Every unique key the changed rows will hold, checked before any change.
    // A unique index no changed row moves in cannot gain a clash.
    for (size_t j = 0; j < indexes.size(); ++j) {
        const MemIndex* index = indexes[j];
        if (!index->unique || moving[j].empty()) continue;
        if (changed_ids.empty()) {
            changed_ids.reserve(positions.size());
            for (size_t p : positions) changed_ids.insert(table->rowids[p]);
        }
        std::set<IndexKey, KeyLess> taken;
        for (size_t c = 0; c < positions.size(); ++c) {
            auto key = index->key_for_row(after[c]);
            if (!key) continue;
            const auto clash = [&] {
                return execution_error("unique constraint violated: duplicate key " + debug_values(*key));
            };
            if (!taken.insert(*key).second) return clash();
            const RowIdList* holders = index->find(*key);
            if (holders == nullptr) continue;
            for (uint64_t holder : *holders) {
                if (changed_ids.contains(holder)) continue;  // moves away or is counted in `taken`
                // An id left behind by an earlier change names no row holding the key.
                auto at = position_of_rowid(table_name, holder);
                if (at && index->key_for_row(table->rows[*at]) == key) return clash();
            }
        }
    }

    // Keys of the other indexes stay as they are, and passed this check when they came.
    for (const Row& row : after) {
        for (const MemIndex* index : indexes) {
            if (auto st = check_row_index_key(row, index->positions); !st) return st;
        }
    }

    const std::optional<size_t> pk_column = first_pk_column(table->columns);
    const auto pk_slot = pk_column ? std::ranges::find(columns, *pk_column) : columns.end();
    bool pk_changed = false;
    // Every old entry goes before any new one comes; a row's two keys differ,
    // so each list ends as row-by-row changes would leave it.
    for (size_t j = 0; j < indexes.size(); ++j) {
        MemIndex* index = indexes[j];
        KeyedIds gone, coming;
        for (size_t c : moving[j]) {
            const uint64_t rowid = table->rowids[positions[c]];
            auto old_key = index->key_for_row(table->rows[positions[c]]);
            auto new_key = index->key_for_row(after[c]);
            if (old_key == new_key) continue;
            if (old_key) gone.emplace_back(std::move(*old_key), rowid);
            if (new_key) coming.emplace_back(std::move(*new_key), rowid);
        }
        for_each_key_run(gone, [&](const IndexKey& key, std::span<const uint64_t> ids) { index->remove_row_ids(key, ids); });
        for_each_key_run(coming, [&](const IndexKey& key, std::span<const uint64_t> ids) { index->add_row_ids(key, ids); });
    }
    // The cells trade places by relocation: a text the table lent from its
    // arena stays lent, wherever it sits.
    for (size_t c = 0; c < positions.size(); ++c) {
        std::span<Value> row = table->rows.cells(positions[c]);
        std::span<Value> given = cells.cells(c);
        if (pk_slot != columns.end() && !(row[*pk_column] == given[pk_slot - columns.begin()])) pk_changed = true;
        for (size_t k = 0; k < columns.size(); ++k) {
            Value held;
            Value::relocate(held, row[columns[k]]);
            Value::relocate(row[columns[k]], given[k]);
            Value::relocate(given[k], held);
        }
    }
    if (pk_changed) rebuild_pk_index(table_name);
    return {};
}

FlatRows LoadedTables::delete_rows(std::string_view table_name, std::span<const size_t> positions) {
    Table* table = find_owned(table_name);
    if (!table || positions.empty()) return {};
    renumber_and_flag(mem_indexes, *table);
    // Whether each index may hold ids of no remaining row: when it may hold
    // ids of no row now (ids changed behind its back included), or when a
    // deleted row's id was not under the row's key (it may then sit under
    // another key, and stay).
    std::vector<std::pair<MemIndex*, bool>> outside;
    SortedEntries entries;
    for (auto& [name, index] : mem_indexes) {
        if (index.table != table_name) continue;
        const bool before = may_hold_ids_outside(index, *table, table->rows.size());
        sorted_entries_of(*table, positions, index.positions, entries);
        const size_t removed = index.remove_sorted(entries.keys, entries.ids);
        outside.emplace_back(&index, before || removed != entries.ids.size());
    }
    // The primary-key tree loses exactly the deleted rows' keys (a key that
    // names another row stays).
    auto pk = pk_indexes.find(std::string(table_name));
    if (pk != pk_indexes.end()) {
        const size_t column = pk->second.pk_column;
        for (size_t p : positions) {
            const RowView row = table->rows[p];
            if (column < row.size()) pk->second.tree.erase(row[column], table->rowids[p]);
        }
    }

    FlatRows removed;
    table->remove_rows(positions, removed);
    const size_t out = table->rows.size();
    for (const auto& [index, stale] : outside) index->set_entered(out, id_before(*table, out), stale);
    return removed;
}

void LoadedTables::restore_deleted_rows(std::string_view table_name, std::span<const size_t> positions,
                                        std::span<const uint64_t> ids, std::vector<Row> rows) {
    Table* table = find_owned(table_name);
    if (!table || rows.empty()) return;
    table->restore_rows(positions, ids, std::move(rows));
    rebuild_indexes(table_name);
}

}  // namespace zembrel

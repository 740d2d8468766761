#include "executor/page_seek.h"

#include <algorithm>
#include <limits>

#include "keycodec/keycodec.h"
#include "operators/basic.h"
#include "pagestore/index_cursor.h"
#include "pagestore/parallel_rows.h"
#include "storage/row_record.h"

namespace zembrel::executor {

namespace {

// Where the walk starts: the first entry of the key's values, or of the
// lower bound's value (past all of its entries when it is excluded).
std::optional<keycodec::Bytes> start_key(const AccessPath& path) {
    keycodec::Bytes start;
    if (path.kind == AccessPath::Kind::Composite) {
        for (const Value& v : path.key) keycodec::encode_value(v, start);
        return start;
    }
    if (path.lower.kind == Bound::Kind::Unbounded) return std::nullopt;
    keycodec::encode_value(path.lower.value, start);
    if (path.lower.kind == Bound::Kind::Excluded)
        keycodec::encode_value(Value::integer(std::numeric_limits<int64_t>::max()), start);
    return start;
}

enum class Step { Take, Skip, Stop };

Step step_for(const AccessPath& path, const IndexEntry& entry) {
    if (path.kind == AccessPath::Kind::Composite) {
        if (entry.values.size() != path.key.size()) return Step::Stop;
        for (size_t i = 0; i < entry.values.size(); ++i)
            if (Value::key_cmp(entry.values[i], path.key[i]) != 0) return Step::Stop;
        return Step::Take;
    }
    if (entry.values.empty()) return Step::Stop;
    const Value& k = entry.values.front();
    if (!below_upper(k, path.upper)) return Step::Stop;
    return above_lower(k, path.lower) ? Step::Take : Step::Skip;
}

// The row under `rowid`, none when it is gone; a row of the wrong width is
// damage. The view lives until the next fetch.
Result<std::optional<RowView>> fetch(RowFetcher& rows, const std::string& table, size_t width, uint64_t rowid) {
    auto found = rows.fetch_view(rowid);
    if (!found) return fail(found.error());
    if (*found) {
        const Value key = Value::integer(static_cast<int64_t>(rowid));
        if (auto st = check_stored_row(key, **found, width, table); !st) return fail(st.error());
    }
    return found;
}

bool holds_entry_values(RowView row, const std::vector<size_t>& positions, std::span<const Value> values) {
    for (size_t i = 0; i < positions.size() && i < values.size(); ++i) {
        if (positions[i] >= row.size() || Value::key_cmp(row[positions[i]], values[i]) != 0) return false;
    }
    return true;
}

// The values of a path that takes the entries of one key (a key, or a range
// whose bounds are one value, both included); none for any other path.
std::optional<std::span<const Value>> one_key(const AccessPath& path) {
    if (path.kind == AccessPath::Kind::Composite) return std::span<const Value>(path.key);
    if (path.lower.kind == Bound::Kind::Included && path.upper.kind == Bound::Kind::Included &&
        Value::key_cmp(path.lower.value, path.upper.value) == 0)
        return std::span<const Value>(&path.lower.value, 1);
    return std::nullopt;
}

}  // namespace

std::shared_ptr<InteriorPages> page_interiors(Engine& engine, const std::string& table) {
    std::shared_ptr<InteriorPages>& pages = engine.tables.row_cache.facts[table].interiors;
    if (!pages) pages = std::make_shared<InteriorPages>();
    return pages;
}

std::shared_ptr<DecodedRows> page_decoded_rows(Engine& engine, const std::string& table) {
    std::shared_ptr<DecodedRows>& rows = engine.tables.row_cache.facts[table].decoded_rows;
    if (!rows) rows = std::make_shared<DecodedRows>();
    return rows;
}

Result<bool> page_seek_rows(PageStore& store, InteriorPages& interiors, DecodedRows& decoded, const std::string& table,
                            const AccessPath& path, SeekOrder order, const std::function<bool(RowView)>& take) {
    const CatalogEntry* entry = store.catalog.get(table);
    if (entry == nullptr) return false;
    const size_t width = entry->columns.size();
    const std::optional<keycodec::Bytes> start = start_key(path);
    auto cursor = IndexCursor::open(store, table, path.index,
                                    start ? std::optional<std::span<const uint8_t>>(*start) : std::nullopt,
                                    &interiors);
    if (!cursor) return fail(cursor.error());
    if (!*cursor) return false;
    const std::vector<size_t> positions = (*cursor)->positions();
    std::optional<RowFetcher> fetcher = RowFetcher::open(store, table, &interiors, &decoded);
    if (!fetcher) return false;
    uint64_t room = path.limit.value_or(std::numeric_limits<uint64_t>::max());

    // The entries of one key mostly hold the very bytes the walk starts
    // from: their values need no decoding.
    const std::optional<std::span<const Value>> key = start ? one_key(path) : std::nullopt;
    std::vector<uint64_t> ids;  // table order: gathered, then fetched
    IndexEntry at;
    while (room > 0) {
        bool same_key = false;  // the entry holds `key`'s very bytes
        if (key) {
            auto next = (*cursor)->next_after_prefix(*start, at);
            if (!next) return fail(next.error());
            if (*next == IndexCursor::Next::End) break;
            same_key = *next == IndexCursor::Next::SameKey;
        } else {
            auto next = (*cursor)->next_into(at);
            if (!next) return fail(next.error());
            if (!*next) break;
        }
        if (!same_key) {
            const Step step = step_for(path, at);
            if (step == Step::Stop) break;
            if (step == Step::Skip) continue;
        }
        const std::span<const Value> values = same_key ? *key : std::span<const Value>(at.values);
        if (order == SeekOrder::Table) {
            ids.push_back(at.rowid);
            continue;
        }
        auto found = fetch(*fetcher, table, width, at.rowid);
        if (!found) return fail(found.error());
        if (*found && holds_entry_values(**found, positions, values) && take(**found)) --room;
    }
    // Each row once, as a scan reads them, even when a stale entry names it
    // beside its live one.
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (uint64_t id : ids) {
        if (room == 0) break;
        auto found = fetch(*fetcher, table, width, id);
        if (!found) return fail(found.error());
        if (*found && take(**found)) --room;
    }
    return true;
}

// Equal under the key order means equal texts (for the text kinds), so
// equal values hash alike; other kinds all share one hash.
uint64_t key_hash(const Value& v) {
    switch (v.kind()) {
        case ValueKind::Text:
        case ValueKind::Uuid:
        case ValueKind::Date:
        case ValueKind::DateTime: return std::hash<std::string_view>{}(std::string_view(v.as_text()));
        default: return 0;
    }
}

Result<std::vector<Row>> page_pk_rows(Engine& engine, const std::string& table, size_t pk_column, const Value& key) {
    auto snapshot = table_rows_snapshot(engine, table);
    if (!snapshot) return fail(snapshot.error());
    const RowsView& rows = **snapshot;
    auto pk_of = [&](size_t at) -> const Value& {
        const RowView row = rows[at];
        if (pk_column >= row.size()) invariant_failed("Pk column outside a stored row");
        return row[pk_column];
    };
    std::vector<Row> out;
    if (rows.size() > std::numeric_limits<uint32_t>::max()) {
        for (size_t at = 0; at < rows.size(); ++at)
            if (Value::key_cmp(pk_of(at), key) == 0) out.push_back(rows[at].to_row());
        return out;
    }
    PageTableFacts& facts = engine.tables.row_cache.facts[table];
    if (!facts.pk_hashes_built) {
        facts.pk_hashes.resize(rows.size());
        for (uint32_t at = 0; at < facts.pk_hashes.size(); ++at) facts.pk_hashes[at] = {key_hash(pk_of(at)), at};
        std::sort(facts.pk_hashes.begin(), facts.pk_hashes.end());
        facts.pk_hashes_built = true;
    }
    // Equal hashes in table order: the rows come as a scan meets them.
    const uint64_t hash = key_hash(key);
    auto it = std::lower_bound(facts.pk_hashes.begin(), facts.pk_hashes.end(), std::pair<uint64_t, uint32_t>(hash, 0));
    for (; it != facts.pk_hashes.end() && it->first == hash; ++it)
        if (Value::key_cmp(pk_of(it->second), key) == 0) out.push_back(rows[it->second].to_row());
    return out;
}

namespace {

// Enters `key` (greater than every key entered) with `slots`, rising and
// each once (entries of one key lie in row-id order unless the key has
// several encodings), unless there are none; empties `slots`.
void enter_key(IndexKeyMap& map, const Value& key, std::vector<uint32_t>& slots) {
    static constexpr size_t kFirst[] = {0};
    if (slots.empty()) return;
    if (!std::is_sorted(slots.begin(), slots.end())) std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    RowIdList& list = map.append_greatest(std::span<const Value>(&key, 1), kFirst);
    for (uint32_t slot : slots) list.push_back(slot);
    slots.clear();
}

// An index entry of the key hash, `slot` its row's place among the rows
// once the row is known to hold the key.
struct HashEntry {
    static constexpr uint32_t kNoSlot = std::numeric_limits<uint32_t>::max();
    Value key;
    uint64_t rowid;
    uint32_t slot = kNoSlot;
};

// The index's entries in key order, each of one value, with room made for
// `expected` (an entry a row, as a table kept in step has them); none when
// the walk meets damage, an entry of several values, more than
// kMaxKeyHashEntries of them, or keys out of the key order (the tree's byte
// order and the key order agree; were they ever not to, the map would be
// out of order, so the seek road serves).
std::optional<std::vector<HashEntry>> index_entries(IndexCursor& cursor, uint64_t expected) {
    std::vector<HashEntry> entries;
    entries.reserve(std::min(expected, kMaxKeyHashEntries));
    IndexEntry at;
    for (;;) {
        auto next = cursor.next_into(at);
        if (!next) return std::nullopt;
        if (!*next) return entries;
        if (entries.size() >= kMaxKeyHashEntries || at.values.size() != 1) return std::nullopt;
        if (!entries.empty() && Value::key_cmp(at.values.front(), entries.back().key) < 0) return std::nullopt;
        entries.push_back(HashEntry{std::move(at.values.front()), at.rowid});
    }
}

// The map and its view over the entries, each in its slot (kNoSlot: none).
std::shared_ptr<PageKeyHash> hash_of(const std::vector<HashEntry>& entries) {
    auto built = std::make_shared<PageKeyHash>();
    std::vector<uint32_t> slots;
    for (size_t i = 0; i < entries.size();) {
        const Value& key = entries[i].key;
        for (; i < entries.size() && Value::key_cmp(entries[i].key, key) == 0; ++i)
            if (entries[i].slot != HashEntry::kNoSlot) slots.push_back(entries[i].slot);
        enter_key(built->map, key, slots);
    }
    built->view.emplace(built->map);
    return built;
}

// The workers that read the table whole for the key hash: none below
// parallel_rows rows (the one-thread pass serves) or when its values would
// not fit the bound of kept rows.
size_t parallel_workers(const CatalogEntry& catalog, size_t parallel_rows) {
    const uint64_t ids_out = catalog.ids_handed_out();
    if (ids_out < parallel_rows || ids_out > kMaxKeyHashEntries) return 0;
    if (ids_out * catalog.columns.size() * sizeof(Value) > DecodedRows::kMaxBytes) return 0;
    return planner::parallel_read_workers(ids_out, parallel_rows);
}

// Sets each entry's slot to its row's place among `rows` (ids ascending)
// when that row holds the entry's key. A table without gaps has the row of
// id r at place r - 1.
void place_entries(std::vector<HashEntry>& entries, const Table& rows, size_t position) {
    const std::vector<uint64_t>& ids = rows.rowids;
    for (HashEntry& entry : entries) {
        entry.slot = HashEntry::kNoSlot;
        uint64_t at = entry.rowid - 1;
        if (at >= ids.size() || ids[at] != entry.rowid) {
            auto it = std::lower_bound(ids.begin(), ids.end(), entry.rowid);
            if (it == ids.end() || *it != entry.rowid) continue;
            at = static_cast<uint64_t>(it - ids.begin());
        }
        if (Value::key_cmp(rows.rows[at][position], entry.key) == 0) entry.slot = static_cast<uint32_t>(at);
    }
}

// The key hash over a table the workers read whole, ids ascending. It is
// built on the calling thread once the rows are in: it outlives the call,
// and memory made by a worker would stay with that worker's heap.
std::shared_ptr<const PageKeyHash> key_hash_over_rows(PageStore& store, const CatalogEntry& catalog,
                                                      std::vector<HashEntry>& entries, size_t position,
                                                      size_t workers, bool keep_rows) {
    using Out = std::shared_ptr<const PageKeyHash>;
    std::shared_ptr<Table> rows = planner::rows_read_in_parallel(store, catalog, workers);
    if (!rows) return Out();
    place_entries(entries, *rows, position);
    std::shared_ptr<PageKeyHash> built = hash_of(entries);
    if (keep_rows) {
        built->arena = std::move(rows->text_arena);
        built->rows.emplace(std::move(rows->rows));
    }
    built->rowids = std::move(rows->rowids);
    return Out(std::move(built));
}

// The index's entries whose rows are live and hold the entry's key, read
// into a PageKeyHash; null when they do not fit one or the trees are
// damaged (see page_key_hash).
std::shared_ptr<const PageKeyHash> read_key_hash(PageStore& store, InteriorPages& interiors, bool keep_rows,
                                                 size_t parallel_rows, const std::string& table,
                                                 const std::string& index) {
    using Out = std::shared_ptr<const PageKeyHash>;
    const CatalogEntry* catalog = store.catalog.get(table);
    if (catalog == nullptr) return Out();
    const size_t width = catalog->columns.size();
    auto cursor = IndexCursor::open(store, table, index, std::nullopt, &interiors);
    if (!cursor || !*cursor || (*cursor)->positions().size() != 1) return Out();
    (*cursor)->read_ahead();
    const size_t position = (*cursor)->positions().front();
    std::optional<std::vector<HashEntry>> walked =
        index_entries(**cursor, catalog->ids_handed_out());
    if (!walked) return Out();
    std::vector<HashEntry>& entries = *walked;
    // A table the worker threads read whole (damage stops them) is checked
    // against in memory; any other is met by the one-thread pass below.
    if (const size_t workers = parallel_workers(*catalog, parallel_rows); workers > 0) {
        if (Out built = key_hash_over_rows(store, *catalog, entries, position, workers, keep_rows)) return built;
    }
    // The entries in row-id order, met by one pass over the table's leaves:
    // an entry whose row the pass does not meet, or meets holding another
    // key, is stale and stays out. Each row an entry names is decoded whole,
    // as a fetch would, so damage the seek road would report (or damage the
    // pass meets) leaves the map unbuilt. A row with a live entry gets the
    // next slot: slots rise with row ids.
    std::vector<uint32_t> by_id(entries.size());
    for (uint32_t i = 0; i < by_id.size(); ++i) by_id[i] = i;
    std::sort(by_id.begin(), by_id.end(), [&](uint32_t a, uint32_t b) { return entries[a].rowid < entries[b].rowid; });
    std::vector<uint64_t> rowids;
    std::optional<FlatRows> kept_rows;
    if (keep_rows) kept_rows.emplace();
    size_t kept_bytes = 0;
    if (!by_id.empty()) {
        auto rows = TableCursor::open(store, table);
        if (!rows) return Out();
        rows->read_ahead();
        Value rowid;
        std::span<const uint8_t> record;
        Row row;
        size_t next_entry = 0;
        while (next_entry < by_id.size()) {
            auto got = rows->next_record(rowid, record);
            if (!got) return Out();
            if (!*got) break;
            if (!rowid.is_int()) return Out();
            const auto id = static_cast<uint64_t>(rowid.as_int());
            while (next_entry < by_id.size() && entries[by_id[next_entry]].rowid < id) ++next_entry;
            if (next_entry == by_id.size() || entries[by_id[next_entry]].rowid != id) continue;
            // A row of the wrong width is left to the seek road to report.
            if (!storage::decode_row_into(record, row) || row.size() != width) return Out();
            const auto slot = static_cast<uint32_t>(rowids.size());
            bool live = false;
            for (; next_entry < by_id.size() && entries[by_id[next_entry]].rowid == id; ++next_entry) {
                HashEntry& entry = entries[by_id[next_entry]];
                if (Value::key_cmp(row[position], entry.key) != 0) continue;
                entry.slot = slot;
                live = true;
            }
            if (!live) continue;
            rowids.push_back(id);
            if (!kept_rows) continue;
            // Past the bound the rows are fetched by id instead, as
            // DecodedRows would hold them.
            kept_bytes += width * sizeof(Value) + record.size();
            if (kept_bytes > DecodedRows::kMaxBytes) kept_rows.reset();
            else kept_rows->push_back(std::move(row));
        }
    }
    std::shared_ptr<PageKeyHash> built = hash_of(entries);
    built->rowids = std::move(rowids);
    built->rows = std::move(kept_rows);
    return Out(std::move(built));
}

}  // namespace

std::shared_ptr<const PageKeyHash> page_key_hash(Engine& engine, const std::string& table, const std::string& index,
                                                 bool keep_rows) {
    PageTableFacts& facts = engine.tables.row_cache.facts[table];
    if (auto known = facts.key_hashes.find(index); known != facts.key_hashes.end()) return known->second;
    PageStore* store = engine.page_store();
    if (store == nullptr) return std::shared_ptr<const PageKeyHash>();
    auto built = read_key_hash(*store, *page_interiors(engine, table), keep_rows, engine.tables.parallel_rows, table,
                               index);
    facts.key_hashes[index] = built;
    return built;
}

}  // namespace zembrel::executor

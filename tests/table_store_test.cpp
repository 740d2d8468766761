// Tables of the page store: lifecycle, row ids and their persisted hint,
// columns and merge policy, and the rule that a rewrite which cannot succeed
// changes no page. Rows through reopens, rewrites and bulk loads are the
// engine model test's.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <random>

#include "pagestore/index_cursor.h"
#include "test_util.h"

namespace zembrel {
namespace {

using testing::col;
using testing::row_of;
using testing::StoreFixture;

std::vector<Column> two_columns() { return {col("id", DataTypeKind::Int), col("name", DataTypeKind::Text)}; }

TEST(TableStore, CreateAndDropTables) {
    StoreFixture f;
    auto& s = f.store;
    ASSERT_TRUE(s.create_table("t", {col("k", DataTypeKind::Pk), col("v", DataTypeKind::Int)}));
    const CatalogEntry& e = f.entry("t");
    EXPECT_EQ(e.rowid_counter, 1u);
    EXPECT_EQ(e.rowid_hint, 1u);
    EXPECT_EQ(e.pk_column, std::optional<size_t>(0));
    auto empty = BPlusTree::is_empty(*s.pager, e.root);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(*empty);
    EXPECT_EQ(f.stored_json("t"),
              R"({"columns":[{"name":"k","data_type":"Pk"},{"name":"v","data_type":"Int"}],"root":)" +
                  std::to_string(e.root) + R"(,"rowid_hint":1,"indexes":[]})");

    // Dropping frees the tree and the record; the name can be used again,
    // and the same content fits in the pages the first table gave back.
    ASSERT_TRUE(s.create_index("t", "by_v", {"v"}, false));
    std::vector<Row> rows;
    for (int i = 0; i < 600; ++i) rows.push_back({Value::uuid("u" + std::to_string(i)), Value::integer(i)});
    ASSERT_TRUE(s.insert_rows("t", rows));
    const uint64_t pages = s.pager->page_count();
    ASSERT_TRUE(s.drop_table("t"));
    EXPECT_FALSE(s.catalog.contains("t"));
    EXPECT_EQ(f.stored_json("t"), "");
    ASSERT_TRUE(s.create_table("t", {col("k", DataTypeKind::Pk), col("v", DataTypeKind::Int)}));
    ASSERT_TRUE(s.create_index("t", "by_v", {"v"}, false));
    ASSERT_TRUE(s.insert_rows("t", rows));
    EXPECT_EQ(s.pager->page_count(), pages);
    f.reopen();
    EXPECT_EQ(f.scan("t").size(), 600u);
}

// Rows fetched by id in random walks (neighbours, jumps of many leaves,
// steps back, ids never stored or gone, whole leaves emptied, overflow
// rows) by fetchers keeping their own interior pages and fetchers sharing
// them, with and without decoded rows kept, against the stored rows; and index cursors moved to random keys,
// mostly rising, against the index's entries (stale ones included).
TEST(TableStore, FetchersAndIndexCursorsMatchTheTreesOverSeveralLevels) {
    StoreFixture f;
    auto& s = f.store;
    ASSERT_TRUE(s.create_table("t", {col("id", DataTypeKind::Int), col("name", DataTypeKind::Text),
                                     col("n", DataTypeKind::Int)}));
    ASSERT_TRUE(s.create_index("t", "t_n", {"n"}, false));
    std::mt19937_64 rng(11);
    const uint64_t count = 9000;
    std::vector<Row> rows;
    for (uint64_t i = 0; i < count; ++i) {
        const size_t len = rng() % 60 == 0 ? 2500 + rng() % 3000 : rng() % 300;
        rows.push_back(Row{Value::integer(static_cast<int64_t>(i)), Value::text(std::string(len, static_cast<char>('a' + i % 26))),
                           Value::integer(static_cast<int64_t>(rng() % 700))});
    }
    const std::vector<uint64_t> ids = f.insert("t", rows);
    ASSERT_EQ(ids.size(), rows.size());
    std::map<uint64_t, const Row*> live;
    std::vector<std::pair<int64_t, uint64_t>> entries;  // (n, row id) of every entry, in key order
    for (size_t i = 0; i < ids.size(); ++i) {
        live[ids[i]] = &rows[i];
        entries.emplace_back(rows[i][2].as_int(), ids[i]);
    }
    std::sort(entries.begin(), entries.end());
    // Rows gone from the table tree, their index entries left behind; runs
    // of 300 empty whole leaves (deletes never rebalance).
    const uint64_t root = f.entry("t").root;
    for (int run = 0; run < 40; ++run) {
        const uint64_t first = 1 + rng() % count, len = run % 8 == 0 ? 300 : 1 + rng() % 4;
        for (uint64_t id = first; id < first + len && id <= count; ++id) {
            auto gone = BPlusTree::delete_key(*s.pager, root, keycodec::table_key(id));
            ASSERT_TRUE(gone) << gone.error().message;
            live.erase(id);
        }
    }
    // The walks below climb through more than one interior level.
    int depth = 1;
    for (uint64_t page = root;; ++depth) {
        auto node = BPlusTree::read_interior(*s.pager, page);
        if (!node) break;
        page = node->cells.front().child;
    }
    ASSERT_GE(depth, 3);

    InteriorPages shared;
    // Decoded rows kept for later fetchers, by two sharing them and by one
    // whose memory holds a few rows only, so it forgets them again and again.
    DecodedRows decoded, few(4096);
    std::optional<RowFetcher> fetchers[5] = {RowFetcher::open(s, "t"), RowFetcher::open(s, "t", &shared),
                                             RowFetcher::open(s, "t", &shared, &decoded),
                                             RowFetcher::open(s, "t", &shared, &decoded),
                                             RowFetcher::open(s, "t", nullptr, &few)};
    uint64_t at = 1;
    for (int step = 0; step < 20000; ++step) {
        switch (rng() % 10) {
            case 0: at = rng() % (count + 40); break;
            case 1: at -= std::min<uint64_t>(at, rng() % 40); break;
            case 2: at += rng() % 500; break;
            case 3: at += rng() % 30; break;
            default: at += rng() % 3; break;
        }
        RowFetcher& fetcher = *fetchers[rng() % 5];
        const auto want = live.find(at);
        auto got = fetcher.fetch_view(at);
        ASSERT_TRUE(got) << got.error().message;
        ASSERT_EQ(got->has_value(), want != live.end()) << "row id " << at;
        if (*got) {
            ASSERT_EQ((*got)->to_row(), *want->second) << "row id " << at;
        }
    }

    EXPECT_GT(decoded.row_count(), 1000u);
    EXPECT_LT(few.row_count(), 20u);

    for (InteriorPages* interiors : {static_cast<InteriorPages*>(nullptr), &shared}) {
        auto opened = IndexCursor::open(s, "t", "t_n", std::nullopt, interiors);
        ASSERT_TRUE(opened && *opened);
        IndexCursor& cursor = **opened;
        int64_t n = 0;
        IndexEntry entry;
        for (int step = 0; step < 4000; ++step) {
            n = rng() % 5 == 0 ? static_cast<int64_t>(rng() % 720) : n + static_cast<int64_t>(rng() % 3);
            keycodec::Bytes start;
            keycodec::encode_value(Value::integer(n), start);
            ASSERT_TRUE(cursor.seek(s, start));
            auto want = std::lower_bound(entries.begin(), entries.end(), std::pair<int64_t, uint64_t>(n, 0));
            for (uint64_t k = rng() % 4; k > 0; --k, ++want) {
                auto got = cursor.next_into(entry);
                ASSERT_TRUE(got) << got.error().message;
                ASSERT_EQ(*got, want != entries.end()) << "key " << n;
                if (!*got) break;
                ASSERT_EQ(entry.values, std::vector<Value>{Value::integer(want->first)}) << "key " << n;
                ASSERT_EQ(entry.rowid, want->second) << "key " << n;
            }
        }
    }
}

TEST(TableStore, RowIdsAndPersistedHint) {
    StoreFixture f;
    auto& s = f.store;
    ASSERT_TRUE(s.create_table("t", two_columns()));
    // (call number, id handed out, hint afterwards)
    struct Step { int call; int64_t id; uint64_t hint; };
    const Step steps[] = {{1, 1, 1026}, {2, 2, 1026}, {1025, 1025, 1026}, {1026, 1026, 2051}, {2051, 2051, 3076}};
    int call = 0;
    for (const Step& step : steps) {
        Value id;
        while (call < step.call) {
            auto v = s.next_rowid("t");
            ASSERT_TRUE(v);
            id = *v;
            ++call;
        }
        EXPECT_EQ(id, Value::integer(step.id)) << step.call;
        EXPECT_EQ(f.entry("t").rowid_hint, step.hint) << step.call;
        EXPECT_NE(f.stored_json("t").find("\"rowid_hint\":" + std::to_string(step.hint)), std::string::npos);
    }
    // A reopened table continues at the stored hint, above every id handed out.
    f.reopen();
    EXPECT_EQ(f.entry("t").rowid_counter, 3076u);
    EXPECT_EQ(*s.next_rowid("t"), Value::integer(3076));
}

TEST(TableStore, ColumnsAndMergePolicy) {
    StoreFixture f;
    auto& s = f.store;
    ASSERT_TRUE(s.create_table("t", {col("a", DataTypeKind::Int), col("b", DataTypeKind::Text),
                                     col("c", DataTypeKind::Int)}));
    ASSERT_TRUE(s.create_index("t", "by_c", {"c"}, false));
    ASSERT_TRUE(s.create_index("t", "by_b", {"b"}, false));
    ASSERT_TRUE(s.set_merge_policy("t", "lww"));
    EXPECT_EQ(f.entry("t").merge_policy, std::optional<std::string>("lww"));

    // Dropping column b: c moves to position 1 and the index on b goes.
    ASSERT_TRUE(s.set_table_columns("t", {col("a", DataTypeKind::Int), col("c", DataTypeKind::Int),
                                          col("k", DataTypeKind::Pk)}));
    EXPECT_EQ(f.entry("t").pk_column, std::optional<size_t>(2));
    ASSERT_EQ(f.entry("t").indexes.size(), 1u);
    EXPECT_EQ(f.index("t", "by_c")->positions, std::vector<size_t>{1});
    const std::vector<Row> rows = {{Value::integer(1), Value::integer(7), Value::uuid("x")}};
    ASSERT_TRUE(s.rewrite_table("t", rows));

    f.reopen();
    EXPECT_EQ(f.entry("t").merge_policy, std::optional<std::string>("lww"));
    EXPECT_EQ(f.entry("t").columns.size(), 3u);
    EXPECT_EQ(f.entry("t").pk_column, std::optional<size_t>(2));
    auto keys = f.index_keys(f.index("t", "by_c")->root, 1);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].first[0], Value::integer(7));
    ASSERT_TRUE(s.set_merge_policy("t", std::nullopt));
    EXPECT_EQ(f.stored_json("t").find("merge_policy"), std::string::npos);
}

// A rewrite, replacement, rebuild or index build that cannot succeed fails
// before it frees or writes anything: the page cache holds no dirty page and
// the stored table reads as before.
TEST(TableStore, FailingRewritesChangeNoPage) {
    StoreFixture f;
    auto& s = f.store;
    ASSERT_TRUE(s.create_table("t", two_columns()));
    ASSERT_TRUE(s.create_index("t", "by_name", {"name"}, false));
    ASSERT_TRUE(s.create_index("t", "u_id", {"id"}, true));
    std::vector<Row> rows;
    for (int i = 0; i < 400; ++i) rows.push_back(row_of(i, "r" + std::to_string(i)));
    ASSERT_TRUE(s.insert_rows("t", rows));
    ASSERT_TRUE(s.pager->commit());
    const CatalogEntry before = f.entry("t");
    const auto stored_before = f.scan("t");

    std::vector<Row> long_text = rows;
    long_text[200][1] = Value::text(std::string(1100, 'z'));  // key: 1 + 1100 + 2 + 9 bytes
    std::vector<Row> duplicate = rows;
    duplicate[300][0] = Value::integer(5);
    std::vector<Row> too_wide = rows;
    too_wide[399] = Row(65536, Value::null());
    const EngineError too_long = EngineError::storage("key length 1112 exceeds maximum 1024");
    const EngineError dup = EngineError::execution("unique constraint violated: duplicate key [Int(5)]");

    struct Case {
        const char* what;
        std::function<Status()> run;
        EngineError expected;
    };
    const Case cases[] = {
        {"rewrite, long key", [&] { return s.rewrite_table("t", long_text); }, too_long},
        {"rewrite, duplicate", [&] { return s.rewrite_table("t", duplicate); }, dup},
        {"rewrite, row too wide", [&] { return s.rewrite_table("t", too_wide); },
         EngineError::storage("row of 65536 values is too long to store (limit 65535)")},
        {"replace, long key", [&] { return s.replace_table_rows("t", long_text); }, too_long},
        {"rebuild, duplicate", [&] { return s.rebuild_indexes("t", duplicate); }, dup},
        {"insert, long key",
         [&]() -> Status {
             auto r = s.insert_rows("t", std::span<const Row>(&long_text[200], 1));
             if (!r) return std::unexpected(r.error());
             return {};
         },
         too_long},
    };
    for (const Case& c : cases) {
        auto st = c.run();
        ASSERT_FALSE(st) << c.what;
        EXPECT_EQ(st.error(), c.expected) << c.what;
        EXPECT_EQ(s.pager->dirty_page_count(), 0u) << c.what;
        EXPECT_FALSE(s.pager->header_dirty()) << c.what;
        EXPECT_EQ(f.entry("t"), before) << c.what;
    }
    EXPECT_EQ(f.scan("t"), stored_before);
    EXPECT_EQ(f.index_keys(f.index("t", "u_id")->root, 1).size(), 400u);
}

}  // namespace
}  // namespace zembrel

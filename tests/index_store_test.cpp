// Index trees of the page store: refused builds, single entries with the
// live-row check and stale entries, rebuild numbering. Building, appending
// and dropping through statements are the engine model test's.

#include <gtest/gtest.h>

#include "test_util.h"

namespace zembrel {
namespace {

using testing::col;
using testing::row_of;
using testing::StoreFixture;

// Table t (id INT, name TEXT, n INT) in the fixture's store.
void create_t(StoreFixture& f) {
    ASSERT_TRUE(f.store.create_table("t", {col("id", DataTypeKind::Int), col("name", DataTypeKind::Text),
                                           col("n", DataTypeKind::Int)}));
}

Row row3(int64_t id, Value name, Value n) { return Row{Value::integer(id), std::move(name), std::move(n)}; }

TEST(IndexStore, RefusedBuildsOverExistingRows) {
    StoreFixture f;
    create_t(f);
    auto& s = f.store;
    std::vector<Row> rows;
    // Duplicates refuse a unique build, naming the first repeat in row
    // order; the refusal takes no page and adds no index.
    rows.push_back(row3(1, Value::text("a"), Value::integer(1)));
    rows.push_back(row3(2, Value::text("b"), Value::integer(2)));
    rows.push_back(row3(3, Value::text("b"), Value::integer(3)));
    rows.push_back(row3(4, Value::text("a"), Value::integer(4)));
    ASSERT_TRUE(s.rewrite_table("t", rows));
    ASSERT_TRUE(s.create_index("t", "u_name_id", {"name", "id"}, true));  // the pairs are distinct
    ASSERT_TRUE(s.pager->commit());
    auto st = s.create_index("t", "u_name", {"name"}, true);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error(), EngineError::execution("unique index 'u_name': duplicate key [Text(\"b\")]"));
    EXPECT_EQ(s.pager->dirty_page_count(), 0u);
    EXPECT_EQ(f.index("t", "u_name"), nullptr);
    ASSERT_TRUE(s.drop_index("t", "u_name_id"));
}

TEST(IndexStore, UniqueCheckAgainstLiveRows) {
    StoreFixture f;
    create_t(f);
    auto& s = f.store;
    ASSERT_TRUE(s.create_index("t", "u_n", {"n"}, true));
    ASSERT_TRUE(s.create_index("t", "by_name", {"name"}, false));
    f.insert("t", {row3(1, Value::text("a"), Value::integer(5)), row3(2, Value::text("a"), Value::integer(6))});

    // Rows gone from the table leave stale entries: a new row with their
    // values is accepted and the stale entries are deleted.
    ASSERT_TRUE(s.rewrite_table("t", {}));
    const IndexCatalogEntry& u = *f.index("t", "u_n");
    uint64_t root = u.root;
    for (uint64_t stale : {7u, 8u}) {
        keycodec::Bytes key;
        keycodec::encode_value(Value::integer(5), key);
        auto suffix = keycodec::table_key(stale);
        key.insert(key.end(), suffix.begin(), suffix.end());
        auto next = BPlusTree::insert(*s.pager, root, key, {});
        ASSERT_TRUE(next);
        root = *next;
    }
    const Row fresh = row3(9, Value::text("f"), Value::integer(5));
    ASSERT_TRUE(s.put_row("t", keycodec::table_key(1), fresh));
    auto new_root = s.insert_index_entry("t", root, 1, fresh, u.positions, true);
    ASSERT_TRUE(new_root);
    auto keys = f.index_keys(*new_root, 1);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].second, 1u);
    // Putting the same row under its own id again is no clash.
    ASSERT_TRUE(s.insert_index_entry("t", *new_root, 1, fresh, u.positions, true));
    // Another live row with the same value is.
    ASSERT_TRUE(s.put_row("t", keycodec::table_key(2), fresh));
    auto refused = s.insert_index_entry("t", *new_root, 2, fresh, u.positions, true);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), EngineError::execution("unique constraint violated: duplicate key [Int(5)]"));
    // A non-unique index takes the second entry after the first.
    auto plain = s.insert_index_entry("t", *new_root, 2, fresh, u.positions, false);
    ASSERT_TRUE(plain);
    keys = f.index_keys(*plain, 1);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].second, 1u);
    EXPECT_EQ(keys[1].second, 2u);
    // A Null in an indexed column: no entry, the root comes back unchanged.
    const Row with_null = row3(10, Value::text("g"), Value::null());
    EXPECT_EQ(*s.insert_index_entry("t", *plain, 3, with_null, u.positions, true), *plain);
}

// Entries added one row at a time (as UPDATE will) split the index roots;
// the new roots reach the stored entry and survive a reopen.
TEST(IndexStore, SingleEntriesKeepTheirRootsAcrossReopen) {
    StoreFixture f;
    create_t(f);
    auto& s = f.store;
    ASSERT_TRUE(s.create_index("t", "by_name_n", {"name", "n"}, false));
    const uint64_t first_root = f.index("t", "by_name_n")->root;
    std::vector<Row> rows;
    for (int i = 0; i < 400; ++i) {
        rows.push_back(row3(i, Value::text(std::string(200, 'y') + std::to_string(i)), Value::integer(i)));
        ASSERT_TRUE(s.put_row("t", keycodec::table_key(i + 1), rows.back()));
    }
    // After the rows, so that no write of the table's root carries the index roots along.
    for (uint64_t rowid = 1; rowid <= rows.size(); ++rowid) ASSERT_TRUE(s.insert_index_entries("t", rowid, rows[rowid - 1]));
    const uint64_t root = f.index("t", "by_name_n")->root;
    EXPECT_NE(root, first_root);
    f.reopen();
    EXPECT_EQ(f.index("t", "by_name_n")->root, root);
    auto keys = f.index_keys(f.index("t", "by_name_n")->root, 2);
    ASSERT_EQ(keys.size(), rows.size());
    for (const auto& [values, rowid] : keys) EXPECT_EQ(values, (std::vector<Value>{rows[rowid - 1][1], rows[rowid - 1][2]}));
}

TEST(IndexStore, RebuildNumbersRowsByPosition) {
    StoreFixture f;
    create_t(f);
    auto& s = f.store;
    ASSERT_TRUE(s.create_index("t", "a", {"id"}, false));
    ASSERT_TRUE(s.create_index("t", "b", {"name"}, false));
    ASSERT_TRUE(s.create_index("t", "c", {"n"}, true));
    const std::vector<Row> rows = {row3(5, Value::text("p"), Value::integer(1)),
                                   row3(6, Value::null(), Value::integer(2)),
                                   row3(7, Value::text("p"), Value::null())};
    ASSERT_TRUE(s.rebuild_indexes("t", rows));
    using Keys = std::vector<std::pair<std::vector<Value>, uint64_t>>;
    EXPECT_EQ(f.index_keys(f.index("t", "b")->root, 1),
              (Keys{{{Value::text("p")}, 1}, {{Value::text("p")}, 3}}));
    EXPECT_EQ(f.index_keys(f.index("t", "c")->root, 1),
              (Keys{{{Value::integer(1)}, 1}, {{Value::integer(2)}, 2}}));
    // The caller writes the entry after a rebuild.
    ASSERT_TRUE(s.write_entry("t"));

    // No indexes: a rebuild writes no page.
    ASSERT_TRUE(s.create_table("bare", {col("x", DataTypeKind::Int)}));
    ASSERT_TRUE(s.pager->commit());
    const uint64_t changes = s.pager->change_count();
    ASSERT_TRUE(s.rebuild_indexes("bare", rows));
    EXPECT_EQ(s.pager->change_count(), changes);
    EXPECT_EQ(s.pager->dirty_page_count(), 0u);
}

}  // namespace
}  // namespace zembrel

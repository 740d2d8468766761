// Helpers shared by the page-store table and index tests: a page store over
// a fresh file, reopening it from what was committed, and readers of whole
// trees.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bptree/bptree.h"
#include "catalog/catalog_store.h"
#include "pagestore/page_store.h"
#include "keycodec/keycodec.h"
#include "pager/vfs.h"
#include "pager_test_util.h"

namespace zembrel::testing {

inline Column col(std::string name, DataTypeKind kind) {
    Column c;
    c.name = std::move(name);
    c.data_type = DataType::of(kind);
    return c;
}

inline Row row_of(int64_t id, std::string text) { return Row{Value::integer(id), Value::text(std::move(text))}; }

// A page store over a new page file in a private directory (members go in
// reverse order: the store closes before the directory is removed).
struct StoreFixture {
    TempDir dir;
    std::string path = dir.path("db.krvp");
    std::shared_ptr<Vfs> vfs = std::make_shared<RealVfs>();
    PageStore store;

    StoreFixture() {
        auto pager = Pager::create(vfs, path);
        if (!pager) ADD_FAILURE() << pager.error().message;
        else store.pager = std::move(*pager);
    }

    // Commits, closes and opens the file again with the catalog loaded from
    // its tree: what a later session sees.
    void reopen() {
        auto st = store.pager->commit();
        ASSERT_TRUE(st) << st.error().message;
        store.pager.reset();
        store.catalog.clear();
        auto pager = Pager::open(vfs, path);
        ASSERT_TRUE(pager) << pager.error().message;
        store.pager = std::move(*pager);
        auto entries = load_catalog_entries(*store.pager);
        ASSERT_TRUE(entries) << entries.error().message;
        for (auto& [name, entry] : *entries) store.catalog.put(std::move(name), std::move(entry));
    }

    const CatalogEntry& entry(const std::string& table) {
        const CatalogEntry* e = store.catalog.get(table);
        EXPECT_NE(e, nullptr) << table;
        static const CatalogEntry none;
        return e ? *e : none;
    }

    // (row id, row) of every stored row, in key order.
    std::vector<std::pair<int64_t, Row>> scan(const std::string& table) {
        std::vector<std::pair<int64_t, Row>> out;
        auto cursor = TableCursor::open(store, table);
        EXPECT_TRUE(cursor) << cursor.error().message;
        if (!cursor) return out;
        for (;;) {
            auto item = cursor->next_row();
            EXPECT_TRUE(item) << item.error().message;
            if (!item || !*item) break;
            out.emplace_back((*item)->first.as_int(), std::move((*item)->second));
        }
        return out;
    }

    // (values, row id) of every key of the tree at `root`, in key order.
    std::vector<std::pair<std::vector<Value>, uint64_t>> index_keys(uint64_t root, size_t columns) {
        std::vector<std::pair<std::vector<Value>, uint64_t>> out;
        auto cursor = BPlusTree::seek(*store.pager, root, std::nullopt);
        EXPECT_TRUE(cursor) << cursor.error().message;
        if (!cursor) return out;
        for (;;) {
            auto kv = cursor->next();
            EXPECT_TRUE(kv) << kv.error().message;
            if (!kv || !*kv) break;
            EXPECT_TRUE((*kv)->value.empty());
            auto decoded = keycodec::decode_index_key((*kv)->key, columns);
            EXPECT_TRUE(decoded) << decoded.error().message;
            if (!decoded) break;
            out.emplace_back(std::move(decoded->values), decoded->rowid);
        }
        return out;
    }

    const IndexCatalogEntry* index(const std::string& table, const std::string& name) {
        const CatalogEntry* e = store.catalog.get(table);
        if (!e) return nullptr;
        for (const auto& i : e->indexes)
            if (i.name == name) return &i;
        return nullptr;
    }

    // The stored JSON of a table's catalog record.
    std::string stored_json(const std::string& table) {
        auto cursor = BPlusTree::seek(*store.pager, store.pager->catalog_root(),
                                      bpt::ByteSpan(keycodec::catalog_key(table)));
        EXPECT_TRUE(cursor);
        if (!cursor) return {};
        auto kv = cursor->next();
        if (!kv || !*kv || (*kv)->key != keycodec::catalog_key(table)) return {};
        return std::string((*kv)->value.begin(), (*kv)->value.end());
    }
};

}  // namespace zembrel::testing

#include "bptree/bptree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bptree/page_layout.h"
#include "pager/pager.h"
#include "test_util.h"

using namespace zembrel;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes key_of(uint64_t n, size_t len = 8) {
    // Big-endian counter padded on the right: byte order equals numeric order.
    Bytes k(std::max<size_t>(len, 8), 0x5A);
    for (int i = 0; i < 8; ++i) k[i] = static_cast<uint8_t>(n >> (56 - 8 * i));
    return k;
}

Bytes filled(size_t n, uint8_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31);
    return v;
}

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = tmp.path("t.db");
        auto p = Pager::create(vfs, path);
        ASSERT_TRUE(p) << p.error().message;
        pager = std::move(*p);
    }

    uint64_t new_tree() {
        auto page = pager->allocate_page();
        EXPECT_TRUE(page);
        EXPECT_TRUE(BPlusTree::write_leaf(*pager, *page, {}, 0));
        return *page;
    }

    uint64_t insert(uint64_t root, const Bytes& k, const Bytes& v) {
        auto r = BPlusTree::insert(*pager, root, k, v);
        EXPECT_TRUE(r) << r.error().message;
        return r ? *r : root;
    }

    // With `ahead`, the leaves are read in runs past the cache, which must
    // give what the cache gives: pages only the cache or the log holds too.
    std::vector<KeyValue> scan(uint64_t root, std::optional<Bytes> from = std::nullopt, bool ahead = false) {
        std::optional<bpt::ByteSpan> key;
        if (from) key = bpt::ByteSpan(*from);
        auto cur = BPlusTree::seek(*pager, root, key);
        EXPECT_TRUE(cur) << cur.error().message;
        std::vector<KeyValue> out;
        if (!cur) return out;
        if (ahead) cur->read_ahead();
        while (true) {
            auto kv = cur->next();
            EXPECT_TRUE(kv) << kv.error().message;
            if (!kv || !*kv) break;
            out.push_back(std::move(**kv));
        }
        return out;
    }

    // A scan of the whole tree yields exactly the entries of `model`, in order.
    void expect_contents(uint64_t root, const std::map<Bytes, Bytes>& model) {
        for (bool ahead : {true, false}) {  // ahead first, before a scan through the cache evicts
            auto all = scan(root, std::nullopt, ahead);
            ASSERT_EQ(all.size(), model.size());
            auto it = model.begin();
            for (size_t i = 0; i < all.size(); ++i, ++it) {
                ASSERT_EQ(all[i].key, it->first) << "entry " << i << (ahead ? " read ahead" : "");
                ASSERT_EQ(all[i].value, it->second) << "entry " << i << (ahead ? " read ahead" : "");
            }
        }
    }

    uint64_t free_list_length() { return zembrel::testing::free_list_pages(*pager).size(); }

    // Checks the shape of a tree: every page valid and fitting, keys
    // ascending and inside their parents' bounds, the leaf chain equal to
    // the leaves in tree order. Returns the greatest depth (a leaf root is 1).
    size_t check_tree(uint64_t root) {
        struct Item {
            uint64_t page;
            std::optional<Bytes> lo, hi;
            size_t depth;
        };
        std::vector<Item> stack{{root, std::nullopt, std::nullopt, 1}};
        std::vector<uint64_t> leaves;
        size_t max_depth = 0;
        while (!stack.empty()) {
            Item it = std::move(stack.back());
            stack.pop_back();
            max_depth = std::max(max_depth, it.depth);
            auto ref = pager->read_page(it.page);
            EXPECT_TRUE(ref);
            if (!ref) return 0;
            auto idx = std::make_unique<bpt::PageIndex>();
            auto indexed = bpt::index_page(ref->data(), pager->usable_page_size(), it.page, *idx);
            EXPECT_TRUE(indexed) << indexed.error().message;
            if (!indexed) return 0;
            EXPECT_LE(idx->used, pager->usable_page_size());
            std::optional<Bytes> prev = it.lo;
            for (size_t i = 0; i < idx->cells.size(); ++i) {
                auto k = bpt::cell_key(ref->data(), idx->type, idx->cells[i]);
                Bytes key(k.begin(), k.end());
                if (prev) {
                    if (idx->type == bpt::kLeafType && i > 0) {
                        EXPECT_LT(*prev, key) << "page " << it.page;
                    } else {
                        EXPECT_LE(*prev, key) << "page " << it.page;
                    }
                }
                if (it.hi) { EXPECT_LT(key, *it.hi) << "page " << it.page; }
                prev = key;
            }
            if (idx->type == bpt::kLeafType) {
                leaves.push_back(it.page);
                continue;
            }
            // Push right to left so that leaves come out in key order.
            std::optional<Bytes> hi = it.hi;
            size_t n = idx->cells.size();
            stack.push_back({idx->link, n ? std::optional<Bytes>() : it.lo, hi, it.depth + 1});
            if (n) {
                auto k = bpt::cell_key(ref->data(), idx->type, idx->cells[n - 1]);
                stack.back().lo = Bytes(k.begin(), k.end());
            }
            for (size_t i = n; i-- > 0;) {
                auto k = bpt::cell_key(ref->data(), idx->type, idx->cells[i]);
                Bytes key(k.begin(), k.end());
                std::optional<Bytes> lo = it.lo;
                if (i > 0) {
                    auto pk = bpt::cell_key(ref->data(), idx->type, idx->cells[i - 1]);
                    lo = Bytes(pk.begin(), pk.end());
                }
                stack.push_back({bpt::interior_child(ref->data(), idx->cells[i]), lo, key, it.depth + 1});
            }
        }
        // The chain from the left-most leaf visits exactly these leaves.
        auto first = BPlusTree::leftmost_leaf_page(*pager, root);
        EXPECT_TRUE(first);
        std::vector<uint64_t> chain;
        for (uint64_t p = first ? *first : 0; p != 0 && chain.size() <= leaves.size();) {
            chain.push_back(p);
            auto leaf = BPlusTree::read_leaf(*pager, p);
            EXPECT_TRUE(leaf);
            if (!leaf) break;
            p = leaf->next_leaf;
        }
        EXPECT_EQ(chain, leaves);
        return max_depth;
    }

    zembrel::testing::TempDir tmp;
    std::string path;
    std::shared_ptr<Vfs> vfs = std::make_shared<RealVfs>();
    std::unique_ptr<Pager> pager;
};

// ---- page layouts -----------------------------------------------------------

TEST(PageLayout, DamagedPagesAreErrors) {
    const size_t U = 4092;
    auto leaf_with = [](uint16_t count, std::vector<std::pair<size_t, const void*>> parts) {
        PageBuf p{};
        p[0] = 1;
        bpt::put_u16(p.data() + 2, count);
        size_t off = 12;
        for (auto& [n, src] : parts) {
            std::memcpy(p.data() + off, src, n);
            off += n;
        }
        return p;
    };
    struct Case {
        const char* name;
        PageBuf page;
        const char* error;  // nullptr: valid
    };
    uint8_t good[] = {2, 0, 1, 0, 0, 0, 0, 'a', 'b', 'z'};          // K 2, V 1 inline
    uint8_t long_value[] = {1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 'a'};  // V = 4 GiB - 1 inline
    uint8_t long_key[] = {0x01, 0x04, 0, 0, 0, 0, 0};               // K = 1025
    uint8_t chained[] = {1, 0, 0, 0x10, 0, 0, 1, 'k', 9, 0, 0, 0, 0, 0, 0, 0};
    PageBuf bad_type{};
    bad_type[0] = 7;
    PageBuf last_cell_cut{};  // a valid cell whose end lies in the CRC area
    last_cell_cut[0] = 1;
    bpt::put_u16(last_cell_cut.data() + 2, 1);
    bpt::put_u16(last_cell_cut.data() + 12, 0);
    bpt::put_u32(last_cell_cut.data() + 14, static_cast<uint32_t>(U - 12 - 7 + 1));
    PageBuf interior_cut{};  // four cells of 1034 bytes: the fourth ends past U
    interior_cut[0] = 2;
    bpt::put_u16(interior_cut.data() + 2, 4);
    for (size_t i = 0; i < 4; ++i) bpt::put_u16(interior_cut.data() + 12 + i * 1034, 1024);
    PageBuf header_cut{};  // the second cell's head starts 3 bytes before U
    header_cut[0] = 1;
    bpt::put_u16(header_cut.data() + 2, 2);
    bpt::put_u32(header_cut.data() + 12 + 2, static_cast<uint32_t>(U - 3 - 12 - 7));
    std::vector<Case> cases = {
        {"valid leaf", leaf_with(1, {{sizeof good, good}}), nullptr},
        {"valid chained cell", leaf_with(1, {{sizeof chained, chained}}), nullptr},
        {"bad type", bad_type, "invalid b+tree page type: 7"},
        {"count too large", leaf_with(600, {}), "b+tree page 9 is damaged: cell count 600 cannot fit"},
        {"cell head past end", header_cut, "b+tree page 9 is damaged: cell 1 runs past the end of the page"},
        {"value past end", leaf_with(1, {{sizeof long_value, long_value}}), "b+tree page 9 is damaged: cell 0 runs past the end of the page"},
        {"key too long", leaf_with(1, {{sizeof long_key, long_key}}), "b+tree page 9 is damaged: key length 1025 exceeds maximum 1024"},
        {"cell into crc area", last_cell_cut, "b+tree page 9 is damaged: cell 0 runs past the end of the page"},
        {"interior cells past end", interior_cut, "b+tree page 9 is damaged: cell 3 runs past the end of the page"},
    };
    bpt::PageIndex scratch;
    for (const Case& c : cases) {
        auto idx = bpt::index_page(c.page.data(), U, 9, scratch);
        if (c.error == nullptr) {
            EXPECT_TRUE(idx) << c.name << ": " << idx.error().message;
        } else {
            ASSERT_FALSE(idx) << c.name;
            EXPECT_EQ(idx.error().kind, ErrorKind::Storage) << c.name;
            EXPECT_EQ(idx.error().message, c.error) << c.name;
        }
    }
    // The same cell that ends in the CRC area fits a page without checksums.
    EXPECT_TRUE(bpt::index_page(last_cell_cut.data(), 4096, 9, scratch));
    EXPECT_EQ(bpt::index_leaf(interior_cut.data(), U, 4, scratch).error().message, "page 4 is not a leaf");
    EXPECT_EQ(bpt::index_interior(cases[0].page.data(), U, 4, scratch).error().message, "page 4 is not an interior node");
}

// ---- single operations ------------------------------------------------------

// Changing a page in place must give exactly the page that assembling the
// changed cell list gives, spare byte and trailing zeros included, on pages
// that arrive with stray bytes in both.
TEST(PageLayout, SpliceMatchesAssembly) {
    std::mt19937 rng(7);
    const size_t U = bpt::usable_bytes(true);
    for (int round = 0; round < 300; ++round) {
        std::vector<Bytes> cells;
        size_t used = bpt::kHeaderSize;
        for (size_t n = rng() % 40; n > 0; --n) {
            Bytes key(1 + rng() % 12), value(rng() % (round % 3 == 0 ? 200 : 20));
            for (auto& b : key) b = static_cast<uint8_t>(rng());
            Bytes cell(bpt::kLeafCellHead + key.size() + value.size());
            bpt::encode_inline_leaf_cell(cell.data(), key, value);
            if (used + cell.size() > U) break;
            used += cell.size();
            cells.push_back(std::move(cell));
        }
        auto spans = [](const std::vector<Bytes>& list) { return std::vector<bpt::ByteSpan>(list.begin(), list.end()); };
        PageBuf page;
        std::fill(page.begin(), page.end(), uint8_t{0xAB});
        bpt::assemble_page(page.data(), U, bpt::kLeafType, 77, spans(cells));
        page[1] = 0xAB;
        for (size_t i = used; i < U; ++i) page[i] = 0xCD;

        const size_t pos = cells.empty() ? 0 : rng() % (cells.size() + 1);
        const size_t removed = pos < cells.size() ? rng() % 2 : 0;
        Bytes inserted;
        if (removed == 0 || rng() % 2 == 0) {
            Bytes key(1 + rng() % 12), value(rng() % 30);
            inserted.resize(bpt::kLeafCellHead + key.size() + value.size());
            bpt::encode_inline_leaf_cell(inserted.data(), key, value);
        }
        if (used - (removed ? cells[pos].size() : 0) + inserted.size() > U) continue;
        bpt::PageIndex idx;
        ASSERT_TRUE(bpt::index_leaf(page.data(), U, 9, idx));
        bpt::splice_cells_indexed(page.data(), U, idx, pos, removed, inserted);
        // The index kept along is the one the new page gives.
        bpt::PageIndex fresh;
        ASSERT_TRUE(bpt::index_leaf(page.data(), U, 9, fresh));
        ASSERT_EQ(idx.used, fresh.used) << "round " << round;
        ASSERT_EQ(idx.cells.size(), fresh.cells.size()) << "round " << round;
        for (size_t i = 0; i < fresh.cells.size(); ++i) {
            ASSERT_EQ(idx.cells[i].offset, fresh.cells[i].offset) << "round " << round << " cell " << i;
            ASSERT_EQ(idx.cells[i].size, fresh.cells[i].size) << "round " << round << " cell " << i;
            ASSERT_EQ(idx.cells[i].key_len, fresh.cells[i].key_len) << "round " << round << " cell " << i;
        }

        cells.erase(cells.begin() + static_cast<ptrdiff_t>(pos), cells.begin() + static_cast<ptrdiff_t>(pos + removed));
        if (!inserted.empty()) cells.insert(cells.begin() + static_cast<ptrdiff_t>(pos), inserted);
        PageBuf expected = page;
        bpt::assemble_page(expected.data(), U, bpt::kLeafType, 77, spans(cells));
        ASSERT_TRUE(std::equal(page.begin(), page.end(), expected.begin())) << "round " << round;
    }
}

TEST_F(TreeTest, KeyAndValueLimits) {
    uint64_t root = new_tree();
    auto r = BPlusTree::insert(*pager, root, Bytes(1025, 'k'), Bytes{});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Storage);
    EXPECT_EQ(r.error().message, "key length 1025 exceeds maximum 1024");
    root = insert(root, Bytes(1024, 'k'), Bytes{1});

    // 7 + K + V == 2000 stays inline; one byte more goes to a chain.
    Bytes k1 = bytes_of("inline"), k2 = bytes_of("chained");
    root = insert(root, k1, filled(2000 - 7 - k1.size(), 1));
    root = insert(root, k2, filled(2000 - 7 - k2.size() + 1, 2));
    auto leaf = BPlusTree::read_leaf(*pager, *BPlusTree::find_leaf(*pager, root, k1));
    ASSERT_TRUE(leaf);
    for (const LeafCell& c : leaf->cells) {
        if (c.key == k1) { EXPECT_FALSE(c.overflow); }
        if (c.key == k2) {
            EXPECT_TRUE(c.overflow);
            EXPECT_EQ(c.value_len, 2000 - 7 - k2.size() + 1);
            EXPECT_EQ(*BPlusTree::read_overflow(*pager, c), filled(2000 - 7 - k2.size() + 1, 2));
        }
    }

    // A value of 4 GiB is refused before anything is read or written.
    uint8_t dummy = 0;
    uint64_t before = pager->page_count();
    auto big = BPlusTree::insert(*pager, root, k1, bpt::ByteSpan(&dummy, size_t{1} << 32));
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().message, "value length 4294967296 exceeds maximum 4294967295");
    EXPECT_EQ(pager->page_count(), before);
}

TEST_F(TreeTest, OverflowChains) {
    Bytes value = filled(10000, 7);
    auto chain = BPlusTree::write_overflow(*pager, value);
    ASSERT_TRUE(chain);
    LeafCell cell;
    cell.overflow = true;
    cell.overflow_page = chain->first_page;
    cell.value_len = chain->length;
    EXPECT_EQ(*BPlusTree::read_overflow(*pager, cell), value);
    cell.value_len = 20000;  // longer than the chain
    EXPECT_EQ(BPlusTree::read_overflow(*pager, cell).error().message, "overflow chain truncated");
    cell.value_len = chain->length;
    ASSERT_TRUE(BPlusTree::free_overflow(*pager, cell));
    EXPECT_EQ(free_list_length(), 3u);  // 4084 + 4084 + 1832 bytes
    EXPECT_EQ(BPlusTree::write_overflow(*pager, Bytes{})->first_page, 0u);
}

TEST_F(TreeTest, SplitsDeletesAndEmptiness) {
    uint64_t root = new_tree();
    EXPECT_TRUE(*BPlusTree::is_empty(*pager, root));
    EXPECT_TRUE(*BPlusTree::is_empty(*pager, 0));
    // Fill one leaf until it splits.
    uint64_t n = 0;
    uint64_t first_root = root;
    while (root == first_root) root = insert(root, key_of(n++), filled(100, 1));
    EXPECT_EQ(BPlusTree::read_leaf(*pager, root).error().message, "page " + std::to_string(root) + " is not a leaf");

    // Deleting an absent key writes nothing.
    ASSERT_TRUE(pager->commit());
    auto gone = BPlusTree::delete_key(*pager, root, key_of(n + 5));
    ASSERT_TRUE(gone);
    EXPECT_FALSE(*gone);
    EXPECT_EQ(pager->dirty_page_count(), 0u);
    EXPECT_FALSE(pager->header_dirty());

    // A cursor sought past the last key ends at once; seeks land on the
    // first key not smaller.
    EXPECT_TRUE(scan(root, key_of(n)).empty());
    auto from = scan(root, key_of(3, 9));  // between key 3 and key 4
    ASSERT_EQ(from.size(), n - 4);
    EXPECT_EQ(from[0].key, key_of(4));

    // Deleting every key leaves empty leaves under an interior root.
    for (uint64_t i = 0; i < n; ++i) EXPECT_TRUE(*BPlusTree::delete_key(*pager, root, key_of(i)));
    EXPECT_TRUE(scan(root).empty());
    EXPECT_FALSE(*BPlusTree::is_empty(*pager, root));
    check_tree(root);
}

TEST_F(TreeTest, AdversarialCellSizesAlwaysFit) {
    // Keys of 1 and 1024 bytes, cells of exactly 2000 bytes and tiny ones,
    // in orders that defeat a split by count or by half the bytes.
    uint64_t root = new_tree();
    std::map<Bytes, Bytes> model;
    std::mt19937_64 rng(42);
    for (int round = 0; round < 600; ++round) {
        size_t klen = (rng() % 3 == 0) ? 1 + rng() % 4 : 1000 + rng() % 25;
        Bytes key(klen);
        for (auto& b : key) b = static_cast<uint8_t>(rng() % 4 + 'a');
        size_t vlen;
        switch (rng() % 4) {
            case 0: vlen = 2000 - 7 - klen; break;  // a full 2000-byte cell
            case 1: vlen = 0; break;
            case 2: vlen = rng() % 16; break;
            default: vlen = (2000 - 7 - klen) / 2; break;
        }
        Bytes value = filled(vlen, static_cast<uint8_t>(round));
        root = insert(root, key, value);
        model[key] = value;
        if (round % 100 == 99) check_tree(root);
    }
    EXPECT_GE(check_tree(root), 3u);
    expect_contents(root, model);
}

TEST_F(TreeTest, RandomizedAgainstMap) {
    pager->set_cache_capacity(24);  // evictions during splits and chains
    uint64_t root = new_tree();
    // The twin takes every change one key at a time, also where `pager`
    // takes a group of changes leaf by leaf: both must hold the same pages.
    auto made = Pager::create(vfs, tmp.path("twin.db"));
    ASSERT_TRUE(made);
    Pager& twin = **made;
    twin.set_cache_capacity(24);
    uint64_t twin_root = *twin.allocate_page();
    ASSERT_TRUE(BPlusTree::write_leaf(twin, twin_root, {}, 0));
    auto twin_insert = [&](const Bytes& k, const Bytes& v) {
        auto r = BPlusTree::insert(twin, twin_root, k, v);
        ASSERT_TRUE(r) << r.error().message;
        twin_root = *r;
    };
    auto twin_delete = [&](const Bytes& k) { ASSERT_TRUE(BPlusTree::delete_key(twin, twin_root, k)); };
    bool grouped_split = false;
    std::map<Bytes, Bytes> model;
    std::vector<Bytes> keys;
    std::mt19937_64 rng(7);
    auto random_key = [&] {
        size_t len = rng() % 8 == 0 ? 1 + rng() % 1024 : 1 + rng() % 12;
        Bytes k(len);
        for (auto& b : k) b = static_cast<uint8_t>(rng() % 3);  // many shared prefixes
        return k;
    };
    auto random_value = [&] {
        switch (rng() % 6) {
            case 0: return filled(2001 + rng() % 18000, static_cast<uint8_t>(rng()));
            case 1: return Bytes{};
            default: return filled(rng() % 300, static_cast<uint8_t>(rng()));
        }
    };
    for (int batch = 0; batch < 12; ++batch) {
        for (int op = 0; op < 150; ++op) {
            int what = static_cast<int>(rng() % 10);
            if (what < 5 || keys.empty()) {
                Bytes k = random_key();
                Bytes v = random_value();
                root = insert(root, k, v);
                twin_insert(k, v);
                if (!model.count(k)) keys.push_back(k);
                model[k] = v;
            } else if (what < 7) {
                const Bytes& k = keys[rng() % keys.size()];
                Bytes v = random_value();
                root = insert(root, k, v);
                twin_insert(k, v);
                model[k] = v;
            } else if (what < 9) {
                Bytes k = rng() % 4 == 0 ? random_key() : keys[rng() % keys.size()];
                auto r = BPlusTree::delete_key(*pager, root, k);
                ASSERT_TRUE(r) << r.error().message;
                EXPECT_EQ(*r, model.erase(k) == 1);
                twin_delete(k);
            } else {
                Bytes k = random_key();
                auto got = scan(root, k);
                auto it = model.lower_bound(k);
                ASSERT_EQ(got.size(), static_cast<size_t>(std::distance(it, model.end())));
                if (!got.empty()) {
                    EXPECT_EQ(got[0].key, it->first);
                    EXPECT_EQ(got[0].value, it->second);
                }
            }
        }
        // A group: new keys (splitting leaves), replaced values (chains
        // freed and made), erased keys (leaves emptied) and absent ones.
        std::map<Bytes, std::optional<Bytes>> group;
        for (int n = 0; n < 120; ++n) {
            const int what = static_cast<int>(rng() % 10);
            if (what < 4 || keys.empty()) group[random_key()] = random_value();
            else if (what < 6) group[keys[rng() % keys.size()]] = random_value();
            else if (what < 9) group[keys[rng() % keys.size()]] = std::nullopt;
            else group[random_key()] = std::nullopt;
        }
        std::vector<TreeEdit> edits;
        for (const auto& [k, v] : group) edits.push_back(TreeEdit{k, v ? bpt::ByteSpan(*v) : bpt::ByteSpan(), !v});
        const uint64_t pages_before = pager->page_count();
        auto grouped = BPlusTree::apply_sorted(*pager, root, edits);
        ASSERT_TRUE(grouped) << grouped.error().message;
        root = *grouped;
        grouped_split = grouped_split || pager->page_count() > pages_before;
        for (const auto& [k, v] : group) {
            if (v) {
                ASSERT_NO_FATAL_FAILURE(twin_insert(k, *v));
                if (!model.count(k)) keys.push_back(k);
                model[k] = *v;
            } else {
                ASSERT_NO_FATAL_FAILURE(twin_delete(k));
                model.erase(k);
            }
        }
        // While changed pages are still in the cache, before the reads below
        // push them out into the log.
        ASSERT_NO_FATAL_FAILURE(expect_contents(root, model));
        ASSERT_EQ(root, twin_root);
        ASSERT_EQ(pager->page_count(), twin.page_count());
        ASSERT_EQ(pager->free_list_head(), twin.free_list_head());
        for (uint64_t page = 1; page < pager->page_count(); ++page) {
            PageBuf mine, theirs;
            ASSERT_TRUE(pager->read_page_into(page, mine));
            ASSERT_TRUE(twin.read_page_into(page, theirs));
            // The last four bytes hold the CRC once a page has been in the file.
            ASSERT_TRUE(std::equal(mine.begin(), mine.begin() + pager->usable_page_size(), theirs.begin())) << "batch " << batch << ", page " << page;
        }
        check_tree(root);
        ASSERT_NO_FATAL_FAILURE(expect_contents(root, model));
        // Pages in the page file, in the log and only in the cache, mixed.
        // The twin follows, so that both free and reuse pages alike.
        for (Pager* p : {pager.get(), &twin}) {
            if (batch % 4 == 1) {
                ASSERT_TRUE(p->checkpoint());
            } else if (batch % 4 == 3) {
                ASSERT_TRUE(p->commit());
            }
        }
    }
    EXPECT_TRUE(grouped_split);
    EXPECT_GE(check_tree(root), 3u);
    // Every page but the header and the catalog leaf returns to the free list.
    uint64_t before = free_list_length();
    ASSERT_TRUE(BPlusTree::free_tree(*pager, root));
    EXPECT_EQ(free_list_length(), pager->page_count() - 2);
    EXPECT_LT(before, free_list_length());
}

// ---- bulk load and append ---------------------------------------------------

// Fills leaves in key order as the page-store loaders do and finishes them.
uint64_t bulk_load(Pager& pager, uint64_t first, uint64_t count, size_t value_len) {
    std::vector<BulkEntry> entries;
    std::vector<LeafCell> cells;
    size_t used = 12;
    uint64_t page = *pager.allocate_page();
    auto close = [&](uint64_t next) {
        EXPECT_TRUE(BPlusTree::write_leaf(pager, page, cells, next));
        entries.emplace_back(cells.front().key, page);
        cells.clear();
        used = 12;
    };
    for (uint64_t i = first; i < first + count; ++i) {
        auto cell = BPlusTree::make_leaf_cell(pager, key_of(i), filled(value_len, static_cast<uint8_t>(i)));
        EXPECT_TRUE(cell);
        if (used + cell->size() > pager.usable_page_size()) {
            uint64_t next = *pager.allocate_page();
            close(next);
            page = next;
        }
        used += cell->size();
        cells.push_back(std::move(*cell));
    }
    close(0);
    auto root = BPlusTree::finish_bulk_load(pager, std::move(entries));
    EXPECT_TRUE(root);
    return *root;
}

TEST_F(TreeTest, AppendTreesOfDifferentDepths) {
    // An empty side gives way to the other tree, and its lone leaf, which
    // the result no longer reaches, goes back to the free list.
    uint64_t small = bulk_load(*pager, 0, 10, 4);          // one leaf
    uint64_t empty = new_tree();
    EXPECT_EQ(*BPlusTree::append_tree(*pager, empty, small), small);
    EXPECT_EQ(pager->free_list_head(), empty);
    EXPECT_EQ(new_tree(), empty);
    EXPECT_EQ(*BPlusTree::append_tree(*pager, small, empty), small);
    EXPECT_EQ(pager->free_list_head(), empty);
    EXPECT_EQ(new_tree(), empty);
    EXPECT_EQ(*BPlusTree::append_tree(*pager, empty, empty), empty);  // one tree: nothing freed
    EXPECT_EQ(pager->free_list_head(), 0u);
    EXPECT_EQ(*BPlusTree::append_tree(*pager, empty, 0), empty);      // never trade a leaf for no root
    EXPECT_EQ(pager->free_list_head(), 0u);
    EXPECT_EQ(*BPlusTree::append_tree(*pager, 0, small), small);
    EXPECT_EQ(BPlusTree::read_leaf(*pager, small)->cells.size(), 10u);

    uint64_t deep = bulk_load(*pager, 10, 30000, 8);      // three levels
    uint64_t root = *BPlusTree::append_tree(*pager, small, deep);
    auto top = BPlusTree::read_interior(*pager, root);
    ASSERT_TRUE(top);
    ASSERT_EQ(top->cells.size(), 1u);
    EXPECT_EQ(top->cells[0].key, key_of(10));
    uint64_t tail = bulk_load(*pager, 30010, 500, 8);     // two levels
    root = *BPlusTree::append_tree(*pager, root, tail);
    check_tree(root);
    auto all = scan(root);
    ASSERT_EQ(all.size(), 30510u);
    for (size_t i = 0; i < all.size(); i += 997) EXPECT_EQ(all[i].key, key_of(i));

    // Uneven depths take inserts, splits, seeks and deletes everywhere.
    std::mt19937_64 rng(3);
    std::map<Bytes, Bytes> model;
    for (auto& kv : all) model[kv.key] = kv.value;
    for (int i = 0; i < 3000; ++i) {
        Bytes k = key_of(rng() % 31000, 8 + rng() % 40);
        Bytes v = filled(rng() % 500, 9);
        root = insert(root, k, v);
        model[k] = v;
        if (i % 3 == 0) {
            Bytes d = key_of(rng() % 31000);
            EXPECT_EQ(*BPlusTree::delete_key(*pager, root, d), model.erase(d) == 1);
        }
    }
    check_tree(root);
    all = scan(root);
    ASSERT_EQ(all.size(), model.size());
    auto it = model.begin();
    for (size_t i = 0; i < all.size(); ++i, ++it) ASSERT_EQ(all[i].key, it->first);

    // A right tree whose first leaf is empty cannot be joined, and the left
    // tree's chain is left alone.
    uint64_t hollow = bulk_load(*pager, 40000, 400, 8);
    for (uint64_t i = 40000; i < 40400; ++i) ASSERT_TRUE(*BPlusTree::delete_key(*pager, hollow, key_of(i)));
    uint64_t left = bulk_load(*pager, 0, 5, 1);
    auto joined = BPlusTree::append_tree(*pager, left, hollow);
    ASSERT_FALSE(joined);
    EXPECT_EQ(joined.error().message, "empty tree has no leftmost key");
    EXPECT_EQ(BPlusTree::read_leaf(*pager, left)->next_leaf, 0u);

    ASSERT_TRUE(BPlusTree::free_tree(*pager, root));
}

TEST_F(TreeTest, ManyAppendsMakeDeepTreesThatStillWork) {
    // Each append puts a new root on top: the first leaves sink deeper.
    uint64_t root = bulk_load(*pager, 0, 3, 4);
    for (uint64_t t = 1; t < 400; ++t) root = *BPlusTree::append_tree(*pager, root, bulk_load(*pager, t * 3, 3, 4));
    EXPECT_GE(check_tree(root), 400u);
    for (uint64_t i = 0; i < 1200; i += 7) root = insert(root, key_of(i, 9), filled(300, 2));
    EXPECT_TRUE(*BPlusTree::delete_key(*pager, root, key_of(0)));
    check_tree(root);
    EXPECT_EQ(scan(root).size(), 1200u - 1 + 172);
    EXPECT_EQ(scan(root, key_of(1199)).size(), 1u);
    uint64_t free_before = free_list_length();
    ASSERT_TRUE(BPlusTree::free_tree(*pager, root));
    EXPECT_EQ(free_list_length(), pager->page_count() - 2);
    EXPECT_LT(free_before, free_list_length());
}

// ---- damaged trees ----------------------------------------------------------

TEST_F(TreeTest, DamagedTreesGiveErrors) {
    uint64_t root = new_tree();
    for (uint64_t i = 0; i < 300; ++i) root = insert(root, key_of(i), filled(60, 1));
    auto top = BPlusTree::read_interior(*pager, root);
    ASSERT_TRUE(top);
    uint64_t leaf = top->cells[0].child;

    auto expect_error = [&](const std::string& text) {
        auto f = BPlusTree::find_leaf(*pager, root, key_of(0));
        auto s = BPlusTree::seek(*pager, root, std::nullopt);
        auto i = BPlusTree::insert(*pager, root, key_of(1), Bytes{1});
        for (const EngineError* e : {f ? nullptr : &f.error(), s ? nullptr : &s.error(), i ? nullptr : &i.error()}) {
            ASSERT_NE(e, nullptr) << text;
            EXPECT_EQ(e->kind, ErrorKind::Storage);
            EXPECT_EQ(e->message, text);
        }
    };
    PageBuf saved;
    ASSERT_TRUE(pager->read_page_into(leaf, saved));
    auto damage = [&](auto&& fn) {
        auto ref = pager->read_page(leaf);
        fn(ref->mutable_data());
    };
    damage([](uint8_t* p) { bpt::put_u16(p + 2, 4000); });
    expect_error("b+tree page " + std::to_string(leaf) + " is damaged: cell count 4000 cannot fit");
    ASSERT_TRUE(pager->write_page(leaf, saved));
    damage([](uint8_t* p) { p[0] = 9; });
    expect_error("invalid b+tree page type: 9");
    // An interior page that points at itself is reported, not followed forever.
    ASSERT_TRUE(pager->write_page(leaf, saved));
    PageBuf top_saved;
    ASSERT_TRUE(pager->read_page_into(root, top_saved));
    {
        auto ref = pager->read_page(root);
        bpt::put_u64(ref->mutable_data() + 12 + 2, root);
    }
    expect_error("b+tree page " + std::to_string(root) + " is damaged: descent does not reach a leaf");
    ASSERT_TRUE(pager->write_page(root, top_saved));
    // A leaf chain that loops ends the scan with an error.
    {
        auto ref = pager->read_page(leaf);
        bpt::put_u64(ref->mutable_data() + 4, leaf);
    }
    auto cur = BPlusTree::seek(*pager, root, std::nullopt);
    ASSERT_TRUE(cur);
    Result<std::optional<KeyValue>> kv;
    for (int guard = 0; guard < 100000; ++guard) {
        kv = cur->next();
        if (!kv || !*kv) break;
    }
    ASSERT_FALSE(kv);
    EXPECT_EQ(kv.error().message, "b+tree page " + std::to_string(leaf) + " is damaged: leaf chain loops");
    ASSERT_TRUE(pager->write_page(leaf, saved));
    // A child reached twice is freed once and reported.
    {
        auto ref = pager->read_page(root);
        bpt::put_u64(ref->mutable_data() + 4, leaf);
    }
    auto fr = BPlusTree::free_tree(*pager, root);
    ASSERT_FALSE(fr);
    EXPECT_EQ(fr.error().message, "b+tree page " + std::to_string(leaf) + " is damaged: page is reachable twice");
}

TEST_F(TreeTest, ReadAheadSeesTheCacheAndTheLogAndFailsAsTheCacheDoes) {
    pager->set_cache_capacity(16);
    const uint64_t n = 3000;
    uint64_t root = bulk_load(*pager, 0, n, 100);  // leaves on consecutive pages
    ASSERT_TRUE(pager->checkpoint());
    std::map<Bytes, Bytes> model;
    for (uint64_t i = 0; i < n; ++i) model[key_of(i)] = filled(100, static_cast<uint8_t>(i));
    std::mt19937_64 rng(3);
    for (int round = 0; round < 9; ++round) {
        // New values for scattered keys: their leaves change in the cache,
        // and those pushed out go to the log, uncommitted or committed.
        for (int k = 0; k < 40; ++k) {
            const Bytes key = key_of(rng() % n);
            Bytes value = filled(100, static_cast<uint8_t>(rng()));
            root = insert(root, key, value);
            model[key] = std::move(value);
        }
        ASSERT_NO_FATAL_FAILURE(expect_contents(root, model));
        if (round % 3 == 1) {
            ASSERT_TRUE(pager->commit());
        } else if (round % 3 == 2) {
            ASSERT_TRUE(pager->checkpoint());
        }
    }
    // A leaf damaged in the page file fails the scan with the same error,
    // read ahead or not.
    auto leaf = BPlusTree::find_leaf(*pager, root, bpt::ByteSpan(key_of(n / 2)));
    ASSERT_TRUE(leaf);
    pager.reset();
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(*leaf * kPageSize + 100));
        file.put('\x7f');
    }
    auto reopened = Pager::open(vfs, path);
    ASSERT_TRUE(reopened) << reopened.error().message;
    pager = std::move(*reopened);
    std::string errors[2];
    for (bool ahead : {true, false}) {
        auto cur = BPlusTree::seek(*pager, root, std::nullopt);
        ASSERT_TRUE(cur);
        if (ahead) cur->read_ahead();
        size_t read = 0;
        for (;;) {
            auto kv = cur->next();
            if (!kv) {
                errors[ahead] = kv.error().message;
                break;
            }
            ASSERT_TRUE(*kv) << "the damaged leaf was passed";
            ++read;
        }
        EXPECT_GT(read, 0u);
    }
    EXPECT_EQ(errors[0].rfind("page checksum mismatch", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1], errors[0]);
}

}  // namespace

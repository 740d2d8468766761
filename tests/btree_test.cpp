#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "btree/key_order.h"
#include "btree/mem_btree.h"
#include "btree/mem_index.h"
#include "test_util.h"

using namespace zembrel;
using zembrel::testing::random_value;

namespace {

using Model = std::map<Value, uint64_t, KeyLess>;

// Checks ordering, fill, equal leaf depth and that exactly the Uuid keys
// with a canonical text are held as images; returns the number of keys.
// After erases a node may hold fewer than t - 1 keys (`underfull`).
size_t check_node(const MemBTreeNode& node, bool is_root, size_t t, int depth, int& leaf_depth,
                  const Value* lo, const Value* hi, bool underfull) {
    const size_t n = node.size();
    EXPECT_EQ(node.images.size(), n);
    EXPECT_EQ(static_cast<size_t>(__builtin_popcountll(node.odd)), node.others.size());
    EXPECT_EQ(node.odd & ~((uint64_t{1} << n) - 1), 0u);
    std::vector<Value> keys;
    for (size_t i = 0; i < n; ++i) {
        keys.push_back(node.key(i));
        const bool canonical = keys.back().kind() == ValueKind::Uuid && MemBTree::uuid_image(keys.back()).has_value();
        EXPECT_EQ(node.is_odd(i), !canonical);
        if (!node.is_odd(i)) {
            EXPECT_TRUE(node.images[i] == *MemBTree::uuid_image(keys.back()));
        }
    }
    EXPECT_LE(n, 2 * t - 1);
    if (!is_root && !underfull) {
        EXPECT_GE(n, t - 1);
    }
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            EXPECT_TRUE(Value::key_cmp(keys[i - 1], keys[i]) < 0);
        }
        if (lo) {
            EXPECT_TRUE(Value::key_cmp(*lo, keys[i]) < 0);
        }
        if (hi) {
            EXPECT_TRUE(Value::key_cmp(keys[i], *hi) < 0);
        }
    }
    if (node.leaf) {
        EXPECT_TRUE(node.children.empty());
        if (leaf_depth < 0) leaf_depth = depth;
        EXPECT_EQ(leaf_depth, depth);
        return n;
    }
    EXPECT_EQ(node.children.size(), n + 1);
    size_t total = n;
    for (size_t i = 0; i < node.children.size(); ++i) {
        const Value* clo = i == 0 ? lo : &keys[i - 1];
        const Value* chi = i == n ? hi : &keys[i];
        total += check_node(*node.children[i], false, t, depth + 1, leaf_depth, clo, chi, underfull);
    }
    return total;
}

void expect_matches(const MemBTree& tree, const Model& model, bool underfull = false) {
    int leaf_depth = -1;
    ASSERT_EQ(check_node(*tree.root, true, tree.t, 0, leaf_depth, nullptr, nullptr, underfull), model.size());
    ASSERT_EQ(tree.len, model.size());
    auto it = model.begin();
    tree.for_each([&](const Value& k, uint64_t v) {
        EXPECT_TRUE(it != model.end());
        if (it == model.end()) return false;
        EXPECT_TRUE(Value::key_cmp(k, it->first) == 0);
        EXPECT_EQ(v, it->second);
        ++it;
        return true;
    });
    EXPECT_TRUE(it == model.end());
    for (const auto& [k, v] : model) EXPECT_EQ(tree.find(k), v);
}

// random_value, and now and then a long text sharing its first bytes with
// others: the prefixes of such keys tie and the full comparison decides.
Value value_or_tie(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return Value::text("shared-head-" + std::to_string(rng() % 300));
        case 1: return Value::uuid("shared-head-" + std::to_string(rng() % 300));
        default: return random_value(rng);
    }
}

}  // namespace

TEST(MemBTree, MatchesOrderedMapUnderRandomInserts) {
    for (uint64_t seed : {1u, 2u, 3u}) {
        std::mt19937_64 rng(seed);
        MemBTree tree;
        Model model;
        for (uint64_t i = 0; i < 6000; ++i) {
            Value v = random_value(rng);
            model.insert_or_assign(v, i);
            tree.insert(std::move(v), i);
            if (i % 1500 == 0) expect_matches(tree, model);
        }
        expect_matches(tree, model);
        // Replacing equal keys splits nothing: the shape survives a second pass.
        for (auto& [k, v] : model) {
            v += 100000;
            tree.insert(k, v);
        }
        expect_matches(tree, model);
    }
}

TEST(MemBTree, BuiltFromSortedEntriesMatchesTheModelAndTakesInserts) {
    std::mt19937_64 rng(9);
    for (size_t size : {0, 1, 31, 62, 63, 64, 125, 126, 127, 3969, 4000, 9000}) {
        SCOPED_TRACE(size);
        Model model;
        for (uint64_t i = 0; model.size() < size; ++i) {
            if (i % 3 == 0) model.insert_or_assign(Value::integer(static_cast<int64_t>(rng() % 100000)), i);
            else model.insert_or_assign(value_or_tie(rng), i);
            if (i > 100 * size + 1000) break;  // the random values ran out of distinct keys
        }
        std::vector<std::pair<Value, uint64_t>> entries(model.begin(), model.end());
        MemBTree tree = MemBTree::from_sorted(std::move(entries));
        expect_matches(tree, model);
        for (uint64_t i = 0; i < 1500; ++i) {
            Value v = value_or_tie(rng);
            model.insert_or_assign(v, 1000000 + i);
            tree.insert(std::move(v), 1000000 + i);
        }
        expect_matches(tree, model);
    }
}

// Keys of one family, as the columns of one index hold them: the bytes in
// which their prefixes differ, and the values those bytes take, decide how
// they are sorted (all the differing bytes in one bucket number, or not;
// prefixes that decide the key, or ties a text longer than the prefix
// leaves to the comparison).
Value family_key(int family, std::mt19937_64& rng) {
    static constexpr char kHex[] = "0123456789abcdef";
    char buf[64];
    switch (family) {
        case 0: return Value::integer(static_cast<int64_t>(rng() % 5000));
        case 1: return Value::integer(static_cast<int64_t>(rng()));
        case 2:
            std::snprintf(buf, sizeof buf, "group %06u tag", static_cast<unsigned>(rng() % 500));
            return Value::text(buf);
        case 3: {
            std::string u(36, '-');
            for (size_t i = 0; i < u.size(); ++i)
                if (i != 8 && i != 13 && i != 18 && i != 23) u[i] = kHex[rng() % (rng() % 50 == 0 ? 2 : 16)];
            return Value::uuid(u);
        }
        case 4:
            std::snprintf(buf, sizeof buf, "%c%c-note", static_cast<char>('a' + rng() % 3), static_cast<char>('a' + rng() % 2));
            return Value::text(std::string(buf) + std::string(rng() % 20, 'z'));
        default: {
            // One start longer than the prefix, then a few bytes (a NUL
            // among them, against the padding) and lengths about where the
            // bytes an entry carries past the prefix run out.
            std::string text = "a shared start";
            for (size_t k = rng() % 12; k > 0; --k) text += "\0ab"[rng() % 3];
            return Value::text(text);
        }
    }
}

TEST(KeyOrder, RowsInKeyOrderMatchesAStableSortByKey) {
    std::mt19937_64 rng(5);
    Crew crew(5);
    for (int round = 0; round < 14; ++round) {
        std::vector<Row> rows;
        const bool ascending = round == 5;  // already in order: recognised, not sorted
        // Rounds 11 and 12: tables of no row and of a few rows, split all the same.
        const int count = round == 11 ? 0 : round == 12 ? 7 : 3000;
        const int family = round == 13 ? 5 : round > 5 && round < 11 ? round - 6 : -1;
        for (int i = 0; i < count; ++i) {
            Row row{ascending ? Value::integer(i / 3) : family >= 0 ? family_key(family, rng) : value_or_tie(rng),
                    value_or_tie(rng)};
            if (round == 4 && i % 100 == 0) row.pop_back();  // a short row has no key over column 1
            rows.push_back(std::move(row));
        }
        for (std::vector<size_t> positions : {std::vector<size_t>{0}, std::vector<size_t>{1, 0}}) {
            for (bool skip_nulls : {false, true}) {
                auto less = [&](size_t a, size_t b) {
                    for (size_t p : positions) {
                        auto c = Value::key_cmp(rows[a][p], rows[b][p]);
                        if (c != 0) return c < 0;
                    }
                    return false;
                };
                std::vector<size_t> want;
                for (size_t i = 0; i < rows.size(); ++i) {
                    bool keyed = true;
                    for (size_t p : positions) keyed = keyed && p < rows[i].size() && !(skip_nulls && rows[i][p].is_null());
                    if (keyed) want.push_back(i);
                }
                std::stable_sort(want.begin(), want.end(), less);
                // Split among threads or not, in parts of any size, on a
                // crew or threads of each pass's own: one order. The crew
                // takes the families' keys and the tiny tables, enough for
                // its every way and cheap.
                std::vector<Split> splits = {Split{}, Split{3, 700}, Split{8, 1}};
                if (round >= 6 && positions.size() == 1) splits.push_back(Split{8, 1, &crew});
                for (const Split& split : splits) {
                    SCOPED_TRACE(split.workers);
                    const ScratchVector<KeyedRow> got = rows_in_key_order(rows, positions, skip_nulls, nullptr, split);
                    ASSERT_EQ(got.size(), want.size());
                    for (size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].row, want[i]) << "at " << i;
                        const bool same = i > 0 && !less(want[i - 1], want[i]) && !less(want[i], want[i - 1]);
                        ASSERT_EQ(got[i].same_key_as_previous, same) << "at " << i;
                    }
                }
            }
        }
    }
}

TEST(MemBTree, ForEachFromStartsAtLowerBound) {
    MemBTree tree;
    for (int64_t i = 0; i < 5000; i += 2) tree.insert(Value::integer(i), static_cast<uint64_t>(i));
    for (int64_t lower : {-5, 0, 1, 777, 778, 4998, 4999, 100000}) {
        std::vector<int64_t> seen;
        tree.for_each_from(Value::integer(lower), [&](const Value& k, uint64_t) {
            seen.push_back(k.as_int());
            return seen.size() < 3;
        });
        std::vector<int64_t> expected;
        for (int64_t i = std::max<int64_t>(0, lower + (lower & 1)); i < 5000 && expected.size() < 3; i += 2)
            expected.push_back(i);
        EXPECT_EQ(seen, expected) << "lower " << lower;
    }
}

TEST(MemBTree, CopiesAreDeep) {
    MemBTree tree;
    for (int64_t i = 0; i < 500; ++i) tree.insert(Value::integer(i), static_cast<uint64_t>(i));
    MemBTree copy = tree;
    copy.insert(Value::integer(1000), 1);
    copy.insert(Value::integer(5), 99);
    EXPECT_EQ(tree.len, 500u);
    EXPECT_EQ(tree.find(Value::integer(5)), 5u);
    EXPECT_EQ(tree.find(Value::integer(1000)), std::nullopt);
    EXPECT_EQ(copy.len, 501u);

}

namespace {

// Pk keys as old and new files hold them: canonical Uuids from a small pool
// (so keys repeat), the same texts as Text values or upper-cased, texts that
// are nearly canonical (a bad digit, a misplaced dash, a length off by one),
// short texts and ints. Images and side-list keys meet in every comparison.
Value pk_like_key(std::mt19937_64& rng) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string u(36, '-');
    const uint64_t pool = rng() % 400;
    std::mt19937_64 text_rng(pool);
    for (size_t i = 0; i < 36; ++i)
        if (i != 8 && i != 13 && i != 18 && i != 23) u[i] = kHex[text_rng() % (pool % 7 == 0 ? 2 : 16)];
    switch (rng() % 12) {
        case 0: return Value::text(u);
        case 1:
            for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return rng() % 2 ? Value::uuid(u) : Value::text(u);
        case 2: u[rng() % 36] = "g-0fA"[rng() % 5]; return rng() % 2 ? Value::uuid(u) : Value::text(u);
        case 3: return Value::uuid(rng() % 2 ? u + "0" : u.substr(0, 35));
        case 4: return Value::text(u.substr(0, rng() % 20));
        case 5: return Value::integer(static_cast<int64_t>(rng() % 200) - 100);
        default: return Value::uuid(u);
    }
}

TEST(MemBTree, PkLikeKeysMatchTheModelThroughEveryOperation) {
    for (uint64_t seed : {11u, 12u, 13u, 14u}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        MemBTree tree;
        Model model;
        for (int step = 0; step < 6000; ++step) {
            const Value k = pk_like_key(rng);
            switch (rng() % 10) {
                case 0:
                    EXPECT_EQ(tree.erase(k), model.erase(k) == 1);
                    break;
                case 1: {
                    // Only the key that names this row goes.
                    const auto it = model.find(k);
                    const uint64_t id = it != model.end() && rng() % 3 ? it->second : static_cast<uint64_t>(rng() % 6000);
                    const bool named = it != model.end() && it->second == id;
                    EXPECT_EQ(tree.erase(k, id), named);
                    if (named) model.erase(it);
                    break;
                }
                case 2:
                case 3: {
                    const auto it = model.find(k);
                    EXPECT_EQ(tree.find(k), it == model.end() ? std::nullopt : std::optional<uint64_t>(it->second));
                    break;
                }
                case 4: {
                    auto from = model.lower_bound(k);
                    size_t seen = 0;
                    tree.for_each_from(k, [&](const Value& key, uint64_t v) {
                        EXPECT_TRUE(from != model.end() && Value::key_cmp(key, from->first) == 0 && key == from->first &&
                                    v == from->second);
                        if (from != model.end()) ++from;
                        return ++seen < 50;
                    });
                    if (seen < 50) {
                        EXPECT_TRUE(from == model.end());
                    }
                    break;
                }
                default:
                    // An equal key already there keeps its own kind and text.
                    if (auto it = model.find(k); it != model.end()) it->second = static_cast<uint64_t>(step);
                    else model.emplace(k, static_cast<uint64_t>(step));
                    tree.insert(k, static_cast<uint64_t>(step));
            }
            if (step % 1500 == 1499) {
                expect_matches(tree, model, true);
                // The same keys built from a sorted run, then a copy and a
                // move of it, carry on in place of the tree.
                MemBTree built = MemBTree::from_sorted(std::vector<std::pair<Value, uint64_t>>(model.begin(), model.end()));
                expect_matches(built, model);
                MemBTree copy(built);
                tree = std::move(copy);
                expect_matches(built, model);
            }
        }
        expect_matches(tree, model, true);
        tree.for_each([&](const Value& key, uint64_t) {
            EXPECT_TRUE(key == model.find(key)->first);  // kind and text as inserted
            return true;
        });
    }
}

// Erasing leaves nodes underfull, but order, lookups and bounded walks hold,
// and inserts after erases still land where they belong.
TEST(MemBTree, MatchesOrderedMapUnderRandomInsertsAndErases) {
    for (uint64_t seed : {1, 2, 3}) {
        std::mt19937_64 rng(seed);
        MemBTree tree;
        Model model;
        for (int step = 0; step < 4000; ++step) {
            Value k = value_or_tie(rng);
            if (rng() % 100 < (step < 3000 ? 35 : 65)) {
                // Mostly a key that is there.
                if (!model.empty() && rng() % 5 != 0) k = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
                EXPECT_EQ(tree.erase(k), model.erase(k) == 1);
            } else {
                tree.insert(k, static_cast<uint64_t>(step));
                model[k] = static_cast<uint64_t>(step);
            }
        }
        ASSERT_EQ(tree.size(), model.size());
        auto it = model.begin();
        tree.for_each([&](const Value& k, uint64_t v) {
            EXPECT_TRUE(it != model.end() && Value::key_cmp(k, it->first) == 0 && v == it->second);
            if (it != model.end()) ++it;
            return true;
        });
        EXPECT_TRUE(it == model.end());
        for (const auto& [k, v] : model) EXPECT_EQ(tree.find(k), v);
        const Value lower = Value::integer(0);
        auto from = model.lower_bound(lower);
        tree.for_each_from(lower, [&](const Value& k, uint64_t) {
            EXPECT_TRUE(from != model.end() && Value::key_cmp(k, from->first) == 0);
            if (from != model.end()) ++from;
            return true;
        });
        EXPECT_TRUE(from == model.end());
        for (const auto& [k, v] : Model(model)) EXPECT_TRUE(tree.erase(k));
        EXPECT_TRUE(tree.empty());
        tree.insert(Value::integer(1), 1);
        EXPECT_EQ(tree.find(Value::integer(1)), 1u);
    }
}

// A build large enough to take its leaves from one mapping gives the map a
// build from the heap gives, through the changes that follow: splits, keys
// that go (their blocks stay in the mapping), copies and moves.
TEST(MemIndex, PlannedBuildMatchesAHeapBuild) {
    std::mt19937_64 rng(5);
    const std::vector<size_t> positions{0};
    IndexKeyMap planned, heap;
    const size_t keys = 120000;
    planned.plan_build(keys, 1);
    for (size_t k = 0; k < keys; ++k) {
        const Value key = k % 3 ? Value::integer(static_cast<int64_t>(k) * 4)
                                : Value::text("k" + std::to_string(1000000 + k) + " as a long text");
        for (IndexKeyMap* map : {&planned, &heap}) map->append_greatest(std::span<const Value>(&key, 1), positions).push_back(k);
    }
    for (int step = 0; step < 20000; ++step) {
        const Value key = Value::integer(static_cast<int64_t>(rng() % (keys * 4)));
        const IndexKeyView view(&key, 1);
        if (rng() % 2) {
            for (IndexKeyMap* map : {&planned, &heap}) map->entry(view).push_back(step);
        } else {
            for (IndexKeyMap* map : {&planned, &heap}) map->erase(view);
        }
    }
    ASSERT_EQ(planned, heap);
    IndexKeyMap moved = std::move(planned);
    const IndexKeyMap copy = moved;
    moved = IndexKeyMap();
    ASSERT_EQ(copy, heap);
}

// The flat key map of a secondary index against an ordered map: adds and
// removals enough to split and empty leaves, purges, keys of one and two
// values (a one-value probe of a two-value index is a proper prefix), lower
// bounds, copies and rebuilds from a sorted run. Row ids of every form a
// list holds (one, many, emptied, ids of 2^63 and more); texts too long for
// a Value, whose arena is compacted as keys go, and copies that must not
// share it (a copy kept aside is checked against its model later on).
TEST(MemIndex, FlatKeyMapMatchesAnOrderedMap) {
    using RefMap = std::map<IndexKey, std::vector<uint64_t>, KeyLess>;
    bool compacted = false;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        std::mt19937_64 rng(seed);
        const size_t width = seed % 2 ? 1 : 2;
        MemIndex index("i", "t", {}, width == 1 ? std::vector<size_t>{0} : std::vector<size_t>{0, 1}, false);
        RefMap ref;
        std::optional<std::pair<MemIndex, RefMap>> aside;
        auto random_key = [&] {
            IndexKey key;
            for (size_t i = 0; i < width; ++i) {
                const uint64_t kind = rng() % 8;
                if (kind < 2) {
                    key.push_back(random_value(rng));
                } else if (kind == 2) {
                    const uint64_t n = rng() % 300;
                    key.push_back(Value::text("long key " + std::to_string(n) + std::string(2000 + n % 2000, '.')));
                } else {
                    key.push_back(Value::integer(rng() % 700));
                }
            }
            return key;
        };
        // Mostly small ids; now and then one that cannot sit in a list's word.
        auto random_id = [&]() -> uint64_t {
            const uint64_t id = rng() % 50;
            return id < 44 ? id : ~uint64_t{0} - (id - 44) * (uint64_t{1} << 61);
        };
        auto same_as = [&](const MemIndex& have, const RefMap& want, int step) {
            ASSERT_EQ(have.map().size(), want.size()) << "seed " << seed << " step " << step;
            auto it = want.begin();
            for (const auto& [key, ids] : have.map()) {
                ASSERT_EQ(debug_values(key), debug_values(it->first)) << "seed " << seed << " step " << step;
                ASSERT_EQ(ids, it->second);
                ++it;
            }
        };
        // The arena holds the long texts of the keys held, and no more
        // waste than that (or than a pass is worth).
        size_t last_lent = 0;
        auto check_texts = [&](int step, bool removal) {
            size_t live = 0;
            for (const auto& entry : ref)
                for (const Value& v : entry.first)
                    if (v.has_text() && v.as_text().size() > Value::kInlineText) live += v.as_text().size();
            const IndexKeyMap& map = index.map();
            ASSERT_EQ(map.text_bytes_live(), live) << "seed " << seed << " step " << step;
            ASSERT_LE(map.text_bytes_lent() - live, std::max<size_t>(live, 64 * 1024)) << "seed " << seed << " step " << step;
            compacted = compacted || (removal && map.text_bytes_lent() < last_lent);
            last_lent = map.text_bytes_lent();
        };
        auto check = [&](int step) {
            same_as(index, ref, step);
            if (aside) same_as(aside->first, aside->second, step);
            for (int probe = 0; probe < 20; ++probe) {
                IndexKey key = random_key();
                if (probe % 2) key.resize(1);
                const RowIdList* got = index.find(key);
                auto want = ref.find(key);
                ASSERT_EQ(got != nullptr, want != ref.end());
                if (got) { ASSERT_EQ(*got, want->second); }
                if (width == 1) {
                    // Enough lookups build the hash view, which must follow every change.
                    for (int again = 0; again < 3; ++again) {
                        const RowIdList* one = index.find_one(key.front());
                        ASSERT_EQ(one != nullptr, want != ref.end()) << "seed " << seed << " step " << step;
                        if (one) { ASSERT_EQ(*one, want->second); }
                    }
                }
                auto lower = index.map().lower_bound(key);
                auto want_lower = ref.lower_bound(key);
                ASSERT_EQ(lower == index.map().end(), want_lower == ref.end());
                if (want_lower != ref.end()) { ASSERT_EQ(debug_values(lower->first), debug_values(want_lower->first)); }
                // Backwards from the first key above it, as a descending scan walks.
                auto upper = index.map().upper_bound(key);
                auto want_upper = ref.upper_bound(key);
                for (int back = 0; back < 3 && want_upper != ref.begin(); ++back) {
                    ASSERT_TRUE(upper != index.map().begin());
                    --upper;
                    --want_upper;
                    ASSERT_EQ(debug_values(upper->first), debug_values(want_upper->first));
                }
                if (want_upper == ref.begin()) { ASSERT_TRUE(upper == index.map().begin()); }
            }
        };
        for (int step = 0; step < 6000; ++step) {
            const uint64_t op = rng() % 100;
            if (op < 55) {
                IndexKey key = random_key();
                const uint64_t id = random_id();
                index.add_row_id(key, id);
                auto& ids = ref[key];
                if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
            } else if (op < 70 && !ref.empty()) {
                // Many (key, id) pairs sorted by key, as a DELETE of many rows
                // removes them: keys repeated, absent keys and ids among them.
                std::vector<std::pair<IndexKey, uint64_t>> gone;
                for (size_t n = rng() % 80; n > 0; --n) {
                    auto at = std::next(ref.begin(), static_cast<long>(rng() % ref.size()));
                    IndexKey key = rng() % 8 ? at->first : random_key();
                    const auto& held = at->second;
                    const uint64_t id = rng() % 4 ? held[rng() % held.size()] : random_id();
                    gone.emplace_back(std::move(key), id);
                }
                std::stable_sort(gone.begin(), gone.end(),
                                 [](const auto& a, const auto& b) { return KeyLess{}(a.first, b.first); });
                std::vector<IndexKeyView> keys;
                std::vector<uint64_t> ids;
                for (const auto& [key, id] : gone) {
                    keys.emplace_back(key);
                    ids.push_back(id);
                }
                index.remove_sorted(keys, ids);
                for (const auto& [key, id] : gone) {
                    if (auto found = ref.find(key); found != ref.end()) {
                        std::erase(found->second, id);
                        if (found->second.empty()) ref.erase(found);
                    }
                }
                size_t held_ids = 0;
                for (const auto& [key, list] : ref) held_ids += list.size();
                ASSERT_EQ(index.id_count(), held_ids) << "seed " << seed << " step " << step;
            } else if (op < 97 && !ref.empty()) {
                // Mostly keys that are there, so that leaves empty out.
                auto at = ref.begin();
                std::advance(at, static_cast<long>(rng() % ref.size()));
                IndexKey key = rng() % 8 ? at->first : random_key();
                const uint64_t id = rng() % 3 ? (ref.contains(key) ? ref[key].front() : 0) : random_id();
                index.remove_row_id(key, id);
                if (auto found = ref.find(key); found != ref.end()) {
                    std::erase(found->second, id);
                    if (found->second.empty()) ref.erase(found);
                }
            } else if (op < 98) {
                const uint64_t cut = rng() % 50;
                index.retain_row_ids([&](uint64_t id) { return id < cut; });
                for (auto it = ref.begin(); it != ref.end();) {
                    std::erase_if(it->second, [&](uint64_t id) { return id >= cut; });
                    it = it->second.empty() ? ref.erase(it) : std::next(it);
                }
            } else if (op < 99) {
                const MemIndex copy = index;
                index = copy;
                aside.emplace(copy, ref);
            } else {
                // Rebuilt from the sorted run of the model's keys.
                IndexKeyMap rebuilt;
                std::vector<size_t> positions(width);
                for (size_t i = 0; i < width; ++i) positions[i] = i;
                for (const auto& [key, ids] : ref) {
                    RowIdList& list = rebuilt.append_greatest(key, positions);
                    if (rng() % 2) list.reserve(ids.size());
                    for (uint64_t id : ids) list.push_back(id);
                }
                index.replace_map(std::move(rebuilt), 0, 0);
            }
            check_texts(step, op >= 55 && op < 98);
            if (step % 250 == 0 || step == 5999) check(step);
        }
    }
    EXPECT_TRUE(compacted);
}

}  // namespace

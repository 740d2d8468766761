#include "btree/mem_btree.h"

#include <array>
#include <utility>

namespace zembrel {

namespace {

uint64_t below(size_t i) { return i >= 64 ? ~uint64_t{0} : (uint64_t{1} << i) - 1; }

// The value of a lower-case hex digit; kNotHex marks every other byte.
constexpr unsigned kNotHex = 0x10;
constexpr auto kHexValue = [] {
    std::array<uint8_t, 256> table{};
    for (auto& v : table) v = kNotHex;
    for (unsigned c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(c - '0');
    for (unsigned c = 'a'; c <= 'f'; ++c) table[c] = static_cast<uint8_t>(c - 'a' + 10);
    return table;
}();

bool is_dash_position(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int sign(std::strong_ordering c) { return c < 0 ? -1 : c > 0 ? 1 : 0; }

}  // namespace

Value MemBTreeNode::key(size_t i) const {
    if (is_odd(i)) return others[other_at(i)];
    char buf[36];
    return Value::uuid(MemBTree::uuid_text(images[i], buf));
}

MemBTreeNode::MemBTreeNode(const MemBTreeNode& other)
    : images(other.images), values(other.values), odd(other.odd), others(other.others), leaf(other.leaf) {
    children.reserve(other.children.size());
    for (const auto& child : other.children) children.push_back(std::make_unique<MemBTreeNode>(*child));
}

MemBTreeNode& MemBTreeNode::operator=(const MemBTreeNode& other) {
    if (this != &other) {
        MemBTreeNode copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::optional<unsigned __int128> MemBTree::uuid_image(const Value& key) {
    if (key.kind() != ValueKind::Uuid && key.kind() != ValueKind::Text) return std::nullopt;
    const std::string_view text = key.as_text();
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    // The dashes sit at the same places in every canonical text, so the
    // digits alone decide the order, and '0'-'9' < 'a'-'f' as bytes. Every
    // key of a table passes here at load: a table lookup per digit, two
    // halves of 64 bits, one test for a bad digit at the end.
    static constexpr uint8_t kDigitAt[32] = {0,  1,  2,  3,  4,  5,  6,  7,  9,  10, 11, 12, 14, 15, 16, 17,
                                             19, 20, 21, 22, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35};
    uint64_t half[2] = {0, 0};
    unsigned bad = 0;
    for (size_t h = 0; h < 2; ++h) {
        for (size_t i = 16 * h; i < 16 * h + 16; ++i) {
            const unsigned d = kHexValue[static_cast<unsigned char>(text[kDigitAt[i]])];
            bad |= d;
            half[h] = (half[h] << 4) | (d & 0xF);
        }
    }
    if (bad & kNotHex) return std::nullopt;
    return (static_cast<unsigned __int128>(half[0]) << 64) | half[1];
}

std::string_view MemBTree::uuid_text(unsigned __int128 image, char (&buf)[36]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 36; i-- > 0;) {
        if (is_dash_position(i)) {
            buf[i] = '-';
            continue;
        }
        buf[i] = kDigits[static_cast<unsigned>(image & 0xF)];
        image >>= 4;
    }
    return {buf, 36};
}

MemBTree::MemBTree() : root(std::make_unique<MemBTreeNode>()) {}

MemBTree::MemBTree(const MemBTree& other)
    : root(std::make_unique<MemBTreeNode>(other.root ? *other.root : MemBTreeNode())), t(other.t), len(other.len) {}

MemBTree::MemBTree(MemBTree&& other) noexcept
    : root(std::move(other.root)), t(other.t), len(std::exchange(other.len, 0)) {}

MemBTree& MemBTree::operator=(MemBTree&& other) noexcept {
    if (this != &other) {
        root = std::move(other.root);
        t = other.t;
        len = std::exchange(other.len, 0);
    }
    return *this;
}

MemBTree& MemBTree::operator=(const MemBTree& other) {
    if (this != &other) {
        MemBTree copy(other);
        *this = std::move(copy);
    }
    return *this;
}

int MemBTree::compare(const MemBTreeNode& node, size_t i, const Probe& probe) {
    if (node.is_odd(i)) return sign(Value::key_cmp(node.others[node.other_at(i)], probe.key));
    if (probe.image) {
        const unsigned __int128 a = node.images[i];
        return a < *probe.image ? -1 : a > *probe.image ? 1 : 0;
    }
    char buf[36];
    const Value key = Value::borrowed(ValueKind::Uuid, uuid_text(node.images[i], buf));
    return sign(Value::key_cmp(key, probe.key));
}

size_t MemBTree::lower_position(const MemBTreeNode& node, const Value& key) {
    bool equal = false;
    return lower_position(node, Probe(key), equal);
}

size_t MemBTree::lower_position(const MemBTreeNode& node, const Probe& probe, bool& equal) {
    size_t lo = 0, hi = node.size();
    if (node.odd == 0 && probe.image) {
        // The common case, a node of canonical Uuids only: numbers alone.
        const unsigned __int128 want = *probe.image;
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (node.images[mid] < want) lo = mid + 1;
            else hi = mid;
        }
        equal = lo < node.size() && node.images[lo] == want;
        return lo;
    }
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (compare(node, mid, probe) < 0) lo = mid + 1;
        else hi = mid;
    }
    equal = lo < node.size() && compare(node, lo, probe) == 0;
    return lo;
}

MemBTree::Entry MemBTree::take(MemBTreeNode& node, size_t i) {
    Entry out;
    const auto at = static_cast<ptrdiff_t>(i);
    out.image = node.images[i];
    out.value = node.values[i];
    if (node.is_odd(i)) {
        const auto o = static_cast<ptrdiff_t>(node.other_at(i));
        out.other.emplace(std::move(node.others[static_cast<size_t>(o)]));
        node.others.erase(node.others.begin() + o);
    }
    node.odd = (node.odd & below(i)) | ((node.odd >> 1) & ~below(i));
    node.images.erase(node.images.begin() + at);
    node.values.erase(node.values.begin() + at);
    return out;
}

void MemBTree::put(MemBTreeNode& node, size_t i, Entry entry) {
    const auto at = static_cast<ptrdiff_t>(i);
    node.odd = (node.odd & below(i)) | ((node.odd & ~below(i)) << 1);
    if (entry.other) {
        node.others.insert(node.others.begin() + static_cast<ptrdiff_t>(node.other_at(i)), std::move(*entry.other));
        node.odd |= uint64_t{1} << i;
    }
    node.images.insert(node.images.begin() + at, entry.other ? 0 : entry.image);
    node.values.insert(node.values.begin() + at, entry.value);
}

void MemBTree::split_child(MemBTreeNode& x, size_t i, size_t t) {
    MemBTreeNode& c = *x.children[i];
    auto sibling = std::make_unique<MemBTreeNode>();
    sibling->leaf = c.leaf;
    const auto from = static_cast<ptrdiff_t>(t);
    sibling->images.assign(c.images.begin() + from, c.images.end());
    sibling->values.assign(c.values.begin() + from, c.values.end());
    sibling->odd = c.odd >> t;
    const auto others_from = static_cast<ptrdiff_t>(c.other_at(t));
    sibling->others.assign(std::make_move_iterator(c.others.begin() + others_from),
                           std::make_move_iterator(c.others.end()));
    if (!c.leaf) {
        sibling->children.assign(std::make_move_iterator(c.children.begin() + from),
                                 std::make_move_iterator(c.children.end()));
        c.children.resize(t);
    }
    c.images.resize(t);
    c.values.resize(t);
    c.others.resize(static_cast<size_t>(others_from));
    c.odd &= below(t);
    Entry middle = take(c, t - 1);
    put(x, i, std::move(middle));
    x.children.insert(x.children.begin() + static_cast<ptrdiff_t>(i) + 1, std::move(sibling));
}

void MemBTree::insert(Value key, uint64_t rowid) {
    const size_t full = 2 * t - 1;
    if (!root) root = std::make_unique<MemBTreeNode>();  // a moved-from tree is usable again
    if (root->size() == full) {
        auto new_root = std::make_unique<MemBTreeNode>();
        new_root->leaf = false;
        new_root->children.push_back(std::move(root));
        root = std::move(new_root);
        split_child(*root, 0, t);
    }
    MemBTreeNode* node = root.get();
    const Probe probe(key);
    for (;;) {
        bool equal = false;
        size_t p = lower_position(*node, probe, equal);
        if (equal) {
            node->values[p] = rowid;
            return;
        }
        if (node->leaf) {
            Entry entry;
            entry.value = rowid;
            if (probe.image && key.kind() == ValueKind::Uuid) entry.image = *probe.image;
            else entry.other.emplace(std::move(key));
            put(*node, p, std::move(entry));
            ++len;
            return;
        }
        if (node->children[p]->size() == full) {
            split_child(*node, p, t);
            const int c = compare(*node, p, probe);
            if (c == 0) {
                node->values[p] = rowid;
                return;
            }
            if (c < 0) ++p;
        }
        node = node->children[p].get();
    }
}

MemBTree MemBTree::from_sorted(std::vector<std::pair<Value, uint64_t>> entries) {
    ScratchVector<unsigned __int128> images;
    ScratchVector<uint64_t> values;
    std::vector<std::pair<size_t, Value>> others;
    images.reserve(entries.size());
    values.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        auto& [key, value] = entries[i];
        const auto image = key.kind() == ValueKind::Uuid ? uuid_image(key) : std::nullopt;
        images.push_back(image.value_or(0));
        values.push_back(value);
        if (!image) others.emplace_back(i, std::move(key));
    }
    entries = {};
    return from_sorted(std::move(images), std::move(values), std::move(others));
}

MemBTree MemBTree::from_sorted(ScratchVector<unsigned __int128> images, ScratchVector<uint64_t> values,
                               std::vector<std::pair<size_t, Value>> others) {
    MemBTree tree;
    tree.len = values.size();
    if (values.empty()) return tree;
    const size_t most = 2 * tree.t - 2;  // fill of a built node: one below full
    // One level per pass: m items over c nodes with one separator between
    // neighbours, which moves up as the next level's items.
    std::vector<std::unique_ptr<MemBTreeNode>> children;
    bool leaf = true;
    for (;;) {
        const size_t m = values.size();
        const size_t c = (m + 1 + most) / (most + 1);
        size_t next_other = 0;  // first of `others` not yet placed
        // Moves the odd entries among [pos, pos + k) into the node.
        auto place_others = [&](MemBTreeNode& node, size_t pos, size_t k) {
            for (; next_other < others.size() && others[next_other].first < pos + k; ++next_other) {
                node.odd |= uint64_t{1} << (others[next_other].first - pos);
                node.others.push_back(std::move(others[next_other].second));
            }
        };
        if (c <= 1) {
            auto root = std::make_unique<MemBTreeNode>();
            root->leaf = leaf;
            place_others(*root, 0, m);
            root->images.assign(images.begin(), images.end());
            root->values.assign(values.begin(), values.end());
            root->children = std::move(children);
            tree.root = std::move(root);
            return tree;
        }
        const size_t in_nodes = m - (c - 1);
        const size_t base = in_nodes / c, extra = in_nodes % c;
        ScratchVector<unsigned __int128> up_images;
        ScratchVector<uint64_t> up_values;
        std::vector<std::pair<size_t, Value>> up_others;
        std::vector<std::unique_ptr<MemBTreeNode>> nodes;
        up_images.reserve(c - 1);
        up_values.reserve(c - 1);
        nodes.reserve(c);
        size_t pos = 0, child = 0;
        for (size_t j = 0; j < c; ++j) {
            const size_t k = base + (j < extra ? 1 : 0);
            auto node = std::make_unique<MemBTreeNode>();
            node->leaf = leaf;
            node->images.assign(images.begin() + static_cast<ptrdiff_t>(pos),
                                images.begin() + static_cast<ptrdiff_t>(pos + k));
            node->values.assign(values.begin() + static_cast<ptrdiff_t>(pos), values.begin() + static_cast<ptrdiff_t>(pos + k));
            place_others(*node, pos, k);
            if (!leaf) {
                node->children.assign(std::make_move_iterator(children.begin() + static_cast<ptrdiff_t>(child)),
                                      std::make_move_iterator(children.begin() + static_cast<ptrdiff_t>(child + k + 1)));
                child += k + 1;
            }
            pos += k;
            nodes.push_back(std::move(node));
            if (j + 1 < c) {
                if (next_other < others.size() && others[next_other].first == pos)
                    up_others.emplace_back(up_values.size(), std::move(others[next_other++].second));
                up_images.push_back(images[pos]);
                up_values.push_back(values[pos]);
                ++pos;
            }
        }
        images = std::move(up_images);
        values = std::move(up_values);
        others = std::move(up_others);
        children = std::move(nodes);
        leaf = false;
    }
}

std::optional<uint64_t> MemBTree::find(const Value& key) const {
    const MemBTreeNode* node = root.get();
    const Probe probe(key);
    while (node) {
        bool equal = false;
        size_t p = lower_position(*node, probe, equal);
        if (equal) return node->values[p];
        if (node->leaf) return std::nullopt;
        node = node->children[p].get();
    }
    return std::nullopt;
}

std::optional<MemBTree::Entry> MemBTree::take_max(MemBTreeNode& node) {
    if (node.leaf) {
        if (node.size() == 0) return std::nullopt;
        return take(node, node.size() - 1);
    }
    if (auto below_it = take_max(*node.children.back())) return below_it;
    // The right-most subtree holds no key: the node's last key is the
    // largest, and that empty subtree goes with it.
    if (node.size() == 0) return std::nullopt;
    auto out = take(node, node.size() - 1);
    node.children.pop_back();
    return out;
}

bool MemBTree::erase(const Value& key) { return erase_matching(key, nullptr); }

bool MemBTree::erase(const Value& key, uint64_t rowid) { return erase_matching(key, &rowid); }

bool MemBTree::erase_matching(const Value& key, const uint64_t* rowid) {
    MemBTreeNode* node = root.get();
    const Probe probe(key);
    while (node != nullptr) {
        bool equal = false;
        const size_t p = lower_position(*node, probe, equal);
        if (equal) {
            if (rowid != nullptr && node->values[p] != *rowid) return false;
            if (node->leaf) {
                take(*node, p);
            } else if (auto largest = take_max(*node->children[p])) {
                // The largest key left of it takes its place.
                take(*node, p);
                put(*node, p, std::move(*largest));
            } else {
                // Nothing lies left of it: the key and that empty subtree go.
                take(*node, p);
                node->children.erase(node->children.begin() + static_cast<ptrdiff_t>(p));
            }
            --len;
            return true;
        }
        if (node->leaf) return false;
        node = node->children[p].get();
    }
    return false;
}

}  // namespace zembrel

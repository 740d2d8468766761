// Damaged database files never crash, hang or read out of bounds: a small but
// varied database is built through the engine (tables with every column type,
// unique and plain indexes, trees of several levels, overflow chains, pages
// checkpointed into the page file and committed frames in the log), then many
// seeded copies of it are damaged in crafted ways that get past the checks
// (page CRCs and frame digests recomputed after the damage): B+tree fields,
// overflow and free-list links, header fields, catalog JSON, row records, log
// frames, truncated files. Each copy is opened, loaded, written to, saved and
// reopened; every step may fail with an error, nothing may crash. A watchdog
// ends the process when one copy takes too long (a loop a damaged link made).
//
// Legacy databases get the same treatment: snapshot files of each version,
// their log and the JSON document, damaged (counts set huge, page links
// bent, checksums and digests recomputed after the damage, text cut or
// garbled) and then read and migrated, directly and through the C
// interface's result sets; every one is read or refused.
//
// ZEMBREL_FUZZ_ITERS and ZEMBREL_FUZZ_SEED run a longer or different series.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "legacy/snapshot_file.h"
#include "legacy_files_util.h"
#include "test_util.h"
#include "pager/le_bytes.h"
#include "pager/pager.h"
#include "shadow/shadow_log.h"
#include "zembrel.h"

// A damaged count must never size an allocation: one past a gigabyte ends
// the process under the address sanitizer.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=1024"; }
#endif

namespace zembrel::testing {
namespace {

using le::get16;
using le::get32;
using le::get64;
using le::put16;
using le::put32;
using le::put64;

using Bytes = std::vector<uint8_t>;

constexpr size_t kPage = 4096;
constexpr size_t kWalHeader = 16;
constexpr size_t kFrameHead = 41;
constexpr size_t kFrame = kFrameHead + kPage;

size_t open_fds() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// ------------------------------------------------------------ the base files

struct BaseFiles {
    Bytes db;
    Bytes wal;
};

std::string big_text(std::mt19937_64& rng, size_t len) {
    std::string s;
    s.reserve(len);
    while (s.size() < len) s += char('a' + rng() % 26);
    return s;
}

// Built once: the first phase is checkpointed into the page file by a close,
// the second stays as committed frames in the log (copied while open).
const BaseFiles& base_files() {
    static const BaseFiles files = [] {
        TempDir dir;
        const std::string path = dir.path("base.db");
        std::mt19937_64 rng(7);
        auto insert_people = [&](Engine& e, int from, int to) {
            for (int b = from; b < to; b += 100) {
                std::string sql = "INSERT INTO people (name, age, score, active, born) VALUES ";
                for (int i = b; i < b + 100 && i < to; ++i) {
                    if (i != b) sql += ", ";
                    // Long names make the unique index's keys long: three levels.
                    sql += "('person-" + std::to_string(i) + "-" + std::string(90, char('a' + i % 26)) + "', " +
                           std::to_string(i % 97) + ", " + std::to_string(i) + ".25, " + (i % 3 ? "TRUE" : "FALSE") +
                           ", '20" + std::to_string(10 + i % 15) + "-0" + std::to_string(1 + i % 9) + "-1" +
                           std::to_string(i % 10) + "')";
                }
                ok(e, sql);
            }
        };
        auto insert_docs = [&](Engine& e, int from, int to) {
            for (int i = from; i < to; ++i)
                ok(e, "INSERT INTO docs (title, body, n) VALUES ('doc" + std::to_string(i) + "', '" +
                          big_text(rng, 2000 + rng() % 3000) + "', " + std::to_string(i) + ")");
        };
        {
            Engine e = must(storage::open(path));
            ok(e, "CREATE TABLE people (id PK, name TEXT NOT NULL, age INT, score FLOAT, active BOOL, born DATE)");
            ok(e, "CREATE UNIQUE INDEX people_name ON people (name)");
            ok(e, "CREATE INDEX people_age ON people (age, active)");
            ok(e, "CREATE TABLE docs (id PK, title TEXT, body TEXT, n INT)");
            ok(e, "CREATE INDEX docs_title ON docs (title)");
            ok(e, "CREATE TABLE tags (k INT, v TEXT, d DATE)");
            ok(e, "CREATE INDEX tags_k ON tags (k)");
            insert_people(e, 0, 1400);
            insert_docs(e, 0, 10);
            for (int b = 0; b < 3; ++b) {
                std::string sql = "INSERT INTO tags VALUES ";
                for (int i = 0; i < 100; ++i)
                    sql += (i ? ", (" : "(") + std::to_string(b * 100 + i) + ", 'tag" + std::to_string(i) + "', '2020-02-02')";
                ok(e, sql);
            }
            ok(e, "CREATE TABLE scratch (a INT)");
            ok(e, "INSERT INTO scratch VALUES (1), (2)");
            EXPECT_TRUE(storage::save(e).has_value());
            // Freed pages: the free list is not empty in the file.
            ok(e, "DROP TABLE scratch");
            ok(e, "TRUNCATE TABLE tags");
            ok(e, "INSERT INTO tags VALUES (1, 'one', '2021-01-01')");
            EXPECT_TRUE(storage::save(e).has_value());
        }
        Engine e = must(storage::open(path));
        EXPECT_TRUE(e.load_all_tables().has_value());
        insert_people(e, 1400, 1600);
        insert_docs(e, 10, 14);
        ok(e, "CREATE INDEX docs_n ON docs (n)");
        ok(e, "CREATE TABLE later (id PK, x FLOAT, b BOOL)");
        ok(e, "INSERT INTO later (x, b) VALUES (1.5, TRUE), (2.5, FALSE)");
        EXPECT_TRUE(storage::save(e).has_value());
        BaseFiles out{read_file(path), read_file(path + ".pwal")};
        return out;
    }();
    return files;
}

// ------------------------------------------------------------ page structure

struct Layout {
    std::vector<uint64_t> leaves, interiors, overflow, free_pages, catalog_leaves;
};

// Cell offsets of a B+tree page, as far as they stay inside the page.
std::vector<size_t> cell_offsets(const uint8_t* page) {
    std::vector<size_t> out;
    const bool leaf = page[0] == 1;
    size_t off = 12;
    for (unsigned i = 0; i < get16(page + 2); ++i) {
        if (off + (leaf ? 7 : 10) > 4092) break;
        out.push_back(off);
        const size_t klen = get16(page + off);
        size_t len = leaf ? 7 + klen + (page[off + 6] ? 8 : get32(page + off + 2)) : 10 + klen;
        off += len;
    }
    return out;
}

Layout layout_of(const Bytes& db) {
    Layout l;
    const uint64_t pages = db.size() / kPage;
    for (uint64_t p = 1; p < pages; ++p) {
        const uint8_t* page = db.data() + p * kPage;
        if (page[0] == 1) {
            l.leaves.push_back(p);
            for (size_t off : cell_offsets(page)) {
                if (!page[off + 6]) continue;
                uint64_t next = get64(page + off + 7 + get16(page + off));
                for (int guard = 0; next > 0 && next < pages && guard < 64; ++guard) {
                    l.overflow.push_back(next);
                    next = get64(db.data() + next * kPage);
                }
            }
        } else if (page[0] == 2) {
            l.interiors.push_back(p);
        }
    }
    uint64_t free_page = get64(db.data() + 18);
    for (int guard = 0; free_page > 0 && free_page < pages && guard < 10000; ++guard) {
        l.free_pages.push_back(free_page);
        free_page = get64(db.data() + free_page * kPage);
    }
    // The catalog's leaves: descend from its root.
    std::vector<uint64_t> todo{get64(db.data() + 26)};
    while (!todo.empty() && l.catalog_leaves.size() < 64) {
        uint64_t p = todo.back();
        todo.pop_back();
        if (p == 0 || p >= pages) continue;
        const uint8_t* page = db.data() + p * kPage;
        if (page[0] == 1) {
            l.catalog_leaves.push_back(p);
        } else if (page[0] == 2) {
            todo.push_back(get64(page + 4));
            for (size_t off : cell_offsets(page)) todo.push_back(get64(page + off + 2));
        }
    }
    return l;
}

// ------------------------------------------------------------ the damage

class Damager {
public:
    Damager(uint64_t seed, Bytes db, Bytes wal) : db_(std::move(db)), wal_(std::move(wal)), rng_(seed) {}

    Bytes db_;
    Bytes wal_;
    std::string what;  // a trace of the damage, for failure messages

    void damage() {
        const Layout l = layout_of(db_);
        const int rounds = 1 + int(rng_() % 3);
        for (int r = 0; r < rounds; ++r) {
            switch (rng_() % 14) {
                case 0: if (page_count()) in_file(pick_page(), &Damager::random_bytes); break;
                case 1: case 2: if (!l.leaves.empty()) in_file(pick(l.leaves), &Damager::leaf_field); break;
                case 3: if (!l.interiors.empty()) in_file(pick(l.interiors), &Damager::interior_field); break;
                case 4: if (!l.overflow.empty()) overflow_field(pick(l.overflow)); break;
                case 5: if (page_count()) { header_field(page(0)); fix_crc(0); } break;
                case 6: if (!l.catalog_leaves.empty()) catalog_json(pick(l.catalog_leaves)); break;
                case 7: if (!l.catalog_leaves.empty()) catalog_entry(l, pick(l.catalog_leaves)); break;
                case 8:
                    if (!l.free_pages.empty()) free_link(pick(l.free_pages));
                    else if (page_count()) { header_field(page(0)); fix_crc(0); }
                    break;
                case 9: page_type(l); break;
                case 10: if (!l.leaves.empty()) in_file(pick(l.leaves), &Damager::row_bytes); break;
                case 11: truncate(); break;
                case 12: wal_frame(); break;
                case 13: wal_header(); break;
            }
        }
    }

private:
    std::mt19937_64 rng_;

    uint64_t page_count() const { return db_.size() / kPage; }
    template <class T> T pick(const std::vector<T>& v) { return v[rng_() % v.size()]; }
    uint64_t pick_page() { return page_count() ? rng_() % page_count() : 0; }
    uint8_t* page(uint64_t p) { return db_.data() + p * kPage; }

    // Version 1 headers carry no CRC: any CRC word is fine there.
    void fix_crc(uint64_t p) {
        if (p < page_count()) put32(page(p) + 4092, page_crc(page(p)));
    }
    void in_file(uint64_t p, void (Damager::*mutate)(uint8_t*, uint64_t)) {
        (this->*mutate)(page(p), p);
        fix_crc(p);
    }

    // A page number that damage likes: none, itself, the header, in range,
    // just past the end, far past it, offsets that overflow.
    uint64_t bad_page_no(uint64_t self) {
        const uint64_t n = page_count();
        switch (rng_() % 9) {
            case 0: return 0;
            case 1: return self;
            case 2: return n ? rng_() % n : 1;
            case 3: return n;
            case 4: return n + 1 + rng_() % 100;
            case 5: return uint64_t(1) << 52;
            case 6: return ~uint64_t(0);
            case 7: return (uint64_t(1) << 63) / kPage + 1;
            default: return 1;
        }
    }
    uint32_t bad_len(uint32_t orig) {
        switch (rng_() % 8) {
            case 0: return 0;
            case 1: return orig + 1;
            case 2: return orig ? orig - 1 : 0;
            case 3: return 0xFFFF;
            case 4: return 0xFFFFFFFF;
            case 5: return 1025;
            case 6: return 4092 - uint32_t(rng_() % 30);
            default: return uint32_t(rng_() % 5000);
        }
    }

    void note(const std::string& s) { what += s + "; "; }

    void random_bytes(uint8_t* pg, uint64_t p) {
        const int n = 1 + int(rng_() % 8);
        for (int i = 0; i < n; ++i) pg[rng_() % 4092] = uint8_t(rng_());
        note("bytes of page " + std::to_string(p));
    }

    void leaf_field(uint8_t* pg, uint64_t p) {
        auto cells = cell_offsets(pg);
        const int field = int(rng_() % 8);
        note("leaf " + std::to_string(p) + " field " + std::to_string(field));
        if (field == 0 || cells.empty()) put16(pg + 2, uint16_t(bad_len(get16(pg + 2))));
        else if (field == 1) put64(pg + 4, bad_page_no(p));
        else {
            size_t off = pick(cells);
            const size_t klen = get16(pg + off);
            switch (field) {
                case 2: put16(pg + off, uint16_t(bad_len(uint32_t(klen)))); break;
                case 3: put32(pg + off + 2, bad_len(get32(pg + off + 2))); break;
                case 4: pg[off + 6] = uint8_t(rng_() % 3); break;
                case 5:
                    if (pg[off + 6] && off + 15 + klen <= 4092) put64(pg + off + 7 + klen, bad_page_no(p));
                    else put32(pg + off + 2, bad_len(get32(pg + off + 2)));
                    break;
                default:
                    if (off + 7 + klen <= 4092 && klen) pg[off + 7 + rng_() % klen] = uint8_t(rng_());
                    break;
            }
        }
    }

    void interior_field(uint8_t* pg, uint64_t p) {
        auto cells = cell_offsets(pg);
        const int field = int(rng_() % 5);
        note("interior " + std::to_string(p) + " field " + std::to_string(field));
        if (field == 0 || cells.empty()) put16(pg + 2, uint16_t(bad_len(get16(pg + 2))));
        else if (field == 1) put64(pg + 4, bad_page_no(p));
        else {
            size_t off = pick(cells);
            if (field == 2) put16(pg + off, uint16_t(bad_len(get16(pg + off))));
            else if (field == 3) put64(pg + off + 2, bad_page_no(p));
            else if (off + 10 + get16(pg + off) <= 4092 && get16(pg + off))
                pg[off + 10 + rng_() % get16(pg + off)] = uint8_t(rng_());
        }
    }

    void overflow_field(uint64_t p) {
        note("overflow " + std::to_string(p));
        if (rng_() % 3) put64(page(p), bad_page_no(p));
        else page(p)[8 + rng_() % 4084] ^= uint8_t(1 + rng_() % 255);
        fix_crc(p);
    }

    void header_field(uint8_t* h) {
        const int field = int(rng_() % 7);
        note("header field " + std::to_string(field));
        switch (field) {
            case 0: put64(h + 10, rng_() % 2 ? bad_page_no(0) : page_count() - 1 - rng_() % 3); break;
            case 1: put64(h + 18, bad_page_no(0)); break;
            case 2: put64(h + 26, bad_page_no(0)); break;
            case 3: put16(h + 4, uint16_t(rng_() % 4)); break;
            case 4: put32(h + 6, rng_() % 2 ? 4096u * 2 : uint32_t(rng_())); break;
            case 5: h[rng_() % 4] ^= 0x20; break;
            default: h[34 + rng_() % 4058] = uint8_t(rng_()); break;
        }
    }

    // Bytes of a catalog entry's JSON: structure characters, digits of
    // numbers (root pages, counters, column counts), names.
    void catalog_json(uint64_t p) {
        uint8_t* pg = page(p);
        auto cells = cell_offsets(pg);
        if (cells.empty()) return;
        size_t off = pick(cells);
        const size_t klen = get16(pg + off);
        if (pg[off + 6]) return;
        const size_t vlen = get32(pg + off + 2);
        if (vlen == 0 || off + 7 + klen + vlen > 4092) return;
        uint8_t* v = pg + off + 7 + klen;
        static const char kChars[] = "{}[]\":,0123456789-+.eE\\ntfu \x01\xff";
        const int n = 1 + int(rng_() % 3);
        for (int i = 0; i < n; ++i) {
            size_t at = rng_() % vlen;
            if (rng_() % 2) {
                // A digit for a digit: numbers change, the text stays JSON.
                for (size_t k = 0; k < vlen; ++k) {
                    size_t j = (at + k) % vlen;
                    if (v[j] >= '0' && v[j] <= '9') { at = j; break; }
                }
                v[at] = uint8_t(rng_() % 4 ? '0' + rng_() % 10 : '9');
            } else {
                v[at] = uint8_t(kChars[rng_() % (sizeof kChars - 1)]);
            }
        }
        note("catalog json of page " + std::to_string(p) + ": " + std::string(v, v + std::min<size_t>(vlen, 400)));
        fix_crc(p);
    }

    // A catalog entry that stays valid JSON but lies: roots naming other
    // trees or non-tree pages, changed column types, lost or doubled
    // columns, renamed columns, flipped flags, odd row-id hints. The leaf
    // is written anew around the changed value.
    void catalog_entry(const Layout& l, uint64_t p) {
        uint8_t* pg = page(p);
        struct Cell { std::string key, value; };
        std::vector<Cell> cells;
        for (size_t off : cell_offsets(pg)) {
            const size_t klen = get16(pg + off), vlen = get32(pg + off + 2);
            if (pg[off + 6] || off + 7 + klen + vlen > 4092) return;
            cells.push_back({std::string(pg + off + 7, pg + off + 7 + klen),
                             std::string(pg + off + 7 + klen, pg + off + 7 + klen + vlen)});
        }
        if (cells.empty()) return;
        std::string& v = cells[rng_() % cells.size()].value;
        auto replace_nth = [&](const std::string& what, const std::string& by_what) {
            std::vector<size_t> at;
            for (size_t i = v.find(what); i != std::string::npos; i = v.find(what, i + 1)) at.push_back(i);
            if (at.empty()) return false;
            v.replace(pick(at), what.size(), by_what);
            return true;
        };
        auto number_after = [&](const std::string& field, const std::string& by_what) {
            std::vector<size_t> at;
            for (size_t i = v.find(field); i != std::string::npos; i = v.find(field, i + 1)) at.push_back(i + field.size());
            if (at.empty()) return;
            size_t i = pick(at), j = i;
            while (j < v.size() && (std::isdigit(static_cast<unsigned char>(v[j])) || v[j] == '-')) ++j;
            v.replace(i, j - i, by_what);
        };
        const std::vector<std::string> types = {"Int", "Text", "Float", "Bool", "Pk", "Date", "DateTime", "Str"};
        const int kind = int(rng_() % 8);
        switch (kind) {
            case 0: {
                std::vector<uint64_t> targets = {0, page_count(), 1};
                for (const auto* list : {&l.leaves, &l.interiors, &l.overflow, &l.free_pages})
                    if (!list->empty()) targets.push_back(pick(*list));
                const uint64_t t = pick(targets);
                number_after("\"root\":", rng_() % 8 ? std::to_string(t) : "18446744073709551615");
                break;
            }
            case 1: replace_nth("\"data_type\":\"" + pick(types) + "\"", "\"data_type\":\"" + pick(types) + "\""); break;
            case 2: if (!replace_nth("\"unique\":false", "\"unique\":true")) replace_nth("\"unique\":true", "\"unique\":false"); break;
            case 3: replace_nth("\"nullable\":false", "\"nullable\":true"); break;
            case 4: number_after("\"rowid_hint\":", pick(std::vector<std::string>{"0", "1", "18446744073709551615", "9223372036854775807"})); break;
            case 5: replace_nth("{\"name\":\"", "{\"name\":\"x"); break;
            default: {
                // Drop (kind 6) or double (kind 7) one column object.
                const size_t start = v.find("\"columns\":[");
                if (start == std::string::npos) break;
                std::vector<std::pair<size_t, size_t>> objects;
                for (size_t i = start + 11; i < v.size() && v[i] == '{';) {
                    const size_t end = v.find('}', i);
                    if (end == std::string::npos) break;
                    objects.emplace_back(i, end + 1);
                    i = end + 1;
                    if (i < v.size() && v[i] == ',') ++i;
                }
                if (objects.size() < 2) break;
                auto [a, b] = pick(objects);
                if (kind == 6) v.erase(a, b - a + (v[b] == ',' ? 1 : 0));
                else v.insert(a, v.substr(a, b - a) + ",");
                break;
            }
        }
        PageBuf fresh{};
        fresh[0] = 1;
        put16(fresh.data() + 2, uint16_t(cells.size()));
        std::memcpy(fresh.data() + 4, pg + 4, 8);
        size_t off = 12;
        for (const Cell& c : cells) {
            if (off + 7 + c.key.size() + c.value.size() > 4092) return;  // no longer fits: leave the page
            put16(fresh.data() + off, uint16_t(c.key.size()));
            put32(fresh.data() + off + 2, uint32_t(c.value.size()));
            std::memcpy(fresh.data() + off + 7, c.key.data(), c.key.size());
            std::memcpy(fresh.data() + off + 7 + c.key.size(), c.value.data(), c.value.size());
            off += 7 + c.key.size() + c.value.size();
        }
        std::memcpy(pg, fresh.data(), kPage);
        note("catalog entry kind " + std::to_string(kind) + " of page " + std::to_string(p) + ": " + v);
        fix_crc(p);
    }

    void free_link(uint64_t p) {
        note("free link " + std::to_string(p));
        put64(page(p), bad_page_no(p));
        if (rng_() % 4 == 0) page(p)[8 + rng_() % 4084] = 1;
        fix_crc(p);
    }

    void page_type(const Layout& l) {
        uint64_t p = rng_() % 2 && !l.interiors.empty() ? pick(l.interiors) : pick_page();
        if (p == 0) return;
        const uint8_t types[] = {0, 1, 2, 3, 255};
        page(p)[0] = types[rng_() % 5];
        note("type of page " + std::to_string(p) + " = " + std::to_string(page(p)[0]));
        fix_crc(p);
    }

    // Bytes inside a row record (a table leaf's inline value).
    void row_bytes(uint8_t* pg, uint64_t p) {
        auto cells = cell_offsets(pg);
        if (cells.empty()) return;
        size_t off = pick(cells);
        const size_t klen = get16(pg + off);
        const size_t vlen = get32(pg + off + 2);
        if (pg[off + 6] || vlen == 0 || off + 7 + klen + vlen > 4092) return;
        uint8_t* v = pg + off + 7 + klen;
        const int n = 1 + int(rng_() % 3);
        for (int i = 0; i < n; ++i) {
            size_t at = rng_() % vlen;
            switch (rng_() % 4) {
                case 0: v[at] = 0xFF; break;
                case 1: v[at] = uint8_t(rng_() % 10); break;  // kind tags
                case 2: if (at + 4 <= vlen) put32(v + at, bad_len(get32(v + at))); break;
                default: v[at] ^= uint8_t(1 + rng_() % 255); break;
            }
        }
        note("row bytes of page " + std::to_string(p));
    }

    void truncate() {
        if (rng_() % 2) {
            size_t len = rng_() % 3 == 0 ? (rng_() % (page_count() + 1)) * kPage : rng_() % (db_.size() + 1);
            db_.resize(len);
            note("db truncated to " + std::to_string(len));
        } else {
            size_t len = rng_() % 3 == 0 && wal_.size() > kWalHeader
                             ? kWalHeader + (rng_() % ((wal_.size() - kWalHeader) / kFrame + 1)) * kFrame
                             : rng_() % (wal_.size() + 1);
            wal_.resize(len);
            note("wal truncated to " + std::to_string(len));
        }
    }

    void wal_header() {
        if (wal_.size() < kWalHeader) return;
        const size_t at = rng_() % kWalHeader;
        wal_[at] ^= uint8_t(1 + rng_() % 255);
        note("wal header byte " + std::to_string(at));
    }

    // A frame's page number, commit flag or page bytes (crafted like the
    // page-file damage), digest recomputed; sometimes the page CRC too.
    void wal_frame() {
        if (wal_.size() < kWalHeader + kFrame) return;
        const size_t frames = (wal_.size() - kWalHeader) / kFrame;
        const size_t f = rng_() % frames;
        uint8_t* fr = wal_.data() + kWalHeader + f * kFrame;
        uint8_t* pg = fr + kFrameHead;
        const int field = int(rng_() % 6);
        note("wal frame " + std::to_string(f) + " of page " + std::to_string(get64(fr)) + " field " +
             std::to_string(field));
        switch (field) {
            case 0: put64(fr, bad_page_no(get64(fr))); break;
            case 1: fr[8] = uint8_t(rng_() % 3); break;
            default: {
                const uint64_t p = get64(fr);
                if (field == 2) random_bytes(pg, p);
                else if (field == 5 && p == 0) header_field(pg);
                else if (pg[0] == 1) field == 3 ? leaf_field(pg, p) : row_bytes(pg, p);
                else if (pg[0] == 2) interior_field(pg, p);
                else random_bytes(pg, p);
                // Log pages are not checked against their CRC word; keep it
                // right mostly, so that a checkpoint copies the damage on.
                if (rng_() % 4) put32(pg + 4092, page_crc(pg));
                break;
            }
        }
        uint8_t buf[9 + kPage];
        std::memcpy(buf, fr, 9);
        std::memcpy(buf + 9, pg, kPage);
        ::SHA256(buf, sizeof buf, fr + 9);
    }
};

// ------------------------------------------------------------ the watchdog

// A hang shows as a failure naming the seed instead of a stuck test: the
// alarm ends the process when one copy runs past its budget.
char alarm_note[96];
void on_alarm(int) {
    (void)!::write(2, alarm_note, std::strlen(alarm_note));
    std::_Exit(3);
}

// ------------------------------------------------------------ the run

const std::string kStatements[] = {
    "INSERT INTO people (name, age, score, active, born) VALUES ('fuzz-a', 1, 0.5, TRUE, '2022-02-02')",
    "INSERT INTO people (name, age) VALUES ('person-5-ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff', 3)",
    "INSERT INTO docs (title, body, n) VALUES ('big', '" + std::string(4000, 'z') + "', 9)",
    "INSERT INTO tags VALUES (7, 'seven', '2023-03-03'), (8, NULL, NULL)",
    "CREATE INDEX people_score ON people (score)",
    "CREATE UNIQUE INDEX tags_v ON tags (v)",
    "DROP INDEX people_age",
    "TRUNCATE TABLE tags",
    "DROP TABLE docs",
    "CREATE TABLE fresh (id PK, t TEXT, f FLOAT, b BOOL, d DATE)",
    "INSERT INTO fresh (t, f, b, d) VALUES ('x', 1.0, FALSE, '2024-04-04')",
    "INSERT INTO later (x, b) VALUES (3.5, TRUE)",
};

// Seeks and ordered scans through the index trees of tables still only in
// the file: a range, a composite key, an ordered scan with and without WHERE.
const char* const kSeeks[] = {
    "SELECT n FROM docs WHERE n > 3 LIMIT 2",
    "SELECT k, v FROM tags WHERE k >= 0",
    "SELECT id FROM people WHERE age = 5 AND active = TRUE",
    "SELECT name FROM people ORDER BY name LIMIT 7",
    "SELECT age FROM people WHERE name > 'person-3' ORDER BY name LIMIT 3",
};

// How far the damaged copies got: the series must reach every step often.
struct Reached {
    uint64_t opened = 0, loaded = 0, statements = 0, saved = 0, reopened = 0;
};

// Every step may fail; a failure ends the sequence early where going on has
// no meaning (no engine).
void exercise(const std::string& path, std::mt19937_64& rng, Reached& reached) {
    {
        auto opened = storage::open(path);
        if (!opened) {
            EXPECT_FALSE(opened.error().display().empty());
            return;
        }
        ++reached.opened;
        Engine e = std::move(*opened);
        for (const char* sql : kSeeks) (void)run(e, sql);
        if (e.load_all_tables()) ++reached.loaded;
        const int n = 1 + int(rng() % 5);
        for (int i = 0; i < n; ++i)
            if (run(e, kStatements[rng() % std::size(kStatements)])) ++reached.statements;
        if (storage::save(e)) ++reached.saved;
        if (rng() % 2) (void)run(e, kStatements[rng() % std::size(kStatements)]);  // unsaved: closing drops it
    }
    auto again = storage::open(path);
    if (!again) return;
    ++reached.reopened;
    (void)again->load_all_tables();
    (void)run(*again, kStatements[0]);
}

uint64_t env_or(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v ? std::strtoull(v, nullptr, 10) : fallback;
}

TEST(StorageFuzz, BaseFilesAreWhole) {
    const BaseFiles& base = base_files();
    ASSERT_GE(base.db.size(), 50 * kPage);
    ASSERT_EQ(base.db.size() % kPage, 0u);
    ASSERT_GT(base.wal.size(), kWalHeader + 3 * kFrame);
    const Layout l = layout_of(base.db);
    EXPECT_FALSE(l.overflow.empty());
    EXPECT_FALSE(l.interiors.empty());
    EXPECT_FALSE(l.free_pages.empty());
    EXPECT_FALSE(l.catalog_leaves.empty());
    // Three levels somewhere: an interior page whose child is interior.
    bool deep = false;
    for (uint64_t p : l.interiors)
        deep = deep || base.db[get64(base.db.data() + p * kPage + 4) * kPage] == 2;
    EXPECT_TRUE(deep);

    // For reproducing a seed by hand: the base files.
    if (const char* dump = std::getenv("ZEMBREL_FUZZ_DUMP")) {
        write_file(std::string(dump) + "/base.db", base.db);
        write_file(std::string(dump) + "/base.db.pwal", base.wal);
    }

    // Undamaged, the copy opens and loads everything.
    TempDir dir;
    const std::string path = dir.path("whole.db");
    write_file(path, base.db);
    write_file(path + ".pwal", base.wal);
    Engine e = must(storage::open(path));
    ASSERT_TRUE(e.load_all_tables().has_value());
    ASSERT_NE(table_of(e, "people"), nullptr);
    EXPECT_EQ(table_of(e, "people")->rows.size(), 1600u);
    EXPECT_EQ(table_of(e, "docs")->rows.size(), 14u);
    EXPECT_EQ(table_of(e, "later")->rows.size(), 2u);
}

TEST(StorageFuzz, CraftedDamageNeverCrashes) {
    const BaseFiles& base = base_files();
    const uint64_t iterations = env_or("ZEMBREL_FUZZ_ITERS", 100);
    const uint64_t first_seed = env_or("ZEMBREL_FUZZ_SEED", 1);
    TempDir dir;
    const size_t fds_before = open_fds();
    const unsigned budget = static_cast<unsigned>(env_or("ZEMBREL_FUZZ_BUDGET", 20));
    std::signal(SIGALRM, on_alarm);
    const auto started = std::chrono::steady_clock::now();
    Reached reached;
    for (uint64_t seed = first_seed; seed < first_seed + iterations; ++seed) {
        Damager d(seed, base.db, base.wal);
        d.damage();
        const std::string path = dir.path("copy" + std::to_string(seed) + ".db");
        write_file(path, d.db_);
        if (!d.wal_.empty() || seed % 7) write_file(path + ".pwal", d.wal_);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + d.what);
        std::snprintf(alarm_note, sizeof alarm_note, "storage fuzz: seed %llu ran past its time budget (hang?)\n",
                      static_cast<unsigned long long>(seed));
        ::alarm(budget);
        std::mt19937_64 rng(seed * 31 + 1);
        exercise(path, rng, reached);
        ::alarm(0);
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".pwal");
        std::filesystem::remove(path + ".lock");
        if (HasFailure()) break;
    }
    EXPECT_EQ(open_fds(), fds_before);
    // Damage must not stop most copies at the door.
    EXPECT_GT(reached.loaded * 4, iterations);
    EXPECT_GT(reached.saved * 4, iterations);
    std::printf("storage fuzz: %llu copies in %lld ms; opened %llu, loaded %llu, statements %llu, saved %llu, "
                "reopened %llu\n",
                static_cast<unsigned long long>(iterations),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started).count()),
                static_cast<unsigned long long>(reached.opened), static_cast<unsigned long long>(reached.loaded),
                static_cast<unsigned long long>(reached.statements), static_cast<unsigned long long>(reached.saved),
                static_cast<unsigned long long>(reached.reopened));
}

// ------------------------------------------------------------ legacy files

struct LegacyBase {
    std::string what;
    Bytes db;
    Bytes log;  // empty: none
};

const std::vector<LegacyBase>& legacy_bases() {
    static const std::vector<LegacyBase> bases = [] {
        using namespace legacy;
        Database db = sample_database();
        db.tables["notes"] = nul_text_table();
        Bytes v3 = snapshot_v3(db);
        Bytes log = log_header(v3);
        Table extra;
        extra.name = "extra";
        extra.columns = {col("v", DataType::of(DataTypeKind::Text))};
        extra.rows = {{Value::text("e1")}, {Value::null()}};
        append_log_record(log, table_image_payload(extra));
        append_log_record(log, row_append_payload("B", {{Value::integer(1), Value::text("a")}}, 2, 1));
        append_log_record(log, row_append_payload("extra", {{Value::text("e2")}}, 1, 1));
        return std::vector<LegacyBase>{{"v1", snapshot_v1(db), {}},
                                       {"v2", snapshot_v2(db), {}},
                                       {"v3", v3, {}},
                                       {"v3+log", v3, log},
                                       {"json", to_bytes(json_document(db)), {}},
                                       {"json array", to_bytes(json_document(db, true)), {}}};
    }();
    return bases;
}

// Opens a legacy copy through the C interface (which migrates it) and reads
// every cell of every table as a C text; returns the cells of "notes", the
// table holding a text with a NUL byte, or nothing when it did not open.
std::optional<std::vector<std::vector<std::string>>> read_through_c_api(const std::string& path) {
    zembrel_db* handle = zembrel_open(path.c_str());
    if (handle == nullptr) return std::nullopt;
    std::vector<std::vector<std::string>> notes;
    for (const char* table : {"B", "people", "extra", "notes"}) {
        zembrel_result* rs = zembrel_query(handle, (std::string("SELECT * FROM ") + table).c_str());
        if (rs == nullptr) continue;
        const int columns = zembrel_result_column_count(rs);
        for (int r = 0; r < zembrel_result_row_count(rs); ++r) {
            std::vector<std::string> row;
            for (int c = 0; c < columns; ++c) {
                const char* cell = zembrel_result_value(rs, r, c);
                EXPECT_NE(cell, nullptr) << table << " row " << r << " column " << c;
                row.emplace_back(cell == nullptr ? "" : cell);
            }
            if (table == std::string_view("notes")) notes.push_back(std::move(row));
        }
        zembrel_result_free(rs);
    }
    zembrel_close(handle);
    return notes;
}

void reseal_snapshot(Bytes& b) {
    if (b.size() < kPage || get16(b.data() + 4) != 3) return;
    storage::Digest d = storage::image_checksum(b);
    std::memcpy(b.data() + 22, d.data(), d.size());
}

void reseal_log(Bytes& log) {
    size_t at = 38;
    while (log.size() >= at + 36) {
        uint64_t len = get32(log.data() + at);
        if (len > log.size() - at - 36) return;
        storage::Digest d = storage::sha256(storage::ByteView(log.data() + at + 36, len));
        std::memcpy(log.data() + at + 4, d.data(), d.size());
        at += 36 + len;
    }
}

void damage_legacy(Bytes& b, std::mt19937_64& rng, bool json, std::string& what) {
    if (b.empty()) return;
    static const uint32_t kCounts[] = {0, 1, 2, 0xFFFF, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF, 4092, 4093};
    static const char kJson[] = "{}[]\",:0919-e.tnul ";
    const int kinds = 1 + int(rng() % 3);
    for (int k = 0; k < kinds; ++k) {
        const size_t at = rng() % b.size();
        switch (rng() % 5) {
            case 0:
                b.resize(at);
                what += " cut@" + std::to_string(at);
                if (b.empty()) return;
                break;
            case 1:
                if (json) {
                    b[at] = uint8_t(kJson[rng() % (sizeof kJson - 1)]);
                } else {
                    b[at] ^= uint8_t(1 + rng() % 255);
                }
                what += " byte@" + std::to_string(at);
                break;
            case 2:
                if (json) {
                    size_t len = std::min<size_t>(b.size() - at, 1 + rng() % 40);
                    b.insert(b.begin() + long(at), b.begin() + long(at), b.begin() + long(at + len));
                    what += " dup@" + std::to_string(at);
                } else if (at + 4 <= b.size()) {
                    put32(b.data() + at, kCounts[rng() % std::size(kCounts)]);
                    what += " u32@" + std::to_string(at);
                }
                break;
            case 3:
                if (!json && at + 2 <= b.size()) {
                    put16(b.data() + at, uint16_t(kCounts[rng() % std::size(kCounts)]));
                    what += " u16@" + std::to_string(at);
                }
                break;
            default:
                // Page links of a paged snapshot bent to another page.
                if (!json && b.size() >= 2 * kPage) {
                    size_t page = 1 + rng() % (b.size() / kPage - 1);
                    put32(b.data() + page * kPage, uint32_t(rng() % (b.size() / kPage + 2)));
                    what += " link@" + std::to_string(page);
                }
        }
    }
}

TEST(StorageFuzz, LegacyDamageNeverCrashes) {
    const auto& bases = legacy_bases();
    const uint64_t iterations = env_or("ZEMBREL_FUZZ_ITERS", 100) * 3;
    const uint64_t first_seed = env_or("ZEMBREL_FUZZ_SEED", 1);
    TempDir dir;
    const size_t fds_before = open_fds();
    const unsigned budget = static_cast<unsigned>(env_or("ZEMBREL_FUZZ_BUDGET", 20));
    std::signal(SIGALRM, on_alarm);
    uint64_t read = 0, migrated = 0;
    // Undamaged, every form hands out the text holding a NUL byte as "".
    for (const LegacyBase& base : bases) {
        const std::string path = dir.path("whole " + base.what + ".db");
        write_file(path, base.db);
        if (!base.log.empty()) write_file(path + ".wal", base.log);
        const auto notes = read_through_c_api(path);
        ASSERT_TRUE(notes.has_value()) << base.what;
        EXPECT_EQ(*notes, (std::vector<std::vector<std::string>>{{"1", ""}, {"2", ""}, {"3", "plain"}})) << base.what;
    }
    for (uint64_t seed = first_seed; seed < first_seed + iterations; ++seed) {
        std::mt19937_64 rng(seed);
        const LegacyBase& base = bases[seed % bases.size()];
        const bool json = base.what.starts_with("json");
        Bytes db = base.db, log = base.log;
        std::string what = base.what;
        if (log.empty() || rng() % 2) {
            damage_legacy(db, rng, json, what);
            if (rng() % 2) reseal_snapshot(db);
        } else {
            what += " log";
            damage_legacy(log, rng, false, what);
            if (rng() % 3) reseal_log(log);
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + what);
        std::snprintf(alarm_note, sizeof alarm_note, "storage fuzz: seed %llu ran past its time budget (hang?)\n",
                      static_cast<unsigned long long>(seed));
        ::alarm(budget);
        if (storage::parse_snapshot(db)) ++read;
        // One in three goes the whole way: recovery, replay, migration.
        if (seed % 3 == 0 || !log.empty()) {
            const std::string path = dir.path("legacy" + std::to_string(seed) + ".db");
            write_file(path, db);
            if (!log.empty()) write_file(path + ".wal", log);
            auto opened = storage::open(path);
            if (opened) {
                ++migrated;
                (void)opened->load_all_tables();
                (void)run(*opened, kStatements[3]);
            } else {
                EXPECT_FALSE(opened.error().display().empty());
            }
            // The same damage once more through the C interface's result sets.
            const std::string c_path = dir.path("c-api" + std::to_string(seed) + ".db");
            write_file(c_path, db);
            if (!log.empty()) write_file(c_path + ".wal", log);
            (void)read_through_c_api(c_path);
        }
        ::alarm(0);
        if (HasFailure()) break;
    }
    EXPECT_EQ(open_fds(), fds_before);
    EXPECT_GT(read * 10, iterations);  // damage must not stop every copy at the door
    std::printf("legacy fuzz: %llu copies; read %llu, migrated %llu\n", static_cast<unsigned long long>(iterations),
                static_cast<unsigned long long>(read), static_cast<unsigned long long>(migrated));
}

// ------------------------------------------------------------ shadow logs

// A shadow log of random ops and seals, and where each frame starts (plus
// one past the last).
struct ShadowBase {
    Bytes bytes;
    std::vector<size_t> starts;
    std::vector<shadow::ShadowLogEntry> entries;
};

const ShadowBase& shadow_base() {
    static const ShadowBase base = [] {
        ShadowBase b;
        TempDir dir;
        std::mt19937_64 rng(11);
        auto log = shadow::ShadowLog::create(dir.path("base.krvb"), "fuzz", {{"people", rng()}, {"tags", rng()}});
        if (!log) std::abort();
        b.starts.push_back(log->end());
        auto row = [&] {
            Row r{Value::integer(std::int64_t(rng() % 100)), Value::text(big_text(rng, rng() % 8 ? rng() % 20 : 3000)),
                  Value::floating(0.5), Value::null(), Value::date("2024-02-02")};
            r.resize(1 + rng() % r.size());
            return r;
        };
        for (int i = 0; i < 40; ++i) {
            const uint64_t kind = rng() % 4;
            if (kind == 0) b.entries.push_back(shadow::SealRecord{"author", big_text(rng, rng() % 30), rng(), rng() % 9});
            if (kind == 1) b.entries.push_back(shadow::ShadowOp::insert("people", row()));
            if (kind == 2) b.entries.push_back(shadow::ShadowOp::update("tags", Value::integer(i), row(), row()));
            if (kind == 3) b.entries.push_back(shadow::ShadowOp::remove("people", Value::text("k"), std::nullopt));
            const auto* op = std::get_if<shadow::ShadowOp>(&b.entries.back());
            if (!(op ? op->encode(*log) : log->append_seal(std::get<shadow::SealRecord>(b.entries.back())))) std::abort();
            b.starts.push_back(log->end());
        }
        std::ifstream in(dir.path("base.krvb"), std::ios::binary);
        b.bytes.assign(std::istreambuf_iterator<char>(in), {});
        return b;
    }();
    return base;
}

// Damaged log bytes and what the reader's rules make of them: the first
// `intact` entries as written, then the end (valid_len `stop`), or, where
// `goes_on`, possibly the changed frame and every later one as written.
struct ShadowDamage {
    Bytes bytes;
    std::string what;
    size_t intact = 0, stop = 0;
    bool goes_on = false;
    bool anything = false;  // header hit or frames reshaped: any outcome but a crash
};

ShadowDamage damage_shadow(std::mt19937_64& rng) {
    const ShadowBase& base = shadow_base();
    ShadowDamage d;
    d.bytes = base.bytes;
    const size_t k = rng() % base.entries.size(), start = base.starts[k], end = base.starts[k + 1];
    d.intact = k;
    d.stop = start;
    auto recrc = [&](size_t at) {
        put32(d.bytes.data() + at + 4, static_cast<uint32_t>(::crc32_z(0, d.bytes.data() + at + 8, get32(d.bytes.data() + at))));
    };
    switch (rng() % 6) {
        case 0: {  // a torn tail
            const size_t cut = base.starts[0] + rng() % (base.bytes.size() - base.starts[0] + 1);
            d.bytes.resize(cut);
            d.intact = std::upper_bound(base.starts.begin(), base.starts.end(), cut) - base.starts.begin() - 1;
            d.stop = base.starts[d.intact];
            d.what = "cut at " + std::to_string(cut);
            break;
        }
        case 1:  // a flipped bit in a CRC or a payload
            d.bytes[start + 4 + rng() % (end - start - 4)] ^= static_cast<uint8_t>(1u << (rng() % 8));
            d.what = "bit flipped in frame " + std::to_string(k);
            break;
        case 2:  // a zero or huge length
            put32(d.bytes.data() + start, rng() % 3 ? 0xFFFFFFFFu - static_cast<uint32_t>(rng() % 1000) : 0);
            d.what = "length of frame " + std::to_string(k);
            break;
        case 3:  // crafted payload bytes behind a correct CRC
            for (int i = 0, n = 1 + int(rng() % 4); i < n; ++i)
                d.bytes[start + 8 + rng() % (end - start - 8)] = rng() % 3 ? static_cast<uint8_t>(rng()) : 0xFF;
            recrc(start);
            d.goes_on = true;
            d.what = "crafted payload in frame " + std::to_string(k);
            break;
        case 4:  // a shorter length behind a correct CRC: the rest of the payload reads as frames
            put32(d.bytes.data() + start, 1 + static_cast<uint32_t>(rng() % (end - start - 8)));
            recrc(start);
            d.anything = true;
            d.what = "shortened frame " + std::to_string(k);
            break;
        default:  // the header
            for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i) d.bytes[rng() % base.starts[0]] = static_cast<uint8_t>(rng());
            d.anything = true;
            d.what = "header";
    }
    return d;
}

TEST(StorageFuzz, ShadowLogDamage) {
    const ShadowBase& base = shadow_base();
    ASSERT_EQ(shadow::ShadowFile::parse(base.bytes, "base")->entries, base.entries);
    const uint64_t iterations = env_or("ZEMBREL_FUZZ_ITERS", 100) * 10;
    const uint64_t first_seed = env_or("ZEMBREL_FUZZ_SEED", 1);
    TempDir dir;
    const size_t fds_before = open_fds();
    for (uint64_t seed = first_seed; seed < first_seed + iterations; ++seed) {
        std::mt19937_64 rng(seed);
        const ShadowDamage d = damage_shadow(rng);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + d.what);
        auto f = shadow::ShadowFile::parse(d.bytes, "copy");
        if (!f) {
            ASSERT_TRUE(d.anything) << f.error().display();
            continue;
        }
        // The good part reads the same on its own.
        auto again = shadow::ShadowFile::parse(std::span(d.bytes).first(f->valid_len), "copy");
        ASSERT_TRUE(again && again->entries == f->entries && again->valid_len == f->valid_len);
        if (!d.anything) {
            ASSERT_GE(f->entries.size(), d.intact);
            ASSERT_TRUE(std::equal(base.entries.begin(), base.entries.begin() + d.intact, f->entries.begin()));
            if (f->entries.size() == d.intact) {
                EXPECT_EQ(f->valid_len, d.stop);
            } else {
                ASSERT_TRUE(d.goes_on);
                ASSERT_EQ(f->entries.size(), base.entries.size());
                ASSERT_TRUE(std::equal(base.entries.begin() + d.intact + 1, base.entries.end(), f->entries.begin() + d.intact + 1));
                EXPECT_EQ(f->valid_len, d.bytes.size());
            }
        }
        // Reopened for appending, a log is cut to its good part and grows from there.
        if (seed % 10 == 0) {
            const std::string path = dir.path("s.krvb");
            write_file(path, d.bytes);
            {
                auto log = shadow::ShadowLog::open_existing(path);
                ASSERT_TRUE(log.has_value()) << log.error().display();
                EXPECT_EQ(std::filesystem::file_size(path), f->valid_len);
                ASSERT_TRUE(shadow::ShadowOp::insert("people", {Value::integer(1)}).encode(*log));
            }
            auto grown = shadow::ShadowFile::read(path);
            ASSERT_TRUE(grown && grown->entries.size() == f->entries.size() + 1);
            EXPECT_EQ(grown->valid_len, std::filesystem::file_size(path));
            std::filesystem::remove(path);
        }
    }
    EXPECT_EQ(open_fds(), fds_before);
}

}  // namespace
}  // namespace zembrel::testing

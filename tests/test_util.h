// Helpers shared by the C++ tests: a temporary directory, file images and
// crash copies, a file-size limit, a watching file system, pagers that must
// open, page patterns, column makers, random values, the free-list walker,
// statements run from SQL text, and the one fixture of the page-store tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bptree/bptree.h"
#include "catalog/catalog_store.h"
#include "engine/engine.h"
#include "engine/storage_open.h"
#include "executor/execute.h"
#include "keycodec/keycodec.h"
#include "pagestore/page_store.h"
#include "pager/le_bytes.h"
#include "pager/pager.h"
#include "pager/vfs.h"
#include "parser/parser.h"

namespace zembrel::testing {

namespace fs = std::filesystem;

// ------------------------------------------------------------ files

// A fresh directory, removed with everything in it at the end of the test.
struct TempDir {
    fs::path dir;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "zembrel-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        dir = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::string root() const { return dir.string(); }
};

inline std::vector<std::uint8_t> read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint64_t file_size_or_zero(const std::string& p) {
    std::error_code ec;
    auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

inline std::uint64_t get_u64(const std::uint8_t* p) { return le::get64(p); }
inline void put_u64(std::uint8_t* p, std::uint64_t v) { le::put64(p, v); }

// The bytes of the hex pairs in `s` ("03 00, 01 FE"); spaces and commas between pairs are skipped.
inline std::vector<std::uint8_t> hex_bytes(const char* s) {
    std::vector<std::uint8_t> out;
    for (const char* p = s; *p;) {
        if (*p == ' ' || *p == ',') { ++p; continue; }
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

// The image a crash would leave: copies the page file and its log (if any)
// to `to` and `to`.pwal while the pager that wrote them is still alive.
inline void crash_copy(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::remove(wal_path_for(to));
    if (fs::exists(wal_path_for(from))) fs::copy_file(wal_path_for(from), wal_path_for(to));
}

// Files this process writes may not grow past `bytes` meanwhile (writes fail
// part-way with EFBIG; the signal is ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : old_handler_(::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lim = saved_;
        lim.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, old_handler_);
    }

private:
    sighandler_t old_handler_;
    rlimit saved_{};
};

// The real file system, watched: `on_change` runs before every call that
// changes the disk (create, write, set_len, sync, remove, rename, link), and
// `on_create` after it before a create, with the path. With `flush` false
// syncs do nothing; with `links` false hard links fail (EPERM).
class WatchedVfs final : public Vfs {
public:
    std::function<void()> on_change = [] {};
    std::function<void(const std::string&)> on_create = [](const std::string&) {};
    bool flush = true, links = true;

    std::string describe() const override { return "WatchedVfs"; }
    Result<std::unique_ptr<VfsFile>> open(const std::string& p) override { return wrap(real_.open(p)); }
    Result<std::unique_ptr<VfsFile>> create_new(const std::string& p) override {
        return on_change(), on_create(p), wrap(real_.create_new(p));
    }
    Result<std::unique_ptr<VfsFile>> create_truncate(const std::string& p) override {
        return on_change(), on_create(p), wrap(real_.create_truncate(p));
    }
    Result<std::unique_ptr<VfsFile>> open_read_only(const std::string& p) override { return wrap(real_.open_read_only(p)); }
    bool exists(const std::string& p) override { return real_.exists(p); }
    Result<bool> exists_checked(const std::string& p) override { return real_.exists_checked(p); }
    Status remove(const std::string& p) override { return on_change(), real_.remove(p); }
    Status rename(const std::string& a, const std::string& b) override { return on_change(), real_.rename(a, b); }
    Status hard_link(const std::string& a, const std::string& b) override {
        if (!links) return storage_error(os_error_text(EPERM));
        return on_change(), real_.hard_link(a, b);
    }
    void sync_dir(const std::string& p) override {
        if (flush) real_.sync_dir(p);
    }

private:
    class File final : public VfsFile {
    public:
        File(std::unique_ptr<VfsFile> f, WatchedVfs* vfs) : f_(std::move(f)), vfs_(vfs) {}
        std::string describe() const override { return f_->describe(); }
        Status read_at(std::span<std::uint8_t> b, std::uint64_t o) override { return f_->read_at(b, o); }
        Status write_at(std::span<const std::uint8_t> b, std::uint64_t o) override { return vfs_->on_change(), f_->write_at(b, o); }
        Status set_len(std::uint64_t n) override { return vfs_->on_change(), f_->set_len(n); }
        Result<std::uint64_t> len() override { return f_->len(); }
        Status sync(SyncMode m) override { return vfs_->on_change(), vfs_->flush ? f_->sync(m) : Status{}; }
        Result<std::unique_ptr<VfsFile>> duplicate() override { return vfs_->wrap(f_->duplicate()); }

    private:
        std::unique_ptr<VfsFile> f_;
        WatchedVfs* vfs_;
    };
    Result<std::unique_ptr<VfsFile>> wrap(Result<std::unique_ptr<VfsFile>> f) {
        if (!f) return f;
        return std::unique_ptr<VfsFile>(std::make_unique<File>(std::move(*f), this));
    }
    RealVfs real_;
};

// ------------------------------------------------------------ pages

// Fills a page with a pattern derived from `seed` (bytes 0..4092; the CRC area stays zero).
inline void fill_pattern(std::uint8_t* page, std::uint64_t seed) {
    std::memset(page, 0, kPageSize);
    put_u64(page, seed);
    for (std::size_t i = 8; i < kPageSize - 4; ++i) page[i] = static_cast<std::uint8_t>((seed * 131 + i * 7) >> 3);
}

// Writes the `fill_pattern` of `seed` to a page.
inline void write_seed(Pager& pager, std::uint64_t page, std::uint64_t seed) {
    PageBuf buf;
    fill_pattern(buf.data(), seed);
    auto st = pager.write_page(page, buf);
    ASSERT_TRUE(st) << st.error().message;
}

// The first eight bytes of a page: the seed `fill_pattern` wrote there.
inline std::uint64_t page_seed(Pager& pager, std::uint64_t page) {
    PageBuf buf;
    auto st = pager.read_page_into(page, buf);
    EXPECT_TRUE(st) << st.error().message;
    return get_u64(buf.data());
}

// True when every page of the page file carries a valid CRC.
inline bool all_page_crcs_valid(const std::string& p) {
    auto bytes = read_file(p);
    if (bytes.size() % kPageSize != 0) return false;
    for (std::size_t off = 0; off < bytes.size(); off += kPageSize) {
        std::uint32_t stored = 0;
        std::memcpy(&stored, bytes.data() + off + kPageSize - 4, 4);  // little-endian host
        if (stored != page_crc(bytes.data() + off)) return false;
    }
    return true;
}

// The pages of the free list in link order, stopping at a link that repeats.
inline std::vector<std::uint64_t> free_list_pages(Pager& pager) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t p = pager.free_list_head(); p != 0 && out.size() <= pager.page_count();) {
        out.push_back(p);
        PageBuf buf;
        if (!pager.read_page_into(p, buf)) break;
        p = get_u64(buf.data());
    }
    return out;
}

inline std::shared_ptr<Vfs> real_vfs() { return std::make_shared<RealVfs>(); }

// A pager that must come into being; the test fails (and gets null) otherwise.
inline std::unique_ptr<Pager> must_create(const std::string& p, std::shared_ptr<Vfs> vfs = real_vfs()) {
    auto r = Pager::create(vfs, p);
    EXPECT_TRUE(r) << r.error().message;
    return r ? std::move(*r) : nullptr;
}

inline std::unique_ptr<Pager> must_open(const std::string& p, std::shared_ptr<Vfs> vfs = real_vfs()) {
    auto r = Pager::open(vfs, p);
    EXPECT_TRUE(r) << r.error().message;
    return r ? std::move(*r) : nullptr;
}

// ------------------------------------------------------------ columns and values

inline Column col(std::string name, DataType t, std::optional<DefaultValue> def = std::nullopt,
                  std::optional<std::string> salt = std::nullopt, bool nullable = true) {
    return Column{std::move(name), t, std::move(def), std::move(salt), nullable};
}
inline Column col(std::string name, DataTypeKind kind) { return col(std::move(name), DataType::of(kind)); }

// Texts of quotes, escapes, controls, NULs and multi-byte characters.
inline std::string random_text(std::mt19937_64& rng) {
    static const std::string pieces[] = {"a", "Z", "0", " ", "\"", "\\", "\n", "\t", std::string(1, '\0'), "\x1f", "\x7f",
                                         "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "{", "]", ":", ","};
    std::string s;
    for (size_t n = rng() % 12; n > 0; --n) s += pieces[rng() % std::size(pieces)];
    return s;
}

// A value of any kind. Half are drawn from small ranges, so that equal keys
// meet (Uuid "k1" equals Text "k1" as a key, Int 1 and Float 1.0 do not);
// the others from every bit pattern and odd texts.
inline Value random_value(std::mt19937_64& rng) {
    const bool narrow = rng() % 2;
    const std::string small = "k" + std::to_string(rng() % 500);
    switch (rng() % 8) {
        case 0: return Value::integer(narrow ? static_cast<int64_t>(rng() % 3000) - 1500 : static_cast<int64_t>(rng()));
        case 1: return Value::text(narrow ? small : random_text(rng));
        case 2: {
            if (narrow) return Value::floating(static_cast<double>(rng() % 200) / 4.0);
            double d;
            do {
                uint64_t bits = rng();
                std::memcpy(&d, &bits, sizeof d);
            } while (!std::isfinite(d));
            return Value::floating(d);
        }
        case 3: return Value::boolean(rng() % 2);
        case 4: return Value::null();
        case 5: return Value::uuid(narrow ? small : random_text(rng));
        case 6: return Value::date(narrow ? "2024-01-" + std::to_string(rng() % 28 + 1) : random_text(rng));
        default: return Value::datetime(random_text(rng));
    }
}

// ------------------------------------------------------------ statements

inline Result<ExecResult> run(Engine& engine, std::string_view sql) {
    auto statement = parser::parse_sql(sql);
    if (!statement) return fail(statement.error());
    return executor::execute(engine, std::move(*statement));
}

// Runs a statement that must succeed.
inline ExecResult ok(Engine& engine, std::string_view sql) {
    auto r = run(engine, sql);
    EXPECT_TRUE(r.has_value()) << sql << " -> " << (r ? "" : r.error().display());
    return r ? std::move(*r) : ExecResult{TransactionStarted{}};
}

// Runs a statement that must fail; its display text ("Execution error: ...").
inline std::string err(Engine& engine, std::string_view sql) {
    auto r = run(engine, sql);
    EXPECT_FALSE(r.has_value()) << sql << " unexpectedly succeeded";
    return r ? std::string() : r.error().display();
}

inline Engine must(Result<Engine> r) {
    if (!r) {
        ADD_FAILURE() << r.error().display();
        return Engine();
    }
    return std::move(*r);
}

// A database at `path` as a process that ended without closing it leaves it:
// the table p and three rows of o in its file, two more rows of o only in its
// log (which, replayed over another file, would find p's pages gone).
inline void leave_unclosed_database(const std::string& path) {
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE p (s TEXT)");
        for (int i = 0; i < 20; ++i) ok(e, "INSERT INTO p VALUES ('" + std::string(500, 'p') + "')");
        ok(e, "CREATE TABLE o (n INT)");
        ok(e, "INSERT INTO o VALUES (1), (2), (3)");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    ok(e, "INSERT INTO o VALUES (4), (5)");
    ASSERT_TRUE(storage::save(e));
    const auto file = read_file(path), log = read_file(wal_path_for(path));
    e = Engine();
    write_file(path, file);
    write_file(wal_path_for(path), log);
}

inline const Table* table_of(const Engine& engine, const std::string& name) {
    auto it = engine.tables.database.tables.find(name);
    return it == engine.tables.database.tables.end() ? nullptr : &it->second;
}

// ------------------------------------------------------------ the page store

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

    std::vector<uint64_t> insert(const std::string& table, const std::vector<Row>& rows) {
        auto ids = store.insert_rows(table, rows);
        EXPECT_TRUE(ids) << ids.error().message;
        return ids ? *ids : std::vector<uint64_t>{};
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

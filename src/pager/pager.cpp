// Page file, header page and page cache.
//
// Page file: pages of 4096 bytes at offset page × 4096. With checksums on
// (version 2), bytes 4092..4096 of every page in the page file hold the CRC-32
// (zlib's crc32) of bytes 0..4092, little-endian; the CRC is written when a
// page goes into the page file and checked when it is read from it. Pages in
// the cache and in the log carry whatever those four bytes last held.
//
// Header page (page 0), little-endian:
//   offset size field
//   0      4    magic "KRVP"
//   4      2    version: 2 (1 = no checksums, read only)
//   6      4    page size: 4096
//   10     8    page count, page 0 included
//   18     8    head of the free-page list (0 = empty)
//   26     8    page number of the catalog tree's root (0 = none)
//   34     4058 zero
//   4092   4    CRC-32 of bytes 0..4092 (version 2)
//
// Free page:
//   0      8    next free page (0 ends the list)
//   8      4088 zero
//
// Cache: a hash map of stable heap entries plus an intrusive list in access
// order. The victim is the least recently used unpinned entry, found from the
// list head in O(1) (skipping the few pinned ones).
#include "pager/pager.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "pager/frame_hash.h"
#include "pager/le_bytes.h"
#include "pager/log_ahead.h"

namespace zembrel {

namespace {

constexpr std::size_t kMaxSpareEntries = 64;

std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// Checks the CRC of a page read from a page file.
Status verify_crc(const std::uint8_t* page) {
    std::uint32_t stored = le::get32(page + kPageSize - 4);
    std::uint32_t computed = page_crc(page);
    if (stored != computed)
        return storage_error("page checksum mismatch (stored " + hex32(stored) + ", computed " + hex32(computed) + ")");
    return {};
}

// True when `page` starts before `file_len` (the page lies at least partly in the file).
bool page_in_file(std::uint64_t page, std::uint64_t file_len) { return page < (file_len / kPageSize) + (file_len % kPageSize != 0); }

}  // namespace

std::uint32_t page_crc(const std::uint8_t* page) {
    return static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), page, static_cast<uInt>(kPageSize - 4)));
}

std::string wal_path_for(const std::string& page_file_path) { return page_file_path + ".pwal"; }

bool is_zero_page(std::span<const std::uint8_t, kPageSize> page) {
    return std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; });
}

// ---- PageRef ---------------------------------------------------------------

PageRef& PageRef::operator=(PageRef&& other) noexcept {
    if (this != &other) {
        release();
        pager_ = other.pager_;
        entry_ = other.entry_;
        other.pager_ = nullptr;
        other.entry_ = nullptr;
    }
    return *this;
}

std::uint8_t* PageRef::mutable_data() {
    pager_->mark_dirty(entry_);
    return entry_->data.data();
}

void PageRef::release() {
    if (entry_ != nullptr) {
        pager_->unpin(entry_);
        entry_ = nullptr;
        pager_ = nullptr;
    }
}

// ---- construction and release ----------------------------------------------

Pager::Pager(std::shared_ptr<Vfs> vfs, std::string path, std::unique_ptr<VfsFile> file)
    : path_(std::move(path)),
      file_(std::move(file)),
      vfs_(std::move(vfs)),
      readers_(std::make_shared<ReadersCounter>(0)) {}

Pager::~Pager() {
    ZEMBREL_INVARIANT(live_pins_ == 0, "pager released while pages are pinned");
    finish_log_ahead();
    if (!skip_close_checkpoint_) {
        // Closing never saves: what was not committed is dropped first.
        (void)rollback();
        (void)checkpoint();
    }
}

std::unique_ptr<Pager> Pager::over_snapshot(std::shared_ptr<const PagerSnapshot> snapshot, std::size_t cache_pages) {
    std::unique_ptr<Pager> pager(new Pager(nullptr, std::string(), nullptr));
    pager->skip_close_checkpoint_ = true;  // nothing of it is ever written
    pager->page_count_ = snapshot->page_count();
    pager->catalog_root_ = snapshot->catalog_root();
    pager->checksums_enabled_ = snapshot->checksums_enabled();
    pager->remember_commit_state();
    pager->set_cache_capacity(cache_pages);
    pager->snapshot_ = std::move(snapshot);
    return pager;
}

void Pager::remember_commit_state() {
    committed_page_count_ = page_count_;
    committed_free_list_head_ = free_list_head_;
    committed_catalog_root_ = catalog_root_;
}

namespace {

struct HeaderFields {
    std::uint16_t version = 0;
    std::uint64_t page_count = 0;
    std::uint64_t free_list_head = 0;
    std::uint64_t catalog_root = 0;
};

// The one reader of a header page image, wherever it comes from (the page
// file, the log's copy of page 0, a snapshot). None: the magic is missing.
// Errors: "unsupported page file version: {}", "unsupported page size: {}".
Result<std::optional<HeaderFields>> decode_header(const PageBuf& page) {
    if (std::memcmp(page.data(), "KRVP", 4) != 0) return std::nullopt;
    HeaderFields h;
    h.version = le::get16(page.data() + 4);
    if (h.version != 1 && h.version != 2)
        return storage_error("unsupported page file version: " + std::to_string(h.version));
    std::uint32_t page_size = le::get32(page.data() + 6);
    if (page_size != kPageSize) return storage_error("unsupported page size: " + std::to_string(page_size));
    h.page_count = le::get64(page.data() + 10);
    h.free_list_head = le::get64(page.data() + 18);
    h.catalog_root = le::get64(page.data() + 26);
    return h;
}

}  // namespace

void Pager::build_header(PageBuf& out) const { build_header(out, page_count_, free_list_head_, catalog_root_); }

void Pager::build_header(PageBuf& out, std::uint64_t page_count, std::uint64_t free_list_head,
                         std::uint64_t catalog_root) const {
    out.fill(0);
    std::memcpy(out.data(), "KRVP", 4);
    le::put16(out.data() + 4, version_);
    le::put32(out.data() + 6, static_cast<std::uint32_t>(kPageSize));
    le::put64(out.data() + 10, page_count);
    le::put64(out.data() + 18, free_list_head);
    le::put64(out.data() + 26, catalog_root);
}

Result<std::unique_ptr<Pager>> Pager::create(std::shared_ptr<Vfs> vfs, std::string path, SyncMode sync_mode) {
    return create_file(std::move(vfs), std::move(path), sync_mode, false);
}

// The page cache of a private file. An in-memory database keeps its rows in
// memory anyway; a cache that holds its pages too spares a statement that
// touches most leaves of a large table the round trips of evicted pages
// through the backing file (and the log they go to when evicted dirty).
constexpr std::size_t kPrivateCacheCapacity = 65536;

Result<std::unique_ptr<Pager>> Pager::create_private(std::shared_ptr<Vfs> vfs, std::string path) {
    auto pager = create_file(std::move(vfs), std::move(path), kSyncNone, true);
    if (pager) (*pager)->set_cache_capacity(kPrivateCacheCapacity);
    return pager;
}

Result<std::unique_ptr<Pager>> Pager::create_file(std::shared_ptr<Vfs> vfs, std::string path, SyncMode sync_mode,
                                                  bool private_file) {
    // A private file has no name from the start: nothing of it outlives
    // the process, however that ends.
    auto file = private_file ? vfs->create_unnamed(path) : vfs->create_new(path);
    if (!file) return std::unexpected(file.error());
    std::unique_ptr<Pager> pager(new Pager(vfs, path, std::move(*file)));
    pager->sync_mode_ = sync_mode;
    pager->private_file_ = private_file;

    auto build = [&]() -> Status {
        if (auto st = pager->write_first_header(); !st) return st;
        return pager->commit_empty_catalog();
    };
    if (auto st = build(); !st) {
        // A half-made database must not be found by a later open.
        pager->abandon_made_log();
        pager.reset();
        if (!private_file) (void)vfs->remove(path);
        return std::unexpected(st.error());
    }
    return pager;
}

void Pager::abandon_made_log() {
    (void)rollback();
    skip_close_checkpoint_ = true;
    finish_log_ahead();
    const bool made_log = wal_ != nullptr;
    wal_.reset();
    if (made_log && !private_file_) (void)vfs_->remove(wal_path());
}

Status Pager::write_first_header() {
    version_ = 2;
    checksums_enabled_ = true;
    page_count_ = 1;
    free_list_head_ = 0;
    catalog_root_ = 0;
    remember_commit_state();
    PageBuf header;
    build_header(header);
    if (auto st = write_page_to_file(0, header); !st) return st;
    if (auto st = file_->sync(sync_mode_); !st) return st;
    if (sync_mode_ != kSyncNone) vfs_->sync_dir(path_);
    return {};
}

Status Pager::commit_empty_catalog() {
    auto leaf = allocate_page();
    if (!leaf) return std::unexpected(leaf.error());
    {
        auto ref = read_page(*leaf);
        if (!ref) return std::unexpected(ref.error());
        ref->mutable_data()[0] = 1;  // an empty B+tree leaf: type 1, no cells, no next leaf
    }
    set_catalog_root(*leaf);
    return commit();
}

Result<std::unique_ptr<Pager>> Pager::open(std::shared_ptr<Vfs> vfs, std::string path) {
    auto file = vfs->open(path);
    if (!file) return std::unexpected(file.error());
    auto len = (*file)->len();
    if (!len) return std::unexpected(len.error());

    std::unique_ptr<Pager> pager(new Pager(vfs, path, std::move(*file)));
    // Until the open succeeds, releasing the pager must not touch the files:
    // its closing checkpoint would delete a log that could not be read.
    pager->skip_close_checkpoint_ = true;
    bool header_found = false;
    // The exact state `create` leaves before its first commit: one header page
    // with a valid CRC, no pages, no catalog. A process killed there left a
    // database that never held anything; the open finishes the creation.
    bool unfinished_create = false;
    // The file is one page long and every byte of it is zero.
    bool zero_page = false;
    pager->version_ = 1;
    pager->page_count_ = 1;
    pager->free_list_head_ = 0;
    pager->catalog_root_ = 0;
    if (*len >= kPageSize) {
        PageBuf header;
        // An unreadable header page counts as no header; the log may still hold one.
        Result<std::optional<HeaderFields>> fields = std::optional<HeaderFields>();
        if (pager->file_->read_at(header, 0)) {
            fields = decode_header(header);
            zero_page = *len == kPageSize && is_zero_page(header);
        }
        if (!fields) return std::unexpected(fields.error());
        if (*fields && (*fields)->page_count != 0) {
            const HeaderFields& h = **fields;
            header_found = true;
            pager->version_ = h.version;
            pager->page_count_ = h.page_count;
            pager->free_list_head_ = h.free_list_head;
            pager->catalog_root_ = h.catalog_root;
            unfinished_create = *len == kPageSize && h.version == 2 && h.page_count == 1 && h.free_list_head == 0 &&
                                h.catalog_root == 0 &&
                                le::get32(header.data() + kPageSize - 4) == page_crc(header.data());
        }
    }
    pager->checksums_enabled_ = pager->version_ > 1;
    pager->remember_commit_state();

    if (auto st = pager->replay_wal(); !st) return std::unexpected(st.error());
    if (!pager->wal_index_.empty()) {
        auto it = pager->wal_index_.find(0);
        if (it != pager->wal_index_.end()) {
            PageBuf copy;
            if (auto st = pager->read_wal_page(it->second, copy); !st) return std::unexpected(st.error());
            auto fields = decode_header(copy);
            if (!fields) return std::unexpected(fields.error());
            if (*fields) {
                const HeaderFields& h = **fields;
                header_found = true;
                unfinished_create = false;
                pager->version_ = h.version;
                pager->page_count_ = h.page_count;
                pager->free_list_head_ = h.free_list_head;
                pager->catalog_root_ = h.catalog_root;
                pager->checksums_enabled_ = pager->version_ > 1;
                pager->remember_commit_state();
            }
        }
    }
    // Nothing was ever written here: a create killed before its first page,
    // a file made empty for a database to go in (mkstemp), or a first page
    // that a power cut lost after the file had grown to hold it. Nothing of
    // value can be in it (a database's first page always starts with its
    // magic), and left as it is the name would never open again: it is made
    // now, under the same lock a create holds.
    const std::uint64_t found_len = *len;
    const bool making = !header_found && pager->wal_index_.empty() && (found_len == 0 || zero_page);
    // A failed making leaves the file as it was found, for the next open to
    // make again: neither part of a page (no database at all) nor a header
    // without its catalog (a database this open could not finish).
    const auto unmake = [&](EngineError error) -> Result<std::unique_ptr<Pager>> {
        pager->abandon_made_log();
        (void)pager->file_->set_len(0);
        if (found_len != 0) (void)pager->file_->set_len(found_len);
        return std::unexpected(std::move(error));
    };
    if (making) {
        if (auto st = pager->write_first_header(); !st) return unmake(st.error());
        header_found = true;
        unfinished_create = true;
        *len = kPageSize;
    }
    if (!header_found) return storage_error("not a KRVP page file");
    // The page count never shrinks in a commit, so every committed page lies
    // below it, and every page below it was committed: it is in the file or in
    // the log. Anything else comes from damage; believed, it would let the
    // checkpoint grow the file to it and make every loop bounded by the page
    // count (tree descents, leaf chains) practically endless.
    const std::uint64_t file_pages = *len / kPageSize;
    std::uint64_t held = file_pages;
    for (const auto& entry : pager->wal_index_) {
        if (entry.first >= pager->page_count_)
            return storage_error("WAL frame of page " + std::to_string(entry.first) + " is past the page count " +
                                 std::to_string(pager->page_count_));
        if (entry.first >= file_pages) ++held;
    }
    if (pager->page_count_ > held)
        return storage_error("page count " + std::to_string(pager->page_count_) + " exceeds the " +
                             std::to_string(held) + " pages of the page file and its log");
    if (!pager->wal_index_.empty()) {
        if (auto st = pager->checkpoint(); !st) return std::unexpected(st.error());
    }
    if (pager->catalog_root_ == 0) {
        if (!unfinished_create) return storage_error("page file has no catalog");
        if (auto st = pager->commit_empty_catalog(); !st) {
            if (making) return unmake(st.error());
            return std::unexpected(st.error());
        }
    }
    pager->skip_close_checkpoint_ = false;
    return pager;
}

// ---- cache -----------------------------------------------------------------

void Pager::lru_unlink(CachedPage* e) {
    if (e->lru_prev != nullptr) e->lru_prev->lru_next = e->lru_next;
    else lru_head_ = e->lru_next;
    if (e->lru_next != nullptr) e->lru_next->lru_prev = e->lru_prev;
    else lru_tail_ = e->lru_prev;
    e->lru_prev = e->lru_next = nullptr;
}

void Pager::lru_push_back(CachedPage* e) {
    e->lru_prev = lru_tail_;
    e->lru_next = nullptr;
    if (lru_tail_ != nullptr) lru_tail_->lru_next = e;
    else lru_head_ = e;
    lru_tail_ = e;
}

void Pager::touch(CachedPage* e) {
    if (e != lru_tail_) {
        lru_unlink(e);
        lru_push_back(e);
    }
}

void Pager::mark_dirty(CachedPage* e) {
    ++change_count_;
    if (!e->dirty) {
        if (private_file_) keep_before_image(*e);
        e->dirty = true;
        dirty_.insert(e->page);
    }
}

void Pager::unpin(CachedPage* e) {
    --e->pins;
    --live_pins_;
}

void Pager::drop_entry(CachedPage* e) {
    ZEMBREL_INVARIANT(e->pins == 0, "pinned page dropped from the cache");
    if (e->dirty) dirty_.erase(e->page);
    lru_unlink(e);
    auto it = cache_.find(e->page);
    std::unique_ptr<CachedPage> node = std::move(it->second);
    cache_.erase(it);
    if (spare_.size() < kMaxSpareEntries) spare_.push_back(std::move(node));
}

Result<bool> Pager::evict_one() {
    CachedPage* victim = lru_head_;
    while (victim != nullptr && victim->pins != 0) victim = victim->lru_next;
    if (victim == nullptr) return false;
    if (victim->dirty && read_only()) return execution_error(kReadOnlyPagerRefusal);
    if (victim->dirty) {
        // A dirty victim goes to the log as an uncommitted frame; if that
        // fails it stays cached and dirty, so nothing is lost.
        if (auto st = spill_dirty(victim); !st) return std::unexpected(st.error());
    } else if (victim->unwritten) {
        // A private file's committed page that only the cache holds goes
        // into the page file; on failure it stays cached.
        if (auto st = write_page_to_file(victim->page, victim->data); !st) return std::unexpected(st.error());
        wal_index_.erase(victim->page);  // an older committed copy
    }
    drop_entry(victim);
    return true;
}

Status Pager::spill_dirty(CachedPage* victim) {
    // A statement that changes more pages than the cache holds evicts dirty
    // pages one after another: those next in line go out with the victim, in
    // one write instead of one system call each, and in page order, so that
    // the checkpoint reads consecutive pages back from consecutive frames.
    // The scan is bounded so that a cache of mostly clean pages costs little.
    constexpr std::size_t kSpillBatch = 64;
    constexpr std::size_t kSpillScan = 4 * kSpillBatch;
    std::vector<CachedPage*> batch{victim};
    std::size_t scanned = 0;
    for (CachedPage* e = victim->lru_next; e != nullptr && batch.size() < kSpillBatch && scanned < kSpillScan;
         e = e->lru_next, ++scanned) {
        if (e->dirty && e->pins == 0) batch.push_back(e);
    }
    std::sort(batch.begin(), batch.end(), [](const CachedPage* a, const CachedPage* b) { return a->page < b->page; });
    if (auto st = prepare_append(); !st) return st;
    return append_uncommitted_frames(batch);
}

Result<Pager::CachedPage*> Pager::cache_insert(std::uint64_t page, const PageBuf& bytes, bool dirty) {
    if (auto it = cache_.find(page); it != cache_.end()) drop_entry(it->second.get());
    while (cache_.size() >= cache_capacity_) {
        auto evicted = evict_one();
        if (!evicted) return std::unexpected(evicted.error());
        if (!*evicted) break;  // everything is pinned: grow past the capacity
    }
    CachedPage* e = new_entry(page, bytes);
    if (dirty) mark_dirty(e);
    return e;
}

Pager::CachedPage* Pager::new_entry(std::uint64_t page, const PageBuf& bytes) {
    if (auto it = cache_.find(page); it != cache_.end()) drop_entry(it->second.get());
    std::unique_ptr<CachedPage> node;
    if (!spare_.empty()) {
        node = std::move(spare_.back());
        spare_.pop_back();
    } else {
        node = std::make_unique<CachedPage>();
    }
    CachedPage* e = node.get();
    e->data = bytes;
    e->page = page;
    e->pins = 0;
    e->dirty = false;
    e->unwritten = false;
    cache_.emplace(page, std::move(node));
    lru_push_back(e);
    return e;
}

Result<Pager::CachedPage*> Pager::fetch(std::uint64_t page) {
    if (page >= page_count_)
        return storage_error("page " + std::to_string(page) + " out of bounds (page count " + std::to_string(page_count_) + ")");
    if (auto it = cache_.find(page); it != cache_.end()) {
        touch(it->second.get());
        return it->second.get();
    }
    ++cache_misses_;
    PageBuf buf{};
    if (read_only()) {
        if (auto st = snapshot_->read_page_into(page, buf); !st) return std::unexpected(st.error());
        return cache_insert(page, buf, false);
    }
    const std::uint64_t* log_offset = nullptr;
    if (auto it = pending_wal_.find(page); it != pending_wal_.end()) log_offset = &it->second;
    else if (auto jt = wal_index_.find(page); jt != wal_index_.end()) log_offset = &jt->second;
    if (log_offset != nullptr) {
        if (auto st = read_wal_page(*log_offset, buf); !st) return std::unexpected(st.error());
    } else {
        auto len = page_file_len();
        if (!len) return std::unexpected(len.error());
        if (page_in_file(page, *len)) {
            if (auto st = file_->read_at(buf, page * kPageSize); !st)
                return storage_error("page " + std::to_string(page) + " read failed: " + st.error().message);
            if (crc_in_file()) {
                if (auto st = verify_crc(buf.data()); !st) return std::unexpected(st.error());
            }
        }
    }
    return cache_insert(page, buf, false);
}

Result<std::uint64_t> Pager::page_file_len() {
    if (!file_len_) {
        auto len = file_->len();
        if (!len) return std::unexpected(len.error());
        file_len_ = *len;
    }
    return *file_len_;
}

Status Pager::write_page_to_file(std::uint64_t page, const PageBuf& bytes) {
    if (page > kMaxFilePage)  // a page number from damaged bytes must not wrap the offset
        return storage_error("page " + std::to_string(page) + " write failed: write failed: " + os_error_text(EFBIG));
    PageBuf copy = bytes;
    if (crc_in_file()) le::put32(copy.data() + kPageSize - 4, page_crc(copy.data()));
    file_len_.reset();
    if (auto st = file_->write_at(copy, page * kPageSize); !st)
        return storage_error("page " + std::to_string(page) + " write failed: " + st.error().message);
    return {};
}

// ---- pages -----------------------------------------------------------------

Result<PageRef> Pager::read_page(std::uint64_t page) {
    auto e = fetch(page);
    if (!e) return std::unexpected(e.error());
    ++(*e)->pins;
    ++live_pins_;
    return PageRef(this, *e);
}

Status Pager::read_page_into(std::uint64_t page, std::span<std::uint8_t, kPageSize> out) {
    auto e = fetch(page);
    if (!e) return std::unexpected(e.error());
    std::memcpy(out.data(), (*e)->data.data(), kPageSize);
    return {};
}

std::size_t Pager::read_pages_ahead(std::uint64_t first, std::span<std::uint8_t> out) {
    std::array<bool, 64> check_small{};
    const std::size_t pages = out.size() / kPageSize;
    std::unique_ptr<bool[]> check_many;
    std::span<bool> check(check_small.data(), std::min(pages, check_small.size()));
    if (pages > check_small.size()) {
        check_many = std::make_unique<bool[]>(pages);
        check = std::span<bool>(check_many.get(), pages);
    }
    const std::size_t read = read_pages_ahead_unchecked(first, out, check);
    for (std::size_t k = 0; k < read; ++k)
        if (check[k] && !page_checksum_ok(out.data() + k * kPageSize)) return k;
    return read;
}

bool Pager::page_checksum_ok(const std::uint8_t* page) {
    return le::get32(page + kPageSize - 4) == page_crc(page);
}

std::optional<Pager::PageFileReads> Pager::page_file_reads() {
    if (read_only()) return std::nullopt;
    auto len = page_file_len();
    if (!len) return std::nullopt;
    PageFileReads reads;
    reads.pages = std::min<std::uint64_t>(page_count_, *len / kPageSize);
    reads.checksums = crc_in_file();
    reads.held.reserve(cache_.size() + pending_wal_.size() + wal_index_.size());
    for (const auto& entry : cache_) reads.held.push_back(entry.first);
    for (const auto& entry : pending_wal_) reads.held.push_back(entry.first);
    for (const auto& entry : wal_index_) reads.held.push_back(entry.first);
    std::sort(reads.held.begin(), reads.held.end());
    reads.held.erase(std::unique(reads.held.begin(), reads.held.end()), reads.held.end());
    return reads;
}

Result<std::unique_ptr<VfsFile>> Pager::open_page_file_reader() const {
    // A private file has no name to open it by.
    if (private_file_) return file_->duplicate();
    return vfs_->open_read_only(path_);
}

std::size_t Pager::read_pages_ahead_unchecked(std::uint64_t first, std::span<std::uint8_t> out,
                                              std::span<bool> check) {
    if (first >= page_count_) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() / kPageSize, page_count_ - first));
    if (read_only()) {
        for (std::size_t k = 0; k < want; ++k) {
            const std::span<std::uint8_t, kPageSize> slot(out.data() + k * kPageSize, kPageSize);
            check[k] = false;  // the snapshot checks what it reads
            if (auto it = cache_.find(first + k); it != cache_.end()) std::memcpy(slot.data(), it->second->data.data(), kPageSize);
            else if (!snapshot_->read_page_into(first + k, slot)) return k;
        }
        return want;
    }
    auto len = page_file_len();
    if (!len) return 0;
    // Only whole pages of the file; the rest is read alone, as fetch does.
    const std::uint64_t in_file = *len / kPageSize > first ? *len / kPageSize - first : 0;
    const std::size_t from_file = static_cast<std::size_t>(std::min<std::uint64_t>(want, in_file));
    if (from_file > 0 && !file_->read_at(out.first(from_file * kPageSize), first * kPageSize)) return 0;
    for (std::size_t k = 0; k < want; ++k) {
        const std::uint64_t page = first + k;
        const std::span<std::uint8_t, kPageSize> slot(out.data() + k * kPageSize, kPageSize);
        check[k] = false;
        if (auto it = cache_.find(page); it != cache_.end()) {
            std::memcpy(slot.data(), it->second->data.data(), kPageSize);
            continue;
        }
        const std::uint64_t* log_offset = nullptr;
        if (auto it = pending_wal_.find(page); it != pending_wal_.end()) log_offset = &it->second;
        else if (auto jt = wal_index_.find(page); jt != wal_index_.end()) log_offset = &jt->second;
        if (log_offset != nullptr) {
            if (!read_wal_page(*log_offset, slot)) return k;
            continue;
        }
        if (k >= from_file) return k;
        check[k] = crc_in_file();
    }
    return want;
}

Status Pager::write_page(std::uint64_t page, std::span<const std::uint8_t, kPageSize> bytes) {
    if (read_only()) return execution_error(kReadOnlyPagerRefusal);
    auto e = fetch(page);
    if (!e) return std::unexpected(e.error());
    mark_dirty(*e);  // first: a private pager keeps the bytes it replaces
    std::memcpy((*e)->data.data(), bytes.data(), kPageSize);
    return {};
}

Result<std::uint64_t> Pager::allocate_page() {
    if (read_only()) return execution_error(kReadOnlyPagerRefusal);
    if (free_list_head_ != 0) {
        const std::uint64_t page = free_list_head_;
        if (page >= page_count_)
            return storage_error("free-list head " + std::to_string(page) + " out of bounds (page count " +
                                 std::to_string(page_count_) + ")");
        auto e = fetch(page);
        if (!e) return std::unexpected(e.error());
        // Damaged bytes must not make the list hand a page out twice: a free
        // page is zero past its link, and its link leads to a page that is
        // neither itself nor one already handed out since the last commit
        // (a loop). Nothing changes when the check fails.
        const std::uint8_t* bytes = (*e)->data.data();
        if (std::any_of(bytes + 8, bytes + kPageSize - 4, [](std::uint8_t b) { return b != 0; }))
            return storage_error("free-list page " + std::to_string(page) + " is not a free page");
        const std::uint64_t next = le::get64(bytes);
        if (next != 0 && (next >= page_count_ || next == page || free_taken_.contains(next)))
            return storage_error("free-list page " + std::to_string(page) + " links to invalid page " + std::to_string(next));
        free_taken_.insert(page);
        free_list_head_ = next;
        header_dirty_ = true;
        mark_dirty(*e);
        (*e)->data.fill(0);
        return page;
    }
    const std::uint64_t page = page_count_;
    ++page_count_;
    mark_header_dirty();
    static const PageBuf kZero{};
    auto e = cache_insert(page, kZero, true);
    if (!e) {
        --page_count_;
        return std::unexpected(e.error());
    }
    return page;
}

Status Pager::free_page(std::uint64_t page) {
    if (read_only()) return execution_error(kReadOnlyPagerRefusal);
    if (page == 0 || page >= page_count_) return storage_error("cannot free invalid page " + std::to_string(page));
    // Freeing the head again would make it link to itself.
    if (page == free_list_head_) return storage_error("page " + std::to_string(page) + " is already free");
    auto e = fetch(page);
    if (!e) return std::unexpected(e.error());
    mark_dirty(*e);
    (*e)->data.fill(0);
    le::put64((*e)->data.data(), free_list_head_);
    free_list_head_ = page;
    mark_header_dirty();
    free_taken_.erase(page);
    return {};
}

// ---- rollback --------------------------------------------------------------

Status Pager::rollback() {
    ZEMBREL_INVARIANT(live_pins_ == 0, "pager rollback while pages are pinned");
    // Entries that hold uncommitted bytes: dirty ones, and clean ones that were
    // read back from an uncommitted (evicted) frame.
    std::vector<std::uint64_t> drop(dirty_.begin(), dirty_.end());
    for (const auto& [page, off] : pending_wal_) drop.push_back(page);
    for (std::uint64_t page : drop) {
        if (auto it = cache_.find(page); it != cache_.end()) drop_entry(it->second.get());
    }
    dirty_.clear();
    pending_wal_.clear();
    free_taken_.clear();
    restore_before_images();
    page_count_ = committed_page_count_;
    free_list_head_ = committed_free_list_head_;
    catalog_root_ = committed_catalog_root_;
    header_dirty_ = false;

    if (wal_ == nullptr) return {};
    if (wal_index_.empty()) {
        // Nothing committed lives in this log: it held only evicted frames.
        reset_wal();
        return {};
    }
    if (wal_len_ == wal_commit_len_ && !wal_tail_uncut_) return {};
    wal_len_ = wal_commit_len_;
    // The cut is flushed too: a commit whose log flush failed may already have
    // its commit frame on disk, and a crash must not replay it after it was
    // reported failed and rolled back.
    Status cut = wal_->set_len(wal_commit_len_);
    if (cut) {
        if (auto synced = wal_->sync(sync_mode_); !synced)
            cut = storage_error("WAL fsync failed: " + synced.error().message);
    }
    if (!cut) {
        // Appends stay blocked until the cut succeeds, so stale frames can
        // never end up in front of a later commit frame.
        wal_tail_uncut_ = true;
        return cut;
    }
    wal_tail_uncut_ = false;
    return {};
}

// ---- snapshots -------------------------------------------------------------

PagerSnapshot::~PagerSnapshot() {
    if (readers_ != nullptr) readers_->fetch_sub(1, std::memory_order_seq_cst);
}

Result<std::unique_ptr<PagerSnapshot>> Pager::snapshot() {
    if (read_only()) return execution_error(kReadOnlyPagerRefusal);
    // A snapshot reads the page file: the committed pages only the cache
    // holds go there first.
    if (auto st = write_unwritten(); !st) return std::unexpected(st.error());
    std::unique_ptr<PagerSnapshot> snap(new PagerSnapshot());
    readers_->fetch_add(1, std::memory_order_seq_cst);
    snap->readers_ = readers_;  // from here on, releasing `snap` lowers the counter
    snap->wal_index_ = std::make_shared<const WalIndex>(wal_index_);
    snap->checksums_ = checksums_enabled_;
    snap->verify_crc_ = crc_in_file();
    auto file = open_page_file_reader();
    if (!file) return std::unexpected(file.error());
    snap->file_ = std::move(*file);
    if (!snap->wal_index_->empty()) {
        const std::string log = wal_path();
        if (private_file_ ? wal_ == nullptr : !vfs_->exists(log))
            return storage_error("WAL file '" + log + "' missing while " + std::to_string(snap->wal_index_->size()) +
                                 " committed frame(s) are indexed \u2014 another process touched this database; reopen it to recover");
        auto wal = private_file_ ? wal_->duplicate() : vfs_->open_read_only(log);
        if (!wal) return std::unexpected(wal.error());
        snap->wal_ = std::move(*wal);
    }
    auto header = snap->read_page(0);
    if (!header) return std::unexpected(header.error());
    auto fields = decode_header(*header);
    if (!fields) return std::unexpected(fields.error());
    if (!*fields) return storage_error("snapshot header corrupt");
    snap->page_count_ = (*fields)->page_count;
    snap->catalog_root_ = (*fields)->catalog_root;
    return snap;
}

Status PagerSnapshot::read_page_into(std::uint64_t page, std::span<std::uint8_t, kPageSize> out) const {
    if (page >= page_count_)
        return storage_error("page " + std::to_string(page) + " out of bounds (snapshot page count " + std::to_string(page_count_) + ")");
    if (auto it = wal_index_->find(page); it != wal_index_->end()) {
        if (auto st = wal_->read_at(out, it->second); !st) return storage_error("snapshot WAL read failed: " + st.error().message);
        return {};
    }
    auto len = file_->len();
    if (!len) return std::unexpected(len.error());
    if (!page_in_file(page, *len)) {
        std::memset(out.data(), 0, kPageSize);
        return {};
    }
    if (auto st = file_->read_at(out, page * kPageSize); !st) return storage_error("snapshot read failed: " + st.error().message);
    if (verify_crc_) return verify_crc(out.data());
    return {};
}

Result<PageBuf> PagerSnapshot::read_page(std::uint64_t page) const {
    PageBuf buf;
    if (auto st = read_page_into(page, buf); !st) return std::unexpected(st.error());
    return buf;
}

}  // namespace zembrel

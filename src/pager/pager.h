// interface: stable
//
// The pager owns one page file of 4096-byte pages (page 0 is the header page),
// hands pages out through a bounded page cache, allocates and frees pages via
// a free-page list kept in the file, and makes changes durable through the
// write-ahead log (wal.cpp) and the checkpoint. On-disk formats are documented
// at the top of pager.cpp (header page, free page, CRC) and wal.cpp (log).
//
// Page access: `read_page` returns a `PageRef`, a pinned handle. While a
// PageRef lives its page cannot be evicted, so its bytes stay valid across any
// further pager calls (reads, allocations, commits). Pins are cheap; drop them
// when done (a B+tree operation keeps a handful at most). If every cached page
// is pinned the cache grows past its capacity rather than evict a pinned page.
//   auto ref = pager.read_page(n);           // Result<PageRef>
//   if (!ref) return std::unexpected(ref.error());
//   const std::uint8_t* p = ref->data();      // read
//   std::uint8_t* w = ref->mutable_data();    // marks the page dirty, write in place
// The copy-in/copy-out calls `read_page_into` and `write_page` need no handle.
//
// Contracts: a PageRef must not outlive its Pager; `rollback` and the
// destructor require that no PageRef is alive (a violation ends the process).
// Threads: a Pager is used by one thread at a time. Only the `readers` counter
// is shared with snapshots on other threads. A PagerSnapshot is used by one
// thread and needs no lock; it may outlive neither the files it reads nor the
// process's use of its Vfs, but it may outlive its Pager.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pager/vfs.h"
#include "types/error.h"

namespace zembrel {

inline constexpr std::size_t kPageSize = 4096;
// Largest page number whose offset fits a signed 64-bit file offset.
inline constexpr std::uint64_t kMaxFilePage = (static_cast<std::uint64_t>(INT64_MAX) / kPageSize) - 1;
// Pages held by the cache of a pager.
inline constexpr std::size_t kDefaultCacheCapacity = 4096;
// A commit that leaves the log longer than this runs a checkpoint.
inline constexpr std::uint64_t kCheckpointThreshold = 4194304;
// What a read-only pager (Pager::over_snapshot) answers a write with.
inline constexpr const char* kReadOnlyPagerRefusal = "the pages of a read snapshot cannot be written";

using PageBuf = std::array<std::uint8_t, kPageSize>;
// Page number -> offset of the page data of its newest committed copy in the log.
using WalIndex = std::unordered_map<std::uint64_t, std::uint64_t>;
using ReadersCounter = std::atomic<std::uint64_t>;

// CRC-32 (IEEE, reflected; zlib's crc32) of bytes 0..4092 of a page.
std::uint32_t page_crc(const std::uint8_t* page);
// The write-ahead log's path: the page file's path with ".pwal" appended.
std::string wal_path_for(const std::string& page_file_path);
// Every byte of the page is zero: what a power cut can leave of a first
// page the file had grown to hold, never a page a database wrote.
bool is_zero_page(std::span<const std::uint8_t, kPageSize> page);

class Pager;

namespace pager_detail {
class FrameHasher;  // frame_hash.h
struct LogAhead;    // log_ahead.h

// One cache entry. Lives in a stable heap node so that pinned handles stay
// valid while the cache map rehashes.
struct CachedPage {
    alignas(16) PageBuf data;
    std::uint64_t page = 0;
    std::uint32_t pins = 0;
    bool dirty = false;          // changed since last written to the log
    // A private file's committed page whose committed bytes only this entry
    // holds (private_file.cpp).
    bool unwritten = false;
    CachedPage* lru_prev = nullptr;  // towards least recently used
    CachedPage* lru_next = nullptr;  // towards most recently used
};
}  // namespace pager_detail

// A pinned page of the cache. Move-only. Valid until destroyed or moved from.
class PageRef {
public:
    PageRef() = default;
    PageRef(PageRef&& other) noexcept : pager_(other.pager_), entry_(other.entry_) {
        other.pager_ = nullptr;
        other.entry_ = nullptr;
    }
    PageRef& operator=(PageRef&& other) noexcept;
    PageRef(const PageRef&) = delete;
    PageRef& operator=(const PageRef&) = delete;
    ~PageRef() { release(); }

    explicit operator bool() const { return entry_ != nullptr; }
    std::uint64_t page_no() const { return entry_->page; }
    // The page's 4096 bytes, read-only.
    const std::uint8_t* data() const { return entry_->data.data(); }
    std::span<const std::uint8_t, kPageSize> bytes() const { return std::span<const std::uint8_t, kPageSize>(entry_->data); }
    // Marks the page dirty and returns its bytes for writing in place.
    std::uint8_t* mutable_data();
    std::span<std::uint8_t, kPageSize> mutable_bytes() { return std::span<std::uint8_t, kPageSize>(mutable_data(), kPageSize); }
    // Marks the page dirty without touching its bytes.
    void mark_dirty() { (void)mutable_data(); }
    bool is_dirty() const { return entry_->dirty; }
    // Drops the pin early.
    void release();

private:
    friend class Pager;
    PageRef(Pager* pager, pager_detail::CachedPage* entry) : pager_(pager), entry_(entry) {}
    Pager* pager_ = nullptr;
    pager_detail::CachedPage* entry_ = nullptr;
};

class PagerSnapshot;

class Pager {
public:
    // Builds a new page file at `path` (which must not exist): header page,
    // an empty catalog leaf as page 1 (catalog_root 1), committed to a new log.
    // On failure after the file was made, the file and its log are removed.
    // Every flush of this pager uses `sync_mode`; with kSyncNone it flushes
    // neither its files nor their directory (a file no one reopens).
    static Result<std::unique_ptr<Pager>> create(std::shared_ptr<Vfs> vfs, std::string path,
                                                 SyncMode sync_mode = kSyncFull);
    // The same for a private file that no one reopens and no one recovers
    // after a crash (the backing file of an in-memory database). Its commits
    // write nothing (private_file.cpp): committed pages stay in the cache until
    // they are evicted or a snapshot is taken, then go into the page file in
    // place; no digests, no flushes. Neither the file nor its log has a name
    // (Vfs::create_unnamed; `path` names them in messages): its readers get
    // handles on the pager's own (VfsFile::duplicate).
    static Result<std::unique_ptr<Pager>> create_private(std::shared_ptr<Vfs> vfs, std::string path);

    // Opens an existing page file: reads the header page, replays the log,
    // takes the header fields from the log's committed page 0, checkpoints.
    // A file left by a `create` that never reached its first commit (exactly
    // one header page: page count 1, no catalog) gets its empty catalog now,
    // and a file nothing was ever written into, without a log that holds a
    // header, is made as `create` makes one: an empty file (a create killed
    // before its first page, or a file its owner made empty for a database)
    // or one page of zero bytes (a first page lost to a power cut, where the
    // file system grew the file before its data landed). An open that fails
    // while making it leaves that file as it found it, without a log.
    // Errors: the file layer's open error, "unsupported page file version: {}",
    // "unsupported page size: {}", "not a KRVP page file", "page count {}
    // exceeds the {} pages of the page file and its log", "WAL frame of page
    // {} is past the page count {}", "page file has no catalog", and any log
    // or checkpoint error.
    static Result<std::unique_ptr<Pager>> open(std::shared_ptr<Vfs> vfs, std::string path);
    // A read-only pager over a snapshot, for a reader that walks trees the
    // way an engine walks its own: pages come from the snapshot through a
    // cache of `cache_pages` of its own; the header fields are the
    // snapshot's. It keeps the snapshot (and so its hold on checkpoints)
    // alive. `allocate_page`, `free_page`, `write_page`, `commit`,
    // `checkpoint` and `snapshot` fail with Execution
    // kReadOnlyPagerRefusal; a page changed through PageRef::mutable_data
    // is dropped at `rollback` or destruction, never written.
    static std::unique_ptr<Pager> over_snapshot(std::shared_ptr<const PagerSnapshot> snapshot, std::size_t cache_pages);

    // Discards every change since the last commit (closing never saves), then
    // checkpoints what is committed, ignoring the result, and closes the files.
    ~Pager();
    Pager(const Pager&) = delete;
    Pager& operator=(const Pager&) = delete;

    // ---- pages -------------------------------------------------------------
    // The page, pinned. Errors: "page {} out of bounds (page count {})",
    // "page {} read failed: {}", "page checksum mismatch (stored 0x..., computed
    // 0x...)", "WAL read failed: {}", and the log errors of a dirty eviction.
    Result<PageRef> read_page(std::uint64_t page);
    // Copy-out / copy-in forms of the same (write_page marks the page dirty).
    Status read_page_into(std::uint64_t page, std::span<std::uint8_t, kPageSize> out);
    Status write_page(std::uint64_t page, std::span<const std::uint8_t, kPageSize> bytes);
    // Pages first, first + 1, ... as read_page_into gives them, into `out`
    // (a whole number of pages), for a reader passing over many pages once:
    // pages the cache does not hold come from the log or, several in one
    // read, from the page file, and none enters the cache. Returns how many
    // leading pages were read: it stops before a page that read_page_into
    // would fail or read as zeros past the file's end (0 when the file
    // cannot be read); read that page through read_page_into for its outcome.
    std::size_t read_pages_ahead(std::uint64_t first, std::span<std::uint8_t> out);
    // The same, except that the checksums of pages taken from the page file
    // are left to the caller: check[k] (one slot per page of `out`) tells
    // whether page first + k must still pass page_checksum_ok before use, so
    // that reader threads can share that work. A page failing it is one
    // read_page_into would fail.
    std::size_t read_pages_ahead_unchecked(std::uint64_t first, std::span<std::uint8_t> out, std::span<bool> check);
    // Whether a page read from the page file holds the checksum of its
    // bytes. Thread: any (it reads only the bytes given).
    static bool page_checksum_ok(const std::uint8_t* page);
    // For readers on other threads that take committed pages straight from
    // the page file: the leading pages that read so (below the page count,
    // within the file's whole pages), whether their checksums are the
    // reader's to check, and those among them the cache or the log holds a
    // newer copy of (ascending), which only this pager reads right. Each
    // reader thread reads through a handle of its own (open_page_file_reader).
    // True until the pager next changes a page, commits or rolls back.
    struct PageFileReads {
        std::uint64_t pages = 0;
        bool checksums = false;
        std::vector<std::uint64_t> held;
    };
    // None for a read-only pager, or when the file's length cannot be taken.
    std::optional<PageFileReads> page_file_reads();
    // A read-only handle of the page file, for one reader thread; the file
    // layer's open errors.
    Result<std::unique_ptr<VfsFile>> open_page_file_reader() const;
    // A zero-filled, dirty, cached page: the head of the free list, else a new
    // page at the end (page_count grows). Sets header_dirty. A damaged free
    // list fails without a change: "free-list head {} out of bounds (page
    // count {})", "free-list page {} is not a free page", "free-list page {}
    // links to invalid page {}".
    Result<std::uint64_t> allocate_page();
    // Pushes `page` onto the free list: bytes 0..8 take free_list_head, the
    // rest is zeroed, the page is dirty, free_list_head = page, header_dirty.
    // Page 0 or a page not below page_count: "cannot free invalid page {}";
    // the page that heads the free list: "page {} is already free".
    Status free_page(std::uint64_t page);

    // ---- header fields -----------------------------------------------------
    std::uint64_t page_count() const { return page_count_; }
    std::uint64_t free_list_head() const { return free_list_head_; }
    std::uint64_t catalog_root() const { return catalog_root_; }
    // Each setter also sets header_dirty.
    void set_page_count(std::uint64_t v) { page_count_ = v; mark_header_dirty(); }
    void set_free_list_head(std::uint64_t v) { free_list_head_ = v; mark_header_dirty(); }
    void set_catalog_root(std::uint64_t v) { catalog_root_ = v; mark_header_dirty(); }
    bool header_dirty() const { return header_dirty_; }
    void mark_header_dirty() { header_dirty_ = true; ++change_count_; }
    // Grows with every write access to a page or header field, whether or not
    // the page was dirty already: equal counts before and after an operation
    // prove it changed nothing in the cache.
    std::uint64_t change_count() const { return change_count_; }
    std::uint16_t version() const { return version_; }
    bool checksums_enabled() const { return checksums_enabled_; }
    // Pages in the page file carry their CRC: with checksums, except in a
    // private file, which only this process reads back (its pages keep the
    // layout of checksummed pages all the same).
    bool crc_in_file() const { return checksums_enabled_ && !private_file_; }
    // Bytes of a page available to its user: 4092 with checksums, else 4096.
    std::size_t usable_page_size() const { return checksums_enabled_ ? kPageSize - 4 : kPageSize; }

    // ---- durability --------------------------------------------------------
    // Appends every dirty page (ascending) and the header page as the commit
    // frame to the log and flushes it; checkpoints once the log passes 4 MiB.
    // Fails only when the commit did not become durable: a failing checkpoint
    // after it keeps the log and is tried again after the next commit.
    Status commit();
    // Commits, then (unless a snapshot lives) copies the committed pages into
    // the page file, flushes it and deletes the log. (The checkpoint that a
    // commit runs past 4 MiB keeps the log file and empties it for reuse.)
    Status checkpoint();
    // Discards everything since the last commit: dirty and uncommitted cache
    // entries, pending log frames, header fields; cuts the log back to the end
    // of its last commit frame. No PageRef may be alive.
    Status rollback();
    // Closes and deletes the log.
    void reset_wal();
    // The first commit to a file without an open log makes the log, and the
    // flush of its directory entry can take tens of milliseconds. A caller
    // about to change pages and commit starts that making here, on a worker
    // thread, and it overlaps the caller's work (loading a table, running the
    // statement); nothing when the log is open, already being made, the file
    // is private, the pager read-only or flushes are off. `finish_log_ahead` joins the worker: the
    // caller must call it before its own call returns (the destructor and the
    // log's next use join too). The made log is open and empty, as the
    // commit's own making leaves it, its directory entry flushed; a log the
    // worker failed to make is made by the commit as before, which reports
    // its failure. The durability steps and their order are unchanged.
    // Threads: the worker only makes the log file and the frame hasher,
    // through the Vfs, which must then allow calls from a second thread.
    void start_log_ahead();
    void finish_log_ahead();
    // The 4096 bytes at `offset` of the open log ("WAL read failed: {}").
    Status read_wal_page(std::uint64_t offset, std::span<std::uint8_t, kPageSize> out);
    // Rebuilds wal_index from the log on disk (called by `open`).
    Status replay_wal();

    // ---- snapshots ---------------------------------------------------------
    // A read-only view as of the last commit: raises `readers`, copies
    // wal_index, opens the page file (and the log, when the copy is non-empty)
    // read-only and reads the header page through the view. Errors: the file
    // layer's open errors, "WAL file '{}' missing while {} committed frame(s)
    // are indexed — another process touched this database; reopen it to
    // recover", "snapshot header corrupt", and the snapshot's read errors.
    Result<std::unique_ptr<PagerSnapshot>> snapshot();

    // ---- introspection -----------------------------------------------------
    const std::string& path() const { return path_; }
    std::string wal_path() const { return wal_path_for(path_); }
    const std::shared_ptr<Vfs>& vfs() const { return vfs_; }
    const WalIndex& wal_index() const { return wal_index_; }
    std::shared_ptr<ReadersCounter> readers() const { return readers_; }
    std::uint64_t wal_len() const { return wal_len_; }
    bool wal_open() const { return wal_ != nullptr; }
    std::uint64_t cache_misses() const { return cache_misses_; }
    std::size_t cache_size() const { return cache_.size(); }
    std::size_t cache_capacity() const { return cache_capacity_; }
    std::size_t pending_wal_size() const { return pending_wal_.size(); }
    std::size_t dirty_page_count() const { return dirty_.size(); }
    SyncMode sync_mode() const { return sync_mode_; }
    // A private file's pager (create_private).
    bool is_private() const { return private_file_; }
    // A pager over a snapshot (over_snapshot).
    bool read_only() const { return snapshot_ != nullptr; }
    // Smaller caches make eviction paths cheap to exercise in tests.
    void set_cache_capacity(std::size_t pages) { cache_capacity_ = pages == 0 ? 1 : pages; }

private:
    friend class PageRef;
    using CachedPage = pager_detail::CachedPage;

    Pager(std::shared_ptr<Vfs> vfs, std::string path, std::unique_ptr<VfsFile> file);
    static Result<std::unique_ptr<Pager>> create_file(std::shared_ptr<Vfs> vfs, std::string path, SyncMode sync_mode,
                                                      bool private_file);

    // cache (pager.cpp)
    Result<CachedPage*> cache_insert(std::uint64_t page, const PageBuf& bytes, bool dirty);
    Result<bool> evict_one();  // false: every entry is pinned
    // Sends `victim` (dirty, unpinned) to the log together with the next
    // unpinned dirty pages in eviction order, up to kSpillBatch; on success
    // they are clean (their bytes in pending_wal_) and stay cached.
    Status spill_dirty(CachedPage* victim);
    void lru_unlink(CachedPage* e);
    void lru_push_back(CachedPage* e);
    void touch(CachedPage* e);
    void drop_entry(CachedPage* e);
    void mark_dirty(CachedPage* e);
    void unpin(CachedPage* e);
    Result<CachedPage*> fetch(std::uint64_t page);
    Status write_page_to_file(std::uint64_t page, const PageBuf& bytes);
    // The page file's length, asked of the file once after each change the
    // pager makes to it (only this pager writes the file).
    Result<std::uint64_t> page_file_len();
    void build_header(PageBuf& out) const;
    void build_header(PageBuf& out, std::uint64_t page_count, std::uint64_t free_list_head,
                      std::uint64_t catalog_root) const;
    void remember_commit_state();
    // The first steps of `create`, also run by an open that finds an empty
    // file: the header page of a database with no pages and no catalog,
    // written at offset 0 and flushed with its directory entry.
    Status write_first_header();
    // Allocates an empty leaf, makes it the catalog root and commits: the
    // last steps of `create`, also run by an open that finds them undone.
    Status commit_empty_catalog();
    // After a create or the making of a new database by an open failed:
    // drops what was not committed, marks the pager as never opened (its
    // release writes nothing) and removes a log it made (only that: what
    // stands at the log's name otherwise, a link planted there, stays).
    void abandon_made_log();

    // log (wal.cpp)
    Status ensure_wal();
    Status prepare_append();
    // Copies the committed pages into the page file and flushes it; then the
    // log is recycled (`keep_log`) or deleted. Requires a commit just before.
    Status copy_log_into_file(bool keep_log);
    // Empties the open log in place for reuse (see wal.cpp); on failure the
    // caller deletes it instead.
    Status recycle_wal();
    // Fills commit_buf_ with an uncommitted frame of each of `entries`, room
    // for `extra_frames` more after them, and the end mark.
    void frame_pages(std::span<CachedPage* const> entries, std::size_t extra_frames);
    // Appends uncommitted frames of `entries` (ascending pages) to the log in
    // one write and records them in pending_wal_; the entries become clean.
    // On failure nothing changes but the bytes past the log's end.
    Status append_uncommitted_frames(std::span<CachedPage* const> entries);
    // The commit through the log (wal.cpp).
    Status commit_to_log();

    // Commits of a private file (private_file.cpp).
    Status commit_in_cache();
    // Keeps the committed bytes of a page about to change whose committed
    // bytes are nowhere but in its cache entry.
    void keep_before_image(CachedPage& e);
    void forget_before_images();
    // Puts the kept committed bytes back into the cache (rollback).
    void restore_before_images();
    // Writes the unwritten pages, the committed bytes kept in `before_` and
    // the committed header into the page file (before a snapshot reads it).
    Status write_unwritten();
    // A clean entry for `page`, made without evicting (the cache may grow
    // past its capacity until the next insertion).
    CachedPage* new_entry(std::uint64_t page, const PageBuf& bytes);
    // Zero bytes written after the last frame of every log write (wal.cpp).
    std::size_t end_mark_size() const;
    // The digests of log frames; none for a private file, whose log is never replayed.
    // Made on first use (or by the worker of start_log_ahead): only a log
    // replay or a commit needs it, and making it costs milliseconds.
    pager_detail::FrameHasher* frame_hasher();
    // Takes the log made by `make_log_file` as the open, empty log.
    void adopt_log(std::unique_ptr<VfsFile> log);

    std::string path_;
    std::unique_ptr<VfsFile> file_;
    std::optional<std::uint64_t> file_len_;  // page_file_len's answer until the next write
    std::shared_ptr<Vfs> vfs_;
    std::unordered_map<std::uint64_t, std::unique_ptr<CachedPage>> cache_;
    CachedPage* lru_head_ = nullptr;  // least recently used
    CachedPage* lru_tail_ = nullptr;  // most recently used
    std::vector<std::unique_ptr<CachedPage>> spare_;  // recycled entries
    std::unordered_set<std::uint64_t> dirty_;
    // Pages handed out from the free list since the last commit: a link back
    // to one of them is a loop in a damaged list.
    std::unordered_set<std::uint64_t> free_taken_;
    WalIndex wal_index_;
    std::unordered_map<std::uint64_t, std::uint64_t> pending_wal_;
    std::unique_ptr<VfsFile> wal_;
    std::vector<std::uint8_t> commit_buf_;  // the frames of one commit, reused
    std::unique_ptr<pager_detail::FrameHasher> hasher_;
    // The log being made ahead, until joined (start_log_ahead).
    std::unique_ptr<pager_detail::LogAhead> log_ahead_;
    // The header page of the last commit frame built and that frame's first
    // 41 bytes (page number, flag, digest): reused while the header is unchanged.
    PageBuf last_header_{};
    std::array<std::uint8_t, 41> last_header_frame_head_{};
    bool last_header_known_ = false;
    std::uint64_t wal_len_ = 0;
    // End of the last commit frame in the open log (0: no log); rollback cuts back to it.
    std::uint64_t wal_commit_len_ = 0;
    // Commits written to the open log since it was created or recycled.
    std::uint64_t wal_commits_ = 0;
    // A cut of the log's tail failed: nothing is appended until it succeeds.
    bool wal_tail_uncut_ = false;
    // A checkpointed log could not be removed (a folder the process may not
    // write): the next log is made only once it is gone.
    bool stuck_log_ = false;
    std::shared_ptr<ReadersCounter> readers_;
    std::size_t cache_capacity_ = kDefaultCacheCapacity;
    std::uint64_t page_count_ = 1;
    std::uint64_t free_list_head_ = 0;
    std::uint64_t catalog_root_ = 0;
    std::uint64_t committed_page_count_ = 1;
    std::uint64_t committed_free_list_head_ = 0;
    std::uint64_t committed_catalog_root_ = 0;
    std::uint64_t cache_misses_ = 0;
    std::uint16_t version_ = 2;
    bool header_dirty_ = false;
    std::uint64_t change_count_ = 0;
    bool checksums_enabled_ = true;
    SyncMode sync_mode_ = kSyncFull;
    std::size_t live_pins_ = 0;
    bool skip_close_checkpoint_ = false;  // set while create or open has not succeeded

    // Private file (private_file.cpp). Committed image: the unwritten cache
    // entries over the log's committed pages over the page file. `before_`
    // holds the committed bytes of unwritten pages changed since the last
    // commit (each page once: keeping them clears `unwritten`), in blocks of
    // kBeforeBlock pages: a statement that changes many pages costs one
    // allocation per block, not one per page. A commit keeps the blocks for
    // the statements after it, up to a quarter of the cache's pages: a run of
    // statements that each change many pages would otherwise take fresh
    // memory from the system (and fault it in) for every one.
    static constexpr std::size_t kBeforeBlock = 64;
    bool private_file_ = false;
    std::vector<std::pair<std::uint64_t, const PageBuf*>> before_;
    std::vector<std::unique_ptr<PageBuf[]>> before_blocks_;
    std::size_t before_used_ = 0;  // pages taken in the blocks, in order

    // The pages of a read-only pager (over_snapshot); null otherwise.
    std::shared_ptr<const PagerSnapshot> snapshot_;
};

// A read-only view of a page file as of one commit, for one reader thread.
// Keeps the pager's `readers` counter raised while it lives, which suspends
// checkpoints so that its log offsets stay valid.
class PagerSnapshot {
public:
    ~PagerSnapshot();
    PagerSnapshot(const PagerSnapshot&) = delete;
    PagerSnapshot& operator=(const PagerSnapshot&) = delete;

    // An owned copy of the page. Errors: "page {} out of bounds (snapshot page
    // count {})", "snapshot WAL read failed: {}", "snapshot read failed: {}",
    // "page checksum mismatch (stored 0x..., computed 0x...)".
    Result<PageBuf> read_page(std::uint64_t page) const;
    Status read_page_into(std::uint64_t page, std::span<std::uint8_t, kPageSize> out) const;

    std::uint64_t page_count() const { return page_count_; }
    std::uint64_t catalog_root() const { return catalog_root_; }
    bool checksums_enabled() const { return checksums_; }
    std::size_t usable_page_size() const { return checksums_ ? kPageSize - 4 : kPageSize; }

private:
    friend class Pager;
    PagerSnapshot() = default;
    std::unique_ptr<VfsFile> file_;
    std::shared_ptr<const WalIndex> wal_index_;
    std::shared_ptr<ReadersCounter> readers_;
    std::unique_ptr<VfsFile> wal_;
    std::uint64_t page_count_ = UINT64_MAX;
    std::uint64_t catalog_root_ = 0;
    bool checksums_ = true;
    bool verify_crc_ = true;  // the pager's crc_in_file
};

}  // namespace zembrel

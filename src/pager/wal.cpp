// Write-ahead log, commit, checkpoint and replay of the pager.
//
// Log file: the page file's path + ".pwal" (a private file's log, like the
// file itself, has no name: Vfs::create_unnamed).
//
// WalHeader (16 bytes, little-endian):
//   offset size field
//   0      4    magic "KWAL"
//   4      2    version: 1
//   6      8    page size: 4096 (replay checks only the low 32 bits)
//   14     2    zero
//
// WalFrame (4137 bytes), appended from offset 16; frame k starts at 16 + k × 4137:
//   0      8    page number
//   8      1    commit flag: 1 on the header-page frame that ends a commit
//   9      32   SHA-256 of page number (8 bytes), flag (1 byte) and page (4096 bytes)
//   41     4096 the page as it was in the cache
//
// Offsets kept in wal_index / pending_wal point at a frame's page data
// (frame start + 41). Only frames up to the last commit frame count.
//
// Recycled log: the checkpoint that a growing log triggers keeps the file and
// its blocks instead of deleting it, so later commits overwrite allocated
// blocks and their flush carries no change of size or allocation. Before
// reuse every byte after the header is zero: replay stops at the first frame
// whose digest fails, and a zero frame always fails, so no frame of an older
// generation can ever be taken for part of a newer commit, even when a commit
// is torn half way. The order on disk is: header made invalid and flushed
// (from here the log is ignored at open; the page file is complete), frames
// zeroed and flushed, header made valid again (flushed with the first commit).
// An explicit checkpoint (open, save-as, close) still deletes the log.
//
// A log that is never flushed (sync mode "none": a file no one reopens after
// a crash) is reused without zeroing: each write to it ends with 41 zero
// bytes past its last frame, a frame head whose digest fails, so a replay
// (of the file as the operating system holds it) stops at the newest frame.
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "pager/frame_hash.h"
#include "pager/le_bytes.h"
#include "pager/log_ahead.h"
#include "pager/pager.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

constexpr std::uint64_t kWalHeaderSize = 16;
constexpr std::uint64_t kFrameHeadSize = 41;
constexpr std::uint64_t kFrameSize = kFrameHeadSize + kPageSize;  // 4137
// Capacity of the commit buffer kept for the next commit; a larger one (a big
// transaction's) is given back.
constexpr std::size_t kKeptCommitBuffer = 64 * kFrameSize;
// Largest write of consecutive pages during a checkpoint.
constexpr std::size_t kCheckpointRunBytes = 64 * kPageSize;
// A checkpoint starts the writeback of what it wrote into the page file every
// so many bytes of the file it passed over.
constexpr std::uint64_t kCheckpointWritebackBytes = 1u << 20;
// Recycling pays when a log's generation was many small commits, each of
// which then flushes without a change of size; zeroing a log that one or two
// large commits filled costs more than it saves, so such a log is deleted.
constexpr std::uint64_t kRecycleMinCommits = 16;
constexpr std::uint64_t kRecycleMaxBytes = 2 * kCheckpointThreshold;

// The digest covers the page number, the commit flag and the page.
void frame_digest(pager_detail::FrameHasher& hasher, const std::uint8_t* head9, const std::uint8_t* page,
                  std::uint8_t out[32]) {
    hasher.digest(head9, 9, page, kPageSize, out);
}

void fill_wal_header(std::uint8_t* out) {
    std::memset(out, 0, kWalHeaderSize);
    std::memcpy(out, "KWAL", 4);
    le::put16(out + 4, 1);
    le::put64(out + 6, kPageSize);
}

}  // namespace

namespace pager_detail {

Result<std::unique_ptr<VfsFile>> make_log_file(Vfs& vfs, const std::string& log, SyncMode mode, bool unnamed) {
    auto file = unnamed ? vfs.create_unnamed(log) : vfs.create_new(log);
    if (!file) return std::unexpected(file.error());
    std::uint8_t header[kWalHeaderSize];
    fill_wal_header(header);
    if (auto st = (*file)->write_at(header, 0); !st) {
        // The name goes with the file made for it: the next try makes it anew.
        file->reset();
        if (!unnamed) (void)vfs.remove(log);
        return storage_error("WAL header write failed: " + st.error().message);
    }
    if (mode != kSyncNone) vfs.sync_dir(log);
    return file;
}

}  // namespace pager_detail

pager_detail::FrameHasher* Pager::frame_hasher() {
    if (private_file_) return nullptr;
    if (hasher_ == nullptr) hasher_ = std::make_unique<pager_detail::FrameHasher>();
    return hasher_.get();
}

void Pager::adopt_log(std::unique_ptr<VfsFile> log) {
    wal_ = std::move(log);
    wal_len_ = kWalHeaderSize;
    wal_commit_len_ = kWalHeaderSize;
    wal_tail_uncut_ = false;
}

Status Pager::ensure_wal() {
    finish_log_ahead();
    if (wal_ != nullptr) return {};
    if (stuck_log_) {
        // Its commits are all in the page file; but while it stands at the
        // name no new log can be made there, and the create's "File exists"
        // would hide why.
        const std::string log = wal_path();
        auto there = vfs_->exists_checked(log);
        if (there && *there) {
            if (auto st = vfs_->remove(log); !st)
                return storage_error(
                    format("old log '{}' is still there and cannot be removed: {}", log, st.error().message));
        }
        stuck_log_ = false;
    }
    auto file = pager_detail::make_log_file(*vfs_, wal_path(), sync_mode_, private_file_);
    if (!file) return std::unexpected(file.error());
    adopt_log(std::move(*file));
    return {};
}

void Pager::start_log_ahead() {
    if (wal_ != nullptr || log_ahead_ != nullptr || private_file_ || read_only() || sync_mode_ == kSyncNone) return;
    auto ahead = std::make_unique<pager_detail::LogAhead>();
    pager_detail::LogAhead* out = ahead.get();
    const bool hasher_wanted = hasher_ == nullptr;
    // No thread to be had (the system refused one): the commit makes the
    // log itself, as it would without this.
    try {
        ahead->worker = std::thread([out, hasher_wanted, vfs = vfs_, log = wal_path(), mode = sync_mode_] {
            if (hasher_wanted) out->hasher = std::make_unique<pager_detail::FrameHasher>();
            out->made = pager_detail::make_log_file(*vfs, log, mode, false);
        });
    } catch (const std::system_error&) {
        return;
    }
    log_ahead_ = std::move(ahead);
}

void Pager::finish_log_ahead() {
    if (log_ahead_ == nullptr) return;
    log_ahead_->worker.join();
    std::unique_ptr<pager_detail::LogAhead> ahead = std::move(log_ahead_);
    if (hasher_ == nullptr) hasher_ = std::move(ahead->hasher);
    // A log the worker could not make is made by the commit that needs it,
    // which reports its failure.
    if (ahead->made) adopt_log(std::move(*ahead->made));
}

Status Pager::recycle_wal() {
    if (wal_ == nullptr) return storage_error("no log to recycle");
    if (sync_mode_ == kSyncNone) {
        // Without flushes there is no torn write to guard against: every
        // write ends with a zero frame head (see `end_mark_size`), so the
        // old frames past it are never scanned, and the blocks are simply
        // overwritten. Until the next write the mark goes right after the
        // header.
        static constexpr std::uint8_t kEndMark[kFrameHeadSize] = {};
        if (auto st = wal_->write_at(kEndMark, kWalHeaderSize); !st) return st;
    } else {
        auto physical = wal_->len();
        if (!physical) return std::unexpected(physical.error());
        if (wal_commits_ < kRecycleMinCommits || *physical > kRecycleMaxBytes)
            return storage_error("log not worth recycling");
        static constexpr std::uint8_t kNoHeader[kWalHeaderSize] = {};
        if (auto st = wal_->write_at(kNoHeader, 0); !st) return st;
        if (auto st = wal_->sync(sync_mode_); !st) return st;
        if (*physical > kWalHeaderSize) {
            const std::uint64_t span = *physical - kWalHeaderSize;
            std::vector<std::uint8_t> zeros(static_cast<std::size_t>(std::min<std::uint64_t>(span, 1u << 20)));
            for (std::uint64_t off = kWalHeaderSize; off < *physical; off += zeros.size()) {
                const std::uint64_t n = std::min<std::uint64_t>(zeros.size(), *physical - off);
                if (auto st = wal_->write_at(std::span<const std::uint8_t>(zeros.data(), n), off); !st) return st;
            }
            if (auto st = wal_->sync(sync_mode_); !st) return st;
        }
        std::uint8_t header[kWalHeaderSize];
        fill_wal_header(header);
        if (auto st = wal_->write_at(header, 0); !st) return st;
    }
    wal_len_ = kWalHeaderSize;
    wal_commit_len_ = kWalHeaderSize;
    wal_tail_uncut_ = false;
    wal_commits_ = 0;
    return {};
}

Status Pager::prepare_append() {
    if (auto st = ensure_wal(); !st) return st;
    if (wal_tail_uncut_) {
        if (auto st = wal_->set_len(wal_len_); !st) return st;
        wal_tail_uncut_ = false;
    }
    return {};
}

namespace {

// Fills kFrameSize bytes at `out` with the frame of one page. Without a
// hasher (a private file's log, never replayed) the digest stays zero.
void build_frame(pager_detail::FrameHasher* hasher, std::uint8_t* out, std::uint64_t page, const std::uint8_t* bytes,
                 bool commit) {
    le::put64(out, page);
    out[8] = commit ? 1 : 0;
    if (hasher != nullptr) frame_digest(*hasher, out, bytes, out + 9);
    else std::memset(out + 9, 0, 32);
    std::memcpy(out + kFrameHeadSize, bytes, kPageSize);
}

}  // namespace

std::size_t Pager::end_mark_size() const { return sync_mode_ == kSyncNone ? kFrameHeadSize : 0; }

void Pager::frame_pages(std::span<CachedPage* const> entries, std::size_t extra_frames) {
    const std::size_t frames = entries.size() + extra_frames;
    const std::size_t end_mark = end_mark_size();
    commit_buf_.resize(frames * kFrameSize + end_mark);
    std::memset(commit_buf_.data() + frames * kFrameSize, 0, end_mark);
    for (std::size_t i = 0; i < entries.size(); ++i)
        build_frame(frame_hasher(), commit_buf_.data() + i * kFrameSize, entries[i]->page, entries[i]->data.data(), false);
}

Status Pager::append_uncommitted_frames(std::span<CachedPage* const> entries) {
    frame_pages(entries, 0);
    if (auto st = wal_->write_at(commit_buf_, wal_len_); !st) return storage_error("WAL append failed: " + st.error().message);
    // The commit's flush waits for every frame before it: those written long
    // before it go to the disk now, while the statement goes on.
    if (sync_mode_ != kSyncNone) wal_->start_writeback(wal_len_, entries.size() * kFrameSize);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        pending_wal_[entries[i]->page] = wal_len_ + i * kFrameSize + kFrameHeadSize;
        entries[i]->dirty = false;
        dirty_.erase(entries[i]->page);
    }
    wal_len_ += entries.size() * kFrameSize;
    return {};
}

Status Pager::commit() {
    if (read_only()) return execution_error(kReadOnlyPagerRefusal);
    if (private_file_) return commit_in_cache();
    return commit_to_log();
}

Status Pager::commit_to_log() {
    std::vector<std::uint64_t> pages(dirty_.begin(), dirty_.end());
    if (pages.empty() && pending_wal_.empty() && !header_dirty_) return {};
    std::sort(pages.begin(), pages.end());
    if (auto st = prepare_append(); !st) return st;

    std::vector<std::pair<std::uint64_t, std::uint64_t>> written;
    written.reserve(pages.size() + 1);
    // Dirty pages are pinned in the cache until they are committed or rolled back.
    std::vector<CachedPage*> entries;
    entries.reserve(pages.size());
    for (std::uint64_t page : pages) {
        auto it = cache_.find(page);
        ZEMBREL_INVARIANT(it != cache_.end(), "dirty page missing from the cache");
        entries.push_back(it->second.get());
    }
    // Every frame, the commit frame included, goes out in one write: a write
    // per frame costs a system call each. The buffer is kept between commits.
    const std::size_t frame_count = pages.size() + 1;
    frame_pages(entries, 1);
    PageBuf header;
    build_header(header);
    std::uint8_t* commit_frame = commit_buf_.data() + pages.size() * kFrameSize;
    if (last_header_known_ && header == last_header_) {
        // Most commits leave the header as it was: its frame is the same
        // bytes, digest included, as the last one.
        std::memcpy(commit_frame, last_header_frame_head_.data(), kFrameHeadSize);
        std::memcpy(commit_frame + kFrameHeadSize, header.data(), kPageSize);
    } else {
        build_frame(frame_hasher(), commit_frame, 0, header.data(), true);
        last_header_ = header;
        std::memcpy(last_header_frame_head_.data(), commit_frame, kFrameHeadSize);
        last_header_known_ = true;
    }
    Status wrote = wal_->write_at(commit_buf_, wal_len_);
    if (commit_buf_.capacity() > kKeptCommitBuffer) std::vector<std::uint8_t>().swap(commit_buf_);
    if (!wrote) return storage_error("WAL append failed: " + wrote.error().message);
    for (std::size_t i = 0; i < pages.size(); ++i)
        written.emplace_back(pages[i], wal_len_ + i * kFrameSize + kFrameHeadSize);
    written.emplace_back(0, wal_len_ + pages.size() * kFrameSize + kFrameHeadSize);
    wal_len_ += frame_count * kFrameSize;
    if (auto st = wal_->sync(sync_mode_); !st) return storage_error("WAL fsync failed: " + st.error().message);

    for (const auto& [page, offset] : pending_wal_) wal_index_[page] = offset;
    pending_wal_.clear();
    for (const auto& [page, offset] : written) wal_index_[page] = offset;
    for (CachedPage* entry : entries) entry->dirty = false;
    dirty_.clear();
    header_dirty_ = false;
    free_taken_.clear();
    wal_commit_len_ = wal_len_;
    ++wal_commits_;
    remember_commit_state();

    // The commit is durable now. A checkpoint that fails leaves the log whole
    // (it stays the newest copy of its pages) and runs again after the next
    // commit; reporting it as this commit's failure would make callers undo
    // or retry work that is already in the file.
    if (wal_len_ > kCheckpointThreshold) (void)copy_log_into_file(/*keep_log=*/true);
    return {};
}

Status Pager::checkpoint() {
    if (auto st = commit(); !st) return st;
    return copy_log_into_file(/*keep_log=*/false);
}

Status Pager::copy_log_into_file(bool keep_log) {
    // Live snapshots read through their copies of wal_index: keep the log as it is.
    if (readers_->load(std::memory_order_acquire) != 0) return {};
    if (wal_index_.empty()) {
        reset_wal();
        return {};
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries(wal_index_.begin(), wal_index_.end());
    std::sort(entries.begin(), entries.end());
    // Right after a commit every cached page is clean and holds its newest
    // committed bytes, so only uncached pages are read back from the log.
    // Runs of consecutive pages go into the page file in one write each.
    // The bytes written since the last writeback hint start at `unhinted`:
    // the file's flush at the end then waits only for the last of them.
    std::vector<std::uint8_t> run;
    std::uint64_t run_first = 0;
    std::uint64_t unhinted = entries.front().first * kPageSize;
    auto flush_run = [&]() -> Status {
        if (run.empty()) return {};
        Status st = file_->write_at(run, run_first * kPageSize);
        const std::uint64_t end = run_first * kPageSize + run.size();
        run.clear();
        if (!st) return storage_error("page " + std::to_string(run_first) + " write failed: " + st.error().message);
        if (sync_mode_ != kSyncNone && end - unhinted >= kCheckpointWritebackBytes) {
            file_->start_writeback(unhinted, end - unhinted);
            unhinted = end;
        }
        return {};
    };
    // Pages that went into the log together sit in consecutive frames, which
    // are read back in one read: `frames` holds the log's bytes from the page
    // data at `frames_at` on.
    std::vector<std::uint8_t> frames;
    std::uint64_t frames_at = 0;
    auto read_frames = [&](std::size_t i) -> Status {
        const std::uint64_t first = entries[i].second;
        std::size_t n = 1;
        while (i + n < entries.size() && n < kCheckpointRunBytes / kPageSize && entries[i + n].second == first + n * kFrameSize)
            ++n;
        frames.resize((n - 1) * kFrameSize + kPageSize);
        frames_at = first;
        if (auto st = wal_->read_at(frames, first); !st) {
            frames.clear();
            return storage_error("WAL read failed: " + st.error().message);
        }
        return {};
    };
    file_len_.reset();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [page, offset] = entries[i];
        if (page > kMaxFilePage)  // a page number from damaged bytes must not wrap the offset
            return storage_error("page " + std::to_string(page) + " write failed: write failed: " + os_error_text(EFBIG));
        if (!run.empty() && (page != run_first + run.size() / kPageSize || run.size() >= kCheckpointRunBytes)) {
            if (auto st = flush_run(); !st) return st;
        }
        if (run.empty()) run_first = page;
        const std::size_t at = run.size();
        run.resize(at + kPageSize);
        std::span<std::uint8_t, kPageSize> slot(run.data() + at, kPageSize);
        if (auto it = cache_.find(page); it != cache_.end() && !it->second->dirty) {
            std::memcpy(slot.data(), it->second->data.data(), kPageSize);
        } else {
            if (offset < frames_at || offset + kPageSize > frames_at + frames.size()) {
                ZEMBREL_INVARIANT(wal_ != nullptr, "WAL page read without an open log");
                if (auto st = read_frames(i); !st) return st;
            }
            std::memcpy(slot.data(), frames.data() + (offset - frames_at), kPageSize);
        }
        if (crc_in_file()) le::put32(slot.data() + kPageSize - 4, page_crc(slot.data()));
    }
    if (auto st = flush_run(); !st) return st;
    // The cached copies just written are in the page file now.
    if (private_file_) {
        for (const auto& [page, offset] : entries)
            if (auto it = cache_.find(page); it != cache_.end()) it->second->unwritten = false;
    }
    if (page_count_ > static_cast<std::uint64_t>(INT64_MAX) / kPageSize)
        return storage_error("truncate failed: " + os_error_text(EFBIG));
    if (auto st = file_->set_len(page_count_ * kPageSize); !st) return st;
    if (auto st = file_->sync(sync_mode_); !st) return storage_error("page file fsync failed: " + st.error().message);
    wal_index_.clear();
    pending_wal_.clear();
    // A log that cannot be recycled is deleted as an explicit checkpoint
    // deletes it: everything in it is in the page file now.
    if (!keep_log || !recycle_wal()) reset_wal();
    return {};
}

void Pager::reset_wal() {
    finish_log_ahead();  // a log being made is this log too
    const std::string log = wal_path();
    if (private_file_) {
        wal_.reset();  // unnamed: gone with its handle
    } else if (wal_ != nullptr) {
        wal_.reset();
        stuck_log_ = !vfs_->remove(log);
    } else if (vfs_->exists(log)) {
        stuck_log_ = !vfs_->remove(log);
    }
    wal_len_ = 0;
    wal_commit_len_ = 0;
    wal_tail_uncut_ = false;
    wal_commits_ = 0;
}

Status Pager::read_wal_page(std::uint64_t offset, std::span<std::uint8_t, kPageSize> out) {
    ZEMBREL_INVARIANT(wal_ != nullptr, "WAL page read without an open log");
    if (auto st = wal_->read_at(out, offset); !st) return storage_error("WAL read failed: " + st.error().message);
    return {};
}

Status Pager::replay_wal() {
    const std::string log = wal_path();
    // Only a log that is truly absent means "no log"; one that exists but
    // cannot be opened or read fails the open and stays in place.
    auto present = vfs_->exists_checked(log);
    if (!present) return std::unexpected(present.error());
    if (!*present) return {};
    auto opened = vfs_->open(log);
    if (!opened) return std::unexpected(opened.error());
    std::unique_ptr<VfsFile> file = std::move(*opened);
    auto len = file->len();
    if (!len) return std::unexpected(len.error());

    auto discard = [&]() {
        file.reset();
        (void)vfs_->remove(log);
    };
    if (*len < kWalHeaderSize) {
        discard();
        return {};
    }
    std::uint8_t header[kWalHeaderSize];
    if (auto st = file->read_at(header, 0); !st) return storage_error("WAL read failed: " + st.error().message);
    if (std::memcmp(header, "KWAL", 4) != 0 || le::get16(header + 4) != 1 || le::get32(header + 6) != kPageSize) {
        discard();
        return {};
    }

    std::unordered_map<std::uint64_t, std::uint64_t> uncommitted;
    std::uint64_t commit_end = 0;
    std::vector<std::uint8_t> frame(kFrameSize);
    std::uint8_t digest[32];
    // The scan stops at the file's length: a torn frame at the tail is never read.
    for (std::uint64_t off = kWalHeaderSize; off <= *len && *len - off >= kFrameSize; off += kFrameSize) {
        if (auto st = file->read_at(frame, off); !st) return storage_error("WAL read failed: " + st.error().message);
        frame_digest(*frame_hasher(), frame.data(), frame.data() + kFrameHeadSize, digest);
        if (std::memcmp(digest, frame.data() + 9, 32) != 0) break;
        uncommitted[le::get64(frame.data())] = off + kFrameHeadSize;
        if (frame[8] == 1) {
            for (const auto& [page, offset] : uncommitted) wal_index_[page] = offset;
            uncommitted.clear();
            commit_end = off + kFrameSize;
        }
    }
    if (wal_index_.empty()) {
        discard();
        return {};
    }
    if (auto st = file->set_len(commit_end); !st) return st;
    wal_ = std::move(file);
    wal_len_ = commit_end;
    wal_commit_len_ = commit_end;
    wal_tail_uncut_ = false;
    return {};
}

}  // namespace zembrel

// Commits of a private page file (Pager::create_private): the backing file of
// an in-memory database, which no one reopens and no one recovers after a
// crash (it has no name to be found by). Its commits need nothing that only a
// replay reads (log frames, digests, flushes), only what this process reads
// back: the committed image that a rollback returns to and that
// Engine::reset_to_last_commit reloads tables and catalog from.
//
// Committed image: the unwritten cache entries, over the log's committed
// pages (wal_index), over the page file. A commit writes
// nothing: its dirty cache entries become unwritten committed pages, and the
// log frames of pages evicted dirty become committed frames. An unwritten
// page goes into the page file, in place, when it is evicted or before a
// snapshot reads the file. The first change of an unwritten page after a
// commit keeps its committed bytes (`before_`), which a rollback puts back
// into the cache; so a failed statement or commit returns to exactly the
// last commit, as with the log.
//
// While a snapshot lives the page file must not change under it: commits then
// go through the log (frames without digests, never flushed), and taking a
// snapshot first writes every unwritten page, so none exists while one lives.
#include <algorithm>
#include <memory>
#include <vector>

#include "pager/pager.h"

namespace zembrel {

void Pager::keep_before_image(CachedPage& e) {
    if (!e.unwritten) return;
    e.unwritten = false;
    const std::size_t block = before_used_ / kBeforeBlock;
    if (block == before_blocks_.size()) before_blocks_.push_back(std::make_unique_for_overwrite<PageBuf[]>(kBeforeBlock));
    PageBuf& kept = before_blocks_[block][before_used_ % kBeforeBlock];
    ++before_used_;
    kept = e.data;
    before_.emplace_back(e.page, &kept);
}

void Pager::forget_before_images() {
    before_.clear();
    const std::size_t kept_blocks = std::max<std::size_t>(1, cache_capacity_ / 4 / kBeforeBlock);
    if (before_blocks_.size() > kept_blocks) before_blocks_.resize(kept_blocks);
    before_used_ = 0;
}

void Pager::restore_before_images() {
    // No eviction here, so a rollback writes nothing: the cache may pass its
    // capacity until the next insertion evicts.
    for (const auto& [page, bytes] : before_) new_entry(page, *bytes)->unwritten = true;
    forget_before_images();
}

Status Pager::commit_in_cache() {
    if (dirty_.empty() && pending_wal_.empty() && !header_dirty_) return {};
    if (readers_->load(std::memory_order_acquire) != 0) {
        if (auto st = commit_to_log(); !st) return st;
        forget_before_images();
        return {};
    }
    for (std::uint64_t page : dirty_) {
        CachedPage& e = *cache_.find(page)->second;
        e.dirty = false;
        e.unwritten = true;
    }
    dirty_.clear();
    for (const auto& [page, offset] : pending_wal_) wal_index_[page] = offset;
    pending_wal_.clear();
    wal_commit_len_ = wal_len_;
    header_dirty_ = false;
    free_taken_.clear();
    remember_commit_state();
    forget_before_images();
    if (wal_len_ > kCheckpointThreshold) (void)copy_log_into_file(/*keep_log=*/true);
    return {};
}

Status Pager::write_unwritten() {
    if (!private_file_ || readers_->load(std::memory_order_acquire) != 0) return {};
    std::vector<CachedPage*> pages;
    for (const auto& [page, e] : cache_)
        if (e->unwritten) pages.push_back(e.get());
    std::sort(pages.begin(), pages.end(), [](const CachedPage* a, const CachedPage* b) { return a->page < b->page; });
    for (CachedPage* e : pages) {
        if (auto st = write_page_to_file(e->page, e->data); !st) return st;
        e->unwritten = false;
        wal_index_.erase(e->page);  // an older committed copy
    }
    // Changed pages whose committed bytes only `before_` holds.
    for (std::size_t i = 0; i < before_.size(); ++i) {
        const auto [page, bytes] = before_[i];
        if (auto st = write_page_to_file(page, *bytes); !st) {
            before_.erase(before_.begin(), before_.begin() + static_cast<std::ptrdiff_t>(i));
            return st;
        }
        wal_index_.erase(page);
    }
    forget_before_images();
    PageBuf header;
    build_header(header, committed_page_count_, committed_free_list_head_, committed_catalog_root_);
    if (auto st = write_page_to_file(0, header); !st) return st;
    wal_index_.erase(0);  // the log's header may be older
    return {};
}

}  // namespace zembrel

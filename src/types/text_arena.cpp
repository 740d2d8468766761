#include "types/text_arena.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "types/huge_pages.h"

namespace zembrel {

namespace {
constexpr size_t kFirstChunk = 64 * 1024;
constexpr size_t kLargestChunk = 8 * 1024 * 1024;
}  // namespace

std::atomic<size_t> TextArena::live_chunks_{0};
std::atomic<size_t> TextArena::live_bytes_{0};

TextArena::TextArena(TextArena&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      next_(std::exchange(other.next_, nullptr)),
      room_(std::exchange(other.room_, 0)),
      held_(std::exchange(other.held_, 0)),
      grow_(std::exchange(other.grow_, 0)) {
    other.chunks_.clear();
}

TextArena& TextArena::operator=(TextArena&& other) noexcept {
    if (this == &other) return *this;
    // Both sets of chunks stay: values made from either may still be around.
    chunks_.reserve(chunks_.size() + other.chunks_.size());
    for (auto& c : other.chunks_) chunks_.push_back(std::move(c));
    other.chunks_.clear();
    held_ += std::exchange(other.held_, 0);
    next_ = std::exchange(other.next_, nullptr);
    room_ = std::exchange(other.room_, 0);
    grow_ = std::max(grow_, std::exchange(other.grow_, 0));
    return *this;
}

TextArena::~TextArena() { release(); }

void TextArena::release() noexcept {
    live_chunks_.fetch_sub(chunks_.size(), std::memory_order_relaxed);
    live_bytes_.fetch_sub(held_, std::memory_order_relaxed);
    chunks_.clear();
    held_ = 0;
}

char* TextArena::new_chunk(size_t bytes) {
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    advise_huge_pages(chunks_.back().get(), bytes);
    held_ += bytes;
    live_chunks_.fetch_add(1, std::memory_order_relaxed);
    live_bytes_.fetch_add(bytes, std::memory_order_relaxed);
    return chunks_.back().get();
}

void TextArena::reserve(size_t bytes, size_t chunk) {
    if (bytes <= room_) return;
    room_ = std::max(bytes, chunk);
    next_ = new_chunk(room_);
}

std::string_view TextArena::store(std::string_view text) {
    const size_t n = text.size();
    if (n > room_) {
        grow_ = grow_ == 0 ? kFirstChunk : std::min(grow_ * 2, kLargestChunk);
        if (n > grow_ / 4) {
            // A large text gets a chunk of its own; the open chunk stays open.
            char* own = new_chunk(n);
            std::memcpy(own, text.data(), n);
            return {own, n};
        }
        next_ = new_chunk(grow_);
        room_ = grow_;
    }
    char* at = next_;
    if (n) std::memcpy(at, text.data(), n);
    next_ += n;
    room_ -= n;
    return {at, n};
}

}  // namespace zembrel

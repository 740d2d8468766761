#include "types/text_arena.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "types/huge_pages.h"

namespace zembrel {

namespace {
constexpr size_t kFirstChunk = 64 * 1024;
constexpr size_t kLargestChunk = 8 * 1024 * 1024;
// Chunks taken from a room: large enough that taking one costs nothing next
// to filling it, small enough that the part-used last chunk of each thread
// stays small.
constexpr size_t kRoomChunk = 128 * 1024;

// Large chunks are mappings of whole 2 MiB pages: the bytes up to the next
// such page boundary cost nothing more and serve as room.
size_t chunk_bytes(size_t bytes) {
    if (bytes < Unwritten<char>::kMapFrom) return bytes;
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}
}  // namespace

std::atomic<size_t> TextArena::live_chunks_{0};
std::atomic<size_t> TextArena::live_bytes_{0};

// A chunk ends where the next text does not fit: each wastes less than a
// text, under a sixteenth of it.
TextRoom::TextRoom(size_t bytes, size_t arenas)
    : size_(bytes + bytes / 16 + arenas * kRoomChunk) {
    base_ = Unwritten<char>().allocate(size_);
}

TextRoom::~TextRoom() {
    if (base_ != nullptr) Unwritten<char>().deallocate(base_, size_);
}

char* TextRoom::take(size_t bytes) {
    size_t at = used_.load(std::memory_order_relaxed);
    do {
        if (size_ - at < bytes) return nullptr;
    } while (!used_.compare_exchange_weak(at, at + bytes, std::memory_order_relaxed));
    return base_ + at;
}

void TextArena::ChunkFree::operator()(char* p) const noexcept { Unwritten<char>().deallocate(p, bytes); }

TextArena::TextArena(TextArena&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      room_source_(std::exchange(other.room_source_, nullptr)),
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
    room_source_ = std::exchange(other.room_source_, nullptr);
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

void TextArena::adopt(Chunk chunk) {
    held_ += chunk.get_deleter().bytes;
    live_chunks_.fetch_add(1, std::memory_order_relaxed);
    live_bytes_.fetch_add(chunk.get_deleter().bytes, std::memory_order_relaxed);
    chunks_.push_back(std::move(chunk));
}

char* TextArena::new_chunk(size_t bytes) {
    adopt(Chunk(Unwritten<char>().allocate(bytes), ChunkFree{bytes}));
    return chunks_.back().get();
}

void TextArena::keep(TextRoom& room) {
    char* const base = std::exchange(room.base_, nullptr);
    const size_t used = room.used_.exchange(0, std::memory_order_relaxed);
    size_t kept = std::exchange(room.size_, 0);
    if (base == nullptr) return;
    if (used == 0) {
        Unwritten<char>().deallocate(base, kept);
        return;
    }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // A mapped room gives back the whole 2 MiB pages past its used part.
    if (kept >= Unwritten<char>::kMapFrom) {
        const size_t mapped = chunk_bytes(kept);
        kept = chunk_bytes(std::max(used, Unwritten<char>::kMapFrom));
        if (mapped > kept) ::munmap(base + kept, mapped - kept);
    }
#endif
    adopt(Chunk(base, ChunkFree{kept}));
}

std::string_view TextArena::store(std::string_view text) {
    const size_t n = text.size();
    if (n > room_) {
        char* taken = room_source_ != nullptr ? room_source_->take(std::max(n, kRoomChunk)) : nullptr;
        if (taken != nullptr) {
            next_ = taken;
            room_ = std::max(n, kRoomChunk);
        } else if (room_source_ != nullptr) {
            // Past the room's end, in a thread that may not be the owner's:
            // a mapping, which any thread gives back to the system, where a
            // chunk of its heap would stay with that heap.
            room_ = chunk_bytes(std::max(n, Unwritten<char>::kMapFrom));
            next_ = new_chunk(room_);
        } else {
            grow_ = grow_ == 0 ? kFirstChunk : std::min(grow_ * 2, kLargestChunk);
            if (n > grow_ / 4) {
                // A large text gets a chunk of its own; the open chunk stays open.
                char* own = new_chunk(n);
                std::memcpy(own, text.data(), n);
                return {own, n};
            }
            room_ = chunk_bytes(grow_);
            next_ = new_chunk(room_);
        }
    }
    char* at = next_;
    if (n) std::memcpy(at, text.data(), n);
    next_ += n;
    room_ -= n;
    return {at, n};
}

}  // namespace zembrel

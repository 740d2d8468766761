// Append-only storage for the texts of one owner (a loaded table's rows):
// texts are copied into large chunks and freed all at once with the arena.
//
// Ownership: the arena owns its chunks; a text it handed out stays where it
// is until the arena is destroyed, whatever moves happen (moving an arena
// moves the chunks, not the bytes). A copy of an arena starts empty, since
// copies of the owner's values own their texts; assigning keeps the chunks
// already held (values made earlier may still point into them) and adds
// the moved-from arena's. Not thread-safe; the process-wide counts are.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace zembrel {

// Address room for the texts that the arenas of several threads store for
// one owner at once (a threaded load): each arena takes its chunks from it
// in turn, so that the texts lie packed in one mapping, which the system
// backs with 2 MiB pages where it can and makes resident only as far as it
// is written, rather than in a part-used chunk per thread. Reserving room
// costs address space only. take() is thread-safe; the room must outlive
// the arenas drawing from it until one arena keeps it (TextArena::keep).
class TextRoom {
public:
    // Room for at most `bytes` of texts, each shorter than 8 KiB, stored by
    // `arenas` arenas. Throws std::bad_alloc as new does.
    TextRoom(size_t bytes, size_t arenas);
    TextRoom(const TextRoom&) = delete;
    TextRoom& operator=(const TextRoom&) = delete;
    ~TextRoom();

    // `bytes` of fresh room, or null when less is left.
    char* take(size_t bytes);
    size_t used() const { return used_.load(std::memory_order_relaxed); }

private:
    friend class TextArena;
    char* base_ = nullptr;
    size_t size_ = 0;
    std::atomic<size_t> used_{0};
};

class TextArena {
public:
    TextArena() = default;
    TextArena(const TextArena&) {}
    TextArena(TextArena&& other) noexcept;
    TextArena& operator=(const TextArena&) { return *this; }
    TextArena& operator=(TextArena&& other) noexcept;
    ~TextArena();

    // A copy of the text in the arena.
    std::string_view store(std::string_view text);
    // The texts stored from now on go into chunks taken from `room` while it
    // has any (null: chunks of the arena's own). Those chunks are the room's:
    // the texts live as long as the mapping, which keep() hands to an arena.
    void draw_from(TextRoom* room) { room_source_ = room; }
    // This arena frees the used part of `room` with its own chunks, the rest
    // goes back to the system now; the room is left empty.
    void keep(TextRoom& room);

    size_t chunk_count() const { return chunks_.size(); }
    size_t bytes_held() const { return held_; }

    // Chunks and their bytes held by all arenas of the process.
    static size_t live_chunks() { return live_chunks_.load(std::memory_order_relaxed); }
    static size_t live_bytes() { return live_bytes_.load(std::memory_order_relaxed); }

private:
    // A chunk's bytes go back the way they came (the heap, or a mapping of
    // their own for a large chunk), which its size tells.
    struct ChunkFree {
        size_t bytes = 0;
        void operator()(char* p) const noexcept;
    };
    using Chunk = std::unique_ptr<char[], ChunkFree>;

    char* new_chunk(size_t bytes);
    void adopt(Chunk chunk);
    void release() noexcept;

    std::vector<Chunk> chunks_;
    TextRoom* room_source_ = nullptr;
    char* next_ = nullptr;  // free room of the last chunk
    size_t room_ = 0;
    size_t held_ = 0;       // bytes of all chunks
    size_t grow_ = 0;       // size of the next ordinary chunk

    static std::atomic<size_t> live_chunks_;
    static std::atomic<size_t> live_bytes_;
};

}  // namespace zembrel

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
    // Room for about `bytes` more bytes in one chunk, taken now so that the
    // texts stored next do not go into many growing chunks.
    // A new chunk taken for it holds at least `chunk` bytes.
    void reserve(size_t bytes, size_t chunk = 0);

    size_t chunk_count() const { return chunks_.size(); }
    size_t bytes_held() const { return held_; }

    // Chunks and their bytes held by all arenas of the process.
    static size_t live_chunks() { return live_chunks_.load(std::memory_order_relaxed); }
    static size_t live_bytes() { return live_bytes_.load(std::memory_order_relaxed); }

private:
    char* new_chunk(size_t bytes);
    void release() noexcept;

    std::vector<std::unique_ptr<char[]>> chunks_;
    char* next_ = nullptr;  // free room of the last chunk
    size_t room_ = 0;
    size_t held_ = 0;       // bytes of all chunks
    size_t grow_ = 0;       // size of the next ordinary chunk

    static std::atomic<size_t> live_chunks_;
    static std::atomic<size_t> live_bytes_;
};

}  // namespace zembrel

#include "types/uuid.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "types/error.h"
#include "types/text_format.h"

namespace zembrel::types {

namespace {

// Forks since start: a child must not hand out the UUIDs its parent's
// buffer still holds, so a fork empties every buffer.
std::atomic<std::uint64_t> fork_count{0};

void count_fork() { fork_count.fetch_add(1, std::memory_order_relaxed); }

// Random bytes fetched 256 at a time (getentropy's most): one system call
// per sixteen UUIDs instead of one each.
struct EntropyBuffer {
    std::uint8_t bytes[256];
    std::size_t used = sizeof bytes;
    std::uint64_t forks = 0;

    void take(std::uint8_t* out, std::size_t n) {
        static std::once_flag registered;
        std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, count_fork); });
        const std::uint64_t now = fork_count.load(std::memory_order_relaxed);
        if (used + n > sizeof bytes || forks != now) {
            if (getentropy(bytes, sizeof bytes) != 0)
                invariant_failed(format("could not retrieve random bytes for uuid: {} (os error {})", std::strerror(errno), errno));
            used = 0;
            forks = now;
        }
        std::memcpy(out, bytes + used, n);
        // Handed-out bytes are wiped: nothing later can read them back.
        std::memset(bytes + used, 0, n);
        used += n;
    }
};

}  // namespace

std::string new_uuid() {
    std::uint8_t b[16];
    thread_local EntropyBuffer entropy;
    entropy.take(b, sizeof b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += digits[b[i] >> 4];
        out += digits[b[i] & 15];
    }
    return out;
}

}  // namespace zembrel::types

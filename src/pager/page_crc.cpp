// The CRC of a page. Every page read from the page file is checked, so a
// table's load computes it over the whole file: where the processor can
// multiply carry-less, the bytes are folded 64 at a time (four lanes of 128
// bits, each multiplied by x^512 and x^576 modulo the CRC's polynomial and
// added to the next bytes) and the 128 bits left are reduced to 32 by a
// Barrett reduction; the last bytes, fewer than 16, and every byte on other
// processors go through zlib. The constants are those of the reflected
// polynomial 0xEDB88320.

#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "pager/pager.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zembrel {

namespace {

#if defined(__x86_64__)

#define ZEMBREL_FOLDING __attribute__((target("pclmul,sse4.1")))

ZEMBREL_FOLDING inline __m128i load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x's low half times k's low half plus x's high half times k's high half,
// plus the next bytes.
ZEMBREL_FOLDING inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// The CRC register (not inverted) after `len` bytes from `p`, starting
// from `crc`; len is a multiple of 16 and at least 64.
ZEMBREL_FOLDING std::uint32_t fold_crc(std::uint32_t crc, const std::uint8_t* p, std::size_t len) {
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    len -= 64;
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    while (len >= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
        p += 64;
        len -= 64;
    }
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    while (len >= 16) {
        x1 = fold(x1, k3k4, load(p));
        p += 16;
        len -= 16;
    }
    // 128 bits to 64, then to 32.
    __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00);
    x1 = _mm_xor_si128(x1, t);
    // Barrett reduction by the polynomial and its quotient.
    const __m128i poly_mu = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    t = x1;
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly_mu, 0x10);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly_mu, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool can_fold() {
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

#endif

}  // namespace

std::uint32_t page_crc(const std::uint8_t* page) {
    constexpr std::size_t kBytes = kPageSize - 4;
#if defined(__x86_64__)
    if (can_fold()) {
        constexpr std::size_t kFolded = kBytes / 16 * 16;
        const std::uint32_t folded = ~fold_crc(0xFFFFFFFFu, page, kFolded);
        return static_cast<std::uint32_t>(::crc32(folded, page + kFolded, static_cast<uInt>(kBytes - kFolded)));
    }
#endif
    return static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), page, static_cast<uInt>(kBytes)));
}

}  // namespace zembrel

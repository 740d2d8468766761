// SHA-256 of log frames, with the digest context and algorithm kept between
// frames: looking the algorithm up again for every frame costs about as much
// as a fifth of hashing the frame itself.
//
// Ownership: one per Pager. Threads: used by its pager's thread only.
#pragma once

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zembrel::pager_detail {

class FrameHasher {
public:
    FrameHasher() : md_(::EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(::EVP_MD_CTX_new()) {}
    ~FrameHasher() {
        ::EVP_MD_CTX_free(ctx_);
        ::EVP_MD_free(md_);
    }
    FrameHasher(const FrameHasher&) = delete;
    FrameHasher& operator=(const FrameHasher&) = delete;

    // SHA-256 of `a` (a_len bytes) followed by `b` (b_len bytes).
    void digest(const std::uint8_t* a, std::size_t a_len, const std::uint8_t* b, std::size_t b_len,
                std::uint8_t out[32]) {
        if (md_ != nullptr && ctx_ != nullptr && ::EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1 &&
            ::EVP_DigestUpdate(ctx_, a, a_len) == 1 && ::EVP_DigestUpdate(ctx_, b, b_len) == 1 &&
            ::EVP_DigestFinal_ex(ctx_, out, nullptr) == 1)
            return;
        // Without a usable context (allocation failed): the one-shot form.
        std::vector<std::uint8_t> joined(a, a + a_len);
        joined.insert(joined.end(), b, b + b_len);
        ::SHA256(joined.data(), joined.size(), out);
    }

private:
    EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

}  // namespace zembrel::pager_detail

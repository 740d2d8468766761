// Helpers shared by the file layer, pager, log, crash and B+tree tests.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pager/le_bytes.h"
#include "pager/pager.h"

namespace zembrel::testing {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
struct TempDir {
    fs::path dir;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "zb_pager_XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
};

inline std::vector<std::uint8_t> read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint64_t file_size_or_zero(const std::string& p) {
    std::error_code ec;
    auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

inline std::uint64_t get_u64(const std::uint8_t* p) { return le::get64(p); }
inline void put_u64(std::uint8_t* p, std::uint64_t v) { le::put64(p, v); }

// The image a crash would leave: copies the page file and its log (if any)
// to `to` and `to`.pwal while the pager that wrote them is still alive.
inline void crash_copy(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::remove(wal_path_for(to));
    if (fs::exists(wal_path_for(from))) fs::copy_file(wal_path_for(from), wal_path_for(to));
}

// Fills a page with a pattern derived from `seed` (bytes 0..4092; the CRC area stays zero).
inline void fill_pattern(std::uint8_t* page, std::uint64_t seed) {
    std::memset(page, 0, kPageSize);
    put_u64(page, seed);
    for (std::size_t i = 8; i < kPageSize - 4; ++i) page[i] = static_cast<std::uint8_t>((seed * 131 + i * 7) >> 3);
}

// The first eight bytes of a page: the seed `fill_pattern` wrote there.
inline std::uint64_t page_seed(Pager& pager, std::uint64_t page) {
    PageBuf buf;
    auto st = pager.read_page_into(page, buf);
    EXPECT_TRUE(st) << st.error().message;
    return get_u64(buf.data());
}

// True when every page of the page file carries a valid CRC.
inline bool all_page_crcs_valid(const std::string& p) {
    auto bytes = read_file(p);
    if (bytes.size() % kPageSize != 0) return false;
    for (std::size_t off = 0; off < bytes.size(); off += kPageSize) {
        std::uint32_t stored = 0;
        std::memcpy(&stored, bytes.data() + off + kPageSize - 4, 4);  // little-endian host
        if (stored != page_crc(bytes.data() + off)) return false;
    }
    return true;
}

inline std::shared_ptr<Vfs> real_vfs() { return std::make_shared<RealVfs>(); }

// A pager that must come into being; the test fails (and gets null) otherwise.
inline std::unique_ptr<Pager> must_create(const std::string& p, std::shared_ptr<Vfs> vfs = real_vfs()) {
    auto r = Pager::create(vfs, p);
    EXPECT_TRUE(r) << r.error().message;
    return r ? std::move(*r) : nullptr;
}

inline std::unique_ptr<Pager> must_open(const std::string& p, std::shared_ptr<Vfs> vfs = real_vfs()) {
    auto r = Pager::open(vfs, p);
    EXPECT_TRUE(r) << r.error().message;
    return r ? std::move(*r) : nullptr;
}

}  // namespace zembrel::testing

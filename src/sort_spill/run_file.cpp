#include "sort_spill/run_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>


namespace zembrel::sort_spill {

namespace {

constexpr size_t kIoChunk = 1 << 20;

std::string os_error() { return std::strerror(errno); }

void put_u32(std::uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

Status write_all(int fd, const storage::Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return storage_error("write sort row: " + os_error());
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace

Status encode_record(storage::Bytes& out, RowView row) {
    const size_t mark = out.size();
    out.resize(mark + 4);
    if (auto st = storage::encode_row_into(out, row); !st) {
        out.resize(mark);
        // A row record holds at most 65535 values and texts below 4 GiB.
        return storage_error("sort row too large");
    }
    const size_t len = out.size() - mark - 4;
    if (len > 0xFFFFFFFFull) {
        out.resize(mark);
        return storage_error("sort row too large");
    }
    put_u32(out.data() + mark, static_cast<uint32_t>(len));
    return {};
}

Result<Row> decode_row(storage::ByteView record) {
    storage::Cursor cursor{record, 0};
    if (cursor.remaining() < 2) return storage_error("decode sort row: unexpected end of record");
    const size_t count = static_cast<size_t>(record[0]) | static_cast<size_t>(record[1]) << 8;
    cursor.pos = 2;
    Row row;
    row.reserve(std::min(count, record.size()));
    for (size_t i = 0; i < count; ++i) {
        auto v = storage::decode_value(cursor);
        if (!v) return storage_error("decode sort row: " + v.error().message);
        row.push_back(std::move(*v));
    }
    if (cursor.remaining() != 0) return storage_error("decode sort row: bytes after the last value");
    return row;
}

Status write_run(const std::string& path, std::span<const RowView> rows) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return storage_error("create sort run: " + os_error());
    storage::Bytes buf;
    buf.reserve(kIoChunk + 4096);
    Status st;
    // Sorted rows lie scattered in memory: fetch a row's values a few rows
    // ahead, so writing waits less on memory.
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i + kAhead < rows.size()) __builtin_prefetch(rows[i + kAhead].data());
        st = encode_record(buf, rows[i]);
        if (!st) break;
        if (buf.size() >= kIoChunk) {
            st = write_all(fd, buf);
            if (!st) break;
            buf.clear();
        }
    }
    if (st) st = write_all(fd, buf);
    if (::close(fd) != 0 && st) st = storage_error("write sort row: " + os_error());
    return st;
}

Result<RunReader> RunReader::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return storage_error("open sort run: " + os_error());
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        std::string e = os_error();
        ::close(fd);
        return storage_error("open sort run: " + e);
    }
    RunReader reader(fd);
    reader.unread_ = static_cast<uint64_t>(st.st_size);
    return reader;
}

RunReader::RunReader(RunReader&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), buf_(std::move(o.buf_)), pos_(o.pos_), end_(o.end_), unread_(o.unread_) {}

RunReader& RunReader::operator=(RunReader&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(o.fd_, -1);
        buf_ = std::move(o.buf_);
        pos_ = o.pos_;
        end_ = o.end_;
        unread_ = o.unread_;
    }
    return *this;
}

RunReader::~RunReader() {
    if (fd_ >= 0) ::close(fd_);
}

Result<bool> RunReader::fill(size_t n, const char* what) {
    if (end_ - pos_ >= n) return true;
    // A length beyond what the file still holds is a record cut short; it
    // must not become an allocation of that size.
    if (n - (end_ - pos_) > unread_) return false;
    // Keep the unread tail, then read until n bytes are there.
    if (end_ > pos_) std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    if (buf_.size() < n || buf_.size() < kIoChunk) buf_.resize(std::max(n, kIoChunk));
    while (end_ < n) {
        ssize_t got = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
        if (got < 0) {
            if (errno == EINTR) continue;
            return storage_error(std::string(what) + os_error());
        }
        if (got == 0) return false;
        end_ += static_cast<size_t>(got);
        unread_ -= std::min<uint64_t>(unread_, static_cast<uint64_t>(got));
    }
    return true;
}

Result<std::optional<Row>> RunReader::read_row() {
    auto have = fill(4, "read sort run: ");
    if (!have) return fail(have.error());
    if (!*have) {
        if (end_ == pos_ && unread_ == 0) return std::optional<Row>();
        return storage_error("read sort run: unexpected end of file");
    }
    const auto* p = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
    const size_t len = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8 | static_cast<size_t>(p[2]) << 16 |
                       static_cast<size_t>(p[3]) << 24;
    pos_ += 4;
    auto body = fill(len, "read sort row body: ");
    if (!body) return fail(body.error());
    if (!*body) return storage_error("read sort row body: unexpected end of file");
    auto row = decode_row(storage::ByteView(reinterpret_cast<const std::uint8_t*>(buf_.data() + pos_), len));
    pos_ += len;
    if (!row) return fail(row.error());
    return std::optional<Row>(std::move(*row));
}

}  // namespace zembrel::sort_spill

#include "sort_spill/run_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "pager/temp_dir.h"

namespace zembrel::sort_spill {

namespace {

constexpr size_t kIoChunk = 1 << 20;

void put_u32(std::uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
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

Result<std::unique_ptr<VfsFile>> create_run(const std::string& dir, const std::string& name) {
    auto file = RealVfs().create_unnamed(join_path(dir, name));
    if (file) return file;
    // A missing or read-only directory is what a user can mend; the file
    // layer's text would name a file that never existed.
    const auto fault = temp_dir_fault(dir);
    return storage_error("create sort run: " + (fault ? fault->message : file.error().message));
}

Status write_run(VfsFile& file, std::span<const RowView> rows) {
    storage::Bytes buf;
    buf.reserve(kIoChunk + 4096);
    uint64_t offset = 0;
    auto flush = [&]() -> Status {
        if (auto st = file.write_at(buf, offset); !st) return storage_error("write sort row: " + st.error().message);
        offset += buf.size();
        buf.clear();
        return {};
    };
    // Sorted rows lie scattered in memory: fetch a row's values a few rows
    // ahead, so writing waits less on memory.
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i + kAhead < rows.size()) __builtin_prefetch(rows[i + kAhead].data());
        if (auto st = encode_record(buf, rows[i]); !st) return st;
        if (buf.size() >= kIoChunk) {
            if (auto st = flush(); !st) return st;
        }
    }
    return flush();
}

Result<RunReader> RunReader::open(std::unique_ptr<VfsFile> file) {
    auto length = file->len();
    if (!length) return storage_error("open sort run: " + length.error().message);
    return RunReader(std::move(file), *length);
}

Result<bool> RunReader::fill(size_t n, const char* what) {
    if (end_ - pos_ >= n) return true;
    // A length beyond what the file still holds is a record cut short; it
    // must not become an allocation of that size.
    if (n - (end_ - pos_) > unread_) return false;
    // Keep the unread tail, then read as much of the rest as the buffer takes.
    if (end_ > pos_) std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    if (buf_.size() < n || buf_.size() < kIoChunk) buf_.resize(std::max(n, kIoChunk));
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size() - end_, unread_));
    if (auto st = file_->read_at(std::span(buf_.data() + end_, want), offset_); !st)
        return storage_error(std::string(what) + st.error().message);
    end_ += want;
    offset_ += want;
    unread_ -= want;
    return true;
}

Result<std::optional<Row>> RunReader::read_row() {
    auto have = fill(4, "read sort run: ");
    if (!have) return fail(have.error());
    if (!*have) {
        if (end_ == pos_ && unread_ == 0) return std::optional<Row>();
        return storage_error("read sort run: unexpected end of file");
    }
    const std::uint8_t* p = buf_.data() + pos_;
    const size_t len = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8 | static_cast<size_t>(p[2]) << 16 |
                       static_cast<size_t>(p[3]) << 24;
    pos_ += 4;
    auto body = fill(len, "read sort row body: ");
    if (!body) return fail(body.error());
    if (!*body) return storage_error("read sort row body: unexpected end of file");
    auto row = decode_row(storage::ByteView(buf_.data() + pos_, len));
    pos_ += len;
    if (!row) return fail(row.error());
    return std::optional<Row>(std::move(*row));
}

}  // namespace zembrel::sort_spill

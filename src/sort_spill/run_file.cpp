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

#include "catalog/json_reader.h"
#include "catalog/schema_json.h"

namespace zembrel::sort_spill {

namespace {

constexpr size_t kIoChunk = 1 << 20;

std::string os_error() { return std::strerror(errno); }

void put_u32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

Status encode_value(std::string& out, const Value& v) {
    if (v.is_float() && !std::isfinite(v.as_float())) {
        static constexpr char kHex[] = "0123456789abcdef";
        uint64_t bits = std::bit_cast<uint64_t>(v.as_float());
        out += "{\"Float\":\"";
        for (int shift = 60; shift >= 0; shift -= 4) out.push_back(kHex[(bits >> shift) & 0xF]);
        out += "\"}";
        return {};
    }
    return schema_json::write_value(out, v);
}

std::optional<uint64_t> parse_bits(std::string_view hex) {
    if (hex.size() != 16) return std::nullopt;
    uint64_t bits = 0;
    for (char c : hex) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return std::nullopt;
        bits = (bits << 4) | static_cast<uint64_t>(d);
    }
    return bits;
}

constexpr std::array<std::string_view, 8> kValueKinds = {"Int", "Text", "Float", "Bool", "Null", "Uuid", "Date", "DateTime"};

Result<Value> decode_value(JsonReader& in) {
    auto head = in.begin_variant("enum Value");
    if (!head) return fail(head.error());
    size_t kind = kValueKinds.size();
    for (size_t i = 0; i < kValueKinds.size(); ++i)
        if (kValueKinds[i] == head->name) kind = i;
    if (kind == kValueKinds.size()) return fail(in.unknown_variant(head->name, kValueKinds));
    const auto k = static_cast<ValueKind>(kind);
    if (head->unit) {
        if (k == ValueKind::Null) return Value::null();
        return fail(in.error("invalid type: unit variant, expected newtype variant"));
    }
    Value v;
    switch (k) {
        case ValueKind::Null:
            if (auto st = in.read_null("unit"); !st) return fail(st.error());
            break;
        case ValueKind::Int: {
            auto i = in.read_i64();
            if (!i) return fail(i.error());
            v = Value::integer(*i);
            break;
        }
        case ValueKind::Float: {
            if (in.peek().kind == JsonToken::String) {
                auto s = in.read_string();
                if (!s) return fail(s.error());
                auto bits = parse_bits(*s);
                if (!bits) return fail(in.error("invalid float bit pattern"));
                v = Value::floating(std::bit_cast<double>(*bits));
                break;
            }
            auto f = in.read_f64();
            if (!f) return fail(f.error());
            v = Value::floating(*f);
            break;
        }
        case ValueKind::Bool: {
            auto b = in.read_bool();
            if (!b) return fail(b.error());
            v = Value::boolean(*b);
            break;
        }
        default: {
            auto s = in.read_string();
            if (!s) return fail(s.error());
            v = Value::with_text(k, std::move(*s));
            break;
        }
    }
    if (auto st = in.end_variant(); !st) return fail(st.error());
    return v;
}

Status write_all(int fd, const std::string& bytes) {
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

Status encode_record(std::string& out, const Row& row) {
    const size_t mark = out.size();
    out.append(4, '\0');
    out.push_back('[');
    for (size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (auto st = encode_value(out, row[i]); !st) {
            out.resize(mark);
            return storage_error("encode sort row: " + st.error().message);
        }
    }
    out.push_back(']');
    const size_t len = out.size() - mark - 4;
    if (len > 0xFFFFFFFFull) {
        out.resize(mark);
        return storage_error("sort row too large");
    }
    std::string prefix;
    put_u32(prefix, static_cast<uint32_t>(len));
    out.replace(mark, 4, prefix);
    return {};
}

Result<Row> decode_row(std::string_view json) {
    JsonReader in(json);
    Row row;
    auto st = in.read_array([&]() -> Status {
        auto v = decode_value(in);
        if (!v) return fail(v.error());
        row.push_back(std::move(*v));
        return {};
    });
    if (st) st = in.finish();
    if (!st) return storage_error("decode sort row: " + st.error().message);
    return row;
}

Status write_run(const std::string& path, std::span<const Row* const> rows) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return storage_error("create sort run: " + os_error());
    std::string buf;
    Status st;
    for (const Row* row : rows) {
        st = encode_record(buf, *row);
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
    auto row = decode_row(std::string_view(buf_.data() + pos_, len));
    pos_ += len;
    if (!row) return fail(row.error());
    return std::optional<Row>(std::move(*row));
}

}  // namespace zembrel::sort_spill

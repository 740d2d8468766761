#include "shadow/merge_record.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>

#include "pager/le_bytes.h"
#include "shadow/session.h"
#include "types/text_format.h"

namespace zembrel::shadow {

namespace {

constexpr std::uint8_t kRecordMagic[4] = {'K', 'R', 'V', 'M'};
constexpr std::uint16_t kVersion = 1;
constexpr const char* kRecordExt = ".krvm";
constexpr const char* kUnfinishedExt = ".krvm.tmp";

std::uint32_t record_crc(ByteView bytes) {
    return static_cast<std::uint32_t>(::crc32_z(0, bytes.data(), bytes.size()));
}

template <class T>
void put_le(Bytes& out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_record_text(Bytes& out, const std::string& s) {
    put_le(out, static_cast<std::uint16_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

struct Cursor {
    ByteView bytes;
    std::size_t pos = 0;

    template <class T>
    bool num(T& v) {
        if (bytes.size() - pos < sizeof(T)) return false;
        v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | (static_cast<T>(bytes[pos + i]) << (8 * i)));
        pos += sizeof(T);
        return true;
    }
    bool text(std::string& s) {
        std::uint16_t n = 0;
        if (!num(n) || bytes.size() - pos < n) return false;
        s.assign(reinterpret_cast<const char*>(bytes.data() + pos), n);
        pos += n;
        return true;
    }
};

std::string sibling(const std::string& path, const std::string& file) {
    std::filesystem::path p(path);
    p.replace_filename(file);
    return p.string();
}

bool base_holds_merge(const Engine& base, const std::string& stem, const std::string& id) {
    const PageStore* store = base.page_store();
    if (store == nullptr) return false;
    for (const auto& [name, entry] : store->catalog.entries()) {
        auto it = entry.shadow_merges.find(stem);
        if (it != entry.shadow_merges.end() && it->second == id) return true;
    }
    return false;
}

// The kept-ops file back to where the commit found it.
Status take_back_kept_ops(Vfs& fs, const std::string& kept_path, const MergeRecord& record) {
    if (record.kept == 0) return {};
    if (!record.kept_from) {
        if (auto st = fs.remove(kept_path); !st && fs.exists(kept_path)) return st;
        return {};
    }
    auto file = fs.open(kept_path);
    if (!file) return fail(file.error());
    auto len = (*file)->len();
    if (!len) return fail(len.error());
    if (*len <= *record.kept_from) return {};
    if (auto st = (*file)->set_len(*record.kept_from); !st) return st;
    return (*file)->sync(kSyncFull);
}

Status settle_left_record(const Engine& base, Vfs& fs, const std::string& path) {
    auto record = read_merge_record(fs, path);
    if (!record) return fail(record.error());
    const std::string log_path = sibling(path, record->log_file);
    auto present = fs.exists_checked(log_path);
    if (!present) return fail(present.error());
    ShadowFile now;
    std::optional<ShadowLog> held;  // keeps a session from taking the log up meanwhile
    if (*present) {
        auto log = ShadowLog::open_existing(log_path, &now);
        if (!log) return fail(log.error());  // in use: its session settles the record
        held = std::move(*log);
    }
    auto settled = settle_merge_record(base, fs, path, *record, held ? &now : nullptr);
    if (!settled) return fail(settled.error());
    return {};
}

}  // namespace

Bytes MergeRecord::encode() const {
    Bytes out(kRecordMagic, kRecordMagic + 4);
    put_le(out, kVersion);
    put_record_text(out, id);
    put_record_text(out, log_file);
    put_le(out, log_len);
    put_le(out, log_crc);
    put_le(out, ops_merged);
    put_le(out, kept);
    put_le(out, static_cast<std::uint8_t>(kept_from ? 1 : 0));
    put_le(out, kept_from.value_or(0));
    put_le(out, record_crc(out));
    return out;
}

Result<MergeRecord> MergeRecord::parse(ByteView bytes, const std::string& path) {
    auto damaged = [&] { return storage_error(format("merge record '{}' is damaged", path)); };
    if (bytes.size() < 8 || !std::equal(kRecordMagic, kRecordMagic + 4, bytes.begin()) ||
        record_crc(bytes.first(bytes.size() - 4)) != le::get32(bytes.data() + bytes.size() - 4))
        return damaged();
    Cursor in{bytes.first(bytes.size() - 4), 4};
    MergeRecord r;
    std::uint16_t version = 0;
    std::uint8_t appended = 0;
    std::uint64_t from = 0;
    if (!in.num(version) || version != kVersion || !in.text(r.id) || !in.text(r.log_file) || !in.num(r.log_len) ||
        !in.num(r.log_crc) || !in.num(r.ops_merged) || !in.num(r.kept) || !in.num(appended) || !in.num(from) ||
        appended > 1 || in.pos != in.bytes.size())
        return damaged();
    // The log is removed by this name: it must stay inside the directory.
    if (r.log_file.empty() || r.log_file == "." || r.log_file == ".." ||
        r.log_file.find('/') != std::string::npos || r.log_file.find('\0') != std::string::npos)
        return damaged();
    if (appended) r.kept_from = from;
    return r;
}

std::string log_stem(const std::string& log_path) {
    const std::string file = std::filesystem::path(log_path).filename().string();
    if (file.empty() || file == "..") return "shadow";
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return file;
    return file.substr(0, dot);
}

std::string merge_record_path(const std::string& log_path) {
    return sibling(log_path, log_stem(log_path) + kRecordExt);
}

std::string kept_ops_path(const std::string& log_path) { return sibling(log_path, log_stem(log_path) + ".krvc"); }

Status write_merge_record(Vfs& fs, const std::string& path, const MergeRecord& record) {
    const std::string unfinished = path + ".tmp";
    const Bytes bytes = record.encode();
    auto file = fs.create_truncate(unfinished);
    if (!file) return fail(file.error());
    Status st = (*file)->write_at(bytes, 0);
    if (st) st = (*file)->sync(kSyncFull);
    file->reset();
    if (st) st = fs.rename(unfinished, path);
    if (!st) {
        (void)fs.remove(unfinished);
        return st;
    }
    fs.sync_dir(path);
    return {};
}

Result<MergeRecord> read_merge_record(Vfs& fs, const std::string& path) {
    auto file = fs.open_read_only(path);
    if (!file) return fail(file.error());
    auto len = (*file)->len();
    if (!len) return fail(len.error());
    // A record is well under a kilobyte; anything larger is not one.
    if (*len > 4096) return storage_error(format("merge record '{}' is damaged", path));
    Bytes bytes(*len);
    if (auto st = (*file)->read_at(bytes, 0); !st) return fail(st.error());
    return MergeRecord::parse(bytes, path);
}

Status mark_merged_tables(PageStore& store, const std::vector<std::string>& tables, const std::string& stem,
                          const std::string& id, Vfs& fs, const std::string& shadow_dir) {
    for (const std::string& name : tables) {
        auto entry = store.catalog.table(name);
        if (!entry) return fail(entry.error());
        std::erase_if((*entry)->shadow_merges, [&](const auto& mark) {
            const auto record = std::filesystem::path(shadow_dir) / (mark.first + kRecordExt);
            return mark.first != stem && !fs.exists(record.string());
        });
        (*entry)->shadow_merges.insert_or_assign(stem, id);
        if (auto st = store.write_entry(name); !st) return st;
    }
    return {};
}

Status take_back_merge(Vfs& fs, const std::string& path, const MergeRecord& record) {
    if (auto st = take_back_kept_ops(fs, kept_ops_path(sibling(path, record.log_file)), record); !st) return st;
    if (auto st = fs.remove(path); !st && fs.exists(path)) return st;
    return {};
}

Result<Settled> settle_merge_record(const Engine& base, Vfs& fs, const std::string& path, const MergeRecord& record,
                                    const ShadowFile* log_now) {
    const std::string log_path = sibling(path, record.log_file);
    if (!base_holds_merge(base, log_stem(path), record.id)) {
        if (auto st = take_back_merge(fs, path, record); !st) return fail(st.error());
        return Settled::NotSaved;
    }
    const bool same_log =
        log_now != nullptr && log_now->valid_len == record.log_len && log_now->valid_crc == record.log_crc;
    if (same_log) {
        // Until the log is surely gone the record must stay: without it the
        // log would merge again.
        if (auto st = fs.remove(log_path); !st && fs.exists(log_path)) return fail(st.error());
        fs.sync_dir(log_path);
    }
    (void)fs.remove(path);  // a record left over settles again as a no-op
    return log_now == nullptr || same_log ? Settled::Saved : Settled::SavedEarlier;
}

Status settle_unfinished_merges(const Engine& base, const std::string& base_path, const std::string& own_record) {
    std::vector<std::string> records;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(shadows_dir(base_path), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().string();
        if (path.ends_with(kRecordExt) || path.ends_with(kUnfinishedExt)) records.push_back(path);
    }
    RealVfs fs;
    Status own;
    for (const std::string& path : records) {
        if (path.ends_with(kUnfinishedExt)) {
            // Records are written only under the base's lock, which this
            // open holds: one cut short belongs to a commit that never saved.
            (void)fs.remove(path);
            continue;
        }
        if (auto st = settle_left_record(base, fs, path); !st && path == own_record) own = std::move(st);
    }
    return own;
}

}  // namespace zembrel::shadow

// The shadow log: exact bytes of the current version, reading of older
// versions, header faults, the split into sealed and unsealed ops, a write/
// read round trip of random ops, the lock that keeps a second writer off a
// log, and the writer's behaviour when a write fails part-way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "engine_test_util.h"
#include "hex_bytes_util.h"
#include "pager/le_bytes.h"
#include "shadow/shadow_log.h"

namespace zembrel::testing {
namespace {

using shadow::LogKind;
using shadow::SealRecord;
using shadow::ShadowFile;
using shadow::ShadowLog;
using shadow::ShadowLogEntry;
using shadow::ShadowOp;

using Bytes = std::vector<std::uint8_t>;

Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

ShadowFile parsed(const Bytes& bytes) {
    auto f = ShadowFile::parse(bytes, "x");
    EXPECT_TRUE(f.has_value()) << f.error().display();
    return f ? std::move(*f) : ShadowFile{};
}

// A frame around a payload given in hex, with its CRC computed here.
Bytes frame(const char* payload_hex) {
    Bytes p = hex_bytes(payload_hex);
    Bytes f(8);
    le::put32(f.data(), static_cast<std::uint32_t>(p.size()));
    le::put32(f.data() + 4, static_cast<std::uint32_t>(::crc32_z(0, p.data(), p.size())));
    f.insert(f.end(), p.begin(), p.end());
    return f;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ShadowLog, CurrentVersionBytes) {
    ScratchDir dir;
    const std::string path = dir.file("sub/dir/b.krvb");  // parent directories are made
    {
        auto log = ShadowLog::create(path, "b", {{"t", 0x0102030405060708ULL}});
        ASSERT_TRUE(log.has_value()) << log.error().display();
        ASSERT_TRUE(ShadowOp::insert("t", {Value::integer(1)}).encode(*log).has_value());
        ASSERT_TRUE(ShadowOp::update("t", Value::integer(1), Row{Value::null()}, {Value::boolean(true)})
                        .encode(*log).has_value());
        ASSERT_TRUE(ShadowOp::remove("t", Value::text("k"), std::nullopt).encode(*log).has_value());
        ASSERT_TRUE(log->append_seal(SealRecord{"al", "m", 5, 3}).has_value());
        ASSERT_TRUE(log->sync().has_value());
    }
    const Bytes expected =
        hex_bytes("4B 52 56 56, 03 00, 01 00 62, 01 00, 01 00 74 08 07 06 05 04 03 02 01") +
        frame("01 01 00 74, 01 00 01 01 00 00 00 00 00 00 00") +
        frame("02 01 00 74, 0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, 01 03 00 00 00 01 00 00, 01 00 03 01") +
        frame("03 01 00 74, 08 00 00 00 01 00 04 01 00 00 00 6B, 00") +
        // seal: 27 + a + g bytes
        frame("04 00 00, 02 00 00 00 61 6C, 01 00 00 00 6D, 05 00 00 00 00 00 00 00, 03 00 00 00 00 00 00 00");
    EXPECT_EQ(file_bytes(path), expected);
    EXPECT_EQ((SealRecord{"al", "m", 5, 3}.encode()->size()), 27u + 2 + 1);

    auto f = ShadowFile::read(path);
    ASSERT_TRUE(f.has_value()) << f.error().display();
    EXPECT_EQ(f->version, 3);
    EXPECT_EQ(f->name, "b");
    EXPECT_EQ(f->table_fingerprints, (shadow::TableFingerprints{{"t", 0x0102030405060708ULL}}));
    EXPECT_EQ(f->valid_len, expected.size());
    ASSERT_EQ(f->entries.size(), 4u);
    EXPECT_EQ(std::get<ShadowOp>(f->entries[1]),
              ShadowOp::update("t", Value::integer(1), Row{Value::null()}, {Value::boolean(true)}));
    EXPECT_EQ(std::get<SealRecord>(f->entries[3]), (SealRecord{"al", "m", 5, 3}));
}

TEST(ShadowLog, OlderVersionsAndOddPayloads) {
    const Bytes v1 = hex_bytes("4B 52 56 56, 01 00, 00 00");
    const Bytes v2 = hex_bytes("4B 52 56 56, 02 00, 00 00");
    const Row one{Value::integer(1)};
    struct Case {
        Bytes bytes;
        std::vector<ShadowLogEntry> entries;
    };
    const Case cases[] = {
        // v1 update: pk record with length, then the new row; no before row.
        {v1 + frame("02 01 00 74, 0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, 01 00 03 01"),
         {ShadowOp::update("t", Value::integer(1), std::nullopt, {Value::boolean(true)})}},
        // v1 delete: the pk record runs to the end, without a length.
        {v1 + frame("03 01 00 74, 01 00 01 01 00 00 00 00 00 00 00"),
         {ShadowOp::remove("t", Value::integer(1), std::nullopt)}},
        // v2 delete with a before row; bytes after it are ignored.
        {v2 + frame("03 01 00 74, 0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, 01 0B 00 00 00 "
                    "01 00 01 01 00 00 00 00 00 00 00, EE EE"),
         {ShadowOp::remove("t", Value::integer(1), one)}},
        // A seal whose table-name bytes are not zero is still a seal; bad
        // UTF-8 in its texts reads as U+FFFD.
        {v2 + frame("04 77 77, 01 00 00 00 FF, 00 00 00 00, 01 00 00 00 00 00 00 00, 02 00 00 00 00 00 00 00"),
         {SealRecord{"\xEF\xBF\xBD", "", 1, 2}}},
        // Faulty frames end the list: a pk record of two values, a table
        // name that is not UTF-8, an unknown kind, an optional-row flag of 2,
        // a zero length, a seal cut short.
        {v2 + frame("03 00 00, 14 00 00 00 02 00 01 01 00 00 00 00 00 00 00 01 01 00 00 00 00 00 00 00, 00"), {}},
        {v2 + frame("01 01 00 FF, 00 00"), {}},
        {v2 + frame("05 00 00, 00 00"), {}},
        {v2 + frame("03 00 00, 0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, 02"), {}},
        {v2 + hex_bytes("00 00 00 00 00 00 00 00"), {}},
        {v2 + frame("04 00 00, 01 00 00 00 61, 00 00 00 00, 01 00 00 00 00 00 00 00, 02 00 00 00 00 00 00"), {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ShadowFile f = parsed(cases[i].bytes);
        EXPECT_TRUE(f.table_fingerprints.empty());
        EXPECT_EQ(f.entries, cases[i].entries);
        EXPECT_EQ(f.valid_len, cases[i].entries.empty() ? 8u : cases[i].bytes.size());
    }
}

TEST(ShadowLog, HeaderFaults) {
    struct Case {
        const char* hex;
        const char* error;  // display text; empty: reads with no entries
    };
    const Case cases[] = {
        {"4B 52 56", "Storage error: 'x' is not a KRVV shadow file"},
        {"4B 52 56 57 03 00 00 00", "Storage error: 'x' is not a KRVV shadow file"},
        {"4B 52 56 56 04 00 00 00", "Storage error: unsupported shadow version 4"},
        {"4B 52 56 56 00 00 00 00", "Storage error: unsupported shadow version 0"},
        {"4B 52 56 56 02 00 02 00 61", "Storage error: shadow header truncated"},
        {"4B 52 56 56 03 00 00 00 01", "Storage error: shadow header truncated"},
        {"4B 52 56 56 03 00 00 00 01 00 01 00 61 00 00 00 00 00 00 00", "Storage error: shadow header truncated"},
        {"4B 52 56 56 03 00 00 00 00 00 01 02 03 04 05 06 07", ""},  // 7 trailing bytes: no frame
        {"4B 52 56 56 02 00 01 00 FF", ""},
    };
    for (const Case& c : cases) {
        auto f = ShadowFile::parse(hex_bytes(c.hex), "x");
        if (*c.error) {
            ASSERT_FALSE(f.has_value()) << c.hex;
            EXPECT_EQ(f.error().display(), c.error);
        } else {
            ASSERT_TRUE(f.has_value()) << c.hex;
            EXPECT_TRUE(f->entries.empty());
        }
    }
    EXPECT_EQ(parsed(hex_bytes("4B 52 56 56 02 00 01 00 FF")).name, "\xEF\xBF\xBD");
    EXPECT_EQ(parsed(hex_bytes("4B 52 56 56 03 00 00 00 00 00 01 02 03 04 05 06 07")).valid_len, 10u);
    // A table named twice keeps the later fingerprint.
    EXPECT_EQ(parsed(hex_bytes("4B 52 56 56 03 00 00 00 02 00 01 00 61 01 00 00 00 00 00 00 00 "
                               "01 00 61 02 00 00 00 00 00 00 00"))
                  .table_fingerprints,
              (shadow::TableFingerprints{{"a", 2}}));
    auto missing = ShadowFile::read("/nonexistent/zembrel/x.krvv");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message.rfind("shadow read '/nonexistent/zembrel/x.krvv': ", 0), 0u);
}

TEST(ShadowLog, SealedAndUnsealedOps) {
    const ShadowLogEntry op = ShadowOp::insert("t", {Value::integer(1)});
    const ShadowLogEntry seal = SealRecord{"a", "m", 0, 1};
    struct Case {
        std::vector<ShadowLogEntry> entries;
        std::uint64_t unsealed;
        int anonymous_ops, branch_ops;  // -1: refused
    };
    const Case cases[] = {
        {{op, op, seal}, 0, 2, 2},
        {{op, seal, op}, 1, -1, -1},
        {{op, seal, op, op}, 2, -1, -1},
        {{op, op}, 2, 2, -1},  // a branch that never sealed has sealed nothing
        {{seal}, 0, 0, 0},
        {{}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shadow::unsealed_count(c.entries), c.unsealed);
        for (LogKind kind : {LogKind::Anonymous, LogKind::Branch}) {
            const int want = kind == LogKind::Anonymous ? c.anonymous_ops : c.branch_ops;
            auto ops = ShadowFile::sealed_ops(c.entries, kind);
            if (want < 0) {
                ASSERT_FALSE(ops.has_value());
                EXPECT_EQ(ops.error().display(),
                          "Execution error: branch has " + std::to_string(c.unsealed) +
                              " unsealed op(s) after the last commit — commit them (seal) or discard before merging");
            } else {
                ASSERT_TRUE(ops.has_value());
                EXPECT_EQ(ops->size(), size_t(want));
            }
        }
    }
    EXPECT_EQ(ShadowFile::all_ops({op, seal, op}).size(), 2u);
}

TEST(ShadowLog, SchemaFingerprint) {
    auto fnv = [](std::string_view bytes) {
        std::uint64_t h = 0xcbf29ce484222325ULL;
        for (unsigned char b : bytes) h = (h ^ b) * 0x100000001b3ULL;
        return h;
    };
    Column a{"a", DataType::of(DataTypeKind::Int), std::nullopt, std::nullopt, true};
    EXPECT_EQ(shadow::schema_fingerprint(std::vector<Column>{a}), fnv(std::string("a\xFFInt\xFF\x01\xFF", 8)));
    EXPECT_EQ(shadow::schema_fingerprint({}), 0xcbf29ce484222325ULL);
    Column s{"s", DataType::str(12), DefaultValue::of(Value::text("x")), std::string("salt"), false};
    Column s_plain = s;
    s_plain.default_value.reset();
    s_plain.salt.reset();
    EXPECT_EQ(shadow::schema_fingerprint(std::vector<Column>{a, s}), shadow::schema_fingerprint(std::vector<Column>{a, s_plain}));
    EXPECT_EQ(shadow::schema_fingerprint(std::vector<Column>{a, s}), fnv(std::string("a\xFFInt\xFF\x01\xFFs\xFFStr(12)\xFF\x00\xFF", 20)));
}

// ------------------------------------------------------------ round trip

Value random_value(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return Value::null();
        case 1: return Value::integer(static_cast<std::int64_t>(rng()));
        case 2: return Value::floating(std::bit_cast<double>(rng()));
        case 3: return Value::boolean(rng() % 2);
        case 4: return Value::text(std::string(rng() % 40, char('a' + rng() % 26)));
        case 5: return Value::uuid("u-" + std::to_string(rng() % 100));
        case 6: return Value::date("2024-01-0" + std::to_string(1 + rng() % 9));
        default: return Value::datetime("2024-01-01 00:00:00:" + std::to_string(rng() % 1000));
    }
}

Row random_row(std::mt19937_64& rng) {
    Row row(rng() % 6);
    for (Value& v : row) v = random_value(rng);
    return row;
}

std::optional<Row> maybe_row(std::mt19937_64& rng) {
    if (rng() % 3 == 0) return std::nullopt;
    return random_row(rng);
}

ShadowLogEntry random_entry(std::mt19937_64& rng) {
    const std::string table = rng() % 5 ? "t" + std::to_string(rng() % 3) : std::string("täble");
    switch (rng() % 7) {
        case 0: return SealRecord{std::string(rng() % 5, 'a'), "mé" + std::to_string(rng()), rng(), rng() % 10};
        case 1:
        case 2: return ShadowOp::insert(table, random_row(rng));
        case 3:
        case 4: return ShadowOp::update(table, random_value(rng), maybe_row(rng), random_row(rng));
        default: return ShadowOp::remove(table, random_value(rng), maybe_row(rng));
    }
}

Status append(ShadowLog& log, const ShadowLogEntry& e) {
    if (const auto* op = std::get_if<ShadowOp>(&e)) return op->encode(log);
    return log.append_seal(std::get<SealRecord>(e));
}

TEST(ShadowLog, RandomRoundTripAndReopen) {
    ScratchDir dir;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        std::mt19937_64 rng(seed);
        const std::string path = dir.file("s" + std::to_string(seed) + ".krvb");
        shadow::TableFingerprints fps;
        for (int i = 0, n = int(rng() % 4); i < n; ++i) fps["t" + std::to_string(i)] = rng();
        std::vector<ShadowLogEntry> written;
        {
            auto log = ShadowLog::create(path, "name-" + std::to_string(seed), fps);
            ASSERT_TRUE(log.has_value()) << log.error().display();
            for (int i = 0, n = int(rng() % 30); i < n; ++i) {
                written.push_back(random_entry(rng));
                ASSERT_TRUE(append(*log, written.back()).has_value());
            }
        }
        // Reopened, the log continues after its last frame.
        ShadowFile under_lock;
        {
            auto log = ShadowLog::open_existing(path, &under_lock);
            ASSERT_TRUE(log.has_value()) << log.error().display();
            EXPECT_EQ(under_lock.entries, written);
            for (int i = 0, n = int(rng() % 5); i < n; ++i) {
                written.push_back(random_entry(rng));
                ASSERT_TRUE(append(*log, written.back()).has_value());
            }
        }
        auto f = ShadowFile::read(path);
        ASSERT_TRUE(f.has_value()) << f.error().display();
        EXPECT_EQ(f->name, "name-" + std::to_string(seed));
        EXPECT_EQ(f->table_fingerprints, fps);
        EXPECT_EQ(f->entries, written) << "seed " << seed;
        EXPECT_EQ(f->valid_len, std::filesystem::file_size(path));
    }
}

// ------------------------------------------------------------ one writer at a time

TEST(ShadowLog, OneWriterPerLog) {
    ScratchDir dir;
    const std::string path = dir.file("feature.krvb");
    const std::string in_use = "Storage error: shadow log '" + path + "' is in use by another session";
    auto first = ShadowLog::create(path, "feature", {});
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(ShadowOp::insert("t", {Value::integer(1)}).encode(*first).has_value());

    auto second = ShadowLog::open_existing(path);
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().display(), in_use);
    auto again = ShadowLog::create(path, "feature", {});
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().message.rfind("shadow '" + path + "': ", 0), 0u);
    // Readers are not kept out.
    EXPECT_EQ(ShadowFile::read(path)->entries.size(), 1u);

    // A moved log keeps the lock; a closed one lets the next writer in.
    ShadowLog moved = std::move(*first);
    auto third = ShadowLog::open_existing(path);
    ASSERT_FALSE(third.has_value());
    EXPECT_EQ(third.error().display(), in_use);
    { ShadowLog gone = std::move(moved); }
    auto next = ShadowLog::open_existing(path);
    ASSERT_TRUE(next.has_value()) << next.error().display();
    EXPECT_EQ(next->end(), std::filesystem::file_size(path));
}

// ------------------------------------------------------------ failed writes

// Limits the size of files this process may write, so that a write fails
// part-way (EFBIG); the limit signal is ignored meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit lim = saved_;
        lim.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    sighandler_t old_handler_;
};

TEST(ShadowLog, FailedWritesLeaveNoTrap) {
    ScratchDir dir;
    const std::string path = dir.file("big.krvv");
    const std::string long_name(200, 'n');
    {
        FileSizeLimit limit(64);
        auto log = ShadowLog::create(path, long_name, {});
        ASSERT_FALSE(log.has_value());
        EXPECT_EQ(log.error().message.rfind("shadow header write: ", 0), 0u) << log.error().message;
    }
    // The partial header is gone, so the name can be used again.
    EXPECT_FALSE(std::filesystem::exists(path));
    auto log = ShadowLog::create(path, long_name, {});
    ASSERT_TRUE(log.has_value()) << log.error().display();
    const ShadowOp small = ShadowOp::insert("t", {Value::integer(1)});
    const ShadowOp large = ShadowOp::insert("t", {Value::text(std::string(500, 'x'))});
    ASSERT_TRUE(small.encode(*log).has_value());
    {
        FileSizeLimit limit(log->end() + 100);
        auto st = large.encode(*log);
        ASSERT_FALSE(st.has_value());
        EXPECT_EQ(st.error().message.rfind("shadow append: ", 0), 0u) << st.error().message;
    }
    // The torn frame does not hide the frames appended after it.
    ASSERT_TRUE(small.encode(*log).has_value());
    auto f = ShadowFile::read(path);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->entries, (std::vector<ShadowLogEntry>{small, small}));
    EXPECT_EQ(f->valid_len, std::filesystem::file_size(path));
}

}  // namespace
}  // namespace zembrel::testing

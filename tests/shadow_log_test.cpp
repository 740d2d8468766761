// The shadow log: the exact bytes written, the reader's rules for older
// versions and faulty headers and frames, the split into sealed ops, a
// random write/read round trip, the lock that keeps a second writer off a
// log, and writes that fail part-way; the merge record a commit leaves
// beside its log. Damaged logs: storage_fuzz_test.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "test_util.h"
#include "pager/le_bytes.h"
#include "shadow/merge_record.h"
#include "shadow/shadow_log.h"

namespace zembrel::testing {
namespace {

using namespace shadow;
using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A frame around a payload given in hex.
Bytes frame(const char* payload_hex) {
    Bytes p = hex_bytes(payload_hex), f(8);
    le::put32(f.data(), static_cast<std::uint32_t>(p.size()));
    le::put32(f.data() + 4, static_cast<std::uint32_t>(::crc32_z(0, p.data(), p.size())));
    return f + p;
}

const Row kOne{Value::integer(1)};

// The error of a result that must have failed.
template <class T>
EngineError error_of(const Result<T>& r) {
    return r ? EngineError::execution("unexpected success") : r.error();
}

TEST(ShadowLog, WrittenBytes) {
    TempDir dir;
    const std::string path = dir.path("sub/dir/b.krvb");  // parent directories are made
    {
        auto log = ShadowLog::create(path, "b", {{"t", 0x0102030405060708ULL}});
        ASSERT_TRUE(log.has_value()) << log.error().display();
        ASSERT_TRUE(ShadowOp::insert("t", kOne).encode(*log));
        ASSERT_TRUE(ShadowOp::update("t", Value::integer(1), Row{Value::null()}, {Value::boolean(true)}).encode(*log));
        ASSERT_TRUE(ShadowOp::remove("t", Value::text("k"), std::nullopt).encode(*log));
        ASSERT_TRUE(log->append_seal(SealRecord{"al", "m", 5, 3}));
        ASSERT_TRUE(log->sync());
    }
    const Bytes expected =
        hex_bytes("4B 52 56 56, 03 00, 01 00 62, 01 00, 01 00 74 08 07 06 05 04 03 02 01") +
        frame("01 01 00 74, 01 00 01 01 00 00 00 00 00 00 00") +
        frame("02 01 00 74, 0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, 01 03 00 00 00 01 00 00, 01 00 03 01") +
        frame("03 01 00 74, 08 00 00 00 01 00 04 01 00 00 00 6B, 00") +
        frame("04 00 00, 02 00 00 00 61 6C, 01 00 00 00 6D, 05 00 00 00 00 00 00 00, 03 00 00 00 00 00 00 00");
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), expected);
    EXPECT_EQ((SealRecord{"al", "m", 5, 3}.encode()->size()), 27u + 2 + 1);
}

TEST(ShadowLog, ReaderRules) {
    const Bytes v1 = hex_bytes("4B 52 56 56, 01 00, 00 00"), v2 = hex_bytes("4B 52 56 56, 02 00, 00 00");
    const char* pk1 = "0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, ";
    struct Case {
        Bytes bytes;
        std::vector<ShadowLogEntry> entries;  // and valid_len: the end, or 8 when there are none
        const char* error = "";
    };
    const Case cases[] = {
        // v1 update: no before row; v1 delete: the pk record runs to the end.
        {v1 + frame((std::string("02 01 00 74, ") + pk1 + "01 00 03 01").c_str()),
         {ShadowOp::update("t", Value::integer(1), std::nullopt, {Value::boolean(true)})}},
        {v1 + frame("03 01 00 74, 01 00 01 01 00 00 00 00 00 00 00"), {ShadowOp::remove("t", Value::integer(1), std::nullopt)}},
        // v2 delete with a before row, bytes after it ignored.
        {v2 + frame((std::string("03 01 00 74, ") + pk1 + "01 0B 00 00 00 01 00 01 01 00 00 00 00 00 00 00, EE").c_str()),
         {ShadowOp::remove("t", Value::integer(1), kOne)}},
        // A seal with non-zero table-name bytes is a seal; bad UTF-8 in its texts reads as U+FFFD.
        {v2 + frame("04 77 77, 01 00 00 00 FF, 00 00 00 00, 01 00 00 00 00 00 00 00, 02 00 00 00 00 00 00 00"),
         {SealRecord{"\xEF\xBF\xBD", "", 1, 2}}},
        // Faulty frames end the list: a pk record of two values, a table name
        // that is not UTF-8, kind 5, an optional-row flag 2, L = 0, a seal cut
        // short, 7 trailing bytes.
        {v2 + frame("03 00 00, 14 00 00 00 02 00 01 01 00 00 00 00 00 00 00 01 01 00 00 00 00 00 00 00, 00"), {}},
        {v2 + frame("01 01 00 FF, 00 00"), {}},
        {v2 + frame("05 00 00, 00 00"), {}},
        {v2 + frame((std::string("03 00 00, ") + pk1 + "02").c_str()), {}},
        {v2 + hex_bytes("00 00 00 00 00 00 00 00"), {}},
        {v2 + frame("04 00 00, 01 00 00 00 61, 00 00 00 00, 01 00 00 00 00 00 00 00, 02 00 00 00 00 00 00"), {}},
        {v2 + hex_bytes("01 02 03 04 05 06 07"), {}},
        // Header faults.
        {hex_bytes("4B 52 56"), {}, "'x' is not a KRVV shadow file"},
        {hex_bytes("4B 52 56 57 03 00 00 00"), {}, "'x' is not a KRVV shadow file"},
        {hex_bytes("4B 52 56 56 04 00 00 00"), {}, "unsupported shadow version 4"},
        {hex_bytes("4B 52 56 56 00 00 00 00"), {}, "unsupported shadow version 0"},
        {hex_bytes("4B 52 56 56 02 00 02 00 61"), {}, "shadow header truncated"},
        {hex_bytes("4B 52 56 56 03 00 00 00 01"), {}, "shadow header truncated"},
        {hex_bytes("4B 52 56 56 03 00 00 00 01 00 01 00 61 00 00 00 00 00 00 00"), {}, "shadow header truncated"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        auto f = ShadowFile::parse(cases[i].bytes, "x");
        if (*cases[i].error) {
            ASSERT_FALSE(f.has_value());
            EXPECT_EQ(f.error(), EngineError::storage(cases[i].error));
            continue;
        }
        ASSERT_TRUE(f.has_value()) << f.error().display();
        EXPECT_EQ(f->entries, cases[i].entries);
        EXPECT_EQ(f->valid_len, cases[i].entries.empty() ? 8u : cases[i].bytes.size());
    }
    // Version 3: the table map (a name twice keeps the later fingerprint; bad
    // bytes in names read as U+FFFD); a log of only its header.
    auto f = ShadowFile::parse(hex_bytes("4B 52 56 56 03 00 01 00 FF 02 00 01 00 61 01 00 00 00 00 00 00 00 "
                                         "01 00 61 02 00 00 00 00 00 00 00"), "x");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->name, "\xEF\xBF\xBD");
    EXPECT_EQ(f->table_fingerprints, (TableFingerprints{{"a", 2}}));
    EXPECT_EQ(f->valid_len, 33u);
    EXPECT_EQ(error_of(ShadowFile::read("/nonexistent/x.krvv")).message.rfind("shadow read '/nonexistent/x.krvv': ", 0), 0u);
}

TEST(ShadowLog, SealedOps) {
    const ShadowLogEntry op = ShadowOp::insert("t", kOne), seal = SealRecord{"a", "m", 0, 1};
    struct Case {
        std::vector<ShadowLogEntry> entries;
        std::uint64_t unsealed;
        int anonymous_ops, branch_ops;  // -1: refused
    };
    const Case cases[] = {
        {{op, op, seal}, 0, 2, 2}, {{op, seal, op}, 1, -1, -1}, {{op, seal, op, op}, 2, -1, -1},
        {{op, op}, 2, 2, -1},  // a branch that never sealed has sealed nothing
        {{seal}, 0, 0, 0},     {{}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unsealed_count(c.entries), c.unsealed);
        for (LogKind kind : {LogKind::Anonymous, LogKind::Branch}) {
            const int want = kind == LogKind::Anonymous ? c.anonymous_ops : c.branch_ops;
            auto ops = ShadowFile::sealed_ops(c.entries, kind);
            if (want >= 0) {
                EXPECT_EQ(ops.value().size(), size_t(want));
            } else {
                EXPECT_EQ(error_of(ops).display(), "Execution error: branch has " + std::to_string(c.unsealed) +
                              " unsealed op(s) after the last commit — commit them (seal) or discard before merging");
            }
        }
    }
}

TEST(ShadowLog, SchemaFingerprint) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char b : std::string("a\xFFInt\xFF\x01\xFF", 8)) h = (h ^ b) * 0x100000001b3ULL;
    const Column a{"a", DataType::of(DataTypeKind::Int), std::nullopt, std::nullopt, true};
    EXPECT_EQ(schema_fingerprint(std::vector<Column>{a}), h);
    Column salted = a;
    salted.default_value = DefaultValue::of(Value::integer(3));
    salted.salt = "s";
    EXPECT_EQ(schema_fingerprint(std::vector<Column>{salted}), h);
    EXPECT_EQ(schema_fingerprint({}), 0xcbf29ce484222325ULL);
}

ShadowLogEntry random_entry(std::mt19937_64& rng) {
    auto value = [&]() -> Value {
        switch (rng() % 6) {
            case 0: return Value::null();
            case 1: return Value::integer(static_cast<std::int64_t>(rng()));
            case 2: return Value::floating(std::bit_cast<double>(rng()));
            case 3: return Value::boolean(rng() % 2);
            case 4: return Value::date("2024-01-0" + std::to_string(1 + rng() % 9));
            default: return Value::text(std::string(rng() % 40, 'x') + "é");
        }
    };
    auto row = [&] {
        Row r(rng() % 6);
        for (Value& v : r) v = value();
        return r;
    };
    auto before = [&] { return rng() % 3 ? std::optional<Row>(row()) : std::nullopt; };
    const std::string table = "t" + std::to_string(rng() % 3);
    switch (rng() % 4) {
        case 0: return SealRecord{"au", "mé" + std::to_string(rng()), rng(), rng() % 10};
        case 1: return ShadowOp::insert(table, row());
        case 2: return ShadowOp::update(table, value(), before(), row());
        default: return ShadowOp::remove(table, value(), before());
    }
}

Status append(ShadowLog& log, const ShadowLogEntry& e) {
    if (const auto* op = std::get_if<ShadowOp>(&e)) return op->encode(log);
    return log.append_seal(std::get<SealRecord>(e));
}

TEST(ShadowLog, RandomRoundTripAndReopen) {
    TempDir dir;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        std::mt19937_64 rng(seed);
        const std::string path = dir.path("s" + std::to_string(seed) + ".krvb");
        TableFingerprints fps;
        for (int i = 0, n = int(rng() % 4); i < n; ++i) fps["t" + std::to_string(i)] = rng();
        std::vector<ShadowLogEntry> written;
        for (int session = 0; session < 2; ++session) {  // created, then reopened and continued
            ShadowFile seen;
            auto log = session == 0 ? ShadowLog::create(path, "b" + std::to_string(seed), fps)
                                    : ShadowLog::open_existing(path, &seen);
            ASSERT_TRUE(log.has_value()) << log.error().display();
            EXPECT_EQ(seen.entries, session == 0 ? std::vector<ShadowLogEntry>{} : written);
            for (int i = 0, n = int(rng() % 20); i < n; ++i) {
                written.push_back(random_entry(rng));
                ASSERT_TRUE(append(*log, written.back()));
            }
        }
        auto f = ShadowFile::read(path);
        ASSERT_TRUE(f.has_value()) << f.error().display();
        EXPECT_EQ(f->name, "b" + std::to_string(seed));
        EXPECT_EQ(f->table_fingerprints, fps);
        EXPECT_EQ(f->entries, written) << "seed " << seed;
        EXPECT_EQ(f->valid_len, std::filesystem::file_size(path));
    }
}

TEST(ShadowLog, OneWriterPerLog) {
    TempDir dir;
    const std::string path = dir.path("feature.krvb");
    const auto in_use = EngineError::storage("shadow log '" + path + "' is in use by another session");
    auto first = ShadowLog::create(path, "feature", {});
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(ShadowOp::insert("t", kOne).encode(*first));
    EXPECT_EQ(error_of(ShadowLog::open_existing(path)), in_use);
    EXPECT_EQ(error_of(ShadowLog::create(path, "feature", {})).message.rfind("shadow '" + path + "': ", 0), 0u);
    EXPECT_EQ(ShadowFile::read(path)->entries.size(), 1u);  // readers are not kept out
    ShadowLog moved = std::move(*first);                     // the lock moves with the log
    EXPECT_EQ(error_of(ShadowLog::open_existing(path)), in_use);
    { ShadowLog gone = std::move(moved); }
    auto next = ShadowLog::open_existing(path);
    ASSERT_TRUE(next.has_value()) << next.error().display();
    EXPECT_EQ(next->end(), std::filesystem::file_size(path));
}

TEST(ShadowLog, FailedWritesLeaveNoTrap) {
    TempDir dir;
    const std::string path = dir.path("big.krvv");
    {
        FileSizeLimit limit(64);
        auto log = ShadowLog::create(path, std::string(200, 'n'), {});
        EXPECT_EQ(error_of(log).message.rfind("shadow header write: ", 0), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(path));  // the name can be used again
    auto log = ShadowLog::create(path, std::string(200, 'n'), {});
    ASSERT_TRUE(log.has_value()) << log.error().display();
    const ShadowOp small = ShadowOp::insert("t", kOne);
    ASSERT_TRUE(small.encode(*log));
    {
        FileSizeLimit limit(log->end() + 100);
        auto st = ShadowOp::insert("t", {Value::text(std::string(500, 'x'))}).encode(*log);
        ASSERT_FALSE(st.has_value());
        EXPECT_EQ(st.error().message.rfind("shadow append: ", 0), 0u);
    }
    // The torn frame does not hide the frames appended after it.
    ASSERT_TRUE(small.encode(*log));
    auto f = ShadowFile::read(path);
    EXPECT_EQ(f->entries, (std::vector<ShadowLogEntry>{small, small}));
    EXPECT_EQ(f->valid_len, std::filesystem::file_size(path));
}

// The merge record a commit leaves beside its log until it is settled: its
// bytes, its names, and damage of any kind read as an error.
TEST(MergeRecord, BytesNamesAndDamage) {
    MergeRecord r{"id-1", "work.krvb", 0x0102, 0xAABBCCDD, 5, 2, 0x30};
    const Bytes head = hex_bytes("4B52564D 0100 0400 69642D31 0900 776F726B2E6B727662 0201000000000000 DDCCBBAA"
                                 "0500000000000000 0200000000000000 01 3000000000000000");
    Bytes crc(4);
    le::put32(crc.data(), static_cast<std::uint32_t>(::crc32_z(0, head.data(), head.size())));
    EXPECT_EQ(r.encode(), head + crc);
    for (std::optional<std::uint64_t> from : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(0)}) {
        r.kept_from = from;
        auto back = MergeRecord::parse(r.encode(), "m");
        ASSERT_TRUE(back.has_value()) << back.error().display();
        EXPECT_EQ(back->id, r.id);
        EXPECT_EQ(back->log_file, r.log_file);
        EXPECT_EQ(std::tie(back->log_len, back->log_crc, back->ops_merged, back->kept, back->kept_from),
                  std::tie(r.log_len, r.log_crc, r.ops_merged, r.kept, r.kept_from));
    }
    const Bytes good = r.encode();
    auto damaged = [](const Bytes& bytes) {
        auto parsed = MergeRecord::parse(bytes, "m");
        return !parsed && parsed.error().message == "merge record 'm' is damaged";
    };
    for (std::size_t n = 0; n < good.size(); ++n) EXPECT_TRUE(damaged(Bytes(good.begin(), good.begin() + n))) << n;
    for (std::size_t i = 0; i < good.size(); ++i) {
        Bytes flipped = good;
        flipped[i] ^= 0x10;
        EXPECT_TRUE(damaged(flipped)) << i;
    }
    EXPECT_TRUE(damaged(good + Bytes{0}));
    // A log name that would reach outside the shadow directory, even with a
    // good CRC: the settling removes the log by that name.
    for (const char* name : {"", ".", "..", "../base.db", "a/b"}) {
        r.log_file = name;
        EXPECT_TRUE(damaged(r.encode())) << name;
    }

    EXPECT_EQ(log_stem("d/feature-1.krvb"), "feature-1");
    EXPECT_EQ(log_stem("d/rc-1.2.krvb"), "rc-1.2");
    EXPECT_EQ(log_stem("d/.hidden"), ".hidden");
    EXPECT_EQ(log_stem("d/.."), "shadow");
    EXPECT_EQ(merge_record_path("d/rc-1.2.krvb"), "d/rc-1.2.krvm");
    EXPECT_EQ(kept_ops_path("d/rc-1.2.krvb"), "d/rc-1.2.krvc");

    // What a record names of its log: the valid part's length and CRC, which
    // a torn tail does not change.
    const Bytes log = hex_bytes("4B525656 0300 0100 77 0000") + frame("01 0100 74 0100 01 0100000000000000");
    auto f = ShadowFile::parse(log + hex_bytes("FFFF"), "l");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->valid_len, log.size());
    EXPECT_EQ(f->valid_crc, static_cast<std::uint32_t>(::crc32_z(0, log.data(), log.size())));
}

}  // namespace
}  // namespace zembrel::testing

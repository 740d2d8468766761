// A three-way join of a small table with itself whose rows carry a long
// text that no part of the statement reads, side by side with SQLite on
// the same SQL text through the C APIs (both databases in memory):
//   SELECT COUNT(*) FROM t JOIN t j1 ON t.x >= -100 JOIN t j2 ON j2.a >= -100
// over t(a INT, x INT, s TEXT) of 120 rows, once with short texts only and
// once with two of them 256 KiB long. A joined row reads its input rows in
// place, so the long texts should cost next to nothing: the last line gives
// zembrel's time with them against its time without.
//
// Usage: unread_text_join_bench [rows [text KiB [runs]]]   (120, 256, 7).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "side_by_side.h"
#include "zembrel.h"

namespace {

using namespace zembrel::bench;

constexpr const char* kJoin = "SELECT COUNT(*) FROM t JOIN t j1 ON t.x >= -100 JOIN t j2 ON j2.a >= -100";

capi::Outcome run_join(long rows, long text_kib, int runs) {
    capi::Workload w;
    w.name = text_kib > 0 ? "3-way join, two " + std::to_string(text_kib) + " KiB texts unread"
                          : "3-way join, short texts";
    w.runs = runs;
    w.setup = [rows, text_kib](capi::Db& db) {
        db.exec(db.kind() == capi::EngineKind::Zembrel ? "CREATE TABLE t (a INT, x INT, s TEXT)"
                                                       : "CREATE TABLE t (a INTEGER, x INTEGER, s TEXT)");
        const std::string long_text(static_cast<size_t>(text_kib) * 1024, 'x');
        std::string insert = "INSERT INTO t VALUES ";
        for (long i = 0; i < rows; ++i) {
            const bool long_one = text_kib > 0 && (i == rows / 4 || i == 3 * rows / 4);
            insert += (i ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(i % 7) + ", '" +
                      (long_one ? long_text : "row " + std::to_string(i)) + "')";
        }
        db.exec(insert);
    };
    w.timed = [](int) { return std::vector<capi::Step>{capi::query(kJoin)}; };
    return capi::run(w);
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? std::atol(argv[1]) : 120;
    const long text_kib = argc > 2 ? std::atol(argv[2]) : 256;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 7;
    std::printf("%ld rows: %s\n", rows, kJoin);
    const capi::Outcome plain = run_join(rows, 0, runs);
    const capi::Outcome texts = run_join(rows, text_kib, runs);
    std::printf("zembrel with the texts / without: %.2f\n",
                plain.zembrel_seconds > 0 ? texts.zembrel_seconds / plain.zembrel_seconds : 0.0);
    return 0;
}

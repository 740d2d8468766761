// What the traced tests of file steps share (the kill, pause and power-cut
// tests): looks at the files a run left, a few calls through the C
// interface, and a fixture with a canonical folder of its own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "file_steps.h"
#include "zembrel.h"

namespace zembrel::testing::file_step_util {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- files

inline std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every file under `dir` with its size, for the messages of failed checks.
inline std::string left_in(const std::string& dir) {
    std::string out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        out += (out.empty() ? "" : ", ") + fs::relative(it->path(), dir).string();
        if (it->is_regular_file()) out += " (" + std::to_string(it->file_size()) + " bytes)";
        if (it->is_directory()) out += "/";
    }
    return "left: [" + out + "]";
}

inline bool any_name_contains(const std::string& dir, const std::string& part) {
    const auto names = names_in(dir);
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return n.find(part) != std::string::npos; });
}

inline std::optional<std::string> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether the file at `path` holds exactly `want`, saying briefly what it
// holds otherwise (a page file in full would bury the message).
inline ::testing::AssertionResult holds(const std::string& path, const std::string& want) {
    const auto got = bytes_of(path);
    if (got == want) return ::testing::AssertionSuccess();
    if (!got) return ::testing::AssertionFailure() << path << " is missing";
    std::string head;
    for (char c : got->substr(0, 24)) head += c >= 32 && c < 127 ? c : '.';
    return ::testing::AssertionFailure() << path << " holds " << got->size() << " bytes starting with '" << head << "'";
}

inline void put_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

inline bool acked(const StepRun& run, char tag) { return run.acks.find(tag) != std::string::npos; }

// ---------------------------------------------------------------- the C interface

inline bool exec(zembrel_db* db, const char* sql) { return zembrel_exec(db, sql) == 0; }

// The first column of a query's rows, or nothing when the query fails (a
// missing table).
inline std::optional<std::vector<std::string>> column_of(zembrel_db* db, const std::string& sql) {
    zembrel_result* rs = zembrel_query(db, sql.c_str());
    if (rs == nullptr) return std::nullopt;
    std::vector<std::string> cells;
    for (int r = 0; r < zembrel_result_row_count(rs); ++r) cells.emplace_back(zembrel_result_value(rs, r, 0));
    zembrel_result_free(rs);
    return cells;
}

// "-" for a missing table, else its values of n in order.
inline std::string rows_of(zembrel_db* db, const std::string& table) {
    auto cells = column_of(db, "SELECT n FROM " + table + " ORDER BY n");
    if (!cells) return "-";
    std::string out;
    for (const auto& c : *cells) out += (out.empty() ? "" : ",") + c;
    return "[" + out + "]";
}

// How many rows of the base's t hold v = 1; -1 when t cannot be read.
inline long ones_in_base(const std::string& base) {
    zembrel_db* db = zembrel_open(base.c_str());
    if (db == nullptr) return -1;
    auto cells = column_of(db, "SELECT v FROM t");
    zembrel_close(db);
    if (!cells) return -1;
    return std::count(cells->begin(), cells->end(), "1");
}

inline void make_database(const std::string& path, const std::vector<const char*>& statements) {
    zembrel_db* db = zembrel_open(path.c_str());
    ASSERT_NE(db, nullptr) << path;
    for (const char* sql : statements) {
        EXPECT_TRUE(exec(db, sql)) << sql << ": " << zembrel_errmsg(db);
    }
    zembrel_close(db);
}

// ---------------------------------------------------------------- the fixture

// A canonical folder of its own per test (root_), with the databases under
// dir_ (the traced folder) and TMPDIR pointed at tmp_ (in-memory databases
// keep their unnamed files there, outside the traced folder).

class FileStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        zembrel::testing::file_steps_detail::filter_calls = true;  // a harness test turns it off
        if (!zembrel::testing::tracing_allowed())
            GTEST_SKIP() << "this system refuses ptrace (PTRACE_TRACEME failed): the kill points cannot be found";
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zembrel-kill-XXXXXX";
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        // Canonical: the traced calls are matched by the paths the kernel reports.
        root_ = fs::canonical(templ).string();
        dir_ = root_ + "/db";
        tmp_ = root_ + "/tmp";
        fs::create_directory(dir_);
        fs::create_directory(tmp_);
        // In-memory databases keep their unnamed file outside the counted folder.
        if (base != nullptr) old_tmpdir_ = base;
        ::setenv("TMPDIR", tmp_.c_str(), 1);
    }

    void TearDown() override {
        if (root_.empty()) return;
        if (old_tmpdir_)
            ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        EXPECT_EQ(names_in(tmp_), std::vector<std::string>{}) << "files without a name left a name behind";
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }

    void reset_dir() const {
        fs::remove_all(dir_);
        fs::create_directory(dir_);
    }

    // The folder as `kept` holds it, nothing else.
    void restore_dir(const std::string& kept) const {
        reset_dir();
        fs::copy(kept, dir_, fs::copy_options::recursive);
    }

    // Fails for each name in `dir` that is none of `allowed`.
    void expect_only(const std::string& dir, std::vector<std::string> allowed) const {
        std::vector<std::string> extra;
        for (const auto& n : names_in(dir))
            if (std::find(allowed.begin(), allowed.end(), n) == allowed.end()) extra.push_back(n);
        EXPECT_EQ(extra, std::vector<std::string>{}) << left_in(dir_);
    }

    std::string root_, dir_, tmp_;
    std::optional<std::string> old_tmpdir_;
};

}  // namespace zembrel::testing::file_step_util

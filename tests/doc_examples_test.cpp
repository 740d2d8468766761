// The manuals' examples, run as written, so that the documents cannot drift
// from the code.
//
// docs/sql.md: every ```sql block runs, in document order, on one fresh file
// database through the C interface. A block holds one or more statements,
// each ended by a ';' at the end of a line. Every statement must succeed,
// except that the last one of a block may fail when a ```text block follows
// it. A ```text block that follows a ```sql block (only blank lines between)
// shows what the block's last statement returns:
//   - rows: the column names, then one line per row, cells separated by '|';
//   - any other statement: its message ("Table 't' created.");
//   - a failure: the error text ("Parse error: ...").
// Cells are compared without the blanks around them, so the document may
// align its columns. In an expected line, <uuid> stands for any generated
// key and <date> for any yyyy-MM-dd date.
//
// docs/shadow.md: its ```c blocks, put together in order, are one program
// (built from the document by tests/doc_extract.cpp, as strict C11 with
// -Wall -Wextra -Werror). It runs in an empty directory; what it prints must
// be the ```text blocks that follow the C blocks, put together in order,
// line for line and blank for blank: a reader who runs it sees the page.
//
// README.md: its one ```c block is a whole program, built the same way. Run
// in an empty directory it must print the first ```text block after it and
// end well; run there again, it must print the second and exit with 1, the
// database still holding what the first run wrote, once. The ```sh block
// after it, the lines that build and run it against an install, must print
// that first block too.
//
// Any other block (grammar, indented shell lines) is prose to these tests.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "doc_blocks.h"
#include "zembrel.h"

namespace {

using zembrel::testing::DocBlock;
using zembrel::testing::read_doc_blocks;
namespace fs = std::filesystem;

std::string trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// How the lines of a result are compared with the page's.
enum class Blanks {
    AroundCells,  // blanks around each '|'-separated cell and at the end ignored
    Exact,        // every byte counts, the last line's '\n' too
};

// The text split at each '\n': a text that ends with one has an empty last
// line, so that a missing end of line shows as a difference.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return lines;
        start = end + 1;
    }
}

// The text's lines, with the blanks around each '|'-separated cell removed
// and blank lines at the end dropped unless every blank counts.
std::vector<std::string> compared_lines(const std::string& text, Blanks blanks) {
    std::vector<std::string> lines = lines_of(text);
    if (blanks == Blanks::Exact) return lines;
    for (std::string& line : lines) {
        std::string out;
        size_t cell = 0;
        for (;;) {
            const size_t bar = line.find('|', cell);
            out += trim(line.substr(cell, bar == std::string::npos ? std::string::npos : bar - cell));
            if (bar == std::string::npos) break;
            out += '|';
            cell = bar + 1;
        }
        line = out;
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// An expected line as a pattern: its text literally, placeholders aside.
std::regex line_pattern(const std::string& expected) {
    static const std::vector<std::pair<std::string, std::string>> placeholders = {
        {"<uuid>", "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"},
        {"<date>", "[0-9]{4}-[0-9]{2}-[0-9]{2}"},
    };
    std::string pattern;
    for (size_t i = 0; i < expected.size();) {
        bool replaced = false;
        for (const auto& [word, regex] : placeholders) {
            if (expected.compare(i, word.size(), word) == 0) {
                pattern += regex;
                i += word.size();
                replaced = true;
                break;
            }
        }
        if (replaced) continue;
        const char c = expected[i++];
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
        pattern += c;
    }
    return std::regex(pattern);
}

// Empty when the actual text is what the expected text shows; otherwise
// the first difference.
std::string difference(const std::string& expected, const std::string& actual, Blanks blanks) {
    const std::vector<std::string> want = compared_lines(expected, blanks);
    const std::vector<std::string> got = compared_lines(actual, blanks);
    for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
        const std::string w = i < want.size() ? want[i] : "(nothing)";
        const std::string g = i < got.size() ? got[i] : "(nothing)";
        if (i < want.size() && i < got.size() && std::regex_match(g, line_pattern(w))) continue;
        return "line " + std::to_string(i + 1) + ": expected \"" + w + "\", got \"" + g + "\"\nwhole output:\n" +
               actual;
    }
    return "";
}

// The statements of a block: each ends with a ';' at the end of a line.
// Pieces holding nothing but blanks and comments are no statements.
std::vector<std::string> statements_of(const std::string& block) {
    std::vector<std::string> out;
    std::string current;
    bool has_code = false;
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find('\n', start);
        if (end == std::string::npos) end = block.size();
        const std::string line = block.substr(start, end - start);
        start = end + 1;
        current += line + '\n';
        const std::string t = trim(line);
        if (!t.empty() && t.rfind("--", 0) != 0) has_code = true;
        if (!t.empty() && t.back() == ';') {
            out.push_back(current);
            current.clear();
            has_code = false;
        }
    }
    if (has_code) out.push_back(current);
    return out;
}

struct Outcome {
    bool ok = false;
    std::string text;  // rows, message or error, as the document shows them
};

Outcome run_statement(zembrel_db* db, const std::string& sql) {
    zembrel_result* rs = zembrel_query(db, sql.c_str());
    if (rs == nullptr) {
        const char* e = zembrel_errmsg(db);
        return {false, e != nullptr ? e : "(no error text)"};
    }
    Outcome out{true, ""};
    if (const char* message = zembrel_result_message(rs)) {
        out.text = message;
    } else {
        const int columns = zembrel_result_column_count(rs);
        for (int c = 0; c < columns; ++c) out.text += (c ? " | " : "") + std::string(zembrel_result_column_name(rs, c));
        out.text += '\n';
        for (int r = 0; r < zembrel_result_row_count(rs); ++r) {
            for (int c = 0; c < columns; ++c) out.text += (c ? " | " : "") + std::string(zembrel_result_value(rs, r, c));
            out.text += '\n';
        }
    }
    zembrel_result_free(rs);
    return out;
}

std::vector<DocBlock> blocks_at(const std::string& path) {
    std::string error;
    auto blocks = read_doc_blocks(path, error);
    if (!blocks) ADD_FAILURE() << error;
    return blocks.value_or(std::vector<DocBlock>{});
}

std::vector<DocBlock> blocks_of(const std::string& document) {
    return blocks_at(std::string(ZEMBREL_DOCS_DIR) + "/" + document);
}

struct TempDirectory {
    fs::path path;
    TempDirectory() {
        std::string pattern = (fs::temp_directory_path() / "zembrel-doc-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
    }
    ~TempDirectory() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

struct ProgramRun {
    int exit_code = -1;  // -1 when it did not exit by itself
    std::string output;  // stdout and stderr together
};

// Runs a shell command line with `dir` as its working directory.
ProgramRun run_shell(const fs::path& dir, const std::string& line) {
    const std::string command = "cd '" + dir.string() + "' && " + line + " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.output.append(chunk, n);
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    return run;
}

// Runs a manual's program with `dir` as its working directory.
ProgramRun run_program(const fs::path& dir, const std::string& program) {
    return run_shell(dir, "'" + program + "'");
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

TEST(SqlManual, EveryExampleGivesTheResultShown) {
    const std::vector<DocBlock> blocks = blocks_of("sql.md");
    TempDirectory dir;
    zembrel_db* db = zembrel_open((dir.path / "manual.db").c_str());
    ASSERT_NE(db, nullptr);
    int sql_blocks = 0, result_blocks = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        const DocBlock& block = blocks[b];
        const std::string where = "docs/sql.md:" + std::to_string(block.first_line);
        if (block.info == "text") {
            ADD_FAILURE() << where << ": a result block that follows no ```sql block";
            continue;
        }
        if (block.info != "sql") continue;
        ++sql_blocks;
        const std::vector<std::string> statements = statements_of(block.text);
        ASSERT_FALSE(statements.empty()) << where << ": a ```sql block without a statement";
        const bool shown = b + 1 < blocks.size() && blocks[b + 1].info == "text" && blocks[b + 1].after_code;
        Outcome last;
        for (size_t s = 0; s < statements.size(); ++s) {
            last = run_statement(db, statements[s]);
            const bool may_fail = shown && s + 1 == statements.size();
            EXPECT_TRUE(last.ok || may_fail) << where << ": " << statements[s] << "failed: " << last.text;
        }
        if (!shown) continue;
        ++b;
        ++result_blocks;
        const std::string diff = difference(blocks[b].text, last.text, Blanks::AroundCells);
        EXPECT_TRUE(diff.empty()) << "docs/sql.md:" << blocks[b].first_line << ", result of:\n"
                                  << statements.back() << diff;
    }
    zembrel_close(db);
    // A document the reader above no longer understands must not pass empty.
    EXPECT_GE(sql_blocks, 40);
    EXPECT_GE(result_blocks, 30);
}

// The prose list of keywords: each one listed is refused as a name.
TEST(SqlManual, EveryListedKeywordIsRefusedAsAName) {
    std::ifstream in(std::string(ZEMBREL_DOCS_DIR) + "/sql.md");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string intro = "The keywords are ";
    const size_t start = text.find(intro);
    ASSERT_NE(start, std::string::npos);
    std::istringstream words(text.substr(start + intro.size(), text.find('.', start) - start - intro.size()));
    zembrel_db* db = zembrel_open_memory();
    int count = 0;
    for (std::string word; words >> word; ++count) {
        const std::string sql = "CREATE TABLE " + word + " (a INT)";
        const int rc = zembrel_exec(db, sql.c_str());
        const char* error = zembrel_errmsg(db);
        EXPECT_TRUE(rc == 1 && error != nullptr &&
                    std::string_view(error).starts_with("Parse error: expected identifier, got "))
            << word << " is taken as a name";
    }
    EXPECT_EQ(zembrel_exec(db, "CREATE TABLE value (a INT)"), 0);  // the page's example of a name
    zembrel_close(db);
    EXPECT_GE(count, 70);
}

TEST(ShadowManual, TheProgramPrintsWhatThePageShows) {
    const std::vector<DocBlock> blocks = blocks_of("shadow.md");
    std::string expected;
    int c_blocks = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        if (blocks[b].info == "c") ++c_blocks;
        if (blocks[b].info != "text") continue;
        const bool after_c = b > 0 && blocks[b - 1].info == "c" && blocks[b].after_code;
        EXPECT_TRUE(after_c) << "docs/shadow.md:" << blocks[b].first_line << ": output that follows no ```c block";
        expected += blocks[b].text;
    }
    ASSERT_GE(c_blocks, 5);

    TempDirectory dir;
    const ProgramRun run = run_program(dir.path, ZEMBREL_SHADOW_DOC_PROGRAM);
    EXPECT_EQ(run.exit_code, 0) << "the program failed:\n" << run.output;
    const std::string diff = difference(expected, run.output, Blanks::Exact);
    EXPECT_TRUE(diff.empty()) << "docs/shadow.md: " << diff;
}

TEST(Readme, TheProgramPrintsWhatTheReadmeShows) {
    const std::vector<DocBlock> blocks = blocks_at(ZEMBREL_README);
    int c_blocks = 0;
    std::vector<std::string> outputs;  // the ```text blocks after the program
    for (const DocBlock& block : blocks) {
        if (block.info == "c") ++c_blocks;
        if (block.info == "text" && c_blocks > 0) outputs.push_back(block.text);
    }
    // One program, or the extracted source would glue several together.
    ASSERT_EQ(c_blocks, 1);
    ASSERT_EQ(outputs.size(), 2u) << "README.md: the first run's output, then the second's";

    TempDirectory dir;
    const ProgramRun first = run_program(dir.path, ZEMBREL_README_PROGRAM);
    EXPECT_EQ(first.exit_code, 0) << "the first run failed:\n" << first.output;
    std::string diff = difference(outputs[0], first.output, Blanks::Exact);
    EXPECT_TRUE(diff.empty()) << "README.md, first run: " << diff;

    const ProgramRun second = run_program(dir.path, ZEMBREL_README_PROGRAM);
    EXPECT_EQ(second.exit_code, 1) << second.output;
    diff = difference(outputs[1], second.output, Blanks::Exact);
    EXPECT_TRUE(diff.empty()) << "README.md, second run: " << diff;

    // The rows are in the file the program named, once: the second run
    // stopped before its INSERT, and a database reopened holds them.
    zembrel_db* db = zembrel_open((dir.path / "books.db").c_str());
    ASSERT_NE(db, nullptr);
    const Outcome rows = run_statement(db, "SELECT title, year FROM books ORDER BY year");
    EXPECT_TRUE(rows.ok) << rows.text;
    EXPECT_EQ(rows.text, "title | year\nEmma | 1815\nDune | 1965\n");
    zembrel_close(db);
}

// The README's build lines, run as a reader runs them from the root folder
// after scripts/example.sh: the folder here holds what they use of it, an
// install at build/release/prefix (of this build, with libdir lib as the
// script makes it) and the program saved as app.c.
TEST(Readme, TheBuildLinesRunTheProgramAgainstTheInstall) {
    const std::vector<DocBlock> blocks = blocks_at(ZEMBREL_README);
    const DocBlock* program = nullptr;
    const DocBlock* lines = nullptr;
    const DocBlock* output = nullptr;
    for (const DocBlock& block : blocks) {
        if (block.info == "c" && program == nullptr) program = &block;
        if (program == nullptr) continue;
        if (block.info == "sh" && lines == nullptr) lines = &block;
        if (block.info == "text" && output == nullptr) output = &block;
    }
    ASSERT_NE(program, nullptr) << "README.md: no ```c block";
    ASSERT_NE(lines, nullptr) << "README.md: no ```sh block of build lines after the program";
    ASSERT_NE(output, nullptr) << "README.md: no output after the program";

    TempDirectory root;
    const fs::path prefix = root.path / "build/release/prefix";
    const ProgramRun install =
        run_shell(root.path, "'" ZEMBREL_CMAKE "' --install '" ZEMBREL_BUILD_DIR "' --prefix '" + prefix.string() + "'");
    ASSERT_EQ(install.exit_code, 0) << install.output;
    if (!fs::exists(prefix / "lib/pkgconfig/zembrel.pc"))
        GTEST_SKIP() << "this build installs into a libdir other than lib, unlike scripts/example.sh";
    write_file(root.path / "app.c", program->text);
    TempDirectory tools;
    write_file(tools.path / "lines.sh", lines->text);

    // Whatever library path the test runs with must not stand in for the
    // rpath. A sanitized library needs its runtime in the program too, so
    // `cc` gets the sanitizer this test was built with, as a user's build
    // against such a library would.
    std::string environment = "env -u LD_LIBRARY_PATH";
    std::string sanitizer;
#if defined(__SANITIZE_ADDRESS__)
    sanitizer = "-fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
    sanitizer = "-fsanitize=thread";
#endif
    if (!sanitizer.empty()) {
        const ProgramRun cc = run_shell(tools.path, "command -v cc");
        ASSERT_EQ(cc.exit_code, 0) << cc.output;
        const std::string real_cc = cc.output.substr(0, cc.output.find('\n'));
        write_file(tools.path / "cc", "#!/bin/sh\nexec '" + real_cc + "' " + sanitizer + " \"$@\"\n");
        fs::permissions(tools.path / "cc", fs::perms::owner_exec, fs::perm_options::add);
        environment += " PATH='" + tools.path.string() + "':\"$PATH\"";
    }
    const std::string script = (tools.path / "lines.sh").string();
    const ProgramRun run = run_shell(root.path, environment + " /bin/sh -e '" + script + "'");
    EXPECT_EQ(run.exit_code, 0) << "README.md:" << lines->first_line << ": the lines failed:\n" << run.output;
    const std::string diff = difference(output->text, run.output, Blanks::Exact);
    EXPECT_TRUE(diff.empty()) << "README.md:" << lines->first_line << ": " << diff;
}

// The comparisons the tests rely on: for docs/sql.md aligned cells and
// placeholders match, anything else does not.
TEST(ManualComparison, AlignmentAndPlaceholdersOnly) {
    const Blanks cells = Blanks::AroundCells;
    EXPECT_EQ(difference("a   | b\n1   | x\n", "a | b\n1 | x\n", cells), "");
    EXPECT_EQ(difference("Inserted 1 row into 't'. PK: <uuid> (1 total)",
                         "Inserted 1 row into 't'. PK: ad2747f1-8bd6-4741-9b08-2767a997a7ab (1 total)", cells),
              "");
    EXPECT_EQ(difference("d\n<date>\n", "d\n2026-12-07\n", cells), "");
    EXPECT_NE(difference("a | b\n1 | x\n", "a | b\n1 | y\n", cells), "");
    EXPECT_NE(difference("a | b\n1 | x\n", "a | b\n1 | x\n2 | y\n", cells), "");
    EXPECT_NE(difference("a | b\n1 | x\n2 | y\n", "a | b\n1 | x\n", cells), "");
    EXPECT_NE(difference("x (1.5)", "x 1.5", cells), "");  // pattern characters are literal
    EXPECT_NE(difference("PK: <uuid>", "PK: not-a-key", cells), "");
    EXPECT_EQ(statements_of("SELECT a\nFROM t;\n-- done\n"), std::vector<std::string>{"SELECT a\nFROM t;\n"});
    EXPECT_EQ(statements_of("BEGIN;\nCOMMIT;\n").size(), 2u);
}

// For docs/shadow.md the placeholders alone stand for anything: a padded
// cell, a blank at a line's end or a missing end of line is a difference.
TEST(ManualComparison, ExactButForPlaceholders) {
    const Blanks exact = Blanks::Exact;
    EXPECT_EQ(difference("a | b\n<uuid> | x\n", "a | b\nad2747f1-8bd6-4741-9b08-2767a997a7ab | x\n", exact), "");
    EXPECT_NE(difference("a   | b\n1   | x\n", "a | b\n1 | x\n", exact), "");
    EXPECT_NE(difference("a | b\n", "a | b \n", exact), "");
    EXPECT_NE(difference("a | b\n", "a | b", exact), "");
    EXPECT_NE(difference("a | b\n", "a | b\n\n", exact), "");
    EXPECT_NE(difference("a\n", "\ta\n", exact), "");
}

}  // namespace

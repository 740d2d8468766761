// Build step of the manual tests: writes the C blocks of a Markdown document,
// in order, as one C source file. Each block is preceded by a #line
// directive, so that a compile error points at the document's own line.
//
// Usage: doc_extract <document.md> <output.c>
#include <cstdio>
#include <fstream>

#include "doc_blocks.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: doc_extract <document.md> <output.c>\n");
        return 2;
    }
    std::string error;
    auto blocks = zembrel::testing::read_doc_blocks(argv[1], error);
    if (!blocks) {
        std::fprintf(stderr, "doc_extract: %s\n", error.c_str());
        return 1;
    }
    std::ofstream out(argv[2], std::ios::trunc);
    int count = 0;
    for (const auto& block : *blocks) {
        if (block.info != "c") continue;
        out << "#line " << block.first_line << " \"" << argv[1] << "\"\n" << block.text;
        ++count;
    }
    if (count == 0) {
        std::fprintf(stderr, "doc_extract: no C block in %s\n", argv[1]);
        return 1;
    }
    return out.good() ? 0 : 1;
}

// The fenced blocks of a Markdown document, for the tests that run the
// manuals' examples. A block opens with a line of three backticks and an
// info word ("sql", "c", "text", or none) and closes with a line of three
// backticks alone.
#pragma once

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace zembrel::testing {

struct DocBlock {
    std::string info;     // the word after the opening backticks; "" for none
    std::string text;     // the lines between the fences, each ended by '\n'
    int first_line = 0;   // 1-based line number of the first line inside
    bool after_code = false;  // only blank lines separate it from the block before
};

// The blocks in document order, or none when the file cannot be read or a
// block is not closed (`error` says which).
inline std::optional<std::vector<DocBlock>> read_doc_blocks(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::vector<DocBlock> blocks;
    std::optional<DocBlock> open;
    bool blank_since_block = false;  // only blank lines since the last block closed
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const bool fence = line.rfind("```", 0) == 0;
        if (open) {
            if (fence && line.find_first_not_of('`') == std::string::npos) {
                blocks.push_back(std::move(*open));
                open.reset();
                blank_since_block = true;
            } else {
                open->text += line + '\n';
            }
            continue;
        }
        if (fence) {
            DocBlock block;
            std::istringstream words(line.substr(3));
            words >> block.info;
            block.first_line = number + 1;
            block.after_code = blank_since_block && !blocks.empty();
            open = std::move(block);
        } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
            blank_since_block = false;
        }
    }
    if (open) {
        error = path + ":" + std::to_string(open->first_line - 1) + ": block not closed";
        return std::nullopt;
    }
    return blocks;
}

}  // namespace zembrel::testing

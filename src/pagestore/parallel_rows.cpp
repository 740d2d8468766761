#include "pagestore/parallel_rows.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bptree/page_layout.h"
#include "catalog/catalog_entry.h"
#include "keycodec/keycodec.h"
#include "pagestore/page_store.h"
#include "storage/row_record.h"
#include "types/parallel_parts.h"

namespace zembrel {

namespace {

using namespace bpt;

// Leaves per run: enough rows that taking a run costs nothing next to
// decoding it, few enough that the page room of every thread is small.
constexpr size_t kLeavesPerRun = 32;
// The leaves of the tree under `root`, left to right, as its interior pages
// name them; none when the root is a leaf or any page read on the way is
// not as a valid tree has it.
std::optional<std::vector<uint64_t>> leaves_under(Pager& pager, uint64_t root) {
    PageBuf page;
    PageIndex index;
    const uint64_t page_count = pager.page_count();
    std::vector<uint64_t> level{root};
    uint64_t visited = 0;
    for (;;) {
        std::vector<uint64_t> below;
        for (uint64_t at : level) {
            // A valid tree names each page once.
            if (++visited > page_count || pager.read_pages_ahead(at, page) != 1) return std::nullopt;
            if (!index_interior(page.data(), pager.usable_page_size(), at, index)) return std::nullopt;
            for (const CellRef& c : index.cells) below.push_back(interior_child(page.data(), c));
            below.push_back(index.link);
        }
        if (below.size() > page_count || pager.read_pages_ahead(below.front(), page) != 1) return std::nullopt;
        if (page[0] == kLeafType) return below;
        level = std::move(below);
    }
}

// One run of leaves, read twice: once to count its rows, once to decode
// them into their place, known when every run has been counted. Any part
// reads it from the page file when the pager holds no newer copy of any of
// its pages; else the calling thread reads it through the pager (the only
// thread that touches the pager).
struct Run {
    std::span<const uint64_t> leaves;
    uint64_t next_leaf = 0;  // the link the run's last leaf must hold
    bool direct = false;     // read from the page file
    std::span<Value> cells;           // its rows in the table, once placed
    std::span<uint64_t> rowids;       // and their ids
    size_t rows = 0;         // as its pages (or their headers) hold
    bool cells_made = false;  // its cells are constructed (by the part that decodes it)
};

// Constructs the run's cells as Nulls: the part that decodes the run does,
// so that no one thread writes every cell of the table first.
void make_cells(Run& run) {
    std::uninitialized_default_construct(run.cells.begin(), run.cells.end());
    run.cells_made = true;
}

// The pages of the runs one part reads, the same room for each (fresh
// room would be zeroed by the system at every run), in `bytes`.
struct RunPages {
    uint8_t* bytes = nullptr;
    std::array<bool, kLeavesPerRun> check{};  // per page: its checksum is still to be checked
    std::vector<PageIndex> indexes = std::vector<PageIndex>(kLeavesPerRun);
};
constexpr size_t kRunBytes = kLeavesPerRun * kPageSize;

// Reads the run's pages, each stretch of consecutive page numbers at once,
// with `read(first page, pages, check flags)`; false when a page does not read.
template <class Read>
bool read_run(const Run& run, RunPages& into, Read read) {
    const size_t n = run.leaves.size();
    for (size_t k = 0; k < n;) {
        size_t end = k + 1;
        while (end < n && run.leaves[end] == run.leaves[end - 1] + 1) ++end;
        if (!read(run.leaves[k], std::span<uint8_t>(into.bytes + k * kPageSize, (end - k) * kPageSize),
                  std::span<bool>(into.check.data() + k, end - k)))
            return false;
        k = end;
    }
    return true;
}

// Indexes the run's leaves, checking them (their checksums too when
// `checksums`) as the sequential walk would read them: their rows, or none.
std::optional<size_t> index_run(const Run& run, RunPages& pages, size_t usable, bool checksums) {
    const size_t n = run.leaves.size();
    size_t cells = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* page = pages.bytes + k * kPageSize;
        if (checksums && pages.check[k] && !Pager::page_checksum_ok(page)) return std::nullopt;
        PageIndex& index = pages.indexes[k];
        if (!index_leaf(page, usable, run.leaves[k], index)) return std::nullopt;
        if (index.link != (k + 1 < n ? run.leaves[k + 1] : run.next_leaf)) return std::nullopt;
        cells += index.cells.size();
    }
    return cells;
}

// The rows of the run as its leaves' headers give them (a leaf's type,
// cell count and link, read alone), for placing the run: the second pass
// reads the whole pages, checks them, and holds them to these counts. None
// when a header is not a leaf's of this chain or does not read.
std::optional<size_t> count_run_headers(const Run& run, VfsFile& file) {
    const size_t n = run.leaves.size();
    size_t cells = 0;
    std::array<uint8_t, kHeaderSize> head;
    for (size_t k = 0; k < n; ++k) {
        if (!file.read_at(head, run.leaves[k] * kPageSize)) return std::nullopt;
        if (head[0] != kLeafType || get_u64(head.data() + 4) != (k + 1 < n ? run.leaves[k + 1] : run.next_leaf))
            return std::nullopt;
        cells += get_u16(head.data() + 2);
    }
    return cells;
}

// Decodes the indexed leaves into the run's place in `table`, long texts
// into `arena`; false at whatever the sequential walk would read otherwise.
bool decode_run(const Run& run, const RunPages& pages, size_t width, TextArena& arena) {
    const size_t n = run.leaves.size();
    size_t row = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* page = pages.bytes + k * kPageSize;
        for (const CellRef& c : pages.indexes[k].cells) {
            if (leaf_cell_overflow(page, c)) return false;
            auto key = keycodec::decode_key(cell_key(page, kLeafType, c));
            if (!key || !key->is_int()) return false;
            const ByteSpan record = leaf_inline_value(page, c);
            if (storage::row_value_count(record) != width) return false;
            if (!storage::decode_row_cells(record, run.cells.subspan(row * width, width), &arena)) return false;
            run.rowids[row++] = static_cast<uint64_t>(key->as_int());
        }
    }
    return true;
}

// Whether every page of the run reads right from the page file.
bool run_is_direct(const Run& run, const Pager::PageFileReads& reads) {
    return std::ranges::all_of(run.leaves, [&](uint64_t leaf) {
        return leaf < reads.pages && !std::ranges::binary_search(reads.held, leaf);
    });
}

// Both roads below: with `table`, the rows read into it; without, the
// first pass alone, its counts summed into `rows`. Each pass is one round
// of the crew (a handoff per run would wake a sleeping thread per run):
// part 0, the calling thread, takes the runs the pager reads, then every
// part takes direct runs in turn. Between the passes the calling thread
// places every run.
bool walk_in_parallel(PageStore& store, uint64_t root, Table* table, uint64_t most_rows, Crew& crew, uint64_t& rows) {
    Pager& pager = *store.pager;
    auto leaves = leaves_under(pager, root);
    if (!leaves) return false;
    const size_t usable = pager.usable_page_size();
    const size_t width = table != nullptr ? table->columns.size() : 0;
    const std::optional<Pager::PageFileReads> reads = pager.page_file_reads();

    std::vector<Run> runs((leaves->size() + kLeavesPerRun - 1) / kLeavesPerRun);
    std::vector<Run*> direct;   // the runs every part reads, in order
    std::vector<Run*> through;  // and those the pager reads
    for (size_t i = 0; i < runs.size(); ++i) {
        const size_t first = i * kLeavesPerRun;
        const size_t end = std::min(first + kLeavesPerRun, leaves->size());
        runs[i].leaves = std::span<const uint64_t>(leaves->data() + first, end - first);
        runs[i].next_leaf = end < leaves->size() ? (*leaves)[end] : 0;
        runs[i].direct = reads && run_is_direct(runs[i], *reads);
        (runs[i].direct ? direct : through).push_back(&runs[i]);
    }
    const size_t parts = std::clamp<size_t>(direct.size(), 1, crew.size());
    // Each part reads the page file through a handle of its own.
    std::vector<std::unique_ptr<VfsFile>> files(direct.empty() ? 0 : parts);
    for (std::unique_ptr<VfsFile>& file : files) {
        auto opened = pager.open_page_file_reader();
        if (!opened) return false;
        file = std::move(*opened);
    }
    // The page room of every part, made here: in one piece that goes back to
    // the system whole, and nothing a worker's heap would keep.
    const auto room = std::make_unique_for_overwrite<uint8_t[]>(parts * kRunBytes);
    std::vector<RunPages> pages(parts);
    for (size_t w = 0; w < parts; ++w) pages[w].bytes = room.get() + w * kRunBytes;

    // The long texts of the rows lie in the leaves' records, each within a
    // page: room for them all, shared by every part's arena.
    std::optional<TextRoom> texts;
    std::vector<TextArena> arenas(parts);
    if (table != nullptr) {
        texts.emplace(leaves->size() * usable, arenas.size());
        for (TextArena& arena : arenas) arena.draw_from(&*texts);
    }
    const auto read_through = [&](uint64_t first, std::span<uint8_t> out, std::span<bool> check) {
        return pager.read_pages_ahead_unchecked(first, out, check) == check.size();
    };
    // Counts the run (pass 1) or decodes it into its place (pass 2). A count
    // alone checks every page; a read into the table counts direct runs by
    // their headers and checks the pages whole before decoding them.
    const auto do_run = [&](int pass, Run& run, size_t w, auto read, VfsFile* file) {
        if (pass == 2) {
            make_cells(run);
            return read_run(run, pages[w], read) && index_run(run, pages[w], usable, true) == run.rows &&
                   decode_run(run, pages[w], width, arenas[w]);
        }
        std::optional<size_t> counted;
        if (table != nullptr && file != nullptr) counted = count_run_headers(run, *file);
        else if (read_run(run, pages[w], read)) counted = index_run(run, pages[w], usable, true);
        if (!counted) return false;
        run.rows = *counted;
        return true;
    };
    std::atomic<bool> failed = false;
    std::atomic<size_t> next = 0;  // the next direct run to take
    const auto pass = [&](int number) {
        next = 0;
        crew.run(parts, [&](size_t w) {
            if (w == 0)
                for (Run* run : through)
                    if (!failed.load(std::memory_order_relaxed) && !do_run(number, *run, 0, read_through, nullptr))
                        failed = true;
            if (files.empty()) return;
            VfsFile& file = *files[w];
            const auto read_direct = [&](uint64_t first, std::span<uint8_t> out, std::span<bool> check) {
                std::ranges::fill(check, reads->checksums);
                return file.read_at(out, first * kPageSize).has_value();
            };
            while (!failed.load(std::memory_order_relaxed)) {
                const size_t at = next.fetch_add(1, std::memory_order_relaxed);
                if (at >= direct.size()) break;
                if (!do_run(number, *direct[at], w, read_direct, &file)) failed = true;
            }
        });
        return !failed;
    };
    if (!pass(1)) return false;
    for (const Run& run : runs) rows += run.rows;
    if (table == nullptr) return true;

    // Every run's rows in the table in order: the cells are made by the
    // parts that decode them. More rows than the caller allows (headers
    // that lie) are not taken.
    if (rows > most_rows || !table->rows.empty() || !table->rowids.empty()) return false;
    const std::span<Value> cells = table->rows.append_rows_to_construct(rows, width);
    // Room for the rows written after the load: its pages are not touched
    // until then, and the first of them does not copy every id.
    table->rowids.reserve(rows + rows / 8);
    table->rowids.resize(rows);
    size_t first = 0;
    for (Run& run : runs) {
        run.cells = cells.subspan(first * width, run.rows * width);
        run.rowids = std::span<uint64_t>(table->rowids.data() + first, run.rows);
        first += run.rows;
    }
    const bool decoded = pass(2);
    // A failure leaves the runs no part took.
    for (Run& run : runs)
        if (!run.cells_made) make_cells(run);
    // The rows borrow their texts from the room and every part's arena.
    for (TextArena& arena : arenas) {
        arena.draw_from(nullptr);
        table->text_arena = std::move(arena);
    }
    table->text_arena.keep(*texts);
    return decoded;
}

}  // namespace

bool read_rows_in_parallel(PageStore& store, uint64_t root, Table& table, uint64_t most_rows, Crew& crew) {
    uint64_t rows = 0;
    return walk_in_parallel(store, root, &table, most_rows, crew, rows);
}

bool read_rows_in_parallel(PageStore& store, uint64_t root, Table& table, uint64_t most_rows, size_t workers) {
    Crew crew(workers);
    return read_rows_in_parallel(store, root, table, most_rows, crew);
}

std::optional<uint64_t> count_entries_in_parallel(PageStore& store, uint64_t root, size_t workers) {
    Crew crew(workers);
    uint64_t entries = 0;
    if (!walk_in_parallel(store, root, nullptr, 0, crew, entries)) return std::nullopt;
    return entries;
}

uint64_t rows_to_reserve(const PageStore& store, const CatalogEntry& entry) {
    const uint64_t ids_out = entry.ids_handed_out();
    const uint64_t file_bytes = store.pager->page_count() * store.pager->usable_page_size();
    const uint64_t cell_bytes = ids_out * std::max<uint64_t>(entry.columns.size(), 1) * sizeof(Value);
    return cell_bytes <= 4 * file_bytes ? ids_out : 0;
}

}  // namespace zembrel

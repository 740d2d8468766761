#include "pagestore/parallel_rows.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "bptree/page_layout.h"
#include "keycodec/keycodec.h"
#include "pagestore/page_store.h"
#include "storage/row_record.h"

namespace zembrel {

namespace {

using namespace bpt;

// Leaves per run: enough rows that handing a run over costs nothing next to
// decoding it, few enough that the runs in flight hold little memory.
constexpr size_t kLeavesPerRun = 32;
// Runs read ahead of the oldest one not yet decoded, per worker.
constexpr size_t kRunsAheadPerWorker = 4;
// Bytes of each chunk of a worker's text arena.
constexpr size_t kArenaChunk = size_t{8} << 20;

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

// One run of leaves, read twice: once to check its pages and count its
// rows, once to decode them into their place, known when every run before
// it has been counted. A worker reads it from the page file when the pager
// holds no newer copy of any of its pages; else the calling thread reads it
// through the pager (the only thread that touches the pager).
struct Run {
    std::span<const uint64_t> leaves;
    uint64_t next_leaf = 0;  // the link the run's last leaf must hold
    bool direct = false;     // a worker reads it from the page file
    size_t first_row = 0;    // where its rows go in the table
    size_t rows = 0;         // as its checked pages hold
};

// The pages of the runs one thread reads, the same room for each (fresh
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

// Decodes the indexed leaves into the run's place in `table`, long texts
// into `arena`; false at whatever the sequential walk would read otherwise.
bool decode_run(const Run& run, const RunPages& pages, Table& table, TextArena& arena) {
    const size_t width = table.columns.size();
    const size_t n = run.leaves.size();
    size_t record_bytes = 0;
    for (size_t k = 0; k < n; ++k)
        for (const CellRef& c : pages.indexes[k].cells)
            record_bytes += leaf_inline_value(pages.bytes + k * kPageSize, c).size();
    // The run's texts fit in its records: room for them in one piece. The
    // chunks are large, so that the system takes them back whole when the
    // table goes (small ones would stay with the worker's heap).
    arena.reserve(record_bytes, kArenaChunk);
    size_t row = run.first_row;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* page = pages.bytes + k * kPageSize;
        for (const CellRef& c : pages.indexes[k].cells) {
            if (leaf_cell_overflow(page, c)) return false;
            auto key = keycodec::decode_key(cell_key(page, kLeafType, c));
            if (!key || !key->is_int()) return false;
            const ByteSpan record = leaf_inline_value(page, c);
            if (storage::row_value_count(record) != width) return false;
            if (!storage::decode_row_cells(record, table.rows.cells(row), &arena)) return false;
            table.rowids[row++] = static_cast<uint64_t>(key->as_int());
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

}  // namespace

bool read_rows_in_parallel(PageStore& store, uint64_t root, Table& table, size_t workers) {
    Pager& pager = *store.pager;
    auto leaves = leaves_under(pager, root);
    if (!leaves) return false;
    const size_t usable = pager.usable_page_size();
    const std::optional<Pager::PageFileReads> reads = pager.page_file_reads();

    std::vector<Run> runs((leaves->size() + kLeavesPerRun - 1) / kLeavesPerRun);
    std::vector<Run*> direct;   // the runs workers read, in order
    std::vector<Run*> through;  // and those the pager reads
    for (size_t i = 0; i < runs.size(); ++i) {
        const size_t first = i * kLeavesPerRun;
        const size_t end = std::min(first + kLeavesPerRun, leaves->size());
        runs[i].leaves = std::span<const uint64_t>(leaves->data() + first, end - first);
        runs[i].next_leaf = end < leaves->size() ? (*leaves)[end] : 0;
        runs[i].direct = reads && run_is_direct(runs[i], *reads);
        (runs[i].direct ? direct : through).push_back(&runs[i]);
    }
    // Each worker reads the page file through a handle of its own.
    std::vector<std::unique_ptr<VfsFile>> files(std::min(workers, direct.size()));
    for (std::unique_ptr<VfsFile>& file : files) {
        auto opened = pager.open_page_file_reader();
        if (!opened) return false;
        file = std::move(*opened);
    }

    // The page room of every thread, in one piece that goes back to the
    // system whole (pieces freed by the workers would stay with their heaps).
    const auto room = std::make_unique_for_overwrite<uint8_t[]>((files.size() + 1) * kRunBytes);

    // Guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable wake;
    int pass = 1;         // 1: checking and counting, 2: decoding, 0: stop
    size_t counted = 0;   // workers done with pass 1
    std::atomic<bool> failed = false;
    std::atomic<size_t> next[2] = {0, 0};  // the next direct run to take, per pass

    std::vector<TextArena> arenas(files.size() + 1);  // the workers', then the calling thread's
    // Pass 1 or 2 over the runs `read` takes, one after another, `take()`
    // giving each in turn (nullptr at the end).
    const auto do_pass = [&](int which, RunPages& pages, TextArena& arena, auto take, auto read) {
        while (!failed.load(std::memory_order_relaxed)) {
            Run* run = take();
            if (run == nullptr) return;
            bool ok = read_run(*run, pages, read);
            if (ok && which == 1) {
                const std::optional<size_t> rows = index_run(*run, pages, usable, true);
                ok = rows.has_value();
                if (ok) run->rows = *rows;
            } else if (ok) {
                // The checksums passed in the first pass.
                ok = index_run(*run, pages, usable, false) == run->rows && decode_run(*run, pages, table, arena);
            }
            if (!ok) failed = true;
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(files.size());
    auto work = [&](size_t w) {
        RunPages pages{room.get() + w * kRunBytes};
        VfsFile& file = *files[w];
        const auto read = [&](uint64_t first, std::span<uint8_t> out, std::span<bool> check) {
            std::ranges::fill(check, reads->checksums);
            return file.read_at(out, first * kPageSize).has_value();
        };
        for (int which : {1, 2}) {
            const auto take = [&]() -> Run* {
                const size_t at = next[which - 1].fetch_add(1, std::memory_order_relaxed);
                return at < direct.size() ? direct[at] : nullptr;
            };
            do_pass(which, pages, arenas[w], take, read);
            std::unique_lock lock(mutex);
            if (which == 1 && ++counted == threads.size()) wake.notify_all();
            wake.wait(lock, [&] { return pass != which; });
            if (pass == 0) return;
        }
    };
    // The system may refuse threads: the ones it gave do the work.
    {
        std::lock_guard lock(mutex);  // `threads` is read by the workers under it
        for (size_t w = 0; w < files.size(); ++w) {
            try {
                threads.emplace_back(work, w);
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    if (threads.empty() && !direct.empty()) return false;

    // The calling thread takes the runs the pager reads, in each pass.
    RunPages pages{room.get() + files.size() * kRunBytes};
    const auto read_through = [&](uint64_t first, std::span<uint8_t> out, std::span<bool> check) {
        return pager.read_pages_ahead_unchecked(first, out, check) == check.size();
    };
    size_t at = 0;
    const auto take_through = [&]() -> Run* { return at < through.size() ? through[at++] : nullptr; };
    do_pass(1, pages, arenas.back(), take_through, read_through);
    const auto finish = [&](bool ok) {
        {
            std::lock_guard lock(mutex);
            pass = 0;
        }
        wake.notify_all();
        for (std::thread& t : threads) t.join();
        // The rows borrow their texts from every worker's arena.
        for (TextArena& arena : arenas) table.text_arena = std::move(arena);
        return ok && !failed;
    };
    {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return counted == threads.size(); });
    }
    if (failed) return finish(false);

    // Every run's place, and room for all rows at once; a table that would
    // outgrow the room reserved is not taken.
    size_t rows = table.rowids.size();
    for (Run& run : runs) {
        run.first_row = rows;
        rows += run.rows;
    }
    if (rows > table.rows.capacity_rows() || rows > table.rowids.capacity()) return finish(false);
    table.rows.append_blank_rows(rows - table.rowids.size(), table.columns.size());
    table.rowids.resize(rows);
    {
        std::lock_guard lock(mutex);
        pass = 2;
    }
    wake.notify_all();
    at = 0;
    do_pass(2, pages, arenas.back(), take_through, read_through);
    // The workers leave once their last run is decoded.
    return finish(true);
}

}  // namespace zembrel

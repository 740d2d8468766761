#include "pagestore/parallel_rows.h"

#include <algorithm>
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

// One run of leaves, read by the calling thread and decoded by a worker.
struct Run {
    std::span<const uint64_t> leaves;
    uint64_t next_leaf = 0;            // the link the run's last leaf must hold
    std::vector<uint8_t> pages;        // the leaves' bytes, in order
    std::unique_ptr<bool[]> check;     // per page: its checksum is still to be checked
    std::span<Value> cells;            // the run's rows in the table, by the leaves' cell counts
    std::span<uint64_t> rowids;        // and their ids
    bool decoded = false;
    bool ok = false;
};

// Reads the run's pages, each stretch of consecutive page numbers at once,
// and gives it the place of its rows at the end of `table`, sized by the
// cell counts the pages claim (the worker checks them). False when a page
// does not read, or the rows would not fit in the room reserved: cells that
// moved would leave the workers writing into freed memory.
bool read_run(Pager& pager, Run& run, Table& table) {
    const size_t n = run.leaves.size();
    run.pages.resize(n * kPageSize);
    run.check = std::make_unique<bool[]>(n);
    for (size_t k = 0; k < n;) {
        size_t end = k + 1;
        while (end < n && run.leaves[end] == run.leaves[end - 1] + 1) ++end;
        const std::span<uint8_t> out(run.pages.data() + k * kPageSize, (end - k) * kPageSize);
        if (pager.read_pages_ahead_unchecked(run.leaves[k], out, std::span<bool>(run.check.get() + k, end - k)) !=
            end - k)
            return false;
        k = end;
    }
    size_t rows = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* page = run.pages.data() + k * kPageSize;
        rows += static_cast<size_t>(page[2] | page[3] << 8);
    }
    const size_t first = table.rowids.size();
    if (first + rows > table.rows.capacity_rows() || first + rows > table.rowids.capacity()) return false;
    run.cells = table.rows.append_blank_rows(rows, table.columns.size());
    table.rowids.resize(first + rows);
    run.rowids = std::span<uint64_t>(table.rowids.data() + first, rows);
    return true;
}

// Checks and decodes the run's leaves into its rows, long texts into
// `arena`; false at whatever the sequential walk would read otherwise.
bool decode_run(Run& run, size_t usable, size_t width, TextArena& arena, std::vector<PageIndex>& indexes) {
    const size_t n = run.leaves.size();
    size_t cells = 0;
    size_t record_bytes = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* page = run.pages.data() + k * kPageSize;
        if (run.check[k] && !Pager::page_checksum_ok(page)) return false;
        if (!index_leaf(page, usable, run.leaves[k], indexes[k])) return false;
        if (indexes[k].link != (k + 1 < n ? run.leaves[k + 1] : run.next_leaf)) return false;
        cells += indexes[k].cells.size();
        for (const CellRef& c : indexes[k].cells) record_bytes += leaf_inline_value(page, c).size();
    }
    if (cells != run.rowids.size()) return false;
    // The run's texts fit in its records: room for them in one piece. The
    // chunks are large, so that the system takes them back whole when the
    // table goes (small ones would stay with the worker's heap).
    arena.reserve(record_bytes, kArenaChunk);
    size_t row = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* page = run.pages.data() + k * kPageSize;
        for (const CellRef& c : indexes[k].cells) {
            if (leaf_cell_overflow(page, c)) return false;
            auto key = keycodec::decode_key(cell_key(page, kLeafType, c));
            if (!key || !key->is_int()) return false;
            const ByteSpan record = leaf_inline_value(page, c);
            if (storage::row_value_count(record) != width) return false;
            if (!storage::decode_row_cells(record, run.cells.subspan(row * width, width), &arena)) return false;
            run.rowids[row++] = static_cast<uint64_t>(key->as_int());
        }
    }
    std::vector<uint8_t>().swap(run.pages);  // frees them (assigning {} would keep the room)
    run.check.reset();
    return true;
}

}  // namespace

bool read_rows_in_parallel(PageStore& store, uint64_t root, Table& table, size_t workers) {
    Pager& pager = *store.pager;
    auto leaves = leaves_under(pager, root);
    if (!leaves) return false;
    const size_t width = table.columns.size();
    const size_t usable = pager.usable_page_size();

    std::vector<Run> runs((leaves->size() + kLeavesPerRun - 1) / kLeavesPerRun);
    for (size_t i = 0; i < runs.size(); ++i) {
        const size_t first = i * kLeavesPerRun;
        const size_t end = std::min(first + kLeavesPerRun, leaves->size());
        runs[i].leaves = std::span<const uint64_t>(leaves->data() + first, end - first);
        runs[i].next_leaf = end < leaves->size() ? (*leaves)[end] : 0;
    }

    // Guarded by `mutex`: how far reading, taking and decoding have come.
    std::mutex mutex;
    std::condition_variable work_ready;  // a run was read, or stop
    std::condition_variable run_done;    // a run was decoded
    size_t read = 0;                     // runs read
    size_t taken = 0;                    // runs taken by workers
    bool stop = false;

    std::vector<TextArena> arenas(workers);
    std::vector<std::thread> threads;
    threads.reserve(workers);
    auto work = [&](size_t w) {
        std::vector<PageIndex> indexes(kLeavesPerRun);
        for (;;) {
            Run* run = nullptr;
            {
                std::unique_lock lock(mutex);
                work_ready.wait(lock, [&] { return stop || taken < read; });
                if (stop) return;
                run = &runs[taken++];
            }
            const bool ok = decode_run(*run, usable, width, arenas[w], indexes);
            {
                std::lock_guard lock(mutex);
                run->ok = ok;
                run->decoded = true;
            }
            run_done.notify_one();
        }
    };
    // The system may refuse threads: the ones it gave do the work, and
    // without any the caller's one-thread load does.
    for (size_t w = 0; w < workers; ++w) {
        try {
            threads.emplace_back(work, w);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (threads.empty()) return false;

    // Reads runs while few are in flight, else waits for the oldest.
    bool ok = true;
    const size_t ahead = kRunsAheadPerWorker * workers;
    for (size_t decoded = 0; ok && decoded < runs.size();) {
        std::unique_lock lock(mutex);
        if (read < runs.size() && read - decoded < ahead) {
            lock.unlock();
            // No worker touches a run before `read` passes it.
            ok = read_run(pager, runs[read], table);
            lock.lock();
            ++read;
            lock.unlock();
            work_ready.notify_one();
            continue;
        }
        run_done.wait(lock, [&] { return runs[decoded].decoded; });
        ok = runs[decoded++].ok;
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    work_ready.notify_all();
    for (std::thread& t : threads) t.join();
    // The rows borrow their texts from every worker's arena.
    for (TextArena& arena : arenas) table.text_arena = std::move(arena);
    return ok;
}

}  // namespace zembrel

#include "sort_spill/external_sort.h"

#include <algorithm>
#include <cstring>

#include "operators/sort_cell.h"
#include "pager/temp_dir.h"
#include "types/stable_sort.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel::sort_spill {

namespace {

// What the sort holds for every row, copied or not: its pointer and the
// sort cell of its first key.
constexpr uint64_t kSlotBytes = sizeof(RowView) + sizeof(operators::SortCell);

// "zembrel_sort_{uuid}_run_{NNNN}.sort": recognisable in messages, and
// unique while the file system needs a name for a moment.
std::string run_name(const std::string& sort_id, uint64_t index) {
    std::string digits = std::to_string(index);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return format("zembrel_sort_{}_run_{}.sort", sort_id, digits);
}

}  // namespace

ExternalSort::ExternalSort(operators::OperatorPtr child, std::vector<operators::SortKey> keys, uint64_t budget,
                           std::optional<uint64_t> keep_first)
    : child_(std::move(child)), cmp_(std::move(keys)), budget_(std::max<uint64_t>(budget, 1)), keep_first_(keep_first) {
    borrow_ = child_->rows_stay_valid();
    images_ = !borrow_ && child_->values_stay_valid();
    // Keeping the first k pays only while their slots alone fit in the
    // budget; beyond that the ordinary sort holds no more than the budget.
    if (keep_first_ && *keep_first_ >= budget_ / kSlotBytes) keep_first_.reset();
}

RowView ExternalSort::keep(RowView lent) {
    if (borrow_) return lent;
    owned_.push_back(own(lent));
    return owned_.back();
}

Row ExternalSort::own(RowView lent) { return images_ ? operators::images_of(lent) : child_->take(lent); }

uint64_t ExternalSort::held_for(RowView kept) const {
    if (borrow_) return kSlotBytes;
    // An estimate: the row's own bytes and its texts, short ones included.
    uint64_t bytes = kSlotBytes + sizeof(Row) + kept.size() * sizeof(Value);
    if (images_) return bytes;  // the texts stay where the child's values are
    for (const Value& v : kept)
        if (v.has_text()) bytes += v.as_text().size();
    return bytes;
}

void ExternalSort::sort_buffer() {
    const size_t n = buffer_.size();
    if (n < 2) return;
    if (cmp_.keys().empty()) return;  // every row equal: input order stands
    if (n > UINT32_MAX) {
        stable_merge_sort(buffer_, [this](RowView a, RowView b) { return cmp_.less(a, b); });
        return;
    }
    // The first key's values as cells side by side, each carrying its row's
    // place: most comparisons end there, and the sort streams through one
    // array instead of reaching into every row.
    const operators::SortKey first = cmp_.keys().front();
    std::vector<operators::SortCell> cells;
    cells.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const RowView row = buffer_[i];
        if (first.position >= row.size()) invariant_failed("sort key position outside the row");
        cells.push_back(operators::SortCell::of(row[first.position]));
        cells.back().place = static_cast<uint32_t>(i);
    }
    const bool more_keys = cmp_.keys().size() > 1;
    stable_merge_sort(cells, [&](const operators::SortCell& a, const operators::SortCell& b) {
        std::strong_ordering c = operators::SortCell::compare(a, b);
        if (c != 0) return first.ascending ? c < 0 : c > 0;
        return more_keys && cmp_.less(buffer_[a.place], buffer_[b.place]);
    });
    std::vector<RowView> sorted(n);
    for (size_t i = 0; i < n; ++i) sorted[i] = buffer_[cells[i].place];
    buffer_ = std::move(sorted);
}

Status ExternalSort::spill_buffer() {
    sort_buffer();
    if (sort_id_.empty()) {
        temp_dir_ = temp_dir();
        sort_id_ = types::new_uuid();
    }
    auto run = create_run(temp_dir_, run_name(sort_id_, runs_written_));
    if (!run) return fail(run.error());
    if (auto st = write_run(**run, buffer_); !st) return st;
    runs_.push_back(std::move(*run));
    ++runs_written_;
    buffer_.clear();
    owned_.clear();
    held_ = 0;
    return {};
}

Result<bool> ExternalSort::start_top_k() {
    const uint64_t k = *keep_first_;
    struct Entry {
        RowView row;
        uint64_t seq;
        Row* slot;  // the sort's own copy, when rows are copied
    };
    auto before = [this](const Entry& a, const Entry& b) {
        std::strong_ordering c = cmp_(a.row, b.row);
        return c < 0 || (c == 0 && a.seq < b.seq);
    };
    // A max-heap under `before`: its top is the kept row that would come
    // last, the one a better new row replaces.
    std::vector<Entry> heap;
    uint64_t seq = 0;
    for (; held_ < budget_; ++seq) {
        auto got = child_->next();
        if (!got) return fail(got.error());
        if (!*got) break;
        const RowView row = *got;
        if (heap.size() < k) {
            const RowView kept = keep(row);
            held_ += held_for(kept);
            heap.push_back({kept, seq, borrow_ ? nullptr : &owned_.back()});
            std::push_heap(heap.begin(), heap.end(), before);
            continue;
        }
        // A new row ties with the last kept one only after it in input
        // order, so it enters only when strictly less.
        if (k == 0 || !cmp_.less(row, heap.front().row)) continue;
        std::pop_heap(heap.begin(), heap.end(), before);
        Entry& out = heap.back();
        if (borrow_) {
            out.row = row;
        } else {
            held_ -= held_for(*out.slot);
            *out.slot = own(row);
            out.row = *out.slot;
            held_ += held_for(*out.slot);
        }
        out.seq = seq;
        std::push_heap(heap.begin(), heap.end(), before);
    }
    const bool over = held_ >= budget_;
    if (over) {
        // Rows dropped so far trail k kept ones, so they are not among the
        // first k: the kept rows, in input order, start the ordinary sort.
        std::sort(heap.begin(), heap.end(), [](const Entry& a, const Entry& b) { return a.seq < b.seq; });
    } else {
        stable_merge_sort(heap, before);
    }
    buffer_.clear();
    buffer_.reserve(heap.size());
    for (const Entry& e : heap) buffer_.push_back(e.row);
    if (over) return false;
    position_ = 0;
    state_ = State::InMemory;
    return true;
}

Status ExternalSort::start() {
    if (keep_first_) {
        auto done = start_top_k();
        if (!done) return fail(done.error());
        if (*done) return {};
    }
    if (auto st = pull_rest(); !st) return st;
    if (runs_written_ == 0) {
        sort_buffer();
        position_ = 0;
        state_ = State::InMemory;
        return {};
    }
    return start_merge();
}

Status ExternalSort::start_merge() {
    readers_.reserve(runs_.size());
    heads_.reserve(runs_.size());
    for (size_t i = 0; i < runs_.size(); ++i) {
        auto reader = RunReader::open(std::move(runs_[i]));
        if (!reader) return fail(reader.error());
        auto head = reader->read_row();
        if (!head) return fail(head.error());
        readers_.push_back(std::move(*reader));
        heads_.push_back(std::move(*head));
        if (heads_.back()) heap_.push_back(i);
    }
    runs_.clear();
    std::make_heap(heap_.begin(), heap_.end(), [this](size_t a, size_t b) { return run_after(a, b); });
    state_ = State::Merging;
    return {};
}

void ExternalSort::release_runs() {
    runs_.clear();
    readers_.clear();
    heads_.clear();
    heap_.clear();
}

Status ExternalSort::pull_rest() {
    for (;;) {
        if (held_ >= budget_) {
            if (auto st = spill_buffer(); !st) return st;
        }
        auto got = child_->next();
        if (!got) return fail(got.error());
        if (!*got) break;
        buffer_.push_back(keep(*got));
        held_ += held_for(buffer_.back());
    }
    // The last run, unless everything fits in memory.
    if (runs_written_ == 0 || buffer_.empty()) return {};
    return spill_buffer();
}

bool ExternalSort::run_after(size_t a, size_t b) const {
    // Heap order: the smallest head on top; equal heads by run number, so
    // equal rows come out in run order and, runs being sorted stably, in
    // the child's order.
    std::strong_ordering c = cmp_(*heads_[a], *heads_[b]);
    return c > 0 || (c == 0 && a > b);
}

Result<RowView> ExternalSort::next_merged() {
    auto after = [this](size_t a, size_t b) { return run_after(a, b); };
    if (heap_.empty()) {
        release_runs();
        state_ = State::Done;
        return RowView();
    }
    std::pop_heap(heap_.begin(), heap_.end(), after);
    const size_t best = heap_.back();
    if (!heads_[best]) return storage_error("sort run underflow");
    current_ = std::move(*heads_[best]);
    auto head = readers_[best].read_row();
    if (!head) return fail(head.error());
    heads_[best] = std::move(*head);
    if (heads_[best]) {
        std::push_heap(heap_.begin(), heap_.end(), after);
    } else {
        heap_.pop_back();
    }
    return RowView(current_);
}

Result<RowView> ExternalSort::next() {
    switch (state_) {
        case State::NotStarted:
            if (auto st = start(); !st) {
                release_runs();
                state_ = State::Done;
                return fail(st.error());
            }
            return next();
        case State::InMemory: {
            if (position_ >= buffer_.size()) return RowView();
            // Rows come out scattered in memory; ask for the next ones early.
            constexpr size_t kAhead = 8;
            if (position_ + 2 * kAhead < buffer_.size()) __builtin_prefetch(&buffer_[position_ + 2 * kAhead]);
            if (position_ + kAhead < buffer_.size()) __builtin_prefetch(buffer_[position_ + kAhead].data());
            return buffer_[position_++];
        }
        case State::Merging: return next_merged();
        case State::Done: return RowView();
    }
    return RowView();
}

Row ExternalSort::take(RowView lent) {
    if (state_ == State::Merging) return std::move(current_);
    if (state_ == State::InMemory && !borrow_) {
        // Our own copy, handed out once: its values move out (images of
        // the child's values come out as owning copies).
        Value* values = const_cast<Value*>(lent.data());
        return Row(std::make_move_iterator(values), std::make_move_iterator(values + lent.size()));
    }
    return lent.to_row();
}

}  // namespace zembrel::sort_spill

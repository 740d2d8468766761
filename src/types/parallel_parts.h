// Splitting a pass over many items among threads, each thread taking one
// contiguous part, for passes whose outcome does not depend on the split.
//
// Contract: a job given to run_parts must not allocate on the heap (every
// buffer it fills is made by the caller first), so that no worker leaves
// memory in a heap of its own once the work is done, and must not throw.
// Every thread is joined before run_parts returns.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace zembrel {

// How far a pass may split its work: into at most `workers` parts of at
// least `at_least` items each. The default keeps it on the calling thread.
struct Split {
    size_t workers = 1;
    size_t at_least = 1;

    // Parts for n items: at least one.
    size_t parts(size_t n) const {
        return std::clamp<size_t>(n / std::max<size_t>(at_least, 1), 1, std::max<size_t>(workers, 1));
    }
};

// The first item of part w when n items are split into `parts` near-equal parts.
inline size_t part_begin(size_t n, size_t parts, size_t w) { return n / parts * w + std::min(w, n % parts); }

// Calls job(w) for each w in [0, parts): part 0 on the calling thread, the
// others on threads of their own. The system may refuse threads: the parts
// they would have taken run on the calling thread after its own.
template <class Job>
void run_parts(size_t parts, const Job& job) {
    std::vector<std::thread> threads;
    if (parts > 1) threads.reserve(parts - 1);
    size_t started = 1;
    for (; started < parts; ++started) {
        try {
            threads.emplace_back([&job, started] { job(started); });
        } catch (const std::system_error&) {
            break;
        }
    }
    if (parts > 0) job(0);
    for (size_t w = started; w < parts; ++w) job(w);
    for (std::thread& t : threads) t.join();
}

}  // namespace zembrel

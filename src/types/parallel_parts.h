// Splitting a pass over many items among threads, each thread taking one
// contiguous part, for passes whose outcome does not depend on the split.
//
// Contract: a job given to run_parts must not allocate on the heap (every
// buffer it fills is made by the caller first), so that no worker leaves
// memory in a heap of its own once the work is done, and must not throw.
// Every part is done before run_parts returns; the threads it starts are
// joined by then, a Crew's by the Crew's end.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zembrel {

// Worker threads kept for a run of passes (the sorts behind one table's key
// trees), so that a pass wakes them where it would start and join threads
// of its own: starting a thread costs about as much as a pass over some
// ten thousand items. Made, used and ended by one thread; the destructor
// joins the workers.
class Crew {
public:
    // Up to workers - 1 threads besides the caller's: fewer when the system
    // refuses threads.
    explicit Crew(size_t workers);
    ~Crew();
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // The threads that take parts: the workers and the calling thread.
    size_t size() const { return threads_.size() + 1; }

    // Calls job(w) for each w in [0, parts) and returns when all are done:
    // part w on worker w when there is one, part 0 and any part past the
    // workers on the calling thread.
    template <class Job>
    void run(size_t parts, const Job& job) {
        run_erased(parts, [](const void* j, size_t w) { (*static_cast<const Job*>(j))(w); }, &job);
    }

private:
    using Call = void (*)(const void*, size_t);
    void run_erased(size_t parts, Call call, const void* job);
    void serve(size_t worker);

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    uint64_t round_ = 0;  // passes handed out so far
    size_t parts_ = 0;    // of the current pass
    size_t busy_ = 0;     // workers not yet done with it
    Call call_ = nullptr;
    const void* job_ = nullptr;
    bool ending_ = false;
    std::vector<std::thread> threads_;  // worker w is threads_[w - 1]
};

// How far a pass may split its work: into at most `workers` parts of at
// least `at_least` items each. The default keeps it on the calling thread.
// With a crew, the parts go to its workers (see run_parts below).
struct Split {
    size_t workers = 1;
    size_t at_least = 1;
    Crew* crew = nullptr;

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

// The same on the split's crew when it has one.
template <class Job>
void run_parts(const Split& split, size_t parts, const Job& job) {
    if (split.crew != nullptr && parts > 1) split.crew->run(parts, job);
    else run_parts(parts, job);
}

}  // namespace zembrel

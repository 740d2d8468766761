#include "types/parallel_parts.h"

namespace zembrel {

Crew::Crew(size_t workers) {
    if (workers > 1) threads_.reserve(workers - 1);
    for (size_t w = 1; w < workers; ++w) {
        try {
            threads_.emplace_back([this, w] { serve(w); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

Crew::~Crew() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void Crew::run_erased(size_t parts, Call call, const void* job) {
    const size_t helped = std::min(parts > 0 ? parts - 1 : 0, threads_.size());
    if (helped > 0) {
        {
            std::lock_guard lock(mutex_);
            parts_ = parts;
            busy_ = helped;
            call_ = call;
            job_ = job;
            ++round_;
        }
        wake_.notify_all();
    }
    if (parts > 0) call(job, 0);
    for (size_t w = helped + 1; w < parts; ++w) call(job, w);
    if (helped > 0) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return busy_ == 0; });
    }
}

void Crew::serve(size_t worker) {
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return ending_ || round_ != seen; });
        if (ending_) return;
        seen = round_;
        if (worker >= parts_) continue;
        const Call call = call_;
        const void* job = job_;
        lock.unlock();
        call(job, worker);
        lock.lock();
        if (--busy_ == 0) done_.notify_one();
    }
}

}  // namespace zembrel

// Workers take jobs in ascending order; a worker keeps its job's fitter, whose
// residual is the corrected extension, until the caller has written it, and only
// then takes the next.  So at most one job per worker is ahead of the writer.
#include "workers.h"

#include "faults.h"

#include <sched.h>

#include <fstream>
#include <string>
#include <system_error>

FitWorkers::FitWorkers(const FitGeometry &g, FitSettings settings, int workers, size_t jobs, JobData data,
                       JobDone done, bool masks, JobFit fit)
    : jobs_(jobs), data_(std::move(data)), done_(std::move(done)), fit_(std::move(fit))
{
    for (int i = 0; i < (workers > 0 ? workers : 1); i++) {
        auto w = std::make_unique<Worker>();
        w->fitter = std::make_unique<ExtensionFitter>(g, settings);
        if (masks) w->mask.assign(size_t(g.npix), 0);
        workers_.push_back(std::move(w));
    }
    // A thread that cannot be made (no memory for its stack) leaves fewer
    // workers; with none at all, take() fits each job itself.
    size_t started = 0;
    for (; started < workers_.size(); started++) {
        try {
            workers_[started]->thread = std::thread([this, p = workers_[started].get()] { work(*p); });
        } catch (const std::system_error &) {
            break;
        }
    }
    inline_ = started == 0;
    workers_.resize(started > 0 ? started : 1);
}

FitWorkers::~FitWorkers() { stop(); }

void FitWorkers::stop()
{
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto &w : workers_)
        if (w->thread.joinable()) w->thread.join();
}

void FitWorkers::work(Worker &w)
{
    // Interruptions go to the main thread, which holds them while it writes.
    faults_worker_thread();
    for (;;) {
        size_t j;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            if (stopping_ || next_ >= jobs_) return;
            j = next_++;
            w.job = j;
            w.ready = w.released = false;
        }
        FitResult r;
        r.outcome = fit_job(w, j, r.rows);
        r.fitter = w.fitter.get();
        std::unique_lock<std::mutex> hold(lock_);
        w.result = std::move(r);
        w.ready = true;
        changed_.notify_all();
        changed_.wait(hold, [&] { return w.released || stopping_; });
        if (stopping_) return;
    }
}

FitOutcome FitWorkers::fit_job(Worker &w, size_t j, std::string &rows)
{
    const ExtensionData x = data_(j, w.mask);
    return fit_ ? fit_(j, x, *w.fitter, rows) : w.fitter->fit(x, rows);
}

const FitResult &FitWorkers::take(size_t j)
{
    if (inline_) {
        Worker &w = *workers_[0];
        w.result = FitResult{};
        w.result.outcome = fit_job(w, j, w.result.rows);
        w.result.fitter = w.fitter.get();
        return w.result;
    }
    std::unique_lock<std::mutex> hold(lock_);
    Worker *found = nullptr;
    changed_.wait(hold, [&] {
        for (auto &w : workers_)
            if (w->job == j && w->ready) found = w.get();
        return found != nullptr;
    });
    return found->result;
}

void FitWorkers::release(size_t j)
{
    {
        const std::lock_guard<std::mutex> hold(lock_);
        for (auto &w : workers_)
            if (w->job == j) {
                w->job = SIZE_MAX;
                w->released = true;
            }
    }
    changed_.notify_all();
    // The corrected pixels are made from the inputs as they are written.
    if (done_) done_(j);
}

namespace {

// MemAvailable of /proc/meminfo in bytes, or -1 when it cannot be read.
int64_t available_memory()
{
    std::ifstream info("/proc/meminfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("MemAvailable:", 0) == 0) return std::stoll(line.substr(13)) * 1024;
    return -1;
}

} // namespace

int default_workers(size_t jobs, int64_t bytes_each)
{
    int n = 1;
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) n = CPU_COUNT(&cpus);
    if (size_t(n) > jobs) n = int(jobs);
    const int64_t memory = available_memory();
    if (memory > 0 && bytes_each > 0 && memory / bytes_each < n) n = int(memory / bytes_each);
    return n > 1 ? n : 1;
}

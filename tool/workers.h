// Extensions fitted at once on several threads, each with its own arrays, and
// handed to the caller in the order they were given, so that rows are printed
// and extensions written in ascending order whatever finishes first.
#ifndef TOLV_WORKERS_H
#define TOLV_WORKERS_H

#include "fringefit.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Fills the data of job j for a fit; `mask` is the worker's own buffer of npix
// bytes, for a mask read from a file.
using JobData = std::function<ExtensionData(size_t j, std::vector<unsigned char> &mask)>;

// Called by release(j) once job j is written: its inputs are no longer needed
// (the corrected pixels are made from them as they are stored).
using JobDone = std::function<void(size_t j)>;

// Fits job j with the worker's fitter, in place of its fit() (a fit made
// elsewhere taken: ExtensionFitter::adopt), appending the rows to `rows`.
using JobFit = std::function<FitOutcome(size_t j, const ExtensionData &x, ExtensionFitter &fitter, std::string &rows)>;

// What fitting job j gave; the fitter holds its model until release(j).
struct FitResult {
    FitOutcome outcome = FitOutcome::fitted;
    std::string rows;
    const ExtensionFitter *fitter = nullptr;
};

class FitWorkers {
  public:
    // Starts `workers` threads (at least 1) over jobs 0..jobs-1, taken in order.
    // The fitters are made here, before any thread starts: a failed allocation
    // ends the run as with one fitter.
    FitWorkers(const FitGeometry &g, FitSettings settings, int workers, size_t jobs, JobData data,
               JobDone done = nullptr, bool masks = false, JobFit fit = nullptr);
    // Stops the workers (a fit under way is finished and dropped) and joins them.
    ~FitWorkers();
    FitWorkers(const FitWorkers &) = delete;
    FitWorkers &operator=(const FitWorkers &) = delete;

    // Waits for job j, the one after the job last released (or 0).
    const FitResult &take(size_t j);
    // Gives job j's worker back for the next job.
    void release(size_t j);
    // Stops and joins every worker now; no job is taken afterwards.
    void stop();

  private:
    struct Worker {
        std::unique_ptr<ExtensionFitter> fitter;
        std::vector<unsigned char> mask;
        FitResult result;
        size_t job = SIZE_MAX; // the job it holds
        bool ready = false, released = false;
        std::thread thread;
    };
    void work(Worker &w);
    FitOutcome fit_job(Worker &w, size_t j, std::string &rows);

    size_t jobs_;
    JobData data_;
    JobDone done_;
    JobFit fit_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::mutex lock_;
    std::condition_variable changed_;
    size_t next_ = 0;
    bool stopping_ = false;
    bool inline_ = false; // no thread could be made: jobs are fitted by take()
};

// The workers a run uses by default: the processors this process may use, at
// most `jobs`, and no more than the available memory holds at `bytes_each`.
int default_workers(size_t jobs, int64_t bytes_each);

#endif

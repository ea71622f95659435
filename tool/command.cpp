// The command's whole job on its parsed options, as its stages: open the inputs,
// plan, fit, write, commit.  Each stage is a module of its own (inputs, plan,
// workers, target); this file only drives them and prints the table.
#include "command.h"

#include "exposure_fit.h"
#include "faults.h"
#include "inputs.h"
#include "journal.h"
#include "lufit.h"
#include "messages.h"
#include "plan.h"
#include "recovery.h"
#include "table_file.h"
#include "target.h"
#include "workers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

class Run {
  public:
    Run(const Options &o, const CommandStreams &streams)
        : o_(o), streams_(streams), in_place_(o.output.empty() && !o.dry_run),
          messages_(streams.messages, o.files[0], !o.quiet, streams.fatal_exits),
          inputs_(o, messages_, streams.report), journal_(inputs_.in().science_split.path, o.files[0]),
          table_(streams.table, o.table), target_(make_target(o, messages_, inputs_.in(), journal_, streams.checkpoint))
    {
    }

    int run()
    {
        if (o_.recover || o_.drop_journal)
            return apply_journal(o_.drop_journal, inputs_, journal_, messages_, table_, streams_.report);
        const auto t0 = std::chrono::steady_clock::now();
        faults_run(!o_.output.empty() ? RunKind::output : in_place_ ? RunKind::in_place : RunKind::dry_run,
                   o_.files[0], o_.output.c_str());
        // Open the inputs.
        if (const int status = target_->refuse_early()) return status;
        if (const int status = inputs_.open(in_place_, journal_)) return status;
        // Plan: every check that can be made before the first write.
        if (const int status = make_plan(inputs_.in(), o_, in_place_ ? &journal_ : nullptr, messages_, &plan_))
            return status;
        const char *nothing = target_->nothing_to_do(inputs_, plan_);
        if (const int status = target_->refuse_inputs(inputs_)) return status;
        if (const int status = open_table()) return status;
        if (nothing) {
            table_.empty();
            table_.head(plan_.g.nfringe);
            messages_.note(nothing);
            return table_.flush() ? 0 : 1;
        }
        // --per-exposure: every extension is fitted before anything is opened
        // for writing, so that a fit that cannot be solved changes nothing.
        if (o_.per_exposure)
            if (const int status = fit_exposure()) return status;
        // Fit, in the background from here on, and write each extension as its
        // fit comes, in the plan's order.
        if (const int status = target_->open(inputs_, plan_)) return status;
        faults_plan(int(plan_.jobs.size()) + plan_.finished, plan_.finished);
        start_fits();
        if (const int status = target_->begin(inputs_, plan_)) return status;
        // Each extension's original bytes go to the journal while it is being
        // fitted: the jobs are the extensions to write, in order.
        if (const int status = target_->prepare(plan_, 0)) return status;
        // The last refusal is behind: the table's file is emptied for the rows.
        table_.empty();
        table_.head(plan_.g.nfringe);
        for (size_t i = 0; i < plan_.extensions.size(); i++)
            if (const int status = take(i)) return status;
        // Commit.
        return commit(t0);
    }

  private:
    // --table: its file opened (not yet emptied), unless it is one of the inputs.
    int open_table()
    {
        if (o_.table.empty()) return 0;
        if (inputs_.names_an_input(o_.table)) return 1;
        std::string error;
        return table_.open(&error) ? 0 : messages_.refuse(file_line(o_.table, error));
    }

    // The threads that fit: -j, or as many as the machine and its memory allow.
    int fit_threads() const
    {
        const Plan &p = plan_;
        return o_.jobs ? std::min(o_.jobs, int(p.jobs.size())) : default_workers(p.jobs.size(), fitter_bytes(p.g));
    }

    // The workers, fitting the plan's jobs in order from now on (with
    // --per-exposure, taking each extension's part of the exposure's fit).
    void start_fits()
    {
        const Plan &p = plan_;
        if (p.jobs.empty()) return;
        const Inputs &in = inputs_.in();
        JobFit adopt;
        if (exposure_)
            adopt = [this](size_t j, const ExtensionData &x, ExtensionFitter &fitter, std::string &rows) {
                // Each piece's input pages go once its corrected pixels are made.
                fitter.adopt(x, exposure_->rows[j], exposure_->models[j], rows,
                             [this, j](int first, int count) { release_fit_pixels(inputs_.in(), plan_, j, first, count); });
                return FitOutcome::fitted;
            };
        workers_ = std::make_unique<FitWorkers>(
            p.g, o_.fit, fit_threads(), p.jobs.size(),
            [this](size_t j, std::vector<unsigned char> &mask) { return fit_inputs(inputs_.in(), plan_, j, mask); },
            [this](size_t j) { release_fit_inputs(inputs_.in(), plan_, j, !in_place_); }, in.mask != nullptr,
            std::move(adopt));
    }

    // --per-exposure: the fit of every extension to correct at once (a rerun
    // takes the amplitudes of the interrupted run from its journal).  A status
    // when the fit cannot be made; nothing has been written then.
    int fit_exposure()
    {
        if (plan_.jobs.empty()) return 0;
        std::vector<double> recorded;
        for (const auto &[e, done] : journal_.done())
            if (plan_.has(e) && recorded.empty()) table_rows_of(done.rows, &recorded);
        const size_t steps = size_t(o_.fit.iterations) * size_t(plan_.g.nfringe);
        if (plan_.finished > 0 && recorded.size() != steps)
            return messages_.refuse_science("the journal does not hold the amplitudes of the exposure's fit" +
                                            std::string(NOTHING_DONE));
        exposure_ = std::make_unique<ExposureFit>();
        const Inputs &in = inputs_.in();
        // In place, the journal's key digests the fringe frames and the mask
        // whole: made meanwhile on a thread of its own (through the files'
        // descriptors; the fit reads the mappings), as the default mode makes it
        // while its workers fit.
        std::thread keyed;
        if (in_place_) {
            try {
                keyed = std::thread([this] {
                    faults_worker_thread();
                    inputs_.key();
                });
            } catch (const std::system_error &) {
            }
        }
        const bool fitted = exposure_fit(
            plan_.g, o_.fit, plan_.jobs.size(), fit_threads(),
            [this](size_t j, std::vector<unsigned char> &mask) { return fit_inputs(inputs_.in(), plan_, j, mask); },
            [this](size_t j) { release_fit_inputs(inputs_.in(), plan_, j, true); }, exposure_.get(),
            in.mask != nullptr, plan_.finished > 0 ? &recorded : nullptr);
        if (keyed.joinable()) keyed.join();
        if (fitted) return 0;
        messages_.refuse_science(
            (exposure_->singular_extn ? "extension " + std::to_string(exposure_->singular_extn) + ": " + CLIPPED_AWAY_TEXT
                                      : std::string(EXPOSURE_UNSOLVABLE_TEXT)) +
            NOTHING_DONE);
        return messages_.numeric_error(SINGULAR_MESSAGE);
    }

    // Planned extension i: its rows, and its write when it was fitted; a status
    // when the run ends here.
    int take(size_t i)
    {
        const PlannedExtension &x = plan_.extensions[i];
        switch (x.step) {
        case PlanStep::dead:
            messages_.note("extension " + std::to_string(x.e) +
                           ": no pixel has a finite value (a dead CCD?); left as it is");
            return 0;
        case PlanStep::finished: {
            const std::string rows = table_rows_of(journal_.done().at(x.e).rows);
            table(rows, streams_.report ? parse_fit_rows(rows) : std::vector<FitRow>());
            corrected_++;
            return 0;
        }
        case PlanStep::corrected_before:
            messages_.note("extension " + std::to_string(x.e) + " already corrected at " + x.corrected_at +
                           "; --force corrects it again");
            return 0;
        case PlanStep::fit:
            break;
        }
        const FitResult &fit = workers_->take(x.job);
        table(fit.rows, fit.fitter->fit_rows());
        if (fit.outcome == FitOutcome::singular) return stop(i);
        const std::string recorded = exposure_ ? recorded_rows(fit.rows, exposure_->shared) : fit.rows;
        if (const int status = target_->write(plan_, x, *fit.fitter, recorded)) return status;
        workers_->release(x.job);
        if (const int status = target_->prepare(plan_, x.job + 1)) return status;
        corrected_++;
        messages_.progress_line(messages_.science_name() + ": extension " + std::to_string(x.e) + " " +
                                (target_->writes() ? "corrected" : "fitted") + " (" + std::to_string(i + 1) +
                                " of " + std::to_string(plan_.extensions.size()) + ")");
        return 0;
    }

    // A fit that cannot be solved at extensions[i]: every extension before it is
    // written and synced, and the run ends cleanly here, as a run without a
    // journal would (the fits of later extensions are dropped).
    int stop(size_t i)
    {
        workers_->stop();
        table_.flush();
        if (const int status = target_->settle()) return status;
        const std::string what = target_->end_early(plan_, i);
        messages_.refuse_science("extension " + std::to_string(plan_.extensions[i].e) + ": " + CLIPPED_AWAY_TEXT);
        messages_.refuse_science(what);
        return messages_.numeric_error(SINGULAR_MESSAGE);
    }

    // The end of a run whose every extension is written: synced, the table
    // flushed and the run made complete; then the table's error, if any.
    int commit(std::chrono::steady_clock::time_point t0)
    {
        if (const int status = target_->settle()) return status;
        if (streams_.checkpoint) streams_.checkpoint("end", 0);
        // The table is flushed, and the fit's arrays released, while the journal
        // still records every extension as done: a run killed now is finished by
        // the next one without writing anything.
        workers_.reset();
        table_.flush();
        if (const int status = target_->commit(inputs_)) return status;
        const std::string &name = target_->written_name();
        if (table_.error())
            return messages_.refuse(tool_line(std::string("the table could not be written (") +
                                              std::strerror(table_.error()) + ")" +
                                              (target_->writes() ? "; " + name + " is corrected" : "")));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        char took[32];
        std::snprintf(took, sizeof took, "%.1f s", seconds);
        const std::string summary = name + ": " + std::to_string(corrected_) + " extension" +
                                    (corrected_ == 1 ? "" : "s") + " " + (target_->writes() ? "corrected" : "fitted") +
                                    " in " + took;
        if (streams_.summary && !o_.quiet && !messages_.progress())
            std::fprintf(streams_.messages, "%s\n", tool_line(summary).c_str());
        else
            messages_.progress_line(summary);
        if (streams_.report) streams_.report->corrected = corrected_;
        return 0;
    }

    // Rows of the table, and the same rows as numbers for the report.
    void table(const std::string &text, const std::vector<FitRow> &rows)
    {
        table_.rows(text);
        if (streams_.report) streams_.report->rows.insert(streams_.report->rows.end(), rows.begin(), rows.end());
    }

    const Options &o_;
    const CommandStreams streams_;
    const bool in_place_;
    const Messages messages_;
    InputFiles inputs_;
    Journal journal_;
    TableFile table_;
    std::unique_ptr<Target> target_;
    Plan plan_;
    std::unique_ptr<ExposureFit> exposure_; // --per-exposure: the fit of the exposure
    std::unique_ptr<FitWorkers> workers_;
    int corrected_ = 0;
};

} // namespace

int run_command(const Options &o, const CommandStreams &streams) { return Run(o, streams).run(); }

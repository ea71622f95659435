// The command's whole job on its parsed options, as its stages: open the inputs,
// plan, fit, write, commit.  Each stage is a module of its own (inputs, plan,
// workers, target); this file only drives them and prints the table.
#include "command.h"

#include "faults.h"
#include "inputs.h"
#include "journal.h"
#include "lufit.h"
#include "messages.h"
#include "plan.h"
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
#include <vector>

namespace {

class Run {
  public:
    Run(const Options &o, const CommandStreams &streams)
        : o_(o), streams_(streams), in_place_(o.output.empty() && !o.dry_run),
          messages_(streams.messages, o.files[0], !o.quiet, streams.fatal_exits),
          journal_(mosaic_path(o.files[0]), o.files[0]), inputs_(o, messages_, streams.report),
          table_(streams.table, o.table), target_(make_target(o, messages_, journal_, streams.checkpoint))
    {
    }

    int run()
    {
        if (o_.recover || o_.drop_journal) return journal_only();
        const auto t0 = std::chrono::steady_clock::now();
        faults_run(!o_.output.empty() ? RunKind::output : in_place_ ? RunKind::in_place : RunKind::dry_run,
                   o_.files[0], o_.output.c_str());
        if (const int status = target_->refuse_early()) return status;
        if (const int status = inputs_.open(in_place_, journal_)) return status;
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

    // The workers, fitting the plan's jobs in order from now on.
    void start_fits()
    {
        const Plan &p = plan_;
        if (p.jobs.empty()) return;
        const int n = o_.jobs ? std::min(o_.jobs, int(p.jobs.size()))
                              : default_workers(p.jobs.size(), fitter_bytes(p.g));
        const Inputs &in = inputs_.in();
        workers_ = std::make_unique<FitWorkers>(
            p.g, o_.fit, n, p.jobs.size(),
            [this](size_t j, std::vector<unsigned char> &mask) { return job_data(plan_.job(j), mask); },
            [this](size_t j) { release_job_inputs(plan_.job(j)); }, in.mask != nullptr);
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
        case PlanStep::finished:
            table(journal_.done().at(x.e).rows, journal_rows(journal_.done().at(x.e).rows));
            corrected_++;
            return 0;
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
        if (const int status = target_->write(plan_, x, *fit.fitter, fit.rows)) return status;
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
        messages_.progress_line(name + ": " + std::to_string(corrected_) + " extension" + (corrected_ == 1 ? "" : "s") +
                                " " + (target_->writes() ? "corrected" : "fitted") + " in " + took);
        return 0;
    }

    // --recover and --drop-journal: the science file's journal applied (the
    // extension being written put back, those done left corrected) or removed,
    // and nothing else.
    int journal_only()
    {
        std::string error;
        int status = 0;
        MosaicFile *f = inputs_.open_science(true, &status);
        if (!f) return status;
        if (o_.drop_journal) {
            std::string what;
            const bool dropped = journal_.drop(f->fd, &what, &error);
            mosaic_file_close(f);
            if (!dropped) return messages_.refuse_science(error);
            messages_.note(what);
            return 0;
        }
        const bool recovered = journal_.recover(f->fd, &error);
        mosaic_file_close(f);
        if (!recovered) return messages_.refuse_science(error);
        if (!journal_.found()) {
            journal_.clear_mark();
            messages_.note("no interrupted run to recover: nothing was done");
            return 0;
        }
        const std::vector<int> done = recovered_rows();
        const int restored = journal_.restored();
        if (!journal_.finish(&error)) return messages_.refuse_science(error);
        messages_.note((restored ? "extension " + std::to_string(restored) + " is put back as it was"
                                 : std::string("no extension was being written")) +
                       ", " +
                       (done.empty() ? std::string("no extension was corrected")
                                     : extensions_are(done) + " corrected and kept") +
                       "; the journal is removed");
        return 0;
    }

    // The rows of the extensions the journal records as corrected, under the
    // table's head (as many fringe columns as the rows have); those extensions.
    std::vector<int> recovered_rows()
    {
        std::vector<int> done;
        for (const auto &[e, d] : journal_.done()) {
            if (done.empty()) {
                // A row is Extn, Iter, Sigma, Npix, Aconst, Ax, Ay, then one column a frame.
                const std::string first = d.rows.substr(0, d.rows.find('\n'));
                table_.head(int(std::count(first.begin(), first.end(), '\t')) - 6);
            }
            done.push_back(e);
            table(d.rows, journal_rows(d.rows));
        }
        table_.flush();
        return done;
    }

    // Rows of the table, and the same rows as numbers for the report.
    void table(const std::string &text, const std::vector<FitRow> &rows)
    {
        table_.rows(text);
        if (streams_.report) streams_.report->rows.insert(streams_.report->rows.end(), rows.begin(), rows.end());
    }

    // The rows an interrupted run recorded for an extension it finished, as
    // numbers: the journal keeps them as the table's text.
    std::vector<FitRow> journal_rows(const std::string &text) const
    {
        std::vector<FitRow> rows;
        if (!streams_.report) return rows;
        for (size_t at = 0; at < text.size();) {
            const size_t end = std::min(text.find('\n', at), text.size());
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            FitRow row;
            char *next = nullptr;
            row.extn = int(std::strtol(line.c_str(), &next, 10));
            row.iter = int(std::strtol(next, &next, 10));
            row.sigma = std::strtof(next, &next);
            row.npix = int(std::strtol(next, &next, 10));
            row.a.push_back(0.0);
            for (char *after = next;; next = after) {
                const double a = std::strtod(next, &after);
                if (after == next) break;
                row.a.push_back(a);
            }
            rows.push_back(row);
        }
        return rows;
    }

    // The inputs of one extension's fit; `mask` is the worker's buffer for the mask.
    // The inputs of the next extensions are asked for meanwhile.
    ExtensionData job_data(const PlannedExtension &x, std::vector<unsigned char> &mask) const
    {
        const Inputs &in = inputs_.in();
        const int64_t bytes = int64_t(plan_.g.npix) * 4;
        mosaic_prefetch(in.science, in.science->data[x.e], bytes);
        for (size_t k = 0; k < in.fringes.size(); k++)
            mosaic_prefetch(in.fringes[k], in.fringes[k]->data[x.units[k]], bytes);
        ExtensionData d;
        d.extn = x.e;
        d.science = in.science->data[x.e];
        for (size_t k = 0; k < in.fringes.size(); k++) d.fringes.push_back(in.fringes[k]->data[x.units[k]]);
        if (in.mask) {
            read_mask(mask.data(), in.mask, x.units.back(), plan_.g.npix);
            d.mask = mask.data();
        }
        return d;
    }

    // Drops the pages of an extension's inputs from memory once its fit has read
    // them (the files keep the bytes): its fringe and mask units, and its science
    // unit when nothing is written into it.
    void release_job_inputs(const PlannedExtension &x) const
    {
        const Inputs &in = inputs_.in();
        const int64_t bytes = int64_t(plan_.g.npix) * 4;
        for (size_t k = 0; k < in.fringes.size(); k++)
            mosaic_release(in.fringes[k], in.fringes[k]->data[x.units[k]], bytes);
        if (in.mask)
            mosaic_release(in.mask, in.mask->data[x.units.back()], in.mask->head[x.units.back()]->basic->databytes);
        if (!in_place_) mosaic_release(in.science, in.science->data[x.e], bytes);
    }

    const Options &o_;
    const CommandStreams streams_;
    const bool in_place_;
    const Messages messages_;
    Journal journal_;
    InputFiles inputs_;
    TableFile table_;
    std::unique_ptr<Target> target_;
    Plan plan_;
    std::unique_ptr<FitWorkers> workers_;
    int corrected_ = 0;
};

} // namespace

int run_command(const Options &o, const CommandStreams &streams) { return Run(o, streams).run(); }

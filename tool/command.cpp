// The command's whole job on its parsed options: opening and locking, recovery of
// an interrupted run, the checks made before the first write, the fit, and each
// extension's write-back.
#include "command.h"

#include "digest.h"
#include "faults.h"
#include "fringefit.h"
#include "journal.h"
#include "layout.h"
#include "lufit.h"
#include "mosaic.h"
#include "output.h"
#include "record.h"
#include "table.h"
#include "workers.h"
#include "tsutil.h"
#include "writeback.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int MAX_UNITS = 73;
constexpr char RERUN_HINT[] = "; run the same command again to recover";


std::string extension_range(int first, int last)
{
    if (first > last) return "no extension";
    if (first == last) return "extension " + std::to_string(first);
    return "extensions " + std::to_string(first) + " to " + std::to_string(last);
}

bool same_file(const MosaicFile *a, const MosaicFile *b) { return a->dev == b->dev && a->ino == b->ino; }

// One whole run; returns the exit status.
class Run {
  public:
    Run(const Options &o, const CommandStreams &streams)
        : o_(o), streams_(streams), science_name_(o.files[0]), in_place_(o.output.empty() && !o.dry_run),
          notes_(!o.quiet), progress_(!o.quiet && isatty(fileno(streams.messages))),
          journal_(mosaic_path(o.files[0]), o.files[0]), table_(streams.table)
    {
        in_.science_name = science_name_;
        in_.fringe_names.assign(o.files.begin() + 1, o.files.end());
        in_.mask_name = o.mask.empty() ? nullptr : o.mask.c_str();
    }
    // Unmaps and closes every file (their locks go with them): a caller that goes
    // on living, the Python module, runs again.
    ~Run()
    {
        release_files();
        if (table_ && table_ != streams_.table) std::fclose(table_);
    }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    int run()
    {
        if (o_.recover || o_.drop_journal) return journal_only();
        const auto t0 = std::chrono::steady_clock::now();
        faults_run(!o_.output.empty() ? RunKind::output : in_place_ ? RunKind::in_place : RunKind::dry_run,
                   science_name_, o_.output.c_str());
        std::unique_ptr<OutputFile> output;
        if (!o_.output.empty()) {
            output = std::make_unique<OutputFile>(o_.output, o_.overwrite);
            if (output->refused())
                return refuse("tolv: " + o_.output + ": the file exists; --overwrite replaces it");
        }
        if (const int status = open_inputs()) return status;
        std::vector<PlannedUnit> plan;
        std::vector<char> dead;
        if (const int status = check(&plan, &dead)) return status;
        // Nothing to correct: the table's head only (in its file, with --table).
        const char *nothing = nullptr;
        if (in_place_ && !journal_.found() && completed_just_before(plan))
            nothing = "this command completed on this file just before it was interrupted: every extension is "
                      "corrected; nothing was done";
        else if (!output && !journal_.found() && nothing_to_correct(dead))
            nothing = "every extension is already corrected; --force corrects them again";
        if (output && names_an_input(o_.output)) return 1;
        // The table's file is opened only now: nothing is written before every check.
        // It is emptied only once no refusal can come (below), so that a refused run
        // leaves it as it was.  Written where it is rather than into a temporary put
        // in place at the end: it may be a pipe, a device or a link to keep, and its
        // rows are seen as they come.
        if (!o_.table.empty()) {
            if (names_an_input(o_.table)) return 1;
            const int fd = open(o_.table.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            table_ = fd >= 0 ? fdopen(fd, "w") : nullptr;
            if (!table_) {
                const int why = errno;
                if (fd >= 0) close(fd);
                return refuse("tolv: " + o_.table + ": " + std::strerror(why));
            }
        }
        if (nothing) {
            empty_table_file();
            print_fit_head(table_, int(in_.fringes.size()));
            note(nothing);
            return std::fflush(table_) == 0 && !table_error_ ? 0 : 1;
        }
        if (output && !open_output(*output, plan, dead)) return 1;
        const Mosaic target = output ? output_ : in_place_ ? in_.science : nullptr;

        const FitGeometry g = fit_geometry(in_.science, int(in_.fringes.size()), plan.empty() ? 1 : plan[0].science);
        // The extensions to fit: planned, not dead, not finished by an interrupted
        // run, not corrected by an earlier one.
        std::vector<size_t> jobs;
        for (size_t i = 0; i < plan.size(); i++)
            if (!dead[i] && !(in_place_ && journal_.done().count(plan[i].science)) && already_[i].empty())
                jobs.push_back(i);
        size_t finished = 0; // by the interrupted run this one finishes
        for (size_t i = 0; i < plan.size(); i++)
            finished += !dead[i] && in_place_ && journal_.done().count(plan[i].science);
        faults_plan(int(jobs.size() + finished), int(finished));
        std::unique_ptr<FitWorkers> workers;
        if (!plan.empty()) {
            if (!jobs.empty()) {
                const int n = o_.jobs ? std::min(o_.jobs, int(jobs.size())) : default_workers(jobs.size(), fitter_bytes(g));
                workers = std::make_unique<FitWorkers>(
                    g, o_.fit, n, jobs.size(),
                    [&](size_t j, std::vector<unsigned char> &mask) { return job_data(plan[jobs[j]], g, mask); },
                    [&](size_t j) { release_inputs(plan[jobs[j]], g, target != in_.science); }, in_.mask != nullptr);
            }
            if (in_place_ && !jobs.empty()) {
                if (const int status = claim_disk(plan, g)) return status;
                // The journal's slot holds an extension's header and pixels; it
                // has a record for each extension to write, whose rows are at
                // most the iterations' longest.
                int64_t capacity = 0;
                identity_.units = {journal_unit(0, 0)};
                for (const PlannedUnit &p : plan) {
                    identity_.units.push_back(journal_unit(p.science, int64_t(g.npix) * 4));
                    capacity = std::max(capacity, identity_.units.back().header_bytes + int64_t(g.npix) * 4);
                }
                identity_.key = inputs_key();
                std::string error;
                if (!journal_.start(identity_, capacity, int(jobs.size()), o_.fit.iterations * fit_row_bound(g.npar),
                                    &error))
                    return refuse("tolv: " + std::string(science_name_) + ": " + error + "; nothing was done");
            }
        }
        WriteBack writer(target, science_name_, in_place_ ? &journal_ : nullptr, streams_.checkpoint);
        int corrected = 0;
        size_t job = 0;
        std::string error;
        // Each extension's original bytes go to the journal while it is being
        // fitted: the jobs are the extensions to write, in order.
        if (target && !jobs.empty() && !writer.prepare(plan[jobs[0]].science, g.npix, &error)) return refuse(error);
        // The last refusal is behind: the table's file is emptied for the rows.
        empty_table_file();
        print_fit_head(table_, g.nfringe);
        for (size_t i = 0; i < plan.size(); i++) {
            const int e = plan[i].science;
            if (dead[i]) {
                note("extension " + std::to_string(e) + ": no pixel has a finite value (a dead CCD?); left as it is");
                continue;
            }
            if (in_place_ && journal_.done().count(e)) {
                table(journal_.done().at(e).rows);
                report_rows(journal_.done().at(e).rows);
                corrected++;
                continue;
            }
            if (!already_[i].empty()) {
                note("extension " + std::to_string(e) + " already corrected at " + already_[i] +
                     "; --force corrects it again");
                continue;
            }
            const FitResult &fit = workers->take(job);
            table(fit.rows);
            if (streams_.report)
                for (const FitRow &row : fit.fitter->fit_rows()) streams_.report->rows.push_back(row);
            if (fit.outcome == FitOutcome::singular) {
                // Every extension before this one is written and synced: the run
                // ends cleanly here, as a run without a journal would (the fits
                // of later extensions are dropped).
                workers->stop();
                std::fflush(table_);
                if (!writer.settle(&error)) return refuse(error);
                if (in_place_ && !journal_.finish(&error)) refuse("tolv: " + std::string(science_name_) + ": " + error);
                refuse("tolv: " + std::string(science_name_) + ": extension " + std::to_string(e) +
                       ": after clipping, a fringe frame or a gradient is zero at every pixel used; the fit cannot "
                       "be solved");
                refuse("tolv: " + std::string(science_name_) + ": " + stopped_at(plan, dead, i));
                return numeric_error(SINGULAR_MESSAGE);
            }
            const StorePixels store = [&](void *to, int first, int count) { fit.fitter->store(to, first, count); };
            if (target && !writer.write(e, store, g.npix, new_header(target, e, fit.fitter->last()), fit.rows, &error))
                return refuse(error);
            workers->release(job++);
            if (target && job < jobs.size() && !writer.prepare(plan[jobs[job]].science, g.npix, &error))
                return refuse(error);
            corrected++;
            if (progress_)
                std::fprintf(streams_.messages, "tolv: %s: extension %d %s (%zu of %zu)\n", science_name_, e,
                             target ? "corrected" : "fitted", i + 1, plan.size());
        }
        if (!writer.settle(&error)) return refuse(error);
        if (streams_.checkpoint) streams_.checkpoint("end", 0);
        // The table is flushed, and the fit's arrays released, while the journal
        // still records every extension as done: a run killed now is finished by
        // the next one without writing anything.
        workers.reset();
        if (std::fflush(table_) != 0 && !table_error_) table_error_ = errno ? errno : EIO;
        if (std::ferror(table_) && !table_error_) table_error_ = EIO;
        if (in_place_) {
            if (fsync(in_.science->file->fd) != 0)
                return refuse("tolv: " + std::string(science_name_) + ": writing the corrected pixels back failed: " +
                              std::strerror(errno) + RERUN_HINT);
            // Removing the journal completes the run: the files are unmapped and
            // closed first (the journal keeps the lock), so that the process ends
            // at once after it.
            release_files();
            const HeldSignals hold;
            if (!journal_.finish(&error, streams_.checkpoint))
                return refuse("tolv: " + std::string(science_name_) + ": " + error);
            faults_progress(RunStep::complete);
        }
        if (output) {
            // Synced first, so that an interruption waits only for the last step.
            const bool synced = msync(output_->file->map, size_t(output_->file->size), MS_SYNC) == 0 &&
                                fsync(output->descriptor()) == 0;
            if (!synced) error = std::string("writing the corrected mosaic failed: ") + std::strerror(errno);
            const HeldSignals hold;
            if (!synced || !output->commit(&error)) return refuse("tolv: " + o_.output + ": " + error);
            faults_progress(RunStep::complete);
        }
        if (table_error_)
            return refuse(std::string("tolv: the table could not be written (") + std::strerror(table_error_) + ")" +
                          (target ? "; " + std::string(output ? o_.output : science_name_) + " is corrected" : ""));
        if (progress_)
            std::fprintf(streams_.messages, "tolv: %s: %d extension%s %s in %.1f s\n", output ? o_.output.c_str() : science_name_,
                         corrected, corrected == 1 ? "" : "s", target ? "corrected" : "fitted",
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        return 0;
    }

  private:
    // Unmaps and closes every file (their locks go with them, but for the
    // journal's); a caller that goes on living, the Python module, runs again.
    void release_files()
    {
        std::vector<Mosaic *> all = {&in_.science, &in_.mask, &output_};
        for (Mosaic &m : in_.fringes) all.push_back(&m);
        for (Mosaic *m : all)
            if (*m) {
                faults_unwatch(*m);
                ft_freemosaic(*m);
                *m = nullptr;
            }
    }

    // True when the file's mark says that this same command completed on it just
    // before the process was stopped (after its journal was removed), and the
    // extensions it wrote are as it left them: running it again would correct
    // them twice.  A mark that says otherwise is cleared.
    bool completed_just_before(const std::vector<PlannedUnit> &plan)
    {
        if (!journal_.completed_mark()) return false;
        const std::vector<int> units = journal_.completed_by(inputs_key());
        if (units.empty()) return false;
        const FitGeometry g = fit_geometry(in_.science, int(in_.fringes.size()), plan.empty() ? 1 : plan[0].science);
        std::vector<uint64_t> digests;
        for (const int e : units) {
            bool planned = false;
            for (const PlannedUnit &p : plan) planned = planned || p.science == e;
            if (!planned) break;
            const HeaderBlocks h = header_blocks(in_.science, e);
            digests.push_back(Journal::extension_digest(
                digest_of(h.bytes, size_t(h.length)), digest_of(in_.science->data[e], size_t(g.npix) * 4)));
        }
        const bool same = digests.size() == units.size() && journal_.completed_digest_matches(digests);
        journal_.clear_mark();
        return same;
    }

    // Which extensions a run that stopped at plan[stop] corrected and which it
    // did not, for the message that ends it.
    std::string stopped_at(const std::vector<PlannedUnit> &plan, const std::vector<char> &dead, size_t stop) const
    {
        if (!in_place_) return o_.output.empty() ? "nothing was written" : o_.output + " is not written";
        std::vector<int> corrected, left;
        for (size_t i = 0; i < plan.size(); i++)
            if (!dead[i] && already_[i].empty()) (i < stop ? corrected : left).push_back(plan[i].science);
        return (corrected.empty() ? std::string("no extension is corrected") : extensions(corrected) + " corrected") +
               ", " + extensions(left) + " left as " + (left.size() == 1 ? "it was" : "they were");
    }

    // "extension 1 is", "extensions 2 and 3 are", "extensions 1, 2 and 4 are".
    static std::string extensions(const std::vector<int> &list)
    {
        std::string text = list.size() == 1 ? "extension " : "extensions ";
        for (size_t i = 0; i < list.size(); i++) {
            if (i > 0) text += i + 1 == list.size() ? " and " : ", ";
            text += std::to_string(list[i]);
        }
        return text + (list.size() == 1 ? " is" : " are");
    }

    // --recover and --drop-journal: the science file's journal applied (the
    // extension being written put back, those done left corrected) or removed,
    // and nothing else.
    int journal_only()
    {
        std::string error;
        int status = 0;
        MosaicFile *f = open_science(true, &status);
        if (!f) return status;
        if (o_.drop_journal) {
            std::string what;
            const bool dropped = journal_.drop(f->fd, &what, &error);
            mosaic_file_close(f);
            if (!dropped) return refuse("tolv: " + std::string(science_name_) + ": " + error);
            note(what);
            return 0;
        }
        const bool recovered = journal_.recover(f->fd, &error);
        mosaic_file_close(f);
        if (!recovered) return refuse("tolv: " + std::string(science_name_) + ": " + error);
        if (!journal_.found()) {
            journal_.clear_mark();
            note("no interrupted run to recover: nothing was done");
            return 0;
        }
        // The rows of the extensions corrected, under the table's head (as many
        // fringe columns as the rows have).
        std::vector<int> done;
        for (const auto &[e, d] : journal_.done()) {
            if (done.empty()) {
                // A row is Extn, Iter, Sigma, Npix, Aconst, Ax, Ay, then one column a frame.
                const std::string first = d.rows.substr(0, d.rows.find('\n'));
                print_fit_head(table_, int(std::count(first.begin(), first.end(), '\t')) - 6);
            }
            done.push_back(e);
            table(d.rows);
            report_rows(d.rows);
        }
        if (std::fflush(table_) != 0) table_error_ = errno ? errno : EIO;
        const int restored = journal_.restored();
        if (!journal_.finish(&error)) return refuse("tolv: " + std::string(science_name_) + ": " + error);
        note((restored ? "extension " + std::to_string(restored) + " is put back as it was"
                       : std::string("no extension was being written")) +
             ", " + (done.empty() ? std::string("no extension was corrected") : extensions(done) + " corrected and kept") +
             "; the journal is removed");
        return 0;
    }

    void note(const std::string &text) const
    {
        if (notes_) std::fprintf(streams_.messages, "tolv: %s: %s\n", science_name_, text.c_str());
    }

    int refuse(const std::string &line) const
    {
        std::fprintf(streams_.messages, "%s\n", line.c_str());
        return 1;
    }

    // "Couldn't open file", after the line that says why (when it is known here; a
    // failed mapping has said so after "mmap:").
    int unopenable(const char *name, const std::string &reason) const
    {
        if (!reason.empty()) std::fprintf(streams_.messages, "tolv: %s: %s\n", name, reason.c_str());
        std::fprintf(streams_.messages, "Couldn't open file %s\n", name);
        return 1;
    }

    // The numeric module's fatal report: the end of the process for the command.
    int numeric_error(const char *text) const
    {
        if (streams_.fatal_exits) tserror(text);
        write_numeric_error(streams_.messages, text);
        return 1;
    }

    // The table goes on being made when its reader has gone; the run finishes first.
    void table(const std::string &text)
    {
        if (std::fputs(text.c_str(), table_) == EOF && !table_error_) table_error_ = errno ? errno : EIO;
    }

    // The rows an interrupted run recorded for an extension it finished, for the
    // report: the journal keeps them as the table's text.
    void report_rows(const std::string &text) const
    {
        if (!streams_.report) return;
        for (size_t at = 0; at < text.size();) {
            const size_t end = std::min(text.find('\n', at), text.size());
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            FitRow row;
            const char *p = line.c_str();
            char *next = nullptr;
            row.extn = int(std::strtol(p, &next, 10));
            row.iter = int(std::strtol(next, &next, 10));
            row.sigma = std::strtof(next, &next);
            row.npix = int(std::strtol(next, &next, 10));
            row.a.push_back(0.0);
            for (char *after = next;; next = after) {
                const double a = std::strtod(next, &after);
                if (after == next) break;
                row.a.push_back(a);
            }
            streams_.report->rows.push_back(row);
        }
    }

    // Unit u of the science file as the journal records it; `data_bytes` is what
    // a correction changes of its data.
    JournalUnit journal_unit(int u, int64_t data_bytes) const
    {
        const HeaderBlocks h = header_blocks(in_.science, u);
        return {u, mosaic_offset(in_.science, h.bytes), h.length, data_bytes, digest_of(h.bytes, size_t(h.length))};
    }

    // Empties the table's file (--table, a regular file) for the rows, once no
    // refusal can come.
    void empty_table_file()
    {
        struct stat table_file;
        if (!o_.table.empty() && fstat(fileno(table_), &table_file) == 0 && S_ISREG(table_file.st_mode) &&
            ftruncate(fileno(table_), 0) != 0 && !table_error_)
            table_error_ = errno;
    }

    // Opens the science file, read-write when `writable`, and takes its lock
    // (exclusive when writable); null, with *status, when it cannot.
    MosaicFile *open_science(bool writable, int *status) const
    {
        std::string reason;
        MosaicFile *f = mosaic_file_open(science_name_, writable, &reason);
        if (!f) {
            *status = unopenable(science_name_, reason);
            return nullptr;
        }
        if (!mosaic_file_lock(f, writable)) {
            mosaic_file_close(f);
            if (streams_.report) streams_.report->locked = true;
            *status = refuse("tolv: " + std::string(science_name_) +
                             ": another tolv is correcting this file; nothing was done");
            return nullptr;
        }
        return f;
    }

    // Opens, locks and maps every input, and puts back what an interrupted run left
    // half written; a status when the run cannot go on.
    int open_inputs()
    {
        std::string reason, error;
        int status = 0;
        MosaicFile *science_file = open_science(in_place_, &status);
        if (!science_file) return status;
        identity_.size = uint64_t(_filesize(science_file->fd));
        if (in_place_) {
            // An interrupted run's half-written extension is put back before anything is read.
            if (!journal_.recover(science_file->fd, &error)) {
                mosaic_file_close(science_file);
                return refuse("tolv: " + std::string(science_name_) + ": " + error);
            }
        } else if (journal_.left_by_a_run(science_file->fd)) {
            mosaic_file_close(science_file);
            return refuse("tolv: " + std::string(science_name_) + ": an interrupted run left its journal " +
                          journal_.path() + "; run that command again to finish it first");
        }
        in_.science = mosaic_map(science_file, MAX_UNITS, &reason);
        if (!in_.science) return unopenable(science_name_, reason);
        faults_watch(in_.science, science_name_, in_place_ ? RERUN_HINT : "");
        std::vector<const char *> others = in_.fringe_names;
        if (in_.mask_name) others.push_back(in_.mask_name);
        for (const char *name : others) {
            MosaicFile *f = mosaic_file_open(name, false, &reason);
            if (!f) return unopenable(name, reason);
            if (same_file(f, science_file)) {
                mosaic_file_close(f);
                return refuse("tolv: " + std::string(name) + ": the same file as the science file " + science_name_ +
                              "; nothing was done");
            }
            if (!identity_.names.empty()) identity_.names += ' ';
            identity_.names += name;
            const Mosaic m = mosaic_map(f, MAX_UNITS, &reason);
            if (!m) return unopenable(name, reason);
            // Read through the mapping only; an in-place run reads it once more
            // through the descriptor for the journal (inputs_key), which adds
            // none of its pages to the process.
            if (!in_place_) {
                close(m->file->fd);
                m->file->fd = -1;
            }
            faults_watch(m, name, "");
            if (name == in_.mask_name) in_.mask = m;
            else in_.fringes.push_back(m);
        }
        constexpr char FPACKED[] = "tile-compressed (fpack): uncompress it first (funpack)";
        if (tile_compressed_unit(in_.science)) return unopenable(science_name_, FPACKED);
        for (int k = 0; k < in_.others(); k++)
            if (tile_compressed_unit(in_.other(k))) return unopenable(in_.other_name(k), FPACKED);
        if (journal_.found() && !journal_.same_inputs(inputs_key()))
            return refuse("tolv: " + std::string(science_name_) + ": an interrupted run with other fringe files (" +
                          journal_.their_names() + ") or settings left its journal " + journal_.path() +
                          "; run that command again to finish it");
        return 0;
    }

    // What the results depend on besides the science file, for the journal: the
    // contents of the fringe frames and the mask (the same bytes under a new
    // inode, after rsync or cp then mv, are the same inputs) and the settings.
    // Made once, when first asked: an ordinary run asks while the first
    // extensions are being fitted.
    const std::string &inputs_key()
    {
        if (!key_.empty()) return key_;
        for (int k = 0; k < in_.others(); k++) {
            MosaicFile *f = in_.other(k)->file;
            uint64_t digest = 0;
            // The file was read whole into its mapping already: a read that fails
            // now leaves a digest no journal has.
            if (f->fd < 0 || !digest_file_range(f->fd, 0, f->size, &digest)) digest = ~uint64_t(0);
            if (f->fd >= 0) close(f->fd);
            f->fd = -1;
            char text[40];
            std::snprintf(text, sizeof text, "%016llx:%lld ", static_cast<unsigned long long>(digest),
                          static_cast<long long>(f->size));
            key_ += text;
        }
        key_ += "iterations=" + std::to_string(o_.fit.iterations) + " clip=" + std::to_string(o_.fit.clip) +
                " extname=" + o_.extname + " record=" + (o_.record ? "1" : "0") + " force=" + (o_.force ? "1" : "0");
        return key_;
    }

    // Everything that can be known before the first write; a status when refused.
    int check(std::vector<PlannedUnit> *plan, std::vector<char> *dead)
    {
        std::string problem = inputs_problem(in_);
        if (problem.empty()) problem = tail_problem(science_name_, in_.science, MAX_UNITS);
        const std::string no_image = problem.empty() && o_.extname.empty() ? no_image_note(in_.science) : "";
        if (!no_image.empty()) note(no_image);
        if (problem.empty()) *plan = plan_extensions(in_, o_.extname, &problem);
        if (problem.empty()) problem = plan_problem(in_, *plan);
        if (!problem.empty()) return refuse(problem);
        problem = unsolvable_fit(in_, *plan, dead);
        if (!problem.empty()) {
            refuse(problem);
            return numeric_error(SINGULAR_MESSAGE);
        }
        // Extensions whose header records an earlier correction are skipped.
        already_.assign(plan->size(), std::string());
        for (size_t i = 0; i < plan->size() && !o_.force; i++)
            if (!(*dead)[i]) {
                already_[i] = corrected_at(in_.science->head[(*plan)[i].science]);
                mosaic_release_unit(in_.science, (*plan)[i].science);
            }
        if (o_.record && !o_.dry_run && in_.fringes.size() > size_t(RECORD_MAX_FRINGES))
            note("a record names at most " + std::to_string(RECORD_MAX_FRINGES) +
                 " fringe frames: no record is written");
        if (has_unindexed_tail(in_.science))
            note("only units 0 to " + std::to_string(in_.science->count - 1) + " are corrected; the " +
                 std::to_string(in_.science->file->size - in_.science->file->units_end) +
                 " bytes after them are left as they are");
        if (journal_.restored() || !journal_.done().empty()) {
            int last_done = 0;
            for (const auto &[e, rows] : journal_.done()) last_done = e > last_done ? e : last_done;
            note("finishing an interrupted run: " +
                 (journal_.restored() ? extension_range(journal_.restored(), journal_.restored()) : "no extension") +
                 " put back as it was, " + (journal_.done().empty() ? "none" : extension_range(1, last_done)) +
                 " already corrected");
        }
        return 0;
    }

    // The inputs of one extension's fit; `mask` is the worker's buffer for the mask.
    // The inputs of the next extensions are asked for meanwhile.
    ExtensionData job_data(const PlannedUnit &p, const FitGeometry &g, std::vector<unsigned char> &mask) const
    {
        mosaic_prefetch(in_.science, in_.science->data[p.science], int64_t(g.npix) * 4);
        for (size_t k = 0; k < in_.fringes.size(); k++)
            mosaic_prefetch(in_.fringes[k], in_.fringes[k]->data[p.units[k]], int64_t(g.npix) * 4);
        ExtensionData x;
        x.extn = p.science;
        x.science = in_.science->data[p.science];
        for (size_t k = 0; k < in_.fringes.size(); k++) x.fringes.push_back(in_.fringes[k]->data[p.units[k]]);
        if (in_.mask) {
            read_mask(mask.data(), in_.mask, p.units.back(), g.npix);
            x.mask = mask.data();
        }
        return x;
    }

    // Drops the pages of an extension's inputs from memory once its fit has read
    // them (the files keep the bytes): its fringe and mask units, and its science
    // unit when nothing is written into it.
    void release_inputs(const PlannedUnit &p, const FitGeometry &g, bool science_too) const
    {
        for (size_t k = 0; k < in_.fringes.size(); k++)
            mosaic_release(in_.fringes[k], in_.fringes[k]->data[p.units[k]], int64_t(g.npix) * 4);
        if (in_.mask)
            mosaic_release(in_.mask, in_.mask->data[p.units.back()], in_.mask->head[p.units.back()]->basic->databytes);
        if (science_too) mosaic_release(in_.science, in_.science->data[p.science], int64_t(g.npix) * 4);
    }

    // True when no planned extension is left to correct and some were corrected before.
    bool nothing_to_correct(const std::vector<char> &dead) const
    {
        bool some = false;
        for (size_t i = 0; i < dead.size(); i++) {
            if (!dead[i] && already_[i].empty()) return false;
            some = some || !already_[i].empty();
        }
        return some;
    }

    bool records() const { return o_.record && in_.fringes.size() <= size_t(RECORD_MAX_FRINGES); }

    // The new bytes of extension e's header in `target`: with the record of its
    // correction, or as it is when the record has no room but checksums must be
    // recomputed; empty when the header stays as it is.
    std::string new_header(Mosaic target, int e, const FitRow &last) const
    {
        if (!o_.record) return {};
        const HeaderBlocks h = header_blocks(target, e);
        std::string bytes;
        if (records()) {
            FitRecord r{run_time_, {}, o_.fit, last};
            for (const char *name : in_.fringe_names) r.fringe_files.push_back(name);
            bytes = header_with_record(h, r);
            if (bytes.empty())
                note("extension " + std::to_string(e) + ": no room in the header for the record; -o writes one");
        }
        if (bytes.empty() && has_checksums(h)) bytes.assign(reinterpret_cast<const char *>(h.bytes), size_t(h.length));
        return bytes;
    }

    // A file to be written (-o, --table) that is one of the inputs: refused.
    bool names_an_input(const std::string &path) const
    {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) return false;
        std::vector<std::pair<Mosaic, const char *>> inputs = {{in_.science, science_name_}};
        for (size_t k = 0; k < in_.fringes.size(); k++) inputs.push_back({in_.fringes[k], in_.fringe_names[k]});
        if (in_.mask) inputs.push_back({in_.mask, in_.mask_name});
        for (const auto &[m, name] : inputs)
            if (m->file->dev == st.st_dev && m->file->ino == st.st_ino) {
                refuse("tolv: " + path + ": the same file as the input " + name + "; nothing was done");
                return true;
            }
        return false;
    }

    // The copy that -o corrects, mapped as the science file is; the header of each
    // extension to correct grows by whole blocks where its record needs them.
    bool open_output(OutputFile &output, const std::vector<PlannedUnit> &plan, const std::vector<char> &dead)
    {
        const Mosaic m = in_.science;
        std::vector<int> growing; // units, in file order
        for (size_t i = 0; i < plan.size() && records(); i++)
            if (!dead[i] && already_[i].empty()) growing.push_back(plan[i].science);
        std::sort(growing.begin(), growing.end());
        std::vector<CopyPiece> pieces;
        int64_t copied_to = 0;
        for (const int e : growing) {
            const HeaderBlocks h = header_blocks(m, e);
            const int blocks = record_blocks_missing(h, int(in_.fringes.size()));
            if (blocks == 0) continue;
            const int64_t at = mosaic_offset(m, h.bytes);
            pieces.push_back({copied_to, at - copied_to, {}});
            pieces.push_back({0, 0, grown_header(h, blocks)});
            copied_to = at + h.length;
        }
        pieces.push_back({copied_to, m->file->size - copied_to, {}});
        std::string error, reason;
        if (!output.create_copy(m->file->fd, pieces, &error)) {
            refuse("tolv: " + o_.output + ": " + error);
            return false;
        }
        // The copy is mapped through its own descriptor: no name is looked up again.
        const int fd = fcntl(output.descriptor(), F_DUPFD_CLOEXEC, 0);
        MosaicFile *f = fd >= 0 ? mosaic_file_adopt(fd, true, &reason) : nullptr;
        if (fd < 0) reason = std::strerror(errno);
        output_ = f ? mosaic_map(f, MAX_UNITS, &reason) : nullptr;
        if (!output_ || output_->count != in_.science->count) {
            unopenable(o_.output.c_str(), reason);
            return false;
        }
        faults_watch(output_, o_.output.c_str(), "");
        return true;
    }

    // A sparse science file gets its disk blocks now, so that a full disk is found
    // before anything changes rather than as a fault in the middle of a write.
    int claim_disk(const std::vector<PlannedUnit> &plan, const FitGeometry &g)
    {
        const int64_t first = mosaic_offset(in_.science, header_blocks(in_.science, plan.front().science).bytes);
        const int64_t last = mosaic_offset(in_.science, in_.science->data[plan.back().science]) + int64_t(g.npix) * 4;
        const int refused = posix_fallocate(in_.science->file->fd, off_t(first), off_t(last - first));
        if (refused == ENOSPC || refused == EDQUOT)
            return refuse("tolv: " + std::string(science_name_) +
                          ": no room on the disk for the corrected pixels of this sparse file: " +
                          std::strerror(refused) + "; nothing was done");
        return 0;
    }

    const Options &o_;
    const CommandStreams streams_;
    const char *science_name_;
    bool in_place_, notes_, progress_;
    Journal journal_;
    JournalIdentity identity_;
    std::string key_; // inputs_key()
    Inputs in_{};
    Mosaic output_ = nullptr;
    const std::string run_time_ = record_time(); // FRGCORR of every extension this run corrects
    std::vector<std::string> already_;           // per planned extension: when an earlier run corrected it
    std::FILE *table_;
    int table_error_ = 0;
};

} // namespace

int run_command(const Options &o, const CommandStreams &streams) { return Run(o, streams).run(); }

// tolv: removes fringe patterns from every image extension of a mosaic, in place.
// Arguments, opening and locking, recovery of an interrupted run, the checks made
// before the first write, the fit, and each extension's journalled write-back.
#include "faults.h"
#include "fringefit.h"
#include "journal.h"
#include "layout.h"
#include "lufit.h"
#include "mosaic.h"
#include "tsutil.h"
#include "writeback.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The tool keeps its mappings and arrays until the process ends, by design, and a
// fatal numeric error exits from deep inside the fit; leak reports on exit say
// nothing here (the library's own tests run with the leak checker).  Asked at the
// check itself, so that no ASAN_OPTIONS=detect_leaks=1 inherited from a test run
// turns the report back on.
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

namespace {

constexpr int MAX_UNITS = 73;
constexpr char RERUN_HINT[] = "; run the same command again to recover";

int refuse(const std::string &line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    return 1;
}

// "Couldn't open file", after the line that says why (when it is known here; a
// failed mapping has said so after "mmap:").
int unopenable(const char *name, const std::string &reason)
{
    if (!reason.empty()) std::fprintf(stderr, "tolv: %s: %s\n", name, reason.c_str());
    std::fprintf(stderr, "Couldn't open file %s\n", name);
    return 1;
}

// Says so when the walk over the science file stopped before its end: those bytes
// (units past the limit, or bytes that begin no unit) are left as they are.
void report_unindexed_tail(const char *name, Mosaic m)
{
    if (has_unindexed_tail(m))
        std::fprintf(stderr, "tolv: %s: only units 0 to %d are corrected; the %lld bytes after them are left as they are\n",
                     name, m->count - 1, static_cast<long long>(m->file->size - m->file->units_end));
}

std::string path_of(const char *name)
{
    char path[1024], extn[1024], tail[1024];
    int indx;
    path[0] = '\0';
    ft_parsefilename(name, path, extn, &indx, tail, sizeof path);
    return path;
}

#ifdef TOLV_FAULT_INJECTION
// Test builds only: TOLV_INJECT="POINT:E:ACTION" ends the process with SIGKILL
// (ACTION kill) or stops it with SIGSTOP (ACTION stop) when extension E reaches
// POINT of its write-back: saved, half (half of its pixels stored), stored,
// synced, done; or end (E 0: before the journal is removed).
void inject(const char *point, int e)
{
    const char *spec = std::getenv("TOLV_INJECT");
    char want[32], action[8];
    int at = -1;
    if (!spec || std::sscanf(spec, "%31[^:]:%d:%7s", want, &at, action) != 3) return;
    if (std::strcmp(want, point) != 0 || at != e) return;
    std::fflush(stdout);
    raise(std::strcmp(action, "stop") == 0 ? SIGSTOP : SIGKILL);
}
void (*const checkpoint)(const char *, int) = inject;
#else
inline void inject(const char *, int) {}
void (*const checkpoint)(const char *, int) = nullptr;
#endif

std::string extension_range(int first, int last)
{
    if (first > last) return "no extension";
    if (first == last) return "extension " + std::to_string(first);
    return "extensions " + std::to_string(first) + " to " + std::to_string(last);
}

// One whole run on the command line's files; returns the exit status.
int run(const char *science_name, const std::vector<const char *> &fringe_names)
{
    std::string reason;
    MosaicFile *science_file = mosaic_file_open(science_name, true, &reason);
    if (!science_file) return unopenable(science_name, reason);
    if (!mosaic_file_lock(science_file)) {
        mosaic_file_close(science_file);
        return refuse(std::string("tolv: ") + science_name +
                      ": another tolv is correcting this file; nothing was done");
    }
    JournalIdentity id;
    id.dev = uint64_t(science_file->dev);
    id.ino = uint64_t(science_file->ino);
    id.size = uint64_t(_filesize(science_file->fd));

    // An interrupted run's half-written extension is put back before anything is read.
    Journal journal(path_of(science_name).c_str());
    std::string error;
    if (!journal.recover(science_file->fd, id, &error)) {
        mosaic_file_close(science_file);
        return refuse(std::string("tolv: ") + science_name + ": " + error);
    }

    const Mosaic science = mosaic_map(science_file, MAX_UNITS, &reason);
    if (!science) return unopenable(science_name, reason);
    faults_watch(science, science_name, RERUN_HINT);
    std::vector<Mosaic> fringes;
    for (const char *name : fringe_names) {
        MosaicFile *f = mosaic_file_open(name, false, &reason);
        if (!f) return unopenable(name, reason);
        if (f->dev == science_file->dev && f->ino == science_file->ino) {
            mosaic_file_close(f);
            return refuse(std::string("tolv: ") + name + ": the same file as the science file " + science_name +
                          "; nothing was done");
        }
        id.key += std::to_string(uint64_t(f->dev)) + ":" + std::to_string(uint64_t(f->ino)) + ":" +
                  std::to_string(_filesize(f->fd)) + " ";
        id.names += (id.names.empty() ? "" : " ") + std::string(name);
        const Mosaic m = mosaic_map(f, MAX_UNITS, &reason);
        if (!m) return unopenable(name, reason);
        close(m->file->fd); // read through the mapping only
        m->file->fd = -1;
        faults_watch(m, name, "");
        fringes.push_back(m);
    }
    for (size_t k = 0; k <= fringes.size(); k++) {
        const Mosaic m = k == 0 ? science : fringes[k - 1];
        if (tile_compressed_unit(m))
            return unopenable(k == 0 ? science_name : fringe_names[k - 1],
                              "tile-compressed (fpack): uncompress it first (funpack)");
    }
    if (journal.found() && !journal.same_inputs(id))
        return refuse(std::string("tolv: ") + science_name + ": an interrupted run with other fringe files (" +
                      journal.their_names() + ") left its journal " + journal.path() +
                      "; run that command again to finish it");

    // Everything that can be known before the first write is checked first.
    std::string problem = tail_problem(science_name, science, MAX_UNITS);
    if (problem.empty()) problem = layout_problem(science_name, science, fringe_names, fringes);
    if (!problem.empty()) return refuse(problem);
    std::vector<char> dead;
    problem = unsolvable_fit(science_name, science, fringe_names, fringes, &dead);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        tserror(SINGULAR_MESSAGE);
    }
    report_unindexed_tail(science_name, science);
    if (journal.restored() || !journal.done().empty()) {
        int last_done = 0;
        for (const auto &[e, rows] : journal.done()) last_done = e > last_done ? e : last_done;
        std::fprintf(stderr, "tolv: %s: finishing an interrupted run: %s put back as it was, %s already corrected\n",
                     science_name, journal.restored() ? extension_range(journal.restored(), journal.restored()).c_str()
                                                      : "no extension",
                     journal.done().empty() ? "none" : (extension_range(1, last_done)).c_str());
    }

    const FitGeometry g = fit_geometry(science, int(fringes.size()));
    std::unique_ptr<ExtensionFitter> fitter;
    if (science->count > 1) {
        fitter = std::make_unique<ExtensionFitter>(g);
        // A sparse file gets its disk blocks now, so that a full disk is found
        // before anything changes rather than as a fault in the middle of a write.
        const int64_t first = mosaic_offset(science, science->data[1]);
        const int64_t last = mosaic_offset(science, science->data[science->count - 1]) + int64_t(g.npix) * 4;
        const int refused = posix_fallocate(science_file->fd, off_t(first), off_t(last - first));
        if (refused == ENOSPC || refused == EDQUOT)
            return refuse(std::string("tolv: ") + science_name +
                          ": no room on the disk for the corrected pixels of this sparse file: " +
                          std::strerror(refused) + "; nothing was done");
        if (!journal.start(id, int64_t(g.npix) * 4, &error))
            return refuse(std::string("tolv: ") + science_name + ": " + error + "; nothing was done");
    }
    // The table goes on being made when its reader has gone; the run finishes first.
    int table_error = 0;
    auto table = [&table_error](const std::string &text) {
        if (std::fputs(text.c_str(), stdout) == EOF && !table_error) table_error = errno ? errno : EIO;
    };
    WriteBack writer(science, science_name, journal, checkpoint);
    print_fit_head(stdout, g.nfringe);
    if (std::ferror(stdout)) table_error = errno ? errno : EIO;
    for (int e = 1; e < science->count; e++) {
        if (dead[size_t(e)]) {
            std::fprintf(stderr, "tolv: %s: extension %d: no pixel has a finite value (a dead CCD?); left as it is\n",
                         science_name, e);
            continue;
        }
        if (journal.done().count(e)) {
            table(journal.done().at(e));
            continue;
        }
        std::string rows;
        const FitOutcome outcome = fitter->fit(extension_data(science, fringes.data(), int(fringes.size()), e), rows);
        table(rows);
        if (outcome == FitOutcome::singular) {
            // Every extension before this one is written and synced: the run ends
            // cleanly here, as a run without a journal would.
            std::fflush(stdout);
            if (!writer.settle(&error)) return refuse(error);
            if (!journal.finish(&error)) std::fprintf(stderr, "tolv: %s: %s\n", science_name, error.c_str());
            std::fprintf(stderr, "tolv: %s: extension %d: after clipping, a fringe frame or a gradient is zero at "
                                 "every pixel used; the fit cannot be solved\n",
                         science_name, e);
            tserror(SINGULAR_MESSAGE);
        }
        if (!writer.write(e, fitter->corrected(), g.npix, rows, &error)) return refuse(error);
    }
    if (!writer.settle(&error)) return refuse(error);
    inject("end", 0);
    // The table is flushed, and the fit's arrays released, while the journal still
    // records every extension as done: a run killed now is finished by the next
    // one without writing anything.
    fitter.reset();
    if (std::fflush(stdout) != 0 && !table_error) table_error = errno ? errno : EIO;
    if (std::ferror(stdout) && !table_error) table_error = EIO;
    if (fsync(science_file->fd) != 0)
        return refuse(std::string("tolv: ") + science_name + ": writing the corrected pixels back failed: " +
                      std::strerror(errno) + RERUN_HINT);
    // Removing the journal completes the run; nothing of note happens after it.
    if (!journal.finish(&error)) return refuse(std::string("tolv: ") + science_name + ": " + error);
    if (table_error)
        return refuse(std::string("tolv: the table could not be written (") + std::strerror(table_error) + "); " +
                      science_name + " is corrected");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: tolv file fringefile1 ... fringefilen\n");
        return 1;
    }
    faults_install();
    // A refused allocation ends the run here, with the numeric module's report,
    // rather than as an exception: with memory that short, even the exception
    // might not be made.  A run that ends so is finished by the next one.
    std::set_new_handler([] { tserror("allocation failure: not enough memory"); });
    return run(argv[1], std::vector<const char *>(argv + 2, argv + argc));
}

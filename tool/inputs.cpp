// Opening the inputs: the science file first (its lock, then the journal's
// recovery, then the mapping), then each fringe frame and the mask, read through
// their mappings only.
#include "inputs.h"

#include "digest.h"
#include "faults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool same_file(const MosaicFile *a, const MosaicFile *b) { return a->dev == b->dev && a->ino == b->ino; }

} // namespace

InputFiles::InputFiles(const Options &o, const Messages &messages, RunReport *report)
    : o_(o), messages_(messages), report_(report)
{
    in_.science_name = o.files[0];
    in_.fringe_names.assign(o.files.begin() + 1, o.files.end());
    in_.mask_name = o.mask.empty() ? nullptr : o.mask.c_str();
    in_.science_split = mosaic_name(in_.science_name);
    for (const char *name : in_.fringe_names) in_.other_split.push_back(mosaic_name(name));
    if (in_.mask_name) in_.other_split.push_back(mosaic_name(in_.mask_name));
}

MosaicFile *InputFiles::open_science(bool writable, int *status) const
{
    std::string reason;
    MosaicFile *f = mosaic_file_open_name(in_.science_split, writable, &reason);
    if (!f) {
        *status = messages_.unopenable(in_.science_name, reason);
        return nullptr;
    }
    if (!mosaic_file_lock(f, writable)) {
        mosaic_file_close(f);
        if (report_) report_->locked = true;
        *status = messages_.refuse_science(LOCKED_TEXT);
        return nullptr;
    }
    return f;
}

int InputFiles::open(bool in_place, Journal &journal)
{
    std::string reason, error;
    int status = 0;
    MosaicFile *science_file = open_science(in_place, &status);
    if (!science_file) return status;
    science_size_ = uint64_t(_filesize(science_file->fd));
    if (in_place) {
        // An interrupted run's half-written extension is put back before anything is read.
        if (!journal.recover(science_file->fd, &error)) {
            mosaic_file_close(science_file);
            return messages_.refuse_science(error);
        }
    } else if (journal.left_by_a_run(science_file->fd)) {
        mosaic_file_close(science_file);
        return messages_.refuse_science("an interrupted run left its journal " + journal.path() +
                                        "; run that command again to finish it first");
    }
    in_.science = mosaic_map(science_file, MAX_UNITS, &reason);
    if (!in_.science) return messages_.unopenable(in_.science_name, reason);
    faults_watch(in_.science, in_.science_name, in_place ? RERUN_TO_RECOVER : "");
    if (const int refused = open_others(in_place, science_file)) return refused;
    if (journal.found() && !journal.same_inputs(key()))
        return messages_.refuse_science("an interrupted run with other fringe files (" + journal.their_names() +
                                        ") or settings left its journal " + journal.path() +
                                        "; run that command again to finish it");
    return 0;
}

int InputFiles::open_others(bool in_place, const MosaicFile *science_file)
{
    std::string reason;
    std::vector<const char *> others = in_.fringe_names;
    if (in_.mask_name) others.push_back(in_.mask_name);
    for (size_t k = 0; k < others.size(); k++) {
        const char *name = others[k];
        MosaicFile *f = mosaic_file_open_name(in_.other_split[k], false, &reason);
        if (!f) return messages_.unopenable(name, reason);
        if (same_file(f, science_file)) {
            mosaic_file_close(f);
            return messages_.refuse(file_line(name, "the same file as the science file " +
                                                        std::string(in_.science_name) + NOTHING_DONE));
        }
        // A fringe frame named twice would make the fit singular at best.
        for (size_t j = 0; j < in_.fringes.size(); j++)
            if (same_file(f, in_.fringes[j]->file)) {
                mosaic_file_close(f);
                return messages_.refuse(file_line(name, "the same file as the fringe frame " +
                                                            std::string(in_.fringe_names[j]) + NOTHING_DONE));
            }
        if (!names_.empty()) names_ += ' ';
        names_ += name;
        const Mosaic m = mosaic_map(f, MAX_UNITS, &reason);
        if (!m) return messages_.unopenable(name, reason);
        // Read through the mapping only; an in-place run reads it once more
        // through the descriptor for the journal (key()), which adds none of its
        // pages to the process.
        if (!in_place) {
            close(m->file->fd);
            m->file->fd = -1;
        }
        faults_watch(m, name, "");
        if (name == in_.mask_name) in_.mask = m;
        else in_.fringes.push_back(m);
    }
    return 0;
}

const std::string &InputFiles::key()
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
    // Unit selectors choose what is corrected: a run with others is another run.
    std::string selectors;
    for (size_t k = 0; k <= in_.other_split.size(); k++) {
        const MosaicName &split = k == 0 ? in_.science_split : in_.other_split[k - 1];
        if (split.extn.empty() && split.index < 0) continue;
        selectors.append(selectors.empty() ? " selectors=" : " ").append(std::to_string(k)).append("=[");
        selectors.append(split.extn).append(",").append(std::to_string(split.index)).append("]");
    }
    key_ += selectors;
    // One fit over the exposure gives other results than a fit per extension.
    if (o_.per_exposure) key_ += " per-exposure";
    return key_;
}

bool InputFiles::names_an_input(const std::string &path) const
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    std::vector<std::pair<Mosaic, const char *>> inputs = {{in_.science, in_.science_name}};
    for (size_t k = 0; k < in_.fringes.size(); k++) inputs.push_back({in_.fringes[k], in_.fringe_names[k]});
    if (in_.mask) inputs.push_back({in_.mask, in_.mask_name});
    for (const auto &[m, name] : inputs)
        if (m->file->dev == st.st_dev && m->file->ino == st.st_ino) {
            messages_.refuse(file_line(path, "the same file as the input " + std::string(name) + NOTHING_DONE));
            return true;
        }
    return false;
}

void InputFiles::release()
{
    std::vector<Mosaic *> all = {&in_.science, &in_.mask};
    for (Mosaic &m : in_.fringes) all.push_back(&m);
    for (Mosaic *m : all)
        if (*m) {
            faults_unwatch(*m);
            ft_freemosaic(*m);
            *m = nullptr;
        }
}

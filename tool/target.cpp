// The three targets.  In place, each extension's original bytes go to the journal
// before it changes and the journal is removed last; a copy is made whole in an
// unnamed file and put in place last; a dry run writes nothing.
#include "target.h"

#include "compressed_file.h"
#include "digest.h"
#include "exposure_fit.h"
#include "faults.h"
#include "fileio.h"
#include "output.h"
#include "record.h"
#include "table.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

// ---- What every target shares: the write of an extension and its record.

Target::Target(const Options &o, const Messages &messages, const Inputs &in) : o_(o), messages_(messages)
{
    for (size_t k = 0; k < in.fringe_names.size(); k++) record_names_.push_back(record_file_name(in.other_split[k].path));
}

const char *Target::nothing_to_do(InputFiles &, const Plan &plan)
{
    return plan.nothing_to_correct() ? "every extension is already corrected; --force corrects them again" : nullptr;
}

void Target::write_into(Mosaic m, Journal *journal, void (*checkpoint)(const char *, int))
{
    mosaic_ = m;
    writer_ = std::make_unique<WriteBack>(m, messages_.science_name(), journal, checkpoint);
}

bool Target::records() const { return o_.record && o_.files.size() - 1 <= size_t(RECORD_MAX_FRINGES); }

int Target::prepare(const Plan &plan, size_t j)
{
    std::string error;
    const int next = j + 1 < plan.jobs.size() ? plan.job(j + 1).e : 0;
    if (writer_ && j < plan.jobs.size() && !writer_->prepare(plan.job(j).e, next, plan.g.npix, &error))
        return messages_.refuse(error);
    return 0;
}

int Target::write(const Plan &plan, const PlannedExtension &x, const ExtensionFitter &fitter,
                  const std::string &rows)
{
    if (!writer_) return 0;
    std::string error;
    if (!writer_->write(x.e, fitter, plan.g.npix, new_header(plan, x.e, fitter.last()), rows, &error))
        return messages_.refuse(error);
    written_.push_back(x.e);
    return 0;
}

int Target::settle()
{
    std::string error;
    if (writer_ && !writer_->settle(&error)) return messages_.refuse(error);
    return 0;
}

std::string Target::new_header(const Plan &plan, int e, const FitRow &last) const
{
    if (!o_.record) return {};
    const HeaderBlocks h = header_blocks(mosaic_, e);
    std::string bytes;
    if (records()) {
        // The extensions of an exposure's fit: those this run fits and those the
        // run it finishes wrote.
        const int exposure = o_.per_exposure ? int(plan.jobs.size()) + plan.finished : 0;
        const FitRecord r{run_time_, record_names_, o_.fit, last, exposure};
        bytes = header_with_record(h, r);
        if (bytes.empty())
            messages_.note("extension " + std::to_string(e) + ": no room in the header for the record; -o writes one");
    }
    if (bytes.empty() && has_checksums(h)) bytes.assign(reinterpret_cast<const char *>(h.bytes), size_t(h.length));
    return bytes;
}

namespace {

// ---- In place: the science file, its journal and its lock.
class InPlace : public Target {
  public:
    InPlace(const Options &o, const Messages &messages, const Inputs &in, Journal &journal,
            void (*checkpoint)(const char *, int))
        : Target(o, messages, in), journal_(journal), checkpoint_(checkpoint)
    {
    }

    const char *nothing_to_do(InputFiles &inputs, const Plan &plan) override
    {
        if (journal_.found()) return nullptr;
        if (completed_just_before(inputs, plan))
            return "this command completed on this file just before it was interrupted: every extension is "
                   "corrected; nothing was done";
        return Target::nothing_to_do(inputs, plan);
    }

    // A compressed file is corrected in its plain form in memory and then
    // rewritten whole; a plain one through the journal, extension by extension.
    int open(const InputFiles &inputs, const Plan &) override
    {
        inputs_ = &inputs;
        compressed_ = inputs.in().science->file->coding != nullptr;
        write_into(inputs.in().science, compressed_ ? nullptr : &journal_, checkpoint_);
        return 0;
    }

    int begin(InputFiles &inputs, const Plan &plan) override
    {
        if (plan.jobs.empty()) return 0;
        if (compressed_) return rewrite_place(inputs);
        if (const int status = claim_disk(inputs.in().science, plan)) return status;
        // A slot of the journal holds an extension's header and pixels; it has a
        // record for each extension to write, whose rows are at most the
        // iterations' longest.
        JournalIdentity identity;
        identity.size = inputs.science_size();
        identity.names = inputs.names();
        int64_t capacity = 0;
        identity.units = {journal_unit(inputs.in().science, 0, 0)};
        for (const PlannedExtension &x : plan.extensions) {
            identity.units.push_back(journal_unit(inputs.in().science, x.e, int64_t(plan.g.npix) * 4));
            capacity = std::max(capacity, identity.units.back().header_bytes + int64_t(plan.g.npix) * 4);
        }
        identity.key = inputs.key();
        std::string error;
        // An exposure's fit adds the amplitudes' steps to each record.
        const int64_t record_bytes =
            o_.fit.iterations * fit_row_bound(plan.g.npar) +
            (o_.per_exposure ? shared_line_bound(size_t(o_.fit.iterations) * size_t(plan.g.nfringe)) : 0);
        if (!journal_.start(identity, capacity, int(plan.jobs.size()), record_bytes, &error))
            return messages_.refuse_science(error + NOTHING_DONE);
        return 0;
    }

    int commit(InputFiles &inputs) override
    {
        if (compressed_) {
            if (const int refused = rewrite(inputs)) return refused;
            inputs.release();
            faults_progress(RunStep::complete);
            return 0;
        }
        if (const int failed = sync_file(inputs.in().science->file->fd))
            return messages_.refuse_science(std::string("writing the corrected pixels back failed: ") +
                                            std::strerror(failed) + RERUN_TO_RECOVER);
        // Removing the journal completes the run: the files are unmapped and
        // closed first (the journal keeps the lock), so that the process ends
        // at once after it.
        inputs.release();
        std::string error;
        const HeldSignals hold;
        if (!journal_.finish(&error, checkpoint_)) return messages_.refuse_science(error);
        faults_progress(RunStep::complete);
        return 0;
    }

    std::string end_early(const Plan &plan, size_t stop) override
    {
        if (compressed_) {
            if (!written_.empty() && rewrite(*inputs_) != 0) return "no extension is corrected";
            return plan.stopped_at(stop);
        }
        std::string error;
        if (!journal_.finish(&error)) messages_.refuse_science(error);
        return plan.stopped_at(stop);
    }

    const std::string &written_name() const override { return messages_.science_name(); }

  private:
    // Where the rewrite of a compressed file puts the new one: the file the name
    // leads to (a symbolic link stays a link to it, and the new file is made in
    // the file's own folder).  A file of several names (hard links) is refused:
    // a rename replaces one name, and the others would keep the old file.
    int rewrite_place(const InputFiles &inputs)
    {
        struct stat st;
        if (fstat(inputs.in().science->file->origin_fd, &st) != 0)
            return messages_.refuse_science(std::string("it cannot be read: ") + std::strerror(errno) + NOTHING_DONE);
        if (st.st_nlink > 1)
            return messages_.refuse_science(
                "the file has " + std::to_string(st.st_nlink) +
                " names (hard links); a compressed file corrected in place is rewritten under one of them and "
                "the others would keep the old file; -o writes a corrected copy" +
                NOTHING_DONE);
        const std::string &path = inputs.in().science_split.path;
        char *real = realpath(path.c_str(), nullptr);
        if (!real) return messages_.refuse_science(std::string("its folder cannot be found: ") + std::strerror(errno) +
                                                   NOTHING_DONE);
        rewrite_path_ = real;
        std::free(real);
        // The new file is made now, with the old one's size claimed on its disk
        // and its permissions (its owner too, where this process may give it:
        // root), so that a folder that takes no file or a disk without room is
        // found before the fit rather than after it.
        std::string error;
        new_file_ = std::make_unique<OutputFile>(rewrite_path_, true);
        if (!new_file_->create(st.st_size, &error)) {
            new_file_.reset();
            return messages_.refuse_science(error + NOTHING_DONE);
        }
        [[maybe_unused]] const int owned =
            geteuid() == 0 ? fchown(new_file_->descriptor(), st.st_uid, st.st_gid) : 0;
        fchmod(new_file_->descriptor(), st.st_mode & 07777);
        return 0;
    }

    // Puts the corrected file in the compressed one's place: encoded as it was
    // (the extensions not corrected copied as they are) into a new file beside
    // it, with its permissions, synced, and renamed over it, so that the name
    // holds the old file or the new one whatever stops the process.  The file
    // is replaced only while the name still holds the file that was locked.
    int rewrite(const InputFiles &inputs)
    {
        if (!new_file_)
            if (const int refused = rewrite_place(inputs)) return refused;
        const Mosaic m = inputs.in().science;
        const MosaicFile *f = m->file;
        const std::string &path = rewrite_path_;
        const std::string unchanged = "; the file is as it was";
        OutputFile &out = *new_file_;
        std::string error;
        const CompressedUnits original(f->origin_fd);
        if (!encode_file(m, *f->coding, out.descriptor(), coding_threads(m->count), &error, &original, written_))
            return messages_.refuse_science(error + unchanged);
        if (const int failed = sync_file(out.descriptor()))
            return messages_.refuse_science(std::string("writing the new file failed: ") + std::strerror(failed) +
                                            unchanged);
        if (checkpoint_) checkpoint_("encoded", 0);
        struct stat now;
        if (stat(path.c_str(), &now) != 0 || now.st_dev != f->dev || now.st_ino != f->ino)
            return messages_.refuse_science("the name no longer holds the file that was read; nothing was written");
        const HeldSignals hold;
        if (!out.commit(&error)) return messages_.refuse_science(error + unchanged);
        if (checkpoint_) checkpoint_("renamed", 0);
        return 0;
    }

    // True when the file's mark says that this same command completed on it just
    // before the process was stopped (after its journal was removed), and the
    // extensions it wrote are as it left them: running it again would correct
    // them twice.  A mark that says otherwise is cleared.
    bool completed_just_before(InputFiles &inputs, const Plan &plan)
    {
        if (!journal_.completed_mark()) return false;
        const std::vector<int> units = journal_.completed_by(inputs.key());
        if (units.empty()) return false;
        const Mosaic m = inputs.in().science;
        std::vector<uint64_t> digests;
        for (const int e : units) {
            if (!plan.has(e)) break;
            const HeaderBlocks h = header_blocks(m, e);
            digests.push_back(Journal::extension_digest(digest_of(h.bytes, size_t(h.length)),
                                                        digest_of(m->data[e], size_t(plan.g.npix) * 4)));
        }
        const bool same = digests.size() == units.size() && journal_.completed_digest_matches(digests);
        journal_.clear_mark();
        return same;
    }

    // A sparse science file gets its disk blocks now, so that a full disk is found
    // before anything changes rather than as a fault in the middle of a write.
    int claim_disk(Mosaic m, const Plan &plan) const
    {
        const int64_t first = mosaic_offset(m, header_blocks(m, plan.extensions.front().e).bytes);
        const int64_t last = mosaic_offset(m, m->data[plan.extensions.back().e]) + int64_t(plan.g.npix) * 4;
        if (const int refused = claim_space(m->file->fd, first, last - first))
            return messages_.refuse_science("no room on the disk for the corrected pixels of this sparse file: " +
                                            std::string(std::strerror(refused)) + NOTHING_DONE);
        return 0;
    }

    // Unit u of the science file as the journal records it; `data_bytes` is what
    // a correction changes of its data.
    static JournalUnit journal_unit(Mosaic m, int u, int64_t data_bytes)
    {
        const HeaderBlocks h = header_blocks(m, u);
        return {u, mosaic_offset(m, h.bytes), h.length, data_bytes, digest_of(h.bytes, size_t(h.length))};
    }

    Journal &journal_;
    void (*checkpoint_)(const char *, int);
    const InputFiles *inputs_ = nullptr;
    bool compressed_ = false;
    std::string rewrite_path_;
    std::unique_ptr<OutputFile> new_file_;
};

// ---- A copy (-o): a new file, whole or absent.
class Copy : public Target {
  public:
    Copy(const Options &o, const Messages &messages, const Inputs &in)
        : Target(o, messages, in), output_(o.output, o.overwrite) {}
    ~Copy() override
    {
        if (!mosaic_) return;
        faults_unwatch(mosaic_);
        ft_freemosaic(mosaic_);
    }

    int refuse_early() override
    {
        return output_.refused() ? messages_.refuse(file_line(o_.output, "the file exists; --overwrite replaces it"))
                                 : 0;
    }
    const char *nothing_to_do(InputFiles &, const Plan &) override { return nullptr; }
    int refuse_inputs(const InputFiles &inputs) override { return inputs.names_an_input(o_.output) ? 1 : 0; }

    // The copy, mapped as the science file is; the header of each extension to
    // correct grows by whole blocks where its record needs them.
    int open(const InputFiles &inputs, const Plan &plan) override
    {
        const Mosaic m = inputs.in().science;
        science_ = m->file;
        coding_ = output_coding(o_.output, m->file->coding ? *m->file->coding : FileCoding{}, m);
        std::string error, reason;
        int fd = -1;
        if (coding_.any()) {
            // A compressed copy is made plain in a scratch file, and encoded
            // into the new file when it is complete.
            fd = filled_scratch_file("tolv-copy", [&](int to) { return write_pieces(m->file->fd, pieces(m, plan), to); });
            if (fd < 0) {
                error = std::string("making the copy failed: ") + std::strerror(errno ? errno : EIO);
                return messages_.refuse(file_line(o_.output, error));
            }
        } else {
            if (!output_.create_copy(m->file->fd, pieces(m, plan), &error))
                return messages_.refuse(file_line(o_.output, error));
            // The copy is mapped through its own descriptor: no name is looked up again.
            fd = duplicate_descriptor(output_.descriptor());
        }
        MosaicFile *f = fd >= 0 ? mosaic_file_adopt(fd, true, &reason) : nullptr;
        if (fd < 0) reason = std::strerror(errno);
        const Mosaic copy = f ? mosaic_map(f, MAX_UNITS, &reason) : nullptr;
        if (!copy || copy->count != m->count) {
            if (copy) ft_freemosaic(copy);
            return messages_.unopenable(o_.output, reason);
        }
        faults_watch(copy, o_.output.c_str(), "");
        write_into(copy, nullptr, nullptr);
        return 0;
    }

    int commit(InputFiles &) override
    {
        // Synced first, so that an interruption waits only for the last step.
        std::string error;
        int failed = 0;
        if (coding_.any()) {
            const CompressedUnits original(science_->origin_fd);
            if (!output_.create(0, &error) || !encode_file(mosaic_, coding_, output_.descriptor(),
                                                           coding_threads(mosaic_->count), &error, &original, written_))
                return messages_.refuse(file_line(o_.output, error));
        } else {
            failed = sync_mapped_file(mosaic_->file->map, mosaic_->file->size, output_.descriptor());
        }
        if (failed) error = std::string("writing the corrected mosaic failed: ") + std::strerror(failed);
        const HeldSignals hold;
        if (failed || !output_.commit(&error)) return messages_.refuse(file_line(o_.output, error));
        faults_progress(RunStep::complete);
        return 0;
    }

    std::string end_early(const Plan &, size_t) override { return o_.output + " is not written"; }
    const std::string &written_name() const override { return o_.output; }

  private:
    // The copy as pieces of the science file m, with the grown headers between them.
    std::vector<CopyPiece> pieces(Mosaic m, const Plan &plan) const
    {
        std::vector<int> growing; // units, in file order
        for (const PlannedExtension &x : plan.extensions)
            if (records() && x.step == PlanStep::fit) growing.push_back(x.e);
        std::sort(growing.begin(), growing.end());
        std::vector<CopyPiece> list;
        int64_t copied_to = 0;
        for (const int e : growing) {
            const HeaderBlocks h = header_blocks(m, e);
            const int blocks = record_blocks_missing(h, int(o_.files.size()) - 1);
            if (blocks == 0) continue;
            const int64_t at = mosaic_offset(m, h.bytes);
            list.push_back({copied_to, at - copied_to, {}});
            list.push_back({0, 0, grown_header(h, blocks)});
            copied_to = at + h.length;
        }
        list.push_back({copied_to, m->file->size - copied_to, {}});
        return list;
    }

    OutputFile output_;
    FileCoding coding_;                    // how the new file is compressed
    const MosaicFile *science_ = nullptr;  // the file it copies
};

// ---- A dry run (-n): fitted and printed, nothing written.
class DryRun : public Target {
  public:
    DryRun(const Options &o, const Messages &messages, const Inputs &in) : Target(o, messages, in) {}
    std::string end_early(const Plan &, size_t) override { return "nothing was written"; }
    const std::string &written_name() const override { return messages_.science_name(); }
};

} // namespace

std::unique_ptr<Target> make_target(const Options &o, const Messages &messages, const Inputs &in, Journal &journal,
                                    void (*checkpoint)(const char *point, int e))
{
    if (!o.output.empty()) return std::make_unique<Copy>(o, messages, in);
    if (o.dry_run) return std::make_unique<DryRun>(o, messages, in);
    return std::make_unique<InPlace>(o, messages, in, journal, checkpoint);
}

// A rollback journal beside the science file, so that an interrupted run can be
// finished as if it had never stopped.  Before an extension's pixels change, their
// original bytes go to the journal and are synced; the new pixels are written and
// synced; then the extension is recorded as done, with its table rows, and synced.
// A rerun puts back the bytes of an extension that was being written and goes on
// with the extensions not yet done; the journal is removed when the run completes.
#ifndef TOLV_JOURNAL_H
#define TOLV_JOURNAL_H

#include <cstdint>
#include <map>
#include <string>

// What a journal belongs to: the science file (device, inode, size) and the inputs
// the results depend on (`key`); `names` says them in words for messages.
struct JournalIdentity {
    uint64_t dev = 0, ino = 0, size = 0;
    std::string key;
    std::string names;
};

class Journal {
  public:
    // The journal of the science file at `science_path` (beside its real path).
    explicit Journal(const char *science_path);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    const std::string &path() const { return path_; }

    // Reads the journal an interrupted run left, if any.  When it belongs to this
    // science file, the extension it was writing is put back from its saved bytes
    // through science_fd and synced.  False, with *error, when a journal exists
    // that cannot be used (another file's, unreadable) or the write-back failed.
    bool recover(int science_fd, const JournalIdentity &science, std::string *error);
    bool found() const { return fd_ >= 0; }
    // The inputs of the interrupted run, and whether they are this run's.
    const std::string &their_names() const { return names_; }
    bool same_inputs(const JournalIdentity &id) const { return key_ == id.key; }
    // The extension put back by recover(), 0 when none.
    int restored() const { return restored_; }
    // Extensions the interrupted run completed, with their table rows.
    const std::map<int, std::string> &done() const { return done_; }

    // Creates the journal with room for ranges of up to `capacity` bytes, synced
    // with its directory; a journal recover() found is continued (and refused if
    // its inputs are not these).  False, with *error, when it
    // cannot be written (the disk full): nothing has been changed then.
    bool start(const JournalIdentity &id, int64_t capacity, std::string *error);
    // Saves the bytes [offset, offset + length) of `file` (the science file's
    // mapping) as extension e's original, synced.
    bool save(int e, const unsigned char *file, int64_t offset, int64_t length, std::string *error);
    // Records extension e as written, with its rows, synced.
    bool mark_done(int e, const std::string &rows, std::string *error);
    // Removes the journal: the run is complete.
    bool finish(std::string *error);

  private:
    bool fail(std::string *error, const std::string &what);
    bool read_header(const JournalIdentity &science, std::string *error);
    void read_progress();
    bool restore_slot(int science_fd, std::string *error);

    std::string path_, dir_;
    int fd_ = -1;
    int64_t slot_at_ = 0, capacity_ = 0, progress_at_ = 0;
    uint64_t size_ = 0; // the science file's, for the ranges of saved bytes
    std::string key_, names_;
    std::map<int, std::string> done_;
    int restored_ = 0;
};

#endif

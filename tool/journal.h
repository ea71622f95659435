// A rollback journal beside the science file, so that an interrupted run can be
// finished as if it had never stopped.  Before an extension's pixels change, their
// original bytes go to the journal and are synced; the new pixels are written and
// synced; then the extension is recorded as done, with a digest of its new bytes
// and its table rows, and synced.  A rerun puts back the bytes of an extension
// that was being written and goes on with the extensions not yet done; the
// journal is removed when the run completes.
//
// A journal is trusted only when it proves that it belongs to the file's present
// bytes and to the user: it is owned by the user running tolv (or by root) and
// writable by no one else, it is whole (every part carries a digest seeded by the
// journal's own random number), the extensions it says are done hold the bytes
// it wrote, the others hold the headers it saw, and the slot's original is the
// extension it was taken from.  Anything else is refused with what was found.
//
// The science file carries a mark while a run is under way (an extended
// attribute naming the journal), so that a run through any other name of the
// file (a hard link, the file moved) finds the journal; once the journal is
// removed the mark says the run completed, so that the same command run again
// after a kill in the last moments does not correct the file twice.
#ifndef TOLV_JOURNAL_H
#define TOLV_JOURNAL_H

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A unit of the science file as the journal knows it: where its header starts,
// how long the header is and how many data bytes a correction changes, and the
// digest of the header when the journal was made.
struct JournalUnit {
    int unit = 0;
    int64_t offset = 0, header_bytes = 0, data_bytes = 0;
    uint64_t header_digest = 0;
};

// What a journal belongs to: the science file's size and units (the primary unit
// first, then every extension the run corrects), and the inputs the results
// depend on (`key`: the contents of the fringe frames and mask, the settings);
// `names` says the inputs in words for messages.
struct JournalIdentity {
    uint64_t size = 0;
    std::vector<JournalUnit> units;
    std::string key;
    std::string names;
};

// An extension recorded as done: the digest of its bytes as written, its rows.
struct JournalDone {
    uint64_t digest = 0;
    std::string rows;
};

class Journal {
  public:
    // The journal of the science file at the plain path `science_path` (beside
    // its real path, NAME.tolv-journal); `science_name` is the name as typed, for
    // the way out that messages give.
    explicit Journal(const std::string &science_path, std::string science_name);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    const std::string &path() const { return path_; }

    // Finds the journal an interrupted run left (beside the file, or where the
    // file's mark says), checks it as above and, when it is this file's, puts
    // back the extension it was writing through science_fd, synced.  Keeps a
    // descriptor of its own on the file (its lock with it) until finish().  True
    // when there is nothing to recover or recovery succeeded; false, with *error
    // (one line, a way out included), when a journal exists that cannot be used.
    bool recover(int science_fd, std::string *error);
    bool found() const { return fd_ >= 0; }
    // Whether an interrupted run left a journal for the open science file (beside
    // it, or named by its mark), without reading it: for runs that only read.
    bool left_by_a_run(int science_fd) const;
    // The inputs of the interrupted run, and whether they are this run's.
    const std::string &their_names() const { return names_; }
    bool same_inputs(const std::string &key) const { return key_ == key; }
    // The extension put back by recover(), 0 when none.
    int restored() const { return restored_; }
    // Extensions the interrupted run completed.
    const std::map<int, JournalDone> &done() const { return done_; }

    // When the file's mark says that a run with inputs `key` completed on it and
    // wrote extensions whose digests the mark sums: those extensions (empty when
    // the mark says otherwise).
    std::vector<int> completed_by(const std::string &key) const;
    bool completed_mark() const { return mark_.rfind("completed ", 0) == 0; }
    // Whether the digests of `extensions` (in the order completed_by gave them)
    // are those the completed run left.
    bool completed_digest_matches(const std::vector<uint64_t> &digests) const;

    // Creates the journal, whole before it appears under its name, synced with
    // its directory, with room for an extension's bytes up to `capacity` and for
    // `records` records of up to `record_bytes` rows each; then marks the file.
    // A journal recover() found is continued (and refused if its inputs are not
    // these).  False, with *error, when it cannot be written (the disk full):
    // nothing has been changed then.
    bool start(const JournalIdentity &id, int64_t capacity, int records, int64_t record_bytes, std::string *error);
    // The steps of writing an extension, none of which waits for the disk until
    // sync(): the original bytes are staged in a free slot, a head naming them is
    // written once they are on the disk (the extension may change once that head
    // is), and the extension is recorded as done once its new bytes are on the
    // disk.  Each step refuses what would break that order.
    //
    // Whether a slot is free for stage() now (after sync(), make_room() may free one).
    bool can_stage() const;
    // Stages the bytes [offset, offset + length) of `file` (the science file's
    // mapping) as extension e's original, in a free slot.
    bool stage(int e, const unsigned char *file, int64_t offset, int64_t length, std::string *error);
    // Whether e's original is staged (on the disk or on its way), and whether a
    // head on the disk names e's original as holding the range [offset, offset + length).
    bool holds(int e) const;
    bool on_disk(int e) const;
    bool armed(int e, int64_t offset, int64_t length) const;
    // Writes the head naming e's staged original, once that is on the disk.
    bool arm(int e, std::string *error);
    // Records extension e as written, with the digest of its bytes and its rows.
    bool record(int e, uint64_t digest, const std::string &rows, std::string *error);
    // When no slot is free: clears the head of one whose extension is recorded as
    // done, so that it is free after the next sync.
    bool make_room(std::string *error);
    // Waits until everything written is on the disk; then it counts.
    bool sync(std::string *error);
    // Removes the journal: the run is complete; the file's mark then says so.
    // `checkpoint`, when given (test builds), is called with "removed" between
    // the journal's removal and the mark's.
    bool finish(std::string *error, void (*checkpoint)(const char *point, int e) = nullptr);
    // Removes the journal without applying it and clears the file's mark (after
    // recover() refused it, for --drop-journal); only a file that is a tolv
    // journal is removed.  *what says what was removed.
    bool drop(int science_fd, std::string *what, std::string *error);
    // Clears a mark that completed_by() found, once it has been used.
    void clear_mark();

    // The digest of an extension's bytes as the journal records them: its header
    // (header_bytes) and the data bytes a correction changes.
    static uint64_t extension_digest(uint64_t header_digest, uint64_t data_digest);

  private:
    bool refuse(std::string *error, const std::string &what, const std::string &way_out) const;
    bool damaged(std::string *error, const std::string &what) const;
    std::string damaged_way_out() const;
    std::string replaced_way_out() const;
    std::string foreign_way_out() const;
    bool fail(std::string *error, const std::string &what) const;
    bool open_found(std::string *error);
    bool read_header(std::string *error);
    bool read_records(std::string *error);
    bool check_units(std::string *error);
    bool restore_slots(std::string *error);
    bool read_slots(std::string *error);
    void read_mark();
    bool set_mark(const std::string &value, std::string *error);
    bool write_whole(const std::string &header, std::string *error);
    std::string header_bytes() const;
    // The places of the journal's parts past its header, from its length.
    void place(int64_t header_length);
    int64_t slot_span() const;
    int64_t slot_at(size_t k) const { return slot_at_ + int64_t(k) * slot_span(); }
    // Whether slot k may take an extension's original bytes now.
    bool free_slot(size_t k) const;
    // The slot holding (or taking) e's original; slots_.size() when none.
    size_t slot_of(int e) const;
    int64_t record_at(int i) const { return records_at_ + int64_t(i) * record_bytes_; }
    int64_t records_end() const { return record_at(records_); }
    bool mark_running(bool created, std::string *error);

    std::string path_, dir_, name_;
    int fd_ = -1;       // the journal
    int science_ = -1;  // the science file, a descriptor of the journal's own
    uint64_t nonce_ = 0, size_ = 0;
    int64_t slot_at_ = 0, capacity_ = 0, records_at_ = 0, record_bytes_ = 0;
    int records_ = 0, next_record_ = 0;
    std::vector<JournalUnit> units_;
    std::string key_, names_;
    std::map<int, JournalDone> done_;
    // A slot of original bytes: whose bytes it holds (or is taking) and whether
    // they are on the disk; the extension its head names (0: none) and whether
    // that head is on the disk.
    struct Slot {
        int unit = 0;
        int64_t offset = 0, length = 0;
        uint64_t digest = 0;
        bool synced = false;
        int head = 0;
        bool head_synced = true;
    };
    std::vector<Slot> slots_;
    bool shared_head_ = false; // an older journal of one slot, saved over under a head naming a done extension
    std::map<int, JournalDone> recorded_; // records written, not yet synced
    enum class Staged { written, unsupported, unreadable, failed };
    Staged write_past_cache(size_t k, int64_t offset, int64_t length, uint64_t *digest);
    bool direct_ = true; // slots written past the page cache, while the filesystem takes it
    struct Free {
        void operator()(unsigned char *p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, Free> bounce_; // whole pages, for those writes
    int restored_ = 0;
    std::string mark_; // the file's mark as found
    bool marks_ = false; // the file takes a mark
};

// The path of the journal of the science file named `science_name` as a run
// names it (a unit selector or options dropped): NAME.tolv-journal beside its
// real path.  An interrupted run may have left it elsewhere (the file's mark).
std::string journal_path(const std::string &science_name);

// The file's mark: the name of its extended attribute.
constexpr char JOURNAL_MARK[] = "user.tolv.journal";

#endif

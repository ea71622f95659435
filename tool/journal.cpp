// The journal file, every number 64-bit little-endian on every host:
//
//   header   "TOLVJRN3", its length (whole 4 KiB pages), the journal's random
//            number, the science file's size, a slot's capacity, the number of
//            records and the bytes of each, the number of units; the inputs' key
//            and their names (each a length and its bytes); per unit: its number,
//            offset, header bytes, data bytes and header digest; the digest of
//            all that.
//   slots    four, each in whole pages: a head (extension, offset, length,
//            digest of the bytes, digest of the head; zeros to 64 bytes), or 64
//            zeros, and the original bytes of an extension.
//   records  one per extension done, each in a place of its own: "TOLVDONE", the
//            extension, the digest of its bytes as written, the length of its
//            rows, the rows, the digest of the record.
//
// A journal of an earlier tolv, "TOLVJRN2", is laid out alike with one slot.
//
// The fixed-size parts (the header's first fields, a unit, a slot's head, a
// record's head) are each laid out once below, as a Part, for the code that
// writes them and the code that reads them.
//
// The journal is written whole under no name (or a temporary one) and linked into
// place, so a journal under its name always had a whole header: one that has not
// is damaged, never "cut short".  A slot's bytes are synced before the head that
// names them is written, and written only into a slot whose head is zeros on the
// disk, so every head found names whole bytes, whether its extension is done or
// not; a record is written only after its extension's bytes are synced, and
// records are written in order, so only the last can be torn, and only while a
// slot still names its extension.  With four slots one sync serves an extension:
// the record of the one written before, the head of this one, the bytes of the
// next, and the head cleared of one done two before (a one-slot journal saves
// over the head of a done extension, whose bytes are then never read).
#include "journal.h"

#include "digest.h"
#include "faults.h"
#include "fileio.h"
#include "messages.h"
#include "mosaic.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr char HEADER_MAGIC[9] = "TOLVJRN3";
constexpr char ONE_SLOT_MAGIC[9] = "TOLVJRN2";
constexpr char OLDER_MAGIC[9] = "TOLVJRN1";
constexpr size_t SLOTS = 4;
constexpr char DONE_MAGIC[9] = "TOLVDONE";

// A fixed-size part of the journal: a lead of `Lead` bytes (a magic, or none),
// then one 64-bit little-endian number per field, in the order `Field` lists them
// (its last enumerator, `count`, is none).
template <typename Field, size_t Lead> class Part {
  public:
    static constexpr size_t at(Field f) { return Lead + 8 * size_t(f); }
    static constexpr int64_t bytes = int64_t(at(Field::count));

    Part() = default;
    // The part as it lies at p, lead included.
    explicit Part(const unsigned char *p)
    {
        for (size_t i = 0; i < size_t(Field::count); i++) v_[i] = get_u64(p + at(Field(i)));
    }
    uint64_t &operator[](Field f) { return v_[size_t(f)]; }
    uint64_t operator[](Field f) const { return v_[size_t(f)]; }
    // The part's bytes, after `lead` (Lead bytes of it).
    std::string text(const char *lead) const
    {
        std::string to(lead, Lead);
        for (const uint64_t v : v_) put_u64(to, v);
        return to;
    }

  private:
    uint64_t v_[size_t(Field::count)] = {};
};

// The header's first fields, after HEADER_MAGIC; its key, names, units and
// digest follow.
enum class HeaderField { length, nonce, science_size, capacity, records, record_bytes, units, count };
using HeaderHead = Part<HeaderField, 8>;
// A unit in the header's list.
enum class UnitField { unit, offset, header_bytes, data_bytes, header_digest, count };
using UnitEntry = Part<UnitField, 0>;
// A slot's head: the extension, where its saved bytes were in the file, their
// digest, and the digest of the fields before it.
enum class SlotField { unit, offset, length, bytes_digest, head_digest, count };
using SlotHead = Part<SlotField, 0>;
// A record's head, after DONE_MAGIC; its rows and its digest follow.
enum class RecordField { unit, digest, rows_length, count };
using RecordHead = Part<RecordField, 8>;

constexpr int64_t PAGE = 4096;
constexpr int64_t FIELDS = HeaderHead::bytes;
constexpr int64_t SLOT_HEAD = 64; // a slot's head, zeros after its fields
constexpr int64_t RECORD_HEAD = RecordHead::bytes;
constexpr int64_t RECORD_FRAME = RECORD_HEAD + 8; // a record's head and digest, around its rows
static_assert(FIELDS == 64 && SlotHead::bytes <= SLOT_HEAD && RECORD_HEAD == 32, "the journal's layout on disk");

// The digest that seals a slot's head: of its fields before head_digest.
uint64_t head_digest(const SlotHead &head, uint64_t nonce)
{
    return digest_of(head.text("").data(), SlotHead::at(SlotField::head_digest), nonce);
}

// A text of the header: its length, then its bytes.
void put_text(std::string &to, const std::string &text)
{
    put_u64(to, text.size());
    to += text;
}

// Reads the header's numbers, texts and parts in order, never past its end: once
// one does not fit, whole() is false and every read gives nothing.
class Cursor {
  public:
    Cursor(const std::vector<unsigned char> &bytes, size_t at) : bytes_(bytes), at_(at) {}
    bool whole() const { return whole_; }
    size_t at() const { return at_; }
    const unsigned char *take(size_t n)
    {
        if (!whole_ || n > bytes_.size() - at_) return whole_ = false, nullptr;
        at_ += n;
        return &bytes_[at_ - n];
    }
    uint64_t number()
    {
        const unsigned char *p = take(8);
        return p ? get_u64(p) : 0;
    }
    std::string text()
    {
        const uint64_t n = number();
        const unsigned char *p = n <= bytes_.size() ? take(size_t(n)) : (whole_ = false, nullptr);
        return p ? std::string(reinterpret_cast<const char *>(p), size_t(n)) : std::string();
    }
    template <typename P> P part()
    {
        const unsigned char *p = take(size_t(P::bytes));
        return p ? P(p) : P();
    }

  private:
    const std::vector<unsigned char> &bytes_;
    size_t at_;
    bool whole_ = true;
};

constexpr int64_t CHUNK = int64_t(1) << 20; // bytes moved at a time in recovery
constexpr uint64_t LONGEST_TEXT = uint64_t(1) << 26;
constexpr int MOST_UNITS = 1 << 16;
constexpr char SUFFIX[] = ".tolv-journal";
constexpr char NOT_A_JOURNAL[] = "tolv neither applies nor deletes it: rename it, then run the command again";

int64_t round_up(int64_t n, int64_t to) { return (n + to - 1) / to * to; }

// The journal of the science file at the plain path `science_path`: beside its real path.
std::string journal_beside(const std::string &science_path)
{
    char *real = realpath(science_path.c_str(), nullptr);
    const std::string path = std::string(real ? real : science_path) + SUFFIX;
    std::free(real);
    return path;
}

bool all_zero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

std::string hex(uint64_t v)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

int64_t file_size(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

// The file's mark into *mark (empty when it has none); false, with errno, when
// it cannot be read (ENODATA: it has none).
bool mark_of(int fd, std::string *mark)
{
    char value[8192];
    const ssize_t n = fgetxattr(fd, JOURNAL_MARK, value, sizeof value);
    *mark = n > 0 ? std::string(value, size_t(n)) : std::string();
    return n >= 0;
}

uint64_t random_number()
{
    uint64_t v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) == ssize_t(sizeof v)) return v;
    // No entropy yet (early boot): time and process make it unique enough, as
    // it only has to differ from the journals before.
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return uint64_t(t.tv_sec) * 1000000007u ^ uint64_t(t.tv_nsec) << 20 ^ uint64_t(getpid());
}

// The cards of a header that a correction leaves as they were: every card but
// the record (FRG...), the checksums, blank cards and END, which the record's
// writing moves or fills.
std::string own_cards(const unsigned char *header, int64_t bytes)
{
    std::string kept;
    for (int64_t at = 0; at + 80 <= bytes; at += 80) {
        const char *card = reinterpret_cast<const char *>(header + at);
        const std::string key(card, 8);
        if (key.compare(0, 3, "FRG") == 0 || key == "CHECKSUM" || key == "DATASUM " || key == "END     " ||
            std::string(card, 80).find_first_not_of(' ') == std::string::npos)
            continue;
        kept.append(card, 80);
    }
    return kept;
}

// Errors that say the file cannot carry the mark (the filesystem keeps no user
// attributes, or none this long, or not on a file of another owner), rather than
// that the disk failed.
bool unsupported_mark(int error)
{
    return error == ENOTSUP || error == EOPNOTSUPP || error == E2BIG || error == ERANGE || error == EPERM ||
           error == EACCES;
}

} // namespace

uint64_t Journal::extension_digest(uint64_t header_digest, uint64_t data_digest)
{
    Digest d;
    d.add_u64(header_digest);
    d.add_u64(data_digest);
    return d.value();
}

std::string journal_path(const std::string &science_name) { return journal_beside(mosaic_path(science_name.c_str())); }

Journal::Journal(const std::string &science_path, std::string science_name)
    : path_(journal_beside(science_path)), dir_(folder_of(path_)), name_(std::move(science_name))
{
}

Journal::~Journal()
{
    if (fd_ >= 0) close(fd_);
    if (science_ >= 0) close(science_);
}

bool Journal::fail(std::string *error, const std::string &what) const
{
    *error = what + " the journal " + path_ + " failed: " + std::strerror(errno ? errno : EIO);
    return false;
}

// A journal that cannot be applied: what was found, that nothing was done, and
// the way out.
bool Journal::refuse(std::string *error, const std::string &what, const std::string &way_out) const
{
    *error = "the journal " + path_ + " " + what + "; nothing was done. " + way_out;
    return false;
}

std::string Journal::damaged_way_out() const
{
    return "Restore " + name_ + " from a copy if you have one, then `tolv --drop-journal " + name_ +
           "` removes the journal";
}

std::string Journal::foreign_way_out() const
{
    return "tolv does not apply it: move it away if you know where it comes from, or `tolv --drop-journal " + name_ +
           "` removes it";
}

std::string Journal::replaced_way_out() const
{
    return "If " + name_ + " was replaced or changed on purpose since that run was interrupted, `tolv --drop-journal " +
           name_ + "` removes the journal without applying it";
}

void Journal::read_mark()
{
    // The file takes a mark where it has one, or where there is none to read.
    marks_ = mark_of(science_, &mark_) || errno == ENODATA;
}

bool Journal::set_mark(const std::string &value, std::string *error)
{
    if (!marks_) return true;
    if (fsetxattr(science_, JOURNAL_MARK, value.data(), value.size(), 0) != 0 || fsync(science_) != 0) {
        *error = std::string("marking the file failed: ") + std::strerror(errno);
        return false;
    }
    mark_ = value;
    return true;
}

void Journal::clear_mark()
{
    if (!mark_.empty() && science_ >= 0) fremovexattr(science_, JOURNAL_MARK);
    mark_.clear();
}

bool Journal::recover(int science_fd, std::string *error)
{
    science_ = fcntl(science_fd, F_DUPFD_CLOEXEC, 0);
    if (science_ < 0) {
        *error = std::string("opening the file again failed: ") + std::strerror(errno);
        return false;
    }
    read_mark();
    std::string running_path;
    if (mark_.rfind("running ", 0) == 0) {
        const size_t space = mark_.find(' ', 8);
        if (space != std::string::npos) running_path = mark_.substr(space + 1);
    }
    fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0 && errno == ENOENT && !running_path.empty() && running_path != path_) {
        // The run went through another name of this file (a hard link, or the
        // file has moved since): its journal is where the mark says.
        path_ = running_path;
        fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    }
    if (fd_ < 0 && (errno == EACCES || errno == EPERM)) {
        // Not writable here: read it only to say whose it is.
        fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd_ >= 0) {
            const bool theirs = !open_found(error);
            close(fd_);
            fd_ = -1;
            if (theirs) return false;
            return refuse(error, "cannot be written", "Give yourself the right to write it (chmod u+w), then run the "
                                                      "command again");
        }
        // Not even readable: its owner, from its name, says why.
        struct stat st;
        if (lstat(path_.c_str(), &st) == 0 && st.st_uid != geteuid() && st.st_uid != 0)
            return refuse(error, "belongs to another user (uid " + std::to_string(st.st_uid) + ")",
                          foreign_way_out());
        errno = EACCES;
    }
    if (fd_ < 0) {
        // A link or a folder under the journal's name is no journal tolv made.
        if (errno == ELOOP || errno == EISDIR)
            return refuse(error, errno == ELOOP ? "is a symbolic link" : "is a folder",
                          "tolv neither follows nor deletes it: rename it, then run the command again");
        if (errno != ENOENT) return fail(error, "opening");
        if (running_path.empty()) return true;
        *error = "an interrupted run's journal " + path_ +
                 " is gone (moved or deleted by hand), so which extensions it changed cannot be told; nothing was "
                 "done. Put the journal back if it was moved; otherwise `tolv --drop-journal " + name_ +
                 "` forgets that run (an extension it was writing may be half corrected)";
        return false;
    }
    return open_found(error) && read_header(error) && read_records(error) && check_units(error) &&
           restore_slots(error);
}

bool Journal::left_by_a_run(int science_fd) const
{
    std::string mark;
    return access(path_.c_str(), F_OK) == 0 || (mark_of(science_fd, &mark) && mark.rfind("running ", 0) == 0);
}

bool Journal::open_found(std::string *error)
{
    struct stat st;
    if (fstat(fd_, &st) != 0) return fail(error, "reading");
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    const std::string way_out = foreign_way_out();
    if (!S_ISREG(st.st_mode)) return refuse(error, "is not a regular file", "Rename it, then run the command again");
    // A journal is followed only when the user running tolv made it: one that
    // another user could have written says nothing about this file.
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return refuse(error, "belongs to another user (uid " + std::to_string(st.st_uid) + ")", way_out);
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return refuse(error, "can be written by other users", way_out);
    return true;
}

bool Journal::damaged(std::string *error, const std::string &what) const
{
    return refuse(error, "is damaged (" + what + "), so which extensions the interrupted run changed cannot be told",
                  damaged_way_out());
}

bool Journal::read_header(std::string *error)
{
    unsigned char start[FIELDS];
    const int64_t length_now = file_size(fd_);
    if (!pread_all(fd_, start, FIELDS, 0)) {
        if (length_now == 0) return damaged(error, "it is empty");
        if (errno != 0) return fail(error, "reading");
        if (std::memcmp(start, HEADER_MAGIC, size_t(length_now < 8 ? length_now : 8)) != 0)
            return refuse(error, "is not a tolv journal", NOT_A_JOURNAL);
        return damaged(error, "cut short");
    }
    if (std::memcmp(start, OLDER_MAGIC, 8) == 0)
        return refuse(error, "was left by an older tolv", "Finish that run with the tolv that began it");
    shared_head_ = std::memcmp(start, ONE_SLOT_MAGIC, 8) == 0;
    if (std::memcmp(start, HEADER_MAGIC, 8) != 0 && !shared_head_)
        return refuse(error, "is not a tolv journal", NOT_A_JOURNAL);
    slots_.assign(shared_head_ ? 1 : SLOTS, Slot());
    const HeaderHead fixed(start);
    const int64_t length = int64_t(fixed[HeaderField::length]);
    if (length < PAGE || length > int64_t(LONGEST_TEXT) * 4 || length % PAGE != 0 || length > length_now)
        return damaged(error, "its header is not whole");
    std::vector<unsigned char> h(static_cast<size_t>(length));
    if (!pread_all(fd_, h.data(), length, 0)) return damaged(error, "its header is not whole");
    nonce_ = fixed[HeaderField::nonce];
    size_ = fixed[HeaderField::science_size];
    capacity_ = int64_t(fixed[HeaderField::capacity]);
    const uint64_t records = fixed[HeaderField::records], record_bytes = fixed[HeaderField::record_bytes],
                   units = fixed[HeaderField::units];
    bool whole = capacity_ >= 0 && capacity_ <= INT64_MAX / 4 && records <= uint64_t(MOST_UNITS) &&
                 record_bytes >= uint64_t(RECORD_FRAME) && record_bytes <= LONGEST_TEXT && units >= 1 &&
                 units <= uint64_t(MOST_UNITS);
    Cursor c(h, size_t(FIELDS));
    key_ = c.text();
    names_ = c.text();
    for (uint64_t i = 0; whole && c.whole() && i < units; i++) {
        const UnitEntry entry = c.part<UnitEntry>();
        const JournalUnit u{int(entry[UnitField::unit]), int64_t(entry[UnitField::offset]),
                            int64_t(entry[UnitField::header_bytes]), int64_t(entry[UnitField::data_bytes]),
                            entry[UnitField::header_digest]};
        whole = entry[UnitField::unit] < uint64_t(MOST_UNITS) && uint64_t(u.offset) <= size_ &&
                uint64_t(u.header_bytes) <= size_ - uint64_t(u.offset) &&
                uint64_t(u.data_bytes) <= size_ - uint64_t(u.offset) - uint64_t(u.header_bytes);
        units_.push_back(u);
    }
    const size_t digested = c.at();
    const uint64_t digest = c.number();
    if (!whole || !c.whole() || digest_of(h.data(), digested) != digest) return damaged(error, "its header is not whole");
    records_ = int(records);
    record_bytes_ = int64_t(record_bytes);
    place(length);
    if (file_size(fd_) < records_end()) return damaged(error, "cut short");
    return true;
}

void Journal::place(int64_t header_length)
{
    slot_at_ = header_length;
    records_at_ = slot_at(slots_.size());
}

int64_t Journal::slot_span() const { return round_up(SLOT_HEAD + capacity_, PAGE); }

size_t Journal::slot_of(int e) const
{
    size_t k = 0;
    while (k < slots_.size() && slots_[k].unit != e) k++;
    return k;
}

// The slots: each a whole head naming a planned extension (no two the same),
// or zeros.
bool Journal::read_slots(std::string *error)
{
    for (size_t k = 0; k < slots_.size(); k++) {
        unsigned char head[SLOT_HEAD];
        if (!pread_all(fd_, head, SLOT_HEAD, slot_at(k))) return damaged(error, "cut short");
        if (all_zero(head, SLOT_HEAD)) continue;
        const SlotHead slot(head);
        const uint64_t e = slot[SlotField::unit], offset = slot[SlotField::offset], length = slot[SlotField::length];
        const JournalUnit *unit = nullptr;
        for (size_t i = 1; i < units_.size() && !unit; i++)
            if (uint64_t(units_[i].unit) == e) unit = &units_[i];
        if (head_digest(slot, nonce_) != slot[SlotField::head_digest] || !unit || slot_of(int(e)) < k ||
            offset < uint64_t(unit->offset) || length > uint64_t(capacity_) ||
            offset + length > uint64_t(unit->offset + unit->header_bytes + unit->data_bytes))
            return damaged(error, "the head of its saved bytes does not hold");
        slots_[k] = {int(e), int64_t(offset), int64_t(length), slot[SlotField::bytes_digest], true, int(e), true};
    }
    return true;
}

bool Journal::read_records(std::string *error)
{
    auto planned = [&](uint64_t e) {
        for (size_t i = 1; i < units_.size(); i++)
            if (uint64_t(units_[i].unit) == e) return int(i);
        return 0;
    };
    if (!read_slots(error)) return false;
    // The records: whole ones first, in order; then at most one torn record (the
    // last, being written when the run stopped, whose extension the slot still
    // holds: it is done again); then nothing.
    int first_empty = -1, torn = -1;
    std::vector<unsigned char> record(static_cast<size_t>(record_bytes_));
    for (int i = 0; i < records_; i++) {
        if (!pread_all(fd_, record.data(), record_bytes_, record_at(i))) return damaged(error, "cut short");
        if (all_zero(record.data(), record.size())) {
            if (first_empty < 0) first_empty = i;
            continue;
        }
        const std::string which = "record " + std::to_string(i + 1) + " of the extensions done does not hold";
        if (first_empty >= 0 || torn >= 0) return damaged(error, which);
        const RecordHead done(record.data());
        const uint64_t e = done[RecordField::unit], n = done[RecordField::rows_length];
        const bool whole = std::memcmp(record.data(), DONE_MAGIC, 8) == 0 &&
                           n <= uint64_t(record_bytes_ - RECORD_FRAME) &&
                           digest_of(record.data(), size_t(RECORD_HEAD + int64_t(n)), nonce_) ==
                               get_u64(&record[size_t(RECORD_HEAD + int64_t(n))]);
        if (whole && planned(e) && !done_.count(int(e))) {
            done_[int(e)] = {done[RecordField::digest],
                             std::string(reinterpret_cast<const char *>(&record[RECORD_HEAD]), size_t(n))};
            continue;
        }
        const bool being_written = std::any_of(slots_.begin(), slots_.end(), [&](const Slot &slot) {
            return slot.head && !done_.count(slot.head);
        });
        if (whole || !being_written) return damaged(error, which);
        torn = i;
    }
    next_record_ = torn >= 0 ? torn : first_empty >= 0 ? first_empty : records_;
    if (torn >= 0) {
        // The torn record's place is written again once its extension is done:
        // zeroed now, so that no record ever follows a damaged one.
        std::fill(record.begin(), record.end(), 0);
        if (!pwrite_all(fd_, record.data(), record_bytes_, record_at(torn)) || fdatasync(fd_) != 0)
            return fail(error, "writing");
    }
    return true;
}

bool Journal::check_units(std::string *error)
{
    const int64_t now = file_size(science_);
    if (now < 0 || uint64_t(now) != size_)
        return refuse(error,
                      "was made when " + name_ + " was " + std::to_string(size_) + " bytes long; it is " +
                          std::to_string(now) + " bytes now (cut short or added to by another program), so the "
                          "interrupted run cannot be finished",
                      "Restore " + name_ + " from a copy if you have one; either way `tolv --drop-journal " + name_ +
                          "` then removes the journal");
    for (size_t i = 0; i < units_.size(); i++) {
        const JournalUnit &u = units_[i];
        const std::string which = i == 0 ? "the primary unit" : "extension " + std::to_string(u.unit);
        uint64_t header = 0;
        if (!digest_file_range(science_, u.offset, u.header_bytes, &header)) return fail(error, "checking");
        if (i > 0 && done_.count(u.unit)) {
            uint64_t data = 0;
            if (!digest_file_range(science_, u.offset + u.header_bytes, u.data_bytes, &data))
                return fail(error, "checking");
            if (extension_digest(header, data) != done_.at(u.unit).digest)
                return refuse(error, "does not belong to " + name_ + " as it is now: " + which +
                                         " is not what the interrupted run wrote", replaced_way_out());
            continue;
        }
        const size_t k = i > 0 ? slot_of(u.unit) : slots_.size();
        if (k < slots_.size() && slots_[k].offset == u.offset) {
            // Being written: the header may already hold its record; its other
            // cards are those of the original in the slot, whose own digest is
            // the one the journal saw when it was made.
            std::vector<unsigned char> saved(size_t(u.header_bytes)), current(size_t(u.header_bytes));
            if (!pread_all(fd_, saved.data(), u.header_bytes, slot_at(k) + SLOT_HEAD) ||
                !pread_all(science_, current.data(), u.header_bytes, u.offset))
                return fail(error, "checking");
            if (digest_of(saved.data(), saved.size()) != u.header_digest ||
                own_cards(saved.data(), u.header_bytes) != own_cards(current.data(), u.header_bytes))
                return refuse(error, "does not belong to " + name_ + " as it is now: the header of " + which +
                                         " is not the one the interrupted run was writing", replaced_way_out());
            continue;
        }
        if (header != u.header_digest)
            return refuse(error, "does not belong to " + name_ + " as it is now: the header of " + which +
                                     " is not the one the interrupted run saw", replaced_way_out());
    }
    return true;
}

bool Journal::restore_slots(std::string *error)
{
    // Every byte is checked before any is put back: those of every head found (a
    // one-slot journal's bytes only while their extension is being written).
    std::vector<size_t> written;
    for (size_t k = 0; k < slots_.size(); k++) {
        const Slot &slot = slots_[k];
        const bool being_written = slot.head && !done_.count(slot.head);
        if (!being_written && (!slot.head || shared_head_)) continue;
        uint64_t digest = 0;
        if (!digest_file_range(fd_, slot_at(k) + SLOT_HEAD, slot.length, &digest, nonce_)) return fail(error, "reading");
        if (digest != slot.digest)
            return damaged(error, "the saved bytes of extension " + std::to_string(slot.unit) + " do not hold");
        if (being_written) written.push_back(k);
    }
    // A run writes one extension at a time: it names the next one's bytes in the
    // sync that records the one before, and changes it only once that sync is
    // done.  So a second extension found being written is as its original says.
    std::sort(written.begin(), written.end(), [&](size_t a, size_t b) { return slots_[a].offset < slots_[b].offset; });
    for (size_t i = 1; i < written.size(); i++) {
        const Slot &slot = slots_[written[i]];
        uint64_t now = 0;
        if (!digest_file_range(science_, slot.offset, slot.length, &now, nonce_)) return fail(error, "checking");
        if (written.size() > 2 || now != slot.digest)
            return damaged(error, "it names extensions " + std::to_string(slots_[written[0]].unit) + " and " +
                                      std::to_string(slot.unit) + " as being written at once");
    }
    auto put_back_failed = [&] {
        *error = std::string("putting back the extension an interrupted run was writing failed: ") +
                 std::strerror(errno) + RERUN_TO_RECOVER;
        return false;
    };
    // An extension that may have changed is put back; a head naming it stays, so
    // that the rest of the run writes it from the same bytes; of two, the first
    // is the one said to be put back.
    std::vector<unsigned char> chunk(written.empty() ? 0 : size_t(CHUNK));
    for (const size_t k : written) {
        const Slot &slot = slots_[k];
        for (int64_t done = 0; done < slot.length;) {
            const int64_t n = std::min(slot.length - done, CHUNK);
            if (!pread_all(fd_, chunk.data(), n, slot_at(k) + SLOT_HEAD + done)) return fail(error, "reading");
            if (!pwrite_all(science_, chunk.data(), n, slot.offset + done)) return put_back_failed();
            done += n;
        }
        if (!restored_) restored_ = slot.unit;
    }
    if (!written.empty() && fdatasync(science_) != 0) return put_back_failed();
    return true;
}

// The mark of a completed run: "completed KEY DIGEST E1,E2,...", the digest of
// its inputs' key, the digest of the digests of the extensions it wrote, and those
// extensions.
std::vector<int> Journal::completed_by(const std::string &key) const
{
    std::vector<int> units;
    const std::string head = "completed " + hex(digest_of(key)) + " ";
    if (mark_.rfind(head, 0) != 0 || mark_.size() < head.size() + 17 || mark_[head.size() + 16] != ' ') return units;
    const char *p = mark_.c_str() + head.size() + 17;
    while (*p) {
        char *end = nullptr;
        const long e = std::strtol(p, &end, 10);
        if (end == p || e < 1 || e >= MOST_UNITS || (*end != ',' && *end != '\0')) return {};
        units.push_back(int(e));
        p = *end == ',' ? end + 1 : end;
    }
    return units;
}

bool Journal::completed_digest_matches(const std::vector<uint64_t> &digests) const
{
    Digest d;
    for (const uint64_t v : digests) d.add_u64(v);
    const size_t at = mark_.find(' ', 10);
    return at != std::string::npos && mark_.compare(at + 1, 16, hex(d.value())) == 0;
}

bool Journal::start(const JournalIdentity &id, int64_t capacity, int records, int64_t record_bytes,
                    std::string *error)
{
    if (fd_ >= 0) {
        // A journal found is continued, never started over: its records are what
        // says which extensions are corrected already.
        if (key_ == id.key && capacity <= capacity_ && records <= records_)
            return mark_.rfind("running ", 0) == 0 || mark_running(false, error);
        *error = "the journal " + path_ + " was left by a run with other inputs";
        return false;
    }
    key_ = id.key;
    names_ = id.names;
    size_ = id.size;
    units_ = id.units;
    capacity_ = capacity;
    records_ = records;
    record_bytes_ = round_up(RECORD_FRAME + record_bytes, 512);
    nonce_ = random_number();
    slots_.assign(SLOTS, Slot());
    shared_head_ = false;
    const std::string h = header_bytes();
    place(int64_t(h.size()));
    next_record_ = 0;

    // Made whole under no name, then linked into place: a kill before the link
    // leaves nothing behind.  Where the filesystem has no unnamed files (or
    // they cannot be linked), a temporary name beside it serves.
    std::string temporary;
    for (const bool unnamed : {true, false}) {
        if (unnamed) {
            fd_ = open_unnamed(dir_, 0600);
            if (fd_ < 0) continue;
        } else {
            fd_ = open_named_temporary(path_ + ".new-", 0600, &temporary);
            if (fd_ < 0) return fail(error, "creating");
        }
        if (!write_whole(h, error)) {
            if (!unnamed) unlink(temporary.c_str());
            return false;
        }
        if (unnamed ? link_unnamed(fd_, path_) : link(temporary.c_str(), path_.c_str()) == 0) break;
        const int why = errno;
        close(fd_);
        fd_ = -1;
        if (!unnamed) unlink(temporary.c_str());
        if (why == EEXIST) {
            *error = "a journal " + path_ + " appeared while this run was starting";
            return false;
        }
        if (!unnamed) {
            errno = why;
            return fail(error, "creating");
        }
    }
    if (!temporary.empty()) unlink(temporary.c_str());
    sync_folder(dir_);
    // The mark goes on the file once the journal it names exists.
    return mark_running(true, error);
}

// The header as it lies in the journal: whole pages, its digest included.
std::string Journal::header_bytes() const
{
    std::string rest;
    put_text(rest, key_);
    put_text(rest, names_);
    for (const JournalUnit &u : units_) {
        UnitEntry entry;
        entry[UnitField::unit] = uint64_t(u.unit);
        entry[UnitField::offset] = uint64_t(u.offset);
        entry[UnitField::header_bytes] = uint64_t(u.header_bytes);
        entry[UnitField::data_bytes] = uint64_t(u.data_bytes);
        entry[UnitField::header_digest] = u.header_digest;
        rest += entry.text("");
    }
    HeaderHead fixed;
    fixed[HeaderField::length] = uint64_t(round_up(FIELDS + int64_t(rest.size()) + 8, PAGE));
    fixed[HeaderField::nonce] = nonce_;
    fixed[HeaderField::science_size] = size_;
    fixed[HeaderField::capacity] = uint64_t(capacity_);
    fixed[HeaderField::records] = uint64_t(records_);
    fixed[HeaderField::record_bytes] = uint64_t(record_bytes_);
    fixed[HeaderField::units] = units_.size();
    std::string h = fixed.text(HEADER_MAGIC) + rest;
    put_u64(h, digest_of(h));
    h.resize(size_t(fixed[HeaderField::length]), '\0');
    return h;
}

// Marks the file as under a run whose journal is path_; where the file takes no
// mark, a file with one name goes on without (a rerun must then come through a
// name in the same folder), and one with more is refused: a journal `created`
// just now is removed then, one found is kept (it records extensions done).
bool Journal::mark_running(bool created, std::string *error)
{
    const std::string running = "running " + hex(nonce_) + " " + path_;
    if (fsetxattr(science_, JOURNAL_MARK, running.data(), running.size(), 0) != 0) {
        const int why = errno;
        marks_ = false;
        struct stat st;
        if (!unsupported_mark(why) || (fstat(science_, &st) == 0 && st.st_nlink > 1)) {
            if (created) {
                close(fd_);
                fd_ = -1;
                unlink(path_.c_str());
            }
            if (!unsupported_mark(why)) {
                *error = std::string("marking the file failed: ") + std::strerror(why);
            } else {
                *error = "the file has " + std::to_string(fstat(science_, &st) == 0 ? st.st_nlink : 2) +
                         " names (hard links) and its filesystem keeps no extended attributes, so a run through "
                         "another name could not find the journal: correct it with -o, or where it has one name";
            }
            return false;
        }
        return true;
    }
    marks_ = true;
    mark_ = running;
    if (fsync(science_) != 0) return fail(error, "marking the file for");
    return true;
}

// Claims the disk space of the whole run, so that a full disk is found before
// anything changes, and writes the header; on failure the file is closed.
bool Journal::write_whole(const std::string &header, std::string *error)
{
    const int64_t total = records_end();
    fchmod(fd_, 0600);
    const int refused = claim_space(fd_, 0, total);
    bool written = refused == 0;
    if (!written) errno = refused;
    written = written && ftruncate(fd_, off_t(total)) == 0 &&
              pwrite_all(fd_, header.data(), int64_t(header.size()), 0) && fdatasync(fd_) == 0;
    if (written) return true;
    const int why = errno;
    close(fd_);
    fd_ = -1;
    errno = why;
    return fail(error, "writing");
}

bool Journal::free_slot(size_t k) const
{
    // Bytes go only under a head of zeros on the disk (in a one-slot journal,
    // under one naming a done extension), never over those of an extension on
    // its way.
    const Slot &slot = slots_[k];
    if (!slot.head_synced || (slot.unit && !done_.count(slot.unit))) return false;
    return !slot.head || (shared_head_ && done_.count(slot.head));
}

bool Journal::can_stage() const
{
    for (size_t k = 0; k < slots_.size(); k++)
        if (free_slot(k)) return true;
    return false;
}

bool Journal::holds(int e) const { return slot_of(e) < slots_.size(); }

bool Journal::on_disk(int e) const { return holds(e) && slots_[slot_of(e)].synced; }

bool Journal::armed(int e, int64_t offset, int64_t length) const
{
    const size_t k = slot_of(e);
    if (k == slots_.size()) return false;
    const Slot &slot = slots_[k];
    return slot.head == e && slot.head_synced && slot.offset <= offset && offset + length <= slot.offset + slot.length;
}

bool Journal::stage(int e, const unsigned char *file, int64_t offset, int64_t length, std::string *error)
{
    size_t k = 0;
    while (k < slots_.size() && !free_slot(k)) k++;
    if (k == slots_.size() || holds(e) || length > capacity_) {
        errno = EINVAL; // the writer's steps out of order
        return fail(error, "writing");
    }
    Slot &slot = slots_[k];
    const Staged past_cache = !shared_head_ && direct_ ? write_past_cache(k, offset, length, &slot.digest)
                                                       : Staged::unsupported;
    if (past_cache == Staged::unreadable) {
        *error = UNREADABLE_FILE_TEXT;
        return false;
    }
    if (past_cache == Staged::failed) return fail(error, "writing");
    if (past_cache == Staged::unsupported) {
        direct_ = false;
        if (!pwrite_all(fd_, file + offset, length, slot_at(k) + SLOT_HEAD)) {
            // The mapped bytes themselves could not be read: the file is shorter now.
            if (errno != EFAULT) return fail(error, "writing");
            faults_read_through(file + offset, length);
            *error = UNREADABLE_FILE_TEXT;
            return false;
        }
        slot.digest = digest_of(file + offset, size_t(length), nonce_);
    }
    slot.unit = e;
    slot.offset = offset;
    slot.length = length;
    slot.synced = false;
    return true;
}

// Writes the original bytes [offset, offset + length) of the science file into
// slot k past the page cache (O_DIRECT), a piece at a time through a buffer of
// whole pages: the slot's head of zeros first (a slot takes bytes only under one),
// zeros after them to the end of their page.  Bytes that only a recovery reads
// then take no memory of the page cache (fresh memory, on a virtual machine the
// dearest part of the copy).  False, with errno: EINVAL where the filesystem
// Unsupported where the filesystem takes no such writes.
Journal::Staged Journal::write_past_cache(size_t k, int64_t offset, int64_t length, uint64_t *digest)
{
    constexpr int64_t PIECE = int64_t(8) << 20;
    if (!bounce_) {
        void *p = nullptr;
        if (posix_memalign(&p, size_t(PAGE), size_t(PIECE)) != 0) return Staged::unsupported;
        bounce_.reset(static_cast<unsigned char *>(p));
    }
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) return Staged::unsupported;
    unsigned char *const b = bounce_.get();
    Digest d(nonce_);
    const int64_t total = round_up(SLOT_HEAD + length, PAGE);
    Staged staged = Staged::written;
    for (int64_t at = 0; staged == Staged::written && at < total; at += PIECE) {
        const int64_t n = std::min(PIECE, total - at);
        const int64_t from = std::max(at, SLOT_HEAD) - at, to = std::min(at + n, SLOT_HEAD + length) - at;
        std::memset(b, 0, size_t(from));
        if (to < n) std::memset(b + std::max(to, from), 0, size_t(n - std::max(to, from)));
        if (to > from && !pread_all(science_, b + from, to - from, offset + at + from - SLOT_HEAD)) {
            staged = Staged::unreadable;
            break;
        }
        if (to > from) d.add(b + from, size_t(to - from));
        if (!pwrite_all(fd_, b, n, slot_at(k) + at)) staged = errno == EINVAL ? Staged::unsupported : Staged::failed;
    }
    const int why = errno;
    fcntl(fd_, F_SETFL, flags);
    errno = why;
    *digest = d.value();
    return staged;
}

bool Journal::arm(int e, std::string *error)
{
    const size_t k = slot_of(e);
    if (k == slots_.size() || !slots_[k].synced) {
        errno = EINVAL; // a head only ever names bytes on the disk
        return fail(error, "writing");
    }
    Slot &slot = slots_[k];
    SlotHead head;
    head[SlotField::unit] = uint64_t(e);
    head[SlotField::offset] = uint64_t(slot.offset);
    head[SlotField::length] = uint64_t(slot.length);
    head[SlotField::bytes_digest] = slot.digest;
    head[SlotField::head_digest] = head_digest(head, nonce_);
    std::string bytes = head.text("");
    bytes.resize(size_t(SLOT_HEAD), '\0');
    if (!pwrite_all(fd_, bytes.data(), SLOT_HEAD, slot_at(k))) return fail(error, "writing");
    slot.head = e;
    slot.head_synced = false;
    return true;
}

bool Journal::make_room(std::string *error)
{
    if (can_stage() || shared_head_) return true;
    for (size_t k = 0; k < slots_.size(); k++) {
        Slot &slot = slots_[k];
        if (!slot.head || !slot.head_synced || !done_.count(slot.head)) continue;
        const unsigned char zeros[SLOT_HEAD] = {};
        if (!pwrite_all(fd_, zeros, SLOT_HEAD, slot_at(k))) return fail(error, "writing");
        slot.head = 0;
        slot.head_synced = false;
        return true;
    }
    return true;
}

bool Journal::record(int e, uint64_t digest, const std::string &rows, std::string *error)
{
    if (next_record_ >= records_ || int64_t(rows.size()) > record_bytes_ - RECORD_FRAME) {
        errno = ENOSPC;
        return fail(error, "writing");
    }
    RecordHead head;
    head[RecordField::unit] = uint64_t(e);
    head[RecordField::digest] = digest;
    head[RecordField::rows_length] = rows.size();
    std::string record = head.text(DONE_MAGIC) + rows;
    put_u64(record, digest_of(record, nonce_));
    if (!pwrite_all(fd_, record.data(), int64_t(record.size()), record_at(next_record_))) return fail(error, "writing");
    next_record_++;
    recorded_[e] = {digest, rows};
    return true;
}

bool Journal::sync(std::string *error)
{
    if (fdatasync(fd_) != 0) return fail(error, "writing");
    for (size_t k = 0; k < slots_.size(); k++) {
        Slot &slot = slots_[k];
        if (slot.unit && !slot.synced)
            posix_fadvise(fd_, off_t(slot_at(k) + SLOT_HEAD), off_t(slot.length), POSIX_FADV_DONTNEED);
        slot.synced = slot.synced || slot.unit;
        slot.head_synced = true;
    }
    done_.merge(recorded_);
    recorded_.clear();
    return true;
}

bool Journal::finish(std::string *error, void (*checkpoint)(const char *point, int e))
{
    if (fd_ < 0) {
        clear_mark();
        return true;
    }
    // The mark says the run completed before the journal goes: a kill between
    // the two, or before the mark is cleared, leaves a file the same command
    // finds done.
    if (!mark_.empty()) {
        Digest d;
        std::string units;
        for (const auto &[e, done] : done_) {
            d.add_u64(done.digest);
            units += units.empty() ? std::string() : std::string(1, ',');
            units += std::to_string(e);
        }
        std::string ignored;
        set_mark("completed " + hex(digest_of(key_)) + " " + hex(d.value()) + " " + units, &ignored);
    }
    close(fd_);
    fd_ = -1;
    // Not synced with its directory: a journal that comes back after a power loss
    // records every extension as done, and the next run only removes it.
    if (unlink(path_.c_str()) != 0) return fail(error, "removing");
    if (checkpoint) checkpoint("removed", 0);
    clear_mark();
    close(science_);
    science_ = -1;
    return true;
}

bool Journal::drop(int science_fd, std::string *what, std::string *error)
{
    if (science_ < 0) science_ = fcntl(science_fd, F_DUPFD_CLOEXEC, 0);
    if (mark_.empty() && science_ >= 0) read_mark();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT) return fail(error, "opening");
        if (mark_.empty()) {
            *error = "no journal " + path_ + " and no mark of an interrupted run: nothing to do";
            return false;
        }
        clear_mark();
        *what = "the mark of an interrupted run whose journal is gone is cleared";
        return true;
    }
    // Only a file that is a tolv journal, or an empty one (a journal cut to
    // nothing), is removed: a user's file of that name is never deleted.
    unsigned char magic[8] = {};
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool read = regular && pread_all(fd, magic, 8, 0);
    close(fd);
    const bool journal = regular && ((read && std::memcmp(magic, "TOLVJRN", 7) == 0) || st.st_size == 0);
    if (!journal) {
        *error = path_ + " is not a tolv journal: tolv does not delete it";
        return false;
    }
    if (unlink(path_.c_str()) != 0) return fail(error, "removing");
    sync_folder(folder_of(path_));
    clear_mark();
    *what = "the journal " + path_ + " is removed without being applied";
    return true;
}

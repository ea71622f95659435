// The lines tolv writes for its user: every one begins "tolv: ", and names the
// file it is about as the user gave it.  The endings that several lines share
// are here too, so that a message reads the same wherever it is made.
#ifndef TOLV_MESSAGES_H
#define TOLV_MESSAGES_H

#include <cstdio>
#include <string>

// What begins every line of tolv's own.
constexpr char MESSAGE_PREFIX[] = "tolv: ";

// A refusal made before anything was written, and one after a write failed.
constexpr char NOTHING_DONE[] = "; nothing was done";
constexpr char RERUN_TO_RECOVER[] = "; run the same command again to recover";
// A file whose bytes are gone from under a mapping or a read.
constexpr char UNREADABLE_FILE_TEXT[] =
    "the file could not be read or written (cut short by another program, or a disk error)";

// The science file is held by another run (its lock).
constexpr char LOCKED_TEXT[] = "another tolv is correcting this file; nothing was done";

// A fit whose clipping left a fringe frame or a gradient without any weight.
constexpr char CLIPPED_AWAY_TEXT[] =
    "after clipping, a fringe frame or a gradient is zero at every pixel used; the fit cannot be solved";

// A fit over an exposure whose amplitudes cannot be told apart.
constexpr char EXPOSURE_UNSOLVABLE_TEXT[] =
    "the fringe amplitudes of the exposure cannot be solved: a fringe frame is zero at every pixel used, "
    "or the same as another (or a sum of others)";

// "tolv: TEXT".
std::string tool_line(const std::string &text);
// "tolv: NAME: TEXT".
std::string file_line(const std::string &name, const std::string &text);

// Where one run's lines go.  Notes (what was done, why something was left) are
// dropped by --quiet; refusals and errors never are.
class Messages {
  public:
    // Progress lines are written only on a terminal, and with notes.  A fit that
    // cannot be solved ends the process when `fatal_exits` (numeric_error).
    Messages(std::FILE *to, std::string science_name, bool notes, bool fatal_exits);

    std::FILE *stream() const { return to_; }
    const std::string &science_name() const { return science_; }
    // True when progress lines are wanted (a terminal, not --quiet).
    bool progress() const { return progress_; }

    // "tolv: SCIENCE: TEXT", unless quiet.
    void note(const std::string &text) const;
    // Writes `line` (a whole line, prefix and all); returns 1, the exit status.
    int refuse(const std::string &line) const;
    // refuse(file_line(science file, text)).
    int refuse_science(const std::string &text) const;
    // "Couldn't open file NAME", after the line that says why when `reason` is
    // not empty; returns 1.
    int unopenable(const std::string &name, const std::string &reason) const;
    // A progress line "tolv: TEXT", on a terminal only.
    void progress_line(const std::string &text) const;
    // The numeric module's report of a fit that cannot be solved: the end of the
    // process for the command; otherwise written here, and 1 returned.
    int numeric_error(const char *text) const;

  private:
    std::FILE *to_;
    std::string science_;
    bool notes_, progress_, fatal_exits_;
};

#endif

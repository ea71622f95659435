// The command line: options before the file names, in the GNU getopt_long style.
#ifndef TOLV_OPTIONS_H
#define TOLV_OPTIONS_H

#include "fit_steps.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct Options {
    bool help = false, version = false;
    std::string output;       // -o: the corrected copy; empty: in place
    bool overwrite = false;   // -o may replace an existing file
    bool dry_run = false;     // fit and print, write nothing
    FitSettings fit;          // --iterations, --clip
    std::string extname;      // -e: only the extensions of this EXTNAME; empty: all
    std::string mask;         // -m: the mask mosaic; empty: none
    std::string table;        // --table: the table's file; empty: standard output
    bool quiet = false;       // no notes on standard error
    bool force = false;       // correct extensions already corrected again
    bool record = true;       // write the record of the correction into each header
    int jobs = 0;             // -j: extensions fitted at once; 0: as many as the machine allows
    bool per_exposure = false; // -E: one amplitude per fringe frame over all the extensions fitted
    bool recover = false;     // --recover: finish nothing, put the file back in a consistent state
    bool drop_journal = false; // --drop-journal: remove the journal without applying it
    std::vector<const char *> files; // the science file, then the fringe frames
    // -f: the fringe frames as given (a name, or @FILE: a list of names); with
    // them the file names are science files, each corrected on its own.
    std::vector<std::string> fringe_options;
    // With -f: the fringe frames and the science files, every list read.
    std::vector<std::string> fringes, sciences;
};

// What an option's value must be: any text, or a number within a range.
enum class ValueCheck { any, whole, positive };

// A value as its option takes it: the text written, and the number it reads as
// when the option's check is whole or positive.
struct OptionValue {
    const char *text = nullptr;
    long whole = 0;
    float positive = 0.0f;
};

// One option of tolv.  The getopt table, the short-option string, the option
// lines of --help and the checks of values (with their messages) all come from
// the one table of these, option_table().
struct OptionEntry {
    const char *long_name = nullptr;  // without "--"
    char letter = '\0';               // the short option; '\0': none
    const char *value_name = nullptr; // the value as --help names it; nullptr: the option takes none
    ValueCheck check = ValueCheck::any;
    long lo = 0, hi = 0;                 // ValueCheck::whole: the values allowed
    std::optional<double> shown_default = std::nullopt; // the number --help shows as "(default D)"
    // The lines of --help, where "{range}" stands for the values allowed ("1 to
    // 100", "K > 0") and "{default}" for shown_default.
    std::array<const char *, 3> help{};
    void (*set)(Options &, const OptionValue &) = nullptr;
};

// Every option, in the order of --help.
std::span<const OptionEntry> option_table();

// The values an option allows, as --help and its messages say them: "1 to 100"
// (whole), "K > 0" (positive, with the value's name); empty for any text.
std::string allowed_values(const OptionEntry &entry);

constexpr char USAGE[] = "Usage: tolv file fringefile1 ... fringefilen\n";
// The line after the usage line when options were given wrong or too few files
// were named beside them; `tolv` and `tolv file` get the usage line alone.
constexpr char USAGE_HINT[] = "Try 'tolv --help'\n";

// The file names a run takes: the science file alone for --recover and
// --drop-journal, else the science file and at least one fringe frame (with -f:
// at least one science file).
bool enough_files(const Options &o);

// The names `given` stands for, in order: each as it is, but @FILE, which stands
// for the names FILE lists, one a line (blank lines and lines beginning with #
// left out, blanks around a name dropped).  False, with *error, when a list
// cannot be read or lists no name.
bool read_name_lists(const std::vector<std::string> &given, std::vector<std::string> *names, std::string *error);

// Reads the options and file names of argv.  False, with *error the one line that
// says what is wrong (without "tolv: "), for an unknown option or a bad value.
bool parse_options(int argc, char **argv, Options *options, std::string *error);

// The text of --help: usage, every option and the exit statuses.
std::string help_text();

// The project's version, X.Y.Z.
const char *tolv_version();

#endif

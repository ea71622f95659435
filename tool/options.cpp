// Options of tolv: getopt_long over argv, stopping at the first file name; one of
// tolv's options after the file names is refused (after --, it is a file name).
#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#ifndef TOLV_VERSION
#error "TOLV_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace {

// Every option of tolv, in the order of --help: its names, its value and the
// check of it, its lines of --help, and what it sets in Options.
constexpr OptionEntry OPTIONS[] = {
    {.long_name = "help", .letter = 'h', .help = {"this text"},
     .set = [](Options &o, const OptionValue &) { o.help = true; }},
    {.long_name = "version", .letter = 'V', .help = {"the version of tolv"},
     .set = [](Options &o, const OptionValue &) { o.version = true; }},
    {.long_name = "output", .letter = 'o', .value_name = "FILE",
     .help = {"write the corrected mosaic to FILE; the science file is",
              "left untouched.  FILE is written whole or not at all"},
     .set = [](Options &o, const OptionValue &v) { o.output = v.text; }},
    {.long_name = "overwrite", .help = {"let -o replace an existing FILE"},
     .set = [](Options &o, const OptionValue &) { o.overwrite = true; }},
    {.long_name = "fringe", .letter = 'f', .value_name = "FRINGE",
     .help = {"a fringe frame (again for each; @FILE: the names FILE",
              "lists, one a line); the file names are then science",
              "files, each corrected on its own"},
     .set = [](Options &o, const OptionValue &v) { o.fringe_options.push_back(v.text); }},
    {.long_name = "dry-run", .letter = 'n', .help = {"fit and print the table; write nothing"},
     .set = [](Options &o, const OptionValue &) { o.dry_run = true; }},
    {.long_name = "iterations", .value_name = "N", .check = ValueCheck::whole, .lo = 1, .hi = 100,
     .shown_default = FitSettings{}.iterations,
     .help = {"clipped fits per extension, {range} (default {default})"},
     .set = [](Options &o, const OptionValue &v) { o.fit.iterations = int(v.whole); }},
    {.long_name = "clip", .value_name = "K", .check = ValueCheck::positive, .shown_default = FitSettings{}.clip,
     .help = {"leave out pixels whose residual exceeds K sigma,", "{range} (default {default})"},
     .set = [](Options &o, const OptionValue &v) { o.fit.clip = v.positive; }},
    {.long_name = "per-exposure", .letter = 'E',
     .help = {"one amplitude per fringe frame for the whole exposure,",
              "fitted over every extension at once (the constant and",
              "gradients stay each extension's); default: each alone"},
     .set = [](Options &o, const OptionValue &) { o.per_exposure = true; }},
    {.long_name = "extname", .letter = 'e', .value_name = "NAME",
     .help = {"correct only the image extensions whose EXTNAME is NAME",
              "(case and trailing blanks ignored), matched in the",
              "fringe and mask files by EXTNAME and EXTVER"},
     .set = [](Options &o, const OptionValue &v) { o.extname = v.text; }},
    {.long_name = "mask", .letter = 'm', .value_name = "FILE",
     .help = {"a mosaic of integer images laid out like the science",
              "file: pixels whose mask value is nonzero take no part", "in the fits, but are corrected"},
     .set = [](Options &o, const OptionValue &v) { o.mask = v.text; }},
    {.long_name = "table", .value_name = "FILE", .help = {"write the table to FILE instead of standard output"},
     .set = [](Options &o, const OptionValue &v) { o.table = v.text; }},
    {.long_name = "quiet", .letter = 'q', .help = {"no notes on standard error (errors are still shown)"},
     .set = [](Options &o, const OptionValue &) { o.quiet = true; }},
    {.long_name = "force",
     .help = {"correct again the extensions whose header says they",
              "are corrected (FRGCORR); they are skipped otherwise"},
     .set = [](Options &o, const OptionValue &) { o.force = true; }},
    {.long_name = "no-record",
     .help = {"leave every header as it is: no record of the", "correction (FRGCORR ...), no checksum updated"},
     .set = [](Options &o, const OptionValue &) { o.record = false; }},
    {.long_name = "jobs", .letter = 'j', .value_name = "N", .check = ValueCheck::whole, .lo = 1, .hi = 1024,
     .help = {"fit N extensions at once, {range} (default: the", "processors tolv may use, as memory allows); the",
              "results do not depend on N"},
     .set = [](Options &o, const OptionValue &v) { o.jobs = int(v.whole); }},
    {.long_name = "recover",
     .help = {"tolv --recover file: after an interrupted run, put back",
              "the extension it was writing, keep those it corrected",
              "and remove its journal, without finishing the run"},
     .set = [](Options &o, const OptionValue &) { o.recover = true; }},
    {.long_name = "drop-journal",
     .help = {"tolv --drop-journal file: remove the journal of an",
              "interrupted run without applying it (when the file was",
              "replaced or changed since on purpose)"},
     .set = [](Options &o, const OptionValue &) { o.drop_journal = true; }},
};
constexpr size_t OPTION_COUNT = std::size(OPTIONS);

// Where the option lines of --help start their text.
constexpr size_t HELP_COLUMN = 25;

// True when a line of the option's help holds `word` (a placeholder).
constexpr bool mentions(const OptionEntry &entry, std::string_view word)
{
    for (const char *line : entry.help)
        if (line && std::string_view(line).find(word) != std::string_view::npos) return true;
    return false;
}

// What the compiler checks of the table: every value checked has a name, a
// whole number has a range, the help has a placeholder exactly where the option
// has its value, the names fit before HELP_COLUMN, and no two options share a
// long name or a letter.
constexpr bool well_formed(const OptionEntry (&table)[OPTION_COUNT])
{
    for (size_t i = 0; i < OPTION_COUNT; i++) {
        const OptionEntry &s = table[i];
        if (!s.long_name || !s.set || !s.help[0]) return false;
        if (s.check != ValueCheck::any && !s.value_name) return false;
        if ((s.check == ValueCheck::whole) != (s.lo < s.hi)) return false;
        if (mentions(s, "{range}") != (s.check != ValueCheck::any)) return false;
        if (mentions(s, "{default}") != s.shown_default.has_value()) return false;
        const size_t head = 6 + 2 + std::string_view(s.long_name).size() +
                            (s.value_name ? 1 + std::string_view(s.value_name).size() : 0);
        if (head >= HELP_COLUMN) return false;
        for (size_t j = 0; j < i; j++) {
            if (std::string_view(s.long_name) == table[j].long_name) return false;
            if (s.letter && s.letter == table[j].letter) return false;
        }
    }
    return true;
}
static_assert(well_formed(OPTIONS), "the table of options is not coherent");

// The code getopt_long returns for option i: its letter, else a number past
// every character.
constexpr int code_of(size_t i) { return OPTIONS[i].letter ? OPTIONS[i].letter : 256 + int(i); }

constexpr std::array<option, OPTION_COUNT + 1> long_options()
{
    std::array<option, OPTION_COUNT + 1> table{};
    for (size_t i = 0; i < OPTION_COUNT; i++)
        table[i] = {OPTIONS[i].long_name, OPTIONS[i].value_name ? required_argument : no_argument, nullptr,
                    code_of(i)};
    return table; // ends with the zero entry
}
constexpr auto LONG_OPTIONS = long_options();

// '+': stop at the first file name; ':': a missing value is told apart.  Then
// each letter, with ':' when it takes a value.
constexpr std::array<char, 3 + 2 * OPTION_COUNT> short_options()
{
    std::array<char, 3 + 2 * OPTION_COUNT> text{'+', ':'};
    size_t at = 2;
    for (const OptionEntry &s : OPTIONS) {
        if (!s.letter) continue;
        text[at++] = s.letter;
        if (s.value_name) text[at++] = ':';
    }
    return text; // the rest stays '\0'
}
constexpr auto SHORT_OPTIONS = short_options();

// The option getopt_long returned as `code`; null for none of the table's.
const OptionEntry *entry_of(int code)
{
    for (size_t i = 0; i < OPTION_COUNT; i++)
        if (code_of(i) == code) return &OPTIONS[i];
    return nullptr;
}

bool whole_number(const char *text, long lo, long hi, long *value)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *value = v;
    return true;
}

bool positive_number(const char *text, float *value)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0.0) || !(v <= double(FLT_MAX))) return false;
    if (!(float(v) > 0.0f)) return false;
    *value = float(v);
    return true;
}

// The option as the user wrote it, for messages: a long one up to its '=', a
// short one as a letter (it may stand in a group such as -qo).
std::string written(const char *arg, int short_option)
{
    const std::string text = arg;
    if (text.rfind("--", 0) == 0) return text.substr(0, text.find('='));
    return std::string("-") + char(short_option);
}

// True when the long option of `arg` (--name=value) exists: then its trouble is
// a value it does not take.
bool known_long(const std::string &name)
{
    for (const OptionEntry &s : OPTIONS)
        if (name == std::string("--") + s.long_name) return true;
    return false;
}

// Reads the value of `entry`, given as `text`; false, with *error, when its check
// refuses it.  The message names the option as written (-j, --jobs) when it has
// a letter, else by its long name.
bool read_value(const OptionEntry &entry, const char *text, const std::string &as_written, OptionValue *value,
                std::string *error)
{
    value->text = text;
    const std::string name = entry.letter ? as_written : std::string("--") + entry.long_name;
    switch (entry.check) {
    case ValueCheck::any: return true;
    case ValueCheck::whole:
        if (whole_number(text, entry.lo, entry.hi, &value->whole)) return true;
        *error = name + " takes a whole number from " + allowed_values(entry) + ", not '" + text + "'";
        return false;
    case ValueCheck::positive:
        if (positive_number(text, &value->positive)) return true;
        *error = name + " takes a positive number, not '" + text + "'";
        return false;
    }
    return false;
}

// The options that do not go together, and the file names --recover and
// --drop-journal take; false, with *error, for the first that is wrong.
bool check_combination(const Options &o, std::string *error)
{
    if (o.dry_run && !o.output.empty()) {
        *error = "--dry-run writes nothing, so it does not go with --output";
        return false;
    }
    if (!o.recover && !o.drop_journal) return true;
    const char *which = o.recover ? "--recover" : "--drop-journal";
    if (o.recover && o.drop_journal) {
        *error = "--recover and --drop-journal do not go together";
        return false;
    }
    if (!o.output.empty() || o.dry_run) {
        *error = std::string(which) + " changes only the science file's journal, so it does not go with " +
                 (o.dry_run ? "--dry-run" : "--output");
        return false;
    }
    if (o.files.size() > 1 || !o.fringe_options.empty()) {
        *error = std::string(which) + " takes the science file alone";
        return false;
    }
    return true;
}

// With -f, several science files: -o and --table name the output of one.
bool check_science_files(const Options &o, std::string *error)
{
    if (o.sciences.size() < 2) return true;
    if (!o.output.empty()) *error = "--output writes one file, so it takes one science file";
    if (!o.table.empty()) *error = "--table holds the table of one science file; with several, it goes to standard output";
    return error->empty();
}

// An option written after the file names (unless -- ends the options, or a file
// of that name is there): the user meant it as an option.
std::string late_option(int argc, char **argv, int first_name)
{
    if (first_name > 1 && std::string_view(argv[first_name - 1]) == "--") return "";
    for (int i = first_name + 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-' || access(argv[i], F_OK) == 0) continue;
        bool option = false;
        for (const OptionEntry &s : OPTIONS) {
            const std::string long_name = std::string("--") + s.long_name;
            option = option || arg == long_name || arg.rfind(long_name + "=", 0) == 0 ||
                     (arg[1] != '-' && s.letter == arg[1]);
        }
        if (option) return std::string(arg.substr(0, arg.find('='))) + ": options go before the file names";
    }
    return "";
}

// `line` with its placeholders filled in from `entry`.
std::string filled(const OptionEntry &entry, std::string line)
{
    if (const size_t at = line.find("{range}"); at != std::string::npos) line.replace(at, 7, allowed_values(entry));
    if (const size_t at = line.find("{default}"); at != std::string::npos) {
        char number[32];
        std::snprintf(number, sizeof number, "%g", *entry.shown_default);
        line.replace(at, 9, number);
    }
    return line;
}

// The lines of --help for one option: its names and value, then its text from
// HELP_COLUMN on.
std::string help_lines(const OptionEntry &entry)
{
    std::string head = entry.letter ? std::string("  -") + entry.letter + ", " : std::string(6, ' ');
    head += std::string("--") + entry.long_name;
    if (entry.value_name) head += std::string(" ") + entry.value_name;
    std::string text;
    for (const char *line : entry.help) {
        if (!line) break;
        head.resize(HELP_COLUMN, ' ');
        text += head + filled(entry, line) + "\n";
        head.clear();
    }
    return text;
}

// The option lines of --help, in the table's order.
std::string option_lines()
{
    std::string text;
    for (const OptionEntry &s : OPTIONS) text += help_lines(s);
    return text;
}

} // namespace

std::span<const OptionEntry> option_table() { return OPTIONS; }

std::string allowed_values(const OptionEntry &entry)
{
    switch (entry.check) {
    case ValueCheck::any: break;
    case ValueCheck::whole: return std::to_string(entry.lo) + " to " + std::to_string(entry.hi);
    case ValueCheck::positive: return std::string(entry.value_name) + " > 0";
    }
    return "";
}

const char *tolv_version() { return TOLV_VERSION; }

bool parse_options(int argc, char **argv, Options *o, std::string *error)
{
    opterr = 0;
    optind = 1;
    for (;;) {
        const int before = optind;
        const int c = getopt_long(argc, argv, SHORT_OPTIONS.data(), LONG_OPTIONS.data(), nullptr);
        if (c == -1) break;
        if (c == ':') {
            *error = "option " + written(argv[optind - 1], optopt) + " needs a value";
            return false;
        }
        const OptionEntry *entry = entry_of(c);
        if (!entry) {
            const std::string name = written(argv[before], optopt);
            *error = known_long(name) ? "option " + name + " takes no value" : "unknown option " + name;
            return false;
        }
        OptionValue value;
        if (entry->value_name && !read_value(*entry, optarg, written(argv[before], c), &value, error)) return false;
        entry->set(*o, value);
    }
    for (int i = optind; i < argc; i++) o->files.push_back(argv[i]);
    *error = late_option(argc, argv, optind);
    if (!error->empty() || !check_combination(*o, error)) return false;
    if (o->fringe_options.empty()) return true;
    const std::vector<std::string> given(o->files.begin(), o->files.end());
    return read_name_lists(o->fringe_options, &o->fringes, error) && read_name_lists(given, &o->sciences, error) &&
           check_science_files(*o, error);
}

bool enough_files(const Options &o)
{
    if (!o.fringe_options.empty()) return !o.sciences.empty();
    return o.files.size() >= ((o.recover || o.drop_journal) ? 1u : 2u);
}

bool read_name_lists(const std::vector<std::string> &given, std::vector<std::string> *names, std::string *error)
{
    for (const std::string &name : given) {
        if (name.size() < 2 || name[0] != '@') {
            names->push_back(name);
            continue;
        }
        std::ifstream list(name.substr(1));
        if (!list) {
            *error = name.substr(1) + ": the list of names cannot be read: " + std::strerror(errno);
            return false;
        }
        const size_t before = names->size();
        for (std::string line; std::getline(list, line);) {
            const size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos || line[first] == '#') continue;
            names->push_back(line.substr(first, line.find_last_not_of(" \t\r") + 1 - first));
        }
        if (list.bad()) {
            *error = name.substr(1) + ": the list of names cannot be read: " + std::strerror(errno);
            return false;
        }
        if (names->size() == before) {
            *error = name.substr(1) + ": the list names no file";
            return false;
        }
    }
    return true;
}

std::string help_text()
{
    return std::string(USAGE) +
           "       tolv [options] file fringefile1 ... fringefilen\n"
           "       tolv [options] -f fringefile [-f fringefile ...] file ...\n"
           "\n"
           "Removes fringe patterns from every image extension of a mosaic (a multi-extension\n"
           "FITS file): each extension is fitted as a constant, a gradient in x and y and a\n"
           "multiple of the same extension of each fringe frame, with sigma clipping, and\n"
           "the whole fitted model is subtracted.  The file is changed in place (safely: see\n"
           "tolv(1)) unless -o is given.  A table of every fit goes to standard output, and\n"
           "a record of what was subtracted into each corrected extension's header.\n"
           "\n"
           "Compressed files (tile-compressed images, as fpack writes them, and .gz files)\n"
           "are read as the images they hold.  In place, a compressed science file is\n"
           "rewritten whole: the corrected file is compressed as it was into a new file\n"
           "beside it, synced, and renamed over it, so the name always holds the old file\n"
           "or the new one; extensions left uncorrected keep their compressed bytes.  With\n"
           "-o, a name ending in .fz is tile-compressed and one ending in .gz gzipped.\n"
           "\n"
           "Options (before the file names; -- ends them):\n" +
           option_lines() +
           "\n"
           "Exit status: 0 after a complete run, 1 on any failure (a message on standard\n"
           "error says why).  An interrupted in-place run is finished by running the same\n"
           "command again.\n";
}

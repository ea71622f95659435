// Options of tolv: getopt_long over argv, stopping at the first file name, so that
// a name beginning with '-' after the files is still a file.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#ifndef TOLV_VERSION
#error "TOLV_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace {

enum LongOnly { OVERWRITE = 256, ITERATIONS, CLIP, TABLE, FORCE, NO_RECORD, RECOVER, DROP_JOURNAL };

constexpr option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"output", required_argument, nullptr, 'o'},
    {"overwrite", no_argument, nullptr, OVERWRITE},
    {"dry-run", no_argument, nullptr, 'n'},
    {"iterations", required_argument, nullptr, ITERATIONS},
    {"clip", required_argument, nullptr, CLIP},
    {"extname", required_argument, nullptr, 'e'},
    {"mask", required_argument, nullptr, 'm'},
    {"table", required_argument, nullptr, TABLE},
    {"quiet", no_argument, nullptr, 'q'},
    {"force", no_argument, nullptr, FORCE},
    {"no-record", no_argument, nullptr, NO_RECORD},
    {"jobs", required_argument, nullptr, 'j'},
    {"recover", no_argument, nullptr, RECOVER},
    {"drop-journal", no_argument, nullptr, DROP_JOURNAL},
    {nullptr, 0, nullptr, 0},
};

// '+': stop at the first file name; ':': a missing value is told apart.
constexpr char SHORT_OPTIONS[] = "+:hVo:ne:m:qj:";

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
    for (const option *o = LONG_OPTIONS; o->name; o++)
        if (name == std::string("--") + o->name) return true;
    return false;
}

} // namespace

const char *tolv_version() { return TOLV_VERSION; }

bool parse_options(int argc, char **argv, Options *o, std::string *error)
{
    opterr = 0;
    optind = 1;
    for (;;) {
        const int before = optind;
        const int c = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (c == -1) break;
        long number = 0;
        switch (c) {
        case 'h': o->help = true; break;
        case 'V': o->version = true; break;
        case 'o': o->output = optarg; break;
        case OVERWRITE: o->overwrite = true; break;
        case 'n': o->dry_run = true; break;
        case ITERATIONS:
            if (!whole_number(optarg, 1, 100, &number)) {
                *error = std::string("--iterations takes a whole number from 1 to 100, not '") + optarg + "'";
                return false;
            }
            o->fit.iterations = int(number);
            break;
        case CLIP:
            if (!positive_number(optarg, &o->fit.clip)) {
                *error = std::string("--clip takes a positive number, not '") + optarg + "'";
                return false;
            }
            break;
        case 'e': o->extname = optarg; break;
        case 'm': o->mask = optarg; break;
        case TABLE: o->table = optarg; break;
        case 'q': o->quiet = true; break;
        case FORCE: o->force = true; break;
        case NO_RECORD: o->record = false; break;
        case RECOVER: o->recover = true; break;
        case DROP_JOURNAL: o->drop_journal = true; break;
        case 'j':
            if (!whole_number(optarg, 1, 1024, &number)) {
                *error = written(argv[before], c) + " takes a whole number from 1 to 1024, not '" + optarg + "'";
                return false;
            }
            o->jobs = int(number);
            break;
        case ':':
            *error = "option " + written(argv[optind - 1], optopt) + " needs a value";
            return false;
        default: {
            const std::string name = written(argv[before], optopt);
            *error = known_long(name) ? "option " + name + " takes no value" : "unknown option " + name;
            return false;
        }
        }
    }
    if (o->dry_run && !o->output.empty()) {
        *error = "--dry-run writes nothing, so it does not go with --output";
        return false;
    }
    for (int i = optind; i < argc; i++) o->files.push_back(argv[i]);
    if (o->recover || o->drop_journal) {
        const char *which = o->recover ? "--recover" : "--drop-journal";
        if (o->recover && o->drop_journal) {
            *error = "--recover and --drop-journal do not go together";
            return false;
        }
        if (!o->output.empty() || o->dry_run) {
            *error = std::string(which) + " changes only the science file's journal, so it does not go with " +
                     (o->dry_run ? "--dry-run" : "--output");
            return false;
        }
        if (o->files.size() > 1) {
            *error = std::string(which) + " takes the science file alone";
            return false;
        }
    }
    return true;
}

bool enough_files(const Options &o) { return o.files.size() >= ((o.recover || o.drop_journal) ? 1u : 2u); }

std::string help_text()
{
    return std::string(USAGE) +
           "       tolv [options] file fringefile1 ... fringefilen\n"
           "\n"
           "Removes fringe patterns from every image extension of a mosaic (a multi-extension\n"
           "FITS file): each extension is fitted as a constant, a gradient in x and y and a\n"
           "multiple of the same extension of each fringe frame, with sigma clipping, and\n"
           "the whole fitted model is subtracted.  The file is changed in place (safely: see\n"
           "tolv(1)) unless -o is given.  A table of every fit goes to standard output, and\n"
           "a record of what was subtracted into each corrected extension's header.\n"
           "\n"
           "Options (before the file names; -- ends them):\n"
           "  -h, --help             this text\n"
           "  -V, --version          the version of tolv\n"
           "  -o, --output FILE      write the corrected mosaic to FILE; the science file is\n"
           "                         left untouched.  FILE is written whole or not at all\n"
           "      --overwrite        let -o replace an existing FILE\n"
           "  -n, --dry-run          fit and print the table; write nothing\n"
           "      --iterations N     clipped fits per extension, 1 to 100 (default 5)\n"
           "      --clip K           leave out pixels whose residual exceeds K sigma,\n"
           "                         K > 0 (default 2)\n"
           "  -e, --extname NAME     correct only the image extensions whose EXTNAME is NAME\n"
           "                         (case and trailing blanks ignored), matched in the\n"
           "                         fringe and mask files by EXTNAME and EXTVER\n"
           "  -m, --mask FILE        a mosaic of integer images laid out like the science\n"
           "                         file: pixels whose mask value is nonzero take no part\n"
           "                         in the fits, but are corrected\n"
           "      --table FILE       write the table to FILE instead of standard output\n"
           "  -q, --quiet            no notes on standard error (errors are still shown)\n"
           "      --force            correct again the extensions whose header says they\n"
           "                         are corrected (FRGCORR); they are skipped otherwise\n"
           "      --no-record        leave every header as it is: no record of the\n"
           "                         correction (FRGCORR ...), no checksum updated\n"
           "  -j, --jobs N           fit N extensions at once, 1 to 1024 (default: the\n"
           "                         processors tolv may use, as memory allows); the\n"
           "                         results do not depend on N\n"
           "      --recover          tolv --recover file: after an interrupted run, put back\n"
           "                         the extension it was writing, keep those it corrected\n"
           "                         and remove its journal, without finishing the run\n"
           "      --drop-journal     tolv --drop-journal file: remove the journal of an\n"
           "                         interrupted run without applying it (when the file was\n"
           "                         replaced or changed since on purpose)\n"
           "\n"
           "Exit status: 0 after a complete run, 1 on any failure (a message on standard\n"
           "error says why).  An interrupted in-place run is finished by running the same\n"
           "command again.\n";
}

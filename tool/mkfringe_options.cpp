// tolv-mkfringe's options: one table gives getopt_long its entries, --help its
// lines and each value its check.
#include "mkfringe_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

enum class Value { none, text, whole, positive };

struct MakeOption {
    const char *long_name;
    char letter;            // '\0': none
    const char *value_name; // nullptr: no value
    Value check;
    long lo, hi;            // Value::whole: the values allowed
    const char *help[3];
    void (*set)(MakeOptions &, const char *text, long whole, double positive);
};

constexpr MakeOption MAKE_OPTIONS[] = {
    {"help", 'h', nullptr, Value::none, 0, 0, {"this text"},
     [](MakeOptions &o, const char *, long, double) { o.help = true; }},
    {"version", 'V', nullptr, Value::none, 0, 0, {"the version of tolv-mkfringe"},
     [](MakeOptions &o, const char *, long, double) { o.version = true; }},
    {"output", 'o', "FILE", Value::text, 0, 0, {"the fringe mosaic to write (required); written whole", "or not at all"},
     [](MakeOptions &o, const char *t, long, double) { o.output = t; }},
    {"overwrite", '\0', nullptr, Value::none, 0, 0, {"let -o replace an existing FILE"},
     [](MakeOptions &o, const char *, long, double) { o.overwrite = true; }},
    {"extname", 'e', "NAME", Value::text, 0, 0,
     {"make only the image extensions whose EXTNAME is NAME", "(case and trailing blanks ignored), matched in every",
      "exposure and mask by EXTNAME and EXTVER"},
     [](MakeOptions &o, const char *t, long, double) { o.extname = t; }},
    {"mask", 'm', "FILE", Value::text, 0, 0,
     {"a mask mosaic for every exposure: pixels whose mask", "value is nonzero are left out"},
     [](MakeOptions &o, const char *t, long, double) { o.mask = t; }},
    {"mask-list", '\0', "FILE", Value::text, 0, 0,
     {"FILE names one mask mosaic per exposure, one a line,", "in the exposures' order"},
     [](MakeOptions &o, const char *t, long, double) { o.mask_list = t; }},
    {"object-sigma", '\0', "K", Value::positive, 0, 0,
     {"sources: residuals above K robust sigmas (default 3)"},
     [](MakeOptions &o, const char *, long, double v) { o.maker.object_sigma = v; }},
    {"grow", '\0', "R", Value::whole, 0, 100, {"grow the sources by R pixels, 0 to 100 (default 2)"},
     [](MakeOptions &o, const char *, long v, double) { o.maker.grow = int(v); }},
    {"no-normalize", '\0', nullptr, Value::none, 0, 0,
     {"keep each residual in counts (default: divided by", "the exposure's sky level)"},
     [](MakeOptions &o, const char *, long, double) { o.maker.normalize = false; }},
    {"combine", '\0', "HOW", Value::text, 0, 0, {"median (default) or mean (with --reject)"},
     [](MakeOptions &o, const char *t, long, double) {
         o.maker.combine = std::string_view(t) == "mean" ? CombineMethod::mean : CombineMethod::median;
     }},
    {"reject", '\0', "K", Value::positive, 0, 0,
     {"mean: leave out values beyond K standard deviations", "(default 3)"},
     [](MakeOptions &o, const char *, long, double v) { o.maker.reject = v; }},
    {"min-inputs", '\0', "M", Value::whole, 1, 100000,
     {"a pixel with fewer than M values is 0 (default 3)"},
     [](MakeOptions &o, const char *, long v, double) { o.maker.min_inputs = int(v); }},
    {"iterations", '\0', "N", Value::whole, 1, 100, {"clipped fits of each sky, 1 to 100 (default 5)"},
     [](MakeOptions &o, const char *, long v, double) { o.maker.sky.iterations = int(v); }},
    {"clip", '\0', "K", Value::positive, 0, 0, {"the sky fit's clip in sigma (default 2)"},
     [](MakeOptions &o, const char *, long, double v) { o.maker.sky.clip = float(v); }},
    {"force", '\0', nullptr, Value::none, 0, 0,
     {"make the frame even of exposures that were not", "dithered (their sources did not move)"},
     [](MakeOptions &o, const char *, long, double) { o.force = true; }},
    {"jobs", 'j', "N", Value::whole, 1, 1024,
     {"make N extensions at once, 1 to 1024 (default: the", "processors); the frame does not depend on N"},
     [](MakeOptions &o, const char *, long v, double) { o.jobs = int(v); }},
    {"quiet", 'q', nullptr, Value::none, 0, 0, {"no notes on standard error (errors are still shown)"},
     [](MakeOptions &o, const char *, long, double) { o.quiet = true; }},
};
constexpr size_t MAKE_OPTION_COUNT = std::size(MAKE_OPTIONS);

int code_of(size_t i) { return MAKE_OPTIONS[i].letter ? MAKE_OPTIONS[i].letter : 256 + int(i); }

// The value's check; false, with *error, when it refuses the text.
bool read_value(const MakeOption &e, const char *text, long *whole, double *positive, std::string *error)
{
    char *end = nullptr;
    errno = 0;
    const std::string name = std::string("--") + e.long_name;
    if (e.check == Value::whole) {
        *whole = std::strtol(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && *whole >= e.lo && *whole <= e.hi) return true;
        *error = name + " takes a whole number from " + std::to_string(e.lo) + " to " + std::to_string(e.hi) +
                 ", not '" + text + "'";
        return false;
    }
    if (e.check == Value::positive) {
        *positive = std::strtod(text, &end);
        if (errno == 0 && end != text && *end == '\0' && *positive > 0.0 && std::isfinite(*positive) &&
            float(*positive) > 0.0f)
            return true;
        *error = name + " takes a positive number, not '" + text + "'";
        return false;
    }
    if (std::string_view(e.long_name) == "combine" && std::string_view(text) != "median" &&
        std::string_view(text) != "mean") {
        *error = "--combine takes median or mean, not '" + std::string(text) + "'";
        return false;
    }
    return true;
}

} // namespace

bool parse_make_options(int argc, char **argv, MakeOptions *o, std::string *error)
{
    option longs[MAKE_OPTION_COUNT + 1] = {};
    std::string shorts = "+:";
    for (size_t i = 0; i < MAKE_OPTION_COUNT; i++) {
        const MakeOption &e = MAKE_OPTIONS[i];
        longs[i] = {e.long_name, e.value_name ? required_argument : no_argument, nullptr, code_of(i)};
        if (e.letter) shorts += std::string(1, e.letter) + (e.value_name ? ":" : "");
    }
    opterr = 0;
    optind = 1;
    for (;;) {
        const int before = optind;
        const int c = getopt_long(argc, argv, shorts.c_str(), longs, nullptr);
        if (c == -1) break;
        const std::string as_written = std::string_view(argv[before]).rfind("--", 0) == 0
                                           ? std::string(argv[before]).substr(0, std::string(argv[before]).find('='))
                                           : std::string("-") + char(optopt ? optopt : c);
        if (c == ':') {
            *error = "option " + as_written + " needs a value";
            return false;
        }
        const MakeOption *e = nullptr;
        for (size_t i = 0; i < MAKE_OPTION_COUNT; i++)
            if (code_of(i) == c) e = &MAKE_OPTIONS[i];
        if (!e) {
            *error = "unknown option " + as_written;
            return false;
        }
        long whole = 0;
        double positive = 0.0;
        if (e->value_name && !read_value(*e, optarg, &whole, &positive, error)) return false;
        e->set(*o, optarg, whole, positive);
    }
    for (int i = optind; i < argc; i++) o->inputs.push_back(argv[i]);
    if (!o->mask.empty() && !o->mask_list.empty()) {
        *error = "--mask and --mask-list do not go together";
        return false;
    }
    return true;
}

std::string make_help_text()
{
    std::string text = std::string(MKFRINGE_USAGE) +
                       "\n"
                       "Makes a fringe frame from dithered exposures of one camera and filter, each a\n"
                       "mosaic laid out alike: per exposure and extension the sky (a constant and a\n"
                       "gradient in x and y, fitted as tolv fits it) is removed, the sources (residuals\n"
                       "above K robust sigmas, grown) and masked pixels are left out and the residual is\n"
                       "divided by the sky level; per pixel the exposures are combined.  FRINGE.fits is\n"
                       "a fringe mosaic tolv takes.  A table of every exposure and extension goes to\n"
                       "standard output.  At least 3 exposures.\n"
                       "\n"
                       "Options (before the file names; -- ends them):\n";
    for (const MakeOption &e : MAKE_OPTIONS) {
        std::string head = e.letter ? std::string("  -") + e.letter + ", " : std::string(6, ' ');
        head += std::string("--") + e.long_name + (e.value_name ? std::string(" ") + e.value_name : "");
        for (const char *line : e.help) {
            if (!line) break;
            head.resize(25, ' ');
            text += head + line + "\n";
            head.clear();
        }
    }
    return text + "\n"
                  "Exit status: 0 when the frame is written, 1 otherwise (nothing is written then).\n"
                  "See tolv-mkfringe(1).\n";
}

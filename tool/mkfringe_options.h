// The command line of tolv-mkfringe: options before the file names, in the GNU
// getopt_long style, as tolv's; those it shares with tolv mean the same.
#ifndef TOLV_MKFRINGE_OPTIONS_H
#define TOLV_MKFRINGE_OPTIONS_H

#include "fringe_maker.h"

#include <string>
#include <vector>

struct MakeOptions {
    bool help = false, version = false;
    std::string output;      // -o: the fringe mosaic made (required)
    bool overwrite = false;  // -o may replace an existing file
    std::string extname;     // -e: only the image extensions of this EXTNAME
    std::string mask;        // -m: one mask mosaic for every exposure
    std::string mask_list;   // --mask-list: a file naming one mask per exposure
    int jobs = 0;            // -j: extensions made at once; 0: as the machine allows
    bool quiet = false;      // no notes on standard error
    bool force = false;      // make the frame of exposures that were not dithered
    MakerSettings maker;     // the sky fit, the sources, the combine
    std::vector<std::string> inputs; // the exposures
};

constexpr char MKFRINGE_USAGE[] = "Usage: tolv-mkfringe [options] -o FRINGE.fits science1.fits ... scienceN.fits\n";

// Reads argv into *o; false, with *error (the reason, without the prefix), when
// an option is unknown or a value is out of range.
bool parse_make_options(int argc, char **argv, MakeOptions *o, std::string *error);

// The text of --help.
std::string make_help_text();

#endif

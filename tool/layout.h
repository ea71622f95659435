// The check made before anything is written: every extension tolv will correct,
// in the science file and in each fringe file, is a BITPIX -32 image of the size
// of the science file's extension 1.
#ifndef TOLV_LAYOUT_H
#define TOLV_LAYOUT_H

#include "mosaic.h"

#include <string>
#include <vector>

// Empty when the mosaics can be fitted; otherwise the one line (without newline)
// that names the file, the extension, what was expected and what was found.
std::string layout_problem(const char *science_name, Mosaic science,
                           const std::vector<const char *> &fringe_names,
                           const std::vector<Mosaic> &fringes);

#endif

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

// When the walk over m's file stopped before its end at bytes that begin a unit
// (not at the unit limit `max_units`), the line naming that unit and what is wrong
// with it; empty otherwise.
std::string tail_problem(const char *name, Mosaic m, int max_units);

// True when the bytes after the indexed units of m are worth a note: they are left
// as they are.
bool has_unindexed_tail(Mosaic m);

// The first unit of m that holds a tile-compressed image (ZIMAGE = T), or 0.
int tile_compressed_unit(Mosaic m);

// What the data show before any fit: extensions of the science file with no finite
// pixel (dead[e] set: left as they are), and fits that cannot be solved whatever
// the clipping does (a fringe frame with no nonzero value where every frame and the
// science image have data, usable pixels all in one column or one row).  Returns
// the line naming the file and extension of the first such fit, or empty.  The
// mosaics have passed layout_problem.
std::string unsolvable_fit(const char *science_name, Mosaic science,
                           const std::vector<const char *> &fringe_names,
                           const std::vector<Mosaic> &fringes, std::vector<char> *dead);

#endif

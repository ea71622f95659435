// The check made before anything is written: every extension tolv will correct,
// in the science file and in each fringe file, is a BITPIX -32 image of the size
// of the science file's extension 1; and before that, the names of the inputs
// select what they can, and every header the walk took reads one way.
#ifndef TOLV_LAYOUT_H
#define TOLV_LAYOUT_H

#include "mosaic.h"

#include <string>
#include <vector>

// The mapped inputs of a run and their names; mask may be null.
struct Inputs {
    const char *science_name;
    Mosaic science;
    std::vector<const char *> fringe_names;
    std::vector<Mosaic> fringes;
    const char *mask_name;
    Mosaic mask;
    // Each name split once (mosaic_name): the science file's, then as other(k).
    MosaicName science_split;
    std::vector<MosaicName> other_split;

    // The files matched against the science file: the fringe frames, then the mask.
    int others() const { return int(fringes.size()) + (mask ? 1 : 0); }
    bool is_mask(int k) const { return k == int(fringes.size()); }
    Mosaic other(int k) const { return is_mask(k) ? mask : fringes[size_t(k)]; }
    const char *other_name(int k) const { return is_mask(k) ? mask_name : fringe_names[size_t(k)]; }
};

// One extension to correct: its unit in the science file, then its unit in each
// fringe file and (last) in the mask file.
struct PlannedUnit {
    int science;
    std::vector<int> units;
};

// The extensions to correct: every unit after the primary one, at the same number
// in every file; or, with `extname`, the image extensions of that EXTNAME (case
// and trailing blanks ignored), found in the other files by EXTNAME and EXTVER
// (1 when absent).  Empty, with *problem the line that says why, when a named one
// is missing, when two image extensions of one file share the pair used to match
// them, or when an image extension gives EXTNAME twice, or EXTVER twice or not as
// an integer.
std::vector<PlannedUnit> plan_extensions(const Inputs &in, const std::string &extname, std::string *problem);

// Empty when the planned units can be fitted: BITPIX -32 images of the first
// one's size (masks: integer images of that size).  Otherwise the one line that
// names the file, the extension, what was expected and what was found.
std::string plan_problem(const Inputs &in, const std::vector<PlannedUnit> &plan);

// Which planes of a file laid out with several per CCD (SCI/VAR/DQ, SCI/ERR,
// SCI/WHT) a run corrects when neither --extname nor a selector on the science
// name chooses: "" when the image extensions of m carry one EXTNAME or none
// (every extension is corrected, as always); "SCI" when they carry several and
// one of them is SCI (case and trailing blanks ignored), *note then saying so
// ("correcting the SCI planes only; VAR, DQ left as they are; --extname
// chooses"); "" with *problem naming the EXTNAMEs found and --extname when
// none is SCI but the names are those of planes (one names several
// extensions, or one is a plane's such as VAR, ERR, DQ or WHT); and "" when
// each CCD has a name of its own (CCD1, CCD2, ...: one plane, corrected whole).
// `doing` begins the note.
std::string default_planes(const char *name, Mosaic m, std::string *note, std::string *problem,
                           const std::string &doing = "correcting");

// The hint a refusal ends with when it may be about a plane of another kind: a
// file among the inputs holds SCI planes beside others.  Empty otherwise.
std::string sci_planes_hint(const Inputs &in);

// plan_problem over every extension of the science file and the fringe files.
std::string layout_problem(const char *science_name, Mosaic science,
                           const std::vector<const char *> &fringe_names,
                           const std::vector<Mosaic> &fringes);

// Empty when `name`, a file name as typed, selects nothing, or selects a unit of
// its mapped file m, as the library's extended names do: [N] unit N (0 the
// primary unit), [NAME] or [NAME,VER] the units of that EXTNAME or HDUNAME (FITS
// comparison; PRIMARY for the primary unit) and EXTVER (1 when absent).  Otherwise
// the line naming it: a selector that names no unit, a NAME,VER that two units
// share, or text after the selector (options) that tolv would pass over.
std::string selector_problem(const char *name, Mosaic m);
// The same for a name already split.
std::string selector_problem(const char *name, const MosaicName &split, Mosaic m);

// The line naming the first indexed unit of m (file `name`) whose header does not
// read one way (indexed_header_problem: it runs on into the next header, or its
// BITPIX, NAXIS, NAXISn, PCOUNT or GCOUNT is not an integer read as written or is
// given twice with different values); empty when there is none.
std::string size_keywords_problem(const char *name, Mosaic m);

// What the inputs themselves say before any extension is planned:
// selector_problem for each name, then size_keywords_problem for each file
// (science, fringe frames, mask).  Empty, or the first line.
std::string inputs_problem(const Inputs &in);

// The note for a mosaic without an image extension among its indexed units (a
// primary unit alone, or tables only): "no image extension to correct", saying
// too that an image in the primary unit is never corrected.  Empty otherwise.
std::string no_image_note(Mosaic m);

// Mask unit u's npix values as bytes: 1 where the value (scaled by BSCALE and
// BZERO) is nonzero.  The unit is an integer image (plan_problem checks).
void read_mask(unsigned char *to, Mosaic m, int u, int npix);

// When the walk over m's file stopped before its end at bytes that begin a unit
// (not at the unit limit `max_units`), the line naming that unit and what is wrong
// with it; empty otherwise.
std::string tail_problem(const char *name, Mosaic m, int max_units);

// True when the bytes after the indexed units of m are worth a note: they are left
// as they are.
bool has_unindexed_tail(Mosaic m);

// What the data show before any fit: planned extensions with no finite pixel
// (dead[i] set for plan[i]: left as they are), and fits that cannot be solved
// whatever the clipping does (a fringe frame with no nonzero value where every
// frame and the science image have data and no mask says no, usable pixels all in
// one column or one row).  Returns the line naming the file and extension of the
// first such fit, or empty.  The plan has passed plan_problem.
std::string unsolvable_fit(const Inputs &in, const std::vector<PlannedUnit> &plan, std::vector<char> *dead);

#endif

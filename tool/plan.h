// The second stage of a run: what it will do to each extension, decided before
// anything is written.  make_plan makes every check that can be made then (the
// names select what they can, the layouts match, the fits can be solved) and
// gives each planned extension one record that says, for the rest of the run,
// what becomes of it.
#ifndef TOLV_PLAN_H
#define TOLV_PLAN_H

#include "fringefit.h"
#include "inputs.h"
#include "journal.h"
#include "messages.h"
#include "options.h"

#include <string>
#include <vector>

// What becomes of a planned extension.
enum class PlanStep {
    fit,              // fitted, and corrected when the run writes
    dead,             // no finite pixel (a dead CCD): left as it is
    finished,         // corrected by the interrupted run this one finishes: its rows come from the journal
    corrected_before, // its header records an earlier correction: skipped (--force corrects it again)
};

// One extension of the plan: its unit in the science file and in each other input.
struct PlannedExtension {
    int e = 0;              // the science unit, as the table names it
    std::vector<int> units; // its unit in each fringe file and (last) in the mask
    PlanStep step = PlanStep::fit;
    std::string corrected_at; // corrected_before: when (FRGCORR)
    size_t job = 0;           // fit: its place among the extensions fitted
};

struct Plan {
    FitGeometry g{};
    std::vector<PlannedExtension> extensions; // in the order the table lists them
    std::vector<size_t> jobs;                 // the extensions to fit, as indices into `extensions`
    int finished = 0;                         // extensions the interrupted run completed

    const PlannedExtension &job(size_t j) const { return extensions[jobs[j]]; }
    bool has(int e) const;
    // No extension to fit, and some were corrected before.
    bool nothing_to_correct() const;
    // The extensions a run that stopped at extensions[stop] corrected and those it
    // left, for the message that ends it: "extension 1 is corrected, extensions 2
    // and 3 are left as they were".
    std::string stopped_at(size_t stop) const;
};

// Makes the plan of a run on inputs `in` (the journal, when the run is in place,
// says which extensions an interrupted run finished); notes go to `messages`.
// A status when the run is refused (its lines printed), else 0.
int make_plan(const Inputs &in, const Options &o, const Journal *journal, const Messages &messages, Plan *plan);

// The inputs of job j's fit, read through the mappings of `in`; `mask` is the
// worker's buffer for the mask.  The inputs of the next jobs are asked for meanwhile.
ExtensionData fit_inputs(const Inputs &in, const Plan &plan, size_t j, std::vector<unsigned char> &mask);

// Drops the pages of job j's inputs from memory once its fit has read them (the
// files keep the bytes): its fringe and mask units, and its science unit when
// `science_too` (nothing is written into it).
void release_fit_inputs(const Inputs &in, const Plan &plan, size_t j, bool science_too);

// Drops the pages of pixels [first, first + count) of job j's science and
// fringe units (the files keep the bytes).
void release_fit_pixels(const Inputs &in, const Plan &plan, size_t j, int first, int count);

// "extension 1 is", "extensions 2 and 3 are", "extensions 1, 2 and 4 are".
std::string extensions_are(const std::vector<int> &list);

#endif

// The plan: the checks made before the first write, in the order a user meets
// them (names, headers, layouts, then what the data allow), and each extension's
// step for the rest of the run.
#include "plan.h"

#include "lufit.h"
#include "record.h"

namespace {

std::string extension_range(int first, int last)
{
    if (first > last) return "no extension";
    if (first == last) return "extension " + std::to_string(first);
    return "extensions " + std::to_string(first) + " to " + std::to_string(last);
}

// The problem that refuses the inputs before any extension is planned, or the
// plan itself; empty when there is none.
std::string planning_problem(const Inputs &in, const Options &o, const Messages &messages,
                             std::vector<PlannedUnit> *units)
{
    std::string problem = inputs_problem(in);
    if (problem.empty()) problem = tail_problem(in.science_name, in.science, MAX_UNITS);
    const std::string no_image = problem.empty() && o.extname.empty() ? no_image_note(in.science) : "";
    if (!no_image.empty()) messages.note(no_image);
    // A file of several planes per CCD: its SCI planes, unless the user chose.
    std::string extname = o.extname;
    const bool chosen = !o.extname.empty() || !in.science_split.extn.empty() || in.science_split.index >= 0;
    if (problem.empty() && !chosen) {
        std::string note;
        extname = default_planes(in.science_name, in.science, &note, &problem);
        if (!note.empty()) messages.note(note);
    }
    if (problem.empty()) *units = plan_extensions(in, extname, &problem);
    if (problem.empty()) {
        problem = plan_problem(in, *units);
        if (!problem.empty() && extname.empty()) problem += sci_planes_hint(in);
    }
    return problem;
}

// The notes a plan gives before the table: what cannot be recorded, what is left
// after the units, what an interrupted run left.
void plan_notes(const Inputs &in, const Options &o, const Journal *journal, const Messages &messages)
{
    if (o.record && !o.dry_run && in.fringes.size() > size_t(RECORD_MAX_FRINGES))
        messages.note("a record names at most " + std::to_string(RECORD_MAX_FRINGES) +
                      " fringe frames: no record is written");
    if (has_unindexed_tail(in.science))
        messages.note("only units 0 to " + std::to_string(in.science->count - 1) + " are corrected; the " +
                      std::to_string(in.science->file->size - in.science->file->units_end) +
                      " bytes after them are left as they are");
    if (journal && (journal->restored() || !journal->done().empty())) {
        int last_done = 0;
        for (const auto &[e, rows] : journal->done()) last_done = e > last_done ? e : last_done;
        messages.note("finishing an interrupted run: " +
                      (journal->restored() ? extension_range(journal->restored(), journal->restored())
                                           : "no extension") +
                      " put back as it was, " +
                      (journal->done().empty() ? "none" : extension_range(1, last_done)) + " already corrected");
    }
}

// One fit over the exposure takes every extension as it was taken: a file of
// which some extensions are corrected and others not is refused.
std::string mixed_exposure(const Plan &plan)
{
    std::vector<int> corrected, not_yet;
    for (const PlannedExtension &x : plan.extensions)
        if (x.step == PlanStep::corrected_before) corrected.push_back(x.e);
        else if (x.step == PlanStep::fit) not_yet.push_back(x.e);
    if (corrected.empty() || not_yet.empty()) return "";
    return extensions_are(corrected) + " corrected already (FRGCORR) and " + extensions_are(not_yet) +
           " not: one fit over the exposure takes them all as they are; --force corrects them all again" + NOTHING_DONE;
}

} // namespace

int make_plan(const Inputs &in, const Options &o, const Journal *journal, const Messages &messages, Plan *plan)
{
    std::vector<PlannedUnit> units;
    const std::string problem = planning_problem(in, o, messages, &units);
    if (!problem.empty()) return messages.refuse(problem);
    std::vector<char> dead;
    const std::string unsolvable = unsolvable_fit(in, units, &dead);
    if (!unsolvable.empty()) {
        messages.refuse(unsolvable);
        return messages.numeric_error(SINGULAR_MESSAGE);
    }
    plan->g = fit_geometry(in.science, int(in.fringes.size()), units.empty() ? 1 : units[0].science);
    for (size_t i = 0; i < units.size(); i++) {
        PlannedExtension x;
        x.e = units[i].science;
        x.units = units[i].units;
        // Extensions whose header records an earlier correction are skipped.
        if (!dead[i] && !o.force) {
            x.corrected_at = corrected_at(in.science->head[x.e]);
            mosaic_release_unit(in.science, x.e);
        }
        if (dead[i]) x.step = PlanStep::dead;
        else if (journal && journal->done().count(x.e)) x.step = PlanStep::finished;
        else if (!x.corrected_at.empty()) x.step = PlanStep::corrected_before;
        if (x.step == PlanStep::fit) {
            x.job = plan->jobs.size();
            plan->jobs.push_back(plan->extensions.size());
        }
        plan->finished += x.step == PlanStep::finished;
        plan->extensions.push_back(std::move(x));
    }
    if (o.per_exposure)
        if (const std::string mixed = mixed_exposure(*plan); !mixed.empty()) return messages.refuse_science(mixed);
    plan_notes(in, o, journal, messages);
    return 0;
}

bool Plan::has(int e) const
{
    for (const PlannedExtension &x : extensions)
        if (x.e == e) return true;
    return false;
}

bool Plan::nothing_to_correct() const
{
    bool some = false;
    for (const PlannedExtension &x : extensions) {
        if (x.step == PlanStep::fit || x.step == PlanStep::finished) return false;
        some = some || x.step == PlanStep::corrected_before;
    }
    return some;
}

std::string Plan::stopped_at(size_t stop) const
{
    std::vector<int> corrected, left;
    for (size_t i = 0; i < extensions.size(); i++)
        if (extensions[i].step != PlanStep::dead && extensions[i].corrected_at.empty())
            (i < stop ? corrected : left).push_back(extensions[i].e);
    return (corrected.empty() ? std::string("no extension is corrected") : extensions_are(corrected) + " corrected") +
           ", " + extensions_are(left) + " left as " + (left.size() == 1 ? "it was" : "they were");
}

std::string extensions_are(const std::vector<int> &list)
{
    std::string text = list.size() == 1 ? "extension " : "extensions ";
    for (size_t i = 0; i < list.size(); i++) {
        if (i > 0) text += i + 1 == list.size() ? " and " : ", ";
        text += std::to_string(list[i]);
    }
    return text + (list.size() == 1 ? " is" : " are");
}

ExtensionData fit_inputs(const Inputs &in, const Plan &plan, size_t j, std::vector<unsigned char> &mask)
{
    const PlannedExtension &x = plan.job(j);
    const int64_t bytes = int64_t(plan.g.npix) * 4;
    mosaic_prefetch(in.science, in.science->data[x.e], bytes);
    for (size_t k = 0; k < in.fringes.size(); k++) mosaic_prefetch(in.fringes[k], in.fringes[k]->data[x.units[k]], bytes);
    ExtensionData d;
    d.extn = x.e;
    d.science = in.science->data[x.e];
    for (size_t k = 0; k < in.fringes.size(); k++) d.fringes.push_back(in.fringes[k]->data[x.units[k]]);
    if (in.mask) {
        read_mask(mask.data(), in.mask, x.units.back(), plan.g.npix);
        d.mask = mask.data();
    }
    return d;
}

void release_fit_pixels(const Inputs &in, const Plan &plan, size_t j, int first, int count)
{
    const PlannedExtension &x = plan.job(j);
    const int64_t at = int64_t(first) * 4, bytes = int64_t(count) * 4;
    mosaic_release(in.science, static_cast<const unsigned char *>(in.science->data[x.e]) + at, bytes);
    for (size_t k = 0; k < in.fringes.size(); k++)
        mosaic_release(in.fringes[k], static_cast<const unsigned char *>(in.fringes[k]->data[x.units[k]]) + at, bytes);
}

void release_fit_inputs(const Inputs &in, const Plan &plan, size_t j, bool science_too)
{
    const PlannedExtension &x = plan.job(j);
    const int64_t bytes = int64_t(plan.g.npix) * 4;
    for (size_t k = 0; k < in.fringes.size(); k++) mosaic_release(in.fringes[k], in.fringes[k]->data[x.units[k]], bytes);
    if (in.mask) mosaic_release(in.mask, in.mask->data[x.units.back()], in.mask->head[x.units.back()]->basic->databytes);
    if (science_too) mosaic_release(in.science, in.science->data[x.e], bytes);
}

// Every unit the fit reads or writes must hold exactly nx * ny big-endian floats
// inside its mapping; anything else is refused before the first write.
#include "layout.h"

#include "big_endian.h"
#include "messages.h"
#include "record.h"
#include "unit_check.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

std::string describe(FITSHead h)
{
    if (!h || !h->basic) return "a unit whose header cannot be interpreted";
    const FITSBasic b = h->basic;
    if (!h->image) {
        FITSCard card;
        const std::string kind = ft_headget(h, "XTENSION", 0, &card);
        return kind.empty() ? "a unit that is not an image" : "a " + kind + " extension";
    }
    std::string text = "BITPIX " + std::to_string(b->bitpix) + ", ";
    if (b->naxes == 0) return text + "no axes";
    for (int i = 0; i < b->naxes; i++) text += (i ? " x " : "") + std::to_string(b->naxis[i]);
    return text + " pixels";
}

// True when unit e of m is a BITPIX -32 image of nx x ny pixels.
bool is_float_image(Mosaic m, int e, int nx, int ny)
{
    const FITSHead h = m->head[e];
    if (!h || !h->basic || !h->image || !m->data[e]) return false;
    const FITSBasic b = h->basic;
    return b->bitpix == -32 && b->naxes >= 2 && b->naxis[0] == nx && b->naxis[1] == ny &&
           b->datapixls == int64_t(nx) * ny;
}

// True when unit e of m is an integer image (BITPIX 8, 16, 32 or 64) of nx x ny pixels;
// read_mask reads its elements by that size.
bool is_integer_image(Mosaic m, int e, int nx, int ny)
{
    const FITSHead h = m->head[e];
    if (!h || !h->basic || !h->image || !m->data[e]) return false;
    const FITSBasic b = h->basic;
    const bool integer = b->bitpix == 8 || b->bitpix == 16 || b->bitpix == 32 || b->bitpix == 64;
    return integer && b->naxes >= 2 && b->naxis[0] == nx && b->naxis[1] == ny &&
           b->datapixls == int64_t(nx) * ny;
}

// EXTNAME of unit u ("" when absent) and EXTVER (1 when absent).
std::string extname_of(Mosaic m, int u)
{
    FITSCard card = nullptr;
    const char *v = ft_headget(m->head[u], "EXTNAME", 0, &card);
    return card ? fits_string_key(v) : "";
}

int extver_of(Mosaic m, int u)
{
    FITSCard card = nullptr;
    return ft_headgeti(m->head[u], "EXTVER", 0, 1, &card);
}

bool is_image_extension(Mosaic m, int u) { return m->head[u] && m->head[u]->basic && m->head[u]->image; }

std::string unit_name(int u) { return u == 0 ? "primary unit" : "extension " + std::to_string(u); }

// "extensions 2 and 5 are both EXTNAME 'SCI' EXTVER 1", the name as unit a writes it.
std::string same_pair(Mosaic m, int a, int b, int ver)
{
    FITSCard card = nullptr;
    std::string name = ft_headget(m->head[a], "EXTNAME", 0, &card);
    name.erase(name.find_last_not_of(' ') + 1);
    return (a == 0 ? "the primary unit and extension " : "extensions " + std::to_string(a) + " and ") +
           std::to_string(b) + " are both EXTNAME '" + name + "' EXTVER " + std::to_string(ver);
}

// One image extension that --extname matches by its EXTNAME and EXTVER.
struct Named {
    int unit, ver;
};

// The image extensions of m whose EXTNAME is `want` (a fits_string_key), in file
// order.  With pairs to match, every image extension must give one EXTNAME, and
// those named so one integer EXTVER: otherwise *problem names the unit.
std::vector<Named> named_extensions(const char *file, Mosaic m, const std::string &want, std::string *problem)
{
    std::vector<Named> named;
    for (int u = 1; u < m->count; u++) {
        if (!is_image_extension(m, u)) continue;
        std::string why = keyword_problem(m->head[u], "EXTNAME", KeywordKind::text);
        const bool wanted = why.empty() && extname_of(m, u) == want;
        if (wanted) why = keyword_problem(m->head[u], "EXTVER", KeywordKind::integer);
        if (!why.empty()) {
            *problem = file_line(file, unit_name(u) + ": " + why);
            return {};
        }
        if (wanted) named.push_back({u, extver_of(m, u)});
    }
    return named;
}

std::string problem(const char *file, int e, const std::string &expected, const std::string &found)
{
    return file_line(file, "extension " + std::to_string(e) + ": expected " + expected + ", found " + found);
}

inline bool nonzero_bits(uint32_t bits) { return (bits & 0x7fffffffu) != 0; }

} // namespace

std::string tail_problem(const char *name, Mosaic m, int max_units)
{
    const MosaicFile *f = m->file;
    if (m->count >= max_units || f->units_end >= f->size) return "";
    const unsigned char *p = f->map + f->units_end;
    const int64_t n = f->size - f->units_end;
    if (!looks_like_a_header(p, n)) return "";
    std::string why = unit_problem(p, n);
    if (why.empty()) why = "it cannot be read";
    return file_line(name, "extension " + std::to_string(m->count) + ": " + why);
}

bool has_unindexed_tail(Mosaic m) { return m->file->units_end < m->file->size; }

namespace {

// The extensions to correct as the options say, before the selectors.
std::vector<PlannedUnit> plan_of_names(const Inputs &in, const std::string &extname, std::string *problem)
{
    std::vector<PlannedUnit> plan;
    if (extname.empty()) {
        for (int e = 1; e < in.science->count; e++) plan.push_back({e, std::vector<int>(size_t(in.others()), e)});
        return plan;
    }
    const std::string want = fits_string_key(extname);
    const std::vector<Named> science = named_extensions(in.science_name, in.science, want, problem);
    if (!problem->empty()) return {};
    if (science.empty()) {
        *problem = file_line(in.science_name, "no image extension has EXTNAME '" + extname + "'");
        return {};
    }
    // A pair that two science extensions share would find the same units elsewhere.
    for (size_t i = 0; i < science.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (science[j].ver == science[i].ver) {
                *problem = file_line(in.science_name,
                                     same_pair(in.science, science[j].unit, science[i].unit, science[i].ver) +
                                         ": each is matched in the other files by that pair, so the match "
                                         "would be ambiguous");
                return {};
            }
    std::vector<std::vector<Named>> others;
    for (int k = 0; k < in.others(); k++) {
        others.push_back(named_extensions(in.other_name(k), in.other(k), want, problem));
        if (!problem->empty()) return {};
    }
    for (const Named &s : science) {
        PlannedUnit p{s.unit, {}};
        for (int k = 0; k < in.others(); k++) {
            std::vector<int> found;
            for (const Named &o : others[size_t(k)])
                if (o.ver == s.ver) found.push_back(o.unit);
            if (found.empty()) {
                *problem = file_line(in.other_name(k), "no image extension with EXTNAME '" + extname + "' and EXTVER " +
                                                             std::to_string(s.ver) + " (for extension " +
                                                             std::to_string(s.unit) + " of " + in.science_name + ")");
                return {};
            }
            if (found.size() > 1) {
                *problem = file_line(in.other_name(k), same_pair(in.other(k), found[0], found[1], s.ver) +
                                                             ": the match for extension " + std::to_string(s.unit) +
                                                             " of " + in.science_name + " would be ambiguous");
                return {};
            }
            p.units.push_back(found[0]);
        }
        plan.push_back(p);
    }
    return plan;
}

} // namespace

std::string selector_problem(const char *name, Mosaic m) { return selector_problem(name, mosaic_name(name), m); }

namespace {

// The units a selector names: by EXTNAME or HDUNAME ("PRIMARY" for the primary
// unit), and by EXTVER when it gives one; by number without a name.
std::vector<int> units_named(const MosaicName &split, Mosaic m)
{
    if (split.extn.empty()) {
        if (split.index >= 0 && split.index < m->count) return {split.index};
        return {};
    }
    const std::string want = fits_string_key(split.extn.c_str());
    std::vector<int> found;
    for (int u = 0; u < m->count; u++) {
        FITSCard hduname = nullptr;
        const std::string other = fits_string_key(ft_headget(m->head[u], "HDUNAME", 0, &hduname));
        const bool named = extname_of(m, u) == want || (hduname && other == want) || (u == 0 && want == "PRIMARY");
        if (named && (split.index < 0 || extver_of(m, u) == split.index)) found.push_back(u);
    }
    return found;
}

bool has_selector(const MosaicName &split) { return !split.extn.empty() || split.index >= 0; }

// Whether other file k was named with a selector (inputs made without names have none).
bool other_selects(const Inputs &in, int k)
{
    return size_t(k) < in.other_split.size() && has_selector(in.other_split[size_t(k)]);
}

// The plan cut to the unit the science file's selector names (its other files'
// units as without it), with the units the other files' selectors name; such a
// selector picks that file's unit for the one extension corrected, so it is
// refused when more than one is.
std::vector<PlannedUnit> selected(const Inputs &in, std::vector<PlannedUnit> plan, const std::string &extname,
                                  std::string *problem)
{
    bool others = false;
    for (int k = 0; k < in.others(); k++) others = others || other_selects(in, k);
    std::vector<PlannedUnit> one = plan;
    const std::vector<int> named = units_named(in.science_split, in.science);
    const int unit = named.empty() ? -1 : named[0];
    if (has_selector(in.science_split)) {
        one.clear();
        for (const PlannedUnit &p : plan)
            if (p.science == unit) one.push_back(p);
    } else if (others && plan.size() > 1) {
        *problem = tool_line("a unit selector on a fringe frame or mask picks its unit for one extension, and " +
                             std::to_string(plan.size()) + " are corrected: select one in the science file too");
        return {};
    }
    if (one.empty() && has_selector(in.science_split)) {
        *problem = file_line(in.science_name, "the selector names unit " + std::to_string(unit) +
                                                  ", which is not an image extension to correct" +
                                                  (extname.empty() ? "" : " with EXTNAME '" + extname + "'"));
        return {};
    }
    for (int k = 0; k < in.others() && !one.empty(); k++) {
        if (!other_selects(in, k)) continue;
        const std::vector<int> picked = units_named(in.other_split[size_t(k)], in.other(k));
        if (picked.empty()) {
            *problem = file_line(in.other_name(k), "the selector names no unit");
            return {};
        }
        one[0].units[size_t(k)] = picked[0];
    }
    return one;
}

} // namespace

std::vector<PlannedUnit> plan_extensions(const Inputs &in, const std::string &extname, std::string *problem)
{
    std::vector<PlannedUnit> plan = plan_of_names(in, extname, problem);
    return problem->empty() ? selected(in, std::move(plan), extname, problem) : plan;
}

std::string selector_problem(const char *name, const MosaicName &split, Mosaic m)
{
    const char *path = split.path.c_str(), *extn = split.extn.c_str(), *tail = split.tail.c_str();
    const int indx = split.index;
    const std::string line = file_line(name, "");
    if (tail[0])
        return line + tail + " is not a unit selector (a unit number, or an EXTNAME perhaps with an EXTVER)";
    if (!extn[0]) {
        if (indx < m->count) return "";
        return line + "the selector names no unit: the units read from " + path + " are 0 to " +
               std::to_string(m->count - 1);
    }
    const std::vector<int> found = units_named(split, m);
    if (found.empty())
        return line + "the selector names no unit: no unit of " + path + " has EXTNAME or HDUNAME '" + extn + "'" +
               (indx < 0 ? "" : " and EXTVER " + std::to_string(indx));
    if (indx >= 0 && found.size() > 1)
        return line + same_pair(m, found[0], found[1], indx) + ": the selector is ambiguous";
    return "";
}

std::string size_keywords_problem(const char *name, Mosaic m)
{
    for (int u = 0; u < m->count; u++) {
        const FITSHead h = m->head[u];
        if (!h) continue;
        const std::string why = indexed_header_problem(h);
        mosaic_release(m, h->cards, int64_t(h->ncard) * 80);
        if (!why.empty()) return file_line(name, unit_name(u) + ": " + why);
    }
    return "";
}

std::string inputs_problem(const Inputs &in)
{
    std::string problem = selector_problem(in.science_name, in.science_split, in.science);
    for (int k = 0; k < in.others() && problem.empty(); k++)
        problem = selector_problem(in.other_name(k), in.other_split[size_t(k)], in.other(k));
    if (problem.empty()) problem = size_keywords_problem(in.science_name, in.science);
    for (int k = 0; k < in.others() && problem.empty(); k++)
        problem = size_keywords_problem(in.other_name(k), in.other(k));
    return problem;
}

std::string no_image_note(Mosaic m)
{
    for (int u = 1; u < m->count; u++)
        if (is_image_extension(m, u)) return "";
    const FITSBasic primary = m->head[0]->basic;
    return std::string("no image extension to correct") +
           (primary && primary->databytes > 0 ? "; the image in the primary unit is never corrected" : "");
}

std::string plan_problem(const Inputs &in, const std::vector<PlannedUnit> &plan)
{
    if (plan.empty()) return "";
    const Mosaic science = in.science;
    const int first = plan[0].science;
    const FITSHead h1 = science->head[first];
    const FITSBasic b1 = h1 ? h1->basic : nullptr;
    if (!b1 || !h1->image || b1->bitpix != -32 || b1->naxes < 2 || b1->naxis[0] < 1 || b1->naxis[1] < 1 ||
        int64_t(b1->naxis[0]) * b1->naxis[1] > INT_MAX || b1->datapixls != int64_t(b1->naxis[0]) * b1->naxis[1] ||
        !science->data[first])
        return problem(in.science_name, first, "a BITPIX -32 image of two axes", describe(h1));
    const int nx = b1->naxis[0], ny = b1->naxis[1];
    const std::string size = std::to_string(nx) + " x " + std::to_string(ny) + " pixels";
    const std::string expected = "a BITPIX -32 image of " + size;
    for (const PlannedUnit &p : plan)
        if (!is_float_image(science, p.science, nx, ny))
            return problem(in.science_name, p.science, expected, describe(science->head[p.science]));
    for (int k = 0; k < in.others(); k++) {
        const bool is_mask = in.is_mask(k);
        const Mosaic f = in.other(k);
        const char *name = in.other_name(k);
        for (const PlannedUnit &p : plan) {
            const int u = p.units[size_t(k)];
            if (u >= f->count) {
                // A unit there that is not whole says more than its absence.
                const std::string damaged = tail_problem(name, f, MOSAIC_MAX_UNITS + 1);
                if (!damaged.empty()) return damaged;
                return problem(name, u, is_mask ? "an integer image of " + size : expected,
                               "no such extension (the file has " + std::to_string(f->count) + " units)");
            }
            if (is_mask ? !is_integer_image(f, u, nx, ny) : !is_float_image(f, u, nx, ny))
                return problem(name, u, is_mask ? "an integer image of " + size : expected, describe(f->head[u]));
            // An exposure tolv corrected is no fringe frame (the file names given
            // in the wrong order, or a glob that took in the exposures).
            if (const std::string at = is_mask ? "" : corrected_at(f->head[u]); !at.empty())
                return problem(name, u, "a fringe frame", "an exposure corrected at " + at + " (FRGCORR)");
        }
    }
    return "";
}

std::string layout_problem(const char *science_name, Mosaic science, const std::vector<const char *> &fringe_names,
                           const std::vector<Mosaic> &fringes)
{
    const Inputs in{science_name, science, fringe_names, fringes, nullptr, nullptr, {}, {}};
    std::string ignored;
    return plan_problem(in, plan_extensions(in, "", &ignored));
}

void read_mask(unsigned char *to, Mosaic m, int u, int npix)
{
    const FITSHead h = m->head[u];
    const int size = ft_sizeof(h->basic->bitpix);
    const double scale = h->image->has_bscale ? h->image->dbscale : 1.0;
    const double zero = h->image->has_bzero ? h->image->dbzero : 0.0;
    const auto *b = static_cast<const unsigned char *>(m->data[u]);
    for (int p = 0; p < npix; p++, b += size) {
        const int64_t raw = size == 1   ? int64_t(b[0]) // BITPIX 8 is unsigned
                            : size == 2 ? int64_t(load_be<int16_t>(b))
                            : size == 4 ? int64_t(load_be<int32_t>(b))
                                        : load_be<int64_t>(b);
        to[p] = scale == 1.0 && zero == 0.0 ? raw != 0 : double(raw) * scale + zero != 0.0;
    }
}

std::string unsolvable_fit(const Inputs &in, const std::vector<PlannedUnit> &plan, std::vector<char> *dead)
{
    dead->assign(plan.size(), 0);
    if (plan.empty()) return "";
    const FITSBasic b1 = in.science->head[plan[0].science]->basic;
    const int nx = b1->naxis[0], ny = b1->naxis[1];
    const size_t nf = in.fringes.size();
    std::vector<unsigned char> mask(in.mask ? size_t(nx) * size_t(ny) : 0);
    auto named = [](const char *file, int e, const std::string &what) {
        return file_line(file, "extension " + std::to_string(e) + ": " + what + "; the fit cannot be solved");
    };
    for (size_t i = 0; i < plan.size(); i++) {
        const PlannedUnit &pu = plan[i];
        const int e = pu.science;
        if (in.mask) read_mask(mask.data(), in.mask, pu.units[nf], nx * ny);
        // Stop scanning once every basis function is known to be nonzero somewhere.
        bool any_finite = false, any_usable = false, gx = false, gy = false;
        std::vector<char> fringe_seen(nf, 0);
        size_t fringes_seen = 0;
        for (int y = 0; y < ny && !(gx && gy && fringes_seen == nf); y++)
            for (int x = 0; x < nx; x++) {
                const int64_t p = int64_t(y) * nx + x;
                if (!finite_bits(be32_at(in.science->data[e], p))) continue;
                any_finite = true;
                bool usable = !in.mask || !mask[size_t(p)];
                for (size_t k = 0; k < nf && usable; k++)
                    usable = finite_bits(be32_at(in.fringes[k]->data[pu.units[k]], p));
                if (!usable) continue;
                any_usable = true;
                gx = gx || x != nx / 2;
                gy = gy || y != ny / 2;
                for (size_t k = 0; k < nf; k++)
                    if (!fringe_seen[k] && nonzero_bits(be32_at(in.fringes[k]->data[pu.units[k]], p))) {
                        fringe_seen[k] = 1;
                        fringes_seen++;
                    }
            }
        // What the scan read is read again only when the extension is fitted.
        mosaic_release_unit(in.science, e);
        for (int k = 0; k < in.others(); k++) mosaic_release_unit(in.other(k), pu.units[size_t(k)]);
        if (!any_finite) {
            (*dead)[i] = 1;
            continue;
        }
        if (!any_usable)
            return named(in.science_name, e,
                         "no unmasked pixel has a finite value in the science image and every fringe frame");
        for (size_t k = 0; k < nf; k++)
            if (!fringe_seen[k])
                return named(in.fringe_names[k], pu.units[k],
                             "the fringe frame is zero wherever the science image has data");
        if (!gx)
            return named(in.science_name, e,
                         nx == 1 ? "an image one pixel wide has no x gradient"
                                 : "every usable pixel lies in column " + std::to_string(nx / 2 + 1));
        if (!gy)
            return named(in.science_name, e,
                         ny == 1 ? "an image one pixel high has no y gradient"
                                 : "every usable pixel lies in row " + std::to_string(ny / 2 + 1));
    }
    return "";
}

namespace {

// The EXTNAMEs of m's image extensions as written (blanks after them dropped;
// "" for none), each once, in the order met; `sci` set when one is SCI, and
// `repeated` when one names several extensions (planes told apart by EXTVER).
std::vector<std::string> plane_names(Mosaic m, bool *sci, bool *repeated = nullptr)
{
    std::vector<std::string> names, keys;
    *sci = false;
    if (repeated) *repeated = false;
    for (int u = 1; u < m->count; u++) {
        if (!is_image_extension(m, u)) continue;
        FITSCard card = nullptr;
        const char *v = ft_headget(m->head[u], "EXTNAME", 0, &card);
        std::string written = card && v ? v : "";
        while (!written.empty() && written.back() == ' ') written.pop_back();
        const std::string key = fits_string_key(written);
        *sci = *sci || key == "SCI";
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            if (repeated) *repeated = true;
            continue;
        }
        keys.push_back(key);
        names.push_back(written);
    }
    return names;
}

// The EXTNAMEs pipelines give the planes beside the science one.
bool names_a_plane(const std::string &name)
{
    static constexpr std::string_view planes[] = {"VAR", "VARIANCE", "ERR", "ERROR", "SIGMA", "UNCERT", "DQ",
                                                  "MASK", "BPM", "WHT", "WGT", "WEIGHT", "SKYFIT", "SKY", "CON"};
    const std::string key = fits_string_key(name);
    return std::find(std::begin(planes), std::end(planes), key) != std::end(planes);
}

std::string listed(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &n : names) text += (text.empty() ? "" : ", ") + (n.empty() ? std::string("(none)") : n);
    return text;
}

} // namespace

std::string default_planes(const char *name, Mosaic m, std::string *note, std::string *problem,
                           const std::string &doing)
{
    bool sci = false, repeated = false;
    const std::vector<std::string> names = plane_names(m, &sci, &repeated);
    if (names.size() < 2) return "";
    if (!sci) {
        // A name per CCD (CCD1, CCD2, ...): a mosaic of one plane, corrected whole.
        const bool planes = repeated || std::any_of(names.begin(), names.end(), names_a_plane);
        if (!planes) return "";
        *problem = file_line(name, "the image extensions carry several EXTNAMEs (" + listed(names) +
                                       "): --extname chooses the planes; nothing was done");
        return "";
    }
    std::vector<std::string> others;
    for (const std::string &n : names)
        if (fits_string_key(n) != "SCI") others.push_back(n);
    *note = doing + " the SCI planes only; " + listed(others) + " left as they are; --extname chooses";
    return "SCI";
}

std::string sci_planes_hint(const Inputs &in)
{
    for (int k = -1; k < in.others(); k++) {
        bool sci = false;
        if (plane_names(k < 0 ? in.science : in.other(k), &sci).size() > 1 && sci)
            return "; --extname SCI corrects only the SCI planes";
    }
    return "";
}

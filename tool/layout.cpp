// Every unit the fit reads or writes must hold exactly nx * ny big-endian floats
// inside its mapping; anything else is refused before the first write.
#include "layout.h"

#include <climits>
#include <cstdio>

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

std::string problem(const char *file, int e, const std::string &expected, const std::string &found)
{
    return std::string("tolv: ") + file + ": extension " + std::to_string(e) + ": expected " + expected +
           ", found " + found;
}

} // namespace

std::string layout_problem(const char *science_name, Mosaic science,
                           const std::vector<const char *> &fringe_names,
                           const std::vector<Mosaic> &fringes)
{
    if (science->count < 2) return "";
    const FITSHead h1 = science->head[1];
    const FITSBasic b1 = h1 ? h1->basic : nullptr;
    if (!b1 || !h1->image || b1->bitpix != -32 || b1->naxes < 2 || b1->naxis[0] < 1 ||
        b1->naxis[1] < 1 || int64_t(b1->naxis[0]) * b1->naxis[1] > INT_MAX ||
        b1->datapixls != int64_t(b1->naxis[0]) * b1->naxis[1] || !science->data[1])
        return problem(science_name, 1, "a BITPIX -32 image of two axes", describe(h1));
    const int nx = b1->naxis[0], ny = b1->naxis[1];
    const std::string expected =
        "a BITPIX -32 image of " + std::to_string(nx) + " x " + std::to_string(ny) + " pixels";
    for (int e = 2; e < science->count; e++)
        if (!is_float_image(science, e, nx, ny)) return problem(science_name, e, expected, describe(science->head[e]));
    for (size_t k = 0; k < fringes.size(); k++) {
        const Mosaic f = fringes[k];
        for (int e = 1; e < science->count; e++) {
            if (e >= f->count)
                return problem(fringe_names[k], e, expected,
                               "no such extension (the file has " + std::to_string(f->count) + " units)");
            if (!is_float_image(f, e, nx, ny)) return problem(fringe_names[k], e, expected, describe(f->head[e]));
        }
    }
    return "";
}

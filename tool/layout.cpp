// Every unit the fit reads or writes must hold exactly nx * ny big-endian floats
// inside its mapping; anything else is refused before the first write.
#include "layout.h"

#include "unit_check.h"

#include <climits>
#include <cstdio>
#include <cstring>

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

// Big-endian float bits at pixel p of unit e's data.
inline uint32_t float_bits(Mosaic m, int e, int64_t p)
{
    const unsigned char *b = static_cast<const unsigned char *>(m->data[e]) + p * 4;
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

inline bool finite_bits(uint32_t bits) { return (bits & 0x7f800000u) != 0x7f800000u; }
inline bool nonzero_bits(uint32_t bits) { return (bits & 0x7fffffffu) != 0; }

// Columns 1-9 of the first card within two bytes of SIMPLE's or XTENSION's, or a
// cut inside them: a unit begins there, though perhaps a damaged one.  Other bytes
// after the last unit (zeros, a stray line) are not taken for one.
bool looks_like_a_header(const unsigned char *p, int64_t n)
{
    for (const char *start : {"XTENSION=", "SIMPLE  ="}) {
        const int64_t cols = n < 9 ? n : 9;
        int differ = 0;
        for (int64_t i = 0; i < cols; i++) differ += p[i] != static_cast<unsigned char>(start[i]);
        if (differ == 0 || (cols == 9 && differ <= 2)) return true;
    }
    return false;
}

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
    return std::string("tolv: ") + name + ": extension " + std::to_string(m->count) + ": " + why;
}

bool has_unindexed_tail(Mosaic m) { return m->file->units_end < m->file->size; }

int tile_compressed_unit(Mosaic m)
{
    for (int i = 1; i < m->count; i++) {
        FITSCard card = nullptr;
        if (ft_headgetl(m->head[i], "ZIMAGE", 0, 0, &card) && card) return i;
    }
    return 0;
}

std::string unsolvable_fit(const char *science_name, Mosaic science,
                           const std::vector<const char *> &fringe_names,
                           const std::vector<Mosaic> &fringes, std::vector<char> *dead)
{
    dead->assign(size_t(science->count > 0 ? science->count : 1), 0);
    if (science->count < 2) return "";
    const FITSBasic b1 = science->head[1]->basic;
    const int nx = b1->naxis[0], ny = b1->naxis[1];
    const size_t nf = fringes.size();
    auto named = [](const char *file, int e, const std::string &what) {
        return std::string("tolv: ") + file + ": extension " + std::to_string(e) + ": " + what +
               "; the fit cannot be solved";
    };
    for (int e = 1; e < science->count; e++) {
        // Stop scanning once every basis function is known to be nonzero somewhere.
        bool any_finite = false, any_usable = false, gx = false, gy = false;
        std::vector<char> fringe_seen(nf, 0);
        size_t fringes_seen = 0;
        for (int y = 0; y < ny && !(gx && gy && fringes_seen == nf); y++)
            for (int x = 0; x < nx; x++) {
                const int64_t p = int64_t(y) * nx + x;
                if (!finite_bits(float_bits(science, e, p))) continue;
                any_finite = true;
                bool usable = true;
                for (size_t k = 0; k < nf && usable; k++) usable = finite_bits(float_bits(fringes[k], e, p));
                if (!usable) continue;
                any_usable = true;
                gx = gx || x != nx / 2;
                gy = gy || y != ny / 2;
                for (size_t k = 0; k < nf; k++)
                    if (!fringe_seen[k] && nonzero_bits(float_bits(fringes[k], e, p))) {
                        fringe_seen[k] = 1;
                        fringes_seen++;
                    }
            }
        if (!any_finite) {
            (*dead)[size_t(e)] = 1;
            continue;
        }
        if (!any_usable)
            return named(science_name, e, "no pixel has a finite value in the science image and every fringe frame");
        for (size_t k = 0; k < nf; k++)
            if (!fringe_seen[k])
                return named(fringe_names[k], e, "the fringe frame is zero wherever the science image has data");
        if (!gx)
            return named(science_name, e,
                         nx == 1 ? "an image one pixel wide has no x gradient"
                                 : "every usable pixel lies in column " + std::to_string(nx / 2 + 1));
        if (!gy)
            return named(science_name, e,
                         ny == 1 ? "an image one pixel high has no y gradient"
                                 : "every usable pixel lies in row " + std::to_string(ny / 2 + 1));
    }
    return "";
}

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
            if (e >= f->count) {
                // A unit there that is not whole says more than its absence.
                const std::string damaged = tail_problem(fringe_names[k], f, MOSAIC_MAX_UNITS + 1);
                if (!damaged.empty()) return damaged;
                return problem(fringe_names[k], e, expected,
                               "no such extension (the file has " + std::to_string(f->count) + " units)");
            }
            if (!is_float_image(f, e, nx, ny)) return problem(fringe_names[k], e, expected, describe(f->head[e]));
        }
    }
    return "";
}

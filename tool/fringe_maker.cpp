// The fringe frame of one extension: each exposure's sky fit and robust sigma,
// then the combine of every exposure's values, a block of rows at a time.
#include "fringe_maker.h"

#include "fringefit.h"
#include "pixels.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

// The median of v (moved about): the mean of the middle two of an even count.
double median_of(std::vector<double> &v)
{
    const size_t half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + long(half), v.end());
    const double upper = v[half];
    if (v.size() % 2) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + long(half));
    return 0.5 * (lower + upper);
}

double science_at(const MakerInput &in, int64_t p) { return double(std::bit_cast<float>(be32_at(in.science, p))); }

bool usable(const MakerInput &in, int64_t p)
{
    return std::isfinite(science_at(in, p)) && !(in.mask && in.mask[p]);
}

// The residual of pixel (x, y) from the sky fit, added as the fit adds it.
double residual(const FitGeometry &g, const MakerInput &in, const InputSky &sky, int x, int y)
{
    const double model = sky.sky + sky.ax * double(x - g.nx / 2) + sky.ay * double(y - g.ny / 2);
    return science_at(in, int64_t(y) * g.nx + x) - model;
}

// The sky fit and the robust sigma of one exposure's extension; false when the
// fit cannot be solved.  `scratch` holds its residuals meanwhile.
bool measure(const FitGeometry &g, const MakerSettings &s, const MakerInput &in, InputSky *sky,
             std::vector<double> &scratch)
{
    const FitGeometry sky_g{g.nx, g.ny, g.npix, 0, 3};
    ExtensionFitter fitter(sky_g, s.sky);
    ExtensionData x;
    x.extn = 1;
    x.science = in.science;
    x.mask = in.mask;
    std::string rows;
    if (fitter.fit(x, rows) != FitOutcome::fitted) return false;
    const std::vector<double> &a = fitter.last().a;
    sky->sky = a[1];
    sky->ax = a[2];
    sky->ay = a[3];
    scratch.clear();
    for (int y = 0; y < g.ny; y++)
        for (int i = 0; i < g.nx; i++)
            if (usable(in, int64_t(y) * g.nx + i)) scratch.push_back(residual(g, in, *sky, i, y));
    sky->usable = int64_t(scratch.size());
    if (scratch.empty()) return false;
    const double middle = median_of(scratch);
    for (double &r : scratch) r = std::fabs(r - middle);
    sky->sigma = 1.4826 * median_of(scratch);
    return true;
}

// One exposure's part of rows [y0, y1): its values (left out: NaN), and which
// pixels are its sources after growing (1), for the dither check.
void exposure_rows(const FitGeometry &g, const MakerSettings &s, const MakerInput &in, const InputSky &sky, int y0,
                   int y1, double *values, unsigned char *grown, std::vector<unsigned char> &sources)
{
    const int r = s.grow, top = std::max(0, y0 - r), bottom = std::min(g.ny, y1 + r);
    // The sources of the rows the growth reaches from, beyond the block too.
    sources.assign(size_t(bottom - top) * size_t(g.nx), 0);
    const double limit = s.object_sigma * sky.sigma;
    for (int y = top; y < bottom; y++)
        for (int i = 0; i < g.nx; i++)
            if (usable(in, int64_t(y) * g.nx + i) && residual(g, in, sky, i, y) > limit)
                sources[size_t(y - top) * size_t(g.nx) + size_t(i)] = 1;
    for (int y = y0; y < y1; y++)
        for (int i = 0; i < g.nx; i++) {
            bool near = false;
            for (int dy = -r; dy <= r && !near; dy++) {
                const int yy = y + dy;
                if (yy < top || yy >= bottom) continue;
                for (int dx = -r; dx <= r && !near; dx++) {
                    const int xx = i + dx;
                    near = xx >= 0 && xx < g.nx && dx * dx + dy * dy <= r * r &&
                           sources[size_t(yy - top) * size_t(g.nx) + size_t(xx)];
                }
            }
            const size_t at = size_t(y - y0) * size_t(g.nx) + size_t(i);
            grown[at] = near;
            const bool kept = !near && usable(in, int64_t(y) * g.nx + i);
            const double v = residual(g, in, sky, i, y);
            values[at] = kept ? (s.normalize ? v / sky.sky : v) : std::nan("");
        }
}

// The combined value of one pixel's values (at least one), moved about.
double combined(const MakerSettings &s, std::vector<double> &v)
{
    if (s.combine == CombineMethod::median) return median_of(v);
    double mean = 0.0;
    for (double x : v) mean += x;
    mean /= double(v.size());
    double spread = 0.0;
    for (double x : v) spread += (x - mean) * (x - mean);
    const double limit = s.reject * std::sqrt(spread / double(v.size()));
    double kept = 0.0;
    int n = 0;
    for (double x : v)
        if (!(std::fabs(x - mean) > limit)) {
            kept += x;
            n++;
        }
    return n ? kept / n : mean;
}

} // namespace

bool make_frame_extension(const FitGeometry &g, const MakerSettings &s, const std::vector<MakerInput> &inputs,
                          float *frame, std::vector<InputSky> *skies, FrameCounts *counts, std::string *problem,
                          int *failed_input)
{
    const size_t n = inputs.size();
    skies->assign(n, InputSky{});
    *counts = FrameCounts{};
    {
        std::vector<double> scratch;
        for (size_t k = 0; k < n; k++) {
            *failed_input = int(k);
            if (!measure(g, s, inputs[k], &(*skies)[k], scratch)) {
                *problem = "its sky cannot be fitted (too few usable pixels, or all in one row or column)";
                return false;
            }
            if (s.normalize && !((*skies)[k].sky > 0.0)) {
                *problem = "its sky level is not positive; --no-normalize keeps the residual in counts";
                return false;
            }
        }
    }
    const int rows = std::max(1, s.block_rows);
    const size_t block = size_t(rows) * size_t(g.nx);
    std::vector<double> values(n * block);
    std::vector<unsigned char> grown(n * block), sources;
    std::vector<double> pixel;
    for (int y0 = 0; y0 < g.ny; y0 += rows) {
        const int y1 = std::min(g.ny, y0 + rows);
        for (size_t k = 0; k < n; k++)
            exposure_rows(g, s, inputs[k], (*skies)[k], y0, y1, &values[k * block], &grown[k * block], sources);
        const size_t pixels = size_t(y1 - y0) * size_t(g.nx);
        for (size_t p = 0; p < pixels; p++) {
            pixel.clear();
            int source_in = 0;
            for (size_t k = 0; k < n; k++) {
                const double v = values[k * block + p];
                if (std::isnan(v)) (*skies)[k].left_out++;
                else pixel.push_back(v);
                source_in += grown[k * block + p];
            }
            counts->sources_any += source_in > 0;
            counts->sources_most += 2 * size_t(source_in) > n;
            const bool enough = int(pixel.size()) >= s.min_inputs && !pixel.empty();
            frame[size_t(y0) * size_t(g.nx) + p] = enough ? float(combined(s, pixel)) : 0.0f;
            (enough ? counts->combined : counts->zeroed)++;
        }
    }
    return true;
}

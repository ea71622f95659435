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
    if (v.size() <= 32) {
        // A pixel's few values: sorted in place by rounds of exchanges of
        // neighbours (odd-even transposition), without a branch on the values.
        const size_t n = v.size();
        for (size_t round = 0; round < n; round++)
            for (size_t j = round & 1; j + 1 < n; j += 2) {
                const double a = v[j], b = v[j + 1];
                v[j] = std::min(a, b);
                v[j + 1] = std::max(a, b);
            }
        return v.size() % 2 ? v[half] : 0.5 * (v[half - 1] + v[half]);
    }
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
// pixels are its sources after growing (1), for the dither check.  The residual
// and the sources are made for the rows the growth reaches from too.
void exposure_rows(const FitGeometry &g, const MakerSettings &s, const MakerInput &in, const InputSky &sky, int y0,
                   int y1, double *values, unsigned char *grown, std::vector<double> &residuals)
{
    const int r = s.grow, top = std::max(0, y0 - r), bottom = std::min(g.ny, y1 + r);
    const size_t nx = size_t(g.nx);
    residuals.resize(size_t(bottom - top) * nx);
    for (int y = top; y < bottom; y++)
        for (int i = 0; i < g.nx; i++) {
            const int64_t p = int64_t(y) * g.nx + i;
            residuals[size_t(y - top) * nx + size_t(i)] = usable(in, p) ? residual(g, in, sky, i, y) : std::nan("");
        }
    std::fill(grown, grown + size_t(y1 - y0) * nx, 0);
    // Each source marks the pixels within r of it (sources are few).
    const double limit = s.object_sigma * sky.sigma;
    for (int y = top; y < bottom; y++)
        for (int i = 0; i < g.nx; i++) {
            if (!(residuals[size_t(y - top) * nx + size_t(i)] > limit)) continue;
            for (int dy = std::max(-r, y0 - y); dy <= std::min(r, y1 - 1 - y); dy++)
                for (int dx = std::max(-r, -i); dx <= std::min(r, g.nx - 1 - i); dx++)
                    if (dx * dx + dy * dy <= r * r) grown[size_t(y + dy - y0) * nx + size_t(i + dx)] = 1;
        }
    for (int y = y0; y < y1; y++)
        for (int i = 0; i < g.nx; i++) {
            const size_t at = size_t(y - y0) * nx + size_t(i);
            const double v = residuals[size_t(y - top) * nx + size_t(i)];
            values[at] = grown[at] || std::isnan(v) ? std::nan("") : s.normalize ? v / sky.sky : v;
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
                          int *failed_input, const MakerDone &done)
{
    const size_t n = inputs.size();
    skies->assign(n, InputSky{});
    *counts = FrameCounts{};
    {
        std::vector<double> scratch;
        for (size_t k = 0; k < n; k++) {
            *failed_input = int(k);
            const bool measured = measure(g, s, inputs[k], &(*skies)[k], scratch);
            if (done) done(k, 0, g.npix);
            if (!measured) {
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
    std::vector<unsigned char> grown(n * block);
    std::vector<double> residuals;
    std::vector<double> pixel;
    for (int y0 = 0; y0 < g.ny; y0 += rows) {
        const int y1 = std::min(g.ny, y0 + rows);
        for (size_t k = 0; k < n; k++) {
            exposure_rows(g, s, inputs[k], (*skies)[k], y0, y1, &values[k * block], &grown[k * block], residuals);
            const int top = std::max(0, y0 - s.grow), bottom = std::min(g.ny, y1 + s.grow);
            if (done) done(k, int64_t(top) * g.nx, int64_t(bottom - top) * g.nx);
        }
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

// The demo's picture: one extension before tolv, after it, and the model tolv
// subtracted (before - after), side by side in an 8-bit grey PNG.
//
//   tolv_demo_picture BEFORE.fits AFTER.fits EXTENSION OUT.png
//
// Each panel is stretched on its own between the 1st and 99th percentiles of its
// finite pixels, so the fringes fill the grey range and stars are clipped to white;
// pixels that are not finite are black.  Row 1 of the image is at the bottom.
#include "fits.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int GAP = 4;                  // white columns between panels
constexpr double LOW = 0.01, HIGH = 0.99; // the percentiles mapped to black and white

struct Image {
    int nx = 0, ny = 0;
    std::vector<float> pixels; // row 1 first, as in the file
};

// Reads unit `extension` of `file` as floats; false, with a message, on failure.
bool read_extension(const std::string &file, int extension, Image *image)
{
    const std::string name = file + "[" + std::to_string(extension) + "]";
    FITSHead head = nullptr;
    void *data = nullptr;
    if (!ft_simpleimageread(name.c_str(), &head, &data, nullptr, -32)) {
        std::fprintf(stderr, "tolv_demo_picture: cannot read %s\n", name.c_str());
        return false;
    }
    image->nx = ft_headgeti(head, "NAXIS", 1, 0, nullptr);
    image->ny = ft_headgeti(head, "NAXIS", 2, 0, nullptr);
    const bool two_dimensional = ft_headgeti(head, "NAXIS", 0, 0, nullptr) == 2 && image->nx > 0 && image->ny > 0;
    if (two_dimensional) {
        const float *values = static_cast<const float *>(data);
        image->pixels.assign(values, values + size_t(image->nx) * size_t(image->ny));
    } else {
        std::fprintf(stderr, "tolv_demo_picture: %s is not a two-dimensional image\n", name.c_str());
    }
    std::free(data);
    ft_headfree(head, 1);
    return two_dimensional;
}

// The value below which a fraction `q` of the sorted values lie.
float percentile(const std::vector<float> &sorted, double q)
{
    const size_t i = std::min(sorted.size() - 1, size_t(q * double(sorted.size())));
    return sorted[i];
}

// Draws `values` (nx x ny, row 1 first) into columns [x0, x0 + nx) of the grey
// canvas, top row first, black to white between its LOW and HIGH percentiles.
void draw_panel(const std::vector<float> &values, int nx, int ny, std::vector<unsigned char> &canvas, int width,
                int x0)
{
    std::vector<float> finite;
    finite.reserve(values.size());
    for (float v : values)
        if (std::isfinite(v)) finite.push_back(v);
    float lo = 0, hi = 1;
    if (!finite.empty()) {
        std::sort(finite.begin(), finite.end());
        lo = percentile(finite, LOW);
        hi = percentile(finite, HIGH);
    }
    const double scale = hi > lo ? 255.0 / (double(hi) - double(lo)) : 0.0;
    for (int y = 0; y < ny; y++) {
        unsigned char *row = &canvas[size_t(ny - 1 - y) * size_t(width) + size_t(x0)];
        for (int x = 0; x < nx; x++) {
            const float v = values[size_t(y) * size_t(nx) + size_t(x)];
            const double grey = std::isfinite(v) ? std::clamp((double(v) - lo) * scale, 0.0, 255.0) : 0.0;
            row[x] = static_cast<unsigned char>(std::lround(grey));
        }
    }
}

bool write_png(const char *path, const std::vector<unsigned char> &canvas, int width, int height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_GRAY;
    if (png_image_write_to_file(&image, path, 0, canvas.data(), width, nullptr)) return true;
    std::fprintf(stderr, "tolv_demo_picture: cannot write %s: %s\n", path, image.message);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    const int extension = argc == 5 ? std::atoi(argv[3]) : 0;
    if (extension < 1) {
        std::fprintf(stderr, "Usage: tolv_demo_picture BEFORE.fits AFTER.fits EXTENSION OUT.png\n");
        return 1;
    }
    Image before, after;
    if (!read_extension(argv[1], extension, &before) || !read_extension(argv[2], extension, &after)) return 1;
    if (before.nx != after.nx || before.ny != after.ny) {
        std::fprintf(stderr, "tolv_demo_picture: extension %d is %d x %d in %s but %d x %d in %s\n", extension,
                     before.nx, before.ny, argv[1], after.nx, after.ny, argv[2]);
        return 1;
    }
    const int nx = before.nx, ny = before.ny;
    std::vector<float> model(before.pixels.size());
    for (size_t i = 0; i < model.size(); i++) model[i] = before.pixels[i] - after.pixels[i];

    const int width = 3 * nx + 2 * GAP;
    std::vector<unsigned char> canvas(size_t(width) * size_t(ny), 255);
    draw_panel(before.pixels, nx, ny, canvas, width, 0);
    draw_panel(after.pixels, nx, ny, canvas, width, nx + GAP);
    draw_panel(model, nx, ny, canvas, width, 2 * (nx + GAP));
    if (!write_png(argv[4], canvas, width, ny)) return 1;
    std::printf("%s: extension %d of %s, %d x %d: before, after, and the model subtracted (before - after)\n",
                argv[4], extension, argv[2], width, ny);
    return 0;
}

// Reading a 4096 x 4096 image of 16-bit values with BZERO 32768 into floats:
// ft_simpleimageread against CFITSIO's fits_read_img on the same file.
#include "fits.h"

#include <benchmark/benchmark.h>
#include <fitsio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr long kSide = 4096;
constexpr int64_t kPixels = int64_t(kSide) * kSide;

// The test file, written once by CFITSIO as unsigned 16-bit values (stored as
// BITPIX 16 with BZERO 32768) and removed when the program ends.
class ImageFile {
public:
    ImageFile()
    {
        char name[] = "/tmp/tolv_bench_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return;
        close(fd);
        path_ = name;
        std::vector<uint16_t> values(static_cast<size_t>(kPixels));
        uint32_t h = 1;
        for (auto &v : values) {
            h = h * 1664525u + 1013904223u;
            v = uint16_t(h >> 16);
        }
        fitsfile *f = nullptr;
        int status = 0;
        long naxes[2] = {kSide, kSide};
        fits_create_file(&f, ("!" + path_).c_str(), &status);
        fits_create_img(f, USHORT_IMG, 2, naxes, &status);
        fits_write_img(f, TUSHORT, 1, kPixels, values.data(), &status);
        fits_close_file(f, &status);
        if (status != 0) std::remove(path_.c_str()), path_.clear();
    }
    ~ImageFile()
    {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

const std::string &image_path()
{
    static ImageFile file;
    return file.path();
}

bool read_tolv(float *into)
{
    FITSHead head = nullptr;
    void *data = into;
    const int ok = ft_simpleimageread(image_path().c_str(), &head, &data, nullptr, -32);
    ft_headfree(head, 1);
    return ok == 1;
}

bool read_cfitsio(float *into)
{
    fitsfile *f = nullptr;
    int status = 0, anynul = 0;
    float nulval = 0;
    fits_open_file(&f, image_path().c_str(), READONLY, &status);
    fits_read_img(f, TFLOAT, 1, kPixels, &nulval, into, &anynul, &status);
    fits_close_file(f, &status);
    return status == 0;
}

// Both readers must give the same floats, or the comparison means nothing.
bool readers_agree()
{
    static const bool agree = [] {
        if (image_path().empty()) return false;
        std::vector<float> a(static_cast<size_t>(kPixels)), b(static_cast<size_t>(kPixels), -1.0f);
        return read_tolv(a.data()) && read_cfitsio(b.data()) &&
               std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
    }();
    return agree;
}

template <bool (*Read)(float *)>
void run_read(benchmark::State &state)
{
    if (!readers_agree()) {
        state.SkipWithError("the readers disagree or the file could not be written");
        return;
    }
    std::vector<float> into(static_cast<size_t>(kPixels));
    for (auto _ : state) {
        if (!Read(into.data())) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPixels * 2);
}

// The library allocating the array itself on every read.
void BM_read_tolv_allocating(benchmark::State &state)
{
    if (!readers_agree()) {
        state.SkipWithError("the readers disagree or the file could not be written");
        return;
    }
    for (auto _ : state) {
        FITSHead head = nullptr;
        void *data = nullptr;
        if (!ft_simpleimageread(image_path().c_str(), &head, &data, nullptr, -32)) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(data);
        std::free(data);
        ft_headfree(head, 1);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPixels * 2);
}

BENCHMARK(run_read<read_tolv>)->Name("BM_read_tolv")->Unit(benchmark::kMillisecond);
BENCHMARK(run_read<read_cfitsio>)->Name("BM_read_cfitsio")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_tolv_allocating)->Unit(benchmark::kMillisecond);

} // namespace

// ft_indxmemdata over an arbitrary memory region, for every unit index and for
// names: a unit found lies whole inside the region, and the region is never written.
#include "fits.h"
#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "ft_indxmemdata: %s\n", what);
    std::abort();
}

// Finds one unit and checks what came back; true when it was found.
bool find(unsigned char *region, std::size_t size, const char *extn, int indx)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    void **view = nullptr;
    if (!ft_indxmemdata(region, int64_t(size), FT_MEM_BUFFER, extn, indx, &h, &data, &view)) {
        if (h || view) fail("a failure left outputs set");
        return false;
    }
    if (!h || !h->basic) fail("found without a described header");
    const FITSBasic b = h->basic;
    auto *start = static_cast<unsigned char *>(data);
    if (start < region || b->databytes < 0 || b->databytes > region + size - start) fail("data outside the region");
    unsigned sum = 0;
    for (int64_t i = 0; i < b->databytes; i++) sum += start[i];
    // Every row of the view that the data unit holds lies inside it.
    const int64_t width = (b->bitpix < 0 ? -int64_t(b->bitpix) : b->bitpix) / 8;
    const int nx = b->naxes >= 1 ? b->naxis[0] : 0, ny = b->naxes >= 2 ? b->naxis[1] : 0;
    if (view && width * nx > 0)
        for (int y = 0; y < ny && (int64_t(y) + 1) * nx * width <= b->databytes; y++)
            sum += static_cast<unsigned char *>(view[y])[nx * width - 1];
    if (sum == 0xdeadbeef) std::fputc(0, stderr);  // keep the reads
    std::free(view);
    ft_headfree(h, 0);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, std::size_t size)
{
    unsigned char *region = exact_copy(input, size);
    // Every index up to one past the last unit found.
    int last = -1;
    for (int indx = -1; indx <= last + 2 && indx < 64; indx++)
        if (find(region, size, "", indx)) last = indx;
    for (const char *name : {"SCI", "None", "primary", "sci"})
        for (int indx : {-1, 0, 1, 2}) find(region, size, name, indx);
    find(nullptr, size, "", 0);
    if (size && std::memcmp(region, input, size) != 0) fail("the region was written");
    std::free(region);
    return 0;
}

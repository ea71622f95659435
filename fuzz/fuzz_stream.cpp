// The stream reader over arbitrary bytes (fmemopen): the header walk with data
// skipped or copied, a header whose first bytes were already taken, unit selection
// by file-name selector, image reading in several pixel types, and ft_fileparse.
#include "fits.h"
#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxUnits = 64;
constexpr const char *kSelectors[] = {"f", "f[1]", "f[2]", "f[SCI]", "f[sci,2]", "f[None]", "f[0]", "f[40]"};
constexpr int kPixtypes[] = {0, -1, 8, 16, 32, -32, -64, 4104, 4112, 4128};

// Reads a header's name and first axis; the result only keeps the reads.
std::size_t touch(FITSHead h)
{
    FITSCard card = nullptr;
    std::size_t n = std::strlen(ft_headget(h, "EXTNAME", 0, &card));
    n += std::size_t(ft_headgeti(h, "NAXIS", 1, 0, &card));
    if (h->basic) n += std::strlen(h->basic->name);
    return n;
}

// Every header in turn, each unit's data passed over (copied to copy when given).
void walk(FILE *file, FILE *copy)
{
    for (int i = 0; i < kMaxUnits; i++) {
        FITSHead h = ft_headread(file);
        if (!h) break;
        touch(h);
        const int64_t at = ft_dataskip(file, h, copy);
        ft_headseek(file, h);
        ft_dataseek(file, h);
        ft_headfree(h, 1);
        if (at < 0) break;
    }
}

int skip_unit(File file, FITSHead fits, void **result, void *cdata)
{
    int *count = static_cast<int *>(cdata);
    touch(fits);
    ft_dataskip(file, fits, nullptr);
    ft_headfree(fits, 1);
    *result = count;
    return ++*count >= kMaxUnits;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size == 0) return 0;
    unsigned char *bytes = exact_copy(data, size);
    char *copied = nullptr;
    std::size_t copied_length = 0;
    FILE *copy = open_memstream(&copied, &copied_length);

    if (FILE *f = fmemopen(bytes, size, "rb")) {
        walk(f, size % 2 ? copy : nullptr);
        std::fclose(f);
    }
    if (FILE *f = fmemopen(bytes, size, "rb")) {
        // A reader that has taken the first n bytes itself, as when it sniffed the file.
        const int n = int(size % 2881);
        char first[2880];
        const std::size_t got = std::fread(first, 1, std::size_t(n), f);
        FITSHead h = ft_headread0(f, first, int(got));
        if (h) {
            touch(h);
            ft_dataskip(f, h, nullptr);
            ft_headfree(h, 1);
        }
        std::fclose(f);
    }
    if (FILE *f = fmemopen(bytes, size, "rb")) {
        FITSHead h = nullptr;
        const File sel = ft_fitsheadread(f, kSelectors[size % 8], &h, "r");  // closes f on failure
        if (sel) {
            void *array = nullptr;
            void **view = nullptr;
            if (ft_imageread(sel, &h, &array, &view, kPixtypes[size / 8 % 10])) {
                std::free(array);
                std::free(view);
            }
            std::fclose(sel);
        }
        ft_headfree(h, 1);
    }
    if (FILE *f = fmemopen(bytes, size, "rb")) {
        ft_cfile(size % 3 ? copy : nullptr);
        FITSHead h = nullptr;
        if (const File sel = ft_fitsheadread(f, kSelectors[size / 3 % 8], &h, "r")) std::fclose(sel);
        ft_headfree(h, 1);
        ft_cfile(nullptr);
    }
    if (FILE *f = fmemopen(bytes, size, "rb")) {
        int count = 0;
        ft_fileparse(f, skip_unit, &count);
        std::fclose(f);
    }
    if (copy) std::fclose(copy);
    std::free(copied);
    if (std::memcmp(bytes, data, size) != 0) std::abort();
    std::free(bytes);
    return 0;
}

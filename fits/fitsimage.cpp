// Whole images through streams: one unit of a file (or of standard input) read
// into memory in a chosen pixel type, and a header with its array written as a
// new single-unit file.
#include "data_unit.h"
#include "fits.h"
#include "name_buffer.h"
#include "pixel_codes.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kNameBuffer = name_buffer::kNameBytes;

bool is_standard_input(const char *name)
{
    return std::strcmp(name, "-") == 0 || std::strcmp(name, "stdin") == 0 || std::strcmp(name, "STDIN") == 0;
}

void clear_outputs(FITSHead *headptr, void ***data2dptr)
{
    if (headptr) *headptr = nullptr;
    if (data2dptr) *data2dptr = nullptr;
}

// Element size of the array that ft_dataread returns for pixtype.
int element_size(FITSHead h, int pixtype)
{
    const int code = pixtype == 0 || pixtype == -1 ? h->basic->bitpix : pixtype;
    return fits_pixel::code_size(code);
}

} // namespace

extern "C" {

int ft_imageread(File file, FITSHead *headptr, void **dataptr, void ***data2dptr, int pixtype)
{
    if (!file) return 0;
    FITSHead h = headptr && *headptr ? *headptr : nullptr;
    const bool read_here = !h;
    if (read_here && !(h = ft_headread(file))) return 0;
    if (data2dptr) *data2dptr = nullptr;
    void *data = ft_dataread(file, h, dataptr ? *dataptr : nullptr, pixtype);
    if (!data || !h->basic) {
        if (read_here) {
            ft_headfree(h, 1);
            if (headptr) *headptr = nullptr;
        }
        return 0;
    }
    if (headptr) *headptr = h;
    if (dataptr) *dataptr = data;
    if (data2dptr) {
        const FITSBasic b = h->basic;
        *data2dptr = ft_make2d(data, element_size(h, pixtype), 0, 0, b->naxes >= 1 ? b->naxis[0] : 0,
                               b->naxes >= 2 ? b->naxis[1] : 0);
    }
    if (!headptr) ft_headfree(h, 1);
    if (!dataptr && !data2dptr) std::free(data);
    return 1;
}

int ft_simpleimageread(const char *filename, FITSHead *headptr, void **dataptr, void ***data2dptr,
                       int pixtype)
{
    char name[kNameBuffer], extn[kNameBuffer], tail[kNameBuffer];
    int indx = -1;
    name[0] = '\0';
    ft_parsefilename(filename, name, extn, &indx, tail, kNameBuffer);
    File file = is_standard_input(name) ? stdin : std::fopen(name, "r");
    if (!file) {
        clear_outputs(headptr, data2dptr);
        return 0;
    }
    FITSHead selected = nullptr;
    if (extn[0]) {
        // By name, case included, and by EXTVER unless any version will do.
        while (FITSHead h = ft_headread(file)) {
            if (h->basic && std::strcmp(h->basic->name, extn) == 0 && (indx == -1 || indx == h->basic->extn)) {
                selected = h;
                break;
            }
            ft_dataskip(file, h, nullptr);
            ft_headfree(h, 1);
        }
        if (!selected) {
            std::fclose(file);
            clear_outputs(headptr, data2dptr);
            return 0;
        }
    } else {
        for (int i = 0; i < indx; i++) {
            FITSHead h = ft_headread(file);
            if (!h) {
                std::fclose(file);
                clear_outputs(headptr, data2dptr);
                return 0;
            }
            ft_dataskip(file, h, nullptr);
            ft_headfree(h, 1);
        }
    }
    FITSHead held = selected;
    const int result = ft_imageread(file, &held, dataptr, data2dptr, pixtype);
    std::fclose(file);
    if (headptr) {
        *headptr = result ? held : nullptr;
        if (!result && held) ft_headfree(held, 1);
    } else if (held) {
        ft_headfree(held, 1);
    }
    return result;
}

int ft_imagewrite(File file, FITSHead fits, void *data, int pixtype)
{
    if (!file || !fits) return 0;
    ft_syncdata(fits);
    if (!fits_data::writable(fits, data, pixtype) || !ft_headwrite(file, fits)) return 0;
    return ft_datawrite(file, fits, data, pixtype) ? 1 : 0;
}

int ft_simpleimagewrite(const char *filename, FITSHead fits, void *data, int pixtype)
{
    if (!fits || !filename) return 0;
    // Refused before the file is made; a regular file that fails while being
    // written is removed, so that no header is left without its data.
    FITSHead primary = ft_primary(fits);
    if (!primary || !fits_data::writable(primary, data, pixtype)) {
        ft_headfree(primary, 1);
        return 0;
    }
    File file = std::fopen(filename, "wb");
    struct stat st;
    const bool regular = file && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    const int written = file ? ft_imagewrite(file, primary, data, pixtype) : 0;
    const int closed = file && std::fclose(file) == 0;
    ft_headfree(primary, 1);
    if (regular && !(written && closed)) std::remove(filename);
    return written && closed ? 1 : 0;
}

} // extern "C"

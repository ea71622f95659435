// Whole images through streams: one unit of a file (or of standard input) read
// into memory in a chosen pixel type, and a header with its array written as a
// new single-unit file.
#include "data_unit.h"
#include "fits.h"
#include "gzstream.h"
#include "name_buffer.h"
#include "pixel_codes.h"

#include <sys/stat.h>

#include <cstdint>
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

// A tile-compressed image: the table's data unit read whole, decompressed into the
// image's FITS bytes and converted as ft_dataread converts a plain unit (the same
// array sizes and fill).  The image's header into *image; null on failure, when
// nothing allocated here is kept.
void *read_compressed(File file, FITSHead table, FITSHead *image, void *dataptr, int pixtype)
{
    char why[256];
    const int primary = ft_headgetl(table, "ZSIMPLE", 0, 0, nullptr);
    FITSHead h = ft_compimagehead(table, primary, 0, nullptr, why, int(sizeof why));
    if (!h) return nullptr;
    const FITSBasic b = h->basic;
    const int type = pixtype == -1 ? b->bitpix : pixtype;
    const int fsize = fits_pixel::code_size(b->bitpix);
    const int msize = type == 0 ? fsize : fits_pixel::code_size(type);
    const int64_t file_bytes = b->databytes;
    int64_t bytes = 0;
    bool ok = (type == 0 || fits_pixel::code_letter(type) >= 0) && b->datapixls >= 0 &&
              !__builtin_mul_overflow(b->datapixls, int64_t(msize), &bytes) &&
              bytes <= INT64_MAX - FT_BLOCK_BYTES && b->databloks <= INT64_MAX / FT_BLOCK_BYTES;
    // The caller's array holds the whole blocks (of the file's size) or the elements.
    const int64_t whole = (bytes + FT_BLOCK_BYTES - 1) / FT_BLOCK_BYTES * FT_BLOCK_BYTES;
    const int64_t padded = msize == fsize ? b->databloks * FT_BLOCK_BYTES : whole;
    void *unit = ok ? ft_dataread(file, table, nullptr, 0) : nullptr;
    void *fits_bytes = nullptr;
    void *array = nullptr;
    if (unit) {
        const bool in_place = msize == fsize;
        array = dataptr ? dataptr : std::calloc(size_t(padded > 0 ? padded : 1), 1);
        fits_bytes = in_place ? array : std::malloc(size_t(file_bytes > 0 ? file_bytes : 1));
        ok = array && fits_bytes &&
             ft_compimageread(table, unit, table->basic->databytes, fits_bytes, file_bytes, why, int(sizeof why));
        if (ok && in_place && padded > file_bytes)
            std::memset(static_cast<char *>(array) + file_bytes, 0, size_t(padded - file_bytes));
        if (ok && type != 0) {
            ft_dataswap(fits_bytes, fits_bytes, file_bytes, b->bitpix);
            const FITSImage im = h->image;
            const int hasscale = im && (im->has_bscale || im->has_bzero);
            if (type != b->bitpix || hasscale || !in_place)
                ft_acht(type, array, b->bitpix, fits_bytes, b->datapixls, 1, hasscale,
                        im && im->has_bscale ? im->dbscale : 1.0, im && im->has_bzero ? im->dbzero : 0.0);
        }
        if (fits_bytes != array) std::free(fits_bytes);
    }
    std::free(unit);
    if (!unit || !ok) {
        if (array != dataptr) std::free(array);
        ft_headfree(h, 1);
        return nullptr;
    }
    if (table->primary) ft_primlink(table->primary, h);
    *image = h;
    return array;
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
    // A tile-compressed image stands for the image it holds: its header replaces
    // the table's, which is released.
    FITSHead image = nullptr;
    void *data = ft_iscompimage(h) ? read_compressed(file, h, &image, dataptr ? *dataptr : nullptr, pixtype)
                                   : ft_dataread(file, h, dataptr ? *dataptr : nullptr, pixtype);
    if (data && image) {
        ft_headfree(h, 1);
        h = image;
    }
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
    File file = is_standard_input(name) ? stdin : open_stream(name, "r");
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

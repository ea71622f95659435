// A header made over arbitrary bytes in memory: ft_headinit views the cards in
// place, then every getter, the interpreted descriptions, copies, merges, edits
// of a copy and the writing of it.  The bytes themselves are never written.
#include "fits.h"
#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kKeys[] = {"SIMPLE", "XTENSION", "BITPIX", "NAXIS", "EXTNAME", "EXTVER", "BSCALE",
                                 "BZERO", "BLANK", "DETSEC", "TFORM", "TTYPE", "HISTORY", "END", "MISSING"};

// Reads every description field, so that an uninitialised or dangling one shows.
long touch_descriptions(FITSHead h)
{
    long sum = 0;
    if (const FITSBasic b = h->basic) {
        sum += b->simple + b->bitpix + b->naxes + b->gcount + b->pcount + b->extn;
        sum += long(b->databytes + b->datapixls + b->databloks + b->row_bytes);
        sum += long(std::strlen(b->name)) + (b->hduname ? long(std::strlen(b->hduname)) : 0);
        for (int i = 0; i < 10; i++) sum += b->naxis[i];
    }
    if (const FITSImage im = h->image) {
        double x = 0, y = 0;
        ft_trxlcs(&im->log, 1.0, 2.0, &x, &y, 1);
        ft_trxlcs(&im->det, x, y, &x, &y, 0);
        ft_trxsiz(&im->amp, x, y, &x, &y, 1);
        sum += im->has_blank + im->blank + im->has_bscale + im->has_bzero;
    }
    if (const FITSTable t = h->table) {
        for (int i = 0; i < t->tfields; i++) {
            const _FITSTCol &c = t->col[i];
            sum += c.type + c.n + c.size + c.width + c.offset + c.heap + c.prec;
            for (const char *s : {c.format, c.name, c.unit, c.disp, c.ablank})
                if (s) sum += long(std::strlen(s));
        }
    }
    return sum;
}

void read_everything(FITSHead h)
{
    for (const char *key : kKeys)
        for (int n = 0; n < 4; n++) {
            FITSCard card = nullptr;
            int match = 0;
            ft_headget(h, key, n, &card);
            ft_headgetl(h, key, n, 0, &card);
            ft_headgeti(h, key, n, 7, &card);
            ft_headgetr(h, key, n, 0.5, &card);
            std::free(ft_headgets(h, key, n, "none", &card));
            ft_headfindseq(h, key, n, &match);
            ft_headfindidx(h, key, n, &match);
        }
    for (int i = 0; i < h->ncard; i++) ft_cardfindblok(h->cards + i / 36 * 36, h->cards + i, nullptr, nullptr);
    touch_descriptions(h);
}

// Edits through a copy with owned cards: setters, inserts, deletes, stores.
void edit_copy(FITSHead h, FuzzInput &in)
{
    FITSHead copy = ft_headcopy(h);
    if (!copy) return;
    ft_headseti(copy, "NAXIS", in.byte() % 4, in.int32(), nullptr, 1);
    ft_headsets(copy, "EXTNAME", 0, in.printable(80).c_str(), FT_Comment, 0);
    ft_headsetr(copy, "BSCALE", 0, in.real(), int(int8_t(in.byte())), "scale", 0);
    ft_headappv(copy, "HISTORY", 0, in.printable(80).c_str(), nullptr);
    ft_headdel(copy, kKeys[in.byte() % (sizeof kKeys / sizeof *kKeys)], 0);
    if (copy->ncard > 1) ft_carddel(copy, copy->cards + in.byte() % (copy->ncard - 1));
    // Storing looks up every possible NAXISn: kept to headers of a few blocks so
    // that long ones are still read many times a second.
    if (copy->ncard <= 180) {
        ft_basicstorhead(copy, copy->basic);
        ft_imagestorhead(copy, copy->image);
        ft_sync(copy, 1);
    }
    ft_syncdata(copy);
    read_everything(copy);

    FITSHead prim = ft_primary(copy);
    FITSHead merged = ft_headmerge(copy, h, in.byte() & 1);
    read_everything(merged);

    char *bytes = nullptr;
    std::size_t length = 0;
    if (FILE *out = open_memstream(&bytes, &length)) {
        ft_headwrite(out, merged);
        ft_headwrite(out, prim);
        std::fclose(out);
    }
    std::free(bytes);
    ft_headfree(merged, 1);
    ft_headfree(prim, 1);
    ft_headfree(copy, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    unsigned char *cards = exact_copy(data, size);
    FITSHead h = ft_headinit(cards, int64_t(size));
    if (h) {
        read_everything(h);
        ft_headindex(h);
        read_everything(h);
        FITSBasic basic = ft_basicloadhead(h);
        ft_basicfree(basic);
        ft_imagefree(ft_imageloadhead(h));
        // Parameters for the edits come from the bytes past the header's END.
        const std::size_t used = std::size_t(h->ncard) * 80 < size ? std::size_t(h->ncard) * 80 : size;
        FuzzInput in{data + used, size - used};
        edit_copy(h, in);
        ft_headfree(h, 0);
    }
    if (size && std::memcmp(cards, data, size) != 0) {
        std::fprintf(stderr, "the bytes under a viewed header were written\n");
        std::abort();
    }
    std::free(cards);
    return 0;
}

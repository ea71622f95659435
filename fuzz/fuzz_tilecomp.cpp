// Tile-compressed images: ft_compimagehead and ft_compimageread over a table whose
// Z keywords (compression, BITPIX, axes, tiles, quantization) the first bytes choose
// and whose descriptors and heap are the rest of the input; then the raw input as a
// whole unit, header and data.  Every call must refuse with a reason or decode,
// reading nothing outside the data it is given.
#include "fits.h"
#include "fuzz_input.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlock = 2880;

void fail(const char *what)
{
    std::fprintf(stderr, "tilecomp: %s\n", what);
    std::abort();
}

std::string card(const char *key, const std::string &value)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, value[0] == '\'' ? "%-8s= %-20s" : "%-8s= %20s", key, value.c_str());
    std::string c = buf;
    c.resize(80, ' ');
    return c;
}

std::string card(const char *key, long long value) { return card(key, std::to_string(value)); }

// Decodes the unit whose header cards and data (exact heap copies) are given.
void decode(const std::string &cards, const unsigned char *data, int64_t bytes)
{
    unsigned char *head = exact_copy(reinterpret_cast<const uint8_t *>(cards.data()), cards.size());
    FITSHead h = ft_headinit(head, int64_t(cards.size()));
    if (h && ft_iscompimage(h)) {
        char why[200] = "";
        FITSCompress how;
        FITSHead image = ft_compimagehead(h, h->ncard % 2, 4, &how, why, int(sizeof why));
        if (!image && !why[0]) fail("a refused header without a reason");
        if (image) {
            if (!image->basic) fail("an image header without a description");
            if (image->acard - image->ncard < 4) fail("no room left");
            const int64_t out = image->basic->databytes;
            if (out >= 0 && out <= (int64_t(1) << 24)) {
                std::vector<unsigned char> pixels(std::size_t(out > 0 ? out : 1));
                why[0] = '\0';
                if (!ft_compimageread(h, data, bytes, pixels.data(), out, why, int(sizeof why)) && !why[0])
                    fail("a refused tile without a reason");
            }
            ft_headfree(image, 1);
        }
    }
    ft_headfree(h, 0);
    std::free(head);
}

constexpr const char *kCodecs[] = {"'RICE_1  '", "'GZIP_1  '",    "'GZIP_2  '", "'NOCOMPRESS'",
                                   "'RICE_ONE'", "'HCOMPRESS_1'", "'PLIO_1  '", "'BOGUS   '"};
constexpr int kBitpix[] = {8, 16, 32, 64, -32, -64};
constexpr const char *kQuantize[] = {nullptr, "'NO_DITHER'", "'SUBTRACTIVE_DITHER_1'", "'SUBTRACTIVE_DITHER_2'",
                                     "'NONE    '"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    FuzzInput in{data, size};
    const char *codec = kCodecs[in.byte() % 8];
    const int bitpix = kBitpix[in.byte() % 6];
    const uint8_t qbyte = in.byte();
    const char *quantize = kQuantize[qbyte % 5];
    const bool scale_column = qbyte & 8, blank_column = qbyte & 16, q64 = qbyte & 32;
    const int naxes = 1 + in.byte() % 3;
    int naxis[3], tile[3];
    int64_t ntiles = 1;
    for (int i = 0; i < naxes; i++) {
        naxis[i] = 1 + in.byte() % 40;
        tile[i] = 1 + in.byte() % 40;
        ntiles *= (naxis[i] + tile[i] - 1) / tile[i];
    }
    const uint8_t params = in.byte();
    const int blocksize = params & 1 ? 16 : 32;
    const int bytepix = (params >> 1) % 3 == 0 ? 1 : (params >> 1) % 3 == 1 ? 2 : 4;
    const int dither0 = int(in.byte()) * 40 - 40;
    const int rows = int(ntiles) + (params & 64 ? int(in.byte() % 3) - 1 : 0);

    // The columns: descriptors, then perhaps ZSCALE, ZZERO (doubles) and ZBLANK (int).
    const int dwidth = q64 ? 16 : 8;
    const int row_bytes = dwidth + (scale_column ? 16 : 0) + (blank_column ? 4 : 0);
    std::vector<std::string> cards = {card("XTENSION", "'BINTABLE'"), card("BITPIX", 8), card("NAXIS", 2),
                                      card("NAXIS1", row_bytes), card("NAXIS2", rows < 0 ? 0 : rows)};
    std::string rowdata;
    // Each tile's array: a length from the input over a heap that is the input's rest.
    std::vector<int64_t> counts;
    for (int r = 0; r < rows; r++) counts.push_back(int64_t(in.byte()) * (1 + (params >> 4 & 3)));
    std::string heap(reinterpret_cast<const char *>(in.p), in.left);
    int64_t offset = 0;
    for (int r = 0; r < rows; r++) {
        int64_t count = counts[std::size_t(r)];
        if (offset + count > int64_t(heap.size())) count = int64_t(heap.size()) - offset;
        for (int k = dwidth / 2 - 1; k >= 0; k--) rowdata += char(uint8_t(uint64_t(count) >> (8 * k)));
        for (int k = dwidth / 2 - 1; k >= 0; k--) rowdata += char(uint8_t(uint64_t(offset) >> (8 * k)));
        offset += count;
        if (scale_column) {
            double s = 0.01 * (r + 1), z = 100.0 * r;
            uint64_t u;
            std::memcpy(&u, &s, 8);
            for (int k = 7; k >= 0; k--) rowdata += char(uint8_t(u >> (8 * k)));
            std::memcpy(&u, &z, 8);
            for (int k = 7; k >= 0; k--) rowdata += char(uint8_t(u >> (8 * k)));
        }
        if (blank_column) rowdata += std::string("\x80\x00\x00\x01", 4);
    }
    cards.push_back(card("PCOUNT", int64_t(heap.size())));
    cards.push_back(card("GCOUNT", 1));
    int tfields = 1;
    cards.push_back(card("TTYPE1", "'COMPRESSED_DATA'"));
    cards.push_back(card("TFORM1", q64 ? "'1QB'" : "'1PB'"));
    if (scale_column) {
        cards.push_back(card("TTYPE2", "'ZSCALE  '"));
        cards.push_back(card("TFORM2", "'1D      '"));
        cards.push_back(card("TTYPE3", "'ZZERO   '"));
        cards.push_back(card("TFORM3", "'1D      '"));
        tfields = 3;
    }
    if (blank_column) {
        tfields++;
        cards.push_back(card(("TTYPE" + std::to_string(tfields)).c_str(), "'ZBLANK  '"));
        cards.push_back(card(("TFORM" + std::to_string(tfields)).c_str(), "'1J      '"));
    }
    cards.insert(cards.begin() + 7, card("TFIELDS", tfields));
    cards.push_back(card("ZIMAGE", "T"));
    cards.push_back(card("ZCMPTYPE", codec));
    cards.push_back(card("ZBITPIX", bitpix));
    cards.push_back(card("ZNAXIS", naxes));
    for (int i = 0; i < naxes; i++) {
        cards.push_back(card(("ZNAXIS" + std::to_string(i + 1)).c_str(), naxis[i]));
        cards.push_back(card(("ZTILE" + std::to_string(i + 1)).c_str(), tile[i]));
    }
    cards.push_back(card("ZNAME1", "'BLOCKSIZE'"));
    cards.push_back(card("ZVAL1", blocksize));
    cards.push_back(card("ZNAME2", "'BYTEPIX '"));
    cards.push_back(card("ZVAL2", bytepix));
    if (quantize) cards.push_back(card("ZQUANTIZ", quantize));
    if (!scale_column && bitpix < 0) {
        cards.push_back(card("ZSCALE", "0.5"));
        cards.push_back(card("ZZERO", "-3.0"));
    }
    if (!blank_column) cards.push_back(card("ZBLANK", "-2147483647"));
    cards.push_back(card("ZDITHER0", dither0));
    std::string text;
    for (const std::string &c : cards) text += c;
    text += std::string("END").append(77, ' ');
    text.resize((text.size() + kBlock - 1) / kBlock * kBlock, ' ');
    const std::string unit = rowdata + heap;
    unsigned char *bytes = exact_copy(reinterpret_cast<const uint8_t *>(unit.data()), unit.size());
    decode(text, bytes, int64_t(unit.size()));
    std::free(bytes);

    // The raw input as a unit: header cards, then its data.
    unsigned char *raw = exact_copy(data, size);
    FITSHead h = size ? ft_headinit(raw, int64_t(size)) : nullptr;
    if (h && h->basic && h->data <= int64_t(size)) {
        const std::string cards_text(reinterpret_cast<const char *>(data), std::size_t(h->data));
        const int64_t rest = int64_t(size) - h->data;
        unsigned char *d = exact_copy(data + h->data, std::size_t(rest));
        decode(cards_text, d, rest);
        std::free(d);
    }
    ft_headfree(h, 0);
    std::free(raw);
    return 0;
}

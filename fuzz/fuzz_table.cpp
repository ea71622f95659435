// Table interpretation: ft_tableloadhead over a table header whose cards are the
// input bytes (after an XTENSION card of a kind and NAXIS1 the first bytes choose),
// then every column's layout is checked against the row and reformatted.
#include "fits.h"
#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kKinds[] = {"'TABLE   '", "'BINTABLE'", "'A3DTABLE'", "'3DTABLE '"};

void fail(const char *what)
{
    std::fprintf(stderr, "table: %s\n", what);
    std::abort();
}

std::string card(const char *key, const std::string &value)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, "%-8s= %20s", key, value.c_str());
    std::string c = buf;
    c.resize(80, ' ');
    return c;
}

void check(FITSHead h)
{
    const FITSTable t = ft_tableloadhead(h);
    if (!t) return;
    if (t->tfields < 1 || t->tfields > 999 || !t->col) fail("column count");
    const int64_t row = h->basic && h->basic->naxes >= 1 ? h->basic->naxis[0] : 0;
    for (int i = 0; i < t->tfields; i++) {
        _FITSTCol &c = t->col[i];
        if (c.offset < 0 || c.width < 0 || c.n < 0 || c.size < 0) fail("negative layout");
        if (t->tabtype == 1 && int64_t(c.offset) >= row) fail("ASCII column starts past the row");
        char *format = ft_format(&c);
        if (format && std::strlen(format) >= 80) fail("format too long");
        std::free(format);
        ft_formattyp(char(c.type));
        ft_sizeof(c.type);
    }
    ft_tablestorhead(h, t);
    ft_tablefree(t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    FuzzInput in{data, size};
    const int kind = in.byte() % 4;
    const int naxis1 = in.byte() % 2 ? in.int32() : int(in.byte());
    std::string cards = card("XTENSION", kKinds[kind]) + card("BITPIX", "8") + card("NAXIS", "2") +
                        card("NAXIS1", std::to_string(naxis1)) + card("NAXIS2", "3");
    cards.append(reinterpret_cast<const char *>(in.p), in.left);
    cards.resize((cards.size() + 79) / 80 * 80, ' ');
    cards += std::string("END").append(77, ' ');
    // Owned cards, so that the store may rewrite them.
    unsigned char *bytes = exact_copy(reinterpret_cast<const uint8_t *>(cards.data()), cards.size());
    FITSHead h = ft_headinit(bytes, int64_t(cards.size()));
    if (h) {
        check(h);
        FITSHead copy = ft_headcopy(h);
        check(copy);
        ft_headfree(copy, 1);
        ft_headfree(h, 0);
    }
    std::free(bytes);

    // The raw bytes as a header of their own.
    unsigned char *raw = exact_copy(data, size);
    if (FITSHead r = size ? ft_headinit(raw, int64_t(size)) : nullptr) {
        check(r);
        ft_headfree(r, 0);
    }
    std::free(raw);
    return 0;
}

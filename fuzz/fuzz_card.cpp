// Card parsing over arbitrary 80 columns, and the format-then-parse round trip:
// what ft_cardfmt writes, ft_cardpar and the typed readers read back.
#include "fits.h"
#include "fuzz_input.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "round trip failed: %s\n", what);
        std::abort();
    }
}

// Every reader on one card; value and comment buffers are heap blocks of exactly
// the documented minimum, so a byte written past them is caught.
void parse_all(FITSCard card)
{
    char *value = static_cast<char *>(std::malloc(73));
    char *comm = static_cast<char *>(std::malloc(80));
    FITSType type = FT_UNKNOWN;
    int index = 0;
    ft_cardpar(card, &type, value, &index, comm);
    check(std::strlen(value) <= 72 && std::strlen(comm) <= 79, "texts fit their buffers");
    ft_cardpar(card, nullptr, value, nullptr, nullptr);
    std::free(value);
    std::free(comm);
    ft_cardgetl(card);
    ft_cardgeti(card);
    ft_cardgetr(card);
    std::free(ft_cardgets(card));
}

bool printable_card(const FITSBuff &c)
{
    for (char ch : c.c)
        if (ch < ' ' || ch > '~') return false;
    return true;
}

std::string trimmed(std::string s)
{
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

void round_trip(FuzzInput &in)
{
    FITSBuff card;
    std::memset(card.c, ' ', sizeof card.c);
    const int kind = in.byte() % 5;
    const int n = in.byte() % 4 == 0 ? in.int32() : 0;
    const int prec = int(int8_t(in.byte()));
    const std::string comment = in.printable(90);
    const char *comm = comment.empty() ? nullptr : comment.c_str();
    switch (kind) {
    case 0: {
        const int v = in.int32();
        ft_cardfmt(&card, "KEY", 0, FT_INTEGER, &v, prec, comm);
        check(ft_cardgeti(&card) == v, "integer");
        break;
    }
    case 1: {
        const int v = in.byte() & 1;
        ft_cardfmt(&card, "KEY", 0, FT_LOGICAL, &v, prec, comm);
        check(ft_cardgetl(&card) == v, "logical");
        break;
    }
    case 2: {
        const double v = in.real();
        const int p = prec < 0 ? 6 : prec;
        ft_cardfmt(&card, "KEY", 0, FT_REAL, &v, prec, comm);
        const double back = ft_cardgetr(&card);
        if (std::isfinite(v)) {
            const double tolerance = (p < 300 ? 0.5 * std::pow(10.0, -p) : 0.0) + std::fabs(v) * 4e-16;
            check(std::fabs(back - v) <= tolerance || back == v, "real");
        }
        break;
    }
    case 3: {
        const std::string s = in.printable(75);
        ft_cardfmt(&card, "KEY", 0, FT_STRING, s.c_str(), prec, comm);
        std::string expected;
        for (char ch : s)
            if (ch != '\'') expected += ch;
        if (expected.size() <= 68) check(ft_cardget(&card) == trimmed(expected), "string");
        break;
    }
    default: {
        const std::string name = in.printable(12), text = in.printable(90);
        ft_cardfmt(&card, name.c_str(), n, FITSType(in.byte() % 8), text.c_str(), prec, comm);
        ft_cardfmt(&card, nullptr, 0, FITSType(in.byte() % 8), text.c_str(), prec, FT_Comment);
        break;
    }
    }
    check(printable_card(card), "printable columns");
    parse_all(&card);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    // The first 80 bytes are a card as it may stand in a file (short input padded).
    auto *card = static_cast<FITSCard>(std::malloc(sizeof(FITSBuff)));
    std::memset(card->c, ' ', sizeof card->c);
    std::memcpy(card->c, data, size < 80 ? size : 80);
    parse_all(card);
    ft_cardsetr(card, 1.5, 3, FT_Comment);  // rewrite keeping whatever comment it had
    parse_all(card);
    std::free(card);

    FuzzInput in{data + (size < 80 ? size : 80), size < 80 ? 0 : size - 80};
    round_trip(in);
    return 0;
}

// Keyword lookups in a header of 2000 cards: binary search of the sorted index
// against the sequential walk through the cards.  Two headers: 1999 distinct
// keywords, and a binary-table header whose 398 columns carry five keywords each
// (TTYPEn, TFORMn, TUNITn, TDISPn, TNULLn), the case the index exists for.
#include "fits.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr int kCards = 2000;

struct Keyword {
    std::string name;
    int n;
};

// An eight-letter keyword for each card number, all distinct.
std::string letters(int i)
{
    std::string name(8, 'A');
    unsigned h = unsigned(i) * 2654435761u;
    for (int k = 0; k < 8; k++, h /= 26) name[size_t(k)] = char('A' + h % 26);
    return name;
}

std::vector<Keyword> distinct_keywords()
{
    std::vector<Keyword> keys;
    for (int i = 0; i < kCards - 1; i++) keys.push_back({letters(i), 0});
    return keys;
}

std::vector<Keyword> table_keywords()
{
    std::vector<Keyword> keys = {{"XTENSION", 0}, {"BITPIX", 0}, {"NAXIS", 0},   {"NAXIS", 1}, {"NAXIS", 2},
                                 {"PCOUNT", 0},   {"GCOUNT", 0}, {"TFIELDS", 0}, {"EXTNAME", 0}};
    for (int n = 1; n <= 398; n++)
        for (const char *name : {"TTYPE", "TFORM", "TUNIT", "TDISP", "TNULL"}) keys.push_back({name, n});
    return keys;
}

struct Header {
    FITSHead fits = ft_headinit(nullptr, 0);
    std::vector<Keyword> keys;
    Header(bool table, bool indexed) : keys(table ? table_keywords() : distinct_keywords())
    {
        for (size_t i = 0; fits && i < keys.size(); i++)
            ft_headappi(fits, keys[i].name.c_str(), keys[i].n, int(i), "a value");
        if (indexed) ft_headindex(fits);
    }
    ~Header() { ft_headfree(fits, 1); }
    bool complete() const { return fits && fits->ncard == kCards && int(keys.size()) == kCards - 1; }
};

// Every keyword of the header in turn, in a scattered order, by name and number
// (ft_headfind) or by a key card made beforehand (ft_cardfind).  Arguments: the
// header (0 distinct keywords, 1 table), and 1 to search with the index, 0 without.
void BM_headfind(benchmark::State &state)
{
    Header h(state.range(0) != 0, state.range(1) != 0);
    if (!h.complete()) return state.SkipWithError("header not built");
    size_t k = 0;
    for (auto _ : state) {
        k = k + 797 < h.keys.size() ? k + 797 : k + 797 - h.keys.size();
        FITSCard found = ft_headfind(h.fits, h.keys[k].name.c_str(), h.keys[k].n, 0);
        if (!found) return state.SkipWithError("keyword not found");
        benchmark::DoNotOptimize(found);
    }
}

void BM_cardfind(benchmark::State &state)
{
    Header h(state.range(0) != 0, state.range(1) != 0);
    if (!h.complete()) return state.SkipWithError("header not built");
    std::vector<FITSBuff> cards(h.keys.size());
    for (size_t i = 0; i < cards.size(); i++) ft_cardkey(&cards[i], h.keys[i].name.c_str(), h.keys[i].n);
    size_t k = 0;
    for (auto _ : state) {
        k = k + 797 < cards.size() ? k + 797 : k + 797 - cards.size();
        FITSCard found = ft_cardfind(h.fits, &cards[k], 0);
        if (!found) return state.SkipWithError("keyword not found");
        benchmark::DoNotOptimize(found);
    }
}

BENCHMARK(BM_headfind)->ArgNames({"table", "indexed"})->ArgsProduct({{0, 1}, {0, 1}});
BENCHMARK(BM_cardfind)->ArgNames({"table", "indexed"})->ArgsProduct({{0, 1}, {0, 1}});

} // namespace

// Keyword lookups in a header of 2000 cards: binary search of the sorted index
// against the sequential walk through the cards.
#include "fits.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr int kCards = 2000;

// An eight-letter keyword for each card number, all distinct.
std::string keyword(int i)
{
    std::string name(8, 'A');
    unsigned h = unsigned(i) * 2654435761u;
    for (int k = 0; k < 8; k++, h /= 26) name[size_t(k)] = char('A' + h % 26);
    return name;
}

struct Header {
    FITSHead fits = ft_headinit(nullptr, 0);
    std::vector<std::string> names;
    explicit Header(bool indexed)
    {
        for (int i = 0; fits && i < kCards - 1; i++) {
            names.push_back(keyword(i));
            ft_headappi(fits, names.back().c_str(), 0, i, "a value");
        }
        if (indexed) ft_headindex(fits);
    }
    ~Header() { ft_headfree(fits, 1); }
    bool complete() const { return fits && fits->ncard == kCards && int(names.size()) == kCards - 1; }
};

// Every keyword once, in a scattered order, by name (ft_headfind) or by key card
// (ft_cardfind); range(0) 1 searches with the index, 0 without.
void BM_headfind(benchmark::State &state)
{
    Header h(state.range(0) != 0);
    if (!h.complete()) return state.SkipWithError("header not built");
    size_t k = 0;
    for (auto _ : state) {
        k = (k + 7919) % h.names.size();
        FITSCard found = ft_headfind(h.fits, h.names[k].c_str(), 0, 0);
        if (!found) return state.SkipWithError("keyword not found");
        benchmark::DoNotOptimize(found);
    }
}

void BM_cardfind(benchmark::State &state)
{
    Header h(state.range(0) != 0);
    if (!h.complete()) return state.SkipWithError("header not built");
    std::vector<FITSBuff> keys(h.names.size());
    for (size_t i = 0; i < keys.size(); i++) ft_cardkey(&keys[i], h.names[i].c_str(), 0);
    size_t k = 0;
    for (auto _ : state) {
        k = (k + 7919) % keys.size();
        FITSCard found = ft_cardfind(h.fits, &keys[k], 0);
        if (!found) return state.SkipWithError("keyword not found");
        benchmark::DoNotOptimize(found);
    }
}

BENCHMARK(BM_headfind)->ArgName("indexed")->Arg(0)->Arg(1);
BENCHMARK(BM_cardfind)->ArgName("indexed")->Arg(0)->Arg(1);

} // namespace

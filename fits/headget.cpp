// Reading a keyword's value from a header: the card found by keyword, read by the
// card layer's typed readers, or the caller's default when the keyword is missing.
#include "fits.h"

#include <cstdlib>
#include <cstring>

namespace {

// One body for the typed getters: read converts the card found, fallback gives the
// default; the card found (or null) goes through card when it is given.
template <typename T, typename Read, typename Fallback>
T get_keyword(FITSHead fits, const char *name, int n, FITSCard *card, Read read, Fallback fallback)
{
    FITSCard found = ft_headfind(fits, name, n, 0);
    if (card) *card = found;
    return found ? read(found) : fallback();
}

template <typename T>
T typed(FITSHead fits, const char *name, int n, T fallback, FITSCard *card, T (*read)(FITSCard))
{
    return get_keyword<T>(fits, name, n, card, read, [fallback] { return fallback; });
}

char *copy_of(const char *text)
{
    if (!text) return nullptr;
    const std::size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

} // namespace

extern "C" {

char *ft_headget(FITSHead fits, const char *name, int n, FITSCard *card)
{
    // A missing card reads as the empty text.
    return get_keyword<char *>(fits, name, n, card, ft_cardget, [] { return ft_cardget(nullptr); });
}

int ft_headgetl(FITSHead fits, const char *name, int n, int ldefault, FITSCard *card)
{
    return typed(fits, name, n, ldefault, card, ft_cardgetl);
}

int ft_headgeti(FITSHead fits, const char *name, int n, int idefault, FITSCard *card)
{
    return typed(fits, name, n, idefault, card, ft_cardgeti);
}

double ft_headgetr(FITSHead fits, const char *name, int n, double ddefault, FITSCard *card)
{
    return typed(fits, name, n, ddefault, card, ft_cardgetr);
}

char *ft_headgets(FITSHead fits, const char *name, int n, const char *sdefault, FITSCard *card)
{
    return get_keyword<char *>(fits, name, n, card, ft_cardgets, [sdefault] { return copy_of(sdefault); });
}

} // extern "C"

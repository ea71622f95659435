// Finding a header's card by keyword name and index number, through a key card.
#include "keyword_card.h"
#include "fits.h"

extern "C" {

FITSCard ft_headfind(FITSHead fits, const char *name, int n, int add)
{
    if (!fits) return nullptr;
    KeywordCard key(name, n);
    return ft_cardfind(fits, key.get(), add);
}

FITSCard ft_headfindseq(FITSHead fits, const char *name, int n, int *match)
{
    if (!fits) return nullptr;
    KeywordCard key(name, n);
    return ft_cardfindseq(fits, key.get(), match);
}

FITSCard ft_headfindidx(FITSHead fits, const char *name, int n, int *match)
{
    if (!fits) return nullptr;
    KeywordCard key(name, n);
    return ft_cardfindidx(fits, key.get(), match);
}

} // extern "C"

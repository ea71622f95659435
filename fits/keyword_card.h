// A free-standing card for a keyword addressed by name and index number (NAXIS and 2
// make NAXIS2): blank first, then formatted, so a null name is the blank keyword.
// As a search key it holds the keyword only; as a new card, a value and comment too.
#ifndef TOLV_KEYWORD_CARD_H
#define TOLV_KEYWORD_CARD_H

#include "fits.h"

struct KeywordCard {
    FITSBuff card;
    KeywordCard(const char *name, int n, FITSType type = FT_UNKNOWN, const void *value = nullptr, int prec = 0,
                const char *comm = nullptr)
    {
        ft_cardclr(&card, 1);
        ft_cardfmt(&card, name, n, type, value, prec, comm);
    }
    FITSCard get() { return &card; }
};

#endif // TOLV_KEYWORD_CARD_H

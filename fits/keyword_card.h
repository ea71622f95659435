// A free-standing card for a keyword addressed by name and index number (NAXIS and 2
// make NAXIS2): blank first, then formatted, so a null name is the blank keyword.
// As a search key it holds the keyword only; as a new card, a value and comment too.
#ifndef TOLV_KEYWORD_CARD_H
#define TOLV_KEYWORD_CARD_H

#include "fits.h"
#include "keyword_columns.h"

#include <cstring>

struct KeywordCard {
    FITSBuff card;
    // A search key: the keyword alone, blanks after.
    KeywordCard(const char *name, int n)
    {
        std::memset(card.c, ' ', sizeof card.c);
        if (name) keyword_columns::write(card.c, name, n);
    }
    // The keyword is written here and the rest by the card formatter, which keeps
    // columns 1-8: a new card is no rename of a card an index holds.
    KeywordCard(const char *name, int n, FITSType type, const void *value = nullptr, int prec = 0,
                const char *comm = nullptr)
        : KeywordCard(name, n)
    {
        ft_cardfmt(&card, nullptr, 0, type, value, prec, comm);
    }
    FITSCard get() { return &card; }
};

#endif // TOLV_KEYWORD_CARD_H

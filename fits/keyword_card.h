// A free-standing card for a keyword addressed by name and index number (NAXIS and 2
// make NAXIS2): blank first, then formatted, so a null name is the blank keyword.
// As a search key it holds the keyword only; as a new card, a value and comment too.
#ifndef TOLV_KEYWORD_CARD_H
#define TOLV_KEYWORD_CARD_H

#include "fits.h"

#include <charconv>
#include <cstring>

struct KeywordCard {
    FITSBuff card;
    // A search key: the keyword alone, as ft_cardfmt writes it (at most 8
    // characters of name, then the digits of n that still fit), blanks after.
    KeywordCard(const char *name, int n)
    {
        std::memset(card.c, ' ', sizeof card.c);
        if (!name) return;
        char key[8 + 12];
        std::size_t len = strnlen(name, 8);
        std::memcpy(key, name, len);
        if (n != 0) len = std::size_t(std::to_chars(key + len, key + sizeof key, n).ptr - key);
        std::memcpy(card.c, key, len < 8 ? len : 8);
    }
    KeywordCard(const char *name, int n, FITSType type, const void *value = nullptr, int prec = 0,
                const char *comm = nullptr)
    {
        ft_cardclr(&card, 1);
        ft_cardfmt(&card, name, n, type, value, prec, comm);
    }
    FITSCard get() { return &card; }
};

#endif // TOLV_KEYWORD_CARD_H

// Test helpers: cards built from text, blank-padded to 80 columns, and read back as text.
#ifndef TOLV_TESTS_CARD_TEXT_H
#define TOLV_TESTS_CARD_TEXT_H

#include "fits.h"

#include <cstring>
#include <string>
#include <string_view>

inline std::string blanks(std::size_t n) { return std::string(n, ' '); }

// text followed by blanks up to width characters.
inline std::string padded(std::string_view text, std::size_t width = 80)
{
    std::string s(text);
    if (s.size() < width) s += blanks(width - s.size());
    return s;
}

inline void put_card(FITSBuff *card, std::string_view text)
{
    const std::string s = padded(text).substr(0, 80);
    std::memcpy(card->c, s.data(), 80);
}

inline FITSBuff card_of(std::string_view text)
{
    FITSBuff card;
    put_card(&card, text);
    return card;
}

inline std::string text_of(const FITSBuff &card) { return std::string(card.c, 80); }

#endif

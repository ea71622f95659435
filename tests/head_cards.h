// Test helpers: headers built from card texts, released at the end of the scope, and
// read back as texts.
#ifndef TOLV_TESTS_HEAD_CARDS_H
#define TOLV_TESTS_HEAD_CARDS_H

#include "card_text.h"
#include "fits.h"

#include <memory>
#include <string>
#include <vector>

struct HeadFree {
    void operator()(FITSHead fits) const { ft_headfree(fits, 1); }
};
using Head = std::unique_ptr<struct _FITSHead, HeadFree>;

// A new owned header holding the given cards, then END.
inline Head owned_head(const std::vector<std::string> &texts)
{
    Head fits(ft_headinit(nullptr, 0));
    for (const std::string &text : texts) {
        FITSBuff card = card_of(text);
        ft_cardapp(fits.get(), &card);
    }
    return fits;
}

// Card texts followed by END and blank cards up to whole 36-card blocks, as a file holds them.
inline std::vector<FITSBuff> block_cards(const std::vector<std::string> &texts)
{
    std::vector<FITSBuff> cards;
    for (const std::string &text : texts) cards.push_back(card_of(text));
    cards.push_back(card_of("END"));
    while (cards.size() % 36 != 0) cards.push_back(card_of(""));
    return cards;
}

// A header viewing cards in place.
inline Head viewed_head(std::vector<FITSBuff> &cards)
{
    return Head(ft_headinit(cards.data(), int64_t(cards.size()) * 80));
}

inline std::string card_text(const FITSBuff *card) { return card ? text_of(*card) : std::string("(none)"); }

// The keywords (columns 1-8, trailing blanks removed) of the cards in use.
inline std::vector<std::string> keywords(FITSHead fits)
{
    std::vector<std::string> out;
    for (int i = 0; i < fits->ncard; i++) {
        std::string key(fits->cards[i].c, 8);
        key.erase(key.find_last_not_of(' ') + 1);
        out.push_back(key);
    }
    return out;
}

inline int position(FITSHead fits, const FITSBuff *card) { return card ? int(card - fits->cards) : -1; }

#endif

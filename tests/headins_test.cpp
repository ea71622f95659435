#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <random>

namespace {

std::vector<std::string> numbered(int count)
{
    std::vector<std::string> texts;
    for (int i = 1; i <= count; i++) texts.push_back("KEY" + std::to_string(i) + "    =   1");
    return texts;
}

std::string formatted(const char *name, int n, FITSType type, const void *value, int prec, const char *comm)
{
    FITSBuff card = card_of("");
    ft_cardfmt(&card, name, n, type, value, prec, comm);
    return text_of(card);
}

} // namespace

TEST(headins, insert_after_here_and_duplicates)
{
    Head fits = owned_head({"SIMPLE  =                    T", "BITPIX  =                   16"});
    FITSCard card = ft_headinsl(fits.get(), "EXTEND", 0, 1, "ext", fits->cards);
    EXPECT_EQ(position(fits.get(), card), 1);
    EXPECT_EQ(card_text(card), padded("EXTEND  =                    T / ext"));
    ft_headinsl(fits.get(), "EXTEND", 0, 0, nullptr, fits->cards);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"SIMPLE", "EXTEND", "EXTEND", "BITPIX", "END"}));
    // Asked to follow END, the new card goes just before it: END stays last.
    card = ft_headinsi(fits.get(), "AFTER", 0, 1, nullptr, fits->cards + 4);
    EXPECT_EQ(position(fits.get(), card), 4);
    EXPECT_EQ(card_text(fits->cards + 5), padded("END"));
}

TEST(headins, typed_appenders_write_before_end)
{
    Head fits(ft_headinit(nullptr, 0));
    const int lvalue = 1;
    const int ivalue = -42;
    const double dvalue = 0.125;
    const std::vector<std::string> want = {
        formatted("OK", 0, FT_LOGICAL, &lvalue, 0, "flag"), formatted("COUNT", 3, FT_INTEGER, &ivalue, 0, nullptr),
        formatted("RATIO", 0, FT_REAL, &dvalue, 4, nullptr), formatted("OBJECT", 0, FT_STRING, "O'Brien", 0, nullptr),
        padded("PAIR    = (1.0,2.0)           / complex")};
    EXPECT_EQ(position(fits.get(), ft_headappl(fits.get(), "OK", 0, 1, "flag")), 0);  // END alone: first place
    ft_headappi(fits.get(), "COUNT", 3, -42, nullptr);
    ft_headappr(fits.get(), "RATIO", 0, 0.125, 4, nullptr);
    ft_headapps(fits.get(), "OBJECT", 0, "O'Brien", nullptr);
    ft_headappv(fits.get(), "PAIR", 0, "(1.0,2.0)", "complex");
    ASSERT_EQ(fits->ncard, 6);
    for (int i = 0; i < 5; i++) EXPECT_EQ(card_text(fits->cards + i), want[std::size_t(i)]);
    EXPECT_EQ(card_text(fits->cards + 5), padded("END"));
    EXPECT_EQ(card_text(fits->cards + 3), padded("OBJECT  = 'OBrien" + blanks(12) + "'"));
}

TEST(headins, growth_moves_end_and_blanks_the_new_block)
{
    Head fits = owned_head(numbered(35));
    EXPECT_EQ(fits->data, 2880);
    FITSCard card = ft_headappi(fits.get(), "NEW", 0, 7, nullptr);
    EXPECT_EQ(position(fits.get(), card), 35);
    EXPECT_EQ(fits->acard, 72);
    EXPECT_EQ(fits->ncard, 37);
    EXPECT_EQ(fits->data, 5760);
    EXPECT_EQ(card_text(fits->cards + 34), padded("KEY35    =   1"));
    EXPECT_EQ(card_text(fits->cards + 36), padded("END"));
    for (int i = 37; i < 72; i++) EXPECT_EQ(card_text(fits->cards + i), blanks(80));
    EXPECT_EQ(reinterpret_cast<const char *>(fits->cards)[72 * 80], '\0');
}

TEST(headins, growth_keeps_the_place_of_here)
{
    Head fits = owned_head(numbered(35));
    FITSCard card = ft_headinsi(fits.get(), "NEW", 0, 7, nullptr, fits->cards + 9);
    EXPECT_EQ(position(fits.get(), card), 10);
    EXPECT_EQ(keywords(fits.get())[10], "NEW");
    EXPECT_EQ(keywords(fits.get())[11], "KEY11");
}

TEST(headins, full_header_not_owned_is_left_byte_for_byte)
{
    for (const int kind : {FT_MEM_MMAP, FT_MEM_SHM, FT_MEM_BUFFER}) {
        std::vector<FITSBuff> cards = block_cards(numbered(35));
        const std::vector<FITSBuff> before = cards;
        Head fits = viewed_head(cards);
        fits->mem = kind;
        FITSBuff extra = card_of("EXTRA   =    1");
        EXPECT_EQ(ft_cardapp(fits.get(), &extra), nullptr);
        EXPECT_EQ(ft_headinsi(fits.get(), "EXTRA", 0, 1, nullptr, fits->cards), nullptr);
        EXPECT_EQ(ft_headfind(fits.get(), "EXTRA", 0, 1), nullptr);
        EXPECT_EQ(fits->ncard, 36);
        EXPECT_EQ(fits->acard, 36);
        EXPECT_EQ(std::memcmp(cards.data(), before.data(), cards.size() * 80), 0);
        fits->mem = FT_MEM_BUFFER;  // released as the caller's buffer it is
    }
}

TEST(headins, owned_header_that_cannot_count_more_cards_is_unchanged)
{
    // Counts at the largest whole number of blocks an int holds: one more block
    // cannot be counted, so the insertion fails before touching anything.
    FITSBuff cards[2] = {card_of("KEY     =    1"), card_of("END")};
    struct _FITSHead fits {};
    fits.cards = cards;
    fits.mem = FT_MEM_OWNED;
    fits.acard = fits.ncard = INT_MAX / 36 * 36;
    FITSBuff extra = card_of("EXTRA   =    1");
    EXPECT_EQ(ft_cardapp(&fits, &extra), nullptr);
    EXPECT_EQ(fits.ncard, INT_MAX / 36 * 36);
    EXPECT_EQ(fits.cards, cards);
    EXPECT_EQ(text_of(cards[0]), padded("KEY     =    1"));
    EXPECT_EQ(text_of(cards[1]), padded("END"));
}

TEST(headins, card_of_the_same_header_is_copied_before_growth)
{
    Head fits = owned_head(numbered(35));
    FITSCard card = ft_cardins(fits.get(), fits->cards + 2, nullptr);  // storage moves under it
    EXPECT_EQ(card_text(card), padded("KEY3    =   1"));
    EXPECT_EQ(position(fits.get(), card), 35);
}

TEST(headins, here_must_be_a_card_in_use)
{
    Head fits = owned_head({"A       =    1"});
    FITSBuff outside = card_of("B       =    2");
    EXPECT_EQ(ft_cardins(fits.get(), &outside, &outside), nullptr);
    EXPECT_EQ(ft_cardins(fits.get(), &outside, fits->cards + 5), nullptr);  // a blank place past END
    auto *middle = reinterpret_cast<FITSCard>(fits->cards->c + 3);
    EXPECT_EQ(ft_cardins(fits.get(), &outside, middle), nullptr);
    EXPECT_EQ(fits->ncard, 2);
    EXPECT_EQ(ft_cardins(nullptr, &outside, nullptr), nullptr);
    EXPECT_EQ(ft_cardins(fits.get(), nullptr, nullptr), nullptr);
}

TEST(headins, delete_removes_the_first_and_blanks_the_freed_place)
{
    Head fits = owned_head({"SIMPLE  =                    T", "OBJECT  = 'one'", "BITPIX  =    8", "OBJECT  = 'two'"});
    FITSCard place = ft_headdel(fits.get(), "OBJECT", 0);
    EXPECT_EQ(position(fits.get(), place), 1);
    EXPECT_EQ(card_text(place), padded("BITPIX  =    8"));
    EXPECT_EQ(fits->ncard, 4);
    EXPECT_EQ(card_text(fits->cards + 4), blanks(80));
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"SIMPLE", "BITPIX", "OBJECT", "END"}));
    EXPECT_EQ(ft_headdel(fits.get(), "FILTER", 0), nullptr);
    EXPECT_EQ(fits->ncard, 4);
}

TEST(headins, end_is_never_deleted)
{
    Head fits = owned_head({"SIMPLE  =                    T"});
    EXPECT_EQ(ft_headdel(fits.get(), "END", 0), nullptr);
    EXPECT_EQ(ft_carddel(fits.get(), fits->cards + 1), nullptr);
    EXPECT_EQ(fits->ncard, 2);
    EXPECT_EQ(card_text(fits->cards + 1), padded("END"));
    FITSBuff foreign = card_of("SIMPLE  =                    T");
    EXPECT_EQ(ft_carddel(fits.get(), &foreign), nullptr);
    EXPECT_EQ(ft_carddel(fits.get(), fits->cards), fits->cards);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"END"}));
}

TEST(headins, bare_key_card_from_find_with_add)
{
    Head fits = owned_head({"SIMPLE  =                    T"});
    FITSCard card = ft_headfind(fits.get(), "OBSERVER", 0, 1);
    EXPECT_EQ(card_text(card), padded("OBSERVER"));
    char value[73];
    FITSType type = FT_UNKNOWN;
    ft_cardpar(card, &type, value, nullptr, nullptr);
    EXPECT_EQ(type, FT_COMMENT);
}

namespace {

// A model of a header as card texts, edited alongside the real one.
struct Model {
    std::vector<std::string> cards;  // END last

    static std::string key_of(const std::string &card) { return card.substr(0, 8); }
    static bool near(const std::string &card, const std::string &key)
    {
        if (card.compare(0, 5, key, 0, 5) != 0) return false;
        for (int i = 5; i < 8; i++)
            if (card[std::size_t(i)] != ' ' && !std::isdigit(static_cast<unsigned char>(card[std::size_t(i)])))
                return false;
        return true;
    }
    int first(const std::string &key) const
    {
        for (std::size_t i = 0; i < cards.size(); i++)
            if (key_of(cards[i]) == key) return int(i);
        return -1;
    }
    // Where a missing keyword goes: after the last relative, else before END.
    int placement(const std::string &key) const
    {
        int at = int(cards.size()) - 1;
        for (std::size_t i = 0; i < cards.size(); i++)
            if (near(cards[i], key)) at = int(i) + 1;
        return at;
    }
};

void expect_invariants(FITSHead fits, const Model &model, int step)
{
    SCOPED_TRACE("step " + std::to_string(step));
    ASSERT_EQ(fits->ncard <= fits->acard, true);
    EXPECT_EQ(fits->acard % 36, 0);
    EXPECT_EQ(reinterpret_cast<const char *>(fits->cards)[std::size_t(fits->acard) * 80], '\0');
    ASSERT_EQ(fits->ncard, int(model.cards.size()));
    for (int i = 0; i < fits->ncard; i++) ASSERT_EQ(text_of(fits->cards[i]), model.cards[std::size_t(i)]);
    EXPECT_EQ(text_of(fits->cards[fits->ncard - 1]), padded("END"));
    for (int i = fits->ncard; i < fits->acard; i++) ASSERT_EQ(text_of(fits->cards[i]), blanks(80));

    std::map<std::string, int> count;
    for (const std::string &card : model.cards) count[Model::key_of(card)]++;
    for (const auto &[key, n] : count) {
        if (n != 1) continue;
        FITSBuff k = card_of(key);
        int seq_match = 0;
        int idx_match = 0;
        FITSCard seq = ft_cardfindseq(fits, &k, &seq_match);
        FITSCard idx = ft_cardfindidx(fits, &k, &idx_match);
        ASSERT_EQ(seq_match, 1) << key;
        ASSERT_EQ(idx_match, 1) << key;
        ASSERT_EQ(idx, seq) << key;
    }
}

struct Keyword {
    const char *name;
    int n;
};

} // namespace

TEST(headins, random_edits_keep_the_header_whole)
{
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto keyword = [&]() -> Keyword {
        static const char *const plain[] = {"OBJECT", "FILTER", "DATE-OBS", "HISTORY", "CRPIX1A"};
        switch (pick(0, 2)) {
        case 0: return {"NAXIS", pick(0, 12)};
        case 1: return {"KEYWD", pick(1, 300)};
        default: return {plain[pick(0, 4)], 0};
        }
    };

    Head fits(ft_headinit(nullptr, 0));
    Model model{{padded("END")}};
    for (int i = 1; i <= 250; i++) {
        ft_headappi(fits.get(), "KEYWD", i, i, nullptr);
        model.cards.insert(model.cards.end() - 1, formatted("KEYWD", i, FT_INTEGER, &i, 0, nullptr));
    }
    expect_invariants(fits.get(), model, 0);

    for (int step = 1; step <= 1500 && !::testing::Test::HasFatalFailure(); step++) {
        // Half the edits search through an index: the check leaves one built, or not.
        if (pick(0, 1) == 0) {
            std::free(fits->index);
            fits->index = nullptr;
        }
        const bool indexed = fits->index != nullptr;
        const Keyword k = keyword();
        const int value = pick(-1000, 1000);
        const std::string text = formatted(k.name, k.n, FT_INTEGER, &value, 0, nullptr);
        const std::string key = text.substr(0, 8);
        const int op = pick(0, 9);
        bool edited = false;  // a card was inserted or deleted
        if (op < 4) {  // insert after a random card, or before END
            const int here = pick(-1, fits->ncard - 1);
            FITSCard card = ft_headinsi(fits.get(), k.name, k.n, value, nullptr, here < 0 ? nullptr : fits->cards + here);
            const int end = int(model.cards.size()) - 1;
            const int at = here < 0 || here == end ? end : here + 1;
            ASSERT_EQ(position(fits.get(), card), at);
            model.cards.insert(model.cards.begin() + at, text);
            edited = true;
        } else if (op < 7) {  // set: rewrite the keyword's card, or create it
            const int existing = model.first(key);
            FITSCard card = ft_headseti(fits.get(), k.name, k.n, value, nullptr, 0);
            const int at = position(fits.get(), card);
            ASSERT_EQ(at >= 0, true);
            if (existing >= 0) {
                if (!indexed) {
                    ASSERT_EQ(at, existing);
                }
                ASSERT_EQ(Model::key_of(model.cards[std::size_t(at)]), key);
                model.cards[std::size_t(at)] = text;
            } else {
                if (!indexed) {
                    ASSERT_EQ(at, model.placement(key));
                }
                const bool after_relative = at > 0 && model.cards[std::size_t(at - 1)].compare(0, 5, key, 0, 5) == 0;
                ASSERT_EQ(after_relative || at == int(model.cards.size()) - 1, true);
                model.cards.insert(model.cards.begin() + at, text);
                edited = true;
            }
        } else {  // delete the keyword's card
            const int existing = model.first(key);
            FITSCard place = ft_headdel(fits.get(), k.name, k.n);
            if (existing < 0) {
                ASSERT_EQ(place, nullptr);
            } else {
                const int at = position(fits.get(), place);
                if (!indexed) {
                    ASSERT_EQ(at, existing);
                }
                ASSERT_EQ(Model::key_of(model.cards[std::size_t(at)]), key);
                model.cards.erase(model.cards.begin() + at);
                edited = true;
            }
        }
        if (edited) {
            EXPECT_EQ(fits->index, nullptr);  // every insertion and deletion drops the index
        }
        expect_invariants(fits.get(), model, step);
    }
    EXPECT_EQ(fits->ncard >= 200, true);
}

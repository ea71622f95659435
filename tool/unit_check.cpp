// The steps by which ft_indxmemdata accepts the unit at the start of a region, taken
// one at a time so that the first one that fails can be named.  The library itself
// finds END and reads the keywords, over a view bounded by the region.  The
// library reads a keyword from one card (strtol for an integer); the cards of a
// header it took are read here again, every card of each keyword.
#include "unit_check.h"

#include "fits.h"
#include "unit_rules.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr int64_t kBlock = FT_BLOCK_BYTES;
constexpr int64_t kCard = FT_CARD_BYTES;
// The most bytes the walk lets a header span; its END must lie within.
constexpr int64_t kLongestHeader = int64_t(INT_MAX) / kBlock * kBlock;
constexpr int kMaxAxes = 10;      // what FITSBasic holds
constexpr int kMaxAxisKey = 999;  // NAXISn keywords fit in 8 columns up to NAXIS999

constexpr const char kNoEnd[] = "its header has no END card";

// A header over the region's cards, viewed in place; released with the view.
struct HeaderView {
    const unsigned char *p;
    FITSHead h;
    HeaderView(const unsigned char *bytes, int64_t remaining)
        : p(bytes), h(ft_headinit(const_cast<unsigned char *>(bytes),
                                  remaining < kLongestHeader ? remaining : kLongestHeader))
    {
    }
    ~HeaderView() { ft_headfree(h, 0); }
    HeaderView(const HeaderView &) = delete;
    HeaderView &operator=(const HeaderView &) = delete;
    // Without END the library keeps only an END card of its own, not the region's cards.
    bool has_end() const { return reinterpret_cast<const unsigned char *>(h->cards) == p; }
};

std::string header_block_cut(int64_t bytes)
{
    return "the file ends inside its header (truncated: " + std::to_string(bytes) + " bytes of a 2880-byte block)";
}

std::string unprintable(int64_t offset, unsigned char byte)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", unsigned(byte));
    return "card " + std::to_string(offset / kCard + 1) + " of its header holds a byte that is not printable ASCII (" +
           hex + ")";
}

// A keyword's card as the library's basic description reads it: the first exact
// match, its value as written (trailing blanks dropped) and as an int.
struct Keyword {
    std::string name;
    std::string text;
    int value;
};

Keyword keyword(FITSHead h, const char *name, int n, int fallback)
{
    Keyword k{std::string(name) + (n ? std::to_string(n) : ""), "", fallback};
    int match = 0;
    const FITSCard card = ft_headfindseq(h, name, n, &match);
    if (!card || !match) return k;
    k.text = ft_cardget(card);
    k.text.erase(k.text.find_last_not_of(' ') + 1);
    k.value = ft_cardgeti(card);
    return k;
}

// A logical keyword as the library reads it: true when its value starts with T or t.
bool logical(FITSHead h, const char *name)
{
    int match = 0;
    const FITSCard card = ft_headfindseq(h, name, 0, &match);
    return card && match && ft_cardgetl(card);
}

std::string invalid(const Keyword &k) { return k.name + " " + k.text + " is not valid"; }

// Why the library has no basic description of the header: a count no data unit can
// have, or a data size beyond 64 bits by the library's own sizing rule.
std::string description_problem(FITSHead h)
{
    const Keyword naxis = keyword(h, "NAXIS", 0, 0);
    if (naxis.value < 0 || naxis.value > kMaxAxisKey) return invalid(naxis);
    if (naxis.value > kMaxAxes) return "NAXIS " + naxis.text + ": more than 10 axes are not supported";
    int axes[kMaxAxes] = {};
    for (int i = 1; i <= naxis.value; i++) {
        const Keyword axis = keyword(h, "NAXIS", i, 0);
        if (axis.value < 0) return invalid(axis);
        axes[i - 1] = axis.value;
    }
    const Keyword pcount = keyword(h, "PCOUNT", 0, 0), gcount = keyword(h, "GCOUNT", 0, 1);
    if (pcount.value < 0) return invalid(pcount);
    if (gcount.value < 0) return invalid(gcount);
    const int bitpix = keyword(h, "BITPIX", 0, 0).value;
    const bool groups = logical(h, "SIMPLE") && logical(h, "GROUPS");
    data_size::Size size;
    int64_t padded = 0;
    if (!data_size::of({bitpix, naxis.value, axes, pcount.value, gcount.value, groups}, &size) ||
        __builtin_add_overflow(size.bytes, kBlock - 1, &padded))
        return "its data size does not fit in 64 bits";
    return "its header cannot be interpreted";
}

// What keeps a header with END and printable text from describing data inside the region.
std::string layout_problem(FITSHead h, int64_t remaining)
{
    if (h->data > remaining) return header_block_cut(remaining - (h->data - kBlock));
    if (!h->basic) return description_problem(h);
    const int64_t available = remaining - h->data;
    if (h->basic->databytes > available)
        return "the file ends inside its data (truncated: " + std::to_string(h->basic->databytes) +
               " data bytes needed, " + std::to_string(available) + " available)";
    return "";
}

// A block after the first within the header's text that opens another header: the
// END of this one was lost and the library's END belongs to a later unit.
bool header_begins_later(const unsigned char *p, int64_t remaining, int64_t text_bytes)
{
    for (int64_t at = kBlock; at < text_bytes; at += kBlock)
        if (begins_a_header(p + at, remaining - at)) return true;
    return false;
}

// A card's value as written: a string between its quotes (doubled quotes read as
// one, trailing blanks dropped), or the text before the comment, trimmed; empty
// for a card without a value.
struct Written {
    std::string text;
    bool quoted;
    std::string shown() const { return quoted ? "'" + text + "'" : text; }
};

Written written(FITSCard card)
{
    char value[card_columns::kWidth + 1];
    FITSType type = FT_UNKNOWN;
    ft_cardpar(card, &type, value, nullptr, nullptr);
    if (type == FT_COMMENT) return {"", false};
    std::string text = value;
    text.erase(text.find_last_not_of(' ') + 1);
    return {text, type == FT_STRING};
}

enum class Decimal { integer, not_integer, out_of_range };

// An optional sign, then digits: the FITS form of an integer value.
Decimal decimal(const Written &w, int64_t *value)
{
    const std::string &t = w.text;
    const size_t first = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
    if (w.quoted || first == t.size()) return Decimal::not_integer;
    int64_t v = 0;
    bool beyond = false;
    for (size_t i = first; i < t.size(); i++) {
        if (!std::isdigit(static_cast<unsigned char>(t[i]))) return Decimal::not_integer;
        beyond = beyond || __builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, t[i] - '0', &v);
    }
    *value = t[0] == '-' ? -v : v;
    return beyond || *value < INT_MIN || *value > INT_MAX ? Decimal::out_of_range : Decimal::integer;
}

// The header's cards whose columns 1-8 hold `keyword`, in header order, with their
// card numbers (from 1).
std::vector<std::pair<FITSCard, int>> cards_named(FITSHead h, const std::string &keyword)
{
    std::vector<std::pair<FITSCard, int>> found;
    if (!h || !h->cards || keyword.size() > 8) return found;
    const std::string key = keyword + std::string(8 - keyword.size(), ' ');
    for (int i = 0; i < h->ncard; i++)
        if (card_columns::view(&h->cards[i]).substr(0, 8) == key) found.push_back({&h->cards[i], i + 1});
    return found;
}

} // namespace

std::string fits_string_key(std::string text)
{
    while (!text.empty() && text.back() == ' ') text.pop_back();
    for (char &c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string keyword_problem(FITSHead h, const std::string &keyword, KeywordKind kind)
{
    const auto cards = cards_named(h, keyword);
    std::vector<Written> values;
    std::vector<int64_t> numbers;
    for (const auto &found : cards) {
        const FITSCard card = found.first;
        values.push_back(written(card));
        const Written &w = values.back();
        if (kind == KeywordKind::text) continue;
        if (w.text.empty() && !w.quoted) return keyword + " has no value";
        int64_t v = 0;
        const Decimal d = decimal(w, &v);
        if (d == Decimal::not_integer) return keyword + " = " + w.shown() + " is not an integer";
        if (d == Decimal::out_of_range) return keyword + " = " + w.text + " is beyond the range of a 32-bit integer";
        // The reader takes a leading 0 for an octal number.
        if (ft_cardgeti(card) != v)
            return keyword + " = " + w.text + " is read here as octal " + std::to_string(ft_cardgeti(card)) +
                   ", where FITS means " + std::to_string(v);
        numbers.push_back(v);
    }
    for (size_t i = 1; i < cards.size(); i++) {
        const bool same = kind == KeywordKind::integer
                              ? numbers[i] == numbers[0]
                              : fits_string_key(values[i].text) == fits_string_key(values[0].text);
        if (!same)
            return keyword + " is given twice, as " + values[0].shown() + " (card " + std::to_string(cards[0].second) +
                   ") and as " + values[i].shown() + " (card " + std::to_string(cards[i].second) + ")";
    }
    return "";
}

std::string indexed_header_problem(FITSHead h)
{
    constexpr int kCardsPerBlock = int(kBlock / kCard);
    for (int c = kCardsPerBlock; h && h->cards && c < h->ncard; c += kCardsPerBlock)
        if (begins_a_header(reinterpret_cast<const unsigned char *>(h->cards[c].c), kCard))
            return std::string(kNoEnd) + ": it runs on into the header at card " + std::to_string(c + 1);
    std::vector<std::string> keywords = {"BITPIX", "NAXIS"};
    const int axes = h && h->basic ? h->basic->naxes : ft_headgeti(h, "NAXIS", 0, 0, nullptr);
    for (int i = 1; i <= axes && i <= kMaxAxisKey; i++) keywords.push_back("NAXIS" + std::to_string(i));
    keywords.insert(keywords.end(), {"PCOUNT", "GCOUNT"});
    for (const std::string &k : keywords) {
        const std::string why = keyword_problem(h, k, KeywordKind::integer);
        if (!why.empty()) return why;
    }
    return "";
}

bool begins_a_header(const unsigned char *p, int64_t remaining)
{
    return p && remaining >= 9 && (std::memcmp(p, "SIMPLE  =", 9) == 0 || std::memcmp(p, "XTENSION=", 9) == 0);
}

std::string unit_problem(const unsigned char *p, int64_t remaining)
{
    if (!p || remaining < kBlock) return header_block_cut(p && remaining > 0 ? remaining : 0);
    if (std::memcmp(p, "SIMPLE  ", 8) != 0 && std::memcmp(p, "XTENSION", 8) != 0)
        return "it does not begin with SIMPLE or XTENSION";
    const HeaderView view(p, remaining);
    if (!view.h) return "its header cannot be interpreted";
    // The header's text runs through END; without one, through every byte there is.
    const int64_t text_bytes = view.has_end() ? int64_t(view.h->ncard) * kCard : remaining;
    // A foreign byte past the first block, with no END in its own block, is most
    // likely data that a header which lost its END ran on into.
    const int64_t end_block = view.has_end() ? (text_bytes - kCard) / kBlock : INT64_MAX;
    const int64_t foreign = header_text::first_foreign_byte(p, text_bytes);
    if (foreign >= 0)
        return foreign >= kBlock && foreign / kBlock < end_block ? kNoEnd : unprintable(foreign, p[foreign]);
    const std::string why = view.has_end() ? layout_problem(view.h, remaining)
                                           : "the file ends inside its header (truncated)";
    return !why.empty() && header_begins_later(p, remaining, text_bytes) ? kNoEnd : why;
}

bool looks_like_a_header(const unsigned char *p, int64_t n)
{
    for (const char *start : {"XTENSION=", "SIMPLE  ="}) {
        const int64_t cols = n < 9 ? n : 9;
        int differ = 0;
        for (int64_t i = 0; i < cols; i++) differ += p[i] != static_cast<unsigned char>(start[i]);
        if (differ == 0 || (cols == 9 && differ <= 2)) return true;
    }
    return false;
}

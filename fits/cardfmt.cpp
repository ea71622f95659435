// Writing FITS cards: the keyword with its index number, a typed value in the fixed
// columns (logicals and integers end in column 30, strings open in column 11) and a
// comment after " / ".  Nothing is ever written past column 80.
#include "card_columns.h"
#include "card_index.h"
#include "fits.h"
#include "keyword_columns.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
const char FT_comment[1] = {'\0'};
const char *const FT_Comment = FT_comment;
}

namespace {

using namespace card_columns;

constexpr std::size_t kField = kWidth - kValue;  // 70 columns for a value
constexpr int kFixedEnd = 30;                     // last column of a right-justified value
constexpr int kRoundTripDigits = 16;              // "%.16E" reads back as the same double

// Columns of one card counted from 1; writes that would pass column 80 are cut.
struct Columns {
    char *c;
    void put(int col, char ch) const
    {
        if (col >= 1 && col <= int(kWidth)) c[col - 1] = ch;
    }
    // Returns the column of the last character written (col - 1 when none).
    int put(int col, std::string_view text) const
    {
        const int room = int(kWidth) - col + 1;
        const int n = room <= 0 ? 0 : int(text.size() < std::size_t(room) ? text.size() : std::size_t(room));
        std::memcpy(c + col - 1, text.data(), std::size_t(n));
        return col + n - 1;
    }
};

// Characters of text, single quotes left out, at most max of them.
std::size_t unquoted(const char *text, char *out, std::size_t max)
{
    std::size_t n = 0;
    for (; *text && n < max; text++)
        if (*text != '\'') out[n++] = *text;
    return n;
}

// Text of a real for columns 11-80: "%#20.*f" when it fits, otherwise the exponent
// form with a decimal point and the fewest digits that read back as the same double.
std::string_view format_real(double x, int prec, char (&out)[kField + 1])
{
    if (prec < 0) prec = 6;
    if (!std::isfinite(x)) prec = 0;  // "nan" and "inf" are written without digits
    if (prec <= int(kField) - 2) {  // the point and one digit before it take two columns
        const int n = std::snprintf(out, sizeof out, "%#20.*f", prec, x);
        if (n > 0 && n <= int(kField)) return {out, std::size_t(n)};
    }
    int n = 0;
    for (int digits = 0; digits <= kRoundTripDigits; digits++) {
        n = std::snprintf(out, sizeof out, "%#20.*E", digits, x);
        if (std::strtod(out, nullptr) == x) break;
    }
    return {out, std::size_t(n)};
}

int write_string(Columns card, const char *text)
{
    char s[kField];
    const std::size_t n = unquoted(text, s, kField - 2);  // columns 12 to 79
    card.put(11, '\'');
    const int last = card.put(12, {s, n});
    const int close = last < kFixedEnd ? kFixedEnd : last + 1;
    card.put(close, '\'');
    return close;
}

int write_value_text(Columns card, const char *text)
{
    char s[kField];
    const int last = card.put(11, {s, unquoted(text, s, kField)});
    return last < kFixedEnd - 1 ? kFixedEnd - 1 : last;
}

// Writes the value with its "=" and returns the last column of the value, E.
int write_value(Columns card, FITSType type, const void *value, int prec)
{
    char text[kField + 1];
    switch (type) {
    case FT_LOGICAL:
        card.put(9, '=');
        card.put(kFixedEnd, *static_cast<const int *>(value) ? 'T' : 'F');
        return kFixedEnd;
    case FT_INTEGER: {
        card.put(9, '=');
        const int n = std::snprintf(text, sizeof text, "%20d", *static_cast<const int *>(value));
        return card.put(11, {text, std::size_t(n)});
    }
    case FT_REAL:
        card.put(9, '=');
        return card.put(11, format_real(*static_cast<const double *>(value), prec, text));
    case FT_STRING:
        card.put(9, '=');
        return write_string(card, static_cast<const char *>(value));
    case FT_VALUE:
        card.put(9, '=');
        return write_value_text(card, static_cast<const char *>(value));
    default:
        return kFixedEnd;
    }
}

// " / comment" after the value's last column; leading blanks of the comment are
// skipped, and it is cut at column 80.
void write_comment(Columns card, const char *comm, int end)
{
    while (*comm == ' ') comm++;
    int len = int(strnlen(comm, kWidth));
    if (len + end + 3 > int(kWidth)) len = int(kWidth) - 3 - end;
    if (len <= 0) return;
    card.put(end + 2, '/');
    card.put(end + 3, ' ');
    card.put(end + 4, {comm, std::size_t(len)});
}

// The comment the card holds now, as the parser finds it (past a string's closing
// quote), but never from the keyword field.
void keep_comment(const FITSBuff *card, char (&out)[kWidth + 1])
{
    const std::string_view c = view(card);
    std::size_t from = comment_search_start(c);
    if (from < kIndicator) from = kIndicator;
    const std::string_view comm = comment_after(c, from);
    comm.copy(out, comm.size());
    out[comm.size()] = '\0';
}

// Around a write of one card: when the write changes the card's sort key (a rename
// in place), an index over the card learns of it.
class RenameWatch {
public:
    explicit RenameWatch(const FITSBuff *card) : card_(card), before_(card_index::sort_key(card)) {}
    ~RenameWatch()
    {
        if (!(card_index::sort_key(card_) == before_)) card_index::renamed(card_, 1);
    }
    RenameWatch(const RenameWatch &) = delete;
    RenameWatch &operator=(const RenameWatch &) = delete;

private:
    const FITSBuff *card_;
    card_index::SortKey before_;
};

} // namespace

extern "C" {

FITSCard ft_cardfmt(FITSCard card, const char *name, int n, FITSType type, const void *value,
                    int prec, const char *comm)
{
    if (!card) return nullptr;
    char kept[kWidth + 1];
    if (comm == FT_Comment) {
        keep_comment(card, kept);
        comm = kept;
    }
    const RenameWatch watch(card);
    const Columns cols{card->c};
    std::memset(card->c + kIndicator, ' ', kWidth - kIndicator);
    if (name) keyword_columns::write(card->c, name, n);
    int end = kFixedEnd;
    if (value && type == FT_COMMENT) {
        // Commentary text from column 9, where the parser takes it from.
        const char *text = static_cast<const char *>(value);
        cols.put(9, std::string_view(text, strnlen(text, kWidth)));
        return card;
    }
    if (value) end = write_value(cols, type, value, prec);
    if (comm) write_comment(cols, comm, end);
    return card;
}

FITSCard ft_cardkey(FITSCard card, const char *name, int n)
{
    return ft_cardfmt(card, name, n, FT_UNKNOWN, nullptr, 0, nullptr);
}

FITSCard ft_cardset(FITSCard card, FITSType type, const void *value, int prec, const char *comm)
{
    return ft_cardfmt(card, nullptr, 0, type, value, prec, comm);
}

FITSCard ft_cardsetl(FITSCard card, int lvalue, const char *comm)
{
    return ft_cardset(card, FT_LOGICAL, &lvalue, 0, comm);
}

FITSCard ft_cardseti(FITSCard card, int ivalue, const char *comm)
{
    return ft_cardset(card, FT_INTEGER, &ivalue, 0, comm);
}

FITSCard ft_cardsetr(FITSCard card, double rvalue, int prec, const char *comm)
{
    return ft_cardset(card, FT_REAL, &rvalue, prec, comm);
}

FITSCard ft_cardsets(FITSCard card, const char *svalue, const char *comm)
{
    return ft_cardset(card, FT_STRING, svalue, 0, comm);
}

FITSCard ft_cardclr(FITSCard card, int ncards)
{
    if (!card || ncards <= 0) return card;
    // Blanking renames every card whose keyword is not blank already.
    for (int i = 0; i < ncards; i++)
        if (std::memcmp(card[i].c, "        ", card_index::kKeyword) != 0) {
            card_index::renamed(card, ncards);
            break;
        }
    std::memset(card->c, ' ', std::size_t(ncards) * kWidth);
    return card;
}

FITSCard ft_cardcpy(FITSCard card1, FITSCard card2)
{
    if (!card1 || !card2) return card1;
    const RenameWatch watch(card1);
    std::memmove(card1->c, card2->c, kWidth);
    return card1;
}

} // extern "C"

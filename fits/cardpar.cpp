// Reading FITS cards: the keyword's index number, the value text and its type, the
// comment, and the typed readers.  Every read stays inside the card's 80 columns.
#include "card_columns.h"
#include "fits.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

using namespace card_columns;

// The value text ft_cardget returns: one per thread, so that threads reading
// headers at once never write over each other's values.
thread_local FITSBuff ft_value;

// Room for any value text ft_cardpar writes (72 characters and a terminator).
using ValueText = char[sizeof(FITSBuff)];

// strtol with base 0 over a bounded run of characters: the run is copied and
// terminated first, so blanks or digits up to its end never continue past it.
// The result is clamped to the range of int, the same on every host.
int strtol_bounded(std::string_view run)
{
    char text[kWidth + 1];
    run.copy(text, kWidth);
    text[run.size() < kWidth ? run.size() : kWidth] = '\0';
    const long v = std::strtol(text, nullptr, 0);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

std::size_t put(char *to, std::string_view text)
{
    text.copy(to, text.size());
    to[text.size()] = '\0';
    return text.size();
}

// The string opened in column 11: doubled quotes read as one, trailing blanks dropped.
void read_string(std::string_view c, char *value)
{
    std::size_t n = 0;
    const std::size_t close = string_close(c);
    for (std::size_t i = kValue + 1; i < close; i++) {
        value[n++] = c[i];
        if (c[i] == '\'') i++;  // the second quote of a pair
    }
    while (n > 0 && value[n - 1] == ' ') n--;
    value[n] = '\0';
}

// A logical, integer or real: from the first non-blank up to the slash or column 80.
// Nothing but blanks before the slash (KEY     =   / comment) is an undefined value,
// read as an empty text, as a value of blanks is.
FITSType read_number(std::string_view c, char *value)
{
    std::string_view field = c.substr(kValue);
    field = field.substr(0, field.find('/'));
    const std::size_t first = field.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        value[0] = '\0';
        return FT_INTEGER;
    }
    field = field.substr(first);
    put(value, field);
    const char first_char = field[0];
    const bool logical = first_char == 'T' || first_char == 'F' || first_char == 't' || first_char == 'f';
    FITSType type = logical ? FT_LOGICAL : FT_INTEGER;
    if (field.find('.') != std::string_view::npos) type = FT_REAL;
    return type;
}

FITSType read_value(std::string_view c, char *value)
{
    if (is_commentary(c)) {
        put(value, c.substr(kIndicator));
        return FT_COMMENT;
    }
    if (c[kValue] == '\'') {
        read_string(c, value);
        return FT_STRING;
    }
    return read_number(c, value);
}

} // namespace

extern "C" {

char *ft_cardpar(FITSCard card, FITSType *type, char *value, int *index, char *comm)
{
    if (!card) {
        if (value) value[0] = '\0';
        return value;
    }
    const std::string_view c = view(card);
    char scratch[kWidth + 1];  // lets a caller without a value buffer still get the rest
    const FITSType t = read_value(c, value ? value : scratch);
    if (type) *type = t;
    if (index) *index = strtol_bounded(c.substr(kIndex));
    if (comm) put(comm, comment_after(c, comment_search_start(c)));
    return value;
}

char *ft_cardget(FITSCard card) { return ft_cardpar(card, nullptr, ft_value.c, nullptr, nullptr); }

// The typed readers read the value text into a buffer of their own.
int ft_cardgetl(FITSCard card)
{
    ValueText text;
    const char first = ft_cardpar(card, nullptr, text, nullptr, nullptr)[0];
    return first == 'T' || first == 't';
}

int ft_cardgeti(FITSCard card)
{
    ValueText text;
    return strtol_bounded(ft_cardpar(card, nullptr, text, nullptr, nullptr));
}

double ft_cardgetr(FITSCard card)
{
    ValueText text;
    return std::strtod(ft_cardpar(card, nullptr, text, nullptr, nullptr), nullptr);
}

char *ft_cardgets(FITSCard card)
{
    ValueText value;
    const char *text = ft_cardpar(card, nullptr, value, nullptr, nullptr);
    const std::size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

} // extern "C"

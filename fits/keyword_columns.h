// Columns 1-8 of a card: the keyword made of a name and an index number (NAXIS and 2
// make NAXIS2, TTYPE and 123 make TTYPE123), written the one way the card formatter
// and the search keys both need.
#ifndef TOLV_KEYWORD_COLUMNS_H
#define TOLV_KEYWORD_COLUMNS_H

#include <charconv>
#include <cstring>

namespace keyword_columns {

constexpr std::size_t kColumns = 8;

// Writes columns 1-8 from `columns` on: at most 8 characters of name, then as many
// digits of n (none when n is 0, a sign when it is negative) as still fit, blanks
// after.  Reads at most 8 characters of name, which need not be terminated after them.
inline void write(char *columns, const char *name, int n)
{
    std::memset(columns, ' ', kColumns);
    char key[kColumns + 12];
    std::size_t len = strnlen(name, kColumns);
    std::memcpy(key, name, len);
    if (n != 0) len = std::size_t(std::to_chars(key + len, key + sizeof key, n).ptr - key);
    std::memcpy(columns, key, len < kColumns ? len : kColumns);
}

} // namespace keyword_columns

#endif // TOLV_KEYWORD_COLUMNS_H

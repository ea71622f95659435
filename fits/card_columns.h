// The columns of an 80-column FITS card as the card parser and formatter read them:
// keyword 1-8, "=" in 9, value from 11, comment after the first slash past the value.
#ifndef TOLV_CARD_COLUMNS_H
#define TOLV_CARD_COLUMNS_H

#include "block_layout.h"
#include "fits.h"

#include <cstddef>
#include <string_view>

namespace card_columns {

constexpr std::size_t kWidth = block_layout::kCardBytes;  // characters in a card
constexpr std::size_t kIndicator = 8;  // offset of column 9, the value indicator
constexpr std::size_t kValue = 10;     // offset of column 11, where values start
constexpr std::size_t kIndex = 5;      // offset of column 6, where an index number starts

// A bounded view of the card's 80 columns; nothing is read past column 80.
inline std::string_view view(const FITSBuff *card) { return {card->c, kWidth}; }

// Commentary cards carry no value: HISTORY, COMMENT, a blank keyword, or no "=" in column 9.
inline bool is_commentary(std::string_view c)
{
    const std::string_view key = c.substr(0, 8);
    return key == "HISTORY " || key == "COMMENT " || key == "        " || c[kIndicator] != '=';
}

// A string value opens with a quote in exactly column 11.
inline bool is_string(std::string_view c) { return !is_commentary(c) && c[kValue] == '\''; }

// Offset of the quote that closes the string opened in column 11, or kWidth when the
// string runs through column 80.  A doubled quote stands for one quote and does not close.
inline std::size_t string_close(std::string_view c)
{
    std::size_t i = kValue + 1;
    while (i < kWidth) {
        if (c[i] != '\'') {
            i++;
        } else if (i + 1 < kWidth && c[i + 1] == '\'') {
            i += 2;
        } else {
            return i;
        }
    }
    return kWidth;
}

// Offset from which the slash opening the comment is looked for: the whole card for
// commentary, past the closing quote for strings, the value field otherwise.
inline std::size_t comment_search_start(std::string_view c)
{
    if (is_commentary(c)) return 0;
    if (c[kValue] == '\'') return string_close(c);
    return kValue;
}

// The comment text after the first slash at or after `from`; empty when there is none.
inline std::string_view comment_after(std::string_view c, std::size_t from)
{
    const std::size_t slash = c.find('/', from);
    return slash == std::string_view::npos ? std::string_view() : c.substr(slash + 1);
}

} // namespace card_columns

#endif // TOLV_CARD_COLUMNS_H

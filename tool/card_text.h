// The text of header cards as tolv writes them: keyword, "= ", the value in
// FITS's fixed form (right-justified to column 30, strings quoted from column
// 11) and " / " with the comment, cut at column 80.
#ifndef TOLV_CARD_TEXT_H
#define TOLV_CARD_TEXT_H

#include <charconv>
#include <cmath>
#include <string>

// A card of 80 characters.
std::string card_text(const std::string &key, const std::string &value, const std::string &comment);

// A value right-justified to 20 columns.
std::string right_justified(std::string text);

// The shortest text that reads back as exactly this value, in a FITS real's form
// (a point or an exponent E).  A value that is not finite has no FITS form: the
// value is left undefined.
template <typename Real>
std::string real_value(Real v)
{
    if (!std::isfinite(v)) return right_justified("");
    char buf[64];
    std::string s(buf, size_t(std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
    const size_t e = s.find('e');
    if (e != std::string::npos) s[e] = 'E';
    if (s.find('.') == std::string::npos) s.insert(e == std::string::npos ? s.size() : e, ".0");
    return right_justified(s);
}

std::string integer_value(long long v);
std::string logical_value(bool v);

// The END card: END and blanks to column 80.
std::string end_card_text();

// A keyword of a numbered family, the number in two digits: FRGFIL01.
std::string numbered_key(const char *stem, long n);

// A quoted FITS string of at most 68 characters between the quotes: quotes
// doubled, bytes outside printable ASCII written as '?', padded to 8.
std::string quoted_value(const std::string &text);

#endif

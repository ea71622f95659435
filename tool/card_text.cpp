// Header cards as text.
#include "card_text.h"

#include <cstdio>

namespace {

constexpr size_t CARD = 80, KEY = 8;
constexpr size_t LONGEST_STRING = 68; // columns 12 to 79, between the quotes

} // namespace

std::string card_text(const std::string &key, const std::string &value, const std::string &comment)
{
    std::string c = key;
    c.resize(KEY, ' ');
    c += "= " + value;
    if (!comment.empty()) c += " / " + comment;
    c.resize(CARD, ' ');
    return c;
}

std::string right_justified(std::string text)
{
    if (text.size() < 20) text.insert(0, 20 - text.size(), ' ');
    return text;
}

std::string integer_value(long long v) { return right_justified(std::to_string(v)); }

std::string logical_value(bool v) { return right_justified(v ? "T" : "F"); }

std::string end_card_text()
{
    std::string c = "END";
    c.resize(CARD, ' ');
    return c;
}

std::string numbered_key(const char *stem, long n)
{
    char key[32];
    std::snprintf(key, sizeof key, "%s%02ld", stem, n % 100);
    return key;
}

std::string quoted_value(const std::string &text)
{
    std::string inside;
    for (const char ch : text) {
        const std::string piece = ch == '\'' ? "''" : (ch < ' ' || ch > '~') ? "?" : std::string(1, ch);
        if (inside.size() + piece.size() > LONGEST_STRING) break;
        inside += piece;
    }
    if (inside.size() < 8) inside.resize(8, ' ');
    return "'" + inside + "'";
}

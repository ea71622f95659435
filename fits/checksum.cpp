// The FITS checksum convention: a unit's bytes read as big-endian 32-bit words and added
// in ones' complement; DATASUM records the data unit's sum, CHECKSUM makes the unit sum to -0.
#include "card_columns.h"
#include "fits.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

using card_columns::kValue;
using card_columns::kWidth;

constexpr uint32_t kNegativeZero = 0xFFFFFFFFu;  // every bit set: a unit that checks out
constexpr std::size_t kEncoded = 16;             // characters of a CHECKSUM value
constexpr std::size_t kMinString = 8;            // a FITS string is blank-padded to 8 characters

// A sum of 32-bit words reduced to 32 bits with end-around carries.  After one fold the
// value is below 2^33, so the second leaves no carry; a nonzero sum never folds to 0.
constexpr uint32_t fold(uint64_t s)
{
    s = (s & 0xFFFFFFFFu) + (s >> 32);
    s = (s & 0xFFFFFFFFu) + (s >> 32);
    return uint32_t(s);
}

inline uint32_t load_be32(const unsigned char *p)
{
    uint32_t w;
    std::memcpy(&w, p, 4);  // any alignment
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
    return w;
}

// nwords words from p added to sum.  The accumulator takes 2^30 words at a time, far
// below the 2^32 that could carry out of 64 bits, and is folded in between.
uint32_t add_words(const unsigned char *p, int64_t nwords, uint32_t sum)
{
    constexpr int64_t kChunk = int64_t(1) << 30;
    while (nwords > 0) {
        const int64_t n = nwords < kChunk ? nwords : kChunk;
        uint64_t acc = sum;
        for (int64_t i = 0; i < n; i++) acc += load_be32(p + 4 * i);
        sum = fold(acc);
        p += 4 * n;
        nwords -= n;
    }
    return sum;
}

// The 13 punctuation characters between the digits and the upper-case letters and after
// them, which an encoded value never holds.
constexpr std::array<int, 13> kPunctuation = {':', ';', '<', '=', '>', '?', '@', '[', '\\', ']', '^', '_', '`'};

constexpr bool is_punctuation(int ch)
{
    for (int p : kPunctuation)
        if (ch == p) return true;
    return false;
}

// Maps a byte of the encoded value to its four characters: a quarter of it each (the
// first also takes the remainder) above '0', then moved off punctuation in pairs, one up
// and one down, so that the four still add up to the byte plus 4 * '0'.
using Quad = std::array<char, 4>;
constexpr std::array<Quad, 256> make_quads()
{
    std::array<Quad, 256> quads{};
    for (int byte = 0; byte < 256; byte++) {
        int ch[4];
        for (int &c : ch) c = byte / 4 + '0';
        ch[0] += byte % 4;
        for (bool moved = true; moved;) {
            moved = false;
            for (int p : kPunctuation)
                for (int j = 0; j < 4; j += 2)
                    if (ch[j] == p || ch[j + 1] == p) {
                        ch[j]++;
                        ch[j + 1]--;
                        moved = true;
                    }
        }
        for (int j = 0; j < 4; j++) quads[std::size_t(byte)][std::size_t(j)] = char(ch[j]);
    }
    return quads;
}
constexpr std::array<Quad, 256> kQuads = make_quads();
static_assert([] {
    for (const Quad &q : kQuads)
        for (char c : q)
            if (is_punctuation(c) || c < '0' || c > 'z') return false;
    return true;
}());

// The CHECKSUM and DATASUM cards of a header: the first of each before END whose
// keyword has a value indicator.
struct SumCards {
    FITSCard checksum = nullptr;
    FITSCard datasum = nullptr;
};

SumCards find_sum_cards(FITSCard cards, int ncards)
{
    SumCards found;
    for (int i = 0; i < ncards; i++) {
        const std::string_view c = card_columns::view(cards + i);
        const std::string_view key = c.substr(0, 8);
        if (key == "END     ") break;
        if (card_columns::is_commentary(c)) continue;
        if (key == "CHECKSUM" && !found.checksum) found.checksum = cards + i;
        if (key == "DATASUM " && !found.datasum) found.datasum = cards + i;
    }
    return found;
}

// Writes text (at most 16 characters, no quotes) as the card's string value with the
// library's writer, comment kept, then closes the string as CFITSIO and astropy do: right
// after the text padded to 8.  astropy checks CHECKSUM by zeroing the card in that layout.
void write_sum_string(FITSCard card, std::string_view text)
{
    char value[kEncoded + 1] = {};
    text.copy(value, kEncoded);
    ft_cardsets(card, value, FT_Comment);
    const std::size_t writer_close = card_columns::string_close(card_columns::view(card));
    const std::size_t close = kValue + 1 + (text.size() < kMinString ? kMinString : text.size());
    if (writer_close < kWidth) card->c[writer_close] = ' ';
    card->c[close] = '\'';
}

// The number DATASUM records: its string value, blanks around it allowed, as unsigned
// decimal of at most 32 bits; false for anything else.
bool recorded_datasum(const FITSBuff *card, uint32_t *sum)
{
    const std::string_view c = card_columns::view(card);
    if (!card_columns::is_string(c)) return false;
    std::string_view text = c.substr(kValue + 1, card_columns::string_close(c) - (kValue + 1));
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return false;
    text = text.substr(first, text.find_last_not_of(' ') + 1 - first);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *sum);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

extern "C" {

uint32_t ft_checksum(const void *data, int64_t nbytes, uint32_t sum)
{
    if (!data || nbytes <= 0) return sum;
    const auto *p = static_cast<const unsigned char *>(data);
    const int64_t whole = nbytes / 4;
    sum = add_words(p, whole, sum);
    const int64_t left = nbytes - whole * 4;
    if (left == 0) return sum;
    unsigned char last[4] = {0, 0, 0, 0};  // a partial word is padded with zero bytes
    std::memcpy(last, p + whole * 4, std::size_t(left));
    return fold(uint64_t(sum) + load_be32(last));
}

char *ft_checksumenc(uint32_t sum, char *ascii)
{
    if (!ascii) return nullptr;
    const uint32_t value = ~sum;
    char spread[kEncoded];  // byte i of the value gives character i of each group of four
    for (int i = 0; i < 4; i++) {
        const Quad &quad = kQuads[(value >> (24 - 8 * i)) & 0xFFu];
        for (int j = 0; j < 4; j++) spread[4 * j + i] = quad[std::size_t(j)];
    }
    // The value starts in column 12, the last byte of a word: rotated one place right,
    // each character lands on the byte of the word whose part of the sum it carries.
    for (std::size_t k = 0; k < kEncoded; k++) ascii[k] = spread[(k + kEncoded - 1) % kEncoded];
    ascii[kEncoded] = '\0';
    return ascii;
}

int ft_checksumset(FITSCard cards, int ncards, uint32_t datasum)
{
    if (!cards || ncards <= 0) return 0;
    const SumCards found = find_sum_cards(cards, ncards);
    int set = 0;
    if (found.datasum) {
        char text[10];
        const auto end = std::to_chars(text, text + sizeof text, datasum).ptr;
        write_sum_string(found.datasum, {text, std::size_t(end - text)});
        set |= 2;
    }
    if (found.checksum) {
        write_sum_string(found.checksum, "0000000000000000");
        char ascii[kEncoded + 1];
        ft_checksumenc(ft_checksum(cards, int64_t(ncards) * int64_t(kWidth), datasum), ascii);
        std::memcpy(found.checksum->c + kValue + 1, ascii, kEncoded);
        set |= 1;
    }
    return set;
}

int ft_checksumcheck(FITSCard cards, int ncards, const void *data, int64_t databytes)
{
    if (!cards || ncards <= 0) return -1;
    const SumCards found = find_sum_cards(cards, ncards);
    if (!found.checksum && !found.datasum) return -1;
    const uint32_t datasum = ft_checksum(data, databytes, 0);
    bool holds = true;
    if (found.datasum) {
        uint32_t recorded = 0;
        holds = recorded_datasum(found.datasum, &recorded) && recorded == datasum;
    }
    if (found.checksum)
        holds = holds && ft_checksum(cards, int64_t(ncards) * int64_t(kWidth), datasum) == kNegativeZero;
    return holds ? 1 : 0;
}

} // extern "C"

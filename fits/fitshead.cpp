// Extended file names, path[extname,extver,...] or path[number]..., and opening a FITS
// stream at the header-data unit they select, copying every unit passed over.
#define _FILE_OFFSET_BITS 64 // files past 2 GiB on 32-bit hosts too

#include "block_layout.h"
#include "fits.h"
#include "gzstream.h"
#include "name_buffer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Receives every unit the openers pass over in this thread while it is set: a
// thread's setting never sends another thread's units into its stream.
thread_local File copy_file = nullptr;

using name_buffer::kNameBytes;

// Classes of a selector word.
enum WordClass { kEmpty = 0, kNameWord = 1, kNumberWord = 2, kOtherWord = 3 };

bool ends_word(char c) { return c == '\0' || c == ',' || c == ']'; }

// ASCII classes, whatever the locale.
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr char folded(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Read the word at *fptr up to NUL, "," or "]" (where *fptr is left) into *word.  A "+"
// first in the word or last before its end is a marker: it sets *cflag and is dropped,
// so the word's text is one run of the file name.
int GetWordType(const char **fptr, std::string_view *word, int *cflag)
{
    const char *p = *fptr;
    const char *first = p;
    const char *last = p;
    int got = 0, digits = 0, letters = 0, others = 0;
    for (; !ends_word(*p); ++p, ++got) {
        const char c = *p;
        if (is_digit(c)) {
            ++digits;
        } else if (is_letter(c) || c == '_' || c == '$') {
            ++letters;
        } else if (c == '+' && (got == 0 || ends_word(p[1]))) {
            *cflag = 1;
            if (got == 0) first = p + 1;
            continue; // dropped: last stays before it
        } else {
            ++others;
        }
        last = p + 1;
    }
    *fptr = p;
    *word = first < last ? std::string_view(first, std::size_t(last - first)) : std::string_view();
    if (got == 0) return kEmpty;
    if (others > 0) return kOtherWord;
    return digits > 0 && letters == 0 ? kNumberWord : kNameWord;
}

// Copy text into a buffer of maxlen bytes: at most maxlen-1 characters, terminated.
void put_text(char *to, std::string_view text, int maxlen)
{
    if (!to || maxlen < 1) return;
    const std::size_t n = text.size() < std::size_t(maxlen - 1) ? text.size() : std::size_t(maxlen - 1);
    if (n > 0) std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

// Append text after the `used` characters of a buffer of maxlen bytes; the new count.
std::size_t append_text(char *to, std::size_t used, std::string_view text, int maxlen)
{
    const std::size_t room = std::size_t(maxlen - 1) - used;
    const std::size_t n = text.size() < room ? text.size() : room;
    if (n > 0) std::memcpy(to + used, text.data(), n);
    to[used + n] = '\0';
    return used + n;
}

// The decimal value of a number word; one too large for an int is read as INT_MAX.
int number_of(std::string_view digits)
{
    int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return int(value);
}

// Remove each "[]" that has more text after it, in one left-to-right pass.
void cut_empty_pairs(char *tail)
{
    std::size_t len = std::strlen(tail);
    for (std::size_t i = 0; i + 2 < len; ++i) {
        if (tail[i] == '[' && tail[i + 1] == ']') {
            std::memmove(tail + i, tail + i + 2, len - i - 1);
            len -= 2;
        }
    }
}

bool only_brackets(const char *text) { return text[std::strspn(text, "[] ")] == '\0'; }

struct Limits {
    int name, extn, tail;
};

// The parser behind ft_parsefilename, with a bound for each output.
int parse_name(const char *filename, char *name, char *extn, int *indx, char *tail, Limits max)
{
    int cflag = 0;
    put_text(extn, "", max.extn);
    put_text(tail, "", max.tail);
    *indx = -1;
    if (!filename || !*filename) return 0;
    const std::size_t path = std::strcspn(filename, "[,");
    put_text(name, std::string_view(filename, path), max.name);
    const char *at = filename + path;
    if (*at == '\0') return 0;
    ++at;
    std::string_view word, pending;
    const int kind = GetWordType(&at, &word, &cflag);
    if (kind == kNameWord) {
        put_text(extn, word, max.extn);
        if (*at == ',') {
            ++at;
            if (GetWordType(&at, &word, &cflag) == kNumberWord) {
                *indx = number_of(word);
                if (*at == ',') ++at;
            } else {
                pending = word;
            }
        }
    } else if (kind == kNumberWord) {
        *indx = number_of(word);
        if (*at == ',') ++at;
    } else {
        pending = word;
    }
    if (!tail || max.tail < 1) return cflag;
    std::size_t used = append_text(tail, 0, "[", max.tail);
    used = append_text(tail, used, pending, max.tail);
    append_text(tail, used, at, max.tail);
    cut_empty_pairs(tail);
    if (only_brackets(tail)) tail[0] = '\0';
    return cflag;
}

bool same_ignoring_case(std::string_view a, const char *b)
{
    if (!b || std::strlen(b) != a.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (folded(a[i]) != folded(b[i])) return false;
    return true;
}

// The unit matches when one of the names in the list (separated by blanks, ":", ";" or
// ",") is its EXTNAME or HDUNAME ignoring case, and extver is -1 or its EXTVER.
bool unit_matches(FITSHead fits, const char *names, int extver)
{
    const FITSBasic basic = fits->basic;
    if (!basic || (extver != -1 && basic->extn != extver)) return false;
    constexpr const char *kSeparators = " :;,";
    for (const char *p = names; *p;) {
        const std::size_t n = std::strcspn(p, kSeparators);
        const std::string_view one(p, n);
        if (n > 0 && (same_ignoring_case(one, basic->name) || same_ignoring_case(one, basic->hduname)))
            return true;
        p += n;
        if (*p) ++p;
    }
    return false;
}

// A unit passed over goes to the copy stream whole, header before data.
bool pass_over(File file, FITSHead fits)
{
    if (!fits->basic) return false; // nothing tells where its data ends
    if (copy_file) ft_headwrite(copy_file, fits);
    ft_dataskip(file, fits, copy_file);
    return true;
}

File fail(File file, FITSHead prim, FITSHead other)
{
    if (other != prim) ft_headfree(other, 1);
    ft_headfree(prim, 1);
    std::fclose(file);
    return nullptr;
}

// The unit named by extn (and EXTVER extver), from the primary on.
FITSHead select_by_name(File file, FITSHead prim, const char *extn, int extver)
{
    FITSHead fits = prim;
    while (!unit_matches(fits, extn, extver)) {
        const bool passed = pass_over(file, fits);
        if (fits != prim) ft_headfree(fits, 1);
        fits = passed ? ft_headread(file) : nullptr;
        if (!fits) return nullptr;
    }
    return fits;
}

// The unit at position number (the first unit read being position 0).
FITSHead select_by_number(File file, FITSHead prim, int number)
{
    FITSHead fits = prim;
    for (int at = 0; at < number; ++at) {
        const bool passed = pass_over(file, fits);
        if (fits != prim) ft_headfree(fits, 1);
        fits = passed ? ft_headread(file) : nullptr;
        if (!fits) return nullptr;
    }
    return fits;
}

// FITS_EXTNAME and FITS_EXTNUM when the file name selects nothing.
void environment_default(char *extn, int *indx)
{
    if (const char *name = std::getenv("FITS_EXTNAME")) put_text(extn, name, kNameBytes - 1);
    if (const char *num = std::getenv("FITS_EXTNUM")) *indx = std::atoi(num);
}

bool starts_unit(const char *record)
{
    return std::memcmp(record, "SIMPLE  =", 9) == 0 || std::memcmp(record, "XTENSION=", 9) == 0;
}

} // namespace

extern "C" {

int ft_parsefilename(const char *filename, char *name, char *extn, int *indx, char *tail, int maxlen)
{
    int number = -1;
    const int cflag = parse_name(filename, name, extn, &number, tail, {maxlen, maxlen, maxlen});
    if (indx) *indx = number;
    return cflag;
}

File ft_cfile(File cfile)
{
    File previous = copy_file;
    copy_file = cfile;
    return previous;
}

File ft_fitsheadread(File file, const char *filename, FITSHead *header, const char *)
{
    if (!file) return nullptr;
    char name[kNameBytes], extn[kNameBytes];
    int indx = -1;
    parse_name(filename, name, extn, &indx, nullptr, {kNameBytes - 1, kNameBytes - 1, 0});

    char first[block_layout::kCardBytes];  // the first card
    if (std::fread(first, sizeof first, 1, file) != 1 || !starts_unit(first)) {
        std::fclose(file);
        return nullptr;
    }
    FITSHead prim = ft_headread0(file, first, sizeof first);
    if (!prim) return fail(file, nullptr, nullptr);

    if (prim->basic && prim->basic->databytes == 0 && !extn[0] && indx == -1)
        environment_default(extn, &indx);

    FITSHead fits = extn[0] ? select_by_name(file, prim, extn, indx)
                    : indx > 0 ? select_by_number(file, prim, indx)
                               : prim;
    if (!fits) return fail(file, prim, nullptr);
    if (fits != prim) {
        // The selected header holds the only reference to its primary.
        ft_primlink(prim, fits);
        prim->rfcount = 1;
    }
    if (header)
        *header = fits;
    else
        ft_headfree(fits, 1);
    return file;
}

File ft_fitsheadopen(const char *filename, FITSHead *header, char *tail, int len, const char *mode)
{
    if (header) *header = nullptr;
    if (!filename || len < 1 || len > kNameBytes) return nullptr;
    // A path cut short would open another file.
    if (std::strcspn(filename, "[,") >= std::size_t(kNameBytes)) return nullptr;
    char name[kNameBytes], extn[kNameBytes];
    int indx = -1;
    const int marker = parse_name(filename, name, extn, &indx, tail, {kNameBytes, kNameBytes, len});
    if (!mode) mode = "r";
    const int cflag = std::strchr(mode, 'C') ? 1 : std::strchr(mode, 'c') ? marker : 0;
    File file = open_stream(name, mode);
    if (!file) return nullptr;
    if (cflag) return file;
    return ft_fitsheadread(file, filename, header, mode);
}

void *ft_fileparse(File ifile, FITSParseProc callback, void *cdata)
{
    void *result = nullptr;
    if (!ifile || !callback) return nullptr;
    while (FITSHead fits = ft_headread(ifile))
        if (callback(ifile, fits, &result, cdata) != 0) break;
    return result;
}

} // extern "C"

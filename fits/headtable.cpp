// Table extensions (TABLE, BINTABLE) described column by column from TFIELDS and the
// TTYPE, TUNIT, TSCAL, TZERO, TNULL, TFORM, TBCOL and TDISP families.
#include "fits.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr int kMaxFields = 999;  // TFORMn keywords fit in 8 columns up to TFORM999

// Element letters and pixel type codes -> bytes per element.  P and Q are the 32- and
// 64-bit array descriptors a variable-length column keeps in the row.
struct ElementSize {
    int code;
    int bytes;
};
constexpr ElementSize kElementSizes[] = {
    {'A', 1},  {'B', 1}, {'L', 1}, {'X', 1},  {8, 1},    {4104, 1},
    {'I', 2},  {'U', 2}, {16, 2},  {4112, 2},
    {'E', 4},  {'F', 4}, {'J', 4}, {'V', 4},  {32, 4},   {4128, 4}, {-32, 4},
    {'C', 8},  {'D', 8}, {'K', 8}, {'P', 8},  {64, 8},   {4160, 8}, {-64, 8},
    {'M', 16}, {'Q', 16},
};

// Type letters -> printf conversion of their display format.
struct Conversion {
    char letter;
    const char *text;
};
constexpr Conversion kConversions[] = {
    {'A', "s"}, {'B', "ud"}, {'U', "ud"}, {'V', "ud"}, {'C', "f"}, {'D', "f"}, {'E', "f"},
    {'F', "f"}, {'G', "f"},  {'M', "f"},  {'I', "d"},  {'J', "d"}, {'L', "c"}, {'P', "x"},
    {'X', "x"},
};
// Display conversions for the letters the table above leaves out: 64-bit integers,
// the octal and hexadecimal TDISP forms and the 64-bit descriptor.
constexpr Conversion kMoreConversions[] = {{'K', "lld"}, {'O', "o"}, {'Z', "X"}, {'Q', "x"}};
// Shown when neither the display letter nor the column's type has a conversion.
constexpr const char *kRawConversion = "x";

template <std::size_t N>
const char *lookup(const Conversion (&table)[N], char c)
{
    for (const Conversion &entry : table)
        if (entry.letter == c) return entry.text;
    return nullptr;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A cursor over a value text reading as sscanf's " ", "%c", "%d" and literal
// directives read, except that a number beyond int is reported, never converted.
class Scanner {
public:
    enum Read { kRead, kNone, kOverflow };

    explicit Scanner(std::string_view text) : text_(text) {}

    void skip_blanks()
    {
        while (pos_ < text_.size() && is_space(text_[pos_])) pos_++;
    }
    bool blank_rest()
    {
        skip_blanks();
        return pos_ == text_.size();
    }
    // " %c": the next character after blanks.
    bool letter(int &c)
    {
        if (blank_rest()) return false;
        c = static_cast<unsigned char>(text_[pos_++]);
        return true;
    }
    // A literal character, with no blanks skipped before it.
    bool literal(char c)
    {
        if (pos_ == text_.size() || text_[pos_] != c) return false;
        pos_++;
        return true;
    }
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    // "%d": blanks, an optional sign, decimal digits.
    Read number(int &value)
    {
        skip_blanks();
        std::size_t at = pos_;
        const bool negative = at < text_.size() && text_[at] == '-';
        if (at < text_.size() && (text_[at] == '-' || text_[at] == '+')) at++;
        if (at == text_.size() || text_[at] < '0' || text_[at] > '9') return kNone;
        const int64_t limit = negative ? -int64_t(INT32_MIN) : INT32_MAX;
        int64_t magnitude = 0;
        for (; at < text_.size() && text_[at] >= '0' && text_[at] <= '9'; at++) {
            magnitude = magnitude * 10 + (text_[at] - '0');
            if (magnitude > limit) return kOverflow;
        }
        pos_ = at;
        value = int(negative ? -magnitude : magnitude);
        return kRead;
    }
    void restart() { pos_ = 0; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// The parts of a TFORM value: repeat, letter, width and precision (rTw.p), and for a
// variable-length column the element letter and maximum count (rPt(max)).
struct TForm {
    int r = 0;
    int t = ' ';
    int w = 0;
    int p = 0;
    int element = 0;  // 0 when no element letter follows P or Q
    int max = 0;
};

// The tail "t(max)" after a P or Q; false for a count that does not fit an int.
bool parse_descriptor(Scanner &scan, TForm &form)
{
    if (scan.blank_rest()) return true;
    if (!scan.peek('(')) scan.letter(form.element);
    scan.skip_blanks();
    if (!scan.literal('(')) return true;
    const Scanner::Read max = scan.number(form.max);
    return max != Scanner::kOverflow && form.max >= 0;
}

// " %d %c %d.%d", or " %c %d.%d" with repeat 1 when the text does not begin with a
// number.  False when a number does not fit an int or is negative.
bool parse_tform(std::string_view text, TForm &form)
{
    Scanner scan(text);
    Scanner::Read read = scan.number(form.r);
    if (read == Scanner::kOverflow) return false;
    if (read == Scanner::kNone) {
        scan.restart();
        if (scan.blank_rest()) return true;  // nothing to convert
        form.r = 1;
    }
    if (!scan.letter(form.t)) return true;
    if (form.t == 'P' || form.t == 'Q') {
        Scanner tail = scan;
        if (!parse_descriptor(tail, form)) return false;
    }
    read = scan.number(form.w);
    if (read == Scanner::kRead && scan.literal('.')) read = scan.number(form.p);
    return read != Scanner::kOverflow && form.r >= 0 && form.w >= 0 && form.p >= 0;
}

// A number of a display format: taken when it fits an int and is not negative.
bool display_number(Scanner &scan, int &value)
{
    int read = 0;
    if (scan.number(read) != Scanner::kRead || read < 0) return false;
    value = read;
    return true;
}

// TDISP " %c %d.%d" over the column's letter, width and precision; the parts it does
// not reach keep theirs.  The E forms EN and ES display as E.
void parse_tdisp(std::string_view text, int &letter, int &width, int &prec)
{
    Scanner scan(text);
    if (!scan.letter(letter)) return;
    if (letter == 'E' && !scan.literal('N')) scan.literal('S');
    if (display_number(scan, width) && scan.literal('.')) display_number(scan, prec);
}

const char *conversion_of(char letter)
{
    const char *text = ft_formattyp(letter);
    return text ? text : lookup(kMoreConversions, letter);
}

bool is_integer_conversion(const char *conv) { return std::strchr("duoxX", conv[std::strlen(conv) - 1]); }

// "%<width>.<prec><conv>" as a new text.  A zero width is left out (it would be the 0
// flag), a character conversion takes no precision, and an integer one shows at
// least one digit, so that zero is not displayed as blanks.
char *display_format(int width, int prec, const char *conv)
{
    char text[80];
    char field[16] = "";
    if (width > 0) std::snprintf(field, sizeof field, "%d", width);
    if (std::strcmp(conv, "c") == 0) {
        std::snprintf(text, sizeof text, "%%%s%s", field, conv);
    } else {
        if (prec < 1 && is_integer_conversion(conv)) prec = 1;
        std::snprintf(text, sizeof text, "%%%s.%d%s", field, prec, conv);
    }
    const std::size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

// Table kind from XTENSION: 1 ASCII, 0 binary, -1 no table.
int table_kind(FITSHead fits)
{
    FITSCard card = nullptr;
    const std::string_view kind = ft_headget(fits, "XTENSION", 0, &card);
    if (!card) return -1;
    if (kind == "TABLE") return 1;
    if (kind == "BINTABLE" || kind == "A3DTABLE" || kind == "3DTABLE") return 0;
    return -1;
}

// An optional text keyword into *text: false only when the card is there but no
// memory holds its copy.
bool read_text(FITSHead fits, const char *name, int n, char **text)
{
    FITSCard card = nullptr;
    *text = ft_headgets(fits, name, n, nullptr, &card);
    return *text || !card;
}

void trim_trailing_blanks(char *text)
{
    std::size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
}

// Name, unit, scaling and null value, which every kind of table carries.
bool read_common(FITSHead fits, int i, _FITSTCol &col)
{
    if (!read_text(fits, "TTYPE", i, &col.name) || !read_text(fits, "TUNIT", i, &col.unit)) return false;
    FITSCard card = nullptr;
    col.scale = ft_headgetr(fits, "TSCAL", i, 1.0, &card);
    col.has_scale = card != nullptr;
    col.zero = ft_headgetr(fits, "TZERO", i, 0.0, &card);
    col.has_zero = card != nullptr;
    if (!read_text(fits, "TNULL", i, &col.ablank)) return false;
    col.has_blank = col.ablank != nullptr;
    // A numeric TNULL card reads with the blanks before its comment.
    if (col.ablank) trim_trailing_blanks(col.ablank);
    return true;
}

// TFORMi parsed; false when its numbers are out of range.
bool read_tform(FITSHead fits, int i, TForm &form)
{
    FITSCard card = nullptr;
    char text[81];
    std::snprintf(text, sizeof text, "%s", ft_headget(fits, "TFORM", i, &card));
    return parse_tform(text, form);
}

// An ASCII-table field: text of the TFORM width starting at column TBCOL of a row of
// row_bytes characters.  The width in the row follows once every start is known.
bool ascii_column(FITSHead fits, int i, const TForm &form, int row_bytes, _FITSTCol &col)
{
    const int tbcol = ft_headgeti(fits, "TBCOL", i, 0, nullptr);
    if (tbcol < 1 || tbcol > row_bytes) return false;
    col.type = 'A';
    col.n = 1;
    col.size = form.w;
    col.offset = tbcol - 1;
    col.heap = 0;
    col.prec = form.p;
    col.format = display_format(col.size, col.size, "s");
    return col.format != nullptr;
}

// Each field reaches to the next field that starts after it, or to the row's end,
// so fields in any TBCOL order get their true widths.
void ascii_widths(FITSTable table, int row_bytes)
{
    for (int i = 0; i < table->tfields; i++) {
        int end = row_bytes;
        for (int j = 0; j < table->tfields; j++) {
            const int start = table->col[j].offset;
            if (start > table->col[i].offset && start < end) end = start;
        }
        table->col[i].width = end - table->col[i].offset;
    }
}

// Bytes per element of a TFORM letter.  Other characters, the blank of a missing TFORM
// among them, have no size, even where their codes are pixel type codes (' ' is 32).
int element_size(int letter) { return letter >= 'A' && letter <= 'Z' ? ft_sizeof(letter) : 0; }

// Element type, count and room in the row of a binary-table column; false when the
// room does not fit an int.
bool binary_layout(const TForm &form, _FITSTCol &col)
{
    col.n = form.r;
    col.prec = form.p;
    col.heap = 0;
    switch (form.t) {
    case 'P':
    case 'Q':  // the row holds a descriptor; the elements lie in the heap
        col.heap = 1;
        col.type = form.element ? form.element : form.t;
        col.size = element_size(form.element);
        col.n = form.max;
        col.width = ft_sizeof(form.t);
        col.prec = col.type == 'A' ? col.n : 0;
        return true;
    case 'A':  // text of r characters, displayed whole
        col.type = 'A';
        col.size = 1;
        col.width = form.r;
        col.prec = form.r;
        return true;
    case 'X':  // r bits, rounded up to whole bytes
        col.type = 'X';
        col.size = 1;
        col.width = form.r / 8 + (form.r % 8 != 0);
        return true;
    default:
        col.type = form.t;
        col.size = element_size(form.t);
        return !__builtin_mul_overflow(col.size, form.r, &col.width);
    }
}

// Column i (1-based) of a binary table at *offset, which then moves past it.
bool binary_column(FITSHead fits, int i, const TForm &form, int *offset, _FITSTCol &col)
{
    if (!binary_layout(form, col)) return false;
    col.offset = *offset;
    if (__builtin_add_overflow(*offset, col.width, offset)) return false;
    if (col.has_blank) col.dblank = std::strtod(col.ablank, nullptr);
    if (!read_text(fits, "TDISP", i, &col.disp)) return false;
    col.format = ft_format(&col);
    return col.format != nullptr;
}

// Every column of the table; false when one cannot be described.
bool read_columns(FITSHead fits, FITSTable table)
{
    const int row_bytes = fits->basic && fits->basic->naxes > 0 ? fits->basic->naxis[0] : 0;
    int offset = 0;
    for (int i = 1; i <= table->tfields; i++) {
        _FITSTCol &col = table->col[i - 1];
        TForm form;
        if (!read_common(fits, i, col) || !read_tform(fits, i, form)) return false;
        const bool ok = table->tabtype ? ascii_column(fits, i, form, row_bytes, col)
                                       : binary_column(fits, i, form, &offset, col);
        if (!ok) return false;
    }
    if (table->tabtype) ascii_widths(table, row_bytes);
    return true;
}

void free_column(_FITSTCol &col)
{
    std::free(col.name);
    std::free(col.unit);
    std::free(col.disp);
    std::free(col.format);
    std::free(col.ablank);
}

} // namespace

extern "C" {

FITSTable ft_tableloadhead(FITSHead fits)
{
    if (!fits) return nullptr;
    const int kind = table_kind(fits);
    if (kind < 0) return nullptr;
    const int tfields = ft_headgeti(fits, "TFIELDS", 0, 0, nullptr);
    if (tfields < 1 || tfields > kMaxFields) return nullptr;
    auto *table = static_cast<FITSTable>(std::calloc(1, sizeof(_FITSTable)));
    if (!table) return nullptr;
    table->tabtype = kind;
    table->tfields = tfields;
    table->col = static_cast<FITSTCol>(std::calloc(std::size_t(tfields), sizeof(_FITSTCol)));
    // Every column costs several look-ups: search them through the sorted index.
    ft_headindex(fits);
    if (!table->col || !read_columns(fits, table)) {
        ft_tablefree(table);
        return nullptr;
    }
    return table;
}

void ft_tablestorhead(FITSHead fits, FITSTable table)
{
    if (!fits || !table || !fits->basic) return;
    ft_basicstorhead(fits, fits->basic);
}

void ft_tablefree(FITSTable table)
{
    if (!table) return;
    if (table->col)
        for (int i = 0; i < table->tfields; i++) free_column(table->col[i]);
    std::free(table->col);
    std::free(table);
}

int ft_sizeof(int c)
{
    for (const ElementSize &e : kElementSizes)
        if (e.code == c) return e.bytes;
    return 0;
}

const char *ft_formattyp(char c) { return lookup(kConversions, c); }

char *ft_format(FITSTCol col)
{
    if (!col) return nullptr;
    int letter = col->type & 0xff;
    int width = col->width;
    int prec = col->prec;
    if (col->disp) parse_tdisp(col->disp, letter, width, prec);
    const char *conv = conversion_of(char(letter));
    if (!conv) conv = conversion_of(char(col->type & 0xff));
    return display_format(width, prec, conv ? conv : kRawConversion);
}

} // extern "C"

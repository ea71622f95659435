// The table's text, printf's %f of every value, however long.
#include "table.h"

void print_fit_head(std::FILE *out, int nfringe)
{
    std::fprintf(out, "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy");
    for (int k = 0; k < nfringe; k++) std::fprintf(out, "\tAfringe%02d", k);
    std::fprintf(out, "\n");
    std::fprintf(out, "----\t----\t-----\t----\t------\t--\t--");
    for (int k = 0; k < nfringe; k++) std::fprintf(out, "\t---------");
    std::fprintf(out, "\n");
}

namespace {

// printf's text of one value appended to `to`, however long it is ("%f" of 1e300).
template <typename... Args>
void append_format(std::string &to, const char *format, Args... args)
{
    char small[64];
    const int n = std::snprintf(small, sizeof small, format, args...);
    if (n < 0) return;
    if (size_t(n) < sizeof small) {
        to.append(small, size_t(n));
        return;
    }
    std::string big(size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    to.append(big, 0, size_t(n));
}

} // namespace

void append_fit_row(std::string &rows, int extn, int iter, float sigma, int nfit, const double *acc1,
                    int npar)
{
    append_format(rows, "%d\t%d\t%f\t%d", extn, iter, double(sigma), nfit);
    for (int k = 1; k <= npar; k++) append_format(rows, "\t%f", acc1[k]);
    rows += '\n';
}


int64_t fit_row_bound(int npar)
{
    constexpr int64_t INT_TEXT = 11;                       // -2147483648
    constexpr int64_t FLOAT_TEXT = 1 + 39 + 7;             // -FLT_MAX with six decimals
    constexpr int64_t DOUBLE_TEXT = 1 + 309 + 7;           // -DBL_MAX with six decimals
    return 3 * (INT_TEXT + 1) + FLOAT_TEXT + 1 + int64_t(npar) * (1 + DOUBLE_TEXT) + 1;
}

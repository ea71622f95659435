// Digits after the decimal point for real values the header interpreters write back:
// seven as a rule, more when seven would not read back as the same number.
#ifndef TOLV_REAL_PRECISION_H
#define TOLV_REAL_PRECISION_H

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace real_precision {

constexpr int kDefault = 7;     // digits after the point of a written real
constexpr int kField = 70;      // columns 11-80 hold the value
constexpr int kFixedMax = kField - 2;  // the most digits the fixed form can hold

// The fewest digits from kDefault on with which "%.*f" of x reads back as x.  When
// the fixed form cannot hold x exactly in a card the result exceeds kFixedMax, and
// the card formatter writes the exponent form with the shortest exact digits.  A
// scale factor such as 1.5e-10 would otherwise be written as 0.0000000.
inline int exact(double x)
{
    if (!std::isfinite(x)) return kDefault;
    char text[512];  // a double's fixed form: 309 digits, a sign, the point and the digits after
    for (int prec = kDefault; prec <= kFixedMax; prec++) {
        const int n = std::snprintf(text, sizeof text, "%.*f", prec, x);
        if (n <= 0 || n > kField) return prec;  // the formatter chooses the exponent form itself
        if (std::strtod(text, nullptr) == x) return prec;
    }
    return kFixedMax + 1;
}

} // namespace real_precision

#endif // TOLV_REAL_PRECISION_H

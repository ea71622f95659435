// Setting a keyword: its card is rewritten in place, keeping keyword and position; a
// missing keyword is created beside its family (NAXIS3 after NAXIS2) or before END.
#include "fits.h"

namespace {

// One body for the typed setters; append is the typed appender, tried only when the
// keyword could be neither found nor inserted.
template <typename Append>
FITSCard set_keyword(FITSHead fits, const char *name, int n, FITSType type, const void *value, int prec,
                     const char *comm, int append, Append appender)
{
    FITSCard card = ft_headfind(fits, name, n, 1);
    if (card) return ft_cardset(card, type, value, prec, comm);
    return append ? appender() : nullptr;
}

} // namespace

extern "C" {

FITSCard ft_headsetl(FITSHead fits, const char *name, int n, int lvalue, const char *comm, int append)
{
    return set_keyword(fits, name, n, FT_LOGICAL, &lvalue, 0, comm, append,
                       [&] { return ft_headappl(fits, name, n, lvalue, comm); });
}

FITSCard ft_headseti(FITSHead fits, const char *name, int n, int ivalue, const char *comm, int append)
{
    return set_keyword(fits, name, n, FT_INTEGER, &ivalue, 0, comm, append,
                       [&] { return ft_headappi(fits, name, n, ivalue, comm); });
}

FITSCard ft_headsetr(FITSHead fits, const char *name, int n, double rvalue, int prec, const char *comm,
                     int append)
{
    return set_keyword(fits, name, n, FT_REAL, &rvalue, prec, comm, append,
                       [&] { return ft_headappr(fits, name, n, rvalue, prec, comm); });
}

FITSCard ft_headsets(FITSHead fits, const char *name, int n, const char *svalue, const char *comm,
                     int append)
{
    return set_keyword(fits, name, n, FT_STRING, svalue, 0, comm, append,
                       [&] { return ft_headapps(fits, name, n, svalue, comm); });
}

} // extern "C"

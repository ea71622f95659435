// Adding cards to a header by keyword: a new card formatted from name, index number,
// typed value and comment, inserted after a given card or just before END, and the
// deletion of a keyword's card.  Existing cards of the keyword are not looked for.
#include "keyword_card.h"
#include "fits.h"

namespace {

FITSCard insert(FITSHead fits, const char *name, int n, FITSType type, const void *value, int prec,
                const char *comm, FITSCard here)
{
    if (!fits) return nullptr;
    KeywordCard card(name, n, type, value, prec, comm);
    return ft_cardins(fits, card.get(), here);
}

} // namespace

extern "C" {

FITSCard ft_headinsl(FITSHead fits, const char *name, int n, int lvalue, const char *comm, FITSCard here)
{
    return insert(fits, name, n, FT_LOGICAL, &lvalue, 0, comm, here);
}

FITSCard ft_headinsi(FITSHead fits, const char *name, int n, int ivalue, const char *comm, FITSCard here)
{
    return insert(fits, name, n, FT_INTEGER, &ivalue, 0, comm, here);
}

FITSCard ft_headinsr(FITSHead fits, const char *name, int n, double dvalue, int prec, const char *comm,
                     FITSCard here)
{
    return insert(fits, name, n, FT_REAL, &dvalue, prec, comm, here);
}

FITSCard ft_headinss(FITSHead fits, const char *name, int n, const char *svalue, const char *comm,
                     FITSCard here)
{
    return insert(fits, name, n, FT_STRING, svalue, 0, comm, here);
}

FITSCard ft_headinsv(FITSHead fits, const char *name, int n, const char *vvalue, const char *comm,
                     FITSCard here)
{
    return insert(fits, name, n, FT_VALUE, vvalue, 0, comm, here);
}

FITSCard ft_headappl(FITSHead fits, const char *name, int n, int lvalue, const char *comm)
{
    return ft_headinsl(fits, name, n, lvalue, comm, nullptr);
}

FITSCard ft_headappi(FITSHead fits, const char *name, int n, int ivalue, const char *comm)
{
    return ft_headinsi(fits, name, n, ivalue, comm, nullptr);
}

FITSCard ft_headappr(FITSHead fits, const char *name, int n, double dvalue, int prec, const char *comm)
{
    return ft_headinsr(fits, name, n, dvalue, prec, comm, nullptr);
}

FITSCard ft_headapps(FITSHead fits, const char *name, int n, const char *svalue, const char *comm)
{
    return ft_headinss(fits, name, n, svalue, comm, nullptr);
}

FITSCard ft_headappv(FITSHead fits, const char *name, int n, const char *vvalue, const char *comm)
{
    return ft_headinsv(fits, name, n, vvalue, comm, nullptr);
}

FITSCard ft_headdel(FITSHead fits, const char *name, int n)
{
    return ft_carddel(fits, ft_headfind(fits, name, n, 0));
}

} // extern "C"

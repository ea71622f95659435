// The rules of a unit's layout that the library's readers apply and that the
// tool's unit checks must apply identically: the size of a data unit from its
// basic keywords (data_size.h) and the text a header read in place may hold
// (header_text.h).  The tool's one door into the library's internals: these are
// inline C++ over the library's private card layout, shared so that the checks
// run the very code the readers run; they are not part of the C interface,
// whose callers get the same answers through FITSBasic.databytes and
// ft_indxmemdata.
#ifndef TOLV_UNIT_RULES_H
#define TOLV_UNIT_RULES_H

#include "data_size.h"
#include "header_text.h"

#endif

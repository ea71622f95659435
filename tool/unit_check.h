// Why the mosaic walk stops: the reason the bytes at some place in a mapped FITS file
// do not hold a whole header-and-data unit, worded for the user; and why a header it
// took cannot be read one way (a keyword given twice, a size that is no integer).
#ifndef TOLV_UNIT_CHECK_H
#define TOLV_UNIT_CHECK_H

#include "fits.h"

#include <cstdint>
#include <string>

// Empty when the bytes p[0..remaining) begin with a whole unit, as the mosaic walk
// (ft_indxmemdata) finds one; otherwise a short reason in lower case without a final
// period, e.g. "its header has no END card".  Reads nothing outside p[0..remaining).
std::string unit_problem(const unsigned char *p, int64_t remaining);

// True when the bytes begin like a FITS header: "SIMPLE  =" or "XTENSION=" in columns 1-9.
bool begins_a_header(const unsigned char *p, int64_t remaining);

// True when the bytes begin a unit, though perhaps a damaged one: columns 1-9
// within two bytes of "SIMPLE  =" or "XTENSION=", or a cut inside them.  Bytes
// after the last unit such as zeros or a stray line are not taken for one.
bool looks_like_a_header(const unsigned char *p, int64_t remaining);

// A FITS string value as FITS compares it: upper case, trailing blanks dropped.
std::string fits_string_key(std::string text);

// How a keyword's cards are read by keyword_problem.
enum class KeywordKind { integer, text };

// Empty when the cards of h named `keyword` (columns 1-8) agree on one value and,
// for an integer keyword, each holds a decimal integer that the library's reader
// (ft_cardgeti) takes at its written value; also empty without such a card.
// Otherwise the reason in lower case without a final period, e.g. "NAXIS1 = 32.5 is
// not an integer" or "NAXIS1 is given twice, as 6 (card 4) and as 7 (card 9)".
// Strings are compared as FITS compares them (case and trailing blanks ignored).
// Reads only the header's ncard cards, each within its 80 columns.
std::string keyword_problem(FITSHead h, const std::string &keyword, KeywordKind kind);

// Empty when the header of a unit the walk indexed reads one way.  Otherwise the
// reason: "its header has no END card: it runs on into the header at card N" when
// a block past its first opens as a header opens (a primary unit without data that
// lost its END takes the next unit's header for its own), or else the first
// keyword_problem of the keywords that size the data: BITPIX, NAXIS, NAXIS1 to
// NAXISn (n as the library read NAXIS), PCOUNT and GCOUNT.
std::string indexed_header_problem(FITSHead h);

#endif

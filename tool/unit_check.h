// Why the mosaic walk stops: the reason the bytes at some place in a mapped FITS file
// do not hold a whole header-and-data unit, worded for the user.
#ifndef TOLV_UNIT_CHECK_H
#define TOLV_UNIT_CHECK_H

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

#endif

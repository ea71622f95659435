// A multi-extension FITS file mapped whole into memory, with every unit indexed in
// place: headers, data pointers and row views point into the mapping.
#ifndef TOLV_MOSAIC_H
#define TOLV_MOSAIC_H

#include "fits.h"

// Most units a mosaic indexes; the tables below have this many entries.
constexpr int MOSAIC_MAX_UNITS = 1024;

// A detector-section rectangle: the points x1 <= x <= x2, y1 <= y <= y2.
struct DetSec {
    int x1, y1, x2, y2;
};

struct _Mosaic {
    FITSHead *head;  // MOSAIC_MAX_UNITS headers; unit 0 is the primary unit
    void **data;     // start of each unit's data inside the mapping
    void ***data2d;  // row view of each unit's data
    DetSec *detsec;  // count rectangles: 0 is DETSIZE, i is unit i's DETSEC
    int count;       // units indexed
};
typedef _Mosaic *Mosaic;

// Maps the file part of `filename` whole, read-only for mode "r" and read-write
// otherwise (both shared), and indexes up to `max` units (negative: no limit; never
// more than MOSAIC_MAX_UNITS).  Bytes after the last whole unit end the walk.
// Returns a new record, or null when the file cannot be opened, mapped or holds no
// unit; a failed mapping is reported on stderr after "mmap:".
Mosaic ft_mmapmosaic(const char *filename, const char *mode, int max);

// Maps and indexes as above into the tables *heads, *datas and *views (created
// zeroed with MOSAIC_MAX_UNITS entries when null; datas and views may be null).
// Returns the number of units indexed, 0 on every failure.
int ft_mosaicimagemmap(const char *filename, FITSHead **heads, void ***datas, void ****views,
                       int prot, int flags, int max);

// Bytes from the first card of an indexed unit to the next unit: its header's
// whole blocks and its data blocks.
int64_t mosaic_unit_bytes(FITSHead h);

// Releases a mosaic: its views, headers, tables and the mapping.  The tool itself
// keeps its mosaics until it exits; null is ignored.
void ft_freemosaic(Mosaic m);

// The pixel at detector point (x, y) of the first unit whose DETSEC holds it,
// read as the unit's BITPIX or'ed with `type` (4096: unsigned 8 and 16 bits), with
// a line "x y -> unit lx ly" on stdout; 0.0 when no unit has it.
double getpixel(Mosaic m, int x, int y, int type);

// Stores `value` at detector point (x, y) of every unit whose DETSEC holds it,
// converted toward zero and held at the type's limits; returns 0.0.
double setpixel(Mosaic m, int x, int y, int type, double value);

#endif

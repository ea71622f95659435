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

#endif

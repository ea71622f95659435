// A multi-extension FITS file mapped whole into memory, with every unit indexed in
// place: headers, data pointers and row views point into the mapping.
#ifndef TOLV_MOSAIC_H
#define TOLV_MOSAIC_H

#include "fits.h"

#include <sys/types.h>

#include <string>

// Most units a mosaic indexes; the tables below have this many entries.
constexpr int MOSAIC_MAX_UNITS = 1024;

// A detector-section rectangle: the points x1 <= x <= x2, y1 <= y <= y2.
struct DetSec {
    int x1, y1, x2, y2;
};

// The file behind a mosaic and its one owner: the descriptor (kept open, with its
// lock, by mosaic_file_open; closed by ft_mmapmosaic), the mapping, the file's
// identity, and where the indexed units end.
struct FileCoding;
struct MosaicFile {
    int fd;              // -1 when closed
    bool writable;       // opened read-write, mapped shared and writable
    unsigned char *map;  // the whole file; null until mapped
    int64_t size;        // bytes in the file and the mapping
    int64_t units_end;   // offset just past the last indexed unit, at most size
    dev_t dev;
    ino_t ino;
    // A compressed file is mapped as the plain file it decodes to, held in
    // memory (fd); the file itself stays open here, with its lock, and coding
    // says how it was compressed.  -1 and null for a plain file.
    int origin_fd;
    FileCoding *coding;
};

struct _Mosaic {
    FITSHead *head;  // MOSAIC_MAX_UNITS headers; unit 0 is the primary unit
    void **data;     // start of each unit's data inside the mapping
    void ***data2d;  // row view of each unit's data
    DetSec *detsec;  // count rectangles: 0 is DETSIZE, i is unit i's DETSEC
    int count;       // units indexed
    MosaicFile *file; // the mapping's owner
};
typedef _Mosaic *Mosaic;

// A file name as typed, split once as the library splits extended names: the
// file part, then [N] (unit N) or [NAME] / [NAME,VER] (by EXTNAME or HDUNAME,
// and EXTVER), then anything after the selector.
struct MosaicName {
    std::string path;      // the file part
    std::string extn;      // the name a selector asks for; empty when none
    int index = -1;        // the unit number, or the EXTVER with a name; -1 when none
    std::string tail;      // text after the selector (options tolv does not take)
    size_t typed_path = 0; // bytes of the file part as typed, before the library's buffers cut it
};
MosaicName mosaic_name(const char *filename);

// The file part of an extended file name (its unit selector and options dropped).
std::string mosaic_path(const char *filename);

// Opens the file part of an extended file name for a mosaic, read-write when
// `writable`, without waiting on a FIFO or device.  Null, with *reason set to the
// system's error text, "a directory" or "not a regular file", on failure; a file
// part longer than the library's name buffers hold (1023 bytes) is not opened cut
// short: *reason says "the file name is longer than 1023 bytes (it has N)".
MosaicFile *mosaic_file_open(const char *filename, bool writable, std::string *reason);

// The same for a name already split.
MosaicFile *mosaic_file_open_name(const MosaicName &name, bool writable, std::string *reason);

// The same for a plain path, never parsed for a unit selector: the names tolv
// makes or writes (a temporary, the output) are opened so.
MosaicFile *mosaic_file_open_path(const std::string &path, bool writable, std::string *reason);

// The same for a descriptor already open (read-write when `writable`), which the
// record takes over: closed with it, or at once when it is refused.
MosaicFile *mosaic_file_adopt(int fd, bool writable, std::string *reason);

// Takes the file's advisory lock without waiting, exclusive (a writer) or shared
// (a reader); it is held until the descriptor closes.  False when another process
// holds it in a way that excludes this one (or locks fail).
bool mosaic_file_lock(MosaicFile *f, bool exclusive = true);

// Maps an opened file whole, shared, and indexes up to `max` units (as
// ft_mmapmosaic).  The mosaic owns f from then on; on failure f is released and
// the result is null, with *reason saying why ("not a FITS file", a compressed
// file, what is wrong with the primary unit), or empty when the mapping itself
// failed (reported on stderr after "mmap:").  A compressed file (gzip, or with
// tile-compressed images) is decoded first, and the mosaic maps its plain form.
Mosaic mosaic_map(MosaicFile *f, int max, std::string *reason);

// Closes a file that no mosaic owns yet; null is ignored.
void mosaic_file_close(MosaicFile *f);

// Offset of a byte of the mapping from the start of the file.
int64_t mosaic_offset(Mosaic m, const void *p);

// Writes the mapped pages holding bytes [offset, offset + length) to the file and
// waits for them; 0, or the errno of the failure.
int mosaic_sync(Mosaic m, int64_t offset, int64_t length);

// Asks the kernel to read the mapped bytes [p, p + length) ahead of their use.
void mosaic_prefetch(Mosaic m, const void *p, int64_t length);

// Drops the mapped pages of [p, p + length) (and of the pages they share) from
// the process's memory; the file keeps every byte written, and a later access
// reads them again.  For shared mappings only, which every mosaic is.
void mosaic_release(Mosaic m, const void *p, int64_t length);

// mosaic_release of unit u, header and data.
void mosaic_release_unit(Mosaic m, int u);

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

// Compressed inputs and outputs: a FITS file compressed whole with gzip, or
// holding tile-compressed images (binary tables with ZIMAGE = T, as fpack and
// astropy write them), is decoded once into memory as the plain file it stands
// for: the same units in the same order, each compressed image an IMAGE
// extension with room in its header for a record.  tolv works on that plain
// copy as on any file; what is written back is encoded again the way the file
// was (or as an output's name asks).
#ifndef TOLV_COMPRESSED_FILE_H
#define TOLV_COMPRESSED_FILE_H

#include "fits.h"
#include "mosaic.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How a file is compressed: whole (gzip), and unit by unit (tile compression).
struct FileCoding {
    bool gzip = false;
    std::vector<bool> tiled;          // per unit: a tile-compressed image
    std::vector<FITSCompress> how;    // per unit, where tiled
    bool any() const;
};

// Threads that compress or decompress the images of a file of `units` units:
// one for each processor this process may use, at most one for each unit.
int coding_threads(int units);

// Whether the n bytes at p begin with the gzip magic.
bool gzip_magic(const unsigned char *p, int64_t n);

// Decodes the file whose bytes are [p, p + n) into a new unnamed scratch file
// (filled_scratch_file), the plain FITS file it stands for; its descriptor, or -1 with
// *reason saying what is wrong (a damaged gzip stream or tile, a compression this
// build does not read).  *coding gets how the file was compressed; when it is not
// compressed at all the result is -1 with *reason empty.  Up to `threads` threads
// decode the tile-compressed units.
int decode_file(const unsigned char *p, int64_t n, int threads, FileCoding *coding, std::string *reason);

// The coding an output file named `path` gets: a name ending in ".gz" is
// gzip-compressed whole; one ending in ".fz" (or ".fz.gz") has its images
// tile-compressed, those of `input` (the coding of the file it copies, of m's
// units) as they were, the others losslessly (RICE_1 for integers, GZIP_2 for
// floats); any other name is a plain file.
FileCoding output_coding(const std::string &path, const FileCoding &input, Mosaic m);

// The units of a compressed file as they lie in it, mapped read-only from its
// descriptor: an encoding copies from here the units a run left as they were,
// rather than compress them again (which would quantize quantized floats twice).
// None when the file is gzip-compressed whole or cannot be mapped.
class CompressedUnits {
  public:
    explicit CompressedUnits(int fd);
    ~CompressedUnits();
    CompressedUnits(const CompressedUnits &) = delete;
    CompressedUnits &operator=(const CompressedUnits &) = delete;
    // Unit u's blocks, or {} when there is no such unit or it is not a
    // tile-compressed image.
    std::string_view unit(int u) const;

  private:
    void *map_ = nullptr;
    int64_t size_ = 0;
    std::vector<std::string_view> units_;
};

// Encodes the plain mosaic m as `coding` says (units beyond its lists stay plain)
// and writes the bytes to fd from offset 0, truncating it to their length; up to
// `threads` threads compress the units.  Units of `original` (when given) that
// `changed` does not list are copied from it as they are.  False with *error
// when a unit cannot be compressed or the writes fail.
bool encode_file(Mosaic m, const FileCoding &coding, int fd, int threads, std::string *error,
                 const CompressedUnits *original = nullptr, const std::vector<int> &changed = {});

#endif

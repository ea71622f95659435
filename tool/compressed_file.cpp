// Decoding a compressed file into a plain one, and encoding a plain mosaic back.
// The plain copy lives in an unnamed scratch file (or a memfd): a shared mapping
// of it behaves as a mapping of the file would (pages given back with
// MADV_DONTNEED keep their bytes), so the rest of tolv needs no second path for it.
#include "compressed_file.h"

#include "fileio.h"
#include "parallel.h"
#include "record.h"

#ifdef TOLV_HAVE_ZLIB
#include <zlib.h>
#endif

#include <sched.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int64_t BLOCK = FT_BLOCK_BYTES;
constexpr int WHY_BYTES = 256;
// Blank cards a decoded image header gets before END: the record of as many
// fringe frames as a record names.
const int DECODED_ROOM = record_cards(RECORD_MAX_FRINGES);

int64_t whole_blocks(int64_t bytes) { return (bytes + BLOCK - 1) / BLOCK * BLOCK; }

// Bytes of memory this machine has: a file that would decode to more is refused
// rather than left to exhaust it.
int64_t memory_bytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? int64_t(pages) * page : INT64_MAX;
}

// The most a decoded copy in file fd may hold: the machine's memory where the
// file is memory (a memfd, tmpfs or ramfs), which a larger copy would exhaust;
// elsewhere its disk's room decides.
int64_t decoded_limit(int fd)
{
    struct statfs fs = {};
    if (fstatfs(fd, &fs) != 0) return memory_bytes();
    constexpr long TMPFS = 0x01021994, RAMFS = 0x858458f6;
    return long(fs.f_type) == TMPFS || long(fs.f_type) == RAMFS ? memory_bytes() : INT64_MAX;
}

std::string bytes_text(int64_t n) { return std::to_string(n) + " bytes"; }

// ---- gzip

#ifdef TOLV_HAVE_ZLIB
// Inflates every gzip member of [p, p + n) into the new scratch file fd; false
// with *reason when the stream is damaged or cut short.
bool inflate_to(const unsigned char *p, int64_t n, int fd, std::string *reason)
{
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) {
        *reason = "gzip-compressed, and zlib cannot start";
        return false;
    }
    std::vector<unsigned char> out(size_t(1) << 20);
    const int64_t limit = decoded_limit(fd);
    int64_t written = 0, consumed = 0;
    bool ok = true;
    for (;;) {
        // zlib counts in 32 bits: the input is given a gigabyte at a time.
        if (z.avail_in == 0 && consumed < n) {
            const int64_t take = std::min<int64_t>(n - consumed, int64_t(1) << 30);
            z.next_in = const_cast<unsigned char *>(p + consumed);
            z.avail_in = uInt(take);
            consumed += take;
        }
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int r = inflate(&z, Z_NO_FLUSH);
        const int64_t got = int64_t(out.size()) - z.avail_out;
        if (got > 0) {
            if (written + got > limit) {
                *reason = "gzip-compressed, and decompressed it would be larger than this machine's memory";
                ok = false;
                break;
            }
            if (!pwrite_all(fd, out.data(), got, written)) {
                *reason = std::string("decompressing it failed: ") + std::strerror(errno);
                ok = false;
                break;
            }
            written += got;
        }
        if (r == Z_STREAM_END) {
            // Another member may follow, as `cat a.gz b.gz` makes.
            if (z.avail_in == 0 && consumed == n) break;
            inflateReset(&z);
            continue;
        }
        if (r == Z_OK) continue;
        if (r == Z_BUF_ERROR && z.avail_in == 0 && consumed == n) {
            *reason = "gzip-compressed, and the gzip stream ends early: the file is cut short";
        } else {
            *reason = std::string("gzip-compressed, and the gzip stream is damaged") + (z.msg ? ": " : "") +
                      (z.msg ? z.msg : "");
        }
        ok = false;
        break;
    }
    inflateEnd(&z);
    return ok;
}

// Deflates [p, p + n) as one gzip member into the stream `write`.
template <typename Write>
bool deflate_to(z_stream &z, const unsigned char *p, int64_t n, bool finish, std::vector<unsigned char> &out,
                Write write)
{
    int64_t given = 0;
    for (;;) {
        if (z.avail_in == 0 && given < n) {
            const int64_t take = std::min<int64_t>(n - given, int64_t(1) << 30);
            z.next_in = const_cast<unsigned char *>(p + given);
            z.avail_in = uInt(take);
            given += take;
        }
        const bool last = finish && given == n;
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int r = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        if (r == Z_STREAM_ERROR) return false;
        const int64_t got = int64_t(out.size()) - z.avail_out;
        if (got > 0 && !write(out.data(), got)) return false;
        if (last ? r == Z_STREAM_END : z.avail_in == 0 && given == n && z.avail_out != 0) return true;
    }
}
#endif

// ---- tile-compressed units

// A unit of the file being decoded: where it lies, and where its plain form goes.
struct DecodedUnit {
    FITSHead h = nullptr;         // viewing the source
    const unsigned char *start = nullptr;
    int64_t bytes = 0;            // the unit's blocks in the source
    const unsigned char *data = nullptr;
    FITSHead image = nullptr;     // the plain header of a tile-compressed image
    int64_t at = 0, header_bytes = 0, data_bytes = 0;
};

void release(std::vector<DecodedUnit> &units)
{
    for (DecodedUnit &u : units) {
        if (u.h) {
            u.h->mem = FT_MEM_BUFFER; // the source is not the header's to release
            ft_headfree(u.h, 1);
        }
        if (u.image) ft_headfree(u.image, 1);
    }
    units.clear();
}

// Indexes the units of [p, p + n); false when there is none.  *end (when
// given) gets the offset just past the last unit found.
bool index_source(const unsigned char *p, int64_t n, std::vector<DecodedUnit> &units, int64_t *end = nullptr)
{
    int64_t at = 0;
    while (at < n && int(units.size()) < MOSAIC_MAX_UNITS) {
        DecodedUnit u;
        void *data = nullptr;
        if (!ft_indxmemdata(const_cast<unsigned char *>(p + at), n - at, FT_MEM_BUFFER, "", 0, &u.h, &data, nullptr))
            break;
        u.start = p + at;
        u.bytes = mosaic_unit_bytes(u.h);
        u.data = static_cast<const unsigned char *>(data);
        units.push_back(u);
        at += u.bytes;
    }
    if (end) *end = at;
    return !units.empty();
}

std::string unit_text(size_t u) { return u == 0 ? "primary unit" : "extension " + std::to_string(u); }

// Writes the plain file of `units`, then the `tail` bytes that followed them
// (what is not a whole unit stays as it was), into the scratch file fd.
bool write_plain(std::vector<DecodedUnit> &units, std::string_view tail, int fd, int threads, std::string *reason)
{
    int64_t total = 0;
    for (DecodedUnit &u : units) {
        u.at = total;
        if (u.image) {
            u.header_bytes = whole_blocks(int64_t(u.image->ncard) * FT_CARD_BYTES);
            u.data_bytes = u.image->basic->databytes;
            total += u.header_bytes + u.image->basic->databloks * BLOCK;
        } else {
            total += u.bytes;
        }
    }
    const int64_t tail_at = total;
    total += int64_t(tail.size());
    if (total > decoded_limit(fd)) {
        *reason = "decompressed, it would be " + bytes_text(total) + ", more than this machine's memory";
        return false;
    }
    // The blocks are claimed first: a disk that fills under the mapping's writes
    // would end the process.
    if (const int refused = claim_space(fd, 0, total)) {
        *reason = std::string("decompressing it failed: ") + std::strerror(refused);
        errno = refused;
        return false;
    }
    if (ftruncate(fd, off_t(total)) != 0) {
        *reason = std::string("decompressing it failed: ") + std::strerror(errno);
        return false;
    }
    void *map = total > 0 ? mmap(nullptr, size_t(total), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : nullptr;
    if (map == MAP_FAILED) {
        *reason = std::string("decompressing it failed: ") + std::strerror(errno);
        return false;
    }
    auto *out = static_cast<unsigned char *>(map);
    std::vector<size_t> tiled;
    for (size_t k = 0; k < units.size(); k++) {
        const DecodedUnit &u = units[k];
        if (!u.image) {
            std::memcpy(out + u.at, u.start, size_t(u.bytes));
            continue;
        }
        std::memcpy(out + u.at, u.image->cards, size_t(u.image->ncard) * FT_CARD_BYTES);
        std::memset(out + u.at + int64_t(u.image->ncard) * FT_CARD_BYTES, ' ',
                    size_t(u.header_bytes - int64_t(u.image->ncard) * FT_CARD_BYTES));
        tiled.push_back(k);
    }
    if (!tail.empty()) std::memcpy(out + tail_at, tail.data(), tail.size());
    std::vector<std::string> why(units.size());
    parallel_for(tiled.size(), threads, [] { return 0; }, [&](size_t j, int) {
        const DecodedUnit &u = units[tiled[j]];
        char text[WHY_BYTES] = "";
        unsigned char *data = out + u.at + u.header_bytes;
        if (!ft_compimageread(u.h, u.data, u.h->basic->databytes, data, u.data_bytes, text, WHY_BYTES))
            why[tiled[j]] = text[0] ? text : "its tiles cannot be decompressed";
        else
            // The checksums restored are the original image's, which quantized
            // floats no longer are: they are made anew for the pixels decoded.
            update_checksums(out + u.at, u.header_bytes, data, u.image->basic->databloks * BLOCK);
    });
    munmap(map, size_t(total));
    for (size_t k = 0; k < why.size(); k++)
        if (!why[k].empty()) {
            *reason = unit_text(k) + ": " + why[k];
            return false;
        }
    return true;
}

// ---- encoding

// A writer of the output's bytes, in order: straight to the file, or through
// a gzip stream when the file is compressed whole.
class OutputStream {
  public:
    OutputStream(int fd, bool gzip) : fd_(fd), gzip_(gzip)
    {
#ifdef TOLV_HAVE_ZLIB
        if (gzip_) {
            started_ = deflateInit2(&z_, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
            out_.resize(size_t(1) << 20);
        }
#endif
    }
    ~OutputStream()
    {
#ifdef TOLV_HAVE_ZLIB
        if (started_) deflateEnd(&z_);
#endif
    }
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    bool put(const void *p, int64_t n) { return put(static_cast<const unsigned char *>(p), n, false); }
    // Ends the stream and gives the file its length.
    bool finish()
    {
        return put(nullptr, 0, true) && ftruncate(fd_, off_t(at_)) == 0;
    }
    int64_t written() const { return at_; }

  private:
    bool put(const unsigned char *p, int64_t n, bool last)
    {
        auto raw = [this](const unsigned char *q, int64_t m) {
            if (!pwrite_all(fd_, q, m, at_)) return false;
            at_ += m;
            return true;
        };
        if (!gzip_) return last || raw(p, n);
#ifdef TOLV_HAVE_ZLIB
        if (!started_) return false;
        return deflate_to(z_, p, n, last, out_, raw);
#else
        return false;
#endif
    }

    int fd_;
    bool gzip_;
    int64_t at_ = 0;
#ifdef TOLV_HAVE_ZLIB
    z_stream z_{};
    bool started_ = false;
    std::vector<unsigned char> out_;
#endif
};

bool ends_with(const std::string &s, const char *tail)
{
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// An image unit with pixels, which tile compression can hold as other readers
// read it (CFITSIO and astropy read no tiles of 64-bit integers).
bool compressible_image(FITSHead h)
{
    return h && h->basic && h->basic->naxes >= 1 && h->basic->datapixls > 0 && h->basic->pcount == 0 &&
           h->basic->bitpix != 64 &&
           h->basic->gcount <= 1 && (h->basic->simple || std::strncmp(h->cards[0].c + 11, "IMAGE   ", 8) == 0);
}

} // namespace

int coding_threads(int units)
{
    cpu_set_t set;
    const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return std::max(1, std::min(cpus, units));
}

bool FileCoding::any() const { return gzip || std::find(tiled.begin(), tiled.end(), true) != tiled.end(); }

bool gzip_magic(const unsigned char *p, int64_t n) { return n >= 2 && p[0] == 0x1f && p[1] == 0x8b; }

int decode_file(const unsigned char *p, int64_t n, int threads, FileCoding *coding, std::string *reason)
{
    *coding = FileCoding{};
    reason->clear();
    int gzip_fd = -1;
    void *inflated = nullptr;
    int64_t inflated_size = 0;
    auto drop_inflated = [&] {
        if (inflated && inflated != MAP_FAILED) munmap(inflated, size_t(inflated_size));
        if (gzip_fd >= 0) close(gzip_fd);
        inflated = nullptr;
        gzip_fd = -1;
    };
    if (gzip_magic(p, n)) {
#ifdef TOLV_HAVE_ZLIB
        coding->gzip = true;
        gzip_fd = filled_scratch_file("tolv-decoded", [&](int fd) {
            reason->clear();
            return inflate_to(p, n, fd, reason);
        });
        if (gzip_fd < 0) {
            if (reason->empty())
                *reason = std::string("gzip-compressed, and no file can be made for what it holds: ") +
                          std::strerror(errno);
            return -1;
        }
        inflated_size = _filesize(gzip_fd);
        inflated = inflated_size > 0 ? mmap(nullptr, size_t(inflated_size), PROT_READ, MAP_SHARED, gzip_fd, 0) : nullptr;
        if (inflated == MAP_FAILED || !inflated) {
            *reason = inflated ? std::string("decompressing it failed: ") + std::strerror(errno)
                               : "gzip-compressed, and it holds nothing";
            drop_inflated();
            return -1;
        }
        p = static_cast<const unsigned char *>(inflated);
        n = inflated_size;
#else
        *reason = "gzip-compressed, and this tolv was built without zlib: decompress it first (gunzip)";
        return -1;
#endif
    }
    std::vector<DecodedUnit> units;
    int64_t end = 0;
    if (!index_source(p, n, units, &end)) {
        if (coding->gzip) *reason = "gzip-compressed, and what it holds is not a FITS file";
        drop_inflated();
        return -1;
    }
    coding->tiled.assign(units.size(), false);
    coding->how.assign(units.size(), FITSCompress{});
    for (size_t k = 0; k < units.size(); k++) {
        if (!ft_iscompimage(units[k].h)) continue;
        char why[WHY_BYTES] = "";
        units[k].image = ft_compimagehead(units[k].h, 0, DECODED_ROOM, &coding->how[k], why, WHY_BYTES);
        if (!units[k].image) {
            *reason = unit_text(k) + ": " + (why[0] ? why : "its compressed image cannot be read");
            release(units);
            drop_inflated();
            return -1;
        }
        coding->tiled[k] = true;
    }
    if (!coding->any()) {
        release(units);
        drop_inflated();
        return -1;
    }
    // A gzip file of plain units is already its plain form.
    if (std::find(coding->tiled.begin(), coding->tiled.end(), true) == coding->tiled.end()) {
        release(units);
        munmap(inflated, size_t(inflated_size));
        return gzip_fd;
    }
    const std::string_view tail(reinterpret_cast<const char *>(p) + end, size_t(n - end));
    const int fd = filled_scratch_file("tolv-decoded",
                                       [&](int to) {
        reason->clear();
        return write_plain(units, tail, to, threads, reason);
    });
    if (fd < 0 && reason->empty())
        *reason = std::string("no file can be made to decompress it: ") + std::strerror(errno);
    release(units);
    drop_inflated();
    return fd;
}

FileCoding output_coding(const std::string &path, const FileCoding &input, Mosaic m)
{
    FileCoding c;
    c.gzip = ends_with(path, ".gz");
    if (!ends_with(path, ".fz") && !ends_with(path, ".fz.gz")) return c;
    c.tiled.assign(size_t(m->count), false);
    c.how.assign(size_t(m->count), FITSCompress{});
    for (int u = 0; u < m->count; u++) {
        if (size_t(u) < input.tiled.size() && input.tiled[u]) {
            c.tiled[u] = true;
            c.how[u] = input.how[u];
            continue;
        }
        // A primary image stays where it is: a reader expects a table only after it.
        if (u == 0 || !compressible_image(m->head[u])) continue;
        FITSCompress &how = c.how[u];
        std::strcpy(how.type, m->head[u]->basic->bitpix > 0 ? "RICE_1" : "GZIP_2");
        c.tiled[u] = true;
    }
    return c;
}

CompressedUnits::CompressedUnits(int fd)
{
    size_ = fd >= 0 ? _filesize(fd) : 0;
    if (size_ <= 0) return;
    map_ = mmap(nullptr, size_t(size_), PROT_READ, MAP_SHARED, fd, 0);
    if (map_ == MAP_FAILED) {
        map_ = nullptr;
        return;
    }
    const auto *p = static_cast<const unsigned char *>(map_);
    if (gzip_magic(p, size_)) return;
    std::vector<DecodedUnit> units;
    index_source(p, size_, units);
    for (const DecodedUnit &u : units)
        units_.push_back(ft_iscompimage(u.h) ? std::string_view(reinterpret_cast<const char *>(u.start), size_t(u.bytes))
                                             : std::string_view{});
    release(units);
}

CompressedUnits::~CompressedUnits()
{
    if (map_) munmap(map_, size_t(size_));
}

std::string_view CompressedUnits::unit(int u) const
{
    return u >= 0 && size_t(u) < units_.size() ? units_[size_t(u)] : std::string_view{};
}

bool encode_file(Mosaic m, const FileCoding &coding, int fd, int threads, std::string *error,
                 const CompressedUnits *original, const std::vector<int> &changed)
{
    // A unit left as it was is copied from the file it came from, where it is
    // compressed as this coding would have it.
    auto kept = [&](int u) -> std::string_view {
        if (!original || size_t(u) >= coding.tiled.size() || !coding.tiled[u]) return {};
        if (std::find(changed.begin(), changed.end(), u) != changed.end()) return {};
        return original->unit(u);
    };
    OutputStream out(fd, coding.gzip);
    auto write_failed = [&] {
        *error = std::string("writing it failed: ") + std::strerror(errno ? errno : EIO);
        return false;
    };
    // The units are compressed a batch at a time, in parallel, and written in order.
    const int batch = std::max(threads, 1);
    for (int first = 0; first < m->count; first += batch) {
        const int last = std::min(m->count, first + batch);
        struct Encoded {
            void *unit = nullptr;
            int64_t bytes = 0;
            std::string why;
        };
        std::vector<Encoded> done(size_t(last - first));
        parallel_for(done.size(), threads, [] { return 0; }, [&](size_t j, int) {
            const int u = first + int(j);
            if (size_t(u) >= coding.tiled.size() || !coding.tiled[u] || !kept(u).empty()) return;
            // The header as it is now: a record written since the file was
            // indexed may have moved its END.
            FITSHead h = nullptr;
            void *data = nullptr;
            char why[WHY_BYTES] = "";
            if (!ft_indxmemdata(m->head[u]->cards, mosaic_unit_bytes(m->head[u]), FT_MEM_BUFFER, "", 0, &h, &data,
                                nullptr))
                done[j].why = "its header cannot be read again";
            else if (!ft_compimagemake(h, data, &coding.how[u], &done[j].unit, &done[j].bytes, why, WHY_BYTES))
                done[j].why = why[0] ? why : "it cannot be compressed";
            if (h) {
                h->mem = FT_MEM_BUFFER;
                ft_headfree(h, 1);
            }
        });
        bool ok = true;
        for (size_t j = 0; j < done.size(); j++) {
            const int u = first + int(j);
            if (!ok) {
            } else if (!done[j].why.empty()) {
                *error = unit_text(size_t(u)) + ": " + done[j].why;
                ok = false;
            } else if (const std::string_view same = kept(u); !same.empty()) {
                if (!out.put(same.data(), int64_t(same.size()))) ok = write_failed();
            } else if (done[j].unit ? !out.put(done[j].unit, done[j].bytes)
                                    : !out.put(m->head[u]->cards, mosaic_unit_bytes(m->head[u]))) {
                ok = write_failed();
            }
            std::free(done[j].unit);
        }
        if (!ok) return false;
    }
    // What followed the last unit read is kept as it was.
    const MosaicFile *f = m->file;
    if (f->units_end < f->size && !out.put(f->map + f->units_end, f->size - f->units_end)) return write_failed();
    return out.finish() || write_failed();
}

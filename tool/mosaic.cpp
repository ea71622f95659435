// A mosaic mapped whole: every header-and-data unit of the file is indexed in
// place inside one shared mapping, and each unit's detector section is read from
// its DETSEC card (DETSIZE of unit 1 gives the whole detector).
#include "mosaic.h"

#include "big_endian.h"
#include "compressed_file.h"
#include "unit_check.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int NAME_BUFFER = FT_NAME_BYTES;

// Reads "[x1:x2,y1:y2]"; fields not read stay 0.
DetSec parse_detsec(const char *text)
{
    DetSec d{0, 0, 0, 0};
    std::sscanf(text, "[%d:%d,%d:%d]", &d.x1, &d.x2, &d.y1, &d.y2);
    return d;
}

bool contains(const DetSec &d, int x, int y) { return d.x1 <= x && x <= d.x2 && d.y1 <= y && y <= d.y2; }

template <typename T>
T *zeroed_table()
{
    return static_cast<T *>(std::calloc(MOSAIC_MAX_UNITS, sizeof(T)));
}

// The element of unit i's image at detector point (x, y), which the transforms
// take to the 1-based logical column lx and row ly; null when that lies outside
// the image or the element size is not the unit's.  The transform path: detector to physical through `det`
// in reverse, physical to logical through `log`.
unsigned char *element_at(Mosaic m, int i, int x, int y, int code, bool print)
{
    const FITSHead h = m->head[i];
    if (!h || !h->basic || !h->image || !m->data[i]) return nullptr;
    double px, py, lx, ly;
    ft_trxlcs(&h->image->det, x, y, &px, &py, 0);
    ft_trxlcs(&h->image->log, px, py, &lx, &ly, 1);
    if (!(std::fabs(lx) < 2147483647.0) || !(std::fabs(ly) < 2147483647.0)) return nullptr;
    const int ix = int(lx), iy = int(ly);
    if (print) std::printf("%d %d -> %d %d %d\n", x, y, i, ix, iy);
    const FITSBasic b = h->basic;
    const int nx = b->naxes >= 1 ? b->naxis[0] : 0;
    const int ny = b->naxes >= 2 ? b->naxis[1] : (b->naxes == 1 ? 1 : 0);
    if (ix < 1 || iy < 1 || ix > nx || iy > ny) return nullptr;
    const int64_t size = ft_sizeof(code);
    if (size != ft_sizeof(b->bitpix)) return nullptr;
    return static_cast<unsigned char *>(m->data[i]) + ((int64_t(iy) - 1) * nx + (ix - 1)) * size;
}

// A double converted toward zero into an integer type, held at its limits; NaN is 0.
template <typename T>
T to_integer(double v)
{
    if (std::isnan(v)) return 0;
    if (v <= double(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= double(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return T(v);
}

bool read_element(const unsigned char *p, int code, double *value)
{
    switch (code) {
    case 8: *value = double(int8_t(p[0])); return true;
    case 16: *value = load_be<int16_t>(p); return true;
    case 32: *value = load_be<int32_t>(p); return true;
    case -32: *value = load_be<float>(p); return true;
    case -64: *value = load_be<double>(p); return true;
    case 4104: *value = p[0]; return true;
    case 4112: *value = load_be<uint16_t>(p); return true;
    default: return false;
    }
}

void write_element(unsigned char *p, int code, double value)
{
    switch (code) {
    case 8:
    case 4104: p[0] = uint8_t(uint16_t(to_integer<int16_t>(value))); break;
    case 16: store_be<int16_t>(p, int16_t(to_integer<int32_t>(value))); break;
    case 32: store_be<int32_t>(p, to_integer<int32_t>(value)); break;
    case 4112: store_be<uint16_t>(p, uint16_t(to_integer<int32_t>(value))); break;
    case -32: store_be<float>(p, float(value)); break;
    case -64: store_be<double>(p, value); break;
    default: break;
    }
}

} // namespace

namespace {

// Gives `advice` for the whole pages holding [p, p + length) of the mapping
// [map, map + size).
void advise_pages(unsigned char *map, int64_t size, const void *p, int64_t length, int advice)
{
    if (!map || length <= 0) return;
    const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t offset = static_cast<const unsigned char *>(p) - map;
    const int64_t start = offset / page * page;
    int64_t end = (offset + length + page - 1) / page * page;
    if (end > size) end = size;
    if (start < 0 || start >= end) return;
    madvise(map + start, size_t(end - start), advice);
}

void set_reason(std::string *reason, const std::string &text)
{
    if (reason) *reason = text;
}

// Indexes the units of the region [map, map + size) into the tables, at most
// `limit`; *end gets the offset just past the last unit found (at most size).
// Bytes after the last whole unit end the walk and keep the units before them.
// `first_kind` is the memory kind the search for unit 0 is given: a mapping is
// released when nothing is found there; later searches get the rest of the region
// as a plain buffer, so that bytes after the last whole unit never unmap it.
int index_units(unsigned char *map, int64_t size, FITSHead *heads, void **datas, void ***views, int limit,
                int first_kind, int64_t *end)
{
    unsigned char *pos = map;
    int64_t remaining = size;
    int n = 0;
    while (n < limit && remaining > 0) {
        void *data = nullptr;
        void **view = nullptr;
        if (!ft_indxmemdata(pos, remaining, n == 0 ? first_kind : FT_MEM_BUFFER, "", 0, &heads[n], &data, &view))
            break;
        heads[n]->mem = FT_MEM_MMAP;
        if (datas) datas[n] = data;
        if (views) views[n] = view;
        const int64_t step = mosaic_unit_bytes(heads[n]);
        // Read once here: the header's pages need not stay (a file page cache
        // may hand a fault whole large folios, data around the header included).
        advise_pages(map, size, pos, step - heads[n]->basic->databloks * FT_BLOCK_BYTES, MADV_DONTNEED);
        pos += step < remaining ? step : remaining;
        remaining -= step;
        n++;
    }
    if (end) *end = pos - map;
    return n;
}

// Maps the whole open file; MAP_FAILED, with the "mmap:" line printed, on failure
// (an empty file included).
void *map_whole(int fd, int prot, int flags, int64_t *size)
{
    *size = _filesize(fd);
    if (uint64_t(*size) > uint64_t(SIZE_MAX)) {
        errno = EFBIG; // the address space cannot hold the file
        std::perror("mmap");
        return MAP_FAILED;
    }
    void *map = mmap(nullptr, size_t(*size), prot, flags, fd, 0);
    if (map == MAP_FAILED) std::perror("mmap");
    return map;
}

// Why a file whose first unit cannot be indexed is no mosaic.
std::string first_unit_problem(const unsigned char *p, int64_t n)
{
    if (n < 8 || std::memcmp(p, "SIMPLE  ", 8) != 0 || !begins_a_header(p, n)) return "not a FITS file";
    const std::string why = unit_problem(p, n);
    return "primary unit: " + (why.empty() ? std::string("its header cannot be interpreted") : why);
}

// Maps m's file whole, shared, and indexes up to `limit` of its units; false when
// the mapping fails (reported on stderr after "mmap:").
bool map_and_index(Mosaic m, int limit)
{
    MosaicFile *f = m->file;
    int64_t size = 0;
    void *map = map_whole(f->fd, f->writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, &size);
    if (map == MAP_FAILED) return false;
    f->map = static_cast<unsigned char *>(map);
    f->size = size;
    m->count = index_units(f->map, size, m->head, m->data, m->data2d, limit, FT_MEM_BUFFER, &f->units_end);
    return true;
}

// Drops m's index and its mapping, keeping the file open.
void unindex(Mosaic m)
{
    for (int i = 0; i < m->count; i++) {
        m->head[i]->mem = FT_MEM_BUFFER;
        ft_headfree(m->head[i], 1);
        std::free(m->data2d[i]);
        m->head[i] = nullptr;
        m->data[i] = nullptr;
        m->data2d[i] = nullptr;
    }
    m->count = 0;
    munmap(m->file->map, size_t(m->file->size));
    m->file->map = nullptr;
    m->file->size = m->file->units_end = 0;
}

// A file that holds no unit but begins as gzip does, or that holds a
// tile-compressed image.
bool compressed(Mosaic m)
{
    if (m->count == 0) return gzip_magic(m->file->map, m->file->size);
    for (int i = 1; i < m->count; i++)
        if (ft_iscompimage(m->head[i])) return true;
    return false;
}

} // namespace

int ft_mosaicimagemmap(const char *filename, FITSHead **heads, void ***datas, void ****views,
                       int prot, int flags, int max)
{
    MosaicFile *f = mosaic_file_open(filename, (prot & PROT_WRITE) != 0, nullptr);
    if (!f) {
        if (heads) *heads = nullptr;
        if (views) *views = nullptr;
        return 0;
    }
    if (!*heads) *heads = zeroed_table<FITSHead>();
    if (datas && !*datas) *datas = zeroed_table<void *>();
    if (views && !*views) *views = zeroed_table<void **>();
    int64_t size = 0;
    void *map = map_whole(f->fd, prot, flags, &size);
    mosaic_file_close(f); // the headers record the mapping; no descriptor is kept
    if (map == MAP_FAILED) return 0;
    if (!*heads) {
        munmap(map, size_t(size));
        return 0;
    }
    const int limit = max < 0 || max > MOSAIC_MAX_UNITS ? MOSAIC_MAX_UNITS : max;
    return index_units(static_cast<unsigned char *>(map), size, *heads, datas ? *datas : nullptr,
                       views ? *views : nullptr, limit, FT_MEM_MMAP, nullptr);
}

int64_t mosaic_unit_bytes(FITSHead h)
{
    return ((int64_t(h->ncard) * FT_CARD_BYTES + FT_BLOCK_BYTES - 1) / FT_BLOCK_BYTES + h->basic->databloks) *
           FT_BLOCK_BYTES;
}

MosaicName mosaic_name(const char *filename)
{
    char path[NAME_BUFFER], extn[NAME_BUFFER], tail[NAME_BUFFER];
    int indx = -1;
    path[0] = extn[0] = tail[0] = '\0';
    ft_parsefilename(filename, path, extn, &indx, tail, NAME_BUFFER);
    return {path, extn, indx, tail, filename ? std::strcspn(filename, "[,") : 0};
}

std::string mosaic_path(const char *filename) { return mosaic_name(filename).path; }

MosaicFile *mosaic_file_open(const char *filename, bool writable, std::string *reason)
{
    return mosaic_file_open_name(mosaic_name(filename), writable, reason);
}

MosaicFile *mosaic_file_open_name(const MosaicName &name, bool writable, std::string *reason)
{
    // The parser keeps NAME_BUFFER - 1 bytes of the path: a longer one would open
    // another file, or none, under a name cut short.
    if (name.typed_path >= size_t(NAME_BUFFER)) {
        set_reason(reason, "the file name is longer than " + std::to_string(NAME_BUFFER - 1) + " bytes (it has " +
                               std::to_string(name.typed_path) + ")");
        return nullptr;
    }
    return mosaic_file_open_path(name.path, writable, reason);
}

MosaicFile *mosaic_file_open_path(const std::string &file, bool writable, std::string *reason)
{
    const char *path = file.c_str();
    // Look before opening: opening a FIFO waits for a writer.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        set_reason(reason, S_ISDIR(st.st_mode) ? "a directory" : "not a regular file");
        return nullptr;
    }
    const int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        set_reason(reason, errno == EISDIR ? "a directory" : std::strerror(errno));
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return mosaic_file_adopt(fd, writable, reason);
}

MosaicFile *mosaic_file_adopt(int fd, bool writable, std::string *reason)
{
    // Whatever the descriptor is open on must be a regular file.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        set_reason(reason, S_ISDIR(st.st_mode) ? "a directory" : "not a regular file");
        close(fd);
        return nullptr;
    }
    auto *f = static_cast<MosaicFile *>(std::calloc(1, sizeof(MosaicFile)));
    if (!f) {
        set_reason(reason, std::strerror(ENOMEM));
        close(fd);
        return nullptr;
    }
    f->fd = fd;
    f->origin_fd = -1;
    f->writable = writable;
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    return f;
}

bool mosaic_file_lock(MosaicFile *f, bool exclusive)
{
    return flock(f->fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
}

void mosaic_file_close(MosaicFile *f)
{
    if (!f) return;
    if (f->map) munmap(f->map, size_t(f->size));
    if (f->fd >= 0) close(f->fd);
    if (f->origin_fd >= 0) close(f->origin_fd);
    delete f->coding;
    std::free(f);
}

Mosaic mosaic_map(MosaicFile *f, int max, std::string *reason)
{
    auto *m = static_cast<Mosaic>(std::calloc(1, sizeof(_Mosaic)));
    if (m) {
        m->file = f;
        m->head = zeroed_table<FITSHead>();
        m->data = zeroed_table<void *>();
        m->data2d = zeroed_table<void **>();
    }
    if (!m || !m->head || !m->data || !m->data2d) {
        set_reason(reason, std::strerror(ENOMEM));
        if (m) ft_freemosaic(m);
        else mosaic_file_close(f);
        return nullptr;
    }
    const int limit = max < 0 || max > MOSAIC_MAX_UNITS ? MOSAIC_MAX_UNITS : max;
    if (!map_and_index(m, limit)) {
        set_reason(reason, "");
        ft_freemosaic(m);
        return nullptr;
    }
    if (compressed(m)) {
        // The file is read as the plain file it holds, from memory; the file
        // itself stays open for its lock and for a rewrite.
        FileCoding coding;
        std::string why;
        const int plain = decode_file(f->map, f->size, coding_threads(m->count), &coding, &why);
        if (plain < 0) {
            set_reason(reason, why.empty() ? "it cannot be decompressed" : why);
            ft_freemosaic(m);
            return nullptr;
        }
        unindex(m);
        f->origin_fd = f->fd;
        f->fd = plain;
        f->coding = new FileCoding(std::move(coding));
        if (!map_and_index(m, limit)) {
            set_reason(reason, "");
            ft_freemosaic(m);
            return nullptr;
        }
    }
    const int64_t size = f->size;
    if (m->count > 0) m->detsec = static_cast<DetSec *>(std::calloc(size_t(m->count), sizeof(DetSec)));
    if (!m->detsec) {
        set_reason(reason, m->count == 0 ? first_unit_problem(f->map, size) : std::strerror(ENOMEM));
        ft_freemosaic(m);
        return nullptr;
    }
    FITSCard card;
    if (m->count > 1) m->detsec[0] = parse_detsec(ft_headget(m->head[1], "DETSIZE", 0, &card));
    for (int i = 1; i < m->count; i++) m->detsec[i] = parse_detsec(ft_headget(m->head[i], "DETSEC", 0, &card));
    return m;
}

Mosaic ft_mmapmosaic(const char *filename, const char *mode, int max)
{
    MosaicFile *f = mosaic_file_open(filename, std::strcmp(mode, "r") != 0, nullptr);
    if (!f) return nullptr;
    const Mosaic m = mosaic_map(f, max, nullptr);
    if (m) {
        // The mapping stays valid without the descriptor.
        close(f->fd);
        f->fd = -1;
    }
    return m;
}

int64_t mosaic_offset(Mosaic m, const void *p) { return static_cast<const unsigned char *>(p) - m->file->map; }

int mosaic_sync(Mosaic m, int64_t offset, int64_t length)
{
    const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t start = offset / page * page;
    if (length <= 0) return 0;
    return msync(m->file->map + start, size_t(offset + length - start), MS_SYNC) == 0 ? 0 : errno;
}

void mosaic_prefetch(Mosaic m, const void *p, int64_t length)
{
    if (m && m->file) advise_pages(m->file->map, m->file->size, p, length, MADV_WILLNEED);
}

void mosaic_release(Mosaic m, const void *p, int64_t length)
{
    if (m && m->file) advise_pages(m->file->map, m->file->size, p, length, MADV_DONTNEED);
}

void mosaic_release_unit(Mosaic m, int u)
{
    if (!m || u < 0 || u >= m->count || !m->head[u] || !m->head[u]->basic) return;
    mosaic_release(m, m->head[u]->cards, mosaic_unit_bytes(m->head[u]));
}

void ft_freemosaic(Mosaic m)
{
    if (!m) return;
    for (int i = 0; m->head && i < MOSAIC_MAX_UNITS; i++) {
        if (!m->head[i]) continue;
        // The file owns the mapping; the headers only view it.
        m->head[i]->mem = FT_MEM_BUFFER;
        ft_headfree(m->head[i], 1);
        if (m->data2d && m->data2d[i]) std::free(m->data2d[i]);
    }
    mosaic_file_close(m->file);
    std::free(m->head);
    std::free(m->data);
    std::free(m->data2d);
    std::free(m->detsec);
    std::free(m);
}

double getpixel(Mosaic m, int x, int y, int type)
{
    for (int i = 1; i < m->count; i++) {
        if (!contains(m->detsec[i], x, y) || !m->head[i] || !m->head[i]->basic) continue;
        const int code = type | m->head[i]->basic->bitpix;
        const unsigned char *p = element_at(m, i, x, y, code, true);
        double value;
        if (p && read_element(p, code, &value)) return value;
    }
    return 0.0;
}

double setpixel(Mosaic m, int x, int y, int type, double value)
{
    for (int i = 1; i < m->count; i++) {
        if (!contains(m->detsec[i], x, y) || !m->head[i] || !m->head[i]->basic) continue;
        const int code = type | m->head[i]->basic->bitpix;
        if (unsigned char *p = element_at(m, i, x, y, code, false)) write_element(p, code, value);
    }
    return 0.0;
}

// A mosaic mapped whole: every header-and-data unit of the file is indexed in
// place inside one shared mapping, and each unit's detector section is read from
// its DETSEC card (DETSIZE of unit 1 gives the whole detector).
#include "mosaic.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int NAME_BUFFER = 1024;

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
    const int size = (std::abs(code) & ~4096) / 8;
    if (size != std::abs(b->bitpix) / 8) return nullptr;
    return static_cast<unsigned char *>(m->data[i]) + ((int64_t(iy) - 1) * nx + (ix - 1)) * size;
}

// Big-endian element bytes to and from host values.
template <typename T>
T load_be(const unsigned char *p)
{
    unsigned char b[sizeof(T)];
    for (size_t k = 0; k < sizeof(T); k++) b[k] = p[sizeof(T) - 1 - k];
    T v;
    std::memcpy(&v, b, sizeof(T));
    return v;
}

template <typename T>
void store_be(unsigned char *p, T v)
{
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (size_t k = 0; k < sizeof(T); k++) p[k] = b[sizeof(T) - 1 - k];
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

int ft_mosaicimagemmap(const char *filename, FITSHead **heads, void ***datas, void ****views,
                       int prot, int flags, int max)
{
    char path[NAME_BUFFER], extn[NAME_BUFFER], tail[NAME_BUFFER];
    int indx;
    path[0] = '\0';
    ft_parsefilename(filename, path, extn, &indx, tail, NAME_BUFFER);
    const int fd = open(path, (prot & PROT_WRITE) ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        if (heads) *heads = nullptr;
        if (views) *views = nullptr;
        return 0;
    }
    if (!*heads) *heads = zeroed_table<FITSHead>();
    if (datas && !*datas) *datas = zeroed_table<void *>();
    if (views && !*views) *views = zeroed_table<void **>();
    const int64_t size = _filesize(fd);
    void *map = MAP_FAILED;
    if (uint64_t(size) > uint64_t(SIZE_MAX)) {
        errno = EFBIG; // the address space cannot hold the file
    } else {
        map = mmap(nullptr, size_t(size), prot, flags, fd, 0);
    }
    close(fd);
    if (map == MAP_FAILED) {
        std::perror("mmap");
        return 0;
    }
    if (!*heads) {
        munmap(map, size_t(size));
        return 0;
    }
    const int limit = max < 0 || max > MOSAIC_MAX_UNITS ? MOSAIC_MAX_UNITS : max;
    unsigned char *pos = static_cast<unsigned char *>(map);
    int64_t remaining = size;
    int n = 0;
    while (n < limit && remaining > 0) {
        void *data = nullptr;
        void **view = nullptr;
        // A failed search releases the region it was given: for the first unit that
        // is the whole mapping, as it should be; later searches get the rest of it
        // as a plain buffer, so that bytes after the last whole unit never unmap it.
        const int kind = n == 0 ? FT_MEM_MMAP : FT_MEM_BUFFER;
        if (!ft_indxmemdata(pos, remaining, kind, "", 0, &(*heads)[n], &data, &view)) {
            // Bytes after the last whole unit end the walk; the units before stay.
            if (n == 0) return 0;
            break;
        }
        (*heads)[n]->mem = FT_MEM_MMAP;
        if (datas) (*datas)[n] = data;
        if (views) (*views)[n] = view;
        const FITSHead h = (*heads)[n];
        const int64_t step = mosaic_unit_bytes(h);
        pos += step < remaining ? step : remaining;
        remaining -= step;
        n++;
    }
    return n;
}

int64_t mosaic_unit_bytes(FITSHead h)
{
    return ((int64_t(h->ncard) * 80 + 2879) / 2880 + h->basic->databloks) * 2880;
}

Mosaic ft_mmapmosaic(const char *filename, const char *mode, int max)
{
    auto *m = static_cast<Mosaic>(std::calloc(1, sizeof(_Mosaic)));
    if (!m) return nullptr;
    const int prot = std::strcmp(mode, "r") == 0 ? PROT_READ : PROT_READ | PROT_WRITE;
    m->count = ft_mosaicimagemmap(filename, &m->head, &m->data, &m->data2d, prot, MAP_SHARED, max);
    if (m->count > 0) m->detsec = static_cast<DetSec *>(std::calloc(size_t(m->count), sizeof(DetSec)));
    if (!m->detsec) {
        ft_freemosaic(m);
        return nullptr;
    }
    FITSCard card;
    if (m->count > 1) m->detsec[0] = parse_detsec(ft_headget(m->head[1], "DETSIZE", 0, &card));
    for (int i = 1; i < m->count; i++) m->detsec[i] = parse_detsec(ft_headget(m->head[i], "DETSEC", 0, &card));
    return m;
}

void ft_freemosaic(Mosaic m)
{
    if (!m) return;
    // Every header records the region from its own unit to the end; the region
    // starts at unit 0 and is unmapped once, after the headers.
    void *region = nullptr;
    int64_t size = 0;
    if (m->head && m->head[0]) {
        region = m->head[0]->mmap_here;
        size = m->head[0]->mmap_size;
    }
    for (int i = 0; m->head && i < MOSAIC_MAX_UNITS; i++) {
        if (!m->head[i]) continue;
        m->head[i]->mem = FT_MEM_BUFFER;
        ft_headfree(m->head[i], 1);
        if (m->data2d && m->data2d[i]) std::free(m->data2d[i]);
    }
    if (region) munmap(region, size_t(size));
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

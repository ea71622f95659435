// Images in memory regions: units found in place inside a file mapping or a System V
// shared-memory segment, and the release of those regions.
#include "block_layout.h"
#include "fits.h"
#include "header_text.h"
#include "name_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using block_layout::kCardBytes;
constexpr int64_t kBlock = block_layout::kBlockBytes;
constexpr int kNameBuffer = name_buffer::kNameBytes;

// The most bytes of a region handed to the header builder: a header is never
// longer than this, and its END must lie within.
constexpr int64_t kLongestHeader = int64_t(INT_MAX) / kBlock * kBlock;

// Bytes from a unit's first card to the end of its padded data; -1 when the
// header has no description or the sum overflows.
int64_t unit_length(FITSHead h)
{
    if (!h->basic || h->data < 0 || h->basic->databloks < 0) return -1;
    if (h->basic->databloks > (INT64_MAX - h->data) / kBlock) return -1;
    return h->data + h->basic->databloks * kBlock;
}

// A header opens with SIMPLE or XTENSION and holds header text through its END.
// Without this a header that lost its END would run on through its data into the
// next header, and the unit after it would be read from the middle of a unit.
bool is_header_text(FITSHead h)
{
    const auto *c = reinterpret_cast<const unsigned char *>(h->cards->c);
    const int64_t n = int64_t(h->ncard) * header_text::kCard;
    if (std::memcmp(c, "SIMPLE  ", 8) != 0 && std::memcmp(c, "XTENSION", 8) != 0) return false;
    return header_text::first_foreign_byte(c, n) < 0;
}

// A header over the cards at pos, with its END among the first `remaining` bytes,
// or null.  The region itself is never written.
FITSHead header_at(unsigned char *pos, int64_t remaining)
{
    if (remaining < kBlock) return nullptr;
    FITSHead h = ft_headinit(pos, remaining < kLongestHeader ? remaining : kLongestHeader);
    if (h && (!h->basic || !is_header_text(h))) {
        ft_headfree(h, 0);
        return nullptr;
    }
    return h;
}

// Releases a region that a failed search was given.
void release_region(void *data, int64_t size, int type)
{
    if (type == FT_MEM_MMAP && size > 0 && uint64_t(size) <= SIZE_MAX) munmap(data, size_t(size));
    if (type == FT_MEM_SHM) shmdt(data);
}

bool unit_matches(FITSHead h, const char *extn, int indx)
{
    return std::strcmp(extn, h->basic->name) == 0 && (indx == -1 || indx == h->basic->extn);
}

} // namespace

int64_t _filesize(int file)
{
    struct stat st;
    if (fstat(file, &st) != 0) return 0;
    return int64_t(st.st_size);
}

int ft_indxmemdata(void *data, int64_t size, int type, const char *extn, int indx, FITSHead *headptr,
                   void **dataptr, void ***data2dptr)
{
    auto *pos = static_cast<unsigned char *>(data);
    int64_t remaining = data ? size : 0;
    const bool by_name = extn && extn[0];
    FITSHead h = nullptr;
    for (int passed = 0;; passed++) {
        h = header_at(pos, remaining);
        if (!h) break;
        if (by_name ? unit_matches(h, extn, indx) : passed >= indx) break;
        const int64_t length = unit_length(h);
        ft_headfree(h, 0);
        h = nullptr;
        if (length < 0 || length > remaining) break;
        pos += length;
        remaining -= length;
    }
    // The unit's data must lie whole inside the region; its padding may be cut short.
    if (h && (h->data > remaining || h->basic->databytes < 0 ||
              h->basic->databytes > remaining - h->data)) {
        ft_headfree(h, 0);
        h = nullptr;
    }
    if (!h) {
        if (headptr) *headptr = nullptr;
        if (data2dptr) *data2dptr = nullptr;
        release_region(data, size, type);
        return 0;
    }
    void *unit_data = pos + h->data;
    h->mmap_here = static_cast<char *>(data);
    h->mmap_size = size;
    if (dataptr) *dataptr = unit_data;
    if (data2dptr) {
        const FITSBasic b = h->basic;
        const int nx = b->naxes >= 1 ? b->naxis[0] : 0;
        const int ny = b->naxes >= 2 ? b->naxis[1] : 0;
        *data2dptr = ft_make2d(unit_data, int(std::abs(int64_t(b->bitpix)) / 8), 0, 0, nx, ny);
    }
    if (headptr) {
        h->mem = type;
        *headptr = h;
    } else {
        // The caller keeps the data pointer and the view: the region stays.
        h->mmap_here = nullptr;
        h->mmap_size = 0;
        ft_headfree(h, 0);
    }
    return 1;
}

int ft_simpleimagemmap(const char *filename, FITSHead *headptr, void **dataptr, void ***data2dptr,
                       int prot, int share)
{
    char name[kNameBuffer], extn[kNameBuffer], tail[kNameBuffer];
    int indx = -1;
    name[0] = '\0';
    ft_parsefilename(filename, name, extn, &indx, tail, kNameBuffer);
    const int fd = open(name, (prot & PROT_WRITE) ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        if (headptr) *headptr = nullptr;
        if (data2dptr) *data2dptr = nullptr;
        return 0;
    }
    const int64_t size = _filesize(fd);
    void *map = MAP_FAILED;
    if (size > 0 && uint64_t(size) <= SIZE_MAX) map = mmap(nullptr, size_t(size), prot, share, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        if (headptr) *headptr = nullptr;
        if (data2dptr) *data2dptr = nullptr;
        return 0;
    }
    return ft_indxmemdata(map, size, FT_MEM_MMAP, extn, indx, headptr, dataptr, data2dptr);
}

int ft_simpleimageshm(const char *filename, FITSHead *headptr, void **dataptr, void ***data2dptr,
                      int64_t size, int flags)
{
    char name[kNameBuffer], extn[kNameBuffer], tail[kNameBuffer];
    int indx = -1;
    name[0] = '\0';
    tail[0] = '\0';
    ft_parsefilename(filename, name, extn, &indx, tail, kNameBuffer);
    if (size == 0)
        if (const char *s = std::strstr(tail, "size=")) size = std::strtoll(s + 5, nullptr, 10);
    const int id = size >= 0 && uint64_t(size) <= SIZE_MAX
                       ? shmget(key_t(std::strtol(name, nullptr, 10)), size_t(size), flags)
                       : -1;
    void *addr = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void *>(-1);
    if (addr == reinterpret_cast<void *>(-1)) {
        if (headptr) *headptr = nullptr;
        if (data2dptr) *data2dptr = nullptr;
        return 0;
    }
    // Never look past the segment, whatever size was asked for.
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) == 0 && (size == 0 || uint64_t(size) > uint64_t(ds.shm_segsz)))
        size = int64_t(ds.shm_segsz);
    return ft_indxmemdata(addr, size, FT_MEM_SHM, extn, indx, headptr, dataptr, data2dptr);
}

extern "C" {

int ft_munmap(FITSHead head)
{
    if (!head || !head->mmap_here || head->mmap_size <= 0) return -1;
    if (uint64_t(head->mmap_size) > SIZE_MAX) return -1;
    const int result = munmap(head->mmap_here, std::size_t(head->mmap_size));
    if (result == 0) {
        head->mmap_here = nullptr;
        head->mmap_size = 0;
    }
    return result;
}

int ft_shmdt(FITSHead head)
{
    if (!head || !head->mmap_here) return -1;
    const int result = shmdt(head->mmap_here);
    if (result == 0) {
        head->mmap_here = nullptr;
        head->mmap_size = 0;
    }
    return result;
}

} // extern "C"

// The mosaic walk over an arbitrary file: ft_mmapmosaic maps and indexes it, the
// layout check describes it, and pixels are read and written by detector point.
#include "layout.h"
#include "mosaic.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string file_path()
{
    char dir[] = "/tmp/tolv_fuzz_XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    return std::string(dir) + "/mosaic.fits";
}

const std::string kPath = file_path();

void write_file(const uint8_t *data, std::size_t size)
{
    const int fd = open(kPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || (size && write(fd, data, size) != ssize_t(size))) std::abort();
    close(fd);
}

// The mapping, the headers viewing it, their views and the tables: the tool keeps
// them until it exits, a fuzzer must give them back.
void release(Mosaic m)
{
    void *region = m->head[0]->mmap_here;
    const int64_t length = m->head[0]->mmap_size;
    for (int i = 0; i < m->count; i++) {
        m->head[i]->mmap_here = nullptr;  // the region is unmapped once, below
        ft_headfree(m->head[i], 0);
        std::free(m->data2d[i]);
    }
    munmap(region, std::size_t(length));
    std::free(m->head);
    std::free(m->data);
    std::free(m->data2d);
    std::free(m->detsec);
    std::free(m);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();  // getpixel prints
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    write_file(data, size);
    const Mosaic m = ft_mmapmosaic(kPath.c_str(), size % 2 ? "rw" : "r", size % 3 ? 73 : -1);
    if (!m) return 0;
    const std::string problem = layout_problem(kPath.c_str(), m, {kPath.c_str()}, {m});
    for (int i = 0; i < m->count; i++) {
        const DetSec d = m->detsec[i];
        for (int x : {d.x1, d.x2, (d.x1 / 2 + d.x2 / 2)})
            for (int y : {d.y1, d.y2}) {
                getpixel(m, x, y, 0);
                getpixel(m, x, y, 4096);
                if (size % 2) setpixel(m, x, y, size % 5 ? 0 : 4096, -3.7);
            }
    }
    release(m);
    return 0;
}

// The mosaic walk over an arbitrary file: ft_mmapmosaic maps and indexes it, the
// layout check describes it, and pixels are read and written by detector point.
#include "layout.h"
#include "mosaic.h"

#include <fcntl.h>
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
    ft_freemosaic(m);  // the tool keeps its mosaics until it exits; a fuzzer cannot
    return 0;
}

// tolv: removes fringe patterns from every image extension of a mosaic, in place.
// Arguments, mapping, the check of every extension before the first write, the
// fit, and the synchronisation of the science file at the end.
#include "fringefit.h"
#include "layout.h"
#include "mosaic.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The tool keeps its mappings and arrays until the process ends, by design, and a
// fatal numeric error exits from deep inside the fit; leak reports on exit say
// nothing here (the library's own tests run with the leak checker).  Asked at the
// check itself, so that no ASAN_OPTIONS=detect_leaks=1 inherited from a test run
// turns the report back on.
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

namespace {

constexpr int MAX_UNITS = 73;

// Says so when the walk over the science file stopped before its end: those bytes
// (a unit past the limit, or bytes that are no whole unit) are left as they are.
void report_unindexed_tail(const char *name, Mosaic m)
{
    const FITSHead first = m->head[0], last = m->head[m->count - 1];
    const int64_t end = int64_t(reinterpret_cast<char *>(last->cards) - reinterpret_cast<char *>(first->cards)) +
                        mosaic_unit_bytes(last);
    if (end < first->mmap_size)
        std::fprintf(stderr, "tolv: %s: only units 0 to %d are corrected; the %lld bytes after them are left as they are\n",
                     name, m->count - 1, static_cast<long long>(first->mmap_size - end));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: tolv file fringefile1 ... fringefilen\n");
        return 1;
    }
    const char *science_name = argv[1];
    const std::vector<const char *> fringe_names(argv + 2, argv + argc);

    const Mosaic science = ft_mmapmosaic(science_name, "rw", MAX_UNITS);
    if (!science) {
        std::fprintf(stderr, "Couldn't open file %s\n", science_name);
        return 1;
    }
    std::vector<Mosaic> fringes;
    for (const char *name : fringe_names) {
        const Mosaic m = ft_mmapmosaic(name, "r", MAX_UNITS);
        if (!m) {
            std::fprintf(stderr, "Couldn't open file %s\n", name);
            return 1;
        }
        fringes.push_back(m);
    }
    const std::string problem = layout_problem(science_name, science, fringe_names, fringes);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    report_unindexed_tail(science_name, science);

    fringe_fit(science, fringes.data(), int(fringes.size()), stdout);

    // The corrected pages are in the page cache; make sure they reach the file.
    const FITSHead whole = science->head[0];
    if (msync(whole->mmap_here, size_t(whole->mmap_size), MS_SYNC) != 0) {
        std::fprintf(stderr, "tolv: %s: writing the corrected pixels back failed: %s\n", science_name,
                     std::strerror(errno));
        return 1;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "tolv: writing the table failed: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

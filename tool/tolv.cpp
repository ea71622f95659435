// tolv: removes fringe patterns from every image extension of a mosaic, in place
// or into a new file.  The options, then the command's job (command.cpp).
#include "command.h"
#include "science_files.h"
#include "faults.h"
#include "fileio.h"
#include "messages.h"
#include "tsutil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// The tool keeps its mappings and arrays until the process ends, by design, and a
// fatal numeric error exits from deep inside the fit; leak reports on exit say
// nothing here (the library's own tests run with the leak checker).  Asked at the
// check itself, so that no ASAN_OPTIONS=detect_leaks=1 inherited from a test run
// turns the report back on.
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

namespace {

#ifdef TOLV_FAULT_INJECTION
// Test builds only: TOLV_INJECT="POINT:E:ACTION" ends the process with SIGKILL
// (ACTION kill) or stops it with SIGSTOP (ACTION stop) when extension E reaches
// POINT of its write-back: saved, half (half of its pixels stored), stored,
// synced, done; or end (E 0: before the journal is removed), removed (E 0: the
// journal removed, the file's mark not yet cleared); for a compressed file
// rewritten whole, encoded (E 0: the new file synced, not yet renamed) and
// renamed (E 0: put in place).  Several, separated by
// commas, each act in turn.
void inject(const char *point, int e)
{
    const char *injection = std::getenv("TOLV_INJECT");
    for (const char *p = injection; p && *p; p = std::strchr(p, ',') ? std::strchr(p, ',') + 1 : nullptr) {
        char want[32], action[8];
        int at = -1;
        if (std::sscanf(p, "%31[^:]:%d:%7[a-z]", want, &at, action) != 3) return;
        if (std::strcmp(want, point) != 0 || at != e) continue;
        std::fflush(stdout);
        raise(std::strcmp(action, "stop") == 0 ? SIGSTOP : SIGKILL);
    }
}
void (*const checkpoint)(const char *, int) = inject;
#else
void (*const checkpoint)(const char *, int) = nullptr;
#endif

} // namespace

int main(int argc, char **argv)
{
    open_standard_descriptors();
    // A refused allocation ends the run here, with the numeric module's report,
    // rather than as an exception: with memory that short, even the exception
    // might not be made.  A run that ends so is finished by the next one.
    std::set_new_handler([] { tserror("allocation failure: not enough memory"); });
    Options options;
    std::string error;
    if (!parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "%s\n%s%s", tool_line(error).c_str(), USAGE, USAGE_HINT);
        return 1;
    }
    if (options.help) {
        std::fputs(help_text().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (options.version) {
        std::printf("tolv %s\n", tolv_version());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!enough_files(options)) {
        std::fprintf(stderr, "%s%s", USAGE, argc > 2 ? USAGE_HINT : "");
        return 1;
    }
    faults_install();
    CommandStreams streams;
    streams.checkpoint = checkpoint;
    return options.fringe_options.empty() ? run_command(options, streams) : run_science_files(options, streams);
}

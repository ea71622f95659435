// tolv-mkfringe: makes a fringe frame from dithered exposures.  The options,
// then the command's job (mkfringe_command.cpp).
#include "fileio.h"
#include "mkfringe_command.h"
#include "options.h"
#include "tsutil.h"

#include <cstdio>
#include <new>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// As tolv: the mappings are kept until the process ends.
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

int main(int argc, char **argv)
{
    open_standard_descriptors();
    std::set_new_handler([] { tserror("allocation failure: not enough memory"); });
    MakeOptions o;
    std::string error;
    if (!parse_make_options(argc, argv, &o, &error)) {
        std::fprintf(stderr, "%s%s\n%sTry 'tolv-mkfringe --help'\n", MKFRINGE_PREFIX, error.c_str(), MKFRINGE_USAGE);
        return 1;
    }
    if (o.help) {
        std::fputs(make_help_text().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (o.version) {
        std::printf("tolv-mkfringe %s\n", tolv_version());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (o.output.empty() || o.inputs.empty()) {
        std::fprintf(stderr, "%sTry 'tolv-mkfringe --help'\n", MKFRINGE_USAGE);
        return 1;
    }
    return run_mkfringe(o, stdout, stderr);
}

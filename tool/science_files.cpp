// The files of a run of many exposures: refused together when one is named
// twice, then corrected one at a time by the command itself.
#include "science_files.h"

#include "messages.h"

#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// The first name that stands for a file named before it (by the same name, a
// hard link or another path), with what it is named as; empty when none.
std::string named_twice(const Options &o)
{
    std::map<std::pair<dev_t, ino_t>, std::string> seen; // the file, and how it was first named
    auto check = [&](const std::string &name, const char *as) -> std::string {
        struct stat st;
        if (stat(name.c_str(), &st) != 0) return ""; // the run says why it cannot be read
        const auto [at, fresh] = seen.emplace(std::make_pair(st.st_dev, st.st_ino), std::string(as) + " " + name);
        if (fresh) return "";
        return name + ": the same file as the " + at->second + NOTHING_DONE;
    };
    for (const std::string &name : o.fringes)
        if (const std::string twice = check(name, "fringe frame"); !twice.empty()) return twice;
    for (const std::string &name : o.sciences)
        if (const std::string twice = check(name, "science file"); !twice.empty()) return twice;
    return "";
}

} // namespace

int run_science_files(const Options &o, const CommandStreams &streams)
{
    if (const std::string twice = named_twice(o); !twice.empty()) {
        std::fprintf(streams.messages, "%s\n", tool_line(twice).c_str());
        return 1;
    }
    const bool many = o.sciences.size() > 1;
    int corrected = 0, skipped = 0, failed = 0;
    for (const std::string &science : o.sciences) {
        Options one = o;
        one.files = {science.c_str()};
        for (const std::string &fringe : o.fringes) one.files.push_back(fringe.c_str());
        RunReport report;
        CommandStreams s = streams;
        s.report = streams.report ? streams.report : &report;
        // A fit that cannot be solved ends this file's run, not the others'.
        s.fatal_exits = streams.fatal_exits && !many;
        s.summary = many;
        if (many) {
            std::fprintf(streams.table, "# %s\n", science.c_str());
            std::fflush(streams.table);
        }
        const int status = run_command(one, s);
        (status != 0 ? failed : s.report->corrected > 0 ? corrected : skipped)++;
    }
    if (many && (!o.quiet || failed))
        std::fprintf(streams.messages, "%s\n",
                     tool_line(std::to_string(o.sciences.size()) + " science files: " + std::to_string(corrected) +
                               (o.dry_run ? " fitted, " : " corrected, ") + std::to_string(skipped) + " skipped, " +
                               std::to_string(failed) + " failed")
                         .c_str());
    return failed ? 1 : 0;
}

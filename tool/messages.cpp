#include "messages.h"

#include "tsutil.h"

#include <unistd.h>

#include <utility>

std::string tool_line(const std::string &text) { return MESSAGE_PREFIX + text; }

std::string file_line(const std::string &name, const std::string &text) { return MESSAGE_PREFIX + name + ": " + text; }

Messages::Messages(std::FILE *to, std::string science_name, bool notes, bool fatal_exits)
    : to_(to), science_(std::move(science_name)), notes_(notes), progress_(notes && isatty(fileno(to))),
      fatal_exits_(fatal_exits)
{
}

int Messages::numeric_error(const char *text) const
{
    if (fatal_exits_) tserror(text);
    write_numeric_error(to_, text);
    return 1;
}

void Messages::note(const std::string &text) const
{
    if (notes_) std::fprintf(to_, "%s\n", file_line(science_, text).c_str());
}

int Messages::refuse(const std::string &line) const
{
    std::fprintf(to_, "%s\n", line.c_str());
    return 1;
}

int Messages::refuse_science(const std::string &text) const { return refuse(file_line(science_, text)); }

int Messages::unopenable(const std::string &name, const std::string &reason) const
{
    if (!reason.empty()) refuse(file_line(name, reason));
    std::fprintf(to_, "Couldn't open file %s\n", name.c_str());
    return 1;
}

void Messages::progress_line(const std::string &text) const
{
    if (progress_) std::fprintf(to_, "%s\n", tool_line(text).c_str());
}

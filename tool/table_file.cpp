#include "table_file.h"

#include "table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

std::vector<FitRow> parse_fit_rows(const std::string &text)
{
    std::vector<FitRow> rows;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        // Extn, Iter, Sigma, Npix, then the coefficients, a tab before each.
        FitRow row;
        char *next = nullptr;
        row.extn = int(std::strtol(line.c_str(), &next, 10));
        row.iter = int(std::strtol(next, &next, 10));
        row.sigma = std::strtof(next, &next);
        row.npix = int(std::strtol(next, &next, 10));
        row.a.push_back(0.0);
        for (char *after = next;; next = after) {
            const double a = std::strtod(next, &after);
            if (after == next) break;
            row.a.push_back(a);
        }
        rows.push_back(row);
    }
    return rows;
}

TableFile::TableFile(std::FILE *standard, std::string path)
    : standard_(standard), file_(standard), path_(std::move(path))
{
}

TableFile::~TableFile()
{
    if (file_ && file_ != standard_) std::fclose(file_);
}

bool TableFile::open(std::string *error)
{
    if (path_.empty()) return true;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    file_ = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file_) return true;
    const int why = errno;
    if (fd >= 0) close(fd);
    *error = std::strerror(why);
    return false;
}

void TableFile::failed(int error_number)
{
    if (!error_) error_ = error_number ? error_number : EIO;
}

void TableFile::empty()
{
    struct stat st;
    if (!path_.empty() && fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fileno(file_), 0) != 0)
        failed(errno);
}

void TableFile::head(int nfringe) { print_fit_head(file_, nfringe); }

void TableFile::rows(const std::string &text)
{
    if (std::fputs(text.c_str(), file_) == EOF) failed(errno);
}

bool TableFile::flush()
{
    if (std::fflush(file_) != 0) failed(errno);
    if (std::ferror(file_)) failed(EIO);
    return error_ == 0;
}

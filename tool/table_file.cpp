#include "table_file.h"

#include "table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

// Extended file-name parsing with every output buffer length: each output fits
// the maxlen bytes it was given, extn the longest word of the name.
#include "fits.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "ft_parsefilename: %s\n", what);
    std::abort();
}

char *buffer(std::size_t n)
{
    char *b = static_cast<char *>(std::malloc(n));
    std::memset(b, 'u', n);  // no terminator until the parser writes one
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    // The name as a C string of exactly its length.
    char *filename = static_cast<char *>(std::malloc(size + 1));
    std::memcpy(filename, data, size);
    filename[size] = '\0';
    const std::size_t length = std::strlen(filename);
    for (int maxlen = 1; maxlen <= int(length) + 2; maxlen++) {
        char *name = buffer(std::size_t(maxlen)), *tail = buffer(std::size_t(maxlen));
        char *extn = buffer(length + 1);
        name[0] = '\0';
        int indx = 7;
        const int cflag = ft_parsefilename(filename, name, extn, &indx, tail, maxlen);
        if (cflag != 0 && cflag != 1) fail("cflag neither 0 nor 1");
        if (strnlen(name, std::size_t(maxlen)) >= std::size_t(maxlen)) fail("name overruns maxlen");
        if (length && strnlen(tail, std::size_t(maxlen)) >= std::size_t(maxlen)) fail("tail overruns maxlen");
        if (length && strnlen(extn, length + 1) > length) fail("extn unterminated");
        std::free(name);
        std::free(tail);
        std::free(extn);
    }
    std::free(filename);
    return 0;
}

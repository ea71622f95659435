// Test helpers: FITS units built from card texts, files in a private temporary
// directory, and a real pipe fed by a child process.
#ifndef TOLV_TESTS_FITS_FILES_H
#define TOLV_TESTS_FITS_FILES_H

#include "fits.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

constexpr std::size_t kBlock = 2880;

inline std::string card80(const std::string &text)
{
    std::string s = text.substr(0, 80);
    s.resize(80, ' ');
    return s;
}

// The cards, then END, blank-padded to whole blocks.
inline std::string header_bytes(const std::vector<std::string> &cards)
{
    std::string h;
    for (const auto &c : cards) h += card80(c);
    h += card80("END");
    h.resize((h.size() + kBlock - 1) / kBlock * kBlock, ' ');
    return h;
}

// `blocks` data blocks whose every byte tells its unit (tag) and block.
inline std::string data_bytes(std::size_t blocks, char tag)
{
    std::string d;
    for (std::size_t b = 0; b < blocks; ++b) d += std::string(kBlock, char(tag + b));
    return d;
}

inline std::string primary_cards_text(int naxis1)
{
    return naxis1 == 0 ? header_bytes({"SIMPLE  =                    T", "BITPIX  =                    8",
                                       "NAXIS   =                    0", "EXTEND  =                    T"})
                       : header_bytes({"SIMPLE  =                    T", "BITPIX  =                    8",
                                       "NAXIS   =                    1",
                                       "NAXIS1  = " + std::string(20 - std::to_string(naxis1).size(), ' ') +
                                           std::to_string(naxis1)});
}

// An IMAGE extension of BITPIX 8 and naxis1 bytes of data; empty extname or hduname
// leave that keyword out, extver 0 leaves EXTVER out.
inline std::string image_unit(const std::string &extname, int extver, int naxis1, char tag,
                              const std::string &hduname = "")
{
    auto right = [](int v) { return std::string(20 - std::to_string(v).size(), ' ') + std::to_string(v); };
    std::vector<std::string> cards = {"XTENSION= 'IMAGE   '", "BITPIX  =                    8",
                                      "NAXIS   =                    1", "NAXIS1  = " + right(naxis1),
                                      "PCOUNT  =                    0", "GCOUNT  =                    1"};
    if (!extname.empty()) cards.push_back("EXTNAME = '" + extname + "'");
    if (extver != 0) cards.push_back("EXTVER  = " + right(extver));
    if (!hduname.empty()) cards.push_back("HDUNAME = '" + hduname + "'");
    const std::size_t blocks = (std::size_t(naxis1) + kBlock - 1) / kBlock;
    return header_bytes(cards) + data_bytes(blocks, tag);
}

// A private directory removed with everything in it.
struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tolv_XXXXXX").string();
        if (mkdtemp(pattern.data())) path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string write(const std::string &name, const std::string &bytes) const
    {
        const std::string file = (path / name).string();
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
};

inline std::string file_contents(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything left on the stream.
inline std::string rest_of(File file)
{
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) s.append(buf, n);
    return s;
}

// The read end of a real pipe into which a child process writes `bytes` and exits.
struct PipeFeed {
    File stream = nullptr;
    pid_t child = -1;
    explicit PipeFeed(const std::string &bytes)
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::fflush(nullptr);
        child = fork();
        if (child == 0) {
            close(fds[0]);
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += std::size_t(n);
            }
            _exit(0);
        }
        close(fds[1]);
        stream = fdopen(fds[0], "r");
    }
    // Close the stream unless the code under test already did.
    void close_stream()
    {
        if (stream) std::fclose(stream);
        stream = nullptr;
    }
    ~PipeFeed()
    {
        close_stream();
        if (child > 0) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        }
    }
};

#endif

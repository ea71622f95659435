#include "fits.h"

#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace unitbytes;

namespace {

// Primary, then a 16-bit 4 x 3 image with BZERO 32768 named RAW.
std::vector<Unit> scaled_file()
{
    Unit e;
    e.cards = {card("XTENSION", str("IMAGE")), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "4"),
               card("NAXIS2", "3"), card("BZERO", "32768"), card("EXTNAME", str("RAW"))};
    for (int k = 0; k < 12; k++) {
        const uint16_t stored = uint16_t(int16_t(1000 * k - 32768)); // physical 1000 k
        e.data.push_back(static_cast<unsigned char>(stored >> 8));
        e.data.push_back(static_cast<unsigned char>(stored & 0xff));
    }
    return {primary(), float_image(2, 2, {1, 2, 3, 4}), e};
}

std::string temp_file(const std::vector<unsigned char> &bytes)
{
    char path[] = "/tmp/tolv_fitsimage_XXXXXX";
    close(mkstemp(path));
    write(path, bytes);
    return path;
}

} // namespace

TEST(fitsimage, reads_a_selected_unit_as_physical_floats)
{
    const std::string path = temp_file(file_bytes(scaled_file()));
    for (const std::string sel : {"[RAW]", "[2]"}) {
        FITSHead h = nullptr;
        void *data = nullptr;
        void **view = nullptr;
        ASSERT_EQ(ft_simpleimageread((path + sel).c_str(), &h, &data, &view, -32), 1) << sel;
        const float *f = static_cast<float *>(data);
        for (int k = 0; k < 12; k++) EXPECT_EQ(f[k], 1000.0f * k) << sel;
        EXPECT_EQ(static_cast<float *>(view[2])[1], 9000.0f);
        std::free(view);
        std::free(data);
        ft_headfree(h, 1);
    }
    FITSHead h = nullptr;
    void **view = reinterpret_cast<void **>(1);
    void *data = nullptr;
    EXPECT_EQ(ft_simpleimageread((path + "[raw]").c_str(), &h, &data, &view, -32), 0); // case counts
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(view, nullptr);
    unlink(path.c_str());
}

TEST(fitsimage, rows_are_element_sized_apart)
{
    const std::string path = temp_file(file_bytes(scaled_file()));
    FITSHead h = nullptr;
    void *data = nullptr;
    void **view = nullptr;
    ASSERT_EQ(ft_simpleimageread((path + "[1]").c_str(), &h, &data, &view, -1), 1);
    EXPECT_EQ(static_cast<char *>(view[1]) - static_cast<char *>(view[0]), 2 * 4);
    EXPECT_EQ(static_cast<float *>(view[1])[1], 4.0f);
    std::free(view);
    std::free(data);
    ft_headfree(h, 1);
    unlink(path.c_str());
}

TEST(fitsimage, reads_standard_input_through_a_pipe)
{
    const auto bytes = file_bytes(scaled_file());
    EXPECT_EXIT(
        {
            int fds[2];
            if (pipe(fds) != 0) std::_Exit(2);
            if (fork() == 0) {
                close(fds[0]);
                size_t done = 0;
                while (done < bytes.size()) {
                    const ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
                    if (n <= 0) break;
                    done += size_t(n);
                }
                std::_Exit(0);
            }
            close(fds[1]);
            dup2(fds[0], 0);
            FITSHead h = nullptr;
            void *data = nullptr;
            const int ok = ft_simpleimageread("-[RAW]", &h, &data, nullptr, -32);
            const bool values = ok && static_cast<float *>(data)[11] == 11000.0f;
            // Standard input was closed after the read.
            const bool closed = std::fgetc(stdin) == EOF;
            std::_Exit(ok && values && closed ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(fitsimage, writes_a_single_unit_file_that_reads_back)
{
    const std::string path = temp_file(file_bytes(scaled_file()));
    FITSHead h = nullptr;
    void *data = nullptr;
    ASSERT_EQ(ft_simpleimageread((path + "[RAW]").c_str(), &h, &data, nullptr, -32), 1);
    const std::string out = path + ".out";
    ASSERT_EQ(ft_simpleimagewrite(out.c_str(), h, data, -32), 1);
    const auto written = read(out);
    ASSERT_EQ(written.size(), 2u * 2880);
    EXPECT_EQ(std::string(written.begin(), written.begin() + 30), "SIMPLE  =                    T");
    FITSHead back = nullptr;
    void *again = nullptr;
    ASSERT_EQ(ft_simpleimageread(out.c_str(), &back, &again, nullptr, -32), 1);
    EXPECT_EQ(back->basic->simple, 1);
    EXPECT_EQ(std::memcmp(again, data, 12 * sizeof(float)), 0);
    EXPECT_EQ(ft_simpleimagewrite("/nonexistent/dir/x.fits", h, data, -32), 0);
    std::free(again);
    std::free(data);
    ft_headfree(back, 1);
    ft_headfree(h, 1);
    unlink(out.c_str());
    unlink(path.c_str());
}

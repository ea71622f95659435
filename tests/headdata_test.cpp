#include "fits.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Header records for one data unit, filled consistently from BITPIX and the axes,
// as the header interpreter would fill them.
struct Unit {
    _FITSHead head{};
    _FITSBasic basic{};
    _FITSImage image{};

    Unit(int bitpix, std::vector<int> axes, double bscale = 1.0, double bzero = 0.0)
    {
        basic.bitpix = bitpix;
        basic.naxes = int(axes.size());
        basic.gcount = 1;
        int64_t pixels = axes.empty() ? 0 : 1;
        for (size_t i = 0; i < axes.size(); i++) basic.naxis[i] = axes[i], pixels *= axes[i];
        basic.datapixls = pixels;
        basic.databytes = pixels * ((bitpix < 0 ? -bitpix : bitpix) / 8);
        basic.databloks = (basic.databytes + 2879) / 2880;
        image.dbscale = bscale;
        image.has_bscale = bscale != 1.0;
        image.dbzero = bzero;
        image.has_bzero = bzero != 0.0;
        head.basic = &basic;
        head.image = &image;
    }
};

// A real stream holding the given bytes, positioned at the start.
FILE *stream_of(const Bytes &bytes)
{
    FILE *f = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

Bytes contents(FILE *f)
{
    std::fflush(f);
    std::rewind(f);
    Bytes out;
    int c;
    while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<unsigned char>(c));
    return out;
}

// Write through ft_datawrite into a new stream and return what the stream holds.
template <typename T>
Bytes written(Unit &u, std::vector<T> data, int pixtype, int *result = nullptr)
{
    FILE *f = std::tmpfile();
    const int r = ft_datawrite(f, &u.head, data.data(), pixtype);
    if (result) *result = r;
    Bytes out = contents(f);
    std::fclose(f);
    return out;
}

// Read through ft_dataread (into a new array) the given bytes as n values of T.
template <typename T>
std::vector<T> read_as(Unit &u, const Bytes &file, int pixtype, bool *ok = nullptr)
{
    FILE *f = stream_of(file);
    void *data = ft_dataread(f, &u.head, nullptr, pixtype);
    std::fclose(f);
    if (ok) *ok = data != nullptr;
    if (!data) return {};
    std::vector<T> out(static_cast<T *>(data), static_cast<T *>(data) + u.basic.datapixls);
    std::free(data);
    return out;
}

Bytes padded(Bytes b)
{
    b.resize((b.size() + 2879) / 2880 * 2880, 0);
    return b;
}

} // namespace

TEST(headdata, swaps_reverse_each_element)
{
    const unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char out[8];
    swap2(out, in, 8);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{2, 1, 4, 3, 6, 5, 8, 7}));
    swap4(out, in, 8);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{4, 3, 2, 1, 8, 7, 6, 5}));
    swap8(out, in, 8);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(headdata, swaps_long_arrays_in_place_and_apart)
{
    // 1003 bytes: several whole blocks, a short block and 3 trailing bytes.
    Bytes in(1003);
    for (size_t k = 0; k < in.size(); k++) in[k] = static_cast<unsigned char>(k * 31 + 7);
    for (int w : {2, 4, 8}) {
        Bytes want = in;
        const size_t whole = in.size() / size_t(w) * size_t(w);
        for (size_t e = 0; e < whole; e += size_t(w))
            for (int b = 0; b < w; b++) want[e + size_t(b)] = in[e + size_t(w - 1 - b)];
        void (*swap)(void *, const void *, int64_t) = w == 2 ? swap2 : w == 4 ? swap4 : swap8;
        Bytes apart(in.size(), 0xee);
        swap(apart.data(), in.data(), int64_t(in.size()));
        EXPECT_EQ(apart, want) << w;
        Bytes same = in;
        swap(same.data(), same.data(), int64_t(same.size()));
        EXPECT_EQ(same, want) << w;
    }
}

TEST(headdata, swap_copies_trailing_bytes_unchanged)
{
    const unsigned char in[7] = {1, 2, 3, 4, 5, 6, 7};
    unsigned char out[8] = {0, 0, 0, 0, 0, 0, 0, 0xaa};
    swap4(out, in, 7);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{4, 3, 2, 1, 5, 6, 7, 0xaa}));
    swap8(out, in, 7);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 0xaa}));
}

TEST(headdata, dataswap_dispatches_on_width)
{
    unsigned char b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(ft_dataswap(nullptr, b, 8, 16), nullptr);
    EXPECT_EQ(ft_dataswap(b, nullptr, 8, 16), nullptr);
    EXPECT_EQ(ft_dataswap(b, b, 8, 8), static_cast<void *>(b));
    EXPECT_EQ(ft_dataswap(b, b, 8, 0), static_cast<void *>(b));
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    unsigned char out[8] = {};
    ft_dataswap(out, b, 8, 4112); // not a width: copied
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    const uint16_t probe = 1;
    const bool little = *reinterpret_cast<const unsigned char *>(&probe) == 1;
    ft_dataswap(out, b, 8, -32);
    EXPECT_EQ(Bytes(out, out + 8), little ? (Bytes{4, 3, 2, 1, 8, 7, 6, 5}) : Bytes(b, b + 8));
    ft_dataswap(out, b, 8, -64);
    EXPECT_EQ(Bytes(out, out + 8), little ? (Bytes{8, 7, 6, 5, 4, 3, 2, 1}) : Bytes(b, b + 8));
    ft_dataswap(out, b, 8, 16);
    EXPECT_EQ(Bytes(out, out + 8), little ? (Bytes{2, 1, 4, 3, 6, 5, 8, 7}) : Bytes(b, b + 8));
}

TEST(headdata, writes_big_endian_with_exact_padding)
{
    Unit u16(16, {3});
    EXPECT_EQ(written(u16, std::vector<int16_t>{1, -2, 0x1234}, 16), padded({0, 1, 0xff, 0xfe, 0x12, 0x34}));
    Unit u32(32, {1});
    EXPECT_EQ(written(u32, std::vector<int32_t>{0x01020304}, 32), padded({1, 2, 3, 4}));
    Unit r32(-32, {1});
    EXPECT_EQ(written(r32, std::vector<float>{1.0f}, -32), padded({0x3f, 0x80, 0, 0}));
    Unit r64(-64, {1});
    EXPECT_EQ(written(r64, std::vector<double>{-2.0}, -64), padded({0xc0, 0, 0, 0, 0, 0, 0, 0}));
    Unit u8(8, {2});
    EXPECT_EQ(written(u8, std::vector<uint8_t>{7, 255}, 8), padded({7, 255}));

    Unit whole(8, {2880});
    EXPECT_EQ(written(whole, std::vector<uint8_t>(2880, 1), 8).size(), 2880u);
    Unit one_more(8, {2881});
    const Bytes b = written(one_more, std::vector<uint8_t>(2881, 1), 8);
    EXPECT_EQ(b.size(), 5760u);
    EXPECT_EQ(Bytes(b.begin() + 2881, b.end()), Bytes(2879, 0));
    Unit empty(16, {});
    int r = 0;
    EXPECT_EQ(written(empty, std::vector<int16_t>{}, 16, &r).size(), 0u);
    EXPECT_EQ(r, 1);
}

TEST(headdata, write_in_own_type_reverses_the_callers_array)
{
    // The array is swapped in place and left as written: in file order, its
    // bytes those of the file.  On a little-endian host that reverses each
    // element; on a big-endian one it is the order the array had.
    Unit u(32, {2});
    std::vector<int32_t> data{1, 2};
    FILE *f = std::tmpfile();
    EXPECT_EQ(ft_datawrite(f, &u.head, data.data(), -1), 1);
    const Bytes file = contents(f);
    std::fclose(f);
    const Bytes big_endian{0, 0, 0, 1, 0, 0, 0, 2};
    const auto *left = reinterpret_cast<const unsigned char *>(data.data());
    EXPECT_EQ(Bytes(left, left + 8), big_endian);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), big_endian);
    EXPECT_EQ(data, std::endian::native == std::endian::little
                        ? (std::vector<int32_t>{int32_t(0x01000000), int32_t(0x02000000)})
                        : (std::vector<int32_t>{1, 2}));
}

TEST(headdata, every_bitpix_round_trips)
{
    const std::vector<double> values{0, 1, -1, 100, -128, 127, 255, 3000, -3000};
    for (int bitpix : {8, 16, 32, -32, -64}) {
        for (bool scaled : {false, true}) {
            Unit u(bitpix, {3, 3}, scaled ? 0.5 : 1.0, scaled ? -64.0 : 0.0);
            std::vector<double> want;
            for (double v : values) {
                // Values that fit the stored type once scaling is removed.
                const double stored = (v - u.image.dbzero) / u.image.dbscale;
                const bool fits = bitpix == 8 ? stored >= 0 && stored <= 255
                                  : bitpix == 16 ? stored >= -32768 && stored <= 32767
                                                 : true;
                want.push_back(fits ? v : u.image.dbzero);
            }
            int r = 0;
            const Bytes file = written(u, want, -64, &r);
            EXPECT_EQ(r, 1);
            EXPECT_EQ(file.size(), 2880u);
            EXPECT_EQ(read_as<double>(u, file, -64), want) << bitpix << " scaled " << scaled;
            // The raw bytes come back exactly as stored.
            const Bytes raw = read_as<unsigned char>(u, file, 0);
            EXPECT_EQ(Bytes(raw.begin(), raw.end()), Bytes(file.begin(), file.begin() + raw.size()));
        }
    }
}

TEST(headdata, reads_host_order_in_own_type)
{
    Unit u(16, {3});
    EXPECT_EQ(read_as<int16_t>(u, padded({0, 1, 0xff, 0xfe, 0x80, 0}), 16), (std::vector<int16_t>{1, -2, -32768}));
    EXPECT_EQ(read_as<int16_t>(u, padded({0, 1, 0xff, 0xfe, 0x80, 0}), -1), (std::vector<int16_t>{1, -2, -32768}));
    EXPECT_EQ(read_as<float>(u, padded({0, 1, 0xff, 0xfe, 0x80, 0}), -32), (std::vector<float>{1, -2, -32768}));
    Unit scaled(16, {3}, 2.0, 1.0);
    EXPECT_EQ(read_as<float>(scaled, padded({0, 1, 0xff, 0xfe, 0x80, 0}), -32),
              (std::vector<float>{3, -3, -65535}));
}

TEST(headdata, unsigned_16_bit_through_bzero)
{
    Unit u(16, {3}, 1.0, 32768.0);
    const Bytes file = written(u, std::vector<uint16_t>{0, 65535, 32768}, 4112);
    EXPECT_EQ(file, padded({0x80, 0, 0x7f, 0xff, 0, 0}));
    EXPECT_EQ(read_as<uint16_t>(u, file, 4112), (std::vector<uint16_t>{0, 65535, 32768}));
    // In its own signed type the scaling still applies, and saturates.
    EXPECT_EQ(read_as<int16_t>(u, file, 16), (std::vector<int16_t>{0, 32767, 32767}));
}

TEST(headdata, unsigned_32_bit_through_bzero)
{
    Unit u(32, {3}, 1.0, 2147483648.0);
    const Bytes file = written(u, std::vector<uint32_t>{0, 4294967295u, 2147483648u}, 4128);
    EXPECT_EQ(file, padded({0x80, 0, 0, 0, 0x7f, 0xff, 0xff, 0xff, 0, 0, 0, 0}));
    EXPECT_EQ(read_as<uint32_t>(u, file, 4128), (std::vector<uint32_t>{0, 4294967295u, 2147483648u}));
    EXPECT_EQ(read_as<double>(u, file, -64), (std::vector<double>{0, 4294967295.0, 2147483648.0}));
}

TEST(headdata, scaled_floats_written_as_shorts)
{
    // (13 - 10) / 2 = 1.5 rounds to the even 2.
    Unit u(16, {3}, 2.0, 10.0);
    EXPECT_EQ(written(u, std::vector<float>{10, 13, 4}, -32), padded({0, 0, 0, 2, 0xff, 0xfd}));
}

TEST(headdata, truncated_unit_fails_short_padding_reads)
{
    Unit u(16, {2000}); // 4000 bytes in two blocks
    Bytes full(5760);
    for (size_t k = 0; k < 4000; k++) full[k] = static_cast<unsigned char>(k);
    bool ok = true;
    read_as<int16_t>(u, Bytes(full.begin(), full.begin() + 3999), 16, &ok);
    EXPECT_EQ(ok, false);
    read_as<int16_t>(u, Bytes(full.begin(), full.begin() + 100), 0, &ok);
    EXPECT_EQ(ok, false);
    read_as<double>(u, Bytes{}, -64, &ok);
    EXPECT_EQ(ok, false);
    const std::vector<int16_t> got = read_as<int16_t>(u, Bytes(full.begin(), full.begin() + 4100), 16, &ok);
    EXPECT_EQ(ok, true);
    EXPECT_EQ(uint16_t(got[1999]), uint16_t((3998 & 255) << 8 | (3999 & 255)));

    // Into the caller's array: a failure leaves it to the caller.
    std::vector<float> mine(2000);
    FILE *f = stream_of(Bytes(full.begin(), full.begin() + 10));
    EXPECT_EQ(ft_dataread(f, &u.head, mine.data(), -32), nullptr);
    std::fclose(f);
}

TEST(headdata, read_fills_the_callers_array_and_leaves_the_stream_at_the_next_unit)
{
    Unit u(8, {3});
    Bytes file = padded({5, 6, 7});
    file.push_back(0x42);
    FILE *f = stream_of(file);
    std::vector<double> mine(3);
    EXPECT_EQ(ft_dataread(f, &u.head, mine.data(), -64), static_cast<void *>(mine.data()));
    EXPECT_EQ(mine, (std::vector<double>{5, 6, 7}));
    EXPECT_EQ(std::fgetc(f), 0x42);
    std::fclose(f);
}

TEST(headdata, refuses_what_it_cannot_do_safely)
{
    Unit u(16, {3});
    const Bytes file = padded({0, 1, 0, 2, 0, 3});
    int16_t data[3] = {1, 2, 3};
    FILE *f = stream_of(file);
    EXPECT_EQ(ft_dataread(nullptr, &u.head, nullptr, 16), nullptr);
    EXPECT_EQ(ft_dataread(f, nullptr, nullptr, 16), nullptr);
    EXPECT_EQ(ft_datawrite(nullptr, &u.head, data, 16), 0);
    EXPECT_EQ(ft_datawrite(f, nullptr, data, 16), 0);
    EXPECT_EQ(ft_dataread(f, &u.head, nullptr, 128), nullptr); // no such pixel type
    EXPECT_EQ(ft_datawrite(f, &u.head, data, 12), 0);
    std::fclose(f);

    Unit wrong(16, {3});
    wrong.basic.databytes = 7000; // disagrees with datapixls: never trusted
    bool ok = true;
    read_as<int16_t>(wrong, file, 16, &ok);
    EXPECT_EQ(ok, false);
    Unit few(16, {3});
    few.basic.databloks = 0;
    read_as<int16_t>(few, file, 0, &ok);
    EXPECT_EQ(ok, false);
    Unit huge(-64, {1});
    huge.basic.datapixls = INT64_MAX / 4;
    huge.basic.databytes = INT64_MAX; // 8 * datapixls does not fit: refused
    read_as<double>(huge, file, -64, &ok);
    EXPECT_EQ(ok, false);
    Unit odd(12, {3}); // no such BITPIX: only the raw bytes can be read
    EXPECT_EQ(read_as<unsigned char>(odd, file, 0, &ok).size(), 3u);
    read_as<int16_t>(odd, file, 16, &ok);
    EXPECT_EQ(ok, false);
}

TEST(headdata, reads_units_larger_than_one_piece)
{
    // 50000 16-bit values, 100000 bytes: several pieces and a partial last one.
    constexpr int kCount = 50000;
    Unit u(16, {kCount}, 1.0, 32768.0);
    Bytes file(size_t(u.basic.databloks) * 2880, 0);
    for (int k = 0; k < kCount; k++) {
        file[size_t(2 * k)] = static_cast<unsigned char>(k * 7 >> 8);
        file[size_t(2 * k + 1)] = static_cast<unsigned char>(k * 7);
    }
    file.push_back(0x42);
    auto stored = [&](int k) { return int16_t(uint16_t(file[size_t(2 * k)] << 8 | file[size_t(2 * k + 1)])); };

    // Into floats through the scratch buffer.
    FILE *f = stream_of(file);
    void *data = ft_dataread(f, &u.head, nullptr, -32);
    ASSERT_NE(data, nullptr);
    const float *floats = static_cast<const float *>(data);
    int wrong = 0;
    for (int k = 0; k < kCount; k++) wrong += floats[k] != float(stored(k) + 32768.0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(std::fgetc(f), 0x42);
    std::free(data);
    std::fclose(f);

    // Into 16-bit values, scaled in place, piece by piece.
    f = stream_of(file);
    data = ft_dataread(f, &u.head, nullptr, 4112);
    ASSERT_NE(data, nullptr);
    const uint16_t *words = static_cast<const uint16_t *>(data);
    wrong = 0;
    for (int k = 0; k < kCount; k++) wrong += words[k] != uint16_t(stored(k) + 32768);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(std::fgetc(f), 0x42);
    std::free(data);
    std::fclose(f);

    // A stream that ends in the second piece fails, allocating nothing it keeps.
    bool ok = true;
    read_as<float>(u, Bytes(file.begin(), file.begin() + 60000), -32, &ok);
    EXPECT_EQ(ok, false);
    read_as<int16_t>(u, Bytes(file.begin(), file.begin() + 99999), 16, &ok);
    EXPECT_EQ(ok, false);
}

namespace {

// The read end of a real pipe into which a writer thread sends `bytes` and then
// closes its end.
struct PipeWriter {
    FILE *read = nullptr;
    std::thread writer;
    explicit PipeWriter(Bytes bytes)
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        read = fdopen(fds[0], "r");
        writer = std::thread([fd = fds[1], bytes = std::move(bytes)] {
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 4096));
                if (n <= 0) break;
                done += std::size_t(n);
            }
            close(fd);
        });
    }
    ~PipeWriter()
    {
        if (read) std::fclose(read);  // a writer still sending then sees EPIPE
        if (writer.joinable()) writer.join();
    }
};

// The process's peak of virtual memory, in KiB (VmPeak), or -1.
int64_t peak_kib()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    int64_t kib = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmPeak:", 7) == 0) kib = std::strtoll(line + 7, nullptr, 10);
    std::fclose(status);
    return kib;
}

} // namespace

// A header on a pipe claims 8 GiB of data and the writer sends three blocks: the
// read fails (null) without the claimed array ever being allocated, in each memory
// type; a unit that does arrive whole on a pipe reads right however it grew.
TEST(headdata, a_pipe_gets_memory_for_the_bytes_that_arrive)
{
    signal(SIGPIPE, SIG_IGN);
    std::string header;
    for (const char *card : {"SIMPLE  =                    T", "BITPIX  =                  -32",
                             "NAXIS   =                    2", "NAXIS1  =                65536",
                             "NAXIS2  =                32768", "END"})  // 2^31 floats
        header += (card + std::string(80, ' ')).substr(0, 80);
    header.resize(2880, ' ');
    for (const int pixtype : {0, -32, -64, 16}) {
        SCOPED_TRACE(pixtype);
        Bytes sent(header.begin(), header.end());
        for (std::size_t i = 0; i < 3 * 2880; i++) sent.push_back(static_cast<unsigned char>(i * 7));
        PipeWriter pipe_end(sent);
        ASSERT_NE(pipe_end.read, nullptr);
        FITSHead h = ft_headread(pipe_end.read);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(h->basic->databytes, int64_t(1) << 33);
        EXPECT_EQ(h->seek, -1);  // a pipe has no positions
        const int64_t before = peak_kib();
        EXPECT_EQ(ft_dataread(pipe_end.read, h, nullptr, pixtype), nullptr);
        const int64_t after = peak_kib();
        ft_headfree(h, 1);
        ASSERT_GT(before, 0);
        EXPECT_LT(after - before, int64_t(1) << 20);  // far less than a GiB more
    }

    // 3 million floats (12 MB, several growths of the array), sent whole.
    Unit whole(-32, {3000, 1000});
    std::vector<float> values;
    Bytes sent;
    for (int i = 0; i < 3000 * 1000; i++) {
        values.push_back(float(i % 1013) * 0.5f - 200.0f);
        uint32_t u;
        std::memcpy(&u, &values.back(), 4);
        for (int s = 24; s >= 0; s -= 8) sent.push_back(static_cast<unsigned char>(u >> s));
    }
    sent = padded(sent);
    {
        PipeWriter pipe_end(sent);
        void *raw = ft_dataread(pipe_end.read, &whole.head, nullptr, 0);
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(std::memcmp(raw, sent.data(), sent.size()), 0);
        std::free(raw);
    }
    {
        PipeWriter pipe_end(sent);
        auto *d = static_cast<double *>(ft_dataread(pipe_end.read, &whole.head, nullptr, -64));
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(std::vector<double>(d, d + values.size()), std::vector<double>(values.begin(), values.end()));
        std::free(d);
    }
    {
        PipeWriter pipe_end(sent);
        auto *f = static_cast<float *>(ft_dataread(pipe_end.read, &whole.head, nullptr, -32));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::vector<float>(f, f + values.size()), values);
        std::free(f);
    }
}

// Threads at once through the entry points the Python module calls with the
// interpreter's lock released: a header, an image, a file name's parts and a
// keyword's value read from real files (and from FIFOs, where units are passed
// over by reading), and whole runs of the command.  Every result must be the one
// a single thread gets.  A program of its own (threads_tests), so that CI's
// ThreadSanitizer build compiles and runs only this.
#include "command.h"
#include "options.h"
#include "scene.h"
#include "unit_bytes.h"

#include "fits.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using unitbytes::card;
using unitbytes::str;

constexpr int kFiles = 4;
constexpr int kExtensions = 3;

// File f: a primary with OBJECT, then kExtensions SCI images of BITPIX 16, each of
// its own size, scale and number of cards, so that any value read from another
// file's header or another unit shows.  Extension 1 spans more blocks than one
// read passes over.
std::vector<unitbytes::Unit> mosaic_units(int f)
{
    std::vector<unitbytes::Unit> units = {
        unitbytes::primary({card("OBJECT", str("file " + std::to_string(f))), card("FILENUM", std::to_string(f))})};
    for (int e = 1; e <= kExtensions; e++) {
        const int nx = e == 1 ? 151 + f : 7 + 3 * f + e, ny = e == 1 ? 120 + 2 * f : 5 + f + 2 * e;
        unitbytes::Unit u;
        u.cards = {card("XTENSION", str("IMAGE")), card("BITPIX", "16"), card("NAXIS", "2"),
                   card("NAXIS1", std::to_string(nx)), card("NAXIS2", std::to_string(ny)), card("PCOUNT", "0"),
                   card("GCOUNT", "1"), card("EXTNAME", str("SCI")), card("EXTVER", std::to_string(e)),
                   card("BSCALE", std::to_string(0.5 * (f + 1))), card("BZERO", std::to_string(100 * e + f) + ".0"),
                   card("OBJECT", str("file " + std::to_string(f) + " extension " + std::to_string(e)))};
        for (int k = 0; k < 10 * f + 7 * e; k++) u.cards.push_back(card("KEYW" + std::to_string(k), std::to_string(k)));
        for (int y = 0; y < ny; y++)
            for (int x = 0; x < nx; x++) {
                const int v = (x * 31 + y * 17 + f * 1000 + e * 7) % 60000 - 30000;
                u.data.push_back(static_cast<unsigned char>(uint16_t(v) >> 8));
                u.data.push_back(static_cast<unsigned char>(uint16_t(v) & 0xff));
            }
        units.push_back(u);
    }
    return units;
}

// What one read of a name gives, compared whole.
struct Reading {
    int opened = 0;          // ft_fitsheadopen's success
    std::string cards;       // the selected header's cards
    std::string object;      // OBJECT through ft_headget
    std::string parts;       // ft_parsefilename's outputs
    int image = 0;           // ft_simpleimageread's result
    std::vector<int> axes;   // its NAXISn
    std::string pixels;      // its doubles, as bytes
    bool operator==(const Reading &) const = default;
};

std::string header_cards(FITSHead h) { return std::string(h->cards[0].c, std::size_t(h->ncard) * 80); }

// The reads the Python module makes of a name (read_header, read_image), plus the
// parser and a keyword getter the library offers beside them.
Reading read_name(const std::string &name)
{
    Reading r;
    char path[1024], extn[1024], tail[1024];
    int indx = -2;
    const int cflag = ft_parsefilename(name.c_str(), path, extn, &indx, tail, int(sizeof path));
    r.parts = std::string(path) + "|" + extn + "|" + std::to_string(indx) + "|" + tail + "|" + std::to_string(cflag);

    FITSHead head = nullptr;
    File file = ft_fitsheadopen(name.c_str(), &head, tail, int(sizeof tail), "r");
    r.opened = file != nullptr;
    if (file) {
        r.cards = header_cards(head);
        r.object = ft_headget(head, "OBJECT", 0, nullptr);
        std::fclose(file);
        ft_headfree(head, 1);
    }

    head = nullptr;
    void *data = nullptr;
    void **rows = nullptr;
    r.image = ft_simpleimageread(name.c_str(), &head, &data, &rows, -64);
    if (r.image) {
        r.axes.assign(head->basic->naxis, head->basic->naxis + head->basic->naxes);
        r.pixels.assign(static_cast<const char *>(data), std::size_t(head->basic->datapixls) * sizeof(double));
    }
    std::free(rows);
    std::free(data);
    ft_headfree(head, 1);
    return r;
}

// Runs body(t) in `threads` threads at once, released together.
void at_once(int threads, const std::function<void(int)> &body)
{
    std::atomic<int> waiting{threads};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; t++)
        running.emplace_back([&, t] {
            waiting--;
            while (waiting.load() > 0) std::this_thread::yield();
            body(t);
        });
    for (auto &t : running) t.join();
}

struct Files {
    TestDir dir;
    std::vector<std::string> paths;
    Files()
    {
        for (int f = 0; f < kFiles; f++) {
            paths.push_back(dir.file("m" + std::to_string(f) + ".fits"));
            unitbytes::write(paths.back(), unitbytes::file_bytes(mosaic_units(f)));
        }
    }
};

// Writes `bytes` into the FIFO `path` once a reader opens it; a reader that stops
// early ends the writing (SIGPIPE is ignored by the test).
void feed_fifo(const std::string &path, const std::vector<unsigned char> &bytes)
{
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += std::size_t(n);
    }
    close(fd);
}

} // namespace

TEST(threads, headers_images_and_names_read_at_once_are_those_read_alone)
{
    Files files;
    std::vector<std::string> names;
    for (const std::string &p : files.paths)
        for (const char *selector : {"[1]", "[SCI,2]", "[sci,3]", "[3]", "[SCI]", "[SCI,9]", "[2,opt=1]", ""})
            names.push_back(p + selector);
    std::vector<Reading> alone;
    for (const std::string &n : names) alone.push_back(read_name(n));
    // The readings differ from one another, so that one taken from another file or
    // unit cannot pass.
    EXPECT_EQ(alone[0].opened + alone[0].image, 2);
    EXPECT_EQ(alone[0].object, "file 0 extension 1");
    EXPECT_EQ(alone[0].axes, (std::vector<int>{151, 120}));
    EXPECT_EQ(alone[5].opened + alone[5].image, 0);
    EXPECT_NE(alone[1].cards, alone[9].cards);

    // ThreadSanitizer reports accesses that nothing orders, whether or not they
    // meet in time; a plain build sees a race only when they meet, so it reads
    // for longer.
#ifdef __SANITIZE_THREAD__
    constexpr int kThreads = 4, kRounds = 4;
#else
    constexpr int kThreads = 4, kRounds = 60;
#endif
    std::vector<int> wrong(kThreads, 0), done(kThreads, 0);
    std::vector<std::string> first_wrong(kThreads);
    at_once(kThreads, [&](int t) {
        for (int round = 0; round < kRounds; round++)
            for (std::size_t i = 0; i < names.size(); i++) {
                const std::size_t k = (i + std::size_t(t) * 7 + std::size_t(round)) % names.size();
                if (!(read_name(names[k]) == alone[k]) && wrong[t]++ == 0) first_wrong[t] = names[k];
                done[t]++;
            }
    });
    for (int t = 0; t < kThreads; t++) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t << ", first at " << first_wrong[t];
        EXPECT_EQ(done[t], kRounds * int(names.size()));
    }
}

TEST(threads, units_passed_over_on_fifos_and_copied_at_once_are_those_of_one_thread)
{
    signal(SIGPIPE, SIG_IGN);
    Files files;
    constexpr int kThreads = 4, kRounds = 8;
    // Each thread reads its own file through a FIFO of its own (passed over by
    // reading, as on a pipe), and copies the units it passes over on a regular
    // file into its own copy stream (ft_cfile, per thread).
    std::vector<std::string> fifos, copies;
    for (int t = 0; t < kThreads; t++) {
        fifos.push_back(files.dir.file("fifo" + std::to_string(t)));
        ASSERT_EQ(mkfifo(fifos.back().c_str(), 0600), 0);
        copies.push_back(files.dir.file("copy" + std::to_string(t)));
    }
    std::vector<std::vector<unsigned char>> bytes;
    for (int f = 0; f < kFiles; f++) bytes.push_back(unitbytes::read(files.paths[size_t(f)]));
    const std::vector<Reading> alone = [&] {
        std::vector<Reading> r;
        for (int f = 0; f < kFiles; f++) r.push_back(read_name(files.paths[size_t(f)] + "[SCI,3]"));
        return r;
    }();
    // The units before extension 3: the primary and extensions 1 and 2, whole.
    std::vector<std::string> passed;
    for (int f = 0; f < kFiles; f++) {
        const auto units = mosaic_units(f);
        std::vector<unsigned char> before;
        for (int u = 0; u < 3; u++) {
            const auto b = unitbytes::unit_bytes(units[size_t(u)]);
            before.insert(before.end(), b.begin(), b.end());
        }
        passed.emplace_back(before.begin(), before.end());
    }
    ASSERT_GT(passed[0].size(), std::size_t(8 * 2880) + 2 * 2880);

    std::vector<int> wrong(kThreads, 0);
    std::vector<std::string> what(kThreads);
    at_once(kThreads, [&](int t) {
        const int f = t % kFiles;
        for (int round = 0; round < kRounds; round++) {
            std::thread writer(feed_fifo, fifos[size_t(t)], std::cref(bytes[size_t(f)]));
            FITSHead head = nullptr;
            char tail[1024];
            File file = ft_fitsheadopen((fifos[size_t(t)] + "[SCI,3]").c_str(), &head, tail, int(sizeof tail), "r");
            const std::string cards = file ? header_cards(head) : "";
            if (file) std::fclose(file);
            ft_headfree(head, 1);
            writer.join();
            if (cards != alone[size_t(f)].cards && wrong[t]++ == 0) what[t] = "the header read from the FIFO";

            writer = std::thread(feed_fifo, fifos[size_t(t)], std::cref(bytes[size_t(f)]));
            head = nullptr;
            void *data = nullptr;
            void **rows = nullptr;
            const int image = ft_simpleimageread((fifos[size_t(t)] + "[SCI,3]").c_str(), &head, &data, &rows, -64);
            const std::string pixels = image ? std::string(static_cast<const char *>(data),
                                                           std::size_t(head->basic->datapixls) * sizeof(double))
                                             : "";
            std::free(rows);
            std::free(data);
            ft_headfree(head, 1);
            writer.join();
            if (pixels != alone[size_t(f)].pixels && wrong[t]++ == 0) what[t] = "the image read from the FIFO";

            File copy = std::fopen(copies[size_t(t)].c_str(), "wb");
            File previous = ft_cfile(copy);
            file = ft_fitsheadopen((files.paths[size_t(f)] + "[SCI,3]").c_str(), &head, tail, int(sizeof tail), "r");
            ft_cfile(previous);
            if (file) std::fclose(file);
            ft_headfree(head, 1);
            std::fclose(copy);
            const std::vector<unsigned char> copied = unitbytes::read(copies[size_t(t)]);
            if (std::string(copied.begin(), copied.end()) != passed[size_t(f)] && wrong[t]++ == 0)
                what[t] = "the units copied while selecting extension 3";
        }
    });
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(wrong[t], 0) << "thread " << t << ": " << what[t];
}

TEST(threads, runs_of_the_command_at_once_are_those_run_alone)
{
    // The same correction time for every run.
    setenv("SOURCE_DATE_EPOCH", "1765152000", 1);
    TestDir dir;
    const Scene scene{48, 40, 3, 2};
    const std::vector<std::string> inputs = scene.write_files(dir);
    const std::vector<unsigned char> original = unitbytes::read(inputs[0]);
    constexpr int kThreads = 3;

    // One run: in place on its own copy of the science file (even t) or into a new
    // file (odd t); its table, messages, status and the corrected file.
    struct Run {
        int status = -1;
        std::string table, messages;
        std::vector<unsigned char> file;
        bool operator==(const Run &) const = default;
    };
    std::vector<std::vector<std::string>> words(2 * kThreads);
    std::vector<Options> options(2 * kThreads);
    for (int k = 0; k < 2 * kThreads; k++) {
        const std::string science = dir.file("science" + std::to_string(k) + ".fits");
        std::vector<std::string> &w = words[size_t(k)];
        w = {"tolv", "-q", "-j", "2"};
        if (k % 2) w.insert(w.end(), {"-o", dir.file("out" + std::to_string(k) + ".fits")});
        w.insert(w.end(), {"--", science, inputs[1], inputs[2]});
        std::vector<char *> argv;
        for (std::string &s : w) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::string error;
        ASSERT_TRUE(parse_options(int(argv.size()) - 1, argv.data(), &options[size_t(k)], &error)) << error;
    }
    auto run = [&](int k) {
        const Options &o = options[size_t(k)];
        unitbytes::write(o.files[0], original);
        std::remove(dir.file("out" + std::to_string(k) + ".fits").c_str());
        Run r;
        char *table = nullptr, *messages = nullptr;
        size_t table_size = 0, messages_size = 0;
        CommandStreams streams;
        streams.table = open_memstream(&table, &table_size);
        streams.messages = open_memstream(&messages, &messages_size);
        streams.fatal_exits = false;
        r.status = run_command(o, streams);
        std::fclose(streams.table);
        std::fclose(streams.messages);
        r.table.assign(table, table_size);
        r.messages.assign(messages, messages_size);
        std::free(table);
        std::free(messages);
        r.file = unitbytes::read(o.output.empty() ? o.files[0] : o.output);
        return r;
    };
    // Alone: the first run of each kind, in place and into a new file.
    const Run in_place = run(0), into_new = run(1);
    EXPECT_EQ(in_place.status, 0) << in_place.messages;
    EXPECT_EQ(into_new.status, 0) << into_new.messages;
    EXPECT_EQ(in_place.table, into_new.table);
    EXPECT_EQ(in_place.file, into_new.file);
    EXPECT_NE(in_place.file, original);
    EXPECT_EQ(std::count(in_place.table.begin(), in_place.table.end(), '\n'), 2 + 3 * 5);

    std::vector<Run> together(2 * kThreads);
    at_once(2 * kThreads, [&](int k) { together[size_t(k)] = run(k); });
    for (int k = 0; k < 2 * kThreads; k++) {
        EXPECT_TRUE(together[size_t(k)] == (k % 2 ? into_new : in_place))
            << "run " << k << ": status " << together[size_t(k)].status << ", " << together[size_t(k)].messages;
        if (k % 2) {
            EXPECT_EQ(unitbytes::read(options[size_t(k)].files[0]), original);
        }
    }
}

// tolv on compressed files, end to end: science files and frames tile-compressed
// by fpack or gzipped, read as the plain files they hold (the same table), -o
// writing plain or compressed copies, and the in-place rewrite of a compressed
// science file, which a kill at any moment leaves old or new, never a mix.
#include "interrupted_run.h"
#include "mosaic.h"
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>

#ifdef TOLV_HAVE_ZLIB
#include <zlib.h>
#endif

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace interrupted;

size_t files_in(const std::string &dir)
{
    size_t n = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
    return n;
}

bool have(const char *program) { return access(program, X_OK) == 0; }

// Runs a shell command line; true when it exits with 0.
bool shell(const std::string &line) { return std::system(line.c_str()) == 0; }

#ifdef TOLV_HAVE_ZLIB
Bytes gzipped(const Bytes &plain)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, uLong(plain.size())) + 64);
    z.next_in = const_cast<unsigned char *>(plain.data());
    z.avail_in = uInt(plain.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes gunzipped(const Bytes &packed)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    Bytes out, chunk(1 << 16);
    z.next_in = const_cast<unsigned char *>(packed.data());
    z.avail_in = uInt(packed.size());
    int r = Z_OK;
    while (r == Z_OK) {
        z.next_out = chunk.data();
        z.avail_out = uInt(chunk.size());
        r = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk.begin(), chunk.begin() + long(chunk.size() - z.avail_out));
    }
    EXPECT_EQ(r, Z_STREAM_END);
    inflateEnd(&z);
    return out;
}
#endif

// The float pixels of every image extension of a plain file, read with tolv's
// own mapping (which decodes a compressed file the same way).
[[maybe_unused]] std::vector<std::vector<float>> pixels_of(const std::string &path)
{
    std::vector<std::vector<float>> all;
    Mosaic m = ft_mmapmosaic(path.c_str(), "r", -1);
    EXPECT_NE(m, nullptr) << path;
    if (!m) return all;
    for (int u = 1; u < m->count; u++) {
        std::vector<float> px(size_t(m->head[u]->basic->datapixls));
        const auto *p = static_cast<const unsigned char *>(m->data[u]);
        for (size_t i = 0; i < px.size(); i++) {
            uint32_t w = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 |
                         p[4 * i + 3];
            std::memcpy(&px[i], &w, 4);
        }
        all.push_back(px);
    }
    ft_freemosaic(m);
    return all;
}

// The header text of extension u of a plain file.
[[maybe_unused]] std::string header_of(const std::string &path, int u)
{
    Mosaic m = ft_mmapmosaic(path.c_str(), "r", -1);
    std::string text;
    if (m && u < m->count) text.assign(m->head[u]->cards->c, size_t(m->head[u]->ncard) * 80);
    if (m) ft_freemosaic(m);
    return text;
}

} // namespace

// The science file fpacked (Rice, quantized floats) and gzipped, a fringe frame
// fpacked losslessly, the other gzipped: each run gives the table of the plain
// files they hold; -o writes those pixels; in place, a gzipped file becomes the
// gzip of the plain file corrected, and an fpacked one the corrected images
// compressed again, with their records, which a second run sees.
TEST(compressed_run, compressed_inputs_give_the_plain_files_results)
{
    if (!have("/usr/bin/fpack") || !have("/usr/bin/funpack")) GTEST_SKIP() << "fpack and funpack are not installed";
#ifndef TOLV_HAVE_ZLIB
    GTEST_SKIP() << "this build reads no gzip file";
#else
    TestDir dir;
    const auto args = write_scene(dir, 240, 160, 4, 2);
    const std::string fz = dir.file("science.fits.fz"), plain = dir.file("plain.fits"), gz = dir.file("science.fits.gz");
    const std::string frame_fz = dir.file("fringe0.fits.fz"), frame_gz = dir.file("fringe1.fits.gz");
    ASSERT_TRUE(shell("/usr/bin/fpack -S " + args[0] + " > " + fz));
    ASSERT_TRUE(shell("/usr/bin/funpack -S " + fz + " > " + plain));
    ASSERT_TRUE(shell("/usr/bin/fpack -g2 -q 0 -S " + args[1] + " > " + frame_fz));
    write(frame_gz, gzipped(read(args[2])));
    write(gz, gzipped(read(args[0])));

    // Dry runs: the tables of the plain files.
    const ToolRun want_fz = run_tolv({"-n", plain, args[1], args[2]});
    const ToolRun want_gz = run_tolv({"-n", args[0], args[1], args[2]});
    ASSERT_EQ(want_fz.status, 0) << want_fz.err;
    for (const auto &[science, want] : {std::pair{fz, want_fz}, std::pair{gz, want_gz}}) {
        const ToolRun run = run_tolv({"-n", science, frame_fz, frame_gz});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, want.out) << science;
    }

    // -o: a plain copy with the plain run's pixels, and a .fz copy that funpack reads.
    const ToolRun ref_copy = run_tolv({"-o", dir.file("ref.fits"), plain, args[1], args[2]});
    const ToolRun copy = run_tolv({"-o", dir.file("copy.fits"), fz, frame_fz, frame_gz});
    EXPECT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(copy.out, ref_copy.out);
    EXPECT_EQ(pixels_of(dir.file("copy.fits")), pixels_of(dir.file("ref.fits")));
    const ToolRun packed = run_tolv({"-o", dir.file("copy.fits.fz"), args[0], args[1], args[2]});
    EXPECT_EQ(packed.status, 0) << packed.err;
    ASSERT_TRUE(shell("/usr/bin/funpack -S " + dir.file("copy.fits.fz") + " > " + dir.file("unpacked.fits")));
    // A plain input is compressed losslessly (GZIP_2 for floats).
    const ToolRun ref_plain = run_tolv({"-o", dir.file("ref2.fits"), args[0], args[1], args[2]});
    EXPECT_EQ(pixels_of(dir.file("unpacked.fits")), pixels_of(dir.file("ref2.fits")));

    // In place, gzip: the gzip of the plain file corrected in place, byte for byte
    // (the record names the frames as given).
    const Reference ref = reference_run(dir, {args[0], frame_fz, frame_gz});
    const ToolRun in_gz = run_tolv({gz, frame_fz, frame_gz});
    EXPECT_EQ(in_gz.status, 0) << in_gz.err;
    EXPECT_EQ(in_gz.out, ref.table);
    EXPECT_EQ(gunzipped(read(gz)) == ref.corrected, true);

    // In place, fpack: the plain run's table; funpack reads the new file, whose
    // images are the corrected ones to within their quantization, with a record.
    ASSERT_EQ(chmod(fz.c_str(), 0640), 0);
    const Bytes before = read(fz);
    const ToolRun want_in = run_tolv({plain, args[1], args[2]});
    const ToolRun in_fz = run_tolv({fz, frame_fz, frame_gz});
    EXPECT_EQ(in_fz.status, 0) << in_fz.err;
    EXPECT_EQ(in_fz.out, want_in.out);
    EXPECT_NE(read(fz), before);
    ASSERT_TRUE(shell("/usr/bin/funpack -S " + fz + " > " + dir.file("after.fits")));
    const auto got = pixels_of(dir.file("after.fits")), want = pixels_of(plain);
    ASSERT_EQ(got.size(), want.size());
    for (size_t e = 0; e < got.size(); e++) {
        ASSERT_EQ(got[e].size(), want[e].size());
        double worst = 0;
        for (size_t i = 0; i < got[e].size(); i++) worst = std::max(worst, std::fabs(double(got[e][i]) - want[e][i]));
        // The noise is 4: a step of a quarter of it quantizes to within half a step.
        EXPECT_LT(worst, 1.0) << "extension " << e + 1;
        EXPECT_NE(header_of(dir.file("after.fits"), int(e) + 1).find("FRGCORR"), std::string::npos);
    }
    const ToolRun again = run_tolv({fz, frame_fz, frame_gz});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("already corrected"), std::string::npos) << again.err;
    struct stat st;
    ASSERT_EQ(stat(fz.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
#endif
}

// SIGKILL at random moments of the rewrite of an fpacked mosaic: the file is
// always the old one or the one an uninterrupted run writes.
TEST(compressed_run, killed_while_rewriting_leaves_the_old_file_or_the_new)
{
    if (!have("/usr/bin/fpack")) GTEST_SKIP() << "fpack is not installed";
    TestDir dir;
    auto args = write_scene(dir, 400, 300, 8, 1);
    const std::string fz = dir.file("science.fits.fz");
    ASSERT_TRUE(shell("/usr/bin/fpack -S " + args[0] + " > " + fz));
    args[0] = fz;
    const Bytes original = read(fz);
    const auto t0 = std::chrono::steady_clock::now();
    const ToolRun whole_run = run_tolv(args);
    const auto whole = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(whole_run.status, 0) << whole_run.err;
    const Bytes corrected = read(fz);
    ASSERT_NE(corrected, original);
    // Killed with the new file whole but not yet in place, and just after.
    const size_t files = files_in(dir.path);
    for (const auto &[point, after] : {std::pair{"encoded:0:kill", original}, std::pair{"renamed:0:kill", corrected}}) {
        write(fz, original);
        Started killed(TOLV_INJECT_BINARY, args, point);
        const ToolRun run = killed.finish();
        EXPECT_EQ(killed.signal_that_ended(), SIGKILL) << point << run.err;
        EXPECT_EQ(read(fz) == after, true) << point;
        EXPECT_EQ(files_in(dir.path), files) << point << ": a file left beside the science file";
    }
    std::mt19937 pick(31);
    int interrupted = 0, replaced = 0;
    for (int i = 0; i < 16; i++) {
        write(fz, original);
        // The rewrite is the run's last part: most moments are chosen there.
        const auto delay =
            std::chrono::duration_cast<std::chrono::microseconds>(whole * (0.5 + double(pick() % 1000) / 1000.0));
        Started victim(TOLV_BINARY, args);
        std::this_thread::sleep_for(delay);
        kill(victim.pid, SIGKILL);
        interrupted += victim.finish().status == -1;
        const Bytes now = read(fz);
        EXPECT_EQ(now == original || now == corrected, true) << i << " after " << delay.count() << " us";
        replaced += now == corrected;
        // A run killed between naming its new file and the rename leaves it beside.
        for (const auto &entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().filename().string().find(".tolv-") != std::string::npos)
                std::filesystem::remove(entry.path());
    }
    // Where the kills land depends on the machine; the checks above hold either way.
    std::printf("killed %d of 16 runs before they ended; %d left the new file\n", interrupted, replaced);
}

// Damaged compressed inputs are refused before anything is written, with a line
// that says what is wrong.
TEST(compressed_run, damaged_compressed_files_are_refused_before_writing)
{
    if (!have("/usr/bin/fpack")) GTEST_SKIP() << "fpack is not installed";
    TestDir dir;
    auto args = write_scene(dir, 120, 80, 3, 1);
    const Bytes science = read(args[0]);
    const std::string fz = dir.file("frame.fits.fz");
    ASSERT_TRUE(shell("/usr/bin/fpack -S " + args[1] + " > " + fz));
    const Bytes packed = read(fz);
    std::vector<std::pair<std::string, Bytes>> damaged;
    // The heap cut short: the last tiles lie past the end of the file, which
    // then has one unit less than the science file.
    damaged.push_back({"cut.fits.fz", Bytes(packed.begin(), packed.end() - 2880)});
    // An image of more rows than its table has tiles.
    Bytes rows = packed;
    const std::string key = "ZNAXIS2 =";
    const auto at = std::search(rows.begin(), rows.end(), key.begin(), key.end());
    ASSERT_NE(at, rows.end());
    const std::string value = "          1000000000";
    std::copy(value.begin(), value.end(), at + 10);
    damaged.push_back({"rows.fits.fz", rows});
#ifdef TOLV_HAVE_ZLIB
    const Bytes gz = gzipped(read(args[1]));
    damaged.push_back({"cut.fits.gz", Bytes(gz.begin(), gz.begin() + long(gz.size() / 2))});
#endif
    for (const auto &[name, bytes] : damaged) {
        const std::string path = dir.file(name);
        write(path, bytes);
        for (int as_science = 0; as_science < 2; as_science++) {
            const std::vector<std::string> command =
                as_science ? std::vector<std::string>{path, args[1]} : std::vector<std::string>{args[0], path};
            const ToolRun run = run_tolv(command);
            EXPECT_EQ(run.status, 1) << name;
            EXPECT_EQ(run.out, "") << name;
            EXPECT_NE(run.err.find("tolv: " + path + ": "), std::string::npos) << run.err;
            EXPECT_EQ(read(args[0]), science) << name;
            EXPECT_EQ(read(path), bytes) << name;
        }
    }
    // Bytes after the last unit (not a unit) are kept as they were, at the end
    // of the rewritten file.
    const std::string tailed = dir.file("tailed.fits.fz");
    Bytes with_tail = read(fz);
    const std::string junk = "not a FITS unit\n";
    with_tail.insert(with_tail.end(), junk.begin(), junk.end());
    write(tailed, with_tail);
    const ToolRun run = run_tolv({tailed, args[1]});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("bytes after them are left as they are"), std::string::npos) << run.err;
    const Bytes after = read(tailed);
    EXPECT_NE(after, with_tail);
    EXPECT_EQ(std::string(after.end() - long(junk.size()), after.end()), junk);
}

// In place through a symbolic link (from another folder), the file it leads to
// is rewritten and the link stays a link; a compressed file with a second name
// (a hard link) is refused, since a rename would replace one name only.
TEST(compressed_run, names_that_lead_to_the_compressed_file)
{
    if (!have("/usr/bin/fpack")) GTEST_SKIP() << "fpack is not installed";
    TestDir dir;
    auto args = write_scene(dir, 120, 80, 3, 1);
    std::filesystem::create_directory(dir.file("data"));
    std::filesystem::create_directory(dir.file("links"));
    const std::string fz = dir.file("data/science.fits.fz"), link = dir.file("links/science.fits.fz");
    ASSERT_TRUE(shell("/usr/bin/fpack -S " + args[0] + " > " + fz));
    ASSERT_EQ(symlink("../data/science.fits.fz", link.c_str()), 0);
    const Bytes original = read(fz);
    const std::string copy = dir.file("copy.fits.fz");
    write(copy, original);
    const ToolRun want = run_tolv({copy, args[1]});
    ASSERT_EQ(want.status, 0) << want.err;

    const ToolRun through = run_tolv({link, args[1]});
    EXPECT_EQ(through.status, 0) << through.err;
    EXPECT_EQ(through.out, want.out);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read(fz) == read(copy), true) << "the file the link leads to is not the one corrected";
    // Nothing left beside the link or the file (files_in counts the link's file too).
    EXPECT_EQ(files_in(dir.file("links")), 1u);
    EXPECT_EQ(files_in(dir.file("data")), 1u);

    write(fz, original);
    const std::string hard = dir.file("data/again.fits.fz");
    ASSERT_EQ(::link(fz.c_str(), hard.c_str()), 0);
    const ToolRun refused = run_tolv({link, args[1]});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "tolv: " + link +
                               ": the file has 2 names (hard links); a compressed file corrected in place is rewritten "
                               "under one of them and the others would keep the old file; -o writes a corrected "
                               "copy; nothing was done\n");
    EXPECT_EQ(read(fz) == original, true);
    const ToolRun copied = run_tolv({"-o", dir.file("out.fits.fz"), hard, args[1]});
    EXPECT_EQ(copied.status, 0) << copied.err;
    EXPECT_EQ(copied.out, want.out);
}

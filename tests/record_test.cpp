// The record tolv writes into each corrected header, through real runs on real
// files: its values against the table and the pixels, headers with no room left,
// checksums of astropy-written files checked by astropy and fitsverify, reruns,
// --force, --no-record, and runs killed while writing.
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include "fits.h"
#include "mosaic.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace unitbytes;

namespace {

using Bytes = std::vector<unsigned char>;

// Output and exit status of a shell command.
std::pair<std::string, int> shell(const std::string &command)
{
    std::string text;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {"", -1};
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
    const int ws = pclose(pipe);
    return {text, WIFEXITED(ws) ? WEXITSTATUS(ws) : -1};
}

// fitsverify's verdict: empty when the file passes with no warning.
std::string fitsverify_complaint(const std::string &file)
{
    const auto [text, status] = shell("fitsverify -q '" + file + "'");
    return status == 0 && text.rfind("verification OK", 0) == 0 && text.find("warning") == std::string::npos ? ""
                                                                                                          : text;
}

// astropy's checksum verification of every unit, warnings made errors: "ok" or why not.
std::string astropy_verdict(const std::string &file)
{
    return shell("/usr/bin/python3 -c \"import sys, warnings\nwarnings.simplefilter('error')\n"
                 "from astropy.io import fits\nwith fits.open(sys.argv[1], checksum=True) as f:\n"
                 "    [h.data for h in f]\nprint('ok')\" '" + file + "'")
        .first;
}

// Every card of each unit's header, keyword to value text, in order.
struct Headers {
    std::vector<std::vector<std::pair<std::string, std::string>>> units;
    explicit Headers(const std::string &file)
    {
        const Mosaic m = ft_mmapmosaic(file.c_str(), "r", 73);
        for (int u = 0; m && u < m->count; u++) {
            units.emplace_back();
            for (int c = 0; c + 1 < m->head[u]->ncard; c++) {
                FITSCard card = &m->head[u]->cards[c];
                char value[81];
                ft_cardpar(card, nullptr, value, nullptr, nullptr);
                std::string v = value;
                v.erase(v.find_last_not_of(' ') + 1);
                const std::string key(card->c, 8);
                units.back().push_back({key.substr(0, key.find(' ')), v});
            }
        }
        ft_freemosaic(m);
    }
    std::string get(int u, const std::string &key) const
    {
        for (const auto &[k, v] : units[size_t(u)])
            if (k == key) return v;
        return "(none)";
    }
    int count(int u, const std::string &prefix) const
    {
        int n = 0;
        for (const auto &kv : units[size_t(u)]) n += kv.first.rfind(prefix, 0) == 0;
        return n;
    }
};

std::string printf_f(const std::string &text)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", std::strtod(text.c_str(), nullptr));
    return buf;
}

// The last table row of each extension, split at tabs.
std::map<int, Args> last_rows(const std::string &table)
{
    std::map<int, Args> rows;
    for (const Args &row : rows_of(table)) rows[std::stoi(row[0])] = row;
    return rows;
}

// Pixels of extension e of a file of float images (big-endian), as doubles.
std::vector<double> pixels(const std::string &file, int e)
{
    const Mosaic m = ft_mmapmosaic(file.c_str(), "r", 73);
    const FITSBasic b = m->head[e]->basic;
    std::vector<double> px(size_t(b->naxis[0]) * size_t(b->naxis[1]));
    const auto *p = static_cast<const unsigned char *>(m->data[e]);
    for (size_t i = 0; i < px.size(); i++) {
        const uint32_t bits = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
        float f;
        std::memcpy(&f, &bits, 4);
        px[i] = f;
    }
    ft_freemosaic(m);
    return px;
}

// Byte range of unit u's header in a file: [first, data).
std::pair<size_t, size_t> header_range(const std::string &file, int u)
{
    const Mosaic m = ft_mmapmosaic(file.c_str(), "r", 73);
    const auto *cards = reinterpret_cast<const unsigned char *>(m->head[u]->cards);
    const std::pair<size_t, size_t> r{size_t(mosaic_offset(m, cards)), size_t(mosaic_offset(m, m->data[u]))};
    ft_freemosaic(m);
    return r;
}

Bytes slice(const Bytes &b, std::pair<size_t, size_t> r) { return Bytes(b.begin() + long(r.first), b.begin() + long(r.second)); }

std::string utc(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

const Args kRecordKeys = {"FRGCORR", "FRGFIL01", "FRGFIL02", "FRGAMP01", "FRGAMP02", "FRGCONST",
                          "FRGGRADX", "FRGGRADY", "FRGSIGMA", "FRGNPIX", "FRGITER", "FRGCLIP", "FRGMODE"};

} // namespace

// The record holds the last row of each extension to the table's last digit, and
// the model it describes is exactly what was subtracted from the pixels.
TEST(record, values_agree_with_the_table_and_undo_the_correction)
{
    TestDir dir;
    const Scene scene{37, 23, 3, 2};
    const Args args = scene.write_files(dir);
    const std::string original = dir.file("original.fits"), bare = dir.file("bare.fits");
    write(original, read(args[0]));
    write(bare, read(args[0]));
    const ToolRun run = run_tolv(with({"--clip", "2.5"}, args));
    ASSERT_EQ(run.status, 0) << run.err;
    const Headers h(args[0]), before(original);
    const auto rows = last_rows(run.out);
    ASSERT_EQ(rows.size(), 3u);
    for (int e = 1; e <= 3; e++) {
        const Args &row = rows.at(e); // Extn Iter Sigma Npix Aconst Ax Ay Afringe00 Afringe01
        // The record follows the cards the header had, in its order.
        ASSERT_EQ(h.units[size_t(e)].size(), before.units[size_t(e)].size() + kRecordKeys.size());
        for (size_t k = 0; k < kRecordKeys.size(); k++)
            EXPECT_EQ(h.units[size_t(e)][before.units[size_t(e)].size() + k].first, kRecordKeys[k]) << e;
        EXPECT_EQ(h.get(e, "FRGCORR"), utc(std::time_t(std::atoll(std::getenv("SOURCE_DATE_EPOCH")))));
        EXPECT_EQ(h.get(e, "FRGFIL01"), "fringe0.fits");
        EXPECT_EQ(h.get(e, "FRGFIL02"), "fringe1.fits");
        EXPECT_EQ(printf_f(h.get(e, "FRGSIGMA")), row[2]) << e;
        EXPECT_EQ(h.get(e, "FRGNPIX"), row[3]) << e;
        EXPECT_EQ(printf_f(h.get(e, "FRGCONST")), row[4]) << e;
        EXPECT_EQ(printf_f(h.get(e, "FRGGRADX")), row[5]) << e;
        EXPECT_EQ(printf_f(h.get(e, "FRGGRADY")), row[6]) << e;
        EXPECT_EQ(printf_f(h.get(e, "FRGAMP01")), row[7]) << e;
        EXPECT_EQ(printf_f(h.get(e, "FRGAMP02")), row[8]) << e;
        EXPECT_EQ(h.get(e, "FRGITER"), "5");
        EXPECT_EQ(std::strtod(h.get(e, "FRGCLIP").c_str(), nullptr), 2.5);
        // original - corrected is the recorded model, to the float rounding of the pixels.
        const auto in = pixels(original, e), out = pixels(args[0], e);
        const auto f0 = pixels(args[1], e), f1 = pixels(args[2], e);
        auto value = [&](const char *key) { return std::strtod(h.get(e, key).c_str(), nullptr); };
        double worst = 0.0;
        for (int p = 0; p < scene.nx * scene.ny; p++) {
            const int x = p % scene.nx, y = p / scene.nx;
            const double model = value("FRGCONST") + value("FRGGRADX") * (x - scene.nx / 2) +
                                 value("FRGGRADY") * (y - scene.ny / 2) + value("FRGAMP01") * f0[size_t(p)] +
                                 value("FRGAMP02") * f1[size_t(p)];
            worst = std::max(worst, std::fabs(in[size_t(p)] - out[size_t(p)] - model) / (std::fabs(out[size_t(p)]) + 1.0));
        }
        EXPECT_LE(worst, 1.2e-7) << e;
    }
    // A run without the record: the same pixels, every header byte as it was.
    const ToolRun plain = run_tolv(with({"--clip", "2.5", "--no-record"}, {bare, args[1], args[2]}));
    EXPECT_EQ(plain.out, run.out);
    const Bytes recorded = read(args[0]), untouched = read(original), unrecorded = read(bare);
    for (int u = 0; u <= 3; u++) {
        EXPECT_EQ(slice(unrecorded, header_range(bare, u)), slice(untouched, header_range(original, u))) << u;
        const auto data = std::pair{header_range(bare, u).second, u < 3 ? header_range(bare, u + 1).first : untouched.size()};
        EXPECT_EQ(slice(unrecorded, data), slice(recorded, data)) << u;
    }
    // Without a fixed time, FRGCORR is the time of the run.
    write(args[0], untouched);
    const std::time_t t0 = std::time(nullptr);
    ASSERT_EQ(shell("env -u SOURCE_DATE_EPOCH " + program_shell_words(TOLV_BINARY) + " -q '" + args[0] + "' '" + args[1] +
                    "' '" + args[2] + "' >/dev/null")
                  .second,
              0);
    const std::string at = Headers(args[0]).get(1, "FRGCORR");
    EXPECT_EQ(at >= utc(t0) && at <= utc(std::time(nullptr)), true) << at;
}

// A header whose blocks are full keeps every byte in place and is named once; -o
// grows it by a block and records it, and the copy passes fitsverify.  Blank
// cards just before END are room.
TEST(record, a_full_header_is_named_in_place_and_grown_by_output)
{
    TestDir dir;
    const Scene scene{30, 20, 3, 2};
    Args args = scene.write_files(dir);
    std::vector<Unit> units = scene.science();
    for (int c = 0; units[2].cards.size() < 35; c++) units[2].cards.push_back(card("KEY" + std::to_string(c), "1"));
    // Extension 3: 22 cards, then 13 blank ones and END: room for the record exactly.
    for (int c = 0; units[3].cards.size() < 35; c++)
        units[3].cards.push_back(units[3].cards.size() < 22 ? card("KEY" + std::to_string(c), "1") : std::string(80, ' '));
    const Bytes original = file_bytes(units);
    write(args[0], original);
    const std::string out = dir.file("out.fits");
    const ToolRun copied = run_tolv(with({"-o", out}, args));
    ASSERT_EQ(copied.status, 0) << copied.err;
    EXPECT_EQ(copied.err, "");
    EXPECT_EQ(read(out).size(), original.size() + 2880);
    EXPECT_EQ(fitsverify_complaint(out), "");

    const ToolRun run = run_tolv(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, copied.out);
    EXPECT_EQ(run.err, "tolv: " + args[0] + ": extension 2: no room in the header for the record; -o writes one\n");
    const Bytes after = read(args[0]);
    EXPECT_EQ(after.size(), original.size());
    EXPECT_EQ(slice(after, header_range(args[0], 2)), slice(original, header_range(args[0], 2)));
    const Headers in_place(args[0]), grown(out);
    EXPECT_EQ(in_place.count(2, "FRG"), 0);
    EXPECT_EQ(grown.count(2, "FRG"), int(kRecordKeys.size()));
    EXPECT_EQ(in_place.count(3, "FRG"), int(kRecordKeys.size())); // in the blank cards before END
    for (int e = 1; e <= 3; e++) {
        EXPECT_EQ(pixels(args[0], e), pixels(out, e)) << e;
        auto cards = grown.units[size_t(e)];
        if (e == 2) cards.resize(cards.size() - kRecordKeys.size()); // the record only -o has
        EXPECT_EQ(in_place.units[size_t(e)], cards) << e;
    }
}

// A science file of three extensions written by astropy with checksums, one
// header full to its last card, and two fringe frames: `make.py DIR`.
const char *const kChecksummedScene = R"(import sys, numpy as np
from astropy.io import fits
d = sys.argv[1]
y, x = np.mgrid[0:24, 0:40]
fr = [np.sin(0.3 * x) * np.cos(0.2 * y), np.cos(0.17 * x + 1) * np.sin(0.11 * y)]
rng = np.random.default_rng(3)
units = [fits.PrimaryHDU()]
for e in range(1, 4):
    h = fits.ImageHDU((700 + 0.1 * x - 0.2 * y + 30 * fr[0] + 12 * e * fr[1] + rng.normal(0, 2, x.shape)).astype('>f4'))
    h.header['EXTVER'] = e
    if e == 2:  # 35 cards and END, the checksums included: the block is full
        for k in range(35 - 2 - len(h.header)):
            h.header['KEY%d' % k] = k
    units.append(h)
fits.HDUList(units).writeto(d + '/science.fits', checksum=True)
for k in range(2):
    fits.HDUList([fits.PrimaryHDU()] + [fits.ImageHDU(fr[k].astype('>f4')) for e in range(3)]).writeto(d + '/fringe%d.fits' % k)
)";

// Units written by astropy with CHECKSUM and DATASUM verify after a run in place
// and after -o (whose headers grow), by astropy and by fitsverify; killed at each
// step of a write-back, the rerun gives the same file.  --no-record leaves them
// stale, as documented.
TEST(record, checksums_hold_after_runs_in_place_output_and_interrupted)
{
    TestDir dir;
    const std::string script = dir.file("make.py");
    const std::string text = kChecksummedScene;
    write(script, Bytes(text.begin(), text.end()));
    ASSERT_EQ(shell("/usr/bin/python3 '" + script + "' '" + dir.path + "'").second, 0);
    const Args args = {dir.file("science.fits"), dir.file("fringe0.fits"), dir.file("fringe1.fits")};
    const Bytes original = read(args[0]);
    ASSERT_EQ(astropy_verdict(args[0]), "ok\n");

    const std::string out = dir.file("out.fits");
    const ToolRun copied = run_tolv(with({"-q", "-o", out}, args));
    ASSERT_EQ(copied.status, 0) << copied.err;
    EXPECT_EQ(read(out).size(), original.size() + 2880);
    EXPECT_EQ(Headers(out).count(2, "FRG"), int(kRecordKeys.size()));
    EXPECT_EQ(astropy_verdict(out), "ok\n");
    EXPECT_EQ(fitsverify_complaint(out), "");

    const ToolRun run = run_tolv(with({"-q"}, args));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, copied.out);
    EXPECT_EQ(Headers(args[0]).count(2, "FRG"), 0);
    EXPECT_EQ(astropy_verdict(args[0]), "ok\n");
    EXPECT_EQ(fitsverify_complaint(args[0]), "");
    const Bytes corrected = read(args[0]);

    // Killed at each step of extension 2's write-back (whose header changes only
    // by its checksums) and of extension 3's: the rerun gives the same bytes.
    for (const char *point : {"saved", "half", "stored", "synced", "done"})
        for (int e : {2, 3}) {
            const std::string what = std::string(point) + ":" + std::to_string(e);
            write(args[0], original);
            const auto killed = shell("TOLV_INJECT=" + what + ":kill " + program_shell_words(TOLV_INJECT_BINARY) + " -q '" +
                                      args[0] + "' '" + args[1] + "' '" + args[2] + "' >/dev/null");
            EXPECT_EQ(killed.second, 128 + SIGKILL) << what; // as the shell reports it
            const ToolRun again = run_tolv(with({"-q"}, args));
            EXPECT_EQ(again.status, 0) << what << again.err;
            EXPECT_EQ(read(args[0]) == corrected, true) << what;
        }

    write(args[0], original);
    ASSERT_EQ(run_tolv(with({"-q", "--no-record"}, args)).status, 0);
    EXPECT_NE(astropy_verdict(args[0]), "ok\n");
}

// A second run skips what the first corrected and changes nothing; a file whose
// extension 2 alone is corrected gets the others, with a note; --force corrects
// again and replaces the whole record, fewer fringe frames included.
TEST(record, reruns_skip_what_is_corrected_and_force_corrects_again)
{
    TestDir dir;
    const Scene scene{30, 20, 3, 2};
    const Args args = scene.write_files(dir);
    const Bytes original = read(args[0]);
    ASSERT_EQ(run_tolv(args).status, 0);
    const Bytes corrected = read(args[0]);
    const std::string head = "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy\tAfringe00\tAfringe01\n"
                             "----\t----\t-----\t----\t------\t--\t--\t---------\t---------\n";
    const ToolRun again = run_tolv(args);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, head);
    EXPECT_EQ(again.err, "tolv: " + args[0] + ": every extension is already corrected; --force corrects them again\n");
    EXPECT_EQ(read(args[0]) == corrected, true);

    // Only extension 2 corrected: units 0, 1 and 3 put back as they were.
    Bytes partly = original;
    const auto e2 = std::pair{header_range(args[0], 2).first, header_range(args[0], 3).first};
    std::copy(corrected.begin() + long(e2.first), corrected.begin() + long(e2.second), partly.begin() + long(e2.first));
    write(args[0], partly);
    const ToolRun rest = run_tolv(args);
    EXPECT_EQ(rest.status, 0);
    EXPECT_EQ(rest.err, "tolv: " + args[0] + ": extension 2 already corrected at " + Headers(args[0]).get(2, "FRGCORR") +
                            "; --force corrects it again\n");
    EXPECT_EQ(read(args[0]) == corrected, true);

    // --force with one fringe frame: a new record of one frame in every header.
    const ToolRun forced = run_tolv({"--force", args[0], args[1]});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(forced.err, "");
    const Headers h(args[0]);
    for (int e = 1; e <= 3; e++) {
        EXPECT_EQ(h.count(e, "FRG"), int(kRecordKeys.size()) - 2) << e;
        EXPECT_EQ(h.get(e, "FRGFIL01"), "fringe0.fits");
        EXPECT_EQ(h.get(e, "FRGFIL02"), "(none)");
        EXPECT_EQ(printf_f(h.get(e, "FRGAMP01")), last_rows(forced.out).at(e)[7]) << e;
    }
    EXPECT_EQ(read(args[0]).size(), corrected.size());
    const std::string first = dir.file("first.fits");
    write(first, corrected);
    EXPECT_NE(pixels(args[0], 1), pixels(first, 1));
}

// A tile-compressed file with checksums (fpack keeps them as ZHECKSUM and
// ZDATASUM, those of the image before its floats were quantized): a plain copy
// of it has checksums of the pixels it holds, corrected or not, and so has the
// file rewritten in place.
TEST(record, checksums_hold_for_compressed_files)
{
    if (access("/usr/bin/fpack", X_OK) != 0) GTEST_SKIP() << "fpack is not installed";
    TestDir dir;
    const std::string script = dir.file("make.py"), text = kChecksummedScene;
    write(script, Bytes(text.begin(), text.end()));
    ASSERT_EQ(shell("/usr/bin/python3 '" + script + "' '" + dir.path + "'").second, 0);
    const std::string fz = dir.file("science.fits.fz");
    ASSERT_EQ(shell("/usr/bin/fpack -S '" + dir.file("science.fits") + "' > '" + fz + "'").second, 0);
    const std::string out = dir.file("out.fits");
    // Extension 2 corrected, 1 and 3 decoded only.
    const ToolRun copied = run_tolv({"-q", "-o", out, fz + "[2]", dir.file("fringe0.fits"), dir.file("fringe1.fits")});
    ASSERT_EQ(copied.status, 0) << copied.err;
    EXPECT_EQ(Headers(out).count(2, "FRG"), int(kRecordKeys.size()));
    EXPECT_EQ(astropy_verdict(out), "ok\n");
    EXPECT_EQ(fitsverify_complaint(out), "");
    const ToolRun run = run_tolv({"-q", fz, dir.file("fringe0.fits"), dir.file("fringe1.fits")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(astropy_verdict(fz), "ok\n");
    EXPECT_EQ(fitsverify_complaint(fz), "");
}

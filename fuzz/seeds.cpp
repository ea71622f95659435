// Writes the starting inputs of the fuzzers: small valid FITS files of every kind
// (images of each BITPIX, ASCII and binary tables, long headers, mosaics), single
// cards, and extended file names.  Cards are formatted here, not by the library.
//
//   fuzz_seeds DIR   makes DIR/files, DIR/cards and DIR/names
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlock = 2880;

std::string card(const std::string &text)
{
    std::string c = text.substr(0, 80);
    c.resize(80, ' ');
    return c;
}

// KEY = value, a number or logical right-justified to column 30, a string from 11.
std::string kv(const std::string &key, const std::string &value)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, value[0] == '\'' ? "%-8.8s= %-20s" : "%-8.8s= %20s", key.c_str(),
                  value.c_str());
    return card(buf);
}

std::string kv(const std::string &key, long long value) { return kv(key, std::to_string(value)); }

std::string quoted(const std::string &s)
{
    return "'" + s + std::string(s.size() < 8 ? 8 - s.size() : 0, ' ') + "'";
}

std::string pad(std::string s, char fill)
{
    s.resize((s.size() + kBlock - 1) / kBlock * kBlock, fill);
    return s;
}

std::string header(const std::vector<std::string> &cards)
{
    std::string h;
    for (const auto &c : cards) h += c;
    return pad(h + card("END"), ' ');
}

// Big-endian data of n elements of |bitpix|/8 bytes, each a small counting value.
std::string data(int bitpix, std::size_t n)
{
    const std::size_t width = std::size_t(bitpix < 0 ? -bitpix : bitpix) / 8;
    std::string d;
    for (std::size_t i = 0; i < n; i++) {
        unsigned char bytes[8] = {};
        if (bitpix == -32) {
            const float f = float(i) * 0.5f - 3.0f;
            uint32_t u;
            std::memcpy(&u, &f, 4);
            for (int k = 0; k < 4; k++) bytes[k] = static_cast<unsigned char>(u >> (24 - 8 * k));
        } else if (bitpix == -64) {
            const double f = double(i) * 0.25 - 7.0;
            uint64_t u;
            std::memcpy(&u, &f, 8);
            for (int k = 0; k < 8; k++) bytes[k] = static_cast<unsigned char>(u >> (56 - 8 * k));
        } else {
            const uint64_t v = uint64_t(i * 37 + 1);
            for (std::size_t k = 0; k < width; k++)
                bytes[k] = static_cast<unsigned char>(v >> (8 * (width - 1 - k)));
        }
        d.append(reinterpret_cast<char *>(bytes), width);
    }
    return pad(d, '\0');
}

std::vector<std::string> image_cards(bool primary, int bitpix, int nx, int ny)
{
    std::vector<std::string> c;
    c.push_back(primary ? kv("SIMPLE", "T") : kv("XTENSION", quoted("IMAGE")));
    c.push_back(kv("BITPIX", bitpix));
    c.push_back(kv("NAXIS", 2));
    c.push_back(kv("NAXIS1", nx));
    c.push_back(kv("NAXIS2", ny));
    if (!primary) {
        c.push_back(kv("PCOUNT", 0));
        c.push_back(kv("GCOUNT", 1));
    }
    return c;
}

std::string primary_only(const std::vector<std::string> &extra = {})
{
    std::vector<std::string> c = {kv("SIMPLE", "T"), kv("BITPIX", 8), kv("NAXIS", 0), kv("EXTEND", "T")};
    c.insert(c.end(), extra.begin(), extra.end());
    return header(c);
}

std::string image_file(int bitpix)
{
    std::vector<std::string> c = image_cards(true, bitpix, 5, 3);
    if (bitpix > 0) {
        c.push_back(kv("BSCALE", "2.5"));
        c.push_back(kv("BZERO", "32768"));
        c.push_back(kv("BLANK", -1));
    }
    c.push_back(kv("LTM1_1", "0.5"));
    c.push_back(kv("LTV1", "-10.0"));
    c.push_back(kv("DTM2_2", "2.0"));
    c.push_back(kv("ATV2", "4.0"));
    return header(c) + data(bitpix, 15);
}

// A primary unit and `n` float extensions of nx x ny side by side on the detector.
std::string mosaic(int n, int nx, int ny)
{
    std::string f = primary_only({kv("NEXTEND", n)});
    for (int e = 1; e <= n; e++) {
        std::vector<std::string> c = image_cards(false, -32, nx, ny);
        c.push_back(kv("EXTNAME", quoted("SCI")));
        c.push_back(kv("EXTVER", e));
        c.push_back(kv("DETSIZE", quoted("[1:" + std::to_string(n * nx) + ",1:" + std::to_string(ny) + "]")));
        c.push_back(kv("DETSEC", quoted("[" + std::to_string((e - 1) * nx + 1) + ":" + std::to_string(e * nx) +
                                        ",1:" + std::to_string(ny) + "]")));
        f += header(c) + data(-32, std::size_t(nx) * ny);
    }
    return f;
}

std::string ascii_table()
{
    const std::vector<std::string> c = {
        kv("XTENSION", quoted("TABLE")), kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 30),
        kv("NAXIS2", 2), kv("PCOUNT", 0), kv("GCOUNT", 1), kv("TFIELDS", 3),
        kv("TTYPE1", quoted("ID")), kv("TBCOL1", 1), kv("TFORM1", quoted("I10")),
        kv("TTYPE2", quoted("FLUX")), kv("TBCOL2", 11), kv("TFORM2", quoted("F12.5")), kv("TUNIT2", quoted("Jy")),
        kv("TNULL2", quoted("-999")), kv("TBCOL3", 23), kv("TFORM3", quoted("A8")),
        kv("TSCAL2", "1.0"), kv("TZERO2", "0.5")};
    std::string rows = "         1     1.50000 first  "
                       "         2    -2.25000 second ";
    return primary_only() + header(c) + pad(rows, ' ');
}

std::string binary_table()
{
    const std::vector<std::string> c = {
        kv("XTENSION", quoted("BINTABLE")), kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 42),
        kv("NAXIS2", 2), kv("PCOUNT", 16), kv("GCOUNT", 1), kv("TFIELDS", 5),
        kv("TTYPE1", quoted("N")), kv("TFORM1", quoted("1J")), kv("TNULL1", -999),
        kv("TTYPE2", quoted("NAME")), kv("TFORM2", quoted("20A")),
        kv("TTYPE3", quoted("X")), kv("TFORM3", quoted("1D")), kv("TDISP3", quoted("F10.3")),
        kv("TSCAL3", "2.0"), kv("TZERO3", "1.0"), kv("TUNIT3", quoted("m")),
        kv("TFORM4", quoted("12X")), kv("TTYPE5", quoted("VLA")), kv("TFORM5", quoted("1PE(4)"))};
    std::string rows(84, '\0');
    rows += std::string(16, '\1');
    return primary_only() + header(c) + pad(rows, '\0');
}

// A header over many blocks: 30 blocks wholly of HISTORY between real cards.
std::string long_header()
{
    std::vector<std::string> c = image_cards(true, 16, 4, 2);
    for (int i = 0; i < 30 * 36; i++) c.push_back(card("HISTORY block of history " + std::to_string(i)));
    c.push_back(kv("OBJECT", quoted("after the history")));
    c.push_back(card("COMMENT a comment / with a slash"));
    return header(c) + data(16, 8);
}

std::string random_groups()
{
    const std::vector<std::string> c = {kv("SIMPLE", "T"), kv("BITPIX", -32), kv("NAXIS", 3), kv("NAXIS1", 0),
                                        kv("NAXIS2", 3), kv("NAXIS3", 2), kv("GROUPS", "T"), kv("PCOUNT", 2),
                                        kv("GCOUNT", 4)};
    return header(c) + data(-32, 4 * (6 + 2));
}

bool put(const std::string &path, const std::string &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (const char *sub : {"", "/files", "/cards", "/names"}) mkdir((dir + sub).c_str(), 0777);

    std::vector<std::pair<std::string, std::string>> files = {
        {"image8", image_file(8)},       {"image16", image_file(16)},   {"image32", image_file(32)},
        {"image-32", image_file(-32)},   {"image-64", image_file(-64)}, {"image64", image_file(64)},
        {"mosaic1", mosaic(1, 4, 3)},    {"mosaic3", mosaic(3, 6, 4)},  {"ascii_table", ascii_table()},
        {"binary_table", binary_table()}, {"long_header", long_header()}, {"groups", random_groups()},
        {"primary", primary_only()},
        {"trailing", mosaic(2, 3, 3) + std::string(100, 'x')},
        // A header that claims far more data than the file holds.
        {"claims_more", header({kv("SIMPLE", "T"), kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 50000),
                                kv("NAXIS2", 50000)}) + std::string(kBlock, '\1')},
    };
    const std::vector<std::string> cards = {
        kv("SIMPLE", "T"), kv("NAXIS", 2) + "extra", card("NAXIS   =                    2 / number of axes"),
        kv("BSCALE", "1.0E-3"), kv("BZERO", "0x7FFF"), kv("EXTNAME", quoted("O''Brien")),
        card("DATE    = '2004/01/01'  / date"), card("OBJECT  = 'no end"), card("OBJECT  =  'late'"),
        card("HISTORY this/that"), card("COMMENT   plain"), card("END"), card("KEYWORD   value"),
        kv("CPLX", "(1.5, 2.0)"), kv("BIG", "99999999999999999999"), kv("TFORM12", quoted("1PE(4)")),
        card("        blank keyword"), kv("REAL", "-1.5D2 / exp"),
    };
    const std::vector<std::string> names = {
        "file.fits", "file.fits[SCI]", "file.fits[SCI,2]", "file.fits[3]", "file.fits[sci,2][size=5760]",
        "4660[size=5760]", "x[+]", "x[a+,+3]", "[SCI]", ",2", "x[][]y", "x[ ] ", "x[1,2,3,4]", "x[SCI,a.b]",
        "-", "stdin", "a[$_9,007]abc",
    };
    // Bare table cards, as the table fuzzer reads them after its own first cards.
    const std::string ascii = ascii_table(), binary = binary_table();
    files.push_back({"ascii_cards", std::string("\0\0\x1e", 3) + ascii.substr(kBlock + 5 * 80, 15 * 80)});
    files.push_back({"binary_cards", std::string("\1\0\x2a", 3) + binary.substr(kBlock + 5 * 80, 17 * 80)});
    bool ok = true;
    for (const auto &[name, bytes] : files) ok &= put(dir + "/files/" + name, bytes);
    for (std::size_t i = 0; i < cards.size(); i++) ok &= put(dir + "/cards/" + std::to_string(i), cards[i]);
    for (std::size_t i = 0; i < names.size(); i++) ok &= put(dir + "/names/" + std::to_string(i), names[i]);
    if (!ok) std::perror("fuzz_seeds");
    return ok ? 0 : 1;
}

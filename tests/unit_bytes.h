// FITS files written byte by byte for tests: cards formatted here, not by the
// library, so that the library's reading is checked against an independent writer.
#ifndef TOLV_TESTS_UNIT_BYTES_H
#define TOLV_TESTS_UNIT_BYTES_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace unitbytes {

// One 80-column card: keyword, "= ", a number or logical right-justified to column
// 30, a quoted string from column 11; no comment.
inline std::string card(const std::string &key, const std::string &value)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, value[0] == '\'' ? "%-8.8s= %-20s" : "%-8.8s= %20s", key.c_str(),
                  value.c_str());
    std::string c = buf;
    c.resize(80, ' ');
    return c;
}

inline std::string str(const std::string &s) { return "'" + s + std::string(s.size() < 8 ? 8 - s.size() : 0, ' ') + "'"; }

inline std::string end_card() { return std::string("END").append(77, ' '); }

struct Unit {
    std::vector<std::string> cards; // without END
    std::vector<unsigned char> data; // big-endian, unpadded
};

inline void put_be32(std::vector<unsigned char> &out, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}

inline std::vector<unsigned char> floats_be(const std::vector<float> &v)
{
    std::vector<unsigned char> out;
    out.reserve(v.size() * 4);
    for (float f : v) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        put_be32(out, u);
    }
    return out;
}

// A primary unit without data.
inline Unit primary(const std::vector<std::string> &extra = {})
{
    Unit u;
    u.cards = {card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"), card("EXTEND", "T")};
    u.cards.insert(u.cards.end(), extra.begin(), extra.end());
    return u;
}

// An IMAGE extension of BITPIX -32 and nx x ny pixels.
inline Unit float_image(int nx, int ny, const std::vector<float> &pixels, const std::vector<std::string> &extra = {})
{
    Unit u;
    u.cards = {card("XTENSION", str("IMAGE")), card("BITPIX", "-32"), card("NAXIS", "2"),
               card("NAXIS1", std::to_string(nx)), card("NAXIS2", std::to_string(ny)),
               card("PCOUNT", "0"), card("GCOUNT", "1")};
    u.cards.insert(u.cards.end(), extra.begin(), extra.end());
    u.data = floats_be(pixels);
    return u;
}

// The bytes of a unit: header padded with blanks, data padded with zeros.
inline std::vector<unsigned char> unit_bytes(const Unit &u)
{
    std::string head;
    for (const auto &c : u.cards) head += c;
    head += end_card();
    head.resize((head.size() + 2879) / 2880 * 2880, ' ');
    std::vector<unsigned char> out(head.begin(), head.end());
    out.insert(out.end(), u.data.begin(), u.data.end());
    out.resize((out.size() + 2879) / 2880 * 2880, 0);
    return out;
}

inline std::vector<unsigned char> file_bytes(const std::vector<Unit> &units)
{
    std::vector<unsigned char> out;
    for (const auto &u : units) {
        const auto b = unit_bytes(u);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

inline void write(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<unsigned char> read(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

} // namespace unitbytes

#endif

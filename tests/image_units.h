// Test helpers for images built here byte by byte: cards, big-endian pixels, and
// the header of an image as a primary unit or an IMAGE extension.
#ifndef TOLV_TESTS_IMAGE_UNITS_H
#define TOLV_TESTS_IMAGE_UNITS_H

#include "fits_files.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// A card: strings open in column 11, other values end in column 30.
inline std::string kv(const std::string &key, const std::string &value)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, value[0] == '\'' ? "%-8s= %-20s" : "%-8s= %20s", key.c_str(), value.c_str());
    return buf;
}

inline void put_be(std::string &s, uint64_t v, int bytes)
{
    for (int k = bytes - 1; k >= 0; k--) s += char(uint8_t(v >> (8 * k)));
}

// A float (BITPIX -32) or double (-64) pixel, big-endian.
inline void put_real(std::string &s, double v, int bitpix)
{
    if (bitpix == -32) {
        const float f = float(v);
        uint32_t u;
        std::memcpy(&u, &f, 4);
        put_be(s, u, 4);
    } else {
        uint64_t u;
        std::memcpy(&u, &v, 8);
        put_be(s, u, 8);
    }
}

// Data padded with zeros to whole blocks.
inline std::string padded(std::string s)
{
    s.resize((s.size() + kBlock - 1) / kBlock * kBlock, '\0');
    return s;
}

// An image: BITPIX, axes, its pixels in FITS order and keywords of its own.
struct Image {
    int bitpix = 16;
    std::vector<int> axes;
    std::string data;
    std::vector<std::string> cards;
    int64_t pixels() const
    {
        int64_t n = 1;
        for (int a : axes) n *= a;
        return n;
    }
};

// The image's header cards (END not included), as an extension or as the
// primary unit (with EXTEND = T when `extend`).
inline std::vector<std::string> image_cards(const Image &im, bool extension, bool extend = false)
{
    std::vector<std::string> c;
    c.push_back(extension ? kv("XTENSION", "'IMAGE   '") : kv("SIMPLE", "T"));
    c.push_back(kv("BITPIX", std::to_string(im.bitpix)));
    c.push_back(kv("NAXIS", std::to_string(im.axes.size())));
    for (std::size_t i = 0; i < im.axes.size(); i++)
        c.push_back(kv("NAXIS" + std::to_string(i + 1), std::to_string(im.axes[i])));
    if (extension) {
        c.push_back(kv("PCOUNT", "0"));
        c.push_back(kv("GCOUNT", "1"));
    } else if (extend) {
        c.push_back(kv("EXTEND", "T"));
    }
    c.insert(c.end(), im.cards.begin(), im.cards.end());
    return c;
}

#endif

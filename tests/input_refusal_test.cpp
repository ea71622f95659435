// Input tolv must refuse, or say, before it writes anything, through the real binary
// on real files: EXTNAME and EXTVER pairs two extensions share where pairs select,
// size keywords no integer or given twice, selectors that name no unit, names longer
// than the library's name buffer, a mosaic without an image extension.
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace unitbytes;

namespace {

using Bytes = std::vector<unsigned char>;
using Pairs = std::vector<std::pair<std::string, int>>;

// 10 pixels wide, so that NAXIS1 = 012 read as octal is the true width.
constexpr int kNx = 10, kNy = 6;
const Scene kScene{kNx, kNy, 4, 1};

std::string key8(const std::string &key) { return (key + "        ").substr(0, 8); }

// The unit without its EXTVER, with `extra` cards after the others.
Unit with_cards(Unit u, const Args &extra)
{
    std::erase_if(u.cards, [](const std::string &c) { return c.compare(0, 8, "EXTVER  ") == 0; });
    u.cards.insert(u.cards.end(), extra.begin(), extra.end());
    return u;
}

// The scene's science mosaic (or fringe frame) with one extension per EXTNAME and
// EXTVER pair (an empty name or version 0: no such card), the scene's pixels repeating.
Bytes named_mosaic(const Pairs &pairs, bool fringe)
{
    const std::vector<Unit> units = fringe ? kScene.fringe(0) : kScene.science();
    std::vector<Unit> out = {units[0]};
    for (size_t i = 0; i < pairs.size(); i++) {
        Args cards;
        if (!pairs[i].first.empty()) cards.push_back(card("EXTNAME", str(pairs[i].first)));
        if (pairs[i].second) cards.push_back(card("EXTVER", std::to_string(pairs[i].second)));
        out.push_back(with_cards(units[1 + i % 4], cards));
    }
    return file_bytes(out);
}

// An integer mask extension of the scene's size, every pixel used.
Unit mask_unit(const Args &extra = {})
{
    Unit u = float_image(kNx, kNy, {}, extra);
    u.cards[1] = card("BITPIX", "16");
    u.data.assign(size_t(kNx * kNy * 2), 0);
    return u;
}

// Refused with exactly `line` (and a newline), every one of `files` as it was, no journal.
void expect_refused(const Args &args, const Args &files, const std::string &line, const std::string &what)
{
    std::vector<Bytes> before;
    for (const auto &f : files) before.push_back(read(f));
    EXPECT_EQ(outcome(run_tolv(args)), outcome({1, "", line + "\n"})) << what;
    for (size_t i = 0; i < files.size(); i++) EXPECT_EQ(read(files[i]) == before[i], true) << what << files[i];
    EXPECT_EQ(access((files[0] + ".tolv-journal").c_str(), F_OK), -1) << what;
}

// Every one of `extensions` corrected without a word.
void expect_corrected(const Args &args, int extensions, const std::string &what)
{
    const ToolRun run = run_tolv(args);
    EXPECT_EQ(run.status, 0) << what << ": " << run.err;
    EXPECT_EQ(run.err, "") << what;
    EXPECT_EQ(rows_of(run.out).size(), size_t(5 * extensions)) << what;
}

} // namespace

TEST(input_refusal, a_pair_that_two_extensions_share_is_refused_where_pairs_match)
{
    TestDir dir;
    const std::string sci = dir.file("science.fits"), fr = dir.file("fringe.fits");
    const Args by_pair = {"--extname", "SCI", sci, fr};
    const Pairs four = {{"SCI", 1}, {"SCI", 2}, {"SCI", 3}, {"SCI", 4}};
    const std::string ambiguous = ": each is matched in the other files by that pair, so the match would be ambiguous";
    write(fr, named_mosaic(four, true));
    for (int i = 1; i <= 4; i++)
        for (int j = i + 1; j <= 4; j++) {
            Pairs p = four;
            p[size_t(j - 1)].second = i;
            write(sci, named_mosaic(p, false));
            expect_refused(by_pair, {sci, fr},
                           "tolv: " + sci + ": extensions " + std::to_string(i) + " and " + std::to_string(j) +
                               " are both EXTNAME 'SCI' EXTVER " + std::to_string(i) + ambiguous,
                           "science " + std::to_string(i) + std::to_string(j));
        }
    write(sci, named_mosaic(four, false));
    for (int v = 1; v <= 4; v++) {
        Pairs p = four;
        p.push_back({"sci", v});
        write(fr, named_mosaic(p, true));
        const std::string e = std::to_string(v);
        expect_refused(by_pair, {sci, fr},
                       "tolv: " + fr + ": extensions " + e + " and 5 are both EXTNAME 'SCI' EXTVER " + e +
                           ": the match for extension " + e + " of " + sci + " would be ambiguous",
                       "fringe " + e);
    }
    // Pairs no science extension needs may repeat, as may extensions without EXTNAME.
    const Bytes original = read(sci);
    write(fr, named_mosaic(four, true));
    const ToolRun reference = run_tolv(by_pair);
    ASSERT_EQ(reference.status, 0) << reference.err;
    const Bytes expected = read(sci);
    write(sci, original);
    write(fr, named_mosaic({{"SCI", 1}, {"VAR", 1}, {"SCI", 2}, {"SCI", 3}, {"VAR", 1}, {"SCI", 4}, {"SCI", 9},
                            {"SCI", 9}, {"", 1}, {"", 1}}, true));
    EXPECT_EQ(outcome(run_tolv(by_pair)), outcome(reference));
    EXPECT_EQ(read(sci) == expected, true);

    // All ('IM', 1), EXTVER being absent: fine by position, ambiguous by pair.
    write(sci, named_mosaic({{"IM", 0}, {"IM", 0}, {"IM", 0}}, false));
    write(fr, named_mosaic({{"IM", 0}, {"IM", 0}, {"IM", 0}}, true));
    expect_refused({"-e", "im", sci, fr}, {sci, fr},
                   "tolv: " + sci + ": extensions 1 and 2 are both EXTNAME 'IM' EXTVER 1" + ambiguous, "IM");
    expect_corrected({sci, fr}, 3, "IM by position");

    // By pair an image extension gives one EXTNAME, and one of the name one integer
    // EXTVER (the same card twice with its value counts once); by position anything goes.
    const std::vector<std::pair<Args, std::string>> unreadable = {
        {{card("EXTNAME", str("VAR")), card("EXTVER", "2"), card("EXTNAME", str("SCI"))},
         "EXTNAME is given twice, as 'VAR' (card 8) and as 'SCI' (card 10)"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", "2"), card("EXTVER", "3")},
         "EXTVER is given twice, as 2 (card 9) and as 3 (card 10)"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", "2.5")}, "EXTVER = 2.5 is not an integer"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", str("2"))}, "EXTVER = '2' is not an integer"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", "2"), card("EXTNAME", str("sci ")), card("EXTVER", "+2")}, ""},
    };
    for (const auto &[cards, why] : unreadable)
        for (const bool in_fringe : {false, true}) {
            std::vector<Unit> units = in_fringe ? kScene.fringe(0) : kScene.science();
            units = {units[0], with_cards(units[1], {card("EXTNAME", str("SCI"))}), with_cards(units[2], cards)};
            for (const bool position : {false, true}) {
                write(in_fringe ? fr : sci, file_bytes(units));
                write(in_fringe ? sci : fr, named_mosaic({{"SCI", 1}, {"SCI", 2}}, !in_fringe));
                // A science file whose second extension says VAR as well as SCI holds
                // several EXTNAMEs: its SCI planes are chosen by name even by position.
                const bool named_anyway = position && !in_fringe && why.rfind("EXTNAME is given twice", 0) == 0;
                if ((position && !named_anyway) || why.empty())
                    expect_corrected(position ? Args{sci, fr} : by_pair, 2, why + (position ? ", by position" : ""));
                else if (named_anyway)
                    expect_refused(Args{sci, fr}, {sci, fr},
                                   "tolv: " + sci + ": correcting the SCI planes only; VAR left as they are; "
                                   "--extname chooses\ntolv: " + sci + ": extension 2: " + why,
                                   why + ", by position");
                else
                    expect_refused(by_pair, {sci, fr}, "tolv: " + (in_fringe ? fr : sci) + ": extension 2: " + why,
                                   why);
            }
        }
}

TEST(input_refusal, size_keywords_that_are_no_integer_or_given_twice_are_refused)
{
    TestDir dir;
    const std::string sci = dir.file("science.fits"), fr = dir.file("fringe.fits"), mask = dir.file("mask.fits");
    const Args args = {"-m", mask, sci, fr};
    const std::vector<Unit> masks = {primary(), mask_unit(), mask_unit(), mask_unit(), mask_unit()};
    // Column 11 on of key's first card (or of a card appended) becomes `text`.
    auto edited = [](Unit u, const std::string &key, const std::string &text) {
        auto c = std::find_if(u.cards.begin(), u.cards.end(),
                              [&](const std::string &x) { return x.starts_with(key8(key)); });
        if (c == u.cards.end()) c = u.cards.insert(c, "");
        *c = key8(key) + "= " + text;
        c->resize(80, ' ');
        return u;
    };
    struct Where {
        std::string file;
        std::vector<Unit> units;
        int unit;
        std::string bitpix;
    };
    const std::vector<Where> places = {{sci, kScene.science(), 1, "-32"}, {sci, kScene.science(), 4, "-32"},
                                       {sci, kScene.science(), 0, "8"},   {fr, kScene.fringe(0), 2, "-32"},
                                       {mask, masks, 3, "16"}};
    for (const Where &w : places) write(w.file, file_bytes(w.units));
    for (const Where &w : places) {
        const bool primary_unit = w.unit == 0;
        // Values the library reads as the unit's own (it stays whole) that are no
        // integer; the reason, when not "KEY = TEXT is not an integer".
        std::vector<std::tuple<std::string, std::string, std::string>> bad = {
            {"BITPIX", w.bitpix + ".5", ""}, {"BITPIX", "'" + w.bitpix + "'", ""},
            {"NAXIS", primary_unit ? "0.0" : "2.", ""}};
        if (primary_unit) // without axes no count sizes the data
            bad.push_back({"GCOUNT", "99999999999", "GCOUNT = 99999999999 is beyond the range of a 32-bit integer"});
        else
            bad.insert(bad.end(), {{"NAXIS1", "10.5", ""}, {"NAXIS1", "'10'", ""}, {"NAXIS1", "0xA", ""},
                                   {"NAXIS1", "10 px", ""}, {"NAXIS1", "T", ""}, {"NAXIS1", "", "NAXIS1 has no value"},
                                   {"NAXIS1", "   / width", "NAXIS1 has no value"},
                                   {"NAXIS1", "012", "NAXIS1 = 012 is read here as octal 10, where FITS means 12"},
                                   {"NAXIS2", "'6 '", "NAXIS2 = '6' is not an integer"}, {"PCOUNT", "0.", ""},
                                   {"GCOUNT", "1.0", ""}});
        const std::string where = "tolv: " + w.file + ": " + (primary_unit ? "primary unit" : "extension " +
                                                              std::to_string(w.unit)) + ": ";
        for (const auto &[key, text, why] : bad) {
            std::vector<Unit> units = w.units;
            units[size_t(w.unit)] = edited(units[size_t(w.unit)], key, text);
            write(w.file, file_bytes(units));
            const std::string reason = why.empty() ? key + " = " + text + " is not an integer" : why;
            expect_refused(args, {sci, fr, mask}, where + reason, where + key + " = " + text);
        }
        // A second card with another value that keeps the data inside its block.
        const std::vector<std::tuple<std::string, int, std::string, std::string>> twice = {
            {"BITPIX", 2, w.bitpix, w.bitpix == "-32" ? "16" : "32"}, {"NAXIS", 3, primary_unit ? "0" : "2", "1"},
            {"NAXIS1", 4, "10", "7"}, {"NAXIS2", 5, "6", "3"}, {"PCOUNT", 6, "0", "4"}, {"GCOUNT", 7, "1", "2"}};
        for (const auto &[key, at, was, value] : twice) {
            if (primary_unit && at > 3) break;
            std::vector<Unit> units = w.units;
            units[size_t(w.unit)].cards.push_back(card(key, value));
            write(w.file, file_bytes(units));
            expect_refused(args, {sci, fr, mask},
                           where + key + " is given twice, as " + was + " (card " + std::to_string(at) + ") and as " +
                               value + " (card " + std::to_string(units[size_t(w.unit)].cards.size()) + ")",
                           where + key + " twice");
        }
        write(w.file, file_bytes(w.units));
    }
    // Integers written otherwise, and a keyword again with its value, are read as they are.
    for (const auto &[key, text] : std::vector<std::pair<std::string, std::string>>{
             {"NAXIS1", "+10"}, {"NAXIS1", "10 / px"}, {"NAXIS2", "06"}, {"NAXIS2", "+0006"}, {"BITPIX", "-32 "}}) {
        std::vector<Unit> units = kScene.science();
        units[2] = edited(units[2], key, text);
        units[3].cards.push_back(card(key, key == "BITPIX" ? "-32" : key == "NAXIS1" ? "+10" : "6"));
        write(sci, file_bytes(units));
        expect_corrected(args, 4, key + " = " + text);
    }
}

TEST(input_refusal, a_selector_that_names_no_unit_is_refused)
{
    TestDir dir;
    const std::string sci = dir.file("science.fits"), fr = dir.file("fringe.fits"), mask = dir.file("mask.fits");
    // SCI without EXTVER (so version 1), SCI 2, SCI 3 with HDUNAME CCD3.
    const std::vector<Args> named = {{card("EXTNAME", str("SCI"))},
                                     {card("EXTNAME", str("SCI")), card("EXTVER", "2")},
                                     {card("EXTNAME", str("SCI")), card("EXTVER", "3"), card("HDUNAME", str("CCD3"))}};
    std::vector<Unit> science = {primary()}, fringe = {primary()}, masks = {primary()};
    for (size_t e = 1; e <= 3; e++) {
        science.push_back(with_cards(kScene.science()[e], named[e - 1]));
        fringe.push_back(with_cards(kScene.fringe(0)[e], named[e - 1]));
        masks.push_back(mask_unit(named[e - 1]));
    }
    const Bytes original = file_bytes(science);
    write(fr, file_bytes(fringe));
    write(mask, file_bytes(masks));
    write(sci, original);
    const ToolRun reference = run_tolv({"-m", mask, sci, fr});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const Bytes corrected = read(sci);
    const std::string names[] = {sci, fr, mask};
    for (int which = 0; which < 3; which++) {
        const std::string &path = names[which];
        auto line = [&](const std::string &s) {
            return Args{"-m", mask + (which == 2 ? s : ""), sci + (which == 0 ? s : ""), fr + (which == 1 ? s : "")};
        };
        // A selector that names a unit: on the science file, only that extension is
        // corrected (its rows and bytes those of the whole run); on another file,
        // with three extensions to correct, it is refused; unit 0 is never corrected.
        const std::vector<std::pair<const char *, int>> naming = {
            {"[0]", 0}, {"[3]", 3}, {"[SCI]", 1}, {"[sci,2]", 2}, {"[SCI,1]", 1}, {"[PriMary]", 0},
            {"[ccd3]", 3}, {"[CCD3,3]", 3}, {"[]", -1}};
        for (const auto &[s, unit] : naming) {
            write(sci, original);
            const ToolRun run = run_tolv(line(s));
            if (unit < 0) {
                EXPECT_EQ(outcome(run), outcome(reference)) << path << s;
                EXPECT_EQ(read(sci) == corrected, true) << path << s;
                continue;
            }
            if (which != 0 || unit == 0) {
                EXPECT_EQ(run.status, 1) << path << s;
                EXPECT_EQ(run.out, "") << path << s;
                EXPECT_EQ(read(sci) == original, true) << path << s;
                continue;
            }
            std::string table;
            std::istringstream lines(reference.out);
            int n = 0;
            for (std::string row; std::getline(lines, row); n++)
                if (n < 2 || row.rfind(std::to_string(unit) + "\t", 0) == 0) table += row + "\n";
            EXPECT_EQ(run.status, 0) << s << run.err;
            EXPECT_EQ(run.out, table) << s;
            Bytes expected = original;
            size_t at = 0;
            for (int u = 0; u <= 3; u++) {
                const size_t n = unit_bytes(science[size_t(u)]).size();
                if (u == unit) std::copy(corrected.begin() + long(at), corrected.begin() + long(at + n), expected.begin() + long(at));
                at += n;
            }
            EXPECT_EQ(read(sci) == expected, true) << s;
        }
        write(sci, original);
        const std::string none = "the selector names no unit: ", numbers = none + "the units read from " + path +
                                                                           " are 0 to 3";
        const std::string named_no = none + "no unit of " + path + " has EXTNAME or HDUNAME ";
        const std::string options = " is not a unit selector (a unit number, or an EXTNAME perhaps with an EXTVER)";
        for (const auto &[s, why] : std::vector<std::pair<std::string, std::string>>{
                 {"[4]", numbers}, {"[99999999999]", numbers}, {",7", numbers}, {"[NOPE]", named_no + "'NOPE'"},
                 {"[SCI,4]", named_no + "'SCI' and EXTVER 4"}, {"[sci,0]", named_no + "'sci' and EXTVER 0"},
                 {"[CCD3,1]", named_no + "'CCD3' and EXTVER 1"}, {"[sci,x]", "[x]" + options},
                 {"[1,bin=2]", "[bin=2]" + options}, {"[-1]", "[-1]" + options}, {"[1][2]", "[2]" + options}})
            expect_refused(line(s), {sci, fr, mask}, "tolv: " + path + s + ": " + why, path + s);
    }
    // Two units of one pair: a name alone selects the first, the pair is ambiguous.
    science[2] = with_cards(science[2], {card("EXTVER", "1")});
    write(sci, file_bytes(science));
    expect_corrected({sci + "[SCI]", fr}, 1, "[SCI]");
    write(sci, file_bytes(science));
    expect_refused({sci + "[SCI,1]", fr}, {sci, fr},
                   "tolv: " + sci + "[SCI,1]: extensions 1 and 2 are both EXTNAME 'SCI' EXTVER 1: the selector is "
                   "ambiguous", "[SCI,1]");
}

TEST(input_refusal, a_name_longer_than_the_name_buffer_is_not_opened_cut_short)
{
    // Directories of 200 bytes, then files whose paths are 1023 bytes, the most a
    // name may have: the first 1023 bytes of any longer name name one of them.
    TestDir dir;
    std::string base = dir.path;
    while (base.size() + 221 < 1023) ASSERT_EQ(mkdir((base += "/" + std::string(200, 'd')).c_str(), 0755), 0);
    auto named = [&](char c) { return base + "/" + std::string(1023 - base.size() - 6, c) + ".fits"; };
    const std::string sci = named('s'), fr = named('f'), mask = named('m');
    const std::string short_sci = dir.file("science.fits"), short_fr = dir.file("fringe.fits");
    const Bytes science = file_bytes(kScene.science());
    const Bytes masks = file_bytes({primary(), mask_unit(), mask_unit(), mask_unit(), mask_unit()});
    const Bytes fringe = file_bytes(kScene.fringe(0));
    for (const auto &[name, bytes] : std::vector<std::pair<std::string, Bytes>>{
             {short_sci, science}, {sci, science}, {short_fr, fringe}, {fr, fringe}, {mask, masks}})
        write(name, bytes);
    ASSERT_EQ(sci.size(), 1023u);
    expect_corrected({"-m", mask, sci + "[1]", fr}, 1, "1023 bytes");
    write(sci, science);
    for (const std::string tail : {"x", "xyz", ".gz", "x[1]"})
        for (const auto &[args, name] : std::vector<std::pair<Args, std::string>>{
                 {{sci + tail, short_fr}, sci + tail},
                 {{short_sci, fr + tail}, fr + tail},
                 {{"--mask", mask + tail, short_sci, short_fr}, mask + tail},
                 {{"-n", short_sci, short_fr, fr + tail}, fr + tail}}) {
            const std::string length = std::to_string(std::min(name.size(), name.find('[')));
            expect_refused(args, {sci, fr, mask, short_sci, short_fr},
                           "tolv: " + name + ": the file name is longer than 1023 bytes (it has " + length +
                               ")\nCouldn't open file " + name, tail + " " + length);
        }
}

TEST(input_refusal, a_mosaic_without_an_image_extension_is_said)
{
    TestDir dir;
    const std::string sci = dir.file("science.fits"), fr = dir.file("fringe.fits");
    write(fr, file_bytes(kScene.fringe(0)));
    Unit table;
    table.cards = {card("XTENSION", str("BINTABLE")), card("BITPIX", "8"), card("NAXIS", "2"), card("NAXIS1", "4"),
                   card("NAXIS2", "3"), card("PCOUNT", "0"), card("GCOUNT", "1"), card("TFIELDS", "1"),
                   card("TFORM1", str("1E"))};
    table.data = Bytes(12, 0);
    Unit image = kScene.science()[1];
    image.cards = {card("SIMPLE", "T"), image.cards[1], image.cards[2], image.cards[3], image.cards[4]};
    write(sci, file_bytes(kScene.science()));
    const std::string ran = run_tolv({"-n", sci, fr}).out, head = ran.substr(0, ran.find("\n1\t") + 1);
    ASSERT_EQ(head.substr(0, 5), "Extn\t");
    const std::string none = "tolv: " + sci + ": no image extension to correct";
    const std::string tables = "\ntolv: " + sci + ": extension 1: expected a BITPIX -32 image of two axes, found a "
                                                  "BINTABLE extension\n";
    const std::vector<std::pair<std::vector<Unit>, ToolRun>> cases = {
        {{primary()}, {0, head, none + "\n"}},
        {{image}, {0, head, none + "; the image in the primary unit is never corrected\n"}},
        {{primary(), table}, {1, "", none + tables}},
        {{primary(), table, table}, {1, "", none + tables}},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const Bytes bytes = file_bytes(cases[i].first);
        const ToolRun &said = cases[i].second;
        write(sci, bytes);
        EXPECT_EQ(outcome(run_tolv({sci, fr})), outcome(said)) << i;
        // Quiet, the note is left out, the refusal is not.
        const std::string refusal = said.err.substr(said.err.find('\n') + 1);
        EXPECT_EQ(outcome(run_tolv({"-q", sci, fr})), outcome({said.status, said.out, refusal})) << i;
        EXPECT_EQ(read(sci) == bytes, true) << i;
        EXPECT_EQ(access((sci + ".tolv-journal").c_str(), F_OK), -1) << i;
    }
}

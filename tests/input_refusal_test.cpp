// Input that tolv must refuse, or at least say, before it writes anything, through
// the real binary on real files: extensions whose EXTNAME and EXTVER pair occurs
// twice where pairs select, size keywords that are not integers or are given twice,
// unit selectors that name no unit, names longer than the library's name buffer,
// and a mosaic without an image extension.
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

using namespace unitbytes;

namespace {

using Bytes = std::vector<unsigned char>;

// 10 pixels wide, so that an octal NAXIS1 = 012 reads as the true width.
constexpr int kNx = 10, kNy = 6;
const Scene kScene{kNx, kNy, 4, 1};

std::vector<Bytes> contents(const Args &names)
{
    std::vector<Bytes> c;
    for (const auto &n : names) c.push_back(read(n));
    return c;
}

bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }

// The unit's cards without its EXTVER, plus `extra`.
Unit with_cards(Unit u, const Args &extra)
{
    std::vector<std::string> kept;
    for (const std::string &c : u.cards)
        if (c.compare(0, 8, "EXTVER  ") != 0) kept.push_back(c);
    kept.insert(kept.end(), extra.begin(), extra.end());
    u.cards = kept;
    return u;
}

// EXTNAME and EXTVER cards; an empty name or a version 0 leaves that card out.
Args pair_cards(const std::string &name, int ver)
{
    Args cards;
    if (!name.empty()) cards.push_back(card("EXTNAME", str(name)));
    if (ver) cards.push_back(card("EXTVER", std::to_string(ver)));
    return cards;
}

using Pairs = std::vector<std::pair<std::string, int>>;

// The scene's science mosaic, or its fringe frame, with one extension per pair
// (the scene's extensions over again when there are more pairs than it has).
Bytes named_mosaic(const Pairs &pairs, bool fringe)
{
    const std::vector<Unit> units = fringe ? kScene.fringe(0) : kScene.science();
    std::vector<Unit> out = {units[0]};
    for (size_t i = 0; i < pairs.size(); i++)
        out.push_back(with_cards(units[1 + i % 4], pair_cards(pairs[i].first, pairs[i].second)));
    return file_bytes(out);
}

// An integer mask extension of the scene's size, BITPIX 16, every pixel used.
Unit mask_unit(const Args &extra = {})
{
    Unit u = float_image(kNx, kNy, {}, extra);
    u.cards[1] = card("BITPIX", "16");
    u.data.assign(size_t(kNx * kNy * 2), 0);
    return u;
}

// A run that must be refused with exactly `line`, leaving `files` as they were and
// making no journal.
void expect_refused(const Args &args, const Args &files, const std::string &line, const std::string &what)
{
    const std::vector<Bytes> before = contents(files);
    const ToolRun run = run_tolv(args);
    EXPECT_EQ(outcome(run), outcome({1, "", line + "\n"})) << what;
    EXPECT_EQ(contents(files) == before, true) << what;
    EXPECT_EQ(exists(files[0] + ".tolv-journal"), false) << what;
}

// A run that must correct every one of `extensions` without a word.
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
    const Args run_sci = {"--extname", "SCI", sci, fr};
    const Pairs four = {{"SCI", 1}, {"SCI", 2}, {"SCI", 3}, {"SCI", 4}};
    write(fr, named_mosaic(four, true));
    // Science extensions i and j with one version: each would find the same fringe unit.
    for (int i = 1; i <= 4; i++)
        for (int j = i + 1; j <= 4; j++) {
            Pairs p = four;
            p[size_t(j - 1)].second = i;
            write(sci, named_mosaic(p, false));
            expect_refused(run_sci, {sci, fr},
                           "tolv: " + sci + ": extensions " + std::to_string(i) + " and " + std::to_string(j) +
                               " are both EXTNAME 'SCI' EXTVER " + std::to_string(i) +
                               ": each is matched in the other files by that pair, so the match would be ambiguous",
                           "science " + std::to_string(i) + "," + std::to_string(j));
        }
    // A fringe frame holding a pair twice that a science extension needs.
    write(sci, named_mosaic(four, false));
    for (int v = 1; v <= 4; v++) {
        Pairs p = four;
        p.push_back({"sci", v});
        write(fr, named_mosaic(p, true));
        expect_refused(run_sci, {sci, fr},
                       "tolv: " + fr + ": extensions " + std::to_string(v) + " and 5 are both EXTNAME 'SCI' EXTVER " +
                           std::to_string(v) + ": the match for extension " + std::to_string(v) + " of " + sci +
                           " would be ambiguous",
                       "fringe version " + std::to_string(v));
    }
    // Pairs no science extension needs may occur twice, as may extensions without
    // EXTNAME: the run is the one without them.
    const Bytes science_before = read(sci);
    write(fr, named_mosaic(four, true));
    const ToolRun reference = run_tolv(run_sci);
    ASSERT_EQ(reference.status, 0) << reference.err;
    const Bytes expected = read(sci);
    write(sci, science_before);
    write(fr, named_mosaic({{"SCI", 1}, {"VAR", 1}, {"SCI", 2}, {"SCI", 3}, {"VAR", 1}, {"SCI", 4}, {"SCI", 9},
                            {"SCI", 9}, {"", 1}, {"", 1}},
                           true));
    const ToolRun extras = run_tolv(run_sci);
    EXPECT_EQ(outcome(extras), outcome(reference));
    EXPECT_EQ(read(sci) == expected, true);

    // Extensions all EXTNAME 'IM' without EXTVER are all ('IM', 1): matched by
    // position they are fine; matched by pair, ambiguous.
    const Pairs im = {{"IM", 0}, {"IM", 0}, {"IM", 0}};
    write(sci, named_mosaic(im, false));
    write(fr, named_mosaic(im, true));
    expect_refused({"-e", "im", sci, fr}, {sci, fr},
                   "tolv: " + sci + ": extensions 1 and 2 are both EXTNAME 'IM' EXTVER 1: each is matched in the other "
                   "files by that pair, so the match would be ambiguous",
                   "IM by pair");
    expect_corrected({sci, fr}, 3, "IM by position");
    // Neither keyword: distinct by position.
    write(sci, named_mosaic({{"", 0}, {"", 0}, {"", 0}}, false));
    write(fr, named_mosaic({{"", 0}, {"", 0}, {"", 0}}, true));
    expect_corrected({sci, fr}, 3, "no EXTNAME");

    // Where pairs match, each image extension gives one EXTNAME, and those of the
    // name one integer EXTVER; by position the same files are corrected.
    const std::vector<std::pair<Args, std::string>> unreadable = {
        {{card("EXTNAME", str("VAR")), card("EXTVER", "2"), card("EXTNAME", str("SCI"))},
         "EXTNAME is given twice, as 'VAR' (card 8) and as 'SCI' (card 10)"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", "2"), card("EXTVER", "3")},
         "EXTVER is given twice, as 2 (card 9) and as 3 (card 10)"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", "2.5")}, "EXTVER = 2.5 is not an integer"},
        {{card("EXTNAME", str("SCI")), card("EXTVER", str("2"))}, "EXTVER = '2' is not an integer"},
    };
    for (const auto &[cards, why] : unreadable)
        for (const bool in_fringe : {false, true}) {
            std::vector<Unit> units = in_fringe ? kScene.fringe(0) : kScene.science();
            units.resize(3);
            units[1] = with_cards(units[1], pair_cards("SCI", 1));
            units[2] = with_cards(units[2], cards);
            write(in_fringe ? fr : sci, file_bytes(units));
            write(in_fringe ? sci : fr, named_mosaic({{"SCI", 1}, {"SCI", 2}}, !in_fringe));
            expect_refused(run_sci, {sci, fr}, "tolv: " + (in_fringe ? fr : sci) + ": extension 2: " + why, why);
            expect_corrected({sci, fr}, 2, why + ", by position");
        }
    // The same pair given twice in one header is one pair.
    std::vector<Unit> twice = kScene.science();
    twice.resize(2);
    twice[1] = with_cards(twice[1], {card("EXTNAME", str("SCI")), card("EXTVER", "1"), card("EXTNAME", str("sci ")),
                                     card("EXTVER", "+1")});
    write(sci, file_bytes(twice));
    write(fr, named_mosaic({{"SCI", 1}}, true));
    expect_corrected(run_sci, 1, "EXTNAME and EXTVER repeated with their values");
}

TEST(input_refusal, size_keywords_that_are_no_integer_or_given_twice_are_refused)
{
    TestDir dir;
    const std::string sci = dir.file("science.fits"), fr = dir.file("fringe.fits"), mask = dir.file("mask.fits");
    const Args args = {"-m", mask, sci, fr};
    const std::vector<Unit> science = kScene.science(), fringe = kScene.fringe(0);
    const std::vector<Unit> masks = {primary(), mask_unit(), mask_unit(), mask_unit(), mask_unit()};
    // Replaces the value of the first card of `key` with the text at column 11 on
    // (appends the card when there is none).
    auto edited = [](Unit u, const std::string &key, const std::string &text) {
        for (std::string &c : u.cards)
            if (c.compare(0, 8, (key + "        ").substr(0, 8)) == 0) {
                c = (key + "        ").substr(0, 8) + "= " + text;
                c.resize(80, ' ');
                return u;
            }
        u.cards.push_back((key + "        ").substr(0, 8) + "= " + text);
        u.cards.back().resize(80, ' ');
        return u;
    };
    auto doubled = [](Unit u, const std::string &key, const std::string &value) {
        u.cards.push_back(card(key, value));
        return u;
    };
    // Where: the file and its units, the unit to edit, and how tolv names it.
    struct Where {
        std::string file;
        std::vector<Unit> units;
        int unit;
    };
    const std::vector<Where> places = {{sci, science, 1}, {sci, science, 4}, {sci, science, 0},
                                       {fr, fringe, 2},   {mask, masks, 3}};
    // Every value the library reads as the one the unit is (so that the unit is
    // indexed whole) but that is no integer, and a second card that differs and
    // keeps the data inside its block.
    struct Bad {
        std::string key, text, why;
    };
    for (const Where &w : places) {
        const Unit &u = w.units[size_t(w.unit)];
        const bool primary_unit = w.unit == 0, is_mask = w.file == mask;
        const std::string bitpix = primary_unit ? "8" : is_mask ? "16" : "-32";
        std::vector<Bad> bad = {
            {"BITPIX", bitpix + ".5", "BITPIX = " + bitpix + ".5 is not an integer"},
            {"BITPIX", "'" + bitpix + "'", "BITPIX = '" + bitpix + "' is not an integer"},
            {"NAXIS", primary_unit ? "0.0" : "2.", "NAXIS = " + std::string(primary_unit ? "0.0" : "2.") +
                                                       " is not an integer"},
        };
        if (!primary_unit) {
            bad.insert(bad.end(), {
                {"NAXIS1", "10.5", "NAXIS1 = 10.5 is not an integer"},
                {"NAXIS1", "'10'", "NAXIS1 = '10' is not an integer"},
                {"NAXIS1", "0xA", "NAXIS1 = 0xA is not an integer"},
                {"NAXIS1", "10E0", "NAXIS1 = 10E0 is not an integer"},
                {"NAXIS1", "10 px", "NAXIS1 = 10 px is not an integer"},
                {"NAXIS1", "T", "NAXIS1 = T is not an integer"},
                {"NAXIS1", "", "NAXIS1 has no value"},
                {"NAXIS1", "      / width", "NAXIS1 has no value"},
                {"NAXIS1", "012", "NAXIS1 = 012 is read here as octal 10, where FITS means 12"},
                {"NAXIS2", "6.0", "NAXIS2 = 6.0 is not an integer"},
                {"NAXIS2", "'6 '", "NAXIS2 = '6' is not an integer"},
                {"PCOUNT", "0.", "PCOUNT = 0. is not an integer"},
                {"GCOUNT", "1.0", "GCOUNT = 1.0 is not an integer"},
            });
        } else {
            // Without axes no count sizes the data, so the unit is indexed whatever it says.
            bad.push_back({"GCOUNT", "99999999999", "GCOUNT = 99999999999 is beyond the range of a 32-bit integer"});
        }
        for (const Bad &b : bad) {
            std::vector<Unit> units = w.units;
            units[size_t(w.unit)] = edited(u, b.key, b.text);
            write(w.file, file_bytes(units));
            for (const Where &other : places)
                if (other.file != w.file) write(other.file, file_bytes(other.units));
            const std::string where = primary_unit ? "primary unit" : "extension " + std::to_string(w.unit);
            expect_refused(args, {sci, fr, mask}, "tolv: " + w.file + ": " + where + ": " + b.why,
                           w.file + " " + where + " " + b.key + " = " + b.text);
        }
        // Given twice: the second card after the unit's others.
        const int second = int(u.cards.size()) + 1;
        std::vector<std::pair<std::string, std::string>> twice = {{"BITPIX", is_mask || primary_unit ? "32" : "16"},
                                                                  {"NAXIS", "1"}};
        if (!primary_unit)
            twice.insert(twice.end(), {{"NAXIS1", "7"}, {"NAXIS2", "3"}, {"PCOUNT", "4"}, {"GCOUNT", "2"}});
        for (const auto &[key, value] : twice) {
            int first = 0;
            std::string was;
            for (size_t c = 0; c < u.cards.size(); c++)
                if (u.cards[c].compare(0, 8, (key + "        ").substr(0, 8)) == 0 && !first) {
                    first = int(c) + 1;
                    was = u.cards[c].substr(10, 20);
                    was.erase(0, was.find_first_not_of(' '));
                }
            ASSERT_NE(first, 0) << key;
            std::vector<Unit> units = w.units;
            units[size_t(w.unit)] = doubled(u, key, value);
            write(w.file, file_bytes(units));
            const std::string where = primary_unit ? "primary unit" : "extension " + std::to_string(w.unit);
            expect_refused(args, {sci, fr, mask},
                           "tolv: " + w.file + ": " + where + ": " + key + " is given twice, as " + was + " (card " +
                               std::to_string(first) + ") and as " + value + " (card " + std::to_string(second) + ")",
                           w.file + " " + where + " " + key + " twice");
        }
        write(w.file, file_bytes(w.units));
    }
    // Integers FITS writes otherwise, and a keyword given again with its value, are
    // read as they are.
    const std::vector<std::pair<std::string, std::string>> fine = {
        {"NAXIS1", "+10"}, {"NAXIS1", "10 / pixels"}, {"NAXIS2", "06"}, {"NAXIS2", "+0006"}, {"BITPIX", "-32 "}};
    for (const auto &[key, text] : fine) {
        std::vector<Unit> units = science;
        units[2] = edited(units[2], key, text);
        write(sci, file_bytes(units));
        expect_corrected(args, 4, key + " = " + text);
    }
    std::vector<Unit> again = science;
    again[3] = doubled(doubled(again[3], "NAXIS1", "+10"), "BITPIX", "-32");
    write(sci, file_bytes(again));
    expect_corrected(args, 4, "NAXIS1 and BITPIX again with their values");
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
    for (int e = 1; e <= 3; e++) {
        science.push_back(with_cards(kScene.science()[size_t(e)], named[size_t(e - 1)]));
        fringe.push_back(with_cards(kScene.fringe(0)[size_t(e)], named[size_t(e - 1)]));
        masks.push_back(mask_unit(named[size_t(e - 1)]));
    }
    const Bytes original = file_bytes(science);
    write(fr, file_bytes(fringe));
    write(mask, file_bytes(masks));
    write(sci, original);
    const ToolRun reference = run_tolv({"-m", mask, sci, fr});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const Bytes corrected = read(sci);
    // The command line with `selector` after the science, fringe or mask name.
    auto line = [&](int which, const std::string &selector) {
        return Args{"-m", mask + (which == 2 ? selector : ""), sci + (which == 0 ? selector : ""),
                    fr + (which == 1 ? selector : "")};
    };
    const std::string names[] = {sci, fr, mask};
    for (int which = 0; which < 3; which++) {
        const std::string &path = names[which];
        // A selector that names a unit changes nothing, for now.
        for (const char *s : {"[0]", "[1]", "[3]", "[SCI]", "[sci,2]", "[SCI,1]", "[SCI,3]", "[PriMary]", "[ccd3]",
                              "[CCD3,3]", "[]"}) {
            write(sci, original);
            const ToolRun run = run_tolv(line(which, s));
            EXPECT_EQ(outcome(run), outcome(reference)) << path << s;
            EXPECT_EQ(read(sci) == corrected, true) << path << s;
        }
        write(sci, original);
        const std::vector<std::pair<std::string, std::string>> refused = {
            {"[4]", "the selector names no unit: the units read from " + path + " are 0 to 3"},
            {"[99]", "the selector names no unit: the units read from " + path + " are 0 to 3"},
            {"[99999999999]", "the selector names no unit: the units read from " + path + " are 0 to 3"},
            {"[NOPE]", "the selector names no unit: no unit of " + path + " has EXTNAME or HDUNAME 'NOPE'"},
            {"[SCI,4]", "the selector names no unit: no unit of " + path + " has EXTNAME or HDUNAME 'SCI' and EXTVER 4"},
            {"[sci,0]", "the selector names no unit: no unit of " + path + " has EXTNAME or HDUNAME 'sci' and EXTVER 0"},
            {"[CCD3,1]", "the selector names no unit: no unit of " + path + " has EXTNAME or HDUNAME 'CCD3' and EXTVER 1"},
            {",7", "the selector names no unit: the units read from " + path + " are 0 to 3"},
            {"[sci,x]", "[x] is not a unit selector (a unit number, or an EXTNAME perhaps with an EXTVER)"},
            {"[1,bin=2]", "[bin=2] is not a unit selector (a unit number, or an EXTNAME perhaps with an EXTVER)"},
            {"[-1]", "[-1] is not a unit selector (a unit number, or an EXTNAME perhaps with an EXTVER)"},
            {"[1][2]", "[2] is not a unit selector (a unit number, or an EXTNAME perhaps with an EXTVER)"},
        };
        for (const auto &[s, why] : refused)
            expect_refused(line(which, s), {sci, fr, mask}, "tolv: " + path + s + ": " + why, path + s);
    }
    // Two units of one pair: a name alone selects the first, a pair is ambiguous.
    science[2] = with_cards(science[2], {card("EXTNAME", str("SCI")), card("EXTVER", "1")});
    write(sci, file_bytes(science));
    expect_corrected({sci + "[SCI]", fr}, 3, "[SCI] with two SCI 1");
    write(sci, file_bytes(science));
    expect_refused({sci + "[SCI,1]", fr}, {sci, fr},
                   "tolv: " + sci + "[SCI,1]: extensions 1 and 2 are both EXTNAME 'SCI' EXTVER 1: the selector is "
                   "ambiguous",
                   "[SCI,1] with two SCI 1");
}

TEST(input_refusal, a_name_longer_than_the_name_buffer_is_not_opened_cut_short)
{
    // Directories of 200 bytes down to where a file's name makes its path 1023
    // bytes: the longest a name may be.
    TestDir dir;
    std::string base = dir.path;
    while (base.size() + 201 < 1023 - 20) {
        base += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    }
    auto named = [&](char c) {
        const std::string stem = base + "/" + c;
        return stem + std::string(1023 - stem.size() - 5, c) + ".fits";
    };
    const std::string sci = named('s'), fr = named('f'), mask = named('m');
    ASSERT_EQ(sci.size(), 1023u);
    const std::string short_sci = dir.file("science.fits"), short_fr = dir.file("fringe.fits");
    const std::string short_mask = dir.file("mask.fits");
    const Bytes science = file_bytes(kScene.science()), fringe = file_bytes(kScene.fringe(0));
    const Bytes masks = file_bytes({primary(), mask_unit(), mask_unit(), mask_unit(), mask_unit()});
    write(short_sci, science);
    write(short_fr, fringe);
    write(short_mask, masks);
    // The names of 1023 bytes work, with a selector too.
    write(sci, science);
    write(fr, fringe);
    write(mask, masks);
    const ToolRun whole = run_tolv({"-m", mask + "[0]", sci + "[1]", fr});
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(whole.err, "");
    EXPECT_EQ(read(sci) == science, false);
    // Longer names, whose first 1023 bytes name those files (a science file, a
    // fringe frame, a mask, each valid): refused, and no file changes.
    write(sci, science);
    for (const std::string &tail : {std::string("x"), std::string("xyz"), std::string(".gz"), std::string("x[1]")}) {
        const std::vector<std::pair<Args, std::string>> runs = {
            {{sci + tail, short_fr}, sci + tail},
            {{short_sci, fr + tail}, fr + tail},
            {{"--mask", mask + tail, short_sci, short_fr}, mask + tail},
            {{"-n", short_sci, short_fr, fr + tail}, fr + tail},
        };
        for (const auto &[args, name] : runs) {
            const size_t length = name.find('[') == std::string::npos ? name.size() : name.find('[');
            expect_refused(args, {sci, fr, mask, short_sci, short_fr, short_mask},
                           "tolv: " + name + ": the file name is longer than 1023 bytes (it has " +
                               std::to_string(length) + ")\nCouldn't open file " + name,
                           tail + " " + std::to_string(length));
        }
    }
}

TEST(input_refusal, a_mosaic_without_an_image_extension_is_said)
{
    TestDir dir;
    const std::string sci = dir.file("science.fits"), fr = dir.file("fringe.fits");
    write(fr, file_bytes(kScene.fringe(0)));
    Unit table;
    table.cards = {card("XTENSION", str("BINTABLE")), card("BITPIX", "8"),  card("NAXIS", "2"),
                   card("NAXIS1", "4"),               card("NAXIS2", "3"),  card("PCOUNT", "0"),
                   card("GCOUNT", "1"),               card("TFIELDS", "1"), card("TFORM1", str("1E"))};
    table.data = Bytes(12, 0);
    Unit primary_image = kScene.science()[1];
    primary_image.cards[0] = card("SIMPLE", "T");
    primary_image.cards.erase(primary_image.cards.begin() + 5, primary_image.cards.begin() + 7); // PCOUNT, GCOUNT
    // The table's head alone, as a run with nothing to fit prints it.
    write(sci, file_bytes(kScene.science()));
    const std::string ran = run_tolv({"-n", sci, fr}).out;
    const std::string head = ran.substr(0, ran.find('\n', ran.find('\n') + 1) + 1);
    ASSERT_EQ(head.substr(0, 5), "Extn\t");

    const std::string none = "tolv: " + sci + ": no image extension to correct";
    const std::vector<std::pair<std::vector<Unit>, ToolRun>> cases = {
        {{primary()}, {0, head, none + "\n"}},
        {{primary_image}, {0, head, none + "; the image in the primary unit is never corrected\n"}},
        {{primary(), table}, {1, "", none + "\ntolv: " + sci + ": extension 1: expected a BITPIX -32 image of two "
                                          "axes, found a BINTABLE extension\n"}},
        {{primary(), table, table}, {1, "", none + "\ntolv: " + sci + ": extension 1: expected a BITPIX -32 image "
                                                   "of two axes, found a BINTABLE extension\n"}},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const Bytes bytes = file_bytes(cases[i].first);
        write(sci, bytes);
        EXPECT_EQ(outcome(run_tolv({sci, fr})), outcome(cases[i].second)) << i;
        EXPECT_EQ(read(sci) == bytes, true) << i;
        EXPECT_EQ(exists(sci + ".tolv-journal"), false) << i;
        // Quiet, the note is left out; the refusal is not.
        const ToolRun quiet = run_tolv({"-q", sci, fr});
        const std::string &err = cases[i].second.err;
        EXPECT_EQ(outcome(quiet), outcome({cases[i].second.status, cases[i].second.out,
                                           err.substr(err.find('\n') + 1)}))
            << i;
    }
    // A table beside an image extension is refused as before, with no note.
    write(sci, file_bytes({primary(), kScene.science()[1], table}));
    EXPECT_EQ(outcome(run_tolv({sci, fr})),
              outcome({1, "", "tolv: " + sci + ": extension 2: expected a BITPIX -32 image of 10 x 6 pixels, found a "
                              "BINTABLE extension\n"}));
}

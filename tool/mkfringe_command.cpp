// tolv-mkfringe's stages: open the exposures and masks, check them against the
// first exposure as tolv checks fringe frames against a science file, make each
// extension's frame, write the fringe mosaic (a new file, whole or absent), print
// the table.
#include "mkfringe_command.h"

#include "card_text.h"
#include "fileio.h"
#include "fringefit.h"
#include "inputs.h"
#include "layout.h"
#include "messages.h"
#include "mosaic.h"
#include "options.h"
#include "output.h"
#include "parallel.h"
#include "pixels.h"
#include "record.h"
#include "workers.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr int64_t BLOCK = FT_BLOCK_BYTES;
constexpr int64_t CARD = FT_CARD_BYTES;

struct MosaicFree {
    void operator()(_Mosaic *m) const { ft_freemosaic(m); }
};
using OwnedMosaic = std::unique_ptr<_Mosaic, MosaicFree>;

// The keyword of a card, blanks after it dropped.
std::string keyword_of(std::string_view card)
{
    std::string key(card.substr(0, 8));
    return key.substr(0, key.find_last_not_of(' ') + 1);
}

// The cards of a header before END.
std::vector<std::string_view> cards_before_end(HeaderBlocks h)
{
    std::vector<std::string_view> cards;
    for (int64_t i = 0; i < h.length / CARD; i++) {
        const std::string_view c(reinterpret_cast<const char *>(h.bytes) + i * CARD, size_t(CARD));
        if (keyword_of(c) == "END") break;
        cards.push_back(c);
    }
    return cards;
}

// Cards, then END, padded with blanks to whole blocks.
std::string header_of(const std::vector<std::string> &cards)
{
    std::string h;
    for (const std::string &c : cards) h += c;
    h += end_card_text();
    h.resize(size_t((int64_t(h.size()) + BLOCK - 1) / BLOCK * BLOCK), ' ');
    return h;
}

// A line of tolv's checks (prefixed "tolv: ") as tolv-mkfringe says it.
std::string own_line(const std::string &line)
{
    const std::string tolv = MESSAGE_PREFIX;
    return MKFRINGE_PREFIX + (line.rfind(tolv, 0) == 0 ? line.substr(tolv.size()) : line);
}

class Maker {
  public:
    Maker(const MakeOptions &o, std::FILE *table, std::FILE *messages) : o_(o), table_(table), messages_(messages) {}

    int run()
    {
        if (o_.inputs.size() < 3)
            return refuse("at least 3 exposures are needed, " + std::to_string(o_.inputs.size()) + " given" +
                          NOTHING_DONE);
        if (const int status = open_all()) return status;
        if (const int status = plan()) return status;
        OutputFile out(o_.output, o_.overwrite);
        if (out.refused()) return refuse(o_.output + ": the file exists; --overwrite replaces it" + NOTHING_DONE);
        if (const int status = refuse_an_input_as_output()) return status;
        std::string error;
        if (!out.create(layout(), &error)) return refuse(error + NOTHING_DONE);
        std::string problem;
        if (!make_all(out.descriptor(), &problem)) return refuse(problem + "; " + o_.output + " is not written");
        const std::string primary = primary_header();
        if (!pwrite_all(out.descriptor(), primary.data(), int64_t(primary.size()), 0) || !out.commit(&error))
            return refuse((error.empty() ? "writing " + o_.output + " failed: " + std::strerror(errno) : error) +
                          "; " + o_.output + " is not written");
        print_table();
        return std::fflush(table_) == 0 ? 0 : 1;
    }

  private:
    int refuse(const std::string &text) const
    {
        std::fprintf(messages_, "%s%s\n", MKFRINGE_PREFIX, text.c_str());
        return 1;
    }

    // Opens and maps every exposure and mask.
    int open_all()
    {
        std::vector<std::string> masks;
        if (!o_.mask.empty()) masks.push_back(o_.mask);
        std::string error;
        if (!o_.mask_list.empty() && !read_name_lists({"@" + o_.mask_list}, &masks, &error)) return refuse(error);
        if (!o_.mask_list.empty() && masks.size() != o_.inputs.size())
            return refuse(o_.mask_list + ": names " + std::to_string(masks.size()) + " masks for " +
                          std::to_string(o_.inputs.size()) + " exposures" + NOTHING_DONE);
        mask_names_ = masks;
        for (size_t k = 0; k < o_.inputs.size() + masks.size(); k++) {
            const std::string &name = k < o_.inputs.size() ? o_.inputs[k] : masks[k - o_.inputs.size()];
            std::string reason;
            MosaicFile *f = mosaic_file_open(name.c_str(), false, &reason);
            Mosaic m = f ? mosaic_map(f, MAX_UNITS, &reason) : nullptr;
            if (!m) return refuse(name + ": " + (reason.empty() ? "cannot be mapped" : reason) + NOTHING_DONE);
            close(m->file->fd);
            m->file->fd = -1;
            (k < o_.inputs.size() ? inputs_ : masks_).emplace_back(m);
        }
        return 0;
    }

    // The inputs as tolv's checks take them: the first exposure as the science
    // file, the others (or one mask) as the files matched against it.
    Inputs as_checked(const std::vector<size_t> &others, int mask) const
    {
        Inputs in{};
        in.science_name = o_.inputs[0].c_str();
        in.science = inputs_[0].get();
        in.science_split = mosaic_name(in.science_name);
        for (size_t k : others) {
            in.fringe_names.push_back(o_.inputs[k].c_str());
            in.fringes.push_back(inputs_[k].get());
            in.other_split.push_back(mosaic_name(o_.inputs[k].c_str()));
        }
        in.mask_name = mask < 0 ? nullptr : mask_names_[size_t(mask)].c_str();
        in.mask = mask < 0 ? nullptr : masks_[size_t(mask)].get();
        if (mask >= 0) in.other_split.push_back(mosaic_name(in.mask_name));
        return in;
    }

    // The extensions to make, each one's unit in every exposure and mask.
    int plan()
    {
        std::vector<size_t> others;
        for (size_t k = 1; k < inputs_.size(); k++) others.push_back(k);
        const Inputs in = as_checked(others, -1);
        std::string problem = inputs_problem(in);
        // Exposures of several planes per CCD: the frame of their SCI planes.
        std::string extname = o_.extname, note;
        if (problem.empty() && extname.empty()) {
            extname = default_planes(in.science_name, in.science, &note, &problem, "making the frame of");
            if (!note.empty() && !o_.quiet) std::fprintf(messages_, "%s%s: %s\n", MKFRINGE_PREFIX, in.science_name, note.c_str());
        }
        extname_ = extname;
        if (problem.empty()) units_ = plan_extensions(in, extname, &problem);
        if (problem.empty()) problem = plan_problem(in, units_);
        if (problem.empty() && units_.empty()) problem = file_line(in.science_name, "no image extension to make");
        if (!problem.empty()) return refuse(own_line(problem).substr(sizeof MKFRINGE_PREFIX - 1) + NOTHING_DONE);
        mask_units_.assign(units_.size(), {});
        for (size_t m = 0; m < masks_.size(); m++) {
            const Inputs checked = as_checked({}, int(m));
            std::vector<PlannedUnit> units;
            problem = inputs_problem(checked);
            if (problem.empty()) units = plan_extensions(checked, extname_, &problem);
            if (problem.empty()) problem = plan_problem(checked, units);
            if (!problem.empty()) return refuse(own_line(problem).substr(sizeof MKFRINGE_PREFIX - 1) + NOTHING_DONE);
            for (size_t i = 0; i < units_.size(); i++) mask_units_[i].push_back(units[i].units.back());
        }
        g_ = fit_geometry(inputs_[0].get(), 0, units_[0].science);
        return 0;
    }

    // Where the output is an exposure or a mask (another name of it, too), it
    // would be replaced while it is read.
    int refuse_an_input_as_output() const
    {
        struct stat st;
        if (stat(o_.output.c_str(), &st) != 0) return 0;
        for (size_t k = 0; k < inputs_.size() + masks_.size(); k++) {
            const MosaicFile *f = (k < inputs_.size() ? inputs_[k] : masks_[k - inputs_.size()])->file;
            if (f->dev == st.st_dev && f->ino == st.st_ino)
                return refuse(o_.output + ": the same file as the input " +
                              (k < inputs_.size() ? o_.inputs[k] : mask_names_[k - inputs_.size()]) + NOTHING_DONE);
        }
        return 0;
    }

    // The output's size, and where each extension's header goes.
    int64_t layout()
    {
        int64_t at = int64_t(primary_header().size());
        for (size_t i = 0; i < units_.size(); i++) {
            offsets_.push_back(at);
            at += int64_t(extension_header(i, 0).size()) + (int64_t(g_.npix) * 4 + BLOCK - 1) / BLOCK * BLOCK;
        }
        return at;
    }

    std::string primary_header() const;
    std::string extension_header(size_t i, int64_t zeroed) const;
    bool make_all(int fd, std::string *problem);
    bool make_one(size_t i, std::vector<std::vector<unsigned char>> &masks, int fd, std::string *problem);
    void print_table() const;

    const MakeOptions &o_;
    std::FILE *table_, *messages_;
    std::vector<std::string> mask_names_;
    std::string extname_; // the planes made: --extname, or SCI of a file of several
    std::vector<OwnedMosaic> inputs_, masks_;
    std::vector<PlannedUnit> units_;           // each extension's unit in the first exposure, then in the others
    std::vector<std::vector<int>> mask_units_; // each extension's unit in each mask
    FitGeometry g_{};
    std::vector<int64_t> offsets_;
    struct Made {
        std::vector<InputSky> skies;
        FrameCounts counts;
        std::string problem;
    };
    std::vector<Made> made_;
    const std::string time_ = record_time();
};

// The first exposure's primary header without its data, with the record of how
// the frame was made.
std::string Maker::primary_header() const
{
    std::vector<std::string> cards;
    static constexpr std::string_view dropped[] = {"BSCALE", "BZERO", "BLANK", "EXTEND", "CHECKSUM", "DATASUM"};
    for (std::string_view c : cards_before_end(header_blocks(inputs_[0].get(), 0))) {
        const std::string key = keyword_of(c);
        const bool axis = key.rfind("NAXIS", 0) == 0 && key.size() > 5;
        if (axis || is_record_keyword(c.substr(0, 8)) || key.rfind("FRGM", 0) == 0 || key.rfind("FRGSRC", 0) == 0 ||
            std::find(std::begin(dropped), std::end(dropped), key) != std::end(dropped))
            continue;
        if (key == "NAXIS") {
            cards.push_back(card_text("NAXIS", integer_value(0), "no data: the frame is in the extensions"));
            cards.push_back(card_text("EXTEND", logical_value(true), "extensions follow"));
            continue;
        }
        cards.emplace_back(c);
    }
    const MakerSettings &s = o_.maker;
    cards.push_back(card_text("FRGMDATE", quoted_value(time_), std::string("fringe frame made by tolv-mkfringe ") +
                                                                  tolv_version()));
    cards.push_back(card_text("FRGMNCOM", integer_value(int64_t(inputs_.size())), "exposures combined"));
    cards.push_back(card_text("FRGMMETH", quoted_value(s.combine == CombineMethod::median ? "MEDIAN" : "MEAN"),
                              "how the exposures were combined per pixel"));
    if (s.combine == CombineMethod::mean)
        cards.push_back(card_text("FRGMREJ", real_value(s.reject), "mean: values beyond this many sigma left out"));
    cards.push_back(card_text("FRGMMINI", integer_value(s.min_inputs), "fewer values: the pixel is 0"));
    cards.push_back(card_text("FRGMOSIG", real_value(s.object_sigma), "sources: above this many robust sigma"));
    cards.push_back(card_text("FRGMGROW", integer_value(s.grow), "sources grown by this many pixels"));
    cards.push_back(card_text("FRGMNORM", logical_value(s.normalize), "residuals divided by the sky level"));
    cards.push_back(card_text("FRGMITER", integer_value(s.sky.iterations), "clipped fits of each sky"));
    cards.push_back(card_text("FRGMCLIP", real_value(s.sky.clip), "the sky fit's clip in sigma"));
    for (size_t k = 0; k < inputs_.size() && k < 99; k++)
        cards.push_back(card_text(numbered_key("FRGSRC", long(k) + 1), quoted_value(record_file_name(mosaic_path(o_.inputs[k].c_str()))),
                                  "exposure " + std::to_string(k + 1)));
    cards.push_back(card_text("CHECKSUM", quoted_value("0000000000000000"), "HDU checksum"));
    cards.push_back(card_text("DATASUM", quoted_value("0"), "data unit checksum"));
    std::string h = header_of(cards);
    update_checksums(reinterpret_cast<unsigned char *>(h.data()), int64_t(h.size()), nullptr, 0);
    return h;
}

// Extension i's header: an image of the exposures' size with their EXTNAME,
// EXTVER, DETSEC and DETSIZE, and the pixels set to 0.
std::string Maker::extension_header(size_t i, int64_t zeroed) const
{
    std::vector<std::string> cards = {
        card_text("XTENSION", quoted_value("IMAGE"), "image extension"),
        card_text("BITPIX", integer_value(-32), "IEEE single precision"),
        card_text("NAXIS", integer_value(2), ""),
        card_text("NAXIS1", integer_value(g_.nx), ""),
        card_text("NAXIS2", integer_value(g_.ny), ""),
        card_text("PCOUNT", integer_value(0), ""),
        card_text("GCOUNT", integer_value(1), ""),
    };
    for (std::string_view c : cards_before_end(header_blocks(inputs_[0].get(), units_[i].science))) {
        const std::string key = keyword_of(c);
        if (key == "EXTNAME" || key == "EXTVER" || key == "DETSEC" || key == "DETSIZE") cards.emplace_back(c);
    }
    cards.push_back(card_text("FRGMNCOM", integer_value(int64_t(inputs_.size())), "exposures combined"));
    cards.push_back(card_text("FRGMZERO", integer_value(zeroed), "pixels set to 0: too few values"));
    cards.push_back(card_text("CHECKSUM", quoted_value("0000000000000000"), "HDU checksum"));
    cards.push_back(card_text("DATASUM", quoted_value("0"), "data unit checksum"));
    return header_of(cards);
}

bool Maker::make_all(int fd, std::string *problem)
{
    made_.assign(units_.size(), Made{});
    // A thread holds one extension's residuals (doubles), its frame and the masks.
    const int64_t each = int64_t(g_.npix) * (8 + 4 + int64_t(masks_.size()));
    const int threads = o_.jobs ? o_.jobs : default_workers(units_.size(), each);
    // Each thread's buffers for the masks it reads.
    auto buffers = [this] {
        return std::vector<std::vector<unsigned char>>(masks_.size(), std::vector<unsigned char>(size_t(g_.npix)));
    };
    parallel_for(units_.size(), std::min(threads, int(units_.size())), buffers,
                 [&](size_t i, std::vector<std::vector<unsigned char>> &masks) {
                     make_one(i, masks, fd, &made_[i].problem);
                 });
    for (size_t i = 0; i < units_.size(); i++)
        if (!made_[i].problem.empty()) {
            *problem = made_[i].problem;
            return false;
        }
    return true;
}

bool Maker::make_one(size_t i, std::vector<std::vector<unsigned char>> &masks, int fd, std::string *problem)
{
    const PlannedUnit &u = units_[i];
    std::vector<MakerInput> in(inputs_.size());
    for (size_t m = 0; m < masks_.size(); m++) read_mask(masks[m].data(), masks_[m].get(), mask_units_[i][m], g_.npix);
    for (size_t k = 0; k < inputs_.size(); k++) {
        const int unit = k == 0 ? u.science : u.units[k - 1];
        in[k].science = inputs_[k]->data[unit];
        in[k].mask = masks_.empty() ? nullptr : masks[masks_.size() == 1 ? 0 : k].data();
    }
    std::vector<float> frame(size_t(g_.npix));
    int failed = 0;
    Made &made = made_[i];
    const std::string extension = "extension " + std::to_string(u.science);
    // Each exposure's pages go once read: memory grows with the exposures times
    // a block of rows, not with their extensions.
    auto done = [&](size_t k, int64_t first, int64_t count) {
        mosaic_release(inputs_[k].get(), static_cast<const unsigned char *>(in[k].science) + first * 4, count * 4);
    };
    if (!make_frame_extension(g_, o_.maker, in, frame.data(), &made.skies, &made.counts, problem, &failed, done)) {
        *problem = o_.inputs[size_t(failed)] + ": " + extension + ": " + *problem;
        return false;
    }
    for (size_t k = 0; k < inputs_.size(); k++) mosaic_release_unit(inputs_[k].get(), k == 0 ? u.science : u.units[k - 1]);
    // Sources that stay where they are in most exposures: the exposures were
    // not dithered, and the frame would hold their light.
    const FrameCounts &c = made.counts;
    if (!o_.force && c.sources_any > 0 && 4 * c.sources_most > c.sources_any) {
        char share[32];
        std::snprintf(share, sizeof share, "%.0f%%", 100.0 * double(c.sources_most) / double(c.sources_any));
        *problem = extension + ": " + share + " of the source pixels are sources in more than half of the " +
                   "exposures: they were not dithered (the sources did not move); --force makes the frame anyway";
        return false;
    }
    // The frame's floats turned big-endian where they lie, the data unit's fill
    // zeros after them.
    std::string header = extension_header(i, c.zeroed);
    frame.resize(size_t((int64_t(g_.npix) * 4 + BLOCK - 1) / BLOCK * BLOCK / 4), 0.0f);
    for (float &v : frame) store_be32(&v, std::bit_cast<uint32_t>(v));
    const int64_t data_bytes = int64_t(frame.size()) * 4;
    update_checksums(reinterpret_cast<unsigned char *>(header.data()), int64_t(header.size()),
                     reinterpret_cast<const unsigned char *>(frame.data()), data_bytes);
    if (!pwrite_all(fd, header.data(), int64_t(header.size()), offsets_[i]) ||
        !pwrite_all(fd, frame.data(), data_bytes, offsets_[i] + int64_t(header.size()))) {
        *problem = "writing " + o_.output + " failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

void Maker::print_table() const
{
    std::fprintf(table_, "Extn\tInput\tSky\tSigma\tLeftOut\n----\t-----\t---\t-----\t-------\n");
    for (size_t i = 0; i < units_.size(); i++)
        for (size_t k = 0; k < made_[i].skies.size(); k++) {
            const InputSky &s = made_[i].skies[k];
            std::fprintf(table_, "%d\t%zu\t%f\t%f\t%.4f\n", units_[i].science, k + 1, s.sky, s.sigma,
                         double(s.left_out) / double(g_.npix));
        }
    std::fprintf(table_, "Extn\tCombined\tZeroed\n----\t--------\t------\n");
    for (size_t i = 0; i < units_.size(); i++)
        std::fprintf(table_, "%d\t%lld\t%lld\n", units_[i].science, static_cast<long long>(made_[i].counts.combined),
                     static_cast<long long>(made_[i].counts.zeroed));
}

} // namespace

int run_mkfringe(const MakeOptions &o, std::FILE *table, std::FILE *messages)
{
    return Maker(o, table, messages).run();
}

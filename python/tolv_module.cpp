// The compiled part of the Python module tolv: the fit of one image held in
// memory, the command's whole job on files, and the library's readers.  Arrays
// arrive already checked and laid out by tolv/__init__.py; this side holds the
// C++ that does the work, with the interpreter's lock released meanwhile.
#include "command.h"
#include "exposure_fit.h"
#include "fit_pass.h"
#include "fringe_maker.h"
#include "mkfringe_command.h"
#include "fringefit.h"
#include "journal.h"
#include "messages.h"
#include "options.h"
#include "record.h"

#include <fits.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// A C string ends at its first NUL: a name holding one would open another file.
void refuse_nul(const std::string &text, const char *what)
{
    if (text.find('\0') != std::string::npos) throw std::invalid_argument(std::string(what) + " holds a NUL byte");
}

// The command's options from words as on its command line ("tolv" first); the
// command's own message, without "tolv: ", when they are refused.
Options parsed(std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Options o;
    std::string error;
    if (!parse_options(int(words.size()), argv.data(), &o, &error)) throw std::invalid_argument(error);
    return o;
}

// A text stream in memory, read back as a string.
class TextStream {
  public:
    TextStream() : file_(open_memstream(&text_, &size_))
    {
        if (!file_) throw std::bad_alloc();
    }
    ~TextStream()
    {
        if (file_) std::fclose(file_);
        std::free(text_);
    }
    TextStream(const TextStream &) = delete;
    TextStream &operator=(const TextStream &) = delete;
    std::FILE *file() const { return file_; }
    std::string text()
    {
        std::fflush(file_);
        return std::string(text_ ? text_ : "", size_);
    }

  private:
    char *text_ = nullptr;
    size_t size_ = 0;
    std::FILE *file_;
};

// The table's rows as the fit computed them, as Python numbers: (extn, iter,
// sigma, npix, (a[1], ..., a[npar])) each; sigma is the float the table prints.
py::list row_numbers(const std::vector<FitRow> &rows)
{
    py::list numbers;
    for (const FitRow &r : rows) {
        const std::vector<double> a(r.a.begin() + (r.a.empty() ? 0 : 1), r.a.end());
        numbers.append(py::make_tuple(r.extn, r.iter, double(r.sigma), r.npix, py::tuple(py::cast(a))));
    }
    return numbers;
}

// Fits one image: nx x ny big-endian floats, the fringe frames likewise, an
// optional mask of bytes (nonzero: left out).  The corrected image as big-endian
// floats and the table's rows (row_numbers); ValueError when the fit cannot be
// solved.
py::tuple remove_fringes(int nx, int ny, py::bytes science, const std::vector<py::bytes> &fringes,
                         py::object mask, std::vector<std::string> settings)
{
    const Options o = parsed(settings);
    const std::string_view sci = science;
    std::vector<std::string_view> frames(fringes.begin(), fringes.end());
    std::string_view mask_bytes;
    if (!mask.is_none()) mask_bytes = mask.cast<py::bytes>();
    const size_t npix = size_t(nx) * size_t(ny);
    if (nx < 1 || ny < 1 || frames.empty() || sci.size() != 4 * npix ||
        (!mask.is_none() && mask_bytes.size() != npix))
        throw std::invalid_argument("the arrays do not hold nx x ny pixels");
    for (const auto &f : frames)
        if (f.size() != 4 * npix) throw std::invalid_argument("the arrays do not hold nx x ny pixels");

    FitGeometry g{nx, ny, int(npix), int(frames.size()), int(frames.size()) + 3};
    ExtensionData x;
    x.extn = 1;
    x.science = sci.data();
    for (const auto &f : frames) x.fringes.push_back(f.data());
    x.mask = mask.is_none() ? nullptr : reinterpret_cast<const unsigned char *>(mask_bytes.data());
    std::string corrected(sci), table;
    std::vector<FitRow> rows;
    FitOutcome outcome;
    {
        py::gil_scoped_release unlocked;
        ExtensionFitter fitter(g, o.fit);
        outcome = fitter.fit(x, table);
        if (outcome == FitOutcome::fitted) fitter.store(corrected.data(), 0, int(npix));
        rows = fitter.fit_rows();
    }
    if (outcome == FitOutcome::singular) throw std::invalid_argument(CLIPPED_AWAY_TEXT);
    return py::make_tuple(py::bytes(corrected), row_numbers(rows));
}

// Fits the images of an exposure together (one amplitude per fringe frame over
// all of them): sciences[e] nx x ny big-endian floats, fringes[e] its frames,
// masks[e] None or bytes.  The corrected images and the table's rows, extension
// e + 1 for image e; ValueError when the fit cannot be solved.
py::tuple remove_fringes_exposure(int nx, int ny, const std::vector<py::bytes> &sciences,
                                  const std::vector<std::vector<py::bytes>> &fringes, const std::vector<py::object> &masks,
                                  std::vector<std::string> settings)
{
    const Options o = parsed(settings);
    const size_t npix = size_t(nx) * size_t(ny), count = sciences.size();
    if (nx < 1 || ny < 1 || count == 0 || fringes.size() != count || masks.size() != count || fringes[0].empty())
        throw std::invalid_argument("one set of fringe frames and one mask (or None) per image is needed");
    std::vector<std::string_view> sci(sciences.begin(), sciences.end()), mask_bytes(count);
    std::vector<std::vector<std::string_view>> frames(count);
    for (size_t e = 0; e < count; e++) {
        frames[e].assign(fringes[e].begin(), fringes[e].end());
        if (!masks[e].is_none()) mask_bytes[e] = masks[e].cast<py::bytes>();
        bool whole = sci[e].size() == 4 * npix && frames[e].size() == frames[0].size() &&
                     (masks[e].is_none() || mask_bytes[e].size() == npix);
        for (const auto &f : frames[e]) whole = whole && f.size() == 4 * npix;
        if (!whole) throw std::invalid_argument("the arrays do not hold nx x ny pixels");
    }
    FitGeometry g{nx, ny, int(npix), int(frames[0].size()), int(frames[0].size()) + 3};
    auto data = [&](size_t e, std::vector<unsigned char> &) {
        ExtensionData x;
        x.extn = int(e) + 1;
        x.science = sci[e].data();
        for (const auto &f : frames[e]) x.fringes.push_back(f.data());
        x.mask = masks[e].is_none() ? nullptr : reinterpret_cast<const unsigned char *>(mask_bytes[e].data());
        return x;
    };
    std::vector<std::string> corrected(sci.begin(), sci.end());
    ExposureFit fit;
    bool fitted;
    {
        py::gil_scoped_release unlocked;
        fitted = exposure_fit(g, o.fit, count, 1, data, nullptr, &fit, false);
        std::vector<unsigned char> none;
        for (size_t e = 0; fitted && e < count; e++)
            store_corrected(g, data(e, none), fit.models[e].data(), corrected[e].data(), 0, int(npix));
    }
    if (!fitted)
        throw std::invalid_argument(fit.singular_extn ? "image " + std::to_string(fit.singular_extn - 1) + ": " +
                                                            CLIPPED_AWAY_TEXT
                                                      : std::string(EXPOSURE_UNSOLVABLE_TEXT));
    py::list images, rows;
    for (size_t e = 0; e < count; e++) {
        images.append(py::bytes(corrected[e]));
        for (const py::handle r : row_numbers(fit.rows[e])) rows.append(r);
    }
    return py::make_tuple(images, rows);
}

// The fringe frame of one extension from the exposures' images: images[k] nx x
// ny big-endian floats, masks[k] None or npix bytes; the settings as the maker
// takes them.  The frame (host-order float32 bytes), per exposure (sky, ax, ay,
// sigma, usable, left_out), and (combined, zeroed, sources_any, sources_most);
// ValueError naming the exposure whose sky cannot be fitted.
py::tuple make_fringe_frame(int nx, int ny, const std::vector<py::bytes> &images, const std::vector<py::object> &masks,
                            double object_sigma, int grow, bool normalize, const std::string &combine, double reject,
                            int min_inputs, std::vector<std::string> settings)
{
    const Options o = parsed(settings);
    const size_t npix = size_t(nx) * size_t(ny);
    if (nx < 1 || ny < 1 || images.empty() || masks.size() != images.size())
        throw std::invalid_argument("one mask (or None) per image is needed");
    std::vector<std::string_view> pixels(images.begin(), images.end()), mask_bytes(images.size());
    std::vector<MakerInput> inputs(images.size());
    for (size_t k = 0; k < images.size(); k++) {
        if (!masks[k].is_none()) mask_bytes[k] = masks[k].cast<py::bytes>();
        if (pixels[k].size() != 4 * npix || (!masks[k].is_none() && mask_bytes[k].size() != npix))
            throw std::invalid_argument("the arrays do not hold nx x ny pixels");
        inputs[k].science = pixels[k].data();
        inputs[k].mask = masks[k].is_none() ? nullptr : reinterpret_cast<const unsigned char *>(mask_bytes[k].data());
    }
    MakerSettings s;
    s.sky = o.fit;
    s.object_sigma = object_sigma;
    s.grow = grow;
    s.normalize = normalize;
    s.combine = combine == "mean" ? CombineMethod::mean : CombineMethod::median;
    s.reject = reject;
    s.min_inputs = min_inputs;
    const FitGeometry g{nx, ny, int(npix), 0, 3};
    std::vector<float> frame(npix);
    std::vector<InputSky> skies;
    FrameCounts counts;
    std::string problem;
    int failed = 0;
    bool made;
    {
        py::gil_scoped_release unlocked;
        made = make_frame_extension(g, s, inputs, frame.data(), &skies, &counts, &problem, &failed);
    }
    if (!made) throw std::invalid_argument("image " + std::to_string(failed) + ": " + problem);
    py::list per_input;
    for (const InputSky &k : skies) per_input.append(py::make_tuple(k.sky, k.ax, k.ay, k.sigma, k.usable, k.left_out));
    return py::make_tuple(py::bytes(reinterpret_cast<const char *>(frame.data()), npix * 4), per_input,
                          py::make_tuple(counts.combined, counts.zeroed, counts.sources_any, counts.sources_most));
}

// tolv-mkfringe on its words ("tolv-mkfringe", options, files, as bytes or
// str): its exit status, table and messages (bytes), as the command would have
// printed them.
py::tuple make_fringe_file(std::vector<std::string> words)
{
    for (const std::string &w : words) refuse_nul(w, "a word of the command line");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    MakeOptions o;
    std::string error;
    if (!parse_make_options(int(words.size()), argv.data(), &o, &error))
        return py::make_tuple(1, py::bytes(), py::bytes(MKFRINGE_PREFIX + error + "\n"));
    TextStream table, messages;
    int status;
    {
        py::gil_scoped_release unlocked;
        status = run_mkfringe(o, table.file(), messages.file());
    }
    return py::make_tuple(status, py::bytes(table.text()), py::bytes(messages.text()));
}

// The command on its words ("tolv", options, files, as bytes or str): its exit
// status, table and messages (bytes: they name the files as given), as the
// command would have printed them; whether it was refused because another run
// holds the science file; and the table's rows (row_numbers).
py::tuple correct(std::vector<std::string> words)
{
    for (const std::string &w : words) refuse_nul(w, "a word of the command line");
    Options o;
    try {
        o = parsed(words);
    } catch (const std::invalid_argument &e) {
        return py::make_tuple(1, py::bytes(), py::bytes(tool_line(e.what())), false, py::list());
    }
    if (o.files.size() < 2) return py::make_tuple(1, py::bytes(), py::bytes(USAGE), false, py::list());
    TextStream table, messages;
    RunReport report;
    CommandStreams streams;
    streams.table = table.file();
    streams.messages = messages.file();
    streams.fatal_exits = false;
    streams.report = &report;
    int status;
    {
        py::gil_scoped_release unlocked;
        status = run_command(o, streams);
    }
    return py::make_tuple(status, py::bytes(table.text()), py::bytes(messages.text()), report.locked,
                          row_numbers(report.rows));
}

// The path of the journal a run on the science file `name` (bytes or str) keeps,
// as bytes.
py::bytes journal_path_of(const std::string &name)
{
    refuse_nul(name, "the file name");
    return py::bytes(journal_path(name));
}

struct HeadDeleter {
    void operator()(FITSHead h) const { ft_headfree(h, 1); }
};

// The cards of the header a file name (bytes or str) selects, in the library's
// extended syntax; RuntimeError with the reason, which the caller prefixes with
// the name.
std::vector<std::string> read_header(const std::string &name)
{
    refuse_nul(name, "the file name");
    FITSHead head = nullptr;
    char tail[1024];
    bool opened;
    {
        py::gil_scoped_release unlocked;
        File file = ft_fitsheadopen(name.c_str(), &head, tail, int(sizeof tail), "r");
        opened = file != nullptr;
        if (opened) std::fclose(file);
    }
    if (!opened) throw std::runtime_error("not a FITS file the library can read, or no such unit");
    std::unique_ptr<_FITSHead, HeadDeleter> owned(head);
    // A tile-compressed image's header is that of the image it holds, as
    // read_image reads it.
    if (ft_iscompimage(head)) {
        char why[256] = "";
        FITSHead image = ft_compimagehead(head, 0, 0, nullptr, why, int(sizeof why));
        if (!image) throw std::runtime_error(why[0] ? why : "its compressed image cannot be read");
        owned.reset(image);
        head = image;
    }
    std::vector<std::string> cards;
    for (int i = 0; i < head->ncard; i++) cards.emplace_back(head->cards[i].c, 80);
    return cards;
}

// The image a file name (as for read_header) selects as doubles, BSCALE and
// BZERO applied, and its axes NAXIS1, NAXIS2, ...
py::tuple read_image(const std::string &name)
{
    refuse_nul(name, "the file name");
    FITSHead head = nullptr;
    void *data = nullptr;
    void **rows = nullptr;
    int ok;
    {
        py::gil_scoped_release unlocked;
        ok = ft_simpleimageread(name.c_str(), &head, &data, &rows, -64);
    }
    std::unique_ptr<_FITSHead, HeadDeleter> owned(head);
    std::unique_ptr<void, decltype(&std::free)> pixels(data, std::free), view(rows, std::free);
    if (!ok || !head || !head->basic) throw std::runtime_error("no image the library can read");
    std::vector<int64_t> axes(head->basic->naxis, head->basic->naxis + head->basic->naxes);
    const int64_t n = head->basic->datapixls;
    if (n > 0 && !data) throw std::runtime_error("no image the library can read");
    return py::make_tuple(py::bytes(static_cast<const char *>(data), size_t(n > 0 ? n : 0) * sizeof(double)), axes);
}

// The record of a correction as a header holds it (80-character cards, FRGCORR
// first, the time SOURCE_DATE_EPOCH gives when set): the fringe frames' names,
// the coefficients of the last fit (constant, gradients, amplitudes), its sigma
// and pixel count, and the settings.
std::vector<std::string> record_of(const std::vector<std::string> &fringe_names, const std::vector<double> &a,
                                      double sigma, int npix, std::vector<std::string> settings,
                                      int exposure_extensions)
{
    const Options o = parsed(settings);
    if (a.size() != fringe_names.size() + 3) throw std::invalid_argument("one coefficient per fringe frame and 3 more");
    FitRecord r;
    r.time = record_time();
    r.fringe_files = fringe_names;
    r.settings = o.fit;
    r.last.sigma = float(sigma);
    r.last.npix = npix;
    r.last.a.assign(1, 0.0);
    r.last.a.insert(r.last.a.end(), a.begin(), a.end());
    r.exposure_extensions = exposure_extensions;
    return record_card_texts(r);
}

} // namespace

PYBIND11_MODULE(_tolv, m)
{
    m.doc() = "The compiled part of tolv: see the package tolv.";
    py::register_exception<std::invalid_argument>(m, "InvalidArgument", PyExc_ValueError);
    m.def("remove_fringes", &remove_fringes);
    m.def("correct", &correct);
    m.def("read_header", &read_header);
    m.def("read_image", &read_image);
    m.def("journal_path", &journal_path_of);
    m.def("record_cards", &record_of, py::arg("names"), py::arg("a"), py::arg("sigma"), py::arg("npix"),
          py::arg("settings"), py::arg("exposure_extensions") = 0);
    m.def("remove_fringes_exposure", &remove_fringes_exposure);
    m.def("make_fringe_frame", &make_fringe_frame);
    m.def("make_fringe_file", &make_fringe_file);
    m.def("is_record_keyword", [](std::string key) {
        if (key.size() > 8) return false;
        key.resize(8, ' ');
        return is_record_keyword(key);
    });
    m.attr("version") = tolv_version();
    m.attr("default_iterations") = FIT_ITERATIONS;
    m.attr("default_clip") = double(FitSettings{}.clip);
}

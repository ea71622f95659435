// Every option of tolv, through the built binary on real files: what each one
// changes, what it must leave alone, and the refusals of bad command lines.
#include "fit_reference.h"
#include "fringefit.h"
#include "mosaic.h"
#include "options.h"

#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <span>
#include <string>
#include <tuple>
#include <vector>

using namespace unitbytes;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kUsage = "Usage: tolv file fringefile1 ... fringefilen\n";
// After an option given wrong, or too few files named beside options.
const std::string kUsageHinted = kUsage + "Try 'tolv --help'\n";

std::vector<Bytes> contents(const Args &names)
{
    std::vector<Bytes> c;
    for (const auto &n : names) c.push_back(read(n));
    return c;
}

bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }

std::set<std::string> names_in(const TestDir &dir)
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path)) names.insert(entry.path().filename());
    return names;
}

// An IMAGE extension of BITPIX 8 or 16 holding the raw values given.
Unit int_image(int nx, int ny, int bitpix, const std::vector<int> &raw, const Args &extra = {})
{
    Unit u = float_image(nx, ny, {}, extra);
    u.cards[1] = card("BITPIX", std::to_string(bitpix));
    for (int v : raw) {
        if (bitpix == 16) u.data.push_back(static_cast<unsigned char>(unsigned(v) >> 8));
        u.data.push_back(static_cast<unsigned char>(v));
    }
    return u;
}

std::vector<float> host_floats(const Bytes &be)
{
    std::vector<float> px(be.size() / 4);
    for (size_t p = 0; p < px.size(); p++) {
        const uint32_t bits = uint32_t(be[4 * p]) << 24 | uint32_t(be[4 * p + 1]) << 16 | uint32_t(be[4 * p + 2]) << 8 |
                              be[4 * p + 3];
        std::memcpy(&px[p], &bits, 4);
    }
    return px;
}

std::string printed(const std::function<void(std::FILE *)> &print)
{
    std::FILE *f = std::tmpfile();
    print(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += char(c);
    std::fclose(f);
    return text;
}

struct Result {
    std::string table;
    Bytes corrected;
};

// The design-matrix fit in this process with `settings`, on a copy of args[0].
Result straight_fit(const TestDir &dir, const Args &args, FitSettings settings)
{
    const std::string copy = dir.file("straight.fits");
    write(copy, read(args[0]));
    const Mosaic sci = ft_mmapmosaic(copy.c_str(), "rw", 73);
    std::vector<Mosaic> fr;
    for (size_t k = 1; k < args.size(); k++) fr.push_back(ft_mmapmosaic(args[k].c_str(), "r", 73));
    const std::string table = printed([&](std::FILE *out) {
        fringe_fit(sci, fr.data(), int(fr.size()), out, FitPath::straight, nullptr, settings);
    });
    ft_freemosaic(sci);
    for (Mosaic m : fr) ft_freemosaic(m);
    Result r{table, read(copy)};
    std::remove(copy.c_str());
    return r;
}

// tolv in place on a copy of args[0].
Result in_place(const TestDir &dir, Args args)
{
    const std::string copy = dir.file("in-place.fits");
    write(copy, read(args[0]));
    args[0] = copy;
    const ToolRun run = run_tolv(args);
    EXPECT_EQ(outcome(run), outcome({0, run.out, ""}));
    Result r{run.out, read(args[0])};
    std::remove(args[0].c_str());
    return r;
}

// The fault-injection build with TOLV_INJECT set: its exit status, or minus the
// signal that ended it.
int run_injected(const Args &args, const std::string &inject)
{
    Args line;
    const std::vector<char *> argv = exec_argv(line, TOLV_INJECT_BINARY, args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        setenv("TOLV_INJECT", inject.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(97);
    }
    int ws = 0;
    if (pid < 0 || waitpid(pid, &ws, 0) != pid) return 99;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws);
}

// The manual page of the source tree, as its bytes; empty when it cannot be read.
std::string manual_page()
{
    std::ifstream file(std::filesystem::path(TOLV_SOURCE_DIR) / "doc" / "tolv.1");
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A line of roff as the reader sees its words: without its macro, quotes, font
// changes and the escapes that print nothing; "\-" is '-'.
std::string plain_roff(std::string line)
{
    if (line.rfind('.', 0) == 0) line = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    line = std::regex_replace(line, std::regex(R"(\\f[BIRP]|\\%|\\\||\\&)"), "");
    line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    line = std::regex_replace(line, std::regex(R"(\\ |")"), " ");
    return line;
}

// An option of the page's OPTIONS section: the words of its .TP tag, and its
// paragraph as plain text on one line.
struct PageEntry {
    std::vector<std::string> tag;
    std::string text;
};

std::vector<PageEntry> option_entries(const std::string &page)
{
    const size_t from = page.find("\n.SH OPTIONS\n");
    if (from == std::string::npos) return {};
    std::istringstream section(page.substr(from + 1, page.find("\n.SH ", from + 1) - from));
    std::vector<PageEntry> entries;
    bool tag_next = false;
    for (std::string line; std::getline(section, line);) {
        if (line == ".TP") {
            entries.emplace_back();
            tag_next = true;
        } else if (tag_next) {
            std::istringstream words(std::regex_replace(plain_roff(line), std::regex(","), " "));
            for (std::string w; words >> w;) entries.back().tag.push_back(w);
            tag_next = false;
        } else if (!entries.empty()) {
            entries.back().text += plain_roff(line) + " ";
        }
    }
    return entries;
}

// Every match of group 1 of `pattern` in `text`.
std::set<std::string> matches(const std::string &text, const std::string &pattern)
{
    std::set<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i) found.insert((*i)[1]);
    return found;
}

// Where the paragraph of `entry` on the page disagrees with the table: the values
// allowed ("1 to 100", "a positive number") and the default shown.
void compare_values(const OptionEntry &entry, const std::string &text, std::vector<std::string> *wrong)
{
    const std::string name = std::string("--") + entry.long_name;
    std::set<std::string> range, fallback;
    if (entry.check == ValueCheck::whole) range.insert(std::to_string(entry.lo) + " to " + std::to_string(entry.hi));
    if (matches(text, R"((\b[0-9]+ to [0-9]+\b))") != range) wrong->push_back(name + ": the range differs");
    if ((entry.check == ValueCheck::positive) != (text.find("a positive number") != std::string::npos))
        wrong->push_back(name + ": a positive number or not");
    if (entry.shown_default) {
        char number[32];
        std::snprintf(number, sizeof number, "%g", *entry.shown_default);
        fallback.insert(number);
    }
    if (matches(text, R"(\(default ([0-9][0-9.]*)\))") != fallback) wrong->push_back(name + ": the default differs");
}

// Where the OPTIONS section of `page` disagrees with the table of options, one
// line each; none when the two agree.
std::vector<std::string> page_disagreements(const std::string &page)
{
    const std::span<const OptionEntry> table = option_table();
    std::vector<std::string> wrong;
    std::map<std::string, int> entries_of;
    for (const PageEntry &e : option_entries(page)) {
        if (e.tag == std::vector<std::string>{"--"}) continue; // the end of the options, getopt's own
        // Values are named in capitals; a word in lower case is what the option
        // goes with, as the science file in "--recover file".
        std::string long_name, letter;
        std::set<std::string> values, operands;
        for (const std::string &w : e.tag) {
            if (w.rfind("--", 0) == 0) long_name += w.substr(2);
            else if (w.size() == 2 && w[0] == '-') letter += w[1];
            else (std::regex_match(w, std::regex("[A-Z]+")) ? values : operands).insert(w);
        }
        const auto entry = std::find_if(table.begin(), table.end(),
                                       [&](const OptionEntry &s) { return long_name == s.long_name; });
        if (entry == table.end()) {
            wrong.push_back("--" + long_name + ": on the page, not in the table");
            continue;
        }
        entries_of[long_name]++;
        const std::string name = "--" + long_name;
        if (letter != (entry->letter ? std::string(1, entry->letter) : "")) wrong.push_back(name + ": the letter");
        if (values != (entry->value_name ? std::set<std::string>{entry->value_name} : std::set<std::string>{}))
            wrong.push_back(name + ": the value's name");
        if (!operands.empty() && (operands != std::set<std::string>{"file"} || entry->value_name))
            wrong.push_back(name + ": " + *operands.begin());
        compare_values(*entry, e.text, &wrong);
    }
    for (const OptionEntry &s : table)
        if (entries_of[s.long_name] != 1) wrong.push_back(std::string("--") + s.long_name + ": not once on the page");
    return wrong;
}

} // namespace

TEST(options, help_version_and_the_manual_page)
{
    const ToolRun help = run_tolv({"--help"});
    EXPECT_EQ(outcome(help), outcome({0, help.out, ""}));
    EXPECT_EQ(help.out.substr(0, kUsage.size()), kUsage);
    EXPECT_EQ(help.out.find("Try 'tolv --help'"), std::string::npos);
    EXPECT_EQ(outcome(run_tolv({"-h"})), outcome(help));
    const std::regex long_option("--([a-z][a-z-]*)");
    std::set<std::string> in_help;
    for (std::sregex_iterator i(help.out.begin(), help.out.end(), long_option), end; i != end; ++i)
        in_help.insert((*i)[1]);
    EXPECT_EQ(in_help, (std::set<std::string>{"clip", "dry-run", "extname", "help", "iterations", "mask", "output",
                                              "overwrite", "quiet", "table", "version", "force", "no-record", "jobs",
                                              "recover", "drop-journal", "fringe", "per-exposure"}));

    const ToolRun version = run_tolv({"--version"});
    EXPECT_EQ(outcome(version), outcome({0, version.out, ""}));
    EXPECT_EQ(std::regex_match(version.out, std::regex("tolv [0-9]+\\.[0-9]+\\.[0-9]+\n")), true) << version.out;
    EXPECT_EQ(outcome(run_tolv({"-V"})), outcome(version));

    // The manual page names the same long options (roff writes '-' as "\-") and the
    // version tolv reports.
    std::string page = manual_page();
    ASSERT_NE(page, "");
    for (size_t at; (at = page.find("\\-")) != std::string::npos;) page.replace(at, 2, "-");
    std::set<std::string> in_page;
    for (std::sregex_iterator i(page.begin(), page.end(), long_option), end; i != end; ++i) in_page.insert((*i)[1]);
    EXPECT_EQ(in_page, in_help);
    EXPECT_NE(page.find(version.out.substr(0, version.out.size() - 1)), std::string::npos) << version.out;
}

TEST(options, the_manual_page_agrees_with_the_table_of_options)
{
    const std::string page = manual_page();
    ASSERT_NE(page, "");
    EXPECT_EQ(page_disagreements(page), std::vector<std::string>{});
    // Each way the page can drift from the table is found, on a copy of it.
    const std::vector<std::pair<std::string, std::string>> drifts = {
        {"from 1 to 100 (default 5)", "from 1 to 100 (default 6)"},
        {"from 1 to 100 (default 5)", "from 1 to 99 (default 5)"},
        {"extensions at once, 1 to 1024,", "extensions at once, 1 to 512,"},
        {"a positive number (default 2)", "a positive number (default 2.5)"},
        {"a positive number (default 2)", "a number (default 2)"},
        {".BI \\-\\-clip \" K\"", ".BI \\-\\-clip \" X\""},
        {".BI \\-m \" FILE\\fR, \" \"\\-\\-mask \" FILE", ".BI \\-m \" FILE\\fR, \" \"\\-\\-mask \" NAME"},
        {".BR \\-q \", \" \\-\\-quiet", ".BR \\-Q \", \" \\-\\-quiet"},
        {".BR \\-q \", \" \\-\\-quiet", ".B \\-\\-quiet"},
        {".TP\n.B \\-\\-overwrite", ".TP\n.BR \\-w \", \" \\-\\-overwrite"},
        {".TP\n.B \\-\\-force\n", ".TP\n.B \\-\\-forced\n"},
        {".TP\n.B \\-\\-force\n", ""},
        {".TP\n.B \\-\\-force\n", ".TP\n.B \\-\\-force\nText.\n.TP\n.B \\-\\-force\n"},
        {".BI \"\\-\\-recover \" file", ".BI \"\\-\\-recover \" FILE"},
        {".TP\n.B \\-\\-no\\-record", ".TP\n.BI \\-\\-no\\-record \" N\""},
    };
    for (const auto &[from, to] : drifts) {
        std::string drifted = page;
        const size_t at = drifted.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        drifted.replace(at, from.size(), to);
        EXPECT_NE(page_disagreements(drifted), std::vector<std::string>{}) << from << " -> " << to;
    }
}

TEST(options, each_option_sets_its_own_field_and_values_end_at_their_range)
{
    // The error of parsing `words` (empty: none), into *o.
    auto parse = [](std::vector<std::string> words, Options *o) {
        words.insert(words.begin(), "tolv");
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        std::string error;
        const bool parsed = parse_options(int(words.size()), argv.data(), o, &error);
        o->files.clear(); // they point into `words`
        return parsed ? "" : error;
    };
    Options a;
    EXPECT_EQ(parse({"-Vhqn", "--overwrite", "--force", "--no-record", "--iterations=1", "--clip", "0.5", "-e", "SCI",
                     "-mdq.fits", "--table=t.tsv", "-j1024", "s.fits", "f.fits"},
                    &a),
              "");
    EXPECT_EQ(std::tie(a.help, a.version, a.quiet, a.dry_run, a.overwrite, a.force, a.record, a.recover, a.drop_journal),
              std::make_tuple(true, true, true, true, true, true, false, false, false));
    EXPECT_EQ(std::tie(a.fit.iterations, a.fit.clip, a.extname, a.mask, a.table, a.jobs, a.output),
              std::make_tuple(1, 0.5f, std::string("SCI"), std::string("dq.fits"), std::string("t.tsv"), 1024,
                              std::string()));
    Options b, c, d;
    EXPECT_EQ(parse({"--output=o.fits", "--iterations", "100", "--jobs", "1", "s.fits", "f.fits"}, &b), "");
    EXPECT_EQ(std::tie(b.output, b.fit.iterations, b.jobs, b.record), std::make_tuple(std::string("o.fits"), 100, 1, true));
    EXPECT_EQ(std::tie(b.help, b.version, b.quiet, b.dry_run, b.overwrite, b.force, b.fit.clip),
              std::make_tuple(false, false, false, false, false, false, FitSettings{}.clip));
    EXPECT_EQ(parse({"--recover", "s.fits"}, &c), "");
    EXPECT_EQ(std::tie(c.recover, c.drop_journal), std::make_tuple(true, false));
    EXPECT_EQ(parse({"--drop-journal", "s.fits"}, &d), "");
    EXPECT_EQ(std::tie(d.recover, d.drop_journal), std::make_tuple(false, true));

    // Just past each end of a range, named as written when the option has a
    // letter, else by its long name (abbreviated or not).
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--iterations=101"}, "--iterations takes a whole number from 1 to 100, not '101'"},
        {{"--iter", "0"}, "--iterations takes a whole number from 1 to 100, not '0'"},
        {{"-qj1025"}, "-j takes a whole number from 1 to 1024, not '1025'"},
        {{"--jo=0"}, "--jo takes a whole number from 1 to 1024, not '0'"},
        {{"--jobs", "-1"}, "--jobs takes a whole number from 1 to 1024, not '-1'"},
        {{"--cl=-0"}, "--clip takes a positive number, not '-0'"},
        {{"--clip", "3.5e38"}, "--clip takes a positive number, not '3.5e38'"}, // past the largest float
    };
    for (const auto &[words, error] : refused) {
        Options o;
        EXPECT_EQ(parse(words, &o), error) << words[0];
    }
}

TEST(options, bad_command_lines_change_nothing)
{
    TestDir dir;
    const Args args = Scene{8, 6, 2, 1}.write_files(dir);
    const std::string out = dir.file("out.fits");
    const auto before = contents(args);
    const auto listed = names_in(dir);
    // Each command line, and what the line giving the reason must mention.
    const std::vector<std::pair<Args, std::string>> cases = {
        {with({"--bogus"}, args), "--bogus"}, {with({"-x"}, args), "-x"}, {with({"-nz"}, args), "-z"},
        {with({"--clip", "0"}, args), "'0'"}, {with({"--clip", "-1"}, args), "'-1'"},
        {with({"--clip", "x"}, args), "'x'"}, {with({"--clip", "nan"}, args), "'nan'"},
        {with({"--clip=inf"}, args), "'inf'"}, {with({"--clip", "2x"}, args), "'2x'"},
        {with({"--clip", "1e-50"}, args), "'1e-50'"}, // positive, but 0 as a float
        {with({"--iterations", "0"}, args), "'0'"}, {with({"--iterations", "101"}, args), "'101'"},
        {with({"--iterations", "x"}, args), "'x'"}, {with({"--iterations", "2.5"}, args), "'2.5'"},
        {with({"--iterations", "4294967301"}, args), "'4294967301'"}, // 5 if cut to 32 bits
        {{"--clip"}, "--clip"}, {{"-q", "--iterations"}, "--iterations"}, {{"-o"}, "-o"},
        {with({"-n", "-o", out}, args), "--dry-run"}, {with({"-o", out, "--dry-run"}, args), "--output"},
        // Named as written: a long option that takes no value, one whose value is missing.
        {with({"--overwrite=yes"}, args), "option --overwrite takes no value"},
        {with({"--quiet=1"}, args), "option --quiet takes no value"}, {{"--output"}, "option --output needs a value"},
    };
    for (const auto &[argv, names] : cases) {
        const std::string what = argv[0] + " " + (argv.size() > 1 ? argv[1] : "");
        const ToolRun run = run_tolv(argv);
        EXPECT_EQ(outcome(run), outcome({1, "", run.err})) << what;
        const size_t eol = run.err.find('\n');
        ASSERT_NE(eol, std::string::npos) << what;
        EXPECT_EQ(run.err.rfind("tolv: ", 0), 0u) << what << run.err;
        EXPECT_NE(run.err.substr(0, eol).find(names), std::string::npos) << what << run.err;
        EXPECT_EQ(run.err.substr(eol + 1), kUsageHinted) << what;
        EXPECT_EQ(contents(args), before) << what;
        EXPECT_EQ(names_in(dir), listed) << what;
    }
    // Fewer than two file names once the options are read: the usage line, and
    // the hint after it where there was more than one argument.
    for (const Args &argv : std::vector<Args>{{"-q", args[0]}, {"--", args[0]}, {"--clip=3", args[0]}, {"-f", args[1]}})
        EXPECT_EQ(outcome(run_tolv(argv)), outcome({1, "", kUsageHinted})) << argv[0];
    EXPECT_EQ(outcome(run_tolv({"-n"})), outcome({1, "", kUsage}));
    EXPECT_EQ(contents(args), before);
}

TEST(options, double_dash_and_the_first_file_name_end_the_options)
{
    TestDir dir;
    const Args args = Scene{12, 9, 2, 2}.write_files(dir);
    const Result ref = in_place(dir, args);
    const auto cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    write("-x.fits", read(args[0]));
    // The same base name as the fringe frame it stands for, so the record is the same.
    std::filesystem::create_directory("-d");
    write("-d/" + std::filesystem::path(args[2]).filename().string(), read(args[2]));
    const ToolRun refused = run_tolv({"-x.fits", args[1], args[2]});
    EXPECT_EQ(outcome(refused), outcome({1, "", "tolv: unknown option -x\n" + kUsageHinted}));
    EXPECT_EQ(read("-x.fits"), read(args[0]));
    const ToolRun run = run_tolv({"-q", "--", "-x.fits", args[1], args[2]});
    EXPECT_EQ(outcome(run), outcome({0, ref.table, ""}));
    EXPECT_EQ(read("-x.fits"), ref.corrected);
    // After the science file, a name beginning with '-' is a file without "--".
    const ToolRun later = run_tolv({"-q", args[0], args[1], "-d/" + std::filesystem::path(args[2]).filename().string()});
    EXPECT_EQ(outcome(later), outcome({0, ref.table, ""}));
    EXPECT_EQ(read(args[0]), ref.corrected);
    std::filesystem::current_path(cwd);
}

TEST(options, output_is_the_in_place_result_in_a_new_file)
{
    TestDir dir;
    const Args args = Scene{37, 23, 3, 2}.write_files(dir);
    const auto before = contents(args);
    const Result ref = in_place(dir, args);
    const std::string out = dir.file("clean.fits");
    const ToolRun run = run_tolv(with({"-o", out}, args));
    EXPECT_EQ(outcome(run), outcome({0, ref.table, ""}));
    EXPECT_EQ(read(out), ref.corrected);
    EXPECT_EQ(contents(args), before);
    // No journal, no temporary file left beside the result.
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"clean.fits", "fringe0.fits", "fringe1.fits", "science.fits"}));

    const Bytes old = {'o', 'l', 'd', '\n'};
    write(out, old);
    const ToolRun exists_run = run_tolv(with({"--output", out}, args));
    EXPECT_EQ(outcome(exists_run), outcome({1, "", "tolv: " + out + ": the file exists; --overwrite replaces it\n"}));
    EXPECT_EQ(read(out), old);
    // Killed after the last extension, before the copy is put in place: the file
    // it was to replace stays as it was.
    EXPECT_EQ(run_injected(with({"--overwrite", "-o", out}, args), "end:0:kill"), -SIGKILL);
    EXPECT_EQ(read(out), old);
    const ToolRun overwritten = run_tolv(with({"--overwrite", "-o", out}, args));
    EXPECT_EQ(outcome(overwritten), outcome({0, ref.table, ""}));
    EXPECT_EQ(read(out), ref.corrected);
    // The same kill with no file to replace leaves none under the name.  (Where
    // the filesystem makes no unnamed files, the named temporary copy,
    // fresh.fits.tolv-XXXXXX, remains beside it: nothing removes it once the
    // process is killed.)
    const std::string fresh = dir.file("fresh.fits");
    EXPECT_EQ(run_injected(with({"-o", fresh}, args), "end:0:kill"), -SIGKILL);
    EXPECT_EQ(exists(fresh), false);

    const std::string table = dir.file("table.tsv"), copy = dir.file("copy.fits");
    const ToolRun tabled = run_tolv(with({"--table", table, "-o", copy}, args));
    EXPECT_EQ(outcome(tabled), outcome({0, "", ""}));
    EXPECT_EQ(read(table), Bytes(ref.table.begin(), ref.table.end()));
    EXPECT_EQ(read(copy), ref.corrected);
    // A table that cannot be made is found before anything is written.
    const std::string nowhere = dir.file("no/such/folder/t.tsv");
    const ToolRun refused = run_tolv(with({"--table", nowhere}, args));
    EXPECT_EQ(outcome(refused), outcome({1, "", "tolv: " + nowhere + ": No such file or directory\n"}));
    EXPECT_EQ(contents(args), before);
    EXPECT_EQ(exists(args[0] + ".tolv-journal"), false);
    // A table or an output that would land on an input is refused, and no input
    // is emptied on the way; nor is a table file when the run is refused.
    for (const auto &[option, input] : {std::pair<std::string, std::string>{"--table", args[0]},
                                        {"--table", args[1]}, {"-o", args[2]}}) {
        const ToolRun run = run_tolv(with({option, input, "--overwrite"}, args));
        EXPECT_EQ(outcome(run), outcome({1, "", "tolv: " + input + ": the same file as the input " + input +
                                                    "; nothing was done\n"}))
            << option;
        EXPECT_EQ(contents(args), before) << option;
    }
    const std::string kept = dir.file("kept.tsv");
    write(kept, Bytes{'k', 'e', 'e', 'p'});
    EXPECT_EQ(run_tolv(with({"--table", kept}, {dir.file("absent.fits"), args[1]})).status, 1);
    EXPECT_EQ(read(kept), (Bytes{'k', 'e', 'e', 'p'}));
    // A file with nothing left to correct: the table's head goes into the table's
    // file, not to standard output.
    write(args[0], ref.corrected);
    const ToolRun nothing = run_tolv(with({"--table", kept}, args));
    EXPECT_EQ(nothing.status, 0);
    EXPECT_EQ(nothing.out, "");
    const std::string head = ref.table.substr(0, ref.table.find('\n', ref.table.find('\n') + 1) + 1);
    EXPECT_EQ(read(kept), Bytes(head.begin(), head.end()));
    write(args[0], before[0]);
}

TEST(options, dry_run_prints_the_table_and_writes_nothing)
{
    TestDir dir;
    const Args args = Scene{37, 23, 3, 2}.write_files(dir);
    const auto before = contents(args);
    const Result ref = in_place(dir, args);
    const auto listed = names_in(dir);
    for (const char *form : {"-n", "--dry-run", "-qn"}) {
        const ToolRun run = run_tolv(with({form}, args));
        EXPECT_EQ(outcome(run), outcome({0, ref.table, ""})) << form;
        EXPECT_EQ(contents(args), before) << form;
        EXPECT_EQ(names_in(dir), listed) << form; // no journal, nothing else
    }
}

TEST(options, iterations_and_clip_give_the_reference_fit_of_those_settings)
{
    // Gaussian noise on the scene: residuals reach past every threshold tried, so
    // each clip leaves out another set of pixels.
    TestDir dir;
    const Scene scene{41, 29, 2, 2};
    const Args args = scene.write_files(dir);
    std::vector<Unit> units = scene.science();
    std::mt19937 gen(2024);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    for (size_t e = 1; e < units.size(); e++) {
        std::vector<float> px = host_floats(units[e].data);
        for (float &v : px) v += noise(gen);
        units[e].data = floats_be(px);
    }
    write(args[0], file_bytes(units));
    const std::string plain_out = dir.file("plain.fits");
    const ToolRun plain = run_tolv(with({"--no-record", "-o", plain_out}, args));
    EXPECT_EQ(outcome(plain), outcome({0, plain.out, ""}));
    const std::vector<std::pair<Args, FitSettings>> cases = {
        {{"--iterations", "3", "--clip", "2.5"}, {3, 2.5f}}, {{"--iterations=1", "--clip=4"}, {1, 4.0f}},
        {{"--clip", "1.5", "--iterations", "7"}, {7, 1.5f}}, {{"--clip", "3"}, {5, 3.0f}},
        {{"--iterations", "5", "--clip", "2"}, {5, 2.0f}},
    };
    for (const auto &[options, settings] : cases) {
        const std::string what = options[0] + " " + options[1];
        const std::string out = dir.file("out.fits");
        std::remove(out.c_str());
        // The fit in this process writes no record: neither does this run.
        const ToolRun run = run_tolv(with(with(options, {"--no-record", "-o", out}), args));
        const Result expected = straight_fit(dir, args, settings);
        EXPECT_EQ(outcome(run), outcome({0, expected.table, ""})) << what;
        EXPECT_EQ(read(out), expected.corrected) << what;
        const int n = settings.iterations;
        const auto rows = rows_of(run.out);
        ASSERT_EQ(rows.size(), size_t(scene.extensions * n)) << what;
        for (size_t r = 0; r < rows.size(); r++) {
            EXPECT_EQ(rows[r][0], std::to_string(1 + int(r) / n)) << what;
            EXPECT_EQ(rows[r][1], std::to_string(int(r) % n)) << what;
        }
        // Only the defaults give what a run without options gives.
        const bool defaults = n == 5 && settings.clip == 2.0f;
        EXPECT_EQ(run.out == plain.out, defaults) << what;
        EXPECT_EQ(read(out) == read(plain_out), defaults) << what;
    }
}

// The mosaics of the --extname test.  Per CCD v: SCI (floats), VAR (floats), DQ
// (BITPIX 16), all EXTVER v; the fringe files hold SCI frames only, in other
// orders, each CCD's its own.
struct ExtnameScene {
    static constexpr int nx = 23, ny = 17, npix = nx * ny;
    std::vector<Unit> mosaic = {primary()}, alone = {primary()}; // alone: the SCI units only

    static std::vector<float> fringe(int k, int v)
    {
        std::vector<float> px(static_cast<size_t>(npix));
        for (int p = 0; p < npix; p++) px[size_t(p)] = fringe_value(k, p % nx + 5 * v, p / nx + 3 * k * v);
        return px;
    }

    ExtnameScene()
    {
        const Args sci_names = {"'SCI'", "'sci         '", "'Sci     '"};
        std::mt19937 gen(5);
        std::normal_distribution<float> noise(0.0f, 2.0f);
        for (int v = 1; v <= 3; v++) {
            std::vector<float> sci(static_cast<size_t>(npix)), var(static_cast<size_t>(npix));
            std::vector<int> dq(static_cast<size_t>(npix));
            const auto f0 = fringe(0, v), f1 = fringe(1, v);
            for (size_t p = 0; p < sci.size(); p++) {
                sci[p] = 300.0f * float(v) + 0.1f * float(p % nx) + 25.0f * f0[p] + 9.0f * float(v) * f1[p] + noise(gen);
                var[p] = sci[p] / 4.0f;
                dq[p] = p % 37 == 0 ? 4 : 0;
            }
            const std::string ver = std::to_string(v);
            mosaic.push_back(float_image(nx, ny, sci, {card("EXTNAME", sci_names[size_t(v - 1)]), card("EXTVER", ver)}));
            alone.push_back(mosaic.back());
            mosaic.push_back(float_image(nx, ny, var, {card("EXTNAME", str("VAR")), card("EXTVER", ver)}));
            mosaic.push_back(int_image(nx, ny, 16, dq, {card("EXTNAME", str("DQ")), card("EXTVER", ver)}));
        }
    }

    // Fringe frame k, its CCDs in `order`.
    static Bytes fringe_file(int k, const std::vector<int> &order)
    {
        std::vector<Unit> units = {primary()};
        for (int v : order)
            units.push_back(float_image(nx, ny, fringe(k, v), {card("EXTNAME", str(v == 2 ? "sci" : "SCI")),
                                                               card("EXTVER", std::to_string(v))}));
        return file_bytes(units);
    }
};

TEST(options, extname_corrects_the_named_extensions_found_by_extver)
{
    const ExtnameScene scene;
    const std::vector<Unit> &mosaic = scene.mosaic, &alone = scene.alone;
    const auto fringe_file = ExtnameScene::fringe_file;
    TestDir dir;
    const Args args = {dir.file("mosaic.fits"), dir.file("f0.fits"), dir.file("f1.fits")};
    // The fringe frames of the run on SCI alone have the same base names, so the
    // records of the two runs are the same.
    std::filesystem::create_directory(dir.file("alone"));
    const Args alone_args = {dir.file("alone.fits"), dir.file("alone/f0.fits"), dir.file("alone/f1.fits")};
    write(args[1], fringe_file(0, {3, 1, 2}));
    write(args[2], fringe_file(1, {2, 3, 1}));
    write(alone_args[0], file_bytes(alone));
    write(alone_args[1], fringe_file(0, {1, 2, 3}));
    write(alone_args[2], fringe_file(1, {1, 2, 3}));
    const ToolRun alone_run = run_tolv(alone_args);
    ASSERT_EQ(alone_run.status, 0) << alone_run.err;
    const Bytes alone_after = read(alone_args[0]);

    // Expected: each SCI unit as the run on SCI alone left it, the rest as it was;
    // the rows numbered as the mosaic numbers its extensions (v -> 3v - 2).
    Bytes expected;
    for (size_t u = 0, at = 0; u < mosaic.size(); u++) {
        const Bytes b = unit_bytes(mosaic[u]);
        const bool sci = u % 3 == 1;
        expected.insert(expected.end(), sci ? alone_after.begin() + long(at) : b.begin(),
                        sci ? alone_after.begin() + long(at + b.size()) : b.end());
        if (u == 0 || sci) at += b.size();
    }
    std::string expected_table;
    std::istringstream lines(alone_run.out);
    for (std::string line; std::getline(lines, line);) {
        if (std::isdigit(static_cast<unsigned char>(line[0]))) {
            const size_t tab = line.find('\t');
            line = std::to_string(3 * std::stoi(line.substr(0, tab)) - 2) + line.substr(tab);
        }
        expected_table += line + "\n";
    }
    const Bytes original = file_bytes(mosaic);
    const auto fringes_before = contents({args[1], args[2]});
    for (const char *name : {"SCI", "sci", "SCI  "}) {
        write(args[0], original);
        const ToolRun run = run_tolv(with({"--extname", name}, args));
        EXPECT_EQ(outcome(run), outcome({0, expected_table, ""})) << name;
        EXPECT_EQ(read(args[0]) == expected, true) << name;
        EXPECT_EQ(contents({args[1], args[2]}), fringes_before) << name;
    }

    // Refused before anything is written: a name no extension has, a fringe file
    // without EXTVER 2.
    write(args[0], original);
    const ToolRun unnamed = run_tolv(with({"-e", "WHT"}, args));
    EXPECT_EQ(outcome(unnamed), outcome({1, "", "tolv: " + args[0] + ": no image extension has EXTNAME 'WHT'\n"}));
    write(args[2], fringe_file(1, {3, 1}));
    const ToolRun missing = run_tolv(with({"-e", "SCI"}, args));
    EXPECT_EQ(outcome(missing), outcome({1, "", "tolv: " + args[2] + ": no image extension with EXTNAME 'SCI' and "
                                                "EXTVER 2 (for extension 4 of " + args[0] + ")\n"}));
    EXPECT_EQ(read(args[0]), original);
    EXPECT_EQ(exists(args[0] + ".tolv-journal"), false);
}

// The flags of the mask test's extensions 1 to 3 (index 0 unused), npix each:
// about one pixel in seven, and the pixels of `ray` in extension 1.
std::vector<std::vector<unsigned char>> mask_flags(int npix, const std::vector<int> &ray)
{
    std::vector<std::vector<unsigned char>> flags(4, std::vector<unsigned char>(size_t(npix), 0));
    for (int e = 1; e <= 3; e++)
        for (int p = 0; p < npix; p++) flags[size_t(e)][size_t(p)] = (p * 13 + e * 5) % 7 == 0;
    for (int p : ray) flags[1][size_t(p)] = 1;
    return flags;
}

// The table and the file of the design-matrix fit of the science file args[0]
// (three extensions, `original` its bytes) and fringe frames args[1], args[2], in
// this process, with the pixels that flags[e] marks left out of extension e.
void masked_reference(const Args &args, const Bytes &original, const std::vector<std::vector<unsigned char>> &flags,
                      std::string *table, Bytes *expected)
{
    const Mosaic sci = ft_mmapmosaic(args[0].c_str(), "r", 73);
    const Mosaic fr[2] = {ft_mmapmosaic(args[1].c_str(), "r", 73), ft_mmapmosaic(args[2].c_str(), "r", 73)};
    ASSERT_NE(sci, nullptr);
    *table = printed([](std::FILE *out) { print_fit_head(out, 2); });
    *expected = original;
    ExtensionFitter fitter = make_fitter(fit_geometry(sci, 2), FitPath::straight);
    const size_t npix = flags[1].size();
    for (int e = 1; e <= 3; e++) {
        ExtensionData x = extension_data(sci, fr, 2, e);
        x.mask = flags[size_t(e)].data();
        EXPECT_EQ(fitter.fit(x, *table), FitOutcome::fitted);
        const Bytes be = floats_be(std::vector<float>(fitter.corrected(), fitter.corrected() + npix));
        std::copy(be.begin(), be.end(), expected->begin() + mosaic_offset(sci, sci->data[e]));
    }
    ft_freemosaic(sci);
    for (Mosaic m : fr) ft_freemosaic(m);
}

TEST(options, masked_pixels_are_left_out_of_the_fit_and_corrected)
{
    TestDir dir;
    const Scene scene{31, 27, 3, 2};
    const int nx = scene.nx, ny = scene.ny, npix = nx * ny;
    // A bright cosmic ray in extension 1: six pixels of +20000.
    std::vector<Unit> units = scene.science();
    const std::vector<int> ray = {20 * nx + 5, 20 * nx + 6, 20 * nx + 7, 21 * nx + 5, 21 * nx + 6, 21 * nx + 7};
    std::vector<float> px = host_floats(units[1].data);
    for (int p : ray) px[size_t(p)] += 20000.0f;
    units[1].data = floats_be(px);
    const Args args = scene.write_files(dir);
    write(args[0], file_bytes(units));
    const Bytes original = read(args[0]);

    // About 120 pixels an extension and the ray's.  The same flags are written
    // without scaling (BITPIX 8, and BITPIX 16 where negative values count), and
    // as physical values 1 to 3 over BZERO -128 (BITPIX 8) or 32768 (BITPIX 16),
    // where the raw value -BZERO is 0.
    const std::vector<std::vector<unsigned char>> flags = mask_flags(npix, ray);
    auto mask_unit = [&](int e, int bitpix, int zero, int width) {
        std::vector<int> raw(size_t(width * ny));
        for (int p = 0; p < width * ny; p++) {
            const bool on = p < npix && flags[size_t(e)][size_t(p)];
            raw[size_t(p)] = zero ? (on ? 1 + p % 3 : 0) - zero : on ? (bitpix == 8 ? 200 : -1 - p % 5) : 0;
        }
        return int_image(width, ny, bitpix, raw, zero ? Args{card("BZERO", std::to_string(zero))} : Args{});
    };
    const std::string mask = dir.file("dq.fits"), scaled = dir.file("dq-bzero.fits"), narrow = dir.file("narrow.fits");
    write(mask, file_bytes({primary(), mask_unit(1, 8, 0, nx), mask_unit(2, 16, 0, nx), mask_unit(3, 16, 0, nx)}));
    write(scaled, file_bytes({primary(), mask_unit(1, 8, -128, nx), mask_unit(2, 16, 32768, nx),
                              mask_unit(3, 16, 32768, nx)}));
    write(narrow, file_bytes({primary(), mask_unit(1, 8, 0, nx), mask_unit(2, 16, 0, nx - 1), mask_unit(3, 8, 0, nx)}));

    const ToolRun refused = run_tolv(with({"--mask", narrow}, args));
    EXPECT_EQ(outcome(refused), outcome({1, "", "tolv: " + narrow + ": extension 2: expected an integer image of "
                                                "31 x 27 pixels, found BITPIX 16, 30 x 27 pixels\n"}));
    EXPECT_EQ(read(args[0]), original);
    EXPECT_EQ(exists(args[0] + ".tolv-journal"), false);
    // A BITPIX that is no FITS integer type: its elements could not be read.
    Unit odd = mask_unit(2, 8, 0, nx);
    for (auto &c : odd.cards)
        if (c.compare(0, 8, "BITPIX  ") == 0) c = card("BITPIX", "7");
    write(narrow, file_bytes({primary(), mask_unit(1, 8, 0, nx), odd, mask_unit(3, 8, 0, nx)}));
    EXPECT_EQ(outcome(run_tolv(with({"--mask", narrow}, args))),
              outcome({1, "", "tolv: " + narrow + ": extension 2: expected an integer image of 31 x 27 pixels, "
                              "found BITPIX 7, 31 x 27 pixels\n"}));
    EXPECT_EQ(read(args[0]), original);

    // Expected: the design-matrix fit of each extension with those pixels masked.
    std::string table;
    Bytes expected;
    ASSERT_NO_FATAL_FAILURE(masked_reference(args, original, flags, &table, &expected));

    for (const std::string &m : {mask, scaled}) {
        write(args[0], original);
        const auto others = contents({args[1], args[2], m});
        const ToolRun run = run_tolv(with({"--no-record", "-m", m}, args));
        EXPECT_EQ(outcome(run), outcome({0, table, ""})) << m;
        const Bytes after = read(args[0]);
        EXPECT_EQ(after == expected, true) << m;
        EXPECT_EQ(contents({args[1], args[2], m}), others) << m;
        // Iteration 0 counts every pixel but the masked ones, which are corrected
        // all the same.
        const auto rows = rows_of(run.out);
        ASSERT_EQ(rows.size(), 15u) << m;
        for (int e = 1; e <= 3; e++) {
            int masked = 0;
            for (unsigned char f : flags[size_t(e)]) masked += f;
            EXPECT_EQ(rows[size_t(5 * (e - 1))][3], std::to_string(npix - masked)) << m << " extension " << e;
        }
        const auto data1 = after.begin() + 2 * 2880; // extension 1's pixels
        const std::vector<float> corrected = host_floats(Bytes(data1, data1 + 4 * npix));
        for (int p : ray) EXPECT_NE(corrected[size_t(p)], px[size_t(p)]) << p;
    }
}

TEST(options, quiet_keeps_notes_off_standard_error)
{
    // A dead CCD (extension 2 all NaN) and stray bytes after the last unit: two notes.
    TestDir dir;
    const Scene scene{16, 12, 3, 1};
    const Args args = scene.write_files(dir);
    std::vector<Unit> units = scene.science();
    units[2].data = floats_be(std::vector<float>(16 * 12, std::nanf("")));
    Bytes bytes = file_bytes(units);
    bytes.insert(bytes.end(), 100, 0);
    const std::string noisy = dir.file("noisy.fits");
    write(noisy, bytes);
    const ToolRun noted = run_tolv({noisy, args[1]});
    EXPECT_EQ(outcome(noted),
              outcome({0, noted.out,
                       "tolv: " + noisy + ": only units 0 to 3 are corrected; the 100 bytes after them are left as they "
                       "are\ntolv: " + noisy + ": extension 2: no pixel has a finite value (a dead CCD?); left as it is\n"}));
    EXPECT_EQ(rows_of(noted.out).size(), 10u);
    for (const char *form : {"-q", "--quiet"}) {
        write(args[0], bytes);
        const ToolRun run = run_tolv(with({form}, args));
        EXPECT_EQ(outcome(run), outcome({0, noted.out, ""})) << form;
        EXPECT_EQ(read(args[0]), read(noisy)) << form;
    }
    // Errors are still reported.
    const std::string absent = dir.file("absent.fits");
    EXPECT_EQ(outcome(run_tolv({"-q", args[0], absent})),
              outcome({1, "", "tolv: " + absent + ": No such file or directory\nCouldn't open file " + absent + "\n"}));
}

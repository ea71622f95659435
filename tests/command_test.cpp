// The command run in this process, as the Python module runs it: what its report
// says beside the table and the messages.  Real files; a run killed by the
// fault-injection build for the journal's rows.
#include "command.h"
#include "interrupted_run.h"
#include "messages.h"
#include "table.h"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace interrupted;

struct InProcess {
    int status = -1;
    std::string table, messages;
    RunReport report;
};

std::string text_of(std::FILE *f)
{
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    return text;
}

InProcess run_here(std::vector<std::string> words)
{
    words.insert(words.begin(), "tolv");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    Options o;
    std::string error;
    EXPECT_TRUE(parse_options(int(argv.size()), argv.data(), &o, &error)) << error;
    InProcess r;
    CommandStreams streams;
    streams.table = std::tmpfile();
    streams.messages = std::tmpfile();
    streams.fatal_exits = false;
    streams.report = &r.report;
    r.status = run_command(o, streams);
    r.table = text_of(streams.table);
    r.messages = text_of(streams.messages);
    return r;
}

// The rows of the report printed as the table prints them: the table without its head.
std::string printed(const std::vector<FitRow> &rows)
{
    std::string text;
    for (const FitRow &row : rows) append_fit_row(text, row.extn, row.iter, row.sigma, row.npix, row.a.data(), int(row.a.size()) - 1);
    return text;
}

std::string without_head(const std::string &table)
{
    size_t at = 0;
    for (int line = 0; line < 2 && at != std::string::npos; line++) at = table.find('\n', at) + 1;
    return table.substr(at);
}

} // namespace

// Every row of the table is in the report as the fit computed it, in order, for
// extensions fitted now and for those an interrupted run finished (the journal's
// rows), with the clip and the iterations of the command line.
TEST(command, report_rows_are_the_table_rows)
{
    TestDir dir;
    const std::vector<std::string> args = write_scene(dir, 48, 40, 4, 2);
    const InProcess fitted = run_here({"-n", "--iterations", "3", "--clip", "2.5", args[0], args[1], args[2]});
    ASSERT_EQ(fitted.status, 0) << fitted.messages;
    EXPECT_EQ(fitted.report.rows.size(), size_t(4 * 3));
    EXPECT_FALSE(fitted.report.locked);
    EXPECT_EQ(printed(fitted.report.rows), without_head(fitted.table));
    for (size_t i = 0; i < fitted.report.rows.size(); i++) {
        EXPECT_EQ(fitted.report.rows[i].extn, int(i / 3) + 1);
        EXPECT_EQ(fitted.report.rows[i].iter, int(i % 3));
        EXPECT_EQ(fitted.report.rows[i].a.size(), size_t(1 + 3 + 2));
    }

    // Killed once extension 2 is recorded as done: the run that finishes it
    // reports extensions 1 and 2 from the journal and fits 3 and 4.
    const Reference ref = reference_run(dir, args);
    Started killed(TOLV_INJECT_BINARY, args, "done:2:kill");
    killed.finish();
    ASSERT_EQ(killed.signal_that_ended(), SIGKILL);
    const InProcess finished = run_here(args);
    ASSERT_EQ(finished.status, 0) << finished.messages;
    EXPECT_EQ(finished.table, ref.table);
    EXPECT_EQ(read(args[0]), ref.corrected);
    EXPECT_EQ(printed(finished.report.rows), without_head(finished.table));
}

// A run refused because another run holds the science file says so in its report;
// other refusals do not.
TEST(command, report_tells_a_held_lock_from_other_refusals)
{
    TestDir dir;
    const std::vector<std::string> args = write_scene(dir, 16, 16, 2, 1);
    const Bytes before = read(args[0]);
    const int held = open(args[0].c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_SH), 0); // a reader holds it: no writer may start
    const InProcess locked = run_here(args);
    EXPECT_EQ(locked.status, 1);
    EXPECT_TRUE(locked.report.locked);
    EXPECT_EQ(locked.messages, file_line(args[0], LOCKED_TEXT) + "\n");
    EXPECT_TRUE(locked.report.rows.empty());
    // A dry run only shares the lock with the reader.
    const InProcess reading = run_here({"-n", args[0], args[1]});
    EXPECT_EQ(reading.status, 0) << reading.messages;
    EXPECT_FALSE(reading.report.locked);
    close(held);
    EXPECT_EQ(read(args[0]), before);

    const InProcess missing = run_here({args[0], dir.file("no-such-fringe.fits")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_FALSE(missing.report.locked);
    EXPECT_EQ(read(args[0]), before);
}

// The journal of an interrupted run, attacked as a careless or hostile user would:
// the file replaced under it, a journal planted by another user or damaged byte by
// byte, a rerun through another name, a kill in the last moments, fringe frames
// copied anew, and the commands that return a file to a consistent state.  Real
// processes killed at the fault-injection points, real files compared byte for byte.
#include "digest.h"
#include "interrupted_run.h"
#include "journal.h"
#include "table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace interrupted;

namespace {

bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }

std::string journal_of(const std::string &science) { return std::filesystem::canonical(science).string() + ".tolv-journal"; }

bool has_mark(const std::string &path) { return getxattr(path.c_str(), "user.tolv.journal", nullptr, 0) >= 0; }

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A run of `args` killed at `point` (POINT:E), which must leave a journal.
void kill_at(const std::vector<std::string> &args, const std::string &point)
{
    Started killed(TOLV_INJECT_BINARY, args, point + ":kill");
    EXPECT_EQ(killed.finish().status, -1) << point;
}

// The bytes of extension e (header and data) of a scene of nx x ny images.
Bytes extension(const Bytes &file, int nx, int ny, int e)
{
    const size_t unit = 2880 + (size_t(nx) * size_t(ny) * 4 + 2879) / 2880 * 2880, at = 2880 + size_t(e - 1) * unit;
    return Bytes(file.begin() + long(at), file.begin() + long(at + unit));
}

// A scene of 40 x 30 images with two fringe frames, and its uninterrupted run.
struct SceneRun {
    TestDir dir;
    std::vector<std::string> args;
    Bytes original;
    Reference ref;
    explicit SceneRun(int extensions)
        : args(write_scene(dir, 40, 30, extensions, 2)), original(read(args[0])), ref(reference_run(dir, args))
    {
    }
};

// The journal a run of `scene` killed once extension 2's pixels were stored
// leaves, built here field by field from the layout journal.cpp's opening comment
// describes (every number 64-bit little-endian), with the journal's random number
// `nonce`: from the science file before the run (`original`) and as the kill left
// it (`killed`), the fringe files and the table of the run.  With four slots
// (this tolv's): extensions 1 and 2 named, 3 staged; with one (an earlier
// tolv's): extension 2.
struct HandBuilt {
    Bytes bytes;
    static void number(Bytes &to, uint64_t v)
    {
        for (int i = 0; i < 8; i++) to.push_back(uint8_t(v >> (8 * i)));
    }
    static void text(Bytes &to, const std::string &s)
    {
        number(to, s.size());
        to.insert(to.end(), s.begin(), s.end());
    }
    static uint64_t digest(const Bytes &b, size_t at, size_t n, uint64_t seed = 0)
    {
        return digest_of(b.data() + at, n, seed);
    }
    static size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }
    // The length of the header at `at`: its cards up to END, in whole blocks.
    static size_t header_length(const Bytes &file, size_t at)
    {
        size_t card = at;
        while (card + 80 <= file.size() && std::string(file.begin() + long(card), file.begin() + long(card + 8)) != "END     ")
            card += 80;
        return round_up(card + 80 - at, 2880);
    }

    HandBuilt(const SceneRun &scene, const Bytes &killed, uint64_t nonce, int extensions, int nx, int ny, int slots)
    {
        const std::vector<std::string> &args = scene.args;
        const size_t data = size_t(nx) * size_t(ny) * 4;
        // The units: the primary, then every extension (offset, header, changed data).
        struct U {
            size_t offset, header, data;
        };
        std::vector<U> units = {{0, header_length(scene.original, 0), 0}};
        size_t capacity = 0;
        for (int e = 1; e <= extensions; e++) {
            const size_t at = e == 1 ? units[0].header : units.back().offset + units.back().header +
                                                             round_up(data, 2880);
            units.push_back({at, header_length(scene.original, at), data});
            capacity = std::max(capacity, units.back().header + data);
        }
        std::string key, names;
        for (size_t k = 1; k < args.size(); k++) {
            const Bytes fringe = read(args[k]);
            char field[40];
            std::snprintf(field, sizeof field, "%016llx:%lld ",
                          static_cast<unsigned long long>(digest(fringe, 0, fringe.size())),
                          static_cast<long long>(fringe.size()));
            key += field;
            if (k > 1) names += ' ';
            names += args[k];
        }
        key += "iterations=5 clip=2.000000 extname= record=1 force=0";
        const size_t record_bytes = round_up(32 + 5 * size_t(fit_row_bound(3 + int(args.size()) - 1)) + 8, 512);

        Bytes &h = bytes;
        h = {'T', 'O', 'L', 'V', 'J', 'R', 'N', uint8_t(slots == 1 ? '2' : '3')};
        number(h, 0); // the header's length, once known
        number(h, nonce);
        number(h, scene.original.size());
        number(h, capacity);
        number(h, uint64_t(extensions));
        number(h, record_bytes);
        number(h, units.size());
        text(h, key);
        text(h, names);
        for (size_t i = 0; i < units.size(); i++) {
            const U &u = units[i];
            for (const uint64_t v : {uint64_t(i), uint64_t(u.offset), uint64_t(u.header), uint64_t(u.data),
                                     digest(scene.original, u.offset, u.header)})
                number(h, v);
        }
        const size_t length = round_up(h.size() + 8, 4096);
        for (int i = 0; i < 8; i++) h[size_t(8 + i)] = uint8_t(uint64_t(length) >> (8 * i));
        number(h, digest(h, 0, h.size()));
        h.resize(length, 0);

        // The slots: each an extension's original header and pixels, after its
        // head or zeros.
        const std::vector<std::pair<int, bool>> held =
            slots == 1 ? std::vector<std::pair<int, bool>>{{2, true}}
                       : std::vector<std::pair<int, bool>>{{1, true}, {2, true}, {3, false}, {0, false}};
        for (const auto &[e, named] : held) {
            const size_t at = h.size();
            if (e) {
                const U &u = units[size_t(e)];
                const size_t saved = u.header + u.data;
                Bytes head;
                for (const uint64_t v : {uint64_t(e), uint64_t(u.offset), uint64_t(saved),
                                         digest(scene.original, u.offset, saved, nonce)})
                    number(head, v);
                number(head, digest(head, 0, head.size(), nonce));
                head.resize(64, 0);
                if (named) h.insert(h.end(), head.begin(), head.end());
                h.resize(at + 64, 0);
                h.insert(h.end(), scene.original.begin() + long(u.offset),
                         scene.original.begin() + long(u.offset + saved));
            }
            h.resize(at + round_up(64 + capacity, 4096), 0);
        }

        // Extension 1's record: its bytes as written, and its rows of the table.
        const U &one = units[1];
        std::string rows;
        for (const std::string &line : table_lines(scene.ref.table))
            if (line.rfind("1\t", 0) == 0) rows += line + "\n";
        Bytes record = {'T', 'O', 'L', 'V', 'D', 'O', 'N', 'E'};
        number(record, 1);
        number(record, Journal::extension_digest(digest(killed, one.offset, one.header),
                                                 digest(killed, one.offset + one.header, one.data)));
        text(record, rows);
        number(record, digest(record, 0, record.size(), nonce));
        const size_t records_at = h.size();
        h.insert(h.end(), record.begin(), record.end());
        h.resize(records_at + size_t(extensions) * record_bytes, 0);
    }

    static std::vector<std::string> table_lines(const std::string &table)
    {
        std::vector<std::string> lines;
        for (size_t at = 0, end; at < table.size(); at = end + 1) {
            end = table.find('\n', at);
            if (end == std::string::npos) end = table.size();
            lines.push_back(table.substr(at, end - at));
        }
        return lines;
    }
};

// Where two byte strings first differ, -1 when they are the same.
long first_difference(const Bytes &a, const Bytes &b)
{
    for (size_t i = 0; i < std::min(a.size(), b.size()); i++)
        if (a[i] != b[i]) return long(i);
    return a.size() == b.size() ? -1 : long(std::min(a.size(), b.size()));
}

} // namespace

// After a kill, the file is replaced by another exposure (cp over it: the same
// inode) or by a copy made before the run (a new inode): the journal's records no
// longer describe the file's bytes, and it is never applied to them.
TEST(journal, never_applied_to_bytes_it_did_not_write)
{
    TestDir dir, other_dir;
    const auto args = write_scene(dir, 40, 30, 4, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    const Bytes other = read(write_scene(other_dir, 40, 30, 4, 2, 99)[0]);
    for (const bool same_inode : {true, false}) {
        write(args[0], original);
        kill_at(args, "half:3");
        ASSERT_TRUE(exists(journal_of(args[0])));
        const Bytes replacement = same_inode ? other : original;
        if (!same_inode) unlink(args[0].c_str());
        write(args[0], replacement);
        const ToolRun again = run_tolv(args);
        EXPECT_EQ(again.status, 1) << same_inode << again.err;
        EXPECT_TRUE(contains(again.err, "does not belong to " + args[0] + " as it is now")) << again.err;
        EXPECT_TRUE(contains(again.err, "`tolv --drop-journal " + args[0] + "`")) << again.err;
        EXPECT_EQ(read(args[0]) == replacement, true) << same_inode;
        EXPECT_TRUE(exists(journal_of(args[0])));
        // The way out the refusal names, then an ordinary run.
        const ToolRun drop = run_tolv({"--drop-journal", args[0]});
        EXPECT_EQ(drop.status, 0) << drop.err;
        EXPECT_FALSE(exists(journal_of(args[0])));
        EXPECT_FALSE(has_mark(args[0]));
        EXPECT_EQ(run_tolv(args).status, 0);
        if (!same_inode) {
            EXPECT_EQ(read(args[0]) == ref.corrected, true);
        }
    }
}

// A journal that another user could have made, beside a file in a folder others
// may write to: refused, never applied; once it is the user's own, it is.
TEST(journal, another_users_journal_is_refused)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    TestDir dir;
    chmod(dir.path.c_str(), 0777);
    const auto args = write_scene(dir, 40, 30, 3, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    for (const auto &name : args) ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    kill_at(args, "half:2");
    const std::string journal = journal_of(args[0]);
    const Bytes killed = read(args[0]);
    struct Case {
        uid_t owner;
        mode_t mode;
        std::string said;
    };
    for (const Case &c : {Case{4242, 0600, "belongs to another user (uid 4242)"},
                          Case{65534, 0666, "can be written by other users"},
                          Case{65534, 0620, "can be written by other users"}}) {
        ASSERT_EQ(chown(journal.c_str(), c.owner, 65534), 0);
        ASSERT_EQ(chmod(journal.c_str(), c.mode), 0);
        const ToolRun run = run_tolv(args, true);
        EXPECT_EQ(run.status, 1) << c.said;
        EXPECT_TRUE(contains(run.err, "the journal " + journal + " " + c.said + "; nothing was done")) << run.err;
        EXPECT_EQ(read(args[0]) == killed, true) << c.said;
    }
    ASSERT_EQ(chown(journal.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(journal.c_str(), 0600), 0);
    const ToolRun own = run_tolv(args, true);
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.out, ref.table);
    EXPECT_EQ(read(args[0]) == ref.corrected, true);
    EXPECT_NE(read(args[0]), original);
}

// A journal cut short or with any one byte changed: either the damage is found
// and nothing is written, or the byte was one the journal never reads and the
// run ends as the uninterrupted one.  Never a wrong file with status 0.
TEST(journal, damage_anywhere_is_found_before_anything_is_written)
{
    const SceneRun scene(3);
    const auto &[dir, args, original, ref] = scene;
    kill_at(args, "half:3");
    const std::string journal = journal_of(args[0]);
    const Bytes killed = read(args[0]), saved = read(journal);
    std::vector<size_t> nonzero;
    for (size_t i = 0; i < saved.size(); i++)
        if (saved[i]) nonzero.push_back(i);
    ASSERT_GT(nonzero.size(), 4096u);
    auto refused_untouched = [&](const std::string &what) {
        const ToolRun run = run_tolv(args);
        if (run.status == 0) {
            EXPECT_EQ(read(args[0]) == ref.corrected, true) << what << " passed with a wrong file";
            return false;
        }
        EXPECT_EQ(run.status, 1) << what;
        EXPECT_TRUE(contains(run.err, "; nothing was done. ")) << what << ": " << run.err;
        EXPECT_EQ(read(args[0]) == killed, true) << what << " changed the file";
        EXPECT_TRUE(exists(journal)) << what << " deleted the journal";
        return true;
    };
    for (const size_t length : {size_t(0), size_t(5), size_t(100), size_t(4096), saved.size() / 2, saved.size() - 1}) {
        write(args[0], killed);
        write(journal, Bytes(saved.begin(), saved.begin() + long(length)));
        EXPECT_TRUE(refused_untouched("cut to " + std::to_string(length))) << length;
    }
    std::mt19937 pick(25);
    int found = 0, flips = 0;
    for (int k = 0; k < 48; k++) {
        // Most flips in bytes written (header, slot head and bytes, records), some anywhere.
        const size_t at = k % 4 == 3 ? pick() % saved.size() : nonzero[pick() % nonzero.size()];
        Bytes damaged = saved;
        damaged[at] ^= uint8_t(1u << (pick() % 8));
        write(args[0], killed);
        write(journal, damaged);
        found += refused_untouched("byte " + std::to_string(at) + " flipped");
        flips += k % 4 != 3;
    }
    // Every byte written is read and checked.
    EXPECT_GE(found, flips);
    // The journal as it was finishes the run.
    write(args[0], killed);
    write(journal, saved);
    const ToolRun run = run_tolv(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read(args[0]) == ref.corrected, true);
    EXPECT_NE(original, ref.corrected);
}

// A file under the journal's name that tolv did not write is neither applied nor
// deleted, by a run or by --drop-journal.
TEST(journal, a_file_named_like_a_journal_is_never_deleted)
{
    TestDir dir;
    const auto args = write_scene(dir, 20, 10, 2, 1);
    const Bytes original = read(args[0]);
    const std::string journal = args[0] + ".tolv-journal";
    for (const std::string &content : {std::string("my notes\n"), std::string("TOLVJRN1 from an older tolv")}) {
        write(journal, Bytes(content.begin(), content.end()));
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(contains(run.err, "nothing was done")) << run.err;
        EXPECT_EQ(read(args[0]), original);
        EXPECT_EQ(read(journal), Bytes(content.begin(), content.end()));
    }
    // Nor a link or a folder under that name.
    unlink(journal.c_str());
    const std::string target = dir.file("elsewhere");
    write(target, Bytes{'x'});
    for (const bool link : {true, false}) {
        ASSERT_EQ(link ? symlink(target.c_str(), journal.c_str()) : mkdir(journal.c_str(), 0700), 0);
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1) << link;
        EXPECT_TRUE(contains(run.err, std::string(link ? "is a symbolic link" : "is a folder") +
                                          "; nothing was done. tolv neither follows nor deletes it"))
            << run.err;
        EXPECT_EQ(read(args[0]), original) << link;
        EXPECT_EQ(link ? unlink(journal.c_str()) : rmdir(journal.c_str()), 0) << link << " was removed";
    }
    EXPECT_EQ(read(target), Bytes{'x'});
    write(journal, Bytes{'h', 'i'});
    const ToolRun drop = run_tolv({"--drop-journal", args[0]});
    EXPECT_EQ(drop.status, 1);
    EXPECT_EQ(drop.err, "tolv: " + args[0] + ": " + journal_of(args[0]) + " is not a tolv journal: tolv does not delete it\n");
    EXPECT_EQ(read(journal), (Bytes{'h', 'i'}));
}

// Interrupted, then run again through another name of the file (a hard link in
// another folder, the file moved): the journal is found through the file's mark.
TEST(journal, a_rerun_through_another_name_finds_the_journal)
{
    TestDir dir, elsewhere;
    const auto args = write_scene(dir, 40, 30, 3, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    for (const bool moved : {false, true}) {
        write(args[0], original);
        kill_at(args, "half:2");
        const std::string first_journal = journal_of(args[0]);
        ASSERT_TRUE(exists(first_journal));
        std::vector<std::string> other = args;
        other[0] = elsewhere.file(moved ? "moved.fits" : "link.fits");
        ASSERT_EQ(moved ? rename(args[0].c_str(), other[0].c_str()) : link(args[0].c_str(), other[0].c_str()), 0);
        // A run that only reads is refused through that name too.
        const ToolRun dry = run_tolv(with({"-n"}, other));
        EXPECT_EQ(dry.status, 1) << dry.err;
        EXPECT_TRUE(contains(dry.err, "an interrupted run left its journal")) << dry.err;
        const ToolRun again = run_tolv(other);
        EXPECT_EQ(again.status, 0) << moved << again.err;
        EXPECT_EQ(again.out, ref.table) << moved;
        EXPECT_EQ(read(other[0]) == ref.corrected, true) << moved;
        EXPECT_FALSE(exists(first_journal));
        EXPECT_FALSE(has_mark(other[0]));
        if (moved) ASSERT_EQ(rename(other[0].c_str(), args[0].c_str()), 0);
        else unlink(other[0].c_str());
    }
}

// A kill once the journal is removed but before the process ends: the same
// command again finds the run completed and corrects nothing twice, even with no
// record in the headers; another command is not taken for it.
TEST(journal, the_same_command_after_the_last_moment_corrects_nothing_twice)
{
    TestDir dir;
    const auto files = write_scene(dir, 40, 30, 3, 2);
    const auto args = with({"--no-record"}, files);
    const Bytes original = read(files[0]);
    const Reference plain = reference_run(dir, files);
    const ToolRun once = run_tolv(args);
    ASSERT_EQ(once.status, 0);
    const Bytes corrected = read(files[0]);
    for (const char *point : {"end:0", "removed:0"}) {
        write(files[0], original);
        kill_at(args, point);
        const ToolRun again = run_tolv(args);
        EXPECT_EQ(again.status, 0) << point << again.err;
        EXPECT_EQ(read(files[0]) == corrected, true) << point << " corrected twice";
        EXPECT_FALSE(exists(journal_of(files[0]))) << point;
        EXPECT_FALSE(has_mark(files[0])) << point;
        // Once that is said, the file is as any other: the next run corrects it again.
        EXPECT_EQ(run_tolv(args).status, 0);
        EXPECT_NE(read(files[0]), corrected) << point;
    }
    // After such a kill, the file put back as it was (under the same inode, so
    // the mark stays) is corrected by the same command, and so by another one.
    for (const bool same : {true, false}) {
        write(files[0], original);
        kill_at(args, "removed:0");
        EXPECT_TRUE(has_mark(files[0]));
        write(files[0], original);
        const ToolRun run = run_tolv(same ? args : files);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read(files[0]) == (same ? corrected : plain.corrected), true) << same;
        if (!same) {
            EXPECT_EQ(run.out, plain.table);
        }
    }
}

// Fringe frames copied again with the same bytes (a new inode) are the same
// inputs; a fringe frame whose bytes changed is not.
TEST(journal, fringe_frames_are_known_by_their_contents)
{
    const SceneRun scene(3);
    const auto &[dir, args, original, ref] = scene;
    kill_at(args, "half:2");
    const Bytes fringe = read(args[1]);
    ASSERT_EQ(unlink(args[1].c_str()), 0);
    write(args[1] + ".new", fringe);
    ASSERT_EQ(rename((args[1] + ".new").c_str(), args[1].c_str()), 0);
    const ToolRun again = run_tolv(args);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, ref.table);
    EXPECT_EQ(read(args[0]) == ref.corrected, true);

    write(args[0], original);
    kill_at(args, "half:2");
    Bytes changed = fringe;
    changed[2880 * 2 + 7] ^= 1;
    write(args[1], changed);
    const ToolRun refused = run_tolv(args);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "an interrupted run with other fringe files")) << refused.err;
    write(args[1], fringe);
    EXPECT_EQ(run_tolv(args).status, 0);
    EXPECT_EQ(read(args[0]) == ref.corrected, true);
}

// --recover after a kill: the extension being written is put back, those done
// stay corrected, and the journal and mark go; the same command then finishes.
// A journal gone by hand is refused until --drop-journal forgets the run.
TEST(journal, recover_and_drop_leave_a_consistent_file)
{
    const SceneRun scene(3);
    const auto &[dir, args, original, ref] = scene;
    kill_at(args, "half:2");
    const ToolRun recover = run_tolv({"--recover", args[0]});
    EXPECT_EQ(recover.status, 0) << recover.err;
    EXPECT_EQ(recover.err, "tolv: " + args[0] +
                               ": extension 2 is put back as it was, extension 1 is corrected and kept; the journal "
                               "is removed\n");
    // The table of what stays corrected: extension 1's rows, as the run printed them.
    EXPECT_EQ(recover.out, ref.table.substr(0, ref.table.find("\n2\t") + 1));
    const Bytes now = read(args[0]);
    EXPECT_EQ(extension(now, 40, 30, 1), extension(ref.corrected, 40, 30, 1));
    EXPECT_EQ(extension(now, 40, 30, 2), extension(original, 40, 30, 2));
    EXPECT_EQ(extension(now, 40, 30, 3), extension(original, 40, 30, 3));
    EXPECT_FALSE(exists(journal_of(args[0])));
    EXPECT_FALSE(has_mark(args[0]));
    EXPECT_EQ(run_tolv(args).status, 0);
    EXPECT_EQ(read(args[0]) == ref.corrected, true);

    write(args[0], original);
    kill_at(args, "half:2");
    ASSERT_EQ(unlink(journal_of(args[0]).c_str()), 0);
    const ToolRun gone = run_tolv(args);
    EXPECT_EQ(gone.status, 1);
    EXPECT_TRUE(contains(gone.err, "is gone (moved or deleted by hand)")) << gone.err;
    const ToolRun drop = run_tolv({"--drop-journal", args[0]});
    EXPECT_EQ(drop.status, 0) << drop.err;
    EXPECT_FALSE(has_mark(args[0]));
    EXPECT_EQ(run_tolv({"--recover", args[0]}).status, 0);
}

// The journal on disk is the layout its comment describes, byte for byte: a run
// killed with a journal of every part (header, slot, a record) leaves the one
// built here field by field; and one built so, with a random number of its own,
// is read and finishes the run as the uninterrupted one, as a journal an earlier
// build of tolv left must.
TEST(journal, bytes_are_the_documented_layout_and_one_built_by_hand_is_finished)
{
    const SceneRun scene(3);
    const auto &args = scene.args;
    kill_at(args, "stored:2");
    const std::string journal = journal_of(args[0]);
    const Bytes killed = read(args[0]), written = read(journal);
    ASSERT_GE(written.size(), 24u);
    uint64_t nonce = 0;
    for (int i = 7; i >= 0; i--) nonce = nonce << 8 | written[size_t(16 + i)];
    const Bytes built = HandBuilt(scene, killed, nonce, 3, 40, 30, 4).bytes;
    EXPECT_EQ(written.size(), built.size());
    EXPECT_EQ(first_difference(written, built), -1);

    for (const int slots : {4, 1}) {
        write(args[0], killed);
        write(journal, HandBuilt(scene, killed, nonce ^ 0x9e3779b97f4a7c15u, 3, 40, 30, slots).bytes);
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 0) << slots << run.err;
        EXPECT_EQ(run.out, scene.ref.table) << slots;
        EXPECT_EQ(read(args[0]) == scene.ref.corrected, true) << slots;
        EXPECT_FALSE(exists(journal)) << slots;
    }
}

// A power cut in the one sync that serves an extension (the record of the one
// before, the head of this one, the bytes of the next, a head cleared): the disk
// may have kept any of those sectors and not the others, while the science file
// is as it was before the sync.  Every such journal finishes the run as the
// uninterrupted one; and one whose second extension named as being written has
// changed is not a journal any run could have left, so it is refused.
TEST(journal, a_power_cut_inside_a_sync_keeps_any_subset_of_its_writes)
{
    const SceneRun scene(4);
    const auto &args = scene.args;
    const std::string journal = journal_of(args[0]);
    Started run(TOLV_INJECT_BINARY, args, "synced:2:stop,done:2:kill");
    ASSERT_TRUE(run.wait_stopped());
    const Bytes before = read(journal), science = read(args[0]);
    kill(run.pid, SIGCONT);
    EXPECT_EQ(run.finish().status, -1);
    const Bytes after = read(journal);
    ASSERT_EQ(before.size(), after.size());
    EXPECT_EQ(read(args[0]) == science, true) << "the file changed within the journal's sync";
    std::vector<size_t> changed; // 512-byte sectors
    for (size_t at = 0; at < after.size(); at += 512)
        if (!std::equal(before.begin() + long(at), before.begin() + long(std::min(at + 512, after.size())),
                        after.begin() + long(at)))
            changed.push_back(at);
    // The record, the head, the staged bytes (many sectors) and the cleared head.
    ASSERT_GE(changed.size(), 4u);
    std::mt19937 pick(27);
    for (int k = 0; k < 20; k++) {
        Bytes mixed = before;
        for (const size_t at : changed)
            if (k == 1 || (k > 1 && pick() % 2))
                std::copy(after.begin() + long(at), after.begin() + long(std::min(at + 512, after.size())),
                          mixed.begin() + long(at));
        write(args[0], science);
        write(journal, mixed);
        const ToolRun again = run_tolv(args);
        EXPECT_EQ(again.status, 0) << k << again.err;
        EXPECT_EQ(again.out, scene.ref.table) << k;
        EXPECT_EQ(read(args[0]) == scene.ref.corrected, true) << k;
        EXPECT_FALSE(exists(journal)) << k;
    }
    // Every sector but the record's: extensions 2 (written) and 3 (its head
    // kept) are both named as being written; 3 changed is damage.
    Bytes without_record = after;
    const size_t records_at = after.size() - 4 * HandBuilt::round_up(32 + 5 * size_t(fit_row_bound(5)) + 8, 512);
    for (const size_t at : changed)
        if (at >= records_at)
            std::copy(before.begin() + long(at), before.begin() + long(at + 512), without_record.begin() + long(at));
    Bytes damaged = science;
    const Bytes three = extension(science, 40, 30, 3);
    damaged[size_t(std::search(damaged.begin(), damaged.end(), three.begin(), three.end()) - damaged.begin()) + 4000] ^= 1;
    write(args[0], damaged);
    write(journal, without_record);
    const ToolRun refused = run_tolv(args);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "names extensions 2 and 3 as being written at once")) << refused.err;
    EXPECT_EQ(read(args[0]) == damaged, true);
}

// Runs of tolv stopped or killed at chosen moments, and what they are compared
// with: a science mosaic with fringe frames, and the run that was not interrupted.
#ifndef TOLV_TESTS_INTERRUPTED_RUN_H
#define TOLV_TESTS_INTERRUPTED_RUN_H

#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace interrupted {

using namespace unitbytes;
using Bytes = std::vector<unsigned char>;

// A started tolv (or its fault-injection build) with stdout and stderr in files.
struct Started {
    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;

    Started(const std::string &binary, const std::vector<std::string> &args, const std::string &inject = "")
    {
        char out_name[] = "/tmp/tolv_out_XXXXXX", err_name[] = "/tmp/tolv_err_XXXXXX";
        out_fd = mkstemp(out_name);
        err_fd = mkstemp(err_name);
        unlink(out_name);
        unlink(err_name);
        Args line;
        const std::vector<char *> argv = exec_argv(line, binary, args);
        pid = fork();
        if (pid == 0) {
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            // Interruptions as a terminal sends them, whatever the test runner ignores.
            for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!inject.empty()) setenv("TOLV_INJECT", inject.c_str(), 1);
            execv(argv[0], argv.data());
            _exit(97);
        }
    }
    ~Started()
    {
        close(out_fd);
        close(err_fd);
    }
    // Waits until the process stops itself (true) or ends (false).
    bool wait_stopped()
    {
        int ws = 0;
        if (waitpid(pid, &ws, WUNTRACED) != pid) return false;
        if (WIFSTOPPED(ws)) return true;
        finished = ws;
        done = true;
        return false;
    }
    // The exit status, -1 for a signal; collects the output.
    ToolRun finish()
    {
        int ws = finished;
        if (!done) waitpid(pid, &ws, 0);
        done = true;
        finished = ws;
        ToolRun r;
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
        r.out = slurp_fd(out_fd);
        r.err = slurp_fd(err_fd);
        return r;
    }
    // The signal that ended the process, 0 when it exited; after finish().
    int signal_that_ended() const { return WIFSIGNALED(finished) ? WTERMSIG(finished) : 0; }
    // True once the process has ended, without collecting it.
    bool ended() const
    {
        siginfo_t info{};
        return done || (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid);
    }
    int finished = 0;
    bool done = false;
};

inline float fringe_wave(int k, int x, int y) { return float(std::sin(0.21 * (k + 1) * x + k) * std::cos(0.13 * y)); }

// A science mosaic of sky, gradients, fringes, noise and a star per extension, and
// its fringe frames, written into dir; the arguments of the command.
inline std::vector<std::string> write_scene(const TestDir &dir, int nx, int ny, int extensions, int nfringe,
                                     unsigned seed = 7)
{
    std::vector<Unit> sci = {primary()};
    std::mt19937 noise(seed);
    std::normal_distribution<float> n(0.0f, 4.0f);
    for (int e = 1; e <= extensions; e++) {
        std::vector<float> px;
        for (int y = 0; y < ny; y++)
            for (int x = 0; x < nx; x++) {
                float v = 900.0f + 5.0f * float(e) + 0.02f * float(x) - 0.03f * float(y) + n(noise);
                for (int k = 0; k < nfringe; k++) v += (30.0f + 4.0f * float(k + e)) * fringe_wave(k, x, y);
                if ((x * 7 + y * 13 + e) % 997 == 0) v += 5000.0f;
                px.push_back(v);
            }
        sci.push_back(float_image(nx, ny, px, {card("EXTVER", std::to_string(e))}));
    }
    std::vector<std::string> args = {dir.file("science.fits")};
    write(args[0], file_bytes(sci));
    for (int k = 0; k < nfringe; k++) {
        std::vector<Unit> fr = {primary()};
        std::vector<float> px;
        for (int y = 0; y < ny; y++)
            for (int x = 0; x < nx; x++) px.push_back(fringe_wave(k, x, y));
        for (int e = 1; e <= extensions; e++) fr.push_back(float_image(nx, ny, px));
        args.push_back(dir.file("fringe" + std::to_string(k) + ".fits"));
        write(args.back(), file_bytes(fr));
    }
    return args;
}

// What an uninterrupted run gives: the table and the science file's bytes.
struct Reference {
    std::string table;
    Bytes corrected;
};

inline Reference reference_run(const TestDir &dir, const std::vector<std::string> &args)
{
    std::vector<std::string> copy = args;
    copy[0] = dir.file("reference.fits");
    write(copy[0], read(args[0]));
    const ToolRun run = run_tolv(copy);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    return {run.out, read(copy[0])};
}

} // namespace interrupted

#endif

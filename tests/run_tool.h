// Runs the built tolv binary as a real subprocess and collects what it printed.
#ifndef TOLV_TESTS_RUN_TOOL_H
#define TOLV_TESTS_RUN_TOOL_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char **environ;

struct ToolRun {
    int status = -1; // exit status, or -1 when the process did not exit normally
    std::string out, err;
};

inline std::string slurp_fd(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    return text;
}

inline ToolRun run_tolv(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    std::string prog = TOLV_BINARY;
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    char out_name[] = "/tmp/tolv_out_XXXXXX", err_name[] = "/tmp/tolv_err_XXXXXX";
    const int out_fd = mkstemp(out_name), err_fd = mkstemp(err_name);
    unlink(out_name);
    unlink(err_name);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    ToolRun run;
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = slurp_fd(out_fd);
    run.err = slurp_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return run;
}

#endif

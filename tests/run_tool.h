// Runs the built tolv binary as a real subprocess and collects what it printed.
#ifndef TOLV_TESTS_RUN_TOOL_H
#define TOLV_TESTS_RUN_TOOL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

// A command line: options, then file names.
using Args = std::vector<std::string>;

inline Args with(Args options, const Args &files)
{
    options.insert(options.end(), files.begin(), files.end());
    return options;
}

// The command line that starts a program this build made: the program itself,
// or, in a cross build, the emulator's command (TOLV_EMULATOR, CMake's
// CMAKE_CROSSCOMPILING_EMULATOR, its words separated by spaces) in front of it.
inline Args program_command(const std::string &program)
{
    Args command;
#ifdef TOLV_EMULATOR
    std::istringstream words(TOLV_EMULATOR);
    for (std::string w; words >> w;) command.push_back(w);
#endif
    command.push_back(program);
    return command;
}

// The same, quoted for /bin/sh.
inline std::string program_shell_words(const std::string &program)
{
    std::string text;
    for (const std::string &w : program_command(program)) text += (text.empty() ? "'" : " '") + w + "'";
    return text;
}

// program_command(program) followed by args, as execv takes it: pointers into
// `line`, which must outlive them, ending in a null.
inline std::vector<char *> exec_argv(Args &line, const std::string &program, const Args &args)
{
    line = with(program_command(program), args);
    std::vector<char *> argv;
    for (auto &a : line) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// The rows of a table split at tabs, without its two head lines.
inline std::vector<Args> rows_of(const std::string &table)
{
    std::vector<Args> rows;
    std::istringstream lines(table);
    std::string line;
    for (int n = 0; std::getline(lines, line); n++) {
        if (n < 2) continue;
        Args fields;
        std::istringstream cells(line);
        for (std::string f; std::getline(cells, f, '\t');) fields.push_back(f);
        rows.push_back(fields);
    }
    return rows;
}

struct ToolRun {
    int status = -1; // exit status, or -1 when the process did not exit normally
    std::string out, err;
};

// A run as one text, so that one comparison shows every difference.
inline std::string outcome(const ToolRun &r)
{
    return "status " + std::to_string(r.status) + "\n[stdout]\n" + r.out + "[stderr]\n" + r.err;
}

inline std::string slurp_fd(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    return text;
}

// Every run of the tool from a test records the same correction time (FRGCORR),
// so that the files of two runs on the same data can be compared byte for byte.
inline const bool record_time_fixed = setenv("SOURCE_DATE_EPOCH", "1765152000", 0) == 0;

// A copy of the tool that any user can run, wherever the build lies (a checkout
// under /root cannot be entered by the user nobody); made once per test process
// and removed when it ends.
inline std::string tolv_for_anyone()
{
    struct Copy {
        std::string dir, binary = TOLV_BINARY;
        Copy()
        {
            char name[] = "/tmp/tolv_bin_XXXXXX";
            if (!mkdtemp(name)) return;
            dir = name;
            chmod(name, 0755);
            const std::string to = dir + "/tolv";
            std::error_code ec;
            std::filesystem::copy_file(TOLV_BINARY, to, ec);
            if (!ec && chmod(to.c_str(), 0755) == 0) binary = to;
        }
        ~Copy()
        {
            std::error_code ec;
            if (!dir.empty()) std::filesystem::remove_all(dir, ec);
        }
    };
    static const Copy copy;
    return copy.binary;
}

// Runs tolv with `args`; with `unprivileged`, a root caller drops to the user
// nobody first, so that file permissions hold as they do for an astronomer.
inline ToolRun run_tolv(const std::vector<std::string> &args, bool unprivileged = false)
{
    const std::string prog = unprivileged && geteuid() == 0 ? tolv_for_anyone() : std::string(TOLV_BINARY);
    Args line;
    const std::vector<char *> argv = exec_argv(line, prog, args);

    char out_name[] = "/tmp/tolv_out_XXXXXX", err_name[] = "/tmp/tolv_err_XXXXXX";
    const int out_fd = mkstemp(out_name), err_fd = mkstemp(err_name);
    unlink(out_name);
    unlink(err_name);
    ToolRun run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(98);
        execv(argv[0], argv.data());
        _exit(97);
    }
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid) run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    run.out = slurp_fd(out_fd);
    run.err = slurp_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return run;
}

#endif

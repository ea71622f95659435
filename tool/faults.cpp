// SIGBUS arrives when a mapped page cannot be read or written; the handler finds
// the mapping and the unit the address lies in and says so with async-signal-safe
// writes only, from tables filled before the fault.  An interruption is reported
// the same way, from the state the run records as it goes.
#include "faults.h"

#include "messages.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// A slot of the table; mosaic null marks it free.  Several runs (threads of one
// process, as the Python module makes them) watch and unwatch at once, and the
// handler reads the table in whichever thread faulted: every field is a
// lock-free atomic, and a slot's name and hint are stored before its mosaic.
struct Watched {
    std::atomic<Mosaic> mosaic{nullptr};
    std::atomic<const char *> name{nullptr};
    std::atomic<const char *> hint{nullptr};
};
static_assert(std::atomic<Mosaic>::is_always_lock_free && std::atomic<const char *>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free, "the handler's loads must take no lock");

constexpr int MAX_WATCHED = 1024;
Watched watched[MAX_WATCHED];
std::atomic<int> nwatched{0};  // slots from here on were never used
std::mutex watching;           // taken by faults_watch and faults_unwatch, never by the handler

void put(const char *text) { (void)!write(2, text, std::strlen(text)); }

// The decimal digits of v >= 0 into text (24 bytes), ended by a null.
void format_number(long long v, char *text)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v > 0 && n < 23);
    for (int i = 0; i < n; i++) text[i] = digits[n - 1 - i];
    text[n] = '\0';
}

void put_number(long long v)
{
    char text[24];
    format_number(v, text);
    put(text);
}

// The unit of m whose bytes (header and data) hold offset, or -1.
int unit_at(Mosaic m, int64_t offset)
{
    for (int i = m->count - 1; i >= 0; i--) {
        const FITSHead h = m->head[i];
        if (!h) continue;
        if (offset >= mosaic_offset(m, h->cards)) return offset < m->file->units_end ? i : -1;
    }
    return -1;
}

// Set by the first thread to take a bus error: a file cut short underneath is
// often met by two threads at once (the fit reading an extension while the
// write-back saves it), and the process says so once.  The others wait for it
// to end the process.
std::atomic<bool> bus_error_taken{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the bus-error handler needs a lock-free flag");

void on_bus_error(int, siginfo_t *info, void *)
{
    if (bus_error_taken.exchange(true))
        for (;;) pause();
    const unsigned char *addr = static_cast<const unsigned char *>(info->si_addr);
    const int n = nwatched.load(std::memory_order_acquire);
    for (int k = 0; k < n; k++) {
        const Mosaic m = watched[k].mosaic.load(std::memory_order_acquire);
        if (!m) continue;
        const char *name = watched[k].name.load(std::memory_order_relaxed);
        const char *hint = watched[k].hint.load(std::memory_order_relaxed);
        // A slot given to another mosaic meanwhile may hold that one's texts.
        if (watched[k].mosaic.load(std::memory_order_acquire) != m) continue;
        const MosaicFile *f = m->file;
        if (!f || !f->map || addr < f->map || addr >= f->map + f->size) continue;
        put(MESSAGE_PREFIX);
        put(name);
        const int unit = unit_at(m, addr - f->map);
        if (unit > 0) {
            put(": extension ");
            put_number(unit);
        } else if (unit == 0) {
            put(": primary unit");
        }
        put(": ");
        put(UNREADABLE_FILE_TEXT);
        put(hint);
        put("\n");
        _exit(1);
    }
    put(MESSAGE_PREFIX);
    put("bus error outside every mapped file\n");
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

sigset_t interruptions()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&set, s);
    return set;
}

// What the run has done, for the line of an interruption: written by the main
// thread as it goes, read by the handler.  Names are copied (cut to fit), so that
// they outlive whatever the caller keeps them in.
constexpr size_t NAME_ROOM = 4096;
bool reporting = false; // set once by faults_install, before any other thread runs
char science_name[NAME_ROOM], output_name[NAME_ROOM];
volatile sig_atomic_t run_kind = -1; // a RunKind, -1 before the run is known
volatile sig_atomic_t run_total = 0, run_done = 0, run_stored = 0, run_complete = 0;

void copy_name(char *to, const char *from)
{
    size_t n = 0;
    for (; from && from[n] && n + 1 < NAME_ROOM; n++) to[n] = from[n];
    to[n] = '\0';
}

// One line built in a fixed buffer (cut short when it would not fit) and written
// at once.
class Line {
  public:
    Line &operator<<(const char *text)
    {
        for (; *text && n_ < sizeof text_; text++) text_[n_++] = *text;
        return *this;
    }
    Line &operator<<(int v)
    {
        char digits[24];
        format_number(v, digits);
        return *this << digits;
    }
    void send() const { (void)!write(2, text_, n_); }

  private:
    char text_[2 * NAME_ROOM + 256];
    size_t n_ = 0;
};

void on_interruption(int sig)
{
    const char *what = sig == SIGINT ? " (SIGINT)" : sig == SIGTERM ? " (SIGTERM)" : " (SIGHUP)";
    Line line;
    line << MESSAGE_PREFIX;
    switch (run_kind) {
    case int(RunKind::in_place):
        line << science_name << ": interrupted" << what;
        if (run_complete) line << " after the run was complete";
        else if (!run_stored && run_done == 0)
            line << "; nothing was changed; run the same command again to correct it";
        else
            line << " with " << int(run_done) << " of " << int(run_total)
                 << (run_total == 1 ? " extension" : " extensions")
                 << " corrected; run the same command again to finish it";
        break;
    case int(RunKind::output):
        line << output_name << ": interrupted" << what;
        if (run_complete) line << " after the run was complete";
        else line << " before it was written; " << science_name << " is untouched";
        break;
    case int(RunKind::dry_run): line << science_name << ": interrupted" << what << "; nothing was written"; break;
    default: line << "interrupted" << what << "; nothing was changed"; break;
    }
    line << "\n";
    line.send();
    // The action is the default one again (SA_RESETHAND) and the signal is not
    // blocked (SA_NODEFER): raised, it ends the process as the parent expects of
    // it (a shell stops a script on SIGINT only when its command died of one).
    raise(sig);
    _exit(128 + sig);
}

} // namespace

void faults_install()
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_bus_error;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
    reporting = true;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start stays so (nohup, a background job).
        struct sigaction was;
        if (sigaction(s, nullptr, &was) != 0 || was.sa_handler == SIG_IGN) continue;
        struct sigaction on;
        std::memset(&on, 0, sizeof on);
        on.sa_handler = on_interruption;
        on.sa_flags = SA_RESETHAND | SA_NODEFER;
        // Another interruption waits while the line is written; the process ends first.
        on.sa_mask = interruptions();
        sigdelset(&on.sa_mask, s);
        sigaction(s, &on, nullptr);
    }
}

void faults_run(RunKind kind, const char *science, const char *output)
{
    if (!reporting) return;
    copy_name(science_name, science);
    copy_name(output_name, output);
    std::atomic_signal_fence(std::memory_order_seq_cst); // the names before the kind that says they are there
    run_kind = int(kind);
}

void faults_plan(int total, int done)
{
    if (!reporting) return;
    run_total = total;
    run_done = done;
}

void faults_progress(RunStep step)
{
    if (!reporting) return;
    switch (step) {
    case RunStep::stored: run_stored = 1; break;
    case RunStep::done: run_done = run_done + 1; break;
    case RunStep::complete: run_complete = 1; break;
    }
}

void faults_watch(Mosaic m, const char *name, const char *hint)
{
    const std::lock_guard<std::mutex> held(watching);
    const int n = nwatched.load(std::memory_order_relaxed);
    int k = 0;
    while (k < n && watched[k].mosaic.load(std::memory_order_relaxed)) k++;
    if (k == MAX_WATCHED) return;
    // The texts first: the handler takes a slot's texts once it sees its mosaic.
    watched[k].name.store(name, std::memory_order_relaxed);
    watched[k].hint.store(hint, std::memory_order_relaxed);
    watched[k].mosaic.store(m, std::memory_order_release);
    if (k == n) nwatched.store(n + 1, std::memory_order_release);
}

void faults_read_through(const void *p, int64_t length)
{
    if (!reporting) return;
    const auto *bytes = static_cast<const volatile unsigned char *>(p);
    const int64_t page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    for (int64_t at = 0; at < length; at += page) (void)bytes[at];
    if (length > 0) (void)bytes[length - 1];
}

void faults_unwatch(Mosaic m)
{
    const std::lock_guard<std::mutex> held(watching);
    const int n = nwatched.load(std::memory_order_relaxed);
    for (int k = 0; k < n; k++)
        if (watched[k].mosaic.load(std::memory_order_relaxed) == m) watched[k].mosaic.store(nullptr, std::memory_order_release);
}

void faults_worker_thread()
{
    const sigset_t set = interruptions();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

HeldSignals::HeldSignals()
{
    const sigset_t hold = interruptions();
    pthread_sigmask(SIG_BLOCK, &hold, &previous);
}

HeldSignals::~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

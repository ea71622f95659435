// SIGBUS arrives when a mapped page cannot be read or written; the handler finds
// the mapping and the unit the address lies in and says so with async-signal-safe
// writes only, from tables filled before the fault.
#include "faults.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

struct Watched {
    Mosaic mosaic;
    const char *name;
    const char *hint;
};

constexpr int MAX_WATCHED = 1024;
Watched watched[MAX_WATCHED];
volatile sig_atomic_t nwatched = 0;

void put(const char *text) { (void)!write(2, text, std::strlen(text)); }

void put_number(long long v)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v > 0 && n < 23);
    char text[24];
    for (int i = 0; i < n; i++) text[i] = digits[n - 1 - i];
    text[n] = '\0';
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

void on_bus_error(int, siginfo_t *info, void *)
{
    const unsigned char *addr = static_cast<const unsigned char *>(info->si_addr);
    for (int k = 0; k < nwatched; k++) {
        const Watched &w = watched[k];
        const MosaicFile *f = w.mosaic->file;
        if (!f || !f->map || addr < f->map || addr >= f->map + f->size) continue;
        put("tolv: ");
        put(w.name);
        const int unit = unit_at(w.mosaic, addr - f->map);
        if (unit > 0) {
            put(": extension ");
            put_number(unit);
        } else if (unit == 0) {
            put(": primary unit");
        }
        put(": the file could not be read or written (cut short by another program, or a disk error)");
        put(w.hint);
        put("\n");
        _exit(1);
    }
    put("tolv: bus error outside every mapped file\n");
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
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
}

void faults_watch(Mosaic m, const char *name, const char *hint)
{
    if (nwatched >= MAX_WATCHED) return;
    watched[nwatched] = {m, name, hint};
    nwatched = nwatched + 1;
}

void faults_unwatch(Mosaic m)
{
    // The handler reads entries [0, nwatched): the count shrinks before the last
    // entry moves into the place of the one forgotten.
    for (int k = nwatched - 1; k >= 0; k--)
        if (watched[k].mosaic == m) {
            const Watched last = watched[nwatched - 1];
            nwatched = nwatched - 1;
            watched[k] = last;
        }
}

namespace {

sigset_t interruptions()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&set, s);
    return set;
}

} // namespace

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

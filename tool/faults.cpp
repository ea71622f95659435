// SIGBUS arrives when a mapped page cannot be read or written; the handler finds
// the mapping and the unit the address lies in and says so with async-signal-safe
// writes only, from tables filled before the fault.
#include "faults.h"

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
        put("tolv: ");
        put(name);
        const int unit = unit_at(m, addr - f->map);
        if (unit > 0) {
            put(": extension ");
            put_number(unit);
        } else if (unit == 0) {
            put(": primary unit");
        }
        put(": the file could not be read or written (cut short by another program, or a disk error)");
        put(hint);
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

void faults_unwatch(Mosaic m)
{
    const std::lock_guard<std::mutex> held(watching);
    const int n = nwatched.load(std::memory_order_relaxed);
    for (int k = 0; k < n; k++)
        if (watched[k].mosaic.load(std::memory_order_relaxed) == m) watched[k].mosaic.store(nullptr, std::memory_order_release);
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

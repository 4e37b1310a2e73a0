// Preloaded into the daemon and everything it starts: the wall clock is
// virtual and every sleep advances it at once, and the modem-control
// requests on a pseudo-terminal act on a simulated DTR line. Each DTR
// change, log call and clock step is appended to the events file as
// "<virtual seconds> <pid> <kind> <details>".
//
// Without VELMORA_SIM_STATE in the environment everything passes through.
#include "sim/state.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

sim_state_t *S;       // the simulated device, DTR line included
sim_state_t *vclock;  // the same when the clock is virtual too, else null
const char *events_path;

constexpr int64_t NS = 1000000000;

__attribute__((constructor)) void attach()
{
    const char *path = getenv(SIM_STATE_ENV);
    events_path = getenv(SIM_EVENTS_ENV);
    if (!path)
        return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    void *p = mmap(nullptr, sizeof(sim_state_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED) {
        S = static_cast<sim_state_t *>(p);
        vclock = S->real_clock ? nullptr : S;
    }
}

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int64_t to_ns(const timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * NS + t.tv_nsec;
}

// Appends one event; keeps errno, which the caller may be about to report.
void record(const char *fmt, ...)
{
    if (!events_path || !S)
        return;
    int saved = errno;
    char line[2048];
    int64_t now = S->now_ns.load();
    if (!vclock) {
        struct timespec t;
        real<int (*)(clockid_t, struct timespec *)>("clock_gettime")(CLOCK_REALTIME, &t);
        now = to_ns(t);
    }
    int n = snprintf(line, sizeof line, "%lld.%09lld %d ", static_cast<long long>(now / NS),
                     static_cast<long long>(now % NS), static_cast<int>(getpid()));
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    // One event per line: a newline inside a message is written as "\n".
    char text[2 * sizeof line + 1];
    size_t len = 0;
    for (const char *c = line; *c; c++) {
        if (*c == '\n')
            text[len++] = '\\';
        text[len++] = *c == '\n' ? 'n' : *c;
    }
    text[len++] = '\n';
    int fd = open(events_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, text, len);
        (void)ignored;
        close(fd);
    }
    errno = saved;
}

void record_log(int priority, const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    char text[1024];
    vsnprintf(text, sizeof text, fmt, copy);
    va_end(copy);
    record("log %d %s", priority, text);
}

[[noreturn]] void park()
{
    int expected = 0;
    S->parked_pid.compare_exchange_strong(expected, getpid());
    record("park");
    for (;;)
        pause();
}

void step(int i)
{
    int64_t from = S->now_ns.load();
    S->now_ns = S->step_to_ns[i];
    S->steps_done = i + 1;
    record("step %lld.%09lld", static_cast<long long>(from / NS), static_cast<long long>(from % NS));
}

// Kills the daemon when the clock would pass the kill time on its way to
// `until`, as if it had crashed there; a script that reaches it runs on.
void kill_on_the_way(int64_t until)
{
    if (!S->kill_at_ns || S->killed || S->kill_at_ns > until)
        return;
    if (S->now_ns < S->kill_at_ns)
        S->now_ns = S->kill_at_ns;
    S->killed = 1;
    record("kill %d", S->daemon_pid.load());
    kill(S->daemon_pid, SIGKILL);
}

// An absolute sleep: ends once the clock has reached `until`, or early when
// a step sets the clock past it.
void sleep_until(int64_t until)
{
    kill_on_the_way(until);
    for (;;) {
        int i = S->steps_done;
        if (i < S->steps && S->step_at_ns[i] <= until) {
            if (S->step_at_ns[i] > S->horizon_ns)
                park();
            step(i);
            if (S->now_ns >= until)
                return;
            continue;
        }
        if (until > S->horizon_ns)
            park();
        if (S->now_ns < until)
            S->now_ns = until;
        return;
    }
}

// A relative sleep runs on the monotonic clock: a step of the wall clock on
// the way neither shortens nor lengthens it.
void sleep_for(int64_t ns)
{
    if (ns <= 0)
        return;
    int64_t start = S->now_ns;
    kill_on_the_way(start + ns);
    ns -= S->now_ns - start;
    for (;;) {
        int64_t now = S->now_ns;
        int i = S->steps_done;
        if (i < S->steps && S->step_at_ns[i] <= now + ns) {
            if (S->step_at_ns[i] > S->horizon_ns)
                park();
            if (S->step_at_ns[i] > now)
                ns -= S->step_at_ns[i] - now;
            step(i);
            continue;
        }
        if (now + ns > S->horizon_ns)
            park();
        S->now_ns = now + ns;
        return;
    }
}


bool wall_clock(clockid_t id)
{
    return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
}

bool is_pty_slave(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

} // namespace

extern "C" {

time_t time(time_t *t) noexcept
{
    if (!vclock)
        return real<time_t (*)(time_t *)>("time")(t);
    time_t now = static_cast<time_t>(S->now_ns / NS);
    if (t)
        *t = now;
    return now;
}

int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    if (!vclock)
        return real<int (*)(struct timeval *, void *)>("gettimeofday")(tv, tz);
    int64_t now = S->now_ns;
    tv->tv_sec = static_cast<time_t>(now / NS);
    tv->tv_usec = static_cast<suseconds_t>(now % NS / 1000);
    return 0;
}

int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    if (!vclock || !wall_clock(id))
        return real<int (*)(clockid_t, struct timespec *)>("clock_gettime")(id, ts);
    int64_t now = S->now_ns;
    ts->tv_sec = static_cast<time_t>(now / NS);
    ts->tv_nsec = static_cast<long>(now % NS);
    return 0;
}

unsigned int sleep(unsigned int seconds)
{
    if (!vclock)
        return real<unsigned int (*)(unsigned int)>("sleep")(seconds);
    sleep_for(static_cast<int64_t>(seconds) * NS);
    return 0;
}

int usleep(useconds_t us)
{
    if (!vclock)
        return real<int (*)(useconds_t)>("usleep")(us);
    sleep_for(static_cast<int64_t>(us) * 1000);
    return 0;
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (!vclock)
        return real<int (*)(const struct timespec *, struct timespec *)>("nanosleep")(req, rem);
    sleep_for(to_ns(*req));
    return 0;
}

int clock_nanosleep(clockid_t id, int flags, const struct timespec *req, struct timespec *rem)
{
    using fn = int (*)(clockid_t, int, const struct timespec *, struct timespec *);
    if (!vclock)
        return real<fn>("clock_nanosleep")(id, flags, req, rem);
    if (flags & TIMER_ABSTIME) {
        if (!wall_clock(id))
            return real<fn>("clock_nanosleep")(id, flags, req, rem);
        sleep_until(to_ns(*req));
    } else {
        sleep_for(to_ns(*req));
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    bool modem = request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
    if (!S || !(modem || request == TIOCMGET) || !is_pty_slave(fd))
        return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, arg);

    int bits = *static_cast<int *>(arg);
    if (request == TIOCMGET) {
        *static_cast<int *>(arg) = (S->dtr ? TIOCM_DTR : 0) | TIOCM_CAR;
        return 0;
    }
    int n = ++S->modem_requests;
    if (n == S->fail_modem_request) {
        record("dtr-fail %d", n);
        errno = EIO;
        return -1;
    }
    if (request == TIOCMSET)
        S->dtr = (bits & TIOCM_DTR) ? 1 : 0;
    else if (bits & TIOCM_DTR)
        S->dtr = request == TIOCMBIS ? 1 : 0;
    record("dtr %d", S->dtr.load());
    return 0;
}

// A UART driver may refuse line settings that a pseudo-terminal takes.
int tcsetattr(int fd, int action, const struct termios *tio) noexcept
{
    if (S && S->refuse_line_settings && is_pty_slave(fd)) {
        record("tcsetattr-fail");
        errno = EINVAL;
        return -1;
    }
    return real<int (*)(int, int, const struct termios *)>("tcsetattr")(fd, action, tio);
}

void syslog(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_log(priority, fmt, ap);
    real<void (*)(int, const char *, va_list)>("vsyslog")(priority, fmt, ap);
    va_end(ap);
}

// What syslog() becomes in a fortified build.
void __syslog_chk(int priority, int flag, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_log(priority, fmt, ap);
    real<void (*)(int, int, const char *, va_list)>("__vsyslog_chk")(priority, flag, fmt, ap);
    va_end(ap);
}

} // extern "C"

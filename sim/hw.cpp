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
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <poll.h>
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

void real_pause_ms(long ms)
{
    struct timespec t = {0, ms * 1000000};
    real<int (*)(const struct timespec *, struct timespec *)>("nanosleep")(&t, nullptr);
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
    if (!S->steps_done.compare_exchange_strong(i, i + 1))
        return;
    int64_t from = S->now_ns.load();
    S->stepped_ns += S->step_to_ns[i] - from;
    S->now_ns = S->step_to_ns[i];
    record("step %lld.%09lld", static_cast<long long>(from / NS), static_cast<long long>(from % NS));
}

// Hands the moment to the harness, which acts (a signal, a file written)
// and lets this process go on once the daemon has taken it in.
void act(int j)
{
    if (!S->actions_reached.compare_exchange_strong(j, j + 1))
        return;
    S->action_waiter = getpid();
    while (S->actions_done <= j)
        real_pause_ms(1);
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

// Moves the wall clock towards `until`, stopping at the first clock step or
// test action on the way, which it carries out, and, in any process but the
// daemon, at the daemon's own alarm until the daemon has seen it. Parks the
// process past the horizon; a step back is taken even there.
void advance(int64_t until)
{
    kill_on_the_way(until);
    int64_t next = until;
    int i = S->steps_done;
    int j = S->actions_reached;
    bool stepping = i < S->steps && S->step_at_ns[i] <= next;
    if (stepping)
        next = S->step_at_ns[i];
    bool acting = j < S->actions && S->action_at_ns[j] <= next;
    if (acting) {
        next = S->action_at_ns[j];
        stepping = false;
    }
    int64_t alarm = S->daemon_alarm_ns;
    bool yielding = getpid() != S->daemon_pid && alarm && alarm <= next;
    if (yielding) {
        next = alarm;
        stepping = acting = false;
    }
    if (next > S->horizon_ns && !(stepping && S->step_to_ns[i] < S->step_at_ns[i]))
        park();
    if (S->now_ns < next)
        S->now_ns = next;
    if (stepping)
        step(i);
    else if (acting)
        act(j);
    else if (yielding)
        while (S->daemon_alarm_ns == alarm)
            real_pause_ms(1);
}

// An absolute sleep: ends once the clock has reached `until`, or early when
// a step sets the clock past it.
void sleep_until(int64_t until)
{
    while (S->now_ns < until)
        advance(until);
}

int64_t monotonic_ns()
{
    return S->now_ns - S->stepped_ns;
}

// A relative sleep runs on the monotonic clock: a step of the wall clock on
// the way neither shortens nor lengthens it.
void sleep_for(int64_t ns)
{
    int64_t end = monotonic_ns() + ns;
    while (monotonic_ns() < end)
        advance(end + S->stepped_ns);
}

// timerfds on the virtual clocks. The descriptor is a real, never armed
// timerfd, so the process sees the kind of file it asked for.
struct vtimer_t {
    int fd = -1;
    clockid_t clock;
    bool armed = false;
    int64_t expiry;        // on its own clock
    bool cancel_on_set = false;
    int steps_seen;
};
vtimer_t timers[8];

vtimer_t *find_timer(int fd)
{
    for (vtimer_t &t : timers) {
        if (fd >= 0 && t.fd == fd)
            return &t;
    }
    return nullptr;
}

int64_t clock_of(const vtimer_t &t)
{
    return t.clock == CLOCK_REALTIME ? S->now_ns.load() : monotonic_ns();
}

bool cancelled(const vtimer_t &t)
{
    return t.armed && t.cancel_on_set && t.steps_seen != S->steps_done;
}

bool expired(const vtimer_t &t)
{
    return t.armed && clock_of(t) >= t.expiry;
}

// When a timer expires, on the wall clock.
int64_t wall_expiry(const vtimer_t &t)
{
    return t.clock == CLOCK_REALTIME ? t.expiry : t.expiry + S->stepped_ns;
}

bool has_children()
{
    siginfo_t info;
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
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
    // The daemon's own time since boot moves with its virtual sleeps, as
    // its monotonic timers do; other programs (the uploader's transfer
    // timeouts) keep the real one.
    bool since_boot = (id == CLOCK_MONOTONIC || id == CLOCK_BOOTTIME) && getpid() == S->daemon_pid;
    if (!vclock || !(wall_clock(id) || since_boot))
        return real<int (*)(clockid_t, struct timespec *)>("clock_gettime")(id, ts);
    int64_t now = since_boot ? monotonic_ns() : S->now_ns.load();
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

// A settings writer racing the daemon's start: an action due by now is
// carried out just before the daemon sets up a watch.
int inotify_add_watch(int fd, const char *path, uint32_t mask) noexcept
{
    if (vclock && getpid() == S->daemon_pid) {
        int j = S->actions_reached;
        if (j < S->actions && S->action_at_ns[j] <= S->now_ns)
            act(j);
    }
    return real<int (*)(int, const char *, uint32_t)>("inotify_add_watch")(fd, path, mask);
}

int timerfd_create(clockid_t id, int flags) noexcept
{
    using fn = int (*)(clockid_t, int);
    if (!vclock || (id != CLOCK_REALTIME && id != CLOCK_MONOTONIC))
        return real<fn>("timerfd_create")(id, flags);
    vtimer_t *slot = nullptr;
    for (vtimer_t &t : timers)
        slot = !slot && t.fd < 0 ? &t : slot;
    if (!slot) {
        errno = EMFILE;
        return -1;
    }
    int fd = real<fn>("timerfd_create")(CLOCK_MONOTONIC, flags);
    if (fd >= 0) {
        *slot = vtimer_t();
        slot->fd = fd;
        slot->clock = id;
    }
    return fd;
}

int timerfd_settime(int fd, int flags, const struct itimerspec *value, struct itimerspec *old) noexcept
{
    vtimer_t *t = vclock ? find_timer(fd) : nullptr;
    if (!t)
        return real<int (*)(int, int, const struct itimerspec *, struct itimerspec *)>(
            "timerfd_settime")(fd, flags, value, old);
    if (old)
        *old = {};
    int64_t at = to_ns(value->it_value);
    t->armed = at != 0;
    t->expiry = (flags & TFD_TIMER_ABSTIME) ? at : clock_of(*t) + at;
    t->cancel_on_set = t->armed && (flags & TFD_TIMER_CANCEL_ON_SET) && t->clock == CLOCK_REALTIME;
    t->steps_seen = S->steps_done;
    return 0;
}

ssize_t read(int fd, void *buf, size_t count)
{
    static auto real_read = real<ssize_t (*)(int, void *, size_t)>("read");
    vtimer_t *t = vclock ? find_timer(fd) : nullptr;
    if (!t)
        return real_read(fd, buf, count);
    if (cancelled(*t)) {
        t->steps_seen = S->steps_done;
        errno = ECANCELED;
        return -1;
    }
    if (count < sizeof(uint64_t) || !expired(*t)) {
        errno = count < sizeof(uint64_t) ? EINVAL : EAGAIN;
        return -1;
    }
    t->armed = false;
    uint64_t expirations = 1;
    memcpy(buf, &expirations, sizeof expirations);
    return sizeof expirations;
}

int close(int fd)
{
    if (vtimer_t *t = vclock ? find_timer(fd) : nullptr)
        t->fd = -1;
    static auto real_close = real<int (*)(int)>("close");
    return real_close(fd);
}

// The daemon's one wait: real descriptors are polled for real, virtual
// timers against the virtual clocks. With nothing ready and a timer armed,
// the daemon moves the clock on itself, unless it has children running:
// they move it, up to its alarm.
int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask)
{
    using fn = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
    static auto real_ppoll = real<fn>("ppoll");
    bool virtual_timers = false;
    for (nfds_t i = 0; vclock && i < n; i++)
        virtual_timers = virtual_timers || find_timer(fds[i].fd);
    if (!virtual_timers || n > 8)
        return real_ppoll(fds, n, timeout, mask);
    bool daemon = getpid() == S->daemon_pid;
    struct pollfd real_fds[8];
    for (;;) {
        int64_t next = 0;
        for (nfds_t i = 0; i < n; i++) {
            real_fds[i] = fds[i];
            if (vtimer_t *t = find_timer(fds[i].fd)) {
                real_fds[i].fd = -1;
                if (t->armed && (!next || wall_expiry(*t) < next))
                    next = wall_expiry(*t);
            }
        }
        const struct timespec now = {0, 0};
        int ready = real_ppoll(real_fds, n, &now, mask);
        if (ready < 0)
            return ready;
        ready = 0;
        for (nfds_t i = 0; i < n; i++) {
            fds[i].revents = real_fds[i].revents;
            vtimer_t *t = find_timer(fds[i].fd);
            if (t && (cancelled(*t) || expired(*t)))
                fds[i].revents = POLLIN;
            ready += fds[i].revents != 0;
        }
        if (ready) {
            if (daemon)
                S->daemon_alarm_ns = 0;
            return ready;
        }
        if (!next) {
            real_ppoll(real_fds, n, nullptr, mask);
        } else if (has_children()) {
            if (daemon)
                S->daemon_alarm_ns = next;
            const struct timespec slice = {0, 1000000};
            real_ppoll(real_fds, n, &slice, mask);
        } else {
            advance(next);
        }
    }
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

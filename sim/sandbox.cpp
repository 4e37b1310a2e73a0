#include "sim/sandbox.h"

#include "sim/namespace.h"
#include "sim/records.h"
#include "sim/state.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int64_t NS = 1000000000;

// Carries out an action that a process of the device has reached. When that
// process is not the daemon (a script sleeping), it goes on only once the
// daemon has taken the signal in and had a moment to act on it.
void perform(const sim_action_t &action, sim_state_t *S, pid_t daemon, const std::string &events)
{
    if (action.signal) {
        sim_append_event(events, S->now_ns, daemon, "signal " + std::to_string(action.signal));
        kill(daemon, action.signal);
    }
    if (action.run)
        action.run();
    if (S->action_waiter == daemon)
        return;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (action.signal && sim_pending(daemon, action.signal) && std::chrono::steady_clock::now() < until)
        usleep(1000);
    while (!sim_sleeping(daemon) && std::chrono::steady_clock::now() < until)
        usleep(1000);
    usleep(20000);
}

// Runs `f` with TZ set to `tz`, restoring the process's own zone after.
template <typename F> auto in_zone(const std::string &tz, F f)
{
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", tz.c_str(), 1);
    tzset();
    auto result = f();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    return result;
}

} // namespace

bool sim_create(sim_device_t &dev)
{
    char tmpl[] = "/tmp/velmora-sim.XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return false;
    }
    dev.dir = tmpl;
    for (const char *sub : {"/etc", "/var", "/lock", "/run"}) {
        if (mkdir((dev.dir + sub).c_str(), 0755) != 0) {
            std::perror("mkdir");
            return false;
        }
    }
    return true;
}

std::string sim_etc(const sim_device_t &dev, const std::string &name)
{
    return dev.dir + "/etc/" + name;
}

std::string sim_var(const sim_device_t &dev, const std::string &name)
{
    return dev.dir + "/var/" + name;
}

std::string sim_lock(const sim_device_t &dev)
{
    return dev.dir + "/lock/LCK..ttyS1";
}

bool sim_write(const std::string &path, const std::string &content, int mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

void sim_install_scripts(const sim_device_t &dev, const std::string &mount,
                         const std::string &umount, const std::string &upload,
                         const std::string &probe)
{
    auto script = [&](const std::string &body) {
        std::string text = "#!/bin/sh\n"
                           "ev='" + dev.dir + "/events'\n"
                           "name=$(basename \"$0\")\n"
                           "echo \"$(date +%s) $$ script $name $*\" >> \"$ev\"\n";
        if (!probe.empty())
            text += "'" + probe + "'\necho \"$(date +%s) $$ fds $?\" >> \"$ev\"\n";
        return text + "(\n" + body + "\n)\nstatus=$?\n" +
               "echo \"$(date +%s) $$ exit $name $* $status\" >> \"$ev\"\n" + "exit $status\n";
    };
    sim_write(sim_etc(dev, "memCard"),
              script("case \"$1\" in\nmount)\n" + mount + "\n;;\numount)\n" + umount +
                     "\n;;\n*) exit 9 ;;\nesac"),
              0755);
    sim_write(sim_etc(dev, "dataPut"), script(upload), 0755);
}

sim_run_t sim_run(const sim_device_t &dev, double limit_s)
{
    sim_run_t r;
    std::string state_path = dev.dir + "/state";
    std::string events_path = dev.dir + "/events";
    std::string log_path = dev.dir + "/log";
    unlink(events_path.c_str());
    unlink(log_path.c_str());

    int fd = open(state_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, sizeof(sim_state_t)) != 0) {
        r.error = "state file: " + std::string(std::strerror(errno));
        return r;
    }
    void *mem = mmap(nullptr, sizeof(sim_state_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mem == MAP_FAILED) {
        r.error = "mmap: " + std::string(std::strerror(errno));
        return r;
    }
    auto *S = static_cast<sim_state_t *>(mem);
    S->now_ns = static_cast<int64_t>(dev.start) * NS;
    S->horizon_ns = static_cast<int64_t>(dev.horizon) * NS;
    S->fail_modem_request = dev.fail_modem_request;
    S->refuse_line_settings = dev.refuse_line_settings ? 1 : 0;
    S->kill_at_ns = static_cast<int64_t>(dev.kill_at) * NS;
    S->real_clock = dev.real_clock ? 1 : 0;
    S->actions = static_cast<int>(std::min<size_t>(dev.actions.size(), SIM_MAX_ACTIONS));
    for (int i = 0; i < S->actions; i++)
        S->action_at_ns[i] = static_cast<int64_t>(dev.actions[static_cast<size_t>(i)].at) * NS;
    S->steps = static_cast<int>(std::min<size_t>(dev.clock_steps.size(), SIM_MAX_STEPS));
    for (int i = 0; i < S->steps; i++) {
        S->step_at_ns[i] = static_cast<int64_t>(dev.clock_steps[static_cast<size_t>(i)].first) * NS;
        S->step_to_ns[i] = static_cast<int64_t>(dev.clock_steps[static_cast<size_t>(i)].second) * NS;
    }

    int master = -1;
    std::string slave;
    if (dev.with_port) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            r.error = "pseudo-terminal: " + std::string(std::strerror(errno));
            munmap(mem, sizeof(sim_state_t));
            return r;
        }
        slave = ptsname(master);
    }

    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", log_path.c_str());
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        r.error = "log socket: " + std::string(std::strerror(errno));
        munmap(mem, sizeof(sim_state_t));
        return r;
    }
    chmod(log_path.c_str(), 0666);
    int notify = -1;
    if (dev.notify_socket) {
        std::string notify_path = dev.dir + "/run/notify";
        unlink(notify_path.c_str());
        notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", notify_path.c_str());
        if (notify < 0 || bind(notify, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            r.error = "notify socket: " + std::string(std::strerror(errno));
            munmap(mem, sizeof(sim_state_t));
            return r;
        }
    }

    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        r.error = "pipe: " + std::string(std::strerror(errno));
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(err_pipe[0]);
        sim_enter(dev, slave, err_pipe[1], S);
    }
    close(err_pipe[1]);
    r.pid = pid;

    auto started = std::chrono::steady_clock::now();
    auto first_message = started;
    for (;;) {
        size_t before = r.log.size();
        sim_drain_log(sock, r.log, 10);
        if (before == 0 && !r.log.empty())
            first_message = std::chrono::steady_clock::now();
        if (!r.settled.valid && !r.log.empty() &&
            std::chrono::steady_clock::now() - first_message > std::chrono::milliseconds(500))
            r.settled = sim_proc(pid);
        if (notify >= 0)
            sim_drain_notify(notify, r.notified);
        while (S->actions_done < S->actions_reached) {
            perform(dev.actions[static_cast<size_t>(S->actions_done.load())], S, pid, events_path);
            S->actions_done++;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.ended = true;
            r.status = status;
            break;
        }
        if (S->parked_pid != 0) {
            r.parked = true;
            r.children_left = sim_count_processes(pid, false);
        } else if (std::chrono::steady_clock::now() - started >
                   std::chrono::duration<double>(limit_s)) {
            r.wedged = true;
        } else {
            continue;
        }
        r.last = sim_proc(pid);
        // The daemon leads its own session, which its scripts share.
        sim_count_processes(pid, true, SIGKILL);
        kill(pid, SIGKILL);
        int parked = S->parked_pid;
        if (parked > 0)
            kill(parked, SIGKILL);
        waitpid(pid, &status, 0);
        break;
    }
    sim_drain_log(sock, r.log, 50);
    if (notify >= 0)
        sim_drain_notify(notify, r.notified);
    r.stragglers = sim_wait_for_session(pid);
    r.end = static_cast<double>(S->now_ns) / NS;
    // The master reads the termios of its slave: what the daemon left. With
    // HUPCL the port's last close drops DTR, as the kernel does on the device.
    struct termios left;
    bool have_termios = master >= 0 && tcgetattr(master, &left) == 0;
    if (have_termios)
        r.line_speed = static_cast<int>(cfgetospeed(&left));
    if (S->dtr && (!have_termios || (left.c_cflag & HUPCL))) {
        S->dtr = 0;
        sim_append_event(events_path, S->now_ns, pid, "hangup");
    }

    char text[512];
    ssize_t n = read(err_pipe[0], text, sizeof text);
    if (n > 0)
        r.error.assign(text, static_cast<size_t>(n));
    close(err_pipe[0]);
    close(sock);
    if (notify >= 0)
        close(notify);
    if (master >= 0)
        close(master);
    munmap(mem, sizeof(sim_state_t));
    r.events = sim_read_events(events_path);
    return r;
}

std::string sim_local(const sim_device_t &dev, double t)
{
    return in_zone(dev.tz, [t] {
        time_t secs = static_cast<time_t>(t);
        struct tm tm;
        localtime_r(&secs, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
        return std::string(text);
    });
}

time_t sim_at(const sim_device_t &dev, int year, int month, int day, int hour, int minute,
              int second)
{
    return in_zone(dev.tz, [=] {
        struct tm tm = {};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        return mktime(&tm);
    });
}

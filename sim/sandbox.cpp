#include "sim/sandbox.h"

#include "sim/state.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <fstream>
#include <iomanip>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int64_t NS = 1000000000;

// In the forked child, before exec: report the failing step through the
// error pipe and give up.
[[noreturn]] void fail(int pipe_fd, const std::string &what)
{
    std::string text = what + ": " + std::strerror(errno);
    ssize_t ignored = write(pipe_fd, text.data(), text.size());
    (void)ignored;
    _exit(127);
}

bool write_file(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

void mount_or_fail(int err, const char *source, const std::string &target, const char *type,
                   unsigned long flags, const char *data = nullptr)
{
    if (mount(source, target.c_str(), type, flags, data) != 0)
        fail(err, std::string("mount ") + (source ? source : type) + " on " + target);
}

// Binds `source` onto a new empty file or directory `target`.
void bind_or_fail(int err, const std::string &source, const std::string &target, bool directory)
{
    if (directory) {
        if (mkdir(target.c_str(), 0755) != 0 && errno != EEXIST)
            fail(err, "mkdir " + target);
    } else {
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            fail(err, "create " + target);
        close(fd);
    }
    mount_or_fail(err, source.c_str(), target, nullptr, MS_BIND | MS_REC);
}

void mkdir_or_fail(int err, const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        fail(err, "mkdir " + path);
}

// Makes TIOCMBIS and TIOCMBIC succeed without doing anything: a
// pseudo-terminal refuses them, and a static daemon cannot be given the
// preloaded hardware layer.
bool fake_modem_control()
{
#if defined(__x86_64__)
    constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCMBIS, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCMBIC, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs in the child: builds the device's file system view and starts the
// daemon in it.
[[noreturn]] void enter_sandbox(const sim_device_t &dev, const std::string &slave, int err,
                                sim_state_t *S)
{
    S->daemon_pid = getpid();
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (uid != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            fail(err, "unshare(user and mount namespace); as a user, this needs user namespaces "
                      "(sysctl kernel.unprivileged_userns_clone=1) or root");
        write_file("/proc/self/setgroups", "deny");
        if (!write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            fail(err, "uid_map");
    } else if (unshare(CLONE_NEWNS) != 0) {
        fail(err, "unshare(mount namespace)");
    }
    mount_or_fail(err, nullptr, "/", nullptr, MS_REC | MS_PRIVATE);

    // /dev: only what the daemon and its scripts may use, plus the port and
    // the logger socket.
    std::string host_dev = dev.dir + "/hostdev";
    mkdir_or_fail(err, host_dev);
    mount_or_fail(err, "/dev", host_dev, nullptr, MS_BIND | MS_REC);
    mount_or_fail(err, "tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755");
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty", "ptmx"})
        bind_or_fail(err, host_dev + "/" + node, std::string("/dev/") + node, false);
    bind_or_fail(err, host_dev + "/pts", "/dev/pts", true);
    if (!slave.empty())
        bind_or_fail(err, slave, "/dev/ttyS1", false);
    bind_or_fail(err, dev.dir + "/log", "/dev/log", false);
    for (const std::string &node : dev.devices) {
        if (node.rfind("/dev/", 0) != 0 || node.find('/', 5) != std::string::npos)
            fail(err, "device " + node + " is not directly in /dev");
        bind_or_fail(err, host_dev + node.substr(4), node, false);
    }
    umount2(host_dev.c_str(), MNT_DETACH);

    mount_or_fail(err, "tmpfs", "/opt", "tmpfs", MS_NOSUID, "mode=755");
    mkdir_or_fail(err, "/opt/Velmora");
    bind_or_fail(err, dev.dir + "/etc", "/opt/Velmora/etc", true);
    if (!dev.bin_dir.empty())
        bind_or_fail(err, dev.bin_dir, "/opt/Velmora/bin", true);
    mount_or_fail(err, "tmpfs", "/var", "tmpfs", MS_NOSUID, "mode=755");
    bind_or_fail(err, dev.dir + "/var", "/var/Velmora", true);
    bind_or_fail(err, dev.dir + "/lock", "/var/lock", true);
    bind_or_fail(err, dev.dir + "/run", "/run", true);

    // As after a reboot that kept /var/lock and gave the daemon the pid of
    // its last life.
    if (dev.lock_names_daemon) {
        char pid[16];
        int len = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
        int fd = open("/var/lock/LCK..ttyS1", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, pid, static_cast<size_t>(len)) != len)
            fail(err, "lock file");
        close(fd);
    }

    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) != 0)
        fail(err, "/dev/null");
    close(null);

    std::vector<std::string> env = {"TZ=" + dev.tz,
                                    "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"};
    if (!dev.hw_library.empty()) {
        env.push_back("LD_PRELOAD=" + dev.hw_library);
        env.push_back(std::string(SIM_STATE_ENV) + "=" + dev.dir + "/state");
        env.push_back(std::string(SIM_EVENTS_ENV) + "=" + dev.dir + "/events");
    }
    if (dev.notify_socket)
        env.push_back("NOTIFY_SOCKET=/run/notify");
    if (dev.dtr_by_seccomp && !fake_modem_control())
        fail(err, "seccomp filter for the DTR requests");
    // A sanitized daemon would refuse the preloaded library ahead of its
    // runtime.
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
    if (const char *ubsan = getenv("UBSAN_OPTIONS"))
        env.push_back(std::string("UBSAN_OPTIONS=") + ubsan);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> command = dev.wrapper;
    command.push_back(dev.velmorad);
    command.insert(command.end(), dev.args.begin(), dev.args.end());
    if (dev.signals_ignored_and_blocked) {
        signal(SIGCHLD, SIG_IGN);
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, nullptr);
    }
    std::vector<char *> argv;
    for (std::string &a : command)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    fail(err, "exec " + command[0]);
}

// "<29>Dec  7 20:14:10 Velmora[123]: started"
bool parse_datagram(const std::string &d, sim_log_t &log)
{
    int pri;
    int n = 0;
    if (std::sscanf(d.c_str(), "<%d>%n", &pri, &n) != 1)
        return false;
    size_t pos = static_cast<size_t>(n) + 16;  // the timestamp and its blank
    size_t open = d.find('[', pos);
    size_t close = d.find("]: ", pos);
    if (pos > d.size() || open == std::string::npos || close == std::string::npos || close < open)
        return false;
    log.facility = pri & ~7;
    log.priority = pri & 7;
    log.ident = d.substr(pos, open - pos);
    log.pid = std::atoi(d.c_str() + open + 1);
    log.text = d.substr(close + 3);
    return true;
}

void drain(int sock, std::vector<sim_log_t> &log, int timeout_ms)
{
    char buf[4096];
    pollfd p = {sock, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) > 0) {
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        sim_log_t entry;
        if (parse_datagram(std::string(buf, static_cast<size_t>(n)), entry))
            log.push_back(entry);
        timeout_ms = 0;
    }
}

void drain_notify(int sock, std::vector<std::string> &messages)
{
    char buf[4096];
    ssize_t n;
    while ((n = recv(sock, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        messages.emplace_back(buf, static_cast<size_t>(n));
}

void append_event(const std::string &path, int64_t now, int pid, const std::string &what)
{
    std::ofstream(path, std::ios::app) << now / NS << "." << std::setw(9) << std::setfill('0')
                                       << now % NS << " " << pid << " " << what << "\n";
}

// Processes whose parent (or, with `session`, whose session) is `id`; each
// is sent `sig` when it is not 0.
int count_processes(int id, bool session, int sig = 0)
{
    int count = 0;
    DIR *proc = opendir("/proc");
    if (!proc)
        return 0;
    while (dirent *e = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid pgrp ...: comm may hold blanks, so read after ')'.
        size_t paren = line.rfind(')');
        if (paren == std::string::npos)
            continue;
        std::istringstream rest(line.substr(paren + 1));
        char state;
        int ppid, pgrp, sid;
        // A zombie in the session has ended; whoever it was left to reaps
        // it in its own time. The daemon's own must be reaped by it.
        if (rest >> state >> ppid >> pgrp >> sid && (state != 'Z' || !session) && (session ? sid : ppid) == id) {
            count++;
            if (sig)
                kill(std::atoi(e->d_name), sig);
        }
    }
    closedir(proc);
    return count;
}

// Scripts that outlive the daemon end on their own; returns how many of its
// session were still there after a few seconds (and are then killed).
int wait_for_session(pid_t sid)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count_processes(sid, true) && std::chrono::steady_clock::now() < until)
        usleep(10000);
    return count_processes(sid, true, SIGKILL);
}

// Whether the signal waits, blocked, for the process to take it.
bool pending(int pid, int sig)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("ShdPnd:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    }
    return false;
}

// Carries out an action that a process of the device has reached. When that
// process is not the daemon (a script sleeping), it goes on only once the
// daemon has taken the signal in and had a moment to act on it.
void perform(const sim_action_t &action, sim_state_t *S, pid_t daemon, const std::string &events)
{
    if (action.signal) {
        append_event(events, S->now_ns, daemon, "signal " + std::to_string(action.signal));
        kill(daemon, action.signal);
    }
    if (action.run)
        action.run();
    if (S->action_waiter == daemon)
        return;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (action.signal && pending(daemon, action.signal) && std::chrono::steady_clock::now() < until)
        usleep(1000);
    usleep(100000);
}

std::vector<sim_event_t> read_events(const std::string &path)
{
    std::vector<sim_event_t> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        sim_event_t e;
        if (!(fields >> e.t >> e.pid >> e.kind))
            continue;
        std::getline(fields >> std::ws, e.text);
        e.text.erase(e.text.find_last_not_of(' ') + 1);
        events.push_back(e);
    }
    return events;
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
        enter_sandbox(dev, slave, err_pipe[1], S);
    }
    close(err_pipe[1]);
    r.pid = pid;

    auto started = std::chrono::steady_clock::now();
    auto first_message = started;
    for (;;) {
        size_t before = r.log.size();
        drain(sock, r.log, 10);
        if (before == 0 && !r.log.empty())
            first_message = std::chrono::steady_clock::now();
        if (!r.settled.valid && !r.log.empty() &&
            std::chrono::steady_clock::now() - first_message > std::chrono::milliseconds(500))
            r.settled = sim_proc(pid);
        if (notify >= 0)
            drain_notify(notify, r.notified);
        int reached = S->actions_reached;
        if (reached > S->actions_done) {
            perform(dev.actions[static_cast<size_t>(reached - 1)], S, pid, events_path);
            S->actions_done = reached;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.ended = true;
            r.status = status;
            break;
        }
        if (S->parked_pid != 0) {
            r.parked = true;
            r.children_left = count_processes(pid, false);
        } else if (std::chrono::steady_clock::now() - started >
                   std::chrono::duration<double>(limit_s)) {
            r.wedged = true;
        } else {
            continue;
        }
        r.last = sim_proc(pid);
        // The daemon leads its own session, which its scripts share.
        count_processes(pid, true, SIGKILL);
        kill(pid, SIGKILL);
        int parked = S->parked_pid;
        if (parked > 0)
            kill(parked, SIGKILL);
        waitpid(pid, &status, 0);
        break;
    }
    drain(sock, r.log, 50);
    if (notify >= 0)
        drain_notify(notify, r.notified);
    r.stragglers = wait_for_session(pid);
    r.end = static_cast<double>(S->now_ns) / NS;
    // The port's last close drops DTR (HUPCL), as the kernel does on the device.
    if (S->dtr) {
        S->dtr = 0;
        append_event(events_path, S->now_ns, pid, "hangup");
    }

    char text[512];
    ssize_t n = read(err_pipe[0], text, sizeof text);
    if (n > 0)
        r.error.assign(text, static_cast<size_t>(n));
    close(err_pipe[0]);
    close(sock);
    if (notify >= 0)
        close(notify);
    if (master >= 0) {
        // The master reads the termios of its slave: what the daemon left.
        struct termios tio;
        if (tcgetattr(master, &tio) == 0)
            r.line_speed = static_cast<int>(cfgetospeed(&tio));
        close(master);
    }
    munmap(mem, sizeof(sim_state_t));
    r.events = read_events(events_path);
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

sim_proc_t sim_proc(int pid)
{
    sim_proc_t p;
    std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream stat(dir + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
        return p;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // After the command: state is field 3, utime 14 and stime 15.
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    p.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status(dir + "/status");
    while (std::getline(status, line)) {
        std::istringstream words(line);
        std::string key;
        long value = 0;
        words >> key >> value;
        if (key == "voluntary_ctxt_switches:")
            p.voluntary = value;
        else if (key == "VmRSS:")
            p.rss_kb = value;
        else if (key == "VmHWM:")
            p.hwm_kb = value;
    }
    std::ifstream smaps(dir + "/smaps");
    bool ours = false;
    while (std::getline(smaps, line)) {
        std::istringstream words(line);
        std::string first, path;
        long kb = 0;
        words >> first;
        if (first.find('-') != std::string::npos && first.back() != ':') {
            words >> path >> path >> path >> path >> path;
            ours = path.find("velmora_hw") != std::string::npos;
        } else if (first == "Rss:" && ours && words >> kb) {
            p.sim_layer_kb += kb;
        } else if (first == "Pss:" && words >> kb) {
            p.pss_kb += kb;
        }
    }
    p.valid = true;
    return p;
}

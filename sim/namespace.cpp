#include "sim/namespace.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// In the forked child, before exec: report the failing step through the
// error pipe and give up.
[[noreturn]] void fail(int pipe_fd, const std::string &what, const char *hint = nullptr)
{
    std::string text = what + ": " + std::strerror(errno);
    if (hint)
        text += std::string(" (") + hint + ")";
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
    if (mount(source, target.c_str(), type, flags, data) == 0)
        return;
    // Building the message may touch errno, which the message reports; and a
    // std::string made from a null pointer crashes the child before it says
    // anything.
    int saved = errno;
    std::string step = std::string("mount ") + (source ? source : type ? type : "(none)") + " on " + target;
    errno = saved;
    fail(err, step);
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

} // namespace

// Runs in the child: builds the device's file system view and starts the
// daemon in it.
void sim_enter(const sim_device_t &dev, const std::string &slave, int err,
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
    // A chroot whose root is no mount point refuses this (EINVAL).
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail(err, "make / private (mount --make-rprivate /)",
             errno == EINVAL ? "/ is not a mount point, as in a plain chroot: bind the chroot's "
                               "root onto itself first"
                             : nullptr);

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
    if (dev.lock_dir != "missing")
        bind_or_fail(err, dev.dir + "/lock", "/var/lock", true);
    if (dev.lock_dir == "read-only")
        mount_or_fail(err, "/var/lock", "/var/lock", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY);
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

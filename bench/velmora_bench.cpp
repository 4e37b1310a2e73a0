// Figures for what the daemon costs on a device: CPU and wake-ups while it
// waits, memory, the cost of starting a script, and loading the settings,
// each beside what a user would otherwise run. Prints Markdown tables.
#include "settings/module_cfg.h"
#include "sim/sandbox.h"
#include "support/run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *BUSYBOX = "/bin/busybox";

pid_t spawn(const std::vector<std::string> &command)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (const std::string &a : command)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

struct Row {
    std::string name;
    sim_proc_t from, to;
};

void print_idle(const std::vector<Row> &rows, int seconds)
{
    std::printf("\n## Idle: %d s of waiting, started together\n\n", seconds);
    std::printf("| waiter | CPU s | voluntary switches (wake-ups) | RSS kB |\n|---|---|---|---|\n");
    for (const Row &r : rows) {
        if (!r.from.valid || !r.to.valid) {
            std::printf("| %s | not measured | | |\n", r.name.c_str());
            continue;
        }
        std::printf("| %s | %.2f | %ld | %ld |\n", r.name.c_str(), r.to.cpu_s - r.from.cpu_s,
                    r.to.voluntary - r.from.voluntary, r.to.rss_kb);
    }
}

sim_device_t device(const std::string &uploadtime)
{
    sim_device_t dev;
    dev.velmorad = VELMORAD;
    dev.hw_library = HW_LIBRARY;
    if (!sim_create(dev))
        std::exit(1);
    sim_write(sim_etc(dev, "settings"), "MOD_VELMORA_UPLOADTIME=" + uploadtime + "\n");
    sim_install_scripts(dev, "exit 0", "exit 0", "exit 0");
    return dev;
}

void remove_device(const sim_device_t &dev)
{
    std::system(("rm -rf '" + dev.dir + "'").c_str());
}

// The daemon waiting on the real clock, with nothing preloaded: the DTR
// requests are made to succeed by a seccomp filter instead.
sim_run_t idle_daemon(const std::string &velmorad, const std::string &uploadtime, int seconds)
{
    sim_device_t dev = device(uploadtime);
    dev.velmorad = velmorad;
    dev.hw_library.clear();
    dev.dtr_by_seccomp = true;
    dev.real_clock = true;
    sim_run_t r = sim_run(dev, seconds + 0.5);
    remove_device(dev);
    if (!r.error.empty())
        std::fprintf(stderr, "velmorad could not be run: %s\n", r.error.c_str());
    return r;
}

void idle_and_memory(int seconds, const std::string &static_velmorad)
{
    // Three hours ahead: the whole measurement is spent waiting.
    time_t later = time(nullptr) + 3 * 3600;
    struct tm tm;
    localtime_r(&later, &tm);
    char uploadtime[8];
    std::snprintf(uploadtime, sizeof uploadtime, "%02d:%02d", tm.tm_hour, tm.tm_min);

    char crontabs[] = "/tmp/velmora-bench-cron.XXXXXX";
    bool have_busybox = access(BUSYBOX, X_OK) == 0 && mkdtemp(crontabs);
    pid_t busy = spawn({BUSY_WAIT, std::to_string(seconds + 3)});
    pid_t crond = have_busybox ? spawn({BUSYBOX, "crond", "-f", "-c", crontabs, "-L", "/dev/null"}) : -1;
    usleep(500000);
    Row busy_row{"a loop re-reading time()", sim_proc(busy), {}};
    Row crond_row{"BusyBox crond (busybox-static)", crond > 0 ? sim_proc(crond) : sim_proc_t{}, {}};

    sim_run_t dynamic, fully_static;
    std::thread other;
    if (!static_velmorad.empty())
        other = std::thread([&] { fully_static = idle_daemon(static_velmorad, uploadtime, seconds); });
    dynamic = idle_daemon(VELMORAD, uploadtime, seconds);
    if (other.joinable())
        other.join();
    busy_row.to = sim_proc(busy);
    crond_row.to = crond > 0 ? sim_proc(crond) : sim_proc_t{};
    stop(busy);
    stop(crond);
    if (have_busybox)
        rmdir(crontabs);

    std::vector<Row> rows = {{"velmorad, release build (C library shared)", dynamic.settled, dynamic.last}};
    if (!static_velmorad.empty())
        rows.push_back({"velmorad, fully static build", fully_static.settled, fully_static.last});
    rows.push_back(busy_row);
    rows.push_back(crond_row);
    print_idle(rows, seconds);
    if (!have_busybox)
        std::printf("\n(BusyBox crond not measured: %s is missing; install busybox-static)\n", BUSYBOX);

    // After one whole cycle on the virtual clock, which needs the preloaded
    // layer: its own pages are taken off.
    sim_device_t day = device("09:00");
    day.start = sim_at(day, 2026, 12, 7, 8, 0);
    day.horizon = day.start + 86400;
    sim_run_t cycled = sim_run(day);
    remove_device(day);

    std::printf("\n## Memory\n\n| process | VmRSS kB | VmHWM kB | Pss kB |\n|---|---|---|---|\n");
    auto line = [](const char *name, const sim_proc_t &p, long less) {
        std::printf("| %s | %ld | %ld | %ld |\n", name, p.rss_kb - less, p.hwm_kb - less, p.pss_kb);
    };
    line("velmorad release, waiting after start-up", dynamic.last, 0);
    line("velmorad release, waiting after one cycle", cycled.last, cycled.last.sim_layer_kb);
    if (!static_velmorad.empty())
        line("velmorad fully static, waiting after start-up", fully_static.last, 0);
    if (crond_row.to.valid)
        line("BusyBox crond", crond_row.to, 0);
    std::printf("\n(After one cycle: VmRSS and VmHWM less the %ld kB of the preloaded simulation "
                "layer; Pss includes it.)\n", cycled.last.sim_layer_kb);
}

// The baseline: the same child start, closing descriptors one at a time.
int run_closing_each(const char *path)
{
    pid_t pid = vfork();
    if (pid == 0) {
        for (int fd = 0, n = getdtablesize(); fd < n; fd++)
            close(fd);
        if (open("/dev/null", O_RDWR | O_NOCTTY) != 0 || dup(0) != 1 || dup(0) != 2)
            _exit(1);
        execl(path, path, static_cast<char *>(nullptr));
        _exit(1);
    }
    int status;
    waitpid(pid, &status, 0);
    return status;
}

template <typename F> double median_us(F f, int runs)
{
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        auto start = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void spawn_cost()
{
    std::printf("\n## Spawn: starting /bin/true and waiting for it, median of 300\n\n");
    std::printf("| descriptor limit | run() µs | closing one by one µs |\n|---|---|---|\n");
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    std::vector<rlim_t> limits = {1024, 65536, 1048576};
    if (saved.rlim_max > 1024 && saved.rlim_max < 65536)
        limits.insert(limits.begin() + 1, saved.rlim_max);
    for (rlim_t limit : limits) {
        struct rlimit lim = {limit, std::max(limit, saved.rlim_max)};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
            std::printf("| %lu | not possible here: the hard limit is %lu and raising it needs "
                        "CAP_SYS_RESOURCE (%s) | |\n", static_cast<unsigned long>(limit),
                        static_cast<unsigned long>(saved.rlim_max), std::strerror(errno));
            continue;
        }
        double ours = median_us([] { run("/bin/true", nullptr, nullptr, 1); }, 300);
        double each = median_us([] { run_closing_each("/bin/true"); }, limit > 65536 ? 30 : 300);
        std::printf("| %lu | %.0f | %.0f |\n", static_cast<unsigned long>(limit), ours, each);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

void settings_load()
{
    char dir[] = "/tmp/velmora-bench-settings.XXXXXX";
    if (!mkdtemp(dir))
        return;
    std::string typical = std::string(dir) + "/typical";
    std::string large = std::string(dir) + "/large";
    std::ofstream(typical) << "MOD_VELMORA_ENABLED=1\nMOD_VELMORA_FTP_SERV_IP=192.0.2.10\n"
                              "MOD_VELMORA_OPER=0\nMOD_VELMORA_DEST_FOLDER=/incoming\n"
                              "MOD_VELMORA_USERNAME=dev42\nMOD_VELMORA_PASSWORD=s3cret\n"
                              "MOD_VELMORA_UPLOADTIME=02:30\nMOD_VELMORA_COMPANY=\"Acme Farms\"\n"
                              "MOD_VELMORA_OWNER_SURNAME=\"van der Berg\"\nMOD_VELMORA_TOWN=Springfield\n";
    {
        std::ofstream out(large);
        for (size_t written = 0; written < (1u << 20); written += 64)
            out << "# filler line of sixty-four characters, which is no entry #####\n";
        out << "MOD_VELMORA_UPLOADTIME=02:30\n";
    }
    std::printf("\n## Settings load: module_cfg_load (twenty whole-file scans), median\n\n");
    std::printf("| file | µs |\n|---|---|\n");
    for (const std::string &path : {typical, large}) {
        module_cfg_t cfg;
        double us = median_us([&] { module_cfg_load(cfg, path.c_str()); }, path == large ? 21 : 501);
        std::printf("| %s (%ld bytes) | %.1f |\n", path == large ? "1 MiB" : "typical",
                    static_cast<long>(std::ifstream(path, std::ios::ate).tellg()), us);
    }
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

} // namespace

int main(int argc, char **argv)
{
    int seconds = 20;
    std::string static_velmorad;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--static" && i + 1 < argc)
            static_velmorad = argv[++i];
        else if (std::atoi(arg.c_str()) > 0)
            seconds = std::atoi(arg.c_str());
        else {
            std::fprintf(stderr, "usage: velmora-bench [--static VELMORAD] [IDLE_SECONDS]\n");
            return 2;
        }
    }
    idle_and_memory(seconds, static_velmorad);
    spawn_cost();
    settings_load();
    return 0;
}

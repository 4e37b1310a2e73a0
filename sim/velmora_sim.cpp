// Runs velmorad on the simulated device for a few virtual days and prints
// what happened on the device, in virtual local time.
#include "settings/cfg.h"
#include "sim/sandbox.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr time_t DAY = 86400;

void usage(FILE *out)
{
    std::fprintf(out,
        "usage: velmora-sim [options]\n"
        "Runs velmorad on a simulated device (pseudo-terminal for /dev/ttyS1, virtual\n"
        "clock, stand-in card and upload scripts) and prints the device's timeline.\n"
        "\n"
        "  --upload-time HH:MM   MOD_VELMORA_UPLOADTIME in the settings (default 09:00)\n"
        "  --start 'YYYY-MM-DD HH:MM'  virtual local time at start (default 2026-12-07 08:00)\n"
        "  --days N              simulated days to run (default 1)\n"
        "  --tz ZONE             time zone, e.g. Europe/Berlin (default UTC)\n"
        "  --fail WHAT           make a step fail: mount, umount, upload, dtr-N (the Nth\n"
        "                        DTR request), locked (lock held by a live process),\n"
        "                        port (no /dev/ttyS1), line (line settings refused)\n"
        "  --step-days N         one hour after start, step the wall clock N days forward\n"
        "                        (negative: back)\n"
        "  --signal HH:MM[:SS]=NAME  at that local time of the first day send the daemon\n"
        "                        SIGTERM, SIGINT, SIGHUP or SIGUSR1 (NAME: TERM, INT, HUP,\n"
        "                        USR1); may be given more than once, in order of time\n"
        "  --velmorad PATH       the daemon binary (default: the one built beside this)\n"
        "  --etc DIR             use the settings and scripts in DIR (memCard, dataPut,\n"
        "                        settings, ...) instead of the stand-ins\n"
        "  --bin DIR             make DIR the device's /opt/Velmora/bin\n"
        "  --device /dev/NAME    make a device node of this machine visible on the device\n"
        "  --keep                keep the device's scratch directory and print its path\n"
        "\n"
        "Exit status 0 when velmorad lived through the run as expected: waiting for the\n"
        "next day at its end, or ended by itself after a --fail or a TERM or INT signal;\n"
        "1 when it died of a signal, hung, ended unasked, or the device could not be set up.\n");
}

const char *priority_name(int p)
{
    return p == 3 ? "err" : p == 5 ? "notice" : "?";
}

std::string unescape(std::string text)
{
    for (size_t i; (i = text.find("\\n")) != std::string::npos;)
        text.replace(i, 2, "\n");
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    sim_device_t dev;
    dev.velmorad = VELMORAD;
    dev.hw_library = HW_LIBRARY;
    std::string upload_time = "09:00";
    std::string start = "2026-12-07 08:00";
    std::string fail;
    int days = 1;
    int step_days = 0;
    bool keep = false;
    std::vector<std::string> signals;
    std::string etc;

    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "velmora-sim: %s needs a value\n", opt.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (opt == "--help" || opt == "-h") {
            usage(stdout);
            return 0;
        } else if (opt == "--upload-time") {
            upload_time = value();
        } else if (opt == "--start") {
            start = value();
        } else if (opt == "--days") {
            days = std::atoi(value().c_str());
        } else if (opt == "--tz") {
            dev.tz = value();
        } else if (opt == "--fail") {
            fail = value();
        } else if (opt == "--step-days") {
            step_days = std::atoi(value().c_str());
        } else if (opt == "--signal") {
            signals.push_back(value());
        } else if (opt == "--velmorad") {
            dev.velmorad = value();
        } else if (opt == "--etc") {
            etc = value();
        } else if (opt == "--bin") {
            dev.bin_dir = value();
        } else if (opt == "--device") {
            dev.devices.push_back(value());
        } else if (opt == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "velmora-sim: unknown option %s\n", opt.c_str());
            usage(stderr);
            return 2;
        }
    }
    int year, month, mday, hour, minute;
    if (std::sscanf(start.c_str(), "%d-%d-%d %d:%d", &year, &month, &mday, &hour, &minute) != 5 ||
        days < 1 || days > 3650 || step_days < -3650 || step_days > 3650) {
        std::fprintf(stderr, "velmora-sim: --start takes 'YYYY-MM-DD HH:MM', --days 1 to 3650\n");
        return 2;
    }

    if (!sim_create(dev))
        return 1;
    dev.start = sim_at(dev, year, month, mday, hour, minute);
    dev.horizon = dev.start + (days + step_days) * DAY;
    if (step_days != 0)
        dev.clock_steps = {{dev.start + 3600, dev.start + 3600 + step_days * DAY}};
    for (const std::string &text : signals) {
        const std::pair<const char *, int> names[] = {{"TERM", SIGTERM}, {"INT", SIGINT},
                                                      {"HUP", SIGHUP}, {"USR1", SIGUSR1}};
        int h, m, sec = 0, n = 0;
        size_t eq = text.find('=');
        int sig = 0;
        for (const auto &name : names)
            sig = eq != std::string::npos && text.substr(eq + 1) == name.first ? name.second : sig;
        if (!sig || (std::sscanf(text.c_str(), "%d:%d:%d%n", &h, &m, &sec, &n) != 3 &&
                     std::sscanf(text.c_str(), "%d:%d%n", &h, &m, &n) != 2) ||
            static_cast<size_t>(n) != eq) {
            std::fprintf(stderr, "velmora-sim: --signal takes HH:MM[:SS]=TERM|INT|HUP|USR1\n");
            return 2;
        }
        dev.actions.push_back({sim_at(dev, year, month, mday, h, m, sec), sig, {}});
    }

    std::string errlog = "/var/Velmora/ftperror.log";
    std::string mount = "exit 0", umount = "exit 0";
    std::string upload = "rm -f " + errlog + "\nexit 0";
    if (fail == "mount") {
        mount = "exit 1";
    } else if (fail == "umount") {
        umount = "exit 1";
    } else if (fail == "upload") {
        upload = "echo 'server 192.0.2.10 unreachable (simulated)' > " + errlog + "\nexit 1";
    } else if (fail.rfind("dtr-", 0) == 0) {
        dev.fail_modem_request = std::atoi(fail.c_str() + 4);
    } else if (fail == "locked") {
        char pid[16];
        std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
        sim_write(sim_lock(dev), pid);
    } else if (fail == "port") {
        dev.with_port = false;
    } else if (fail == "line") {
        dev.refuse_line_settings = true;
    } else if (!fail.empty()) {
        std::fprintf(stderr, "velmora-sim: --fail takes mount, umount, upload, dtr-N, locked, port or line\n");
        return 2;
    }
    if (!etc.empty()) {
        if (std::system(("cp -a '" + etc + "'/. '" + dev.dir + "/etc/'").c_str()) != 0) {
            std::fprintf(stderr, "velmora-sim: cannot copy %s\n", etc.c_str());
            return 1;
        }
        FILE *f = std::fopen(sim_etc(dev, "settings").c_str(), "r");
        upload_time = cfg_get_str(f, "MOD_VELMORA_UPLOADTIME");
        cfg_close(f);
    } else {
        sim_write(sim_etc(dev, "settings"), "MOD_VELMORA_ENABLED=1\nMOD_VELMORA_UPLOADTIME=" +
                                                upload_time + "\n");
        sim_install_scripts(dev, mount, umount, upload);
    }

    std::printf("velmorad on a simulated device: upload time %s, %s, from %s for %d day(s)\n\n",
                upload_time.c_str(), dev.tz.c_str(), sim_local(dev, dev.start).c_str(), days);
    sim_run_t r = sim_run(dev);
    if (!r.error.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "velmora-sim: the simulated device could not be set up: %s\n",
                     r.error.c_str());
        if (getuid() != 0)
            std::fprintf(stderr, "velmora-sim: run as root, or allow user namespaces "
                                 "(sysctl -w kernel.unprivileged_userns_clone=1)\n");
        if (!keep)
            std::system(("rm -rf '" + dev.dir + "'").c_str());
        return 1;
    }

    for (const sim_event_t &e : r.events) {
        std::string when = sim_local(dev, e.t);
        if (e.kind == "dtr") {
            std::printf("%s  DTR     %s\n", when.c_str(), e.text == "1" ? "raised (card attached)" : "lowered (card released)");
        } else if (e.kind == "dtr-fail") {
            std::printf("%s  DTR     request %s refused (simulated fault)\n", when.c_str(), e.text.c_str());
        } else if (e.kind == "log") {
            int priority = std::atoi(e.text.c_str());
            std::string text = unescape(e.text.substr(e.text.find(' ') + 1));
            while (!text.empty() && text.back() == '\n')
                text.pop_back();
            std::printf("%s  syslog  %-6s %s\n", when.c_str(), priority_name(priority), text.c_str());
        } else if (e.kind == "script") {
            std::printf("%s  script  %s started\n", when.c_str(), e.text.c_str());
        } else if (e.kind == "exit") {
            size_t sp = e.text.rfind(' ');
            std::string name = e.text.substr(0, sp);
            name.erase(name.find_last_not_of(' ') + 1);
            std::printf("%s  script  %s exited with status %s\n", when.c_str(), name.c_str(),
                        e.text.substr(sp + 1).c_str());
        } else if (e.kind == "step") {
            std::printf("%s  clock   stepped from %s\n", when.c_str(),
                        sim_local(dev, std::atof(e.text.c_str())).c_str());
        } else if (e.kind == "signal") {
            std::printf("%s  signal  %s sent to velmorad\n", when.c_str(),
                        strsignal(std::atoi(e.text.c_str())));
        }
    }

    std::printf("\n");
    // The daemon lives on to wait for the next day, unless a fault or a
    // request to stop was asked for: then ending by itself is its answer too.
    // Dying of a signal or hanging never is.
    bool stop_asked = false;
    for (const sim_action_t &a : dev.actions)
        stop_asked = stop_asked || a.signal == SIGTERM || a.signal == SIGINT;
    bool as_expected = r.parked || (r.ended && WIFEXITED(r.status) && (!fail.empty() || stop_asked));
    if (r.ended && WIFEXITED(r.status))
        std::printf("velmorad ended with exit status %d\n", WEXITSTATUS(r.status));
    else if (r.ended)
        std::printf("velmorad was killed by signal %d\n", WTERMSIG(r.status));
    else if (r.parked)
        std::printf("velmorad is waiting for the next day; the simulation stops here\n");
    else
        std::printf("velmorad did not finish within the real-time limit\n");
    size_t own = 0;
    for (const sim_log_t &m : r.log)
        own += m.ident == "Velmora" && m.facility == (3 << 3) && m.pid == r.pid;
    std::printf("system log: %zu message(s) received on /dev/log, %zu of them as "
                "Velmora[%d] with facility daemon\n", r.log.size(), own, r.pid);

    std::string status;
    std::ifstream in(dev.dir + "/run/velmorad.status");
    if (std::getline(in, status))
        std::printf("status file: %s\n", status.c_str());

    if (keep)
        std::printf("device directory kept: %s\n", dev.dir.c_str());
    else
        std::system(("rm -rf '" + dev.dir + "'").c_str());
    if (!as_expected) {
        std::fflush(stdout);
        std::fprintf(stderr, "velmora-sim: velmorad did not live through the simulated %s as expected\n",
                     days == 1 ? "day" : "days");
        return 1;
    }
    return 0;
}

#include "sim/procs.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

// Processes whose parent (or, with `session`, whose session) is `id`; each
// is sent `sig` when it is not 0.
int sim_count_processes(int id, bool session, int sig)
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
int sim_wait_for_session(pid_t sid)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sim_count_processes(sid, true) && std::chrono::steady_clock::now() < until)
        usleep(10000);
    return sim_count_processes(sid, true, SIGKILL);
}

// Whether the signal waits, blocked, for the process to take it.
bool sim_pending(int pid, int sig)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("ShdPnd:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    }
    return false;
}

bool sim_sleeping(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
        return true;
    return line.size() > line.rfind(')') + 2 && line[line.rfind(')') + 2] != 'R';
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

#include "sim/records.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>

namespace {

constexpr int64_t NS = 1000000000;

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

} // namespace

void sim_drain_log(int sock, std::vector<sim_log_t> &log, int timeout_ms)
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

void sim_drain_notify(int sock, std::vector<std::string> &messages)
{
    char buf[4096];
    ssize_t n;
    while ((n = recv(sock, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        messages.emplace_back(buf, static_cast<size_t>(n));
}

void sim_append_event(const std::string &path, int64_t now, int pid, const std::string &what)
{
    std::ofstream(path, std::ios::app) << now / NS << "." << std::setw(9) << std::setfill('0')
                                       << now % NS << " " << pid << " " << what << "\n";
}

std::vector<sim_event_t> sim_read_events(const std::string &path)
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

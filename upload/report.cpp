#include "upload/report.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

double seconds_since(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

std::string human(double bytes)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        u++;
    }
    char text[32];
    std::snprintf(text, sizeof text, u ? "%.1f %s" : "%.0f %s", bytes, units[u]);
    return text;
}

void show_progress(const run_t &run, uint64_t in_file)
{
    if (!run.progress)
        return;
    double elapsed = seconds_since(run.started);
    double done = double(run.bytes_done + in_file);
    double rate = elapsed > 0 ? done / elapsed : 0;
    double left = rate > 0 ? (double(run.bytes_total) - done) / rate : 0;
    std::fprintf(stderr, "\r%zu/%zu files, %s of %s, %s/s, %.0f s left   ", run.sent + run.already,
                 run.total, human(done).c_str(), human(double(run.bytes_total)).c_str(),
                 human(rate).c_str(), left);
}


std::string reason_of(const ftp_result_t &r, const ftp_options_t &o, const std::string &file, int64_t busy_waited)
{
    std::string server = std::string(ftp_kind(o)) + " server " + o.server;
    switch (r.status) {
    case FTP_UNREACHABLE:
        return server + " unreachable (" + r.detail + ")";
    case FTP_BUSY:
        return server + " busy: it turned sessions away for " + std::to_string(busy_waited) +
               " s (" + r.detail + "); the rest goes next time";
    case FTP_LOGIN_REFUSED:
        return "login refused by " + o.server + " for user " + o.user + " (" + r.detail + ")" +
               (o.key_file.empty() ? "" : " with the key in " + o.key_file);
    // The fingerprint to pin comes with each: never a key taken unseen.
    case FTP_HOST_KEY_UNKNOWN:
        return "host key of " + server + " unknown: it shows SHA256:" + r.detail +
               "; once the server's administrator confirms that fingerprint (ssh-keygen -lf on the server's key), "
               "set HOST_KEY_SHA256=" + r.detail + " in upload.conf";
    case FTP_HOST_KEY_CHANGED:
        return "host key of " + server + " changed: it shows SHA256:" + r.detail + ", not the key " +
               (o.known_hosts.empty() ? "pinned by HOST_KEY_SHA256" : "in " + o.known_hosts) +
               ", and nothing was sent (another machine may be answering in its place); only if the server's "
               "administrator confirms that fingerprint, set HOST_KEY_SHA256=" + r.detail + " in upload.conf" +
               (o.known_hosts.empty() ? "" : " in place of KNOWN_HOSTS");
    case FTP_TLS_NOT_OFFERED:
        return "TLS required but not offered by FTP server " + o.server + " (" + r.detail + ")";
    case FTP_CERT_NOT_TRUSTED:
        return "certificate of FTP server " + o.server + " not trusted (" + r.detail + ")";
    case FTP_TLS_FAILED:
        return "TLS with FTP server " + o.server + " failed (" + r.detail + ")";
    case FTP_DISK_FULL:
        return "server disk full: " + file + " did not fit on " + o.server + " (" + r.detail + ")";
    case FTP_NO_SIZE:
        return "FTP server " + o.server + " cannot confirm file sizes (it knows neither SIZE nor MLST: " + r.detail +
               "), so no file was given its final name; set SIZE_CHECK=transfer in upload.conf to trust its "
               "transfer replies instead";
    default:
        return "file " + file + " did not transfer to " + o.server + " (" + r.detail + ")";
    }
}

void fail(run_t &run, const std::string &reason)
{
    if (run.reason.empty())
        run.reason = reason;
    else
        run.lines.push_back(reason);
}


// An error log cut short (a full /var) would give the daemon an empty
// reason: it is written whole or removed, and the failure said elsewhere.
void write_error_log(const args_t &a, const run_t &run)
{
    FILE *f = std::fopen(a.error_log.c_str(), "w");
    int error = errno;
    if (f) {
        std::fprintf(f, "%s\n", run.reason.c_str());
        for (const std::string &line : run.lines)
            std::fprintf(f, "%s\n", line.c_str());
        bool ok = std::fflush(f) == 0 && !std::ferror(f);
        error = errno;
        if (std::fclose(f) == 0 && ok)
            return;
        error = ok ? errno : error;
        unlink(a.error_log.c_str());
    }
    syslog(LOG_ERR, "cannot write the error log %s: %s; the failure was: %s", a.error_log.c_str(),
           std::strerror(error), run.reason.c_str());
    std::fprintf(stderr, "velmora-upload: cannot write the error log %s: %s\n", a.error_log.c_str(),
                 std::strerror(error));
}

void report_walk(const walk_result_t &walk, run_t &run)
{
    if (!walk.unsendable.empty())
        fail(run, std::to_string(walk.unsendable.size()) + (walk.unsendable.size() == 1 ? " name" : " names") +
                      " could not be sent (a control character such as CR or LF in the name): " +
                      walk.unsendable.front());
    else if (!walk.unreadable.empty())
        fail(run, std::to_string(walk.unreadable.size()) + " files or folders of the card could not be read, first: " +
                      walk.unreadable.front());
    for (const std::string &name : walk.unsendable)
        run.lines.push_back("name not sent (FTP cannot carry a control character such as CR or LF in a name): " + name);
    for (const std::string &name : walk.unreadable)
        run.lines.push_back("not readable on the card: " + name);
}

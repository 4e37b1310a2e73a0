// The FTP session: one libcurl handle for the whole card, so the connection
// and the login stay up and each file costs only its own commands.
//
// A file is stored under a hidden temporary name in its folder, renamed once
// whole, and its size read back from the server; ftp_put() succeeds only
// then. The password is handed to libcurl alone, never to a URL or a log.
#pragma once

#include <cstdint>
#include <string>

enum ftp_tls_t { FTP_TLS_AUTO, FTP_TLS_REQUIRE, FTP_TLS_OFF };

struct ftp_options_t {
    std::string server;       // host or host:port
    std::string folder;       // below the login folder
    std::string user;
    std::string password;
    ftp_tls_t tls = FTP_TLS_AUTO;
    std::string ca_file;      // empty: the system's CAs (require) or none (auto)
    long connect_timeout = 15;
    long low_speed_limit = 100;   // bytes/s ...
    long low_speed_time = 60;     // ... for this many seconds aborts a transfer
    uint64_t max_rate = 0;        // bytes/s, 0 for no limit
};

// What went wrong, as an installer would name it.
enum ftp_status_t {
    FTP_OK,
    FTP_UNREACHABLE,
    FTP_LOGIN_REFUSED,
    FTP_TLS_NOT_OFFERED,
    FTP_CERT_NOT_TRUSTED,
    FTP_TLS_FAILED,
    FTP_DISK_FULL,
    FTP_FILE_FAILED,
};

struct ftp_result_t {
    ftp_status_t status = FTP_OK;
    bool transient = false;   // worth another try after a pause
    std::string detail;       // the server's reply or libcurl's reason
    bool resumed = false;
    uint64_t sent = 0;        // bytes of the file sent this time
};

struct ftp_session_t;
// Returns false to stop the transfer at once (it then fails as not sent).
using ftp_progress_fn = bool (*)(void *context, uint64_t sent);

// Null when libcurl cannot be set up.
ftp_session_t *ftp_open(const ftp_options_t &options);
void ftp_close(ftp_session_t *session);
// Called during a transfer with the bytes of the file sent so far.
void ftp_set_progress(ftp_session_t *session, ftp_progress_fn fn, void *context);
// Stores the local file `fd` of `size` bytes as `path` (relative to the
// folder). `seconds_left` > 0 bounds the whole attempt. A partial temporary
// file from an earlier attempt is continued when the file is large enough
// to be worth it.
ftp_result_t ftp_put(ftp_session_t *session, const std::string &path, int fd, uint64_t size,
                     int64_t mtime, long seconds_left);
// After a login: whether the session was encrypted, and whether it was
// refused encryption by a server that offers none.
bool ftp_encrypted(const ftp_session_t *session);
bool ftp_logged_in(const ftp_session_t *session);

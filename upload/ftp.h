// The FTP or SFTP session: one libcurl handle for the whole card, so the
// connection and the login stay up and each file costs only its own commands.
//
// A file is stored under a hidden temporary name in its folder and gets its
// final name only once the server confirms its size; ftp_put() succeeds only
// then. Every command names its path in full from the login folder (no CWD),
// so no card name can steer a command outside the destination folder. The
// password is handed to libcurl alone, never to a URL or a log. Over SFTP
// the server's host key is checked before the login, and the same functions
// keep the same promises.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

// IMPLICIT: TLS from the first byte (port 990 unless the server names
// another), the certificate checked as with REQUIRE.
enum ftp_tls_t { FTP_TLS_AUTO, FTP_TLS_REQUIRE, FTP_TLS_IMPLICIT, FTP_TLS_OFF };

enum ftp_protocol_t { PROTOCOL_FTP, PROTOCOL_SFTP };

struct ftp_options_t {
    ftp_protocol_t protocol = PROTOCOL_FTP;
    std::string server;       // host, host:port, [IPv6] or [IPv6]:port
    std::string folder;       // below the login folder
    std::string user;
    std::string password;
    ftp_tls_t tls = FTP_TLS_AUTO;
    std::string ca_file;      // empty: the system's CAs (require) or none (auto)
    long connect_timeout = 15;
    long low_speed_limit = 100;   // bytes/s ...
    long low_speed_time = 60;     // ... for this many seconds aborts a transfer
    uint64_t max_rate = 0;        // bytes/s for all sessions together, 0 for no limit
    // A server that can report no size (neither SIZE nor MLST): trust the
    // transfer's own reply instead of refusing to rename.
    bool trust_transfer_reply = false;
    // CLOCK_MONOTONIC milliseconds at which every request ends, 0 for none.
    int64_t deadline_ms = 0;
    // SFTP: the host key, pinned by its fingerprint (as ssh_fingerprint()
    // gives it) or looked up in an OpenSSH known_hosts file; with neither,
    // every key is refused and named. A private key file logs in instead of
    // the password, or before it.
    std::string host_key_sha256;
    std::string known_hosts;
    std::string key_file;
};

// "FTP" or "SFTP", for the words an installer reads.
const char *ftp_kind(const ftp_options_t &options);

// What went wrong, as an installer would name it.
enum ftp_status_t {
    FTP_OK,
    FTP_UNREACHABLE,
    FTP_BUSY,           // it turns sessions away: too many users, try later
    FTP_LOGIN_REFUSED,
    FTP_TLS_NOT_OFFERED,
    FTP_CERT_NOT_TRUSTED,
    FTP_TLS_FAILED,
    FTP_DISK_FULL,
    FTP_NO_SIZE,        // the server cannot report a file's size
    FTP_FILE_FAILED,
    FTP_HOST_KEY_UNKNOWN,   // SFTP: no key pinned, or not in known_hosts
    FTP_HOST_KEY_CHANGED,   // SFTP: another key than the one pinned or known
};

struct ftp_result_t {
    ftp_status_t status = FTP_OK;
    bool transient = false;   // worth another try after a pause
    bool file_only = false;   // only this file is concerned: the others can go
    bool size_mismatch = false;   // the server holds another size than was sent
    std::string detail;       // the server's reply or libcurl's reason, printable;
                              // for a host key, the server's fingerprint
    bool resumed = false;
    uint64_t sent = 0;        // bytes of the file sent this time
};

struct ftp_session_t;
// Returns false to stop the transfer at once (it then fails as not sent).
using ftp_progress_fn = bool (*)(void *context, uint64_t sent);

// Null when libcurl cannot be set up.
ftp_session_t *ftp_open(const ftp_options_t &options);
void ftp_close(ftp_session_t *session);
// Logs out and drops the connection (the session is done): a server that
// counts sessions per address or user gets the slot back at once.
void ftp_hang_up(ftp_session_t *session);
// Empty when `server` can be used in a URL, otherwise why not.
std::string ftp_server_problem(const std::string &server);
// Empty when this libcurl speaks the protocol (SFTP needs one built with
// libssh2), otherwise why not.
std::string ftp_protocol_problem(const ftp_options_t &options);
// Called during a transfer with the bytes of the file sent so far.
void ftp_set_progress(ftp_session_t *session, ftp_progress_fn fn, void *context);
// Stores the first `size` bytes of the local file `fd` as `path` (relative to
// the folder). A partial temporary file from an earlier attempt is continued
// when the file is large enough to be worth it.
ftp_result_t ftp_put(ftp_session_t *session, const std::string &path, int fd, uint64_t size,
                     int64_t mtime);
// Removes the temporary file an earlier run left for this version of `path`;
// one that is not there is no failure.
ftp_result_t ftp_drop_temporary(ftp_session_t *session, const std::string &path, uint64_t size,
                                int64_t mtime);
// A file as the server lists it: its time to the second (MLSD), or to the
// minute or the day of a listing meant for people (LIST), read as UTC.
struct ftp_listed_t {
    uint64_t size = 0;
    int64_t mtime = 0;
    int64_t precision = 1;   // seconds
};
// What one listing of a folder shows.
struct ftp_listing_t {
    std::map<std::string, ftp_listed_t> files;   // regular files by name
    std::set<std::string> folders;               // subfolders by name
    bool missing = false;                        // the folder is not there
};
// Lists `folder` ("" or "a/b/", below the destination folder) with one
// command: MLSD, or LIST where the server has no MLSD; over SFTP, the
// listing meant for people that OpenSSH's server writes (as LIST's).
ftp_result_t ftp_list(ftp_session_t *session, const std::string &folder, ftp_listing_t &listing);
// Lists the destination folder itself, and reads the server's listing clock
// against this one with a one-byte file stored just before: a listed time
// minus `offset` is on this clock, to within `slack` seconds (a server's
// time zone in LIST, a clock set differently). Without a reading (the file
// could not be stored) `offset` is 0 and `slack` covers any time zone.
ftp_result_t ftp_list_with_clock(ftp_session_t *session, ftp_listing_t &listing, int64_t &offset, int64_t &slack);
// After a login: whether the session was encrypted.
bool ftp_encrypted(const ftp_session_t *session);
bool ftp_logged_in(const ftp_session_t *session);

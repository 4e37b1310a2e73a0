#include "upload/ftp.h"
#include "upload/hostkey.h"
#include "upload/walk.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

// Below this size a lost partial file costs less than asking the server
// for it: small files simply start again.
constexpr uint64_t RESUME_MIN = uint64_t{256} * 1024;
// After the last byte the server answers only once the link has drained the
// socket buffers, which on a slow link holds many seconds of data.
constexpr long RESPONSE_TIMEOUT_MIN = 120;
// The longest libcurl is left asleep: it is woken earlier by its sockets
// and by its own timers.
constexpr int POLL_MS = 1000;
// A partial file is continued once two sizes this far apart agree.
constexpr int64_t SETTLE_MS = 1000;
constexpr int SETTLE_TRIES = 10;
// Stored in the destination folder and listed at once, to read the times
// of the server's listings on the device's clock.
constexpr const char *CLOCK_PROBE = ".velmora-upload-clock-probe";
// Without that reading a listing's time may be off by a time zone.
constexpr int64_t UNKNOWN_CLOCK_SLACK = int64_t{14} * 3600;
// Stored beside a file that will not grow, to tell a full disk from a link
// that breaks data connections.
constexpr const char *SPACE_PROBE = ".velmora-upload-space-probe";
// A stop lets a request whose bytes are all out finish this long: cut off
// between RNTO and its reply, the server holds a file no record knows of.
constexpr int64_t FINISH_GRACE_MS = 3000;

// MAX_RATE holds for the run, every session together: each piece of a file
// waits for its turn on one clock. At most this long a burst may make up
// for a pause, and a piece is never more than this share of a second.
constexpr int64_t PACE_BURST_US = 200000;
constexpr uint64_t PACE_PIECES_PER_S = 20;
std::mutex pace_lock;
int64_t pace_next_us = 0;

enum size_method_t { SIZE_BY_SIZE, SIZE_BY_MLST, SIZE_UNKNOWN };
// "LIST -a": a plain LIST leaves out names that start with a dot.
enum list_method_t { LIST_BY_MLSD, LIST_ALL, LIST_PLAIN };

// A list of FTP commands that frees itself.
struct commands_t {
    curl_slist *list = nullptr;
    commands_t() = default;
    commands_t(const commands_t &) = delete;
    commands_t &operator=(const commands_t &) = delete;
    ~commands_t() { curl_slist_free_all(list); }
    void add(const std::string &command) { list = curl_slist_append(list, command.c_str()); }
};

int64_t now_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t now_ms()
{
    return now_us() / 1000;
}

// When `bytes` more may go out at `rate` bytes/s, every session counted.
int64_t pace_reserve(uint64_t bytes, uint64_t rate)
{
    std::lock_guard<std::mutex> hold(pace_lock);
    int64_t start = std::max(pace_next_us, now_us() - PACE_BURST_US);
    pace_next_us = start + int64_t(bytes * 1000000 / rate);
    return start;
}

} // namespace

struct ftp_session_t {
    CURLM *multi = nullptr;   // holds the connection between transfers
    CURL *curl = nullptr;
    ftp_options_t options;
    std::string root_url;     // ftp://server/
    std::string base;         // the destination folder below the login folder, "" or "a/b/"
    char error[CURL_ERROR_SIZE] = "";
    // During one perform: the last command sent and the server's replies.
    std::string command;
    int last_code = 0;
    // SFTP: what was wrong with the host key the server showed, when it was
    // refused, and its fingerprint.
    ftp_status_t host_key_problem = FTP_OK;
    std::string host_key;
    std::string last_reply;
    bool replied = false;
    bool size_seen = false;
    uint64_t size_reply = 0;
    bool rnfr_accepted = false;
    bool rnto_refused = false;
    bool append_refused = false;
    bool store_refused = false;
    bool size_refused = false;
    // While confirming, the rename is stopped (held back) unless the server
    // holds whole_size bytes of the temporary file.
    bool confirming = false;
    bool held_back = false;
    uint64_t whole_size = 0;
    // For the whole session.
    size_method_t size_method = SIZE_BY_SIZE;
    list_method_t list_method = LIST_BY_MLSD;
    std::string *listing = nullptr;   // the body of a listing, while one runs
    bool encrypted = false;
    bool logged_in = false;
    std::set<std::string> folders;   // known to exist on the server
    // A file whose last attempt broke off: its partial file is worth asking
    // for, however small.
    std::string broken_path;
    // The file being sent.
    int fd = -1;
    uint64_t start = 0;
    uint64_t sent = 0;
    uint64_t end = 0;
    bool shrunk = false;
    int64_t stopped_ms = 0;   // when the progress function first said stop
    ftp_progress_fn progress = nullptr;
    void *progress_context = nullptr;
};

namespace {

bool digits3(const char *p)
{
    return p[0] >= '0' && p[0] <= '9' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9';
}

// The path as the server must see it: from the login folder, and never
// starting with '~', which servers expand to a home folder.
std::string on_server(const ftp_session_t *s, const std::string &path)
{
    std::string full = s->base + path;
    return full.compare(0, 1, "~") == 0 ? "./" + full : full;
}

std::string size_command(const ftp_session_t *s, const std::string &path)
{
    return (s->size_method == SIZE_BY_MLST ? "MLST " : "SIZE ") + on_server(s, path);
}

bool sftp(const ftp_session_t *s)
{
    return s->options.protocol == PROTOCOL_SFTP;
}

// A path in libcurl's SFTP commands: quoted whole, so blanks and quotes in
// names stay in them, and relative, so the server takes it from the login
// folder as the transfers' URLs do.
std::string sftp_path(const ftp_session_t *s, const std::string &path)
{
    std::string quoted = "\"";
    for (char c : on_server(s, path)) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// Removes `path`; one that is not there is no failure.
std::string remove_command(const ftp_session_t *s, const std::string &path)
{
    return sftp(s) ? "*rm " + sftp_path(s, path) : "*DELE " + on_server(s, path);
}

// The server's host key, pinned: it goes only when its fingerprint is the
// one in upload.conf, and the fingerprint is kept for the reason.
int on_host_key(void *context, int, const char *key, size_t length)
{
    auto *s = static_cast<ftp_session_t *>(context);
    s->host_key = ssh_fingerprint(reinterpret_cast<const unsigned char *>(key), length);
    if (!s->options.host_key_sha256.empty() && s->host_key == s->options.host_key_sha256)
        return CURLKHMATCH_OK;
    s->host_key_problem = s->options.host_key_sha256.empty() ? FTP_HOST_KEY_UNKNOWN : FTP_HOST_KEY_CHANGED;
    return CURLKHMATCH_MISMATCH;
}

// The server's host key, as a known_hosts file has it.
int on_known_host(CURL *, const curl_khkey *, const curl_khkey *found, curl_khmatch match, void *context)
{
    auto *s = static_cast<ftp_session_t *>(context);
    // libcurl hands the key raw (with its length) as it came from the server.
    if (found && found->len)
        s->host_key = ssh_fingerprint(reinterpret_cast<const unsigned char *>(found->key), found->len);
    if (match == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    s->host_key_problem = match == CURLKHMATCH_MISMATCH ? FTP_HOST_KEY_CHANGED : FTP_HOST_KEY_UNKNOWN;
    return CURLKHSTAT_REJECT;
}

// The first word of every command libcurl sends, so each reply is known by
// what it answers. Nothing else of the commands is kept: one is the password.
int on_debug(CURL *, curl_infotype type, char *data, size_t size, void *context)
{
    if (type != CURLINFO_HEADER_OUT)
        return 0;
    auto *s = static_cast<ftp_session_t *>(context);
    size_t word = 0;
    while (word < size && word < 8 && data[word] != ' ' && data[word] != '\r')
        word++;
    s->command.assign(data, word);
    return 0;
}

// An MLST fact line, " type=file;size=1234;modify=...; name".
bool mlst_size(const std::string &line, uint64_t &size)
{
    if (line.empty() || line[0] != ' ')
        return false;
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    size_t at = lower.find("size=");
    if (at == std::string::npos || (at > 1 && lower[at - 1] != ';'))
        return false;
    char *end = nullptr;
    size = std::strtoull(line.c_str() + at + 5, &end, 10);
    return end && *end == ';';
}

// libcurl hands every reply line of the server to the header callback.
size_t on_reply(char *data, size_t size, size_t count, void *context)
{
    auto *s = static_cast<ftp_session_t *>(context);
    size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (s->command == "MLST" && mlst_size(line, s->size_reply))
        s->size_seen = true;
    if (line.size() < 4 || !digits3(line.c_str()) || line[3] != ' ')
        return n;
    s->replied = true;
    s->last_code = std::atoi(line.substr(0, 3).c_str());
    // A reply can quote a whole path back: the reason must stay readable.
    s->last_reply = walk_printable(line.substr(0, 300));
    bool refused = s->last_code >= 400;
    if (s->last_code == 234)
        s->encrypted = true;
    else if (s->last_code == 230)
        s->logged_in = true;
    if (s->command == "SIZE" && s->last_code == 213) {
        s->size_seen = true;
        s->size_reply = std::strtoull(line.c_str() + 4, nullptr, 10);
    }
    bool sizing = s->command == "SIZE" || s->command == "MLST";
    // 500, 502 and 504: the command itself is unknown or not offered.
    if (sizing && (s->last_code == 500 || s->last_code == 502 || s->last_code == 504))
        s->size_refused = true;
    s->append_refused |= s->command == "APPE" && refused;
    s->store_refused |= s->command == "STOR" && refused;
    s->rnto_refused |= s->command == "RNTO" && refused;
    // Only a whole file gets its final name: the rename that follows the
    // size query is cut off here, before its RNTO, unless the server holds
    // every byte.
    bool whole = s->size_seen && s->size_reply == s->whole_size;
    bool before_rename = (sizing && !refused) || (s->command == "RNFR" && s->last_code == 350);
    if (s->confirming && before_rename && !whole) {
        s->held_back = true;
        return 0;
    }
    s->rnfr_accepted |= s->command == "RNFR" && s->last_code == 350;
    return n;
}

size_t on_read(char *buffer, size_t size, size_t count, void *context)
{
    auto *s = static_cast<ftp_session_t *>(context);
    // Never more than was measured: a file written while it is sent goes as
    // it was, and the next run sends its new version.
    uint64_t left = s->end - (s->start + s->sent);
    // Over SFTP, asked for bytes is the first sign of a login.
    if (sftp(s))
        s->logged_in = true;
    if (left == 0)
        return 0;
    uint64_t want = std::min<uint64_t>(size * count, left);
    uint64_t rate = s->options.max_rate;
    if (rate) {
        want = std::min(want, std::max<uint64_t>(1024, rate / PACE_PIECES_PER_S));
        // The wait is read once and slept in naps, not against the clock.
        for (int64_t wait = pace_reserve(want, rate) - now_us(); wait > 0; wait -= 100000) {
            if (s->progress && !s->progress(s->progress_context, s->start + s->sent))
                return CURL_READFUNC_ABORT;
            usleep(useconds_t(std::min<int64_t>(wait, 100000)));
        }
    }
    ssize_t n = pread(s->fd, buffer, size_t(want), off_t(s->start + s->sent));
    if (n < 0)
        return CURL_READFUNC_ABORT;
    if (n == 0) {
        s->shrunk = true;
        return CURL_READFUNC_ABORT;
    }
    s->sent += uint64_t(n);
    return size_t(n);
}

// What a request writes as if it were a file's contents: kept only for a
// listing, and only up to a bound a card's folder never needs.
constexpr size_t LISTING_MAX = 64 << 20;

size_t on_body(char *data, size_t size, size_t count, void *context)
{
    auto *s = static_cast<ftp_session_t *>(context);
    if (s->listing) {
        if (s->listing->size() + size * count > LISTING_MAX)
            return 0;
        s->listing->append(data, size * count);
    }
    return size * count;
}

int on_progress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *s = static_cast<ftp_session_t *>(context);
    if (!s->progress || s->progress(s->progress_context, s->start + s->sent))
        return 0;
    if (s->start + s->sent < s->end)
        return 1;
    if (s->stopped_ms == 0)
        s->stopped_ms = now_ms();
    return now_ms() - s->stopped_ms > FINISH_GRACE_MS ? 1 : 0;
}

void set_tls(CURL *c, const ftp_options_t &o)
{
    if (o.tls == FTP_TLS_OFF) {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
        return;
    }
    bool required = o.tls == FTP_TLS_REQUIRE || o.tls == FTP_TLS_IMPLICIT;
    curl_easy_setopt(c, CURLOPT_USE_SSL, long(required ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    // Servers as they ship (require_ssl_reuse and the like) accept a data
    // connection only when it resumes the control connection's TLS session.
    // Under TLS 1.3 the session ticket comes after the handshake and this
    // libcurl does not offer it on every data connection, so the server
    // refuses them; TLS 1.2 resumes every time.
    curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2) | long(CURL_SSLVERSION_MAX_TLSv1_2));
    bool verify = required || !o.ca_file.empty();
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, long(verify));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (!o.ca_file.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, o.ca_file.c_str());
}

void set_ssh(CURL *c, ftp_session_t *s)
{
    const ftp_options_t &o = s->options;
    long methods = 0;
    if (!o.key_file.empty()) {
        methods |= CURLSSH_AUTH_PUBLICKEY;
        curl_easy_setopt(c, CURLOPT_SSH_PRIVATE_KEYFILE, o.key_file.c_str());
        // Without KEY_FILE.pub libssh2 derives the public key from the
        // private one.
        std::string public_key = o.key_file + ".pub";
        curl_easy_setopt(c, CURLOPT_SSH_PUBLIC_KEYFILE, access(public_key.c_str(), R_OK) == 0 ? public_key.c_str() : "");
    }
    // Servers that take passwords only as keyboard-interactive (PAM) get it
    // that way.
    if (!o.password.empty() || methods == 0)
        methods |= CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD;
    curl_easy_setopt(c, CURLOPT_SSH_AUTH_TYPES, methods);
    if (!o.known_hosts.empty()) {
        curl_easy_setopt(c, CURLOPT_SSH_KNOWNHOSTS, o.known_hosts.c_str());
        curl_easy_setopt(c, CURLOPT_SSH_KEYFUNCTION, on_known_host);
        curl_easy_setopt(c, CURLOPT_SSH_KEYDATA, s);
    } else {
        // Also with no key pinned: libcurl alone would take any key.
        curl_easy_setopt(c, CURLOPT_SSH_HOSTKEYFUNCTION, on_host_key);
        curl_easy_setopt(c, CURLOPT_SSH_HOSTKEYDATA, s);
    }
    // The transfer's URL names the file from the login folder; libcurl
    // makes the folders on the way where opening it fails.
    curl_easy_setopt(c, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_RETRY));
    s->encrypted = true;
}

void begin(ftp_session_t *s, const std::string &url)
{
    s->replied = false;
    s->last_code = 0;
    s->last_reply.clear();
    s->command.clear();
    s->size_seen = false;
    s->size_refused = false;
    s->held_back = false;
    s->rnfr_accepted = false;
    s->rnto_refused = false;
    s->append_refused = false;
    s->store_refused = false;
    s->confirming = false;
    s->error[0] = 0;
    s->sent = 0;
    s->start = s->end = 0;
    s->stopped_ms = 0;
    curl_easy_setopt(s->curl, CURLOPT_URL, url.c_str());
    long timeout = 0;
    if (s->options.deadline_ms > 0)
        timeout = long(std::max<int64_t>(1, s->options.deadline_ms - now_ms()));
    curl_easy_setopt(s->curl, CURLOPT_TIMEOUT_MS, timeout);
}

// A 530 that means "not now", not "not you".
bool busy_words(const std::string &reply)
{
    std::string lower = reply;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const char *words : {"too many", "maximum number", "already connected", "try later", "try again later"}) {
        if (lower.find(words) != std::string::npos)
            return true;
    }
    return false;
}

// SFTP has no reply codes to read: what failed is libcurl's code, and
// whether the session had logged in by then.
ftp_result_t sftp_failure(const ftp_session_t *s, CURLcode code)
{
    ftp_result_t r;
    r.detail = walk_printable(s->error[0] ? s->error : curl_easy_strerror(code));
    r.sent = s->sent;
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        r.status = FTP_UNREACHABLE;
        r.transient = true;
        break;
    case CURLE_LOGIN_DENIED:
        r.status = FTP_LOGIN_REFUSED;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
        r.status = s->host_key_problem == FTP_OK ? FTP_HOST_KEY_CHANGED : s->host_key_problem;
        if (!s->host_key.empty())
            r.detail = s->host_key;
        break;
    case CURLE_REMOTE_DISK_FULL:
        r.status = FTP_DISK_FULL;
        break;
    // A broken link, a server going down, a handshake cut short (as
    // OpenSSH's MaxStartups does to connections beyond its limit).
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_AGAIN:
    case CURLE_SSH:
        r.status = s->logged_in ? FTP_FILE_FAILED : FTP_UNREACHABLE;
        r.transient = true;
        break;
    default:
        r.status = FTP_FILE_FAILED;
        r.file_only = true;
        break;
    }
    return r;
}

ftp_result_t failure(const ftp_session_t *s, CURLcode code, bool storing)
{
    if (sftp(s))
        return sftp_failure(s, code);
    ftp_result_t r;
    r.detail = s->replied && s->last_code >= 400 ? s->last_reply
                                                 : walk_printable(s->error[0] ? s->error : curl_easy_strerror(code));
    r.sent = s->sent;
    // Turned away before the login: "421 too many connected users", "530
    // maximum number of clients". After it, 421 is the server going down.
    if (!s->logged_in && (s->last_code == 421 || (s->last_code == 530 && busy_words(s->last_reply)))) {
        r.status = FTP_BUSY;
        r.transient = true;
        return r;
    }
    if (s->last_code == 421) {
        r.status = FTP_UNREACHABLE;
        r.transient = true;
        return r;
    }
    if (storing && (s->last_code == 452 || s->last_code == 552)) {
        r.status = FTP_DISK_FULL;
        return r;
    }
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        r.status = FTP_UNREACHABLE;
        r.transient = true;
        break;
    case CURLE_OPERATION_TIMEDOUT:
        r.status = s->logged_in ? FTP_FILE_FAILED : FTP_UNREACHABLE;
        r.transient = true;
        break;
    case CURLE_LOGIN_DENIED:
        r.status = FTP_LOGIN_REFUSED;
        break;
    case CURLE_USE_SSL_FAILED:
        r.status = FTP_TLS_NOT_OFFERED;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        r.status = FTP_CERT_NOT_TRUSTED;
        break;
    case CURLE_SSL_CONNECT_ERROR:
        r.status = FTP_TLS_FAILED;
        break;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_WEIRD_SERVER_REPLY:
        r.status = s->logged_in || s->replied ? FTP_FILE_FAILED : FTP_UNREACHABLE;
        r.transient = true;
        break;
    default:
        r.status = FTP_FILE_FAILED;
        r.file_only = true;
        break;
    }
    return r;
}

CURLcode perform(ftp_session_t *s)
{
    if (curl_multi_add_handle(s->multi, s->curl) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_FAILED_INIT;
    int running = 1;
    bool nudged = false;
    while (running) {
        if (curl_multi_perform(s->multi, &running) != CURLM_OK)
            break;
        if (!running)
            break;
        // Debian 12's libcurl (7.88), having read the reply that names the
        // data connection, at times returns watching no socket and with no
        // timer due before its next second: 2000 small files took 24 s
        // instead of 3. One more call opens the connection; only a transfer
        // that then still watches nothing (one held back by the rate limit)
        // sleeps, until its own timer.
        fd_set reading, writing, errors;
        FD_ZERO(&reading);
        FD_ZERO(&writing);
        FD_ZERO(&errors);
        int highest = -1;
        curl_multi_fdset(s->multi, &reading, &writing, &errors, &highest);
        if (highest < 0 && !nudged) {
            nudged = true;
            continue;
        }
        nudged = false;
        if (curl_multi_poll(s->multi, nullptr, 0, POLL_MS, nullptr) != CURLM_OK)
            break;
    }
    int left;
    while (CURLMsg *message = curl_multi_info_read(s->multi, &left)) {
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    }
    curl_multi_remove_handle(s->multi, s->curl);
    // SFTP's login shows in no reply: these come only from a server that
    // took it (a file or folder refused, not there, or the disk full).
    if (sftp(s) && (result == CURLE_OK || result == CURLE_REMOTE_FILE_NOT_FOUND || result == CURLE_QUOTE_ERROR ||
                    result == CURLE_REMOTE_ACCESS_DENIED || result == CURLE_REMOTE_DISK_FULL ||
                    result == CURLE_UPLOAD_FAILED))
        s->logged_in = true;
    return result;
}

// Commands alone, no transfer. They run from the login folder, which is
// where every command of the session runs.
CURLcode run_commands(ftp_session_t *s, const commands_t &commands, bool confirming, uint64_t whole)
{
    begin(s, s->root_url);
    curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(s->curl, CURLOPT_QUOTE, commands.list);
    s->confirming = confirming;
    s->whole_size = whole;
    CURLcode code = perform(s);
    s->confirming = false;
    curl_easy_setopt(s->curl, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
    return code;
}

// Every folder on the way to `folder` ("a/b/"), made where missing.
CURLcode make_folders(ftp_session_t *s, const std::string &folder)
{
    commands_t mkd;
    std::string path = s->base + folder;
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (!part.empty() && s->folders.count(part + "/") == 0)
            mkd.add("*MKD " + (part.compare(0, 1, "~") == 0 ? "./" + part : part));
    }
    return mkd.list ? run_commands(s, mkd, false, 0) : CURLE_OK;
}

CURLcode store(ftp_session_t *s, const std::string &url, uint64_t offset, uint64_t size,
               const commands_t &after)
{
    begin(s, url);
    s->start = offset;
    s->end = size;
    s->shrunk = false;
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(s->curl, CURLOPT_APPEND, long(offset > 0));
    curl_easy_setopt(s->curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(size - offset));
    curl_easy_setopt(s->curl, CURLOPT_POSTQUOTE, after.list);
    s->confirming = !(s->size_method == SIZE_UNKNOWN && s->options.trust_transfer_reply);
    s->whole_size = size;
    CURLcode code = perform(s);
    s->confirming = false;
    curl_easy_setopt(s->curl, CURLOPT_POSTQUOTE, nullptr);
    return code;
}

std::string url_of(const ftp_session_t *s, const std::string &path)
{
    return s->root_url + walk_encode(on_server(s, path));
}

// SFTP: the size of `path` on the server, read with a stat; `there` is
// false when the server has no such file.
CURLcode sftp_size(ftp_session_t *s, const std::string &path, uint64_t &size, bool &there)
{
    begin(s, url_of(s, path));
    curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 1L);
    CURLcode code = perform(s);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
    there = code == CURLE_OK;
    size = 0;
    // libcurl reads an empty file's size as unknown (-1).
    curl_off_t length = -1;
    if (there && curl_easy_getinfo(s->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
        size = uint64_t(length);
    return code == CURLE_REMOTE_FILE_NOT_FOUND ? CURLE_OK : code;
}

// SFTP: renames `from` to `to`, removing `to` first where `replace`.
CURLcode sftp_rename(ftp_session_t *s, const std::string &from, const std::string &to, bool replace)
{
    commands_t rename;
    if (replace)
        rename.add(remove_command(s, to));
    rename.add("rename " + sftp_path(s, from) + " " + sftp_path(s, to));
    return run_commands(s, rename, false, 0);
}

// Size of the partial temporary file on the server, 0 when there is none.
bool partial_size(ftp_session_t *s, const std::string &tmp_path, uint64_t &size, ftp_result_t &r)
{
    size = 0;
    if (s->size_method == SIZE_UNKNOWN)
        return true;
    commands_t ask;
    if (!sftp(s))
        ask.add("*" + size_command(s, tmp_path));
    // A partial file may still grow: the server writes what the link held
    // of a transfer that broke off, and bytes appended at a size read too
    // early would land after those, at the wrong place. It is continued
    // once its size holds still.
    for (int tries = 0; tries < SETTLE_TRIES; tries++) {
        uint64_t before = size;
        bool there = false;
        CURLcode code = sftp(s) ? sftp_size(s, tmp_path, size, there) : run_commands(s, ask, false, 0);
        if (code != CURLE_OK) {
            r = failure(s, code, false);
            return false;
        }
        if (!sftp(s))
            size = s->size_seen ? s->size_reply : 0;
        if (size == 0 || (tries > 0 && size == before))
            return true;
        // Counted in naps: the clock may be a stand-in that sleeps do not move.
        for (int64_t slept = 0; slept < SETTLE_MS; slept += 50) {
            if (s->progress && !s->progress(s->progress_context, 0))
                return true;
            usleep(50000);
        }
    }
    size = 0;   // still growing: started over
    return true;
}

// A transfer that broke off or failed in the server's writing: either its
// disk is full (its 451 or 452 is lost when it cuts the data connection
// mid-way, and 451 names any failed write) or the link breaks data
// connections. A one-byte file tells them apart: its reply is not lost.
// Stores a one-byte file as `path`.
CURLcode store_probe(ftp_session_t *s, const std::string &path)
{
    int fd = memfd_create("probe", MFD_CLOEXEC);
    if (fd < 0 || write(fd, "\n", 1) != 1) {
        if (fd >= 0)
            close(fd);
        return CURLE_READ_ERROR;
    }
    int saved_fd = s->fd;
    s->fd = fd;
    commands_t none;
    CURLcode code = store(s, url_of(s, path), 0, 1, none);
    s->fd = saved_fd;
    close(fd);
    return code;
}

bool disk_full(ftp_session_t *s, const std::string &folder, ftp_result_t &r)
{
    std::string probe = folder + SPACE_PROBE;
    CURLcode code = store_probe(s, probe);
    if (code == CURLE_READ_ERROR)
        return false;
    int reply = s->last_code;
    std::string detail = !sftp(s) ? s->last_reply : s->error[0] ? walk_printable(s->error) : "it refused one byte too";
    commands_t drop;
    drop.add(remove_command(s, probe));
    run_commands(s, drop, false, 0);
    // OpenSSH's server names a full disk no better than any failed write,
    // but a link that breaks does not refuse one byte on a connection that
    // was just made.
    bool full = code != CURLE_OK && (sftp(s) ? code == CURLE_SSH || code == CURLE_REMOTE_DISK_FULL
                                             : reply == 452 || reply == 552 || reply == 451);
    if (full) {
        r.status = FTP_DISK_FULL;
        r.transient = false;   // more tries only send the same bytes again
        r.file_only = false;
        r.detail = detail;
    }
    return full;
}

// "type=file;size=12;modify=20261208093000; name" (MLSD, times in UTC).
// The type: 'f' a file, 'd' a folder, 0 anything else or unreadable.
char mlsd_entry(const std::string &line, std::string &name, ftp_listed_t &file)
{
    size_t blank = line.find("; ");
    if (blank == std::string::npos)
        return 0;
    name = line.substr(blank + 2);
    std::string facts = ";" + line.substr(0, blank + 1);
    std::transform(facts.begin(), facts.end(), facts.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    auto fact = [&facts](const char *key) {
        size_t at = facts.find(";" + std::string(key) + "=");
        if (at == std::string::npos)
            return std::string();
        at += std::strlen(key) + 2;
        return facts.substr(at, facts.find(';', at) - at);
    };
    if (fact("type") == "dir")
        return 'd';
    std::string modify = fact("modify");
    tm t{};
    if (fact("type") != "file" || fact("size").empty() || modify.size() < 14 ||
        !strptime(modify.substr(0, 14).c_str(), "%Y%m%d%H%M%S", &t))
        return 0;
    file.size = std::strtoull(fact("size").c_str(), nullptr, 10);
    file.mtime = int64_t(timegm(&t));
    file.precision = 1;
    return 'f';
}

// "-rw-r--r--    1 ftp ftp  12 Dec 08 09:30 name", or with a year instead
// of the time for files older than half a year; 'd' lines are folders.
char list_entry(const std::string &line, std::string &name, ftp_listed_t &file)
{
    if (line.empty() || (line[0] != '-' && line[0] != 'd'))
        return 0;
    size_t at = 0;
    std::string fields[8];
    for (std::string &field : fields) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string::npos)
            return 0;
        size_t end = line.find(' ', at);
        if (end == std::string::npos)
            return 0;
        field = line.substr(at, end - at);
        at = end;
    }
    name = line.substr(at + 1);
    if (name.empty())
        return 0;
    if (line[0] == 'd')
        return 'd';
    if (fields[4].find_first_not_of("0123456789") != std::string::npos)
        return 0;
    time_t now = time(nullptr);
    tm today{};
    gmtime_r(&now, &today);
    tm t{};
    std::string when = fields[5] + " " + fields[6] + " " + fields[7];
    file.precision = 86400;
    if (fields[7].find(':') != std::string::npos) {
        file.precision = 60;
        if (!strptime(when.c_str(), "%b %d %H:%M", &t))
            return 0;
        t.tm_year = today.tm_year;
        // Without a year the time is within the last half year.
        if (timegm(&t) > now + 86400)
            t.tm_year--;
    } else if (!strptime(when.c_str(), "%b %d %Y", &t))
        return 0;
    file.size = std::strtoull(fields[4].c_str(), nullptr, 10);
    file.mtime = int64_t(timegm(&t));
    return 'f';
}

// A transfer that ended with the link or the session, not with a refusal.
bool cut_off(CURLcode code)
{
    return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_PARTIAL_FILE ||
           code == CURLE_OPERATION_TIMEDOUT || code == CURLE_GOT_NOTHING || code == CURLE_AGAIN;
}

// A file's folder below the destination: "" or "a/b/".
std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The hidden temporary name of this version of the file, in its folder. It
// carries size and time: a partial file of an older version of the file is
// never continued with the new one's bytes.
std::string temp_path_of(const std::string &path, uint64_t size, int64_t mtime)
{
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder_of(path) + walk_temp_name(name, size, mtime);
}

// Where the transfer starts: the size of a partial temporary file worth
// continuing, else 0. False (with `r`) when the server could not say.
bool resume_from(ftp_session_t *s, const std::string &path, const std::string &tmp_path, uint64_t size,
                 uint64_t &offset, ftp_result_t &r)
{
    offset = 0;
    if ((size >= RESUME_MIN || s->broken_path == path) && !partial_size(s, tmp_path, offset, r))
        return false;
    // A partial file larger than the local one is not ours to continue.
    if (offset > size)
        offset = 0;
    return true;
}

// ftp_put() over SFTP: the same temporary name, resume and confirmation,
// each step a request of its own (SFTP has no size command to chain).
ftp_result_t sftp_put(ftp_session_t *s, const std::string &path, int fd, uint64_t size, int64_t mtime)
{
    std::string folder = folder_of(path);
    std::string tmp_path = temp_path_of(path, size, mtime);
    s->fd = fd;

    ftp_result_t r;
    uint64_t offset = 0;
    if (!resume_from(s, path, tmp_path, size, offset, r))
        return r;
    commands_t none;
    std::string url = url_of(s, tmp_path);
    CURLcode code = store(s, url, offset, size, none);
    // A server that will not open a file for appending: it starts over.
    if (code != CURLE_OK && offset > 0 && s->sent == 0 && !cut_off(code) && code != CURLE_ABORTED_BY_CALLBACK) {
        offset = 0;
        code = store(s, url, 0, size, none);
    }
    s->broken_path.clear();
    if (cut_off(code) || (code == CURLE_SSH && s->sent > 0))
        s->broken_path = path;
    r.sent = s->sent;
    r.resumed = offset > 0;
    if (s->shrunk) {
        r.status = FTP_FILE_FAILED;
        r.file_only = true;
        r.detail = "it became shorter on the card while it was sent";
        return r;
    }
    if (code != CURLE_OK) {
        ftp_result_t cut = failure(s, code, true);
        if (r.sent > 0 && s->logged_in && code != CURLE_ABORTED_BY_CALLBACK)
            disk_full(s, folder, cut);
        cut.sent = r.sent;
        return cut;
    }
    uint64_t held = 0;
    bool there = false;
    code = sftp_size(s, tmp_path, held, there);
    if (code == CURLE_OK && there && held == size && sftp_rename(s, tmp_path, path, false) != CURLE_OK) {
        // OpenSSH renames onto no existing name: the old file goes first,
        // once the new one is confirmed whole again.
        code = sftp_size(s, tmp_path, held, there);
        if (code == CURLE_OK && there && held == size)
            code = sftp_rename(s, tmp_path, path, true);
    }
    if (code != CURLE_OK) {
        ftp_result_t failed = failure(s, code, false);
        failed.sent = r.sent;
        return failed;
    }
    if (!there || held != size) {
        // A server that wrote appended bytes elsewhere than at the end would
        // be sent them again and again: a continued file starts over.
        if (there && r.resumed) {
            commands_t drop;
            drop.add(remove_command(s, tmp_path));
            run_commands(s, drop, false, 0);
        }
        r.status = FTP_FILE_FAILED;
        r.transient = true;
        r.file_only = true;
        r.size_mismatch = true;
        r.detail = "the server holds " + std::to_string(held) + " bytes of " + std::to_string(size);
    }
    return r;
}

} // namespace

std::string ftp_server_problem(const std::string &server)
{
    if (server.empty())
        return "no FTP server set (MOD_VELMORA_FTP_SERV_IP)";
    CURLU *url = curl_url();
    std::string host = server.find(':') != server.rfind(':') && server[0] != '[' ? "[" + server + "]" : server;
    bool usable = url && server.find_first_of("/@?#\\ \t") == std::string::npos &&
                  curl_url_set(url, CURLUPART_URL, ("ftp://" + host + "/").c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(url);
    return usable ? "" : "FTP server \"" + walk_printable(server) + "\" is not a host name or address (an IPv6 address goes in brackets: [2001:db8::1]:21)";
}

std::string ftp_protocol_problem(const ftp_options_t &o)
{
    if (o.protocol != PROTOCOL_SFTP)
        return "";
    const curl_version_info_data *curl = curl_version_info(CURLVERSION_NOW);
    for (const char *const *name = curl->protocols; name && *name; name++) {
        if (std::strcmp(*name, "sftp") == 0)
            return "";
    }
    return std::string("PROTOCOL=sftp, but this libcurl (") + curl->version +
           ") was built without SFTP: install one built with libssh2, or use FTP";
}

ftp_session_t *ftp_open(const ftp_options_t &o)
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return nullptr;
    CURLM *multi = curl_multi_init();
    CURL *c = curl_easy_init();
    if (!multi || !c) {
        curl_easy_cleanup(c);
        curl_multi_cleanup(multi);
        return nullptr;
    }
    auto *s = new ftp_session_t;
    s->multi = multi;
    s->curl = c;
    s->options = o;
    std::string folder = o.folder;
    while (!folder.empty() && folder.front() == '/')
        folder.erase(0, 1);
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    s->base = folder.empty() ? "" : folder + "/";
    // A bare IPv6 address would read as host and port.
    bool bare_v6 = o.server.find(':') != o.server.rfind(':') && o.server[0] != '[';
    bool secure_shell = o.protocol == PROTOCOL_SFTP;
    const char *scheme = secure_shell ? "sftp" : o.tls == FTP_TLS_IMPLICIT ? "ftps" : "ftp";
    // An SFTP URL's path starts at the server's root; "/~/" starts it at the
    // login folder, as FTP's does.
    s->root_url = std::string(scheme) + "://" + (bare_v6 ? "[" + o.server + "]" : o.server) + "/" +
                  (secure_shell ? "~/" : "");

    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, scheme);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, s->error);
    curl_easy_setopt(c, CURLOPT_USERNAME, o.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, o.password.c_str());
    // Every path goes whole from the login folder: the folder a command runs
    // in never depends on what ran before, and "./" stays in a path.
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, o.connect_timeout);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::max(RESPONSE_TIMEOUT_MIN, 2 * o.low_speed_time));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, o.low_speed_limit);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, o.low_speed_time);
    // The control connection idles while a large file goes: keep mobile
    // network gateways from forgetting it.
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_reply);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, s);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, on_debug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, s);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, s);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(c, CURLOPT_READDATA, s);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, s);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    if (secure_shell)
        set_ssh(c, s);
    else
        set_tls(c, o);
    return s;
}

void ftp_close(ftp_session_t *s)
{
    if (!s)
        return;
    curl_easy_cleanup(s->curl);
    curl_multi_cleanup(s->multi);
    delete s;
    curl_global_cleanup();
}

void ftp_hang_up(ftp_session_t *s)
{
    // The connection lives in the multi handle's cache: both go.
    curl_easy_cleanup(s->curl);
    curl_multi_cleanup(s->multi);
    s->curl = nullptr;
    s->multi = nullptr;
}

void ftp_set_progress(ftp_session_t *s, ftp_progress_fn fn, void *context)
{
    s->progress = fn;
    s->progress_context = context;
}

ftp_result_t ftp_put(ftp_session_t *s, const std::string &path, int fd, uint64_t size, int64_t mtime)
{
    if (sftp(s))
        return sftp_put(s, path, fd, size, mtime);
    std::string folder = folder_of(path);
    std::string tmp_path = temp_path_of(path, size, mtime);
    s->fd = fd;

    ftp_result_t r;
    uint64_t offset = 0;
    if (!resume_from(s, path, tmp_path, size, offset, r))
        return r;

    // The size query and the rename follow the transfer on the same request:
    // on_reply() stops the rename unless the size is the local one.
    commands_t after;
    if (s->size_method != SIZE_UNKNOWN)
        after.add(size_command(s, tmp_path));
    after.add("RNFR " + on_server(s, tmp_path));
    after.add("RNTO " + on_server(s, path));
    std::string url = url_of(s, tmp_path);
    CURLcode code = store(s, url, offset, size, after);
    // A folder not made yet: made, and the file sent again.
    if (code != CURLE_OK && s->store_refused && s->folders.count(s->base + folder) == 0 && s->sent == 0) {
        make_folders(s, folder);
        code = store(s, url, offset, size, after);
    }
    // Any refusal to append (451 "Append/Restart not permitted", 5xx)
    // starts the file over.
    if (code != CURLE_OK && offset > 0 && s->append_refused && s->sent == 0 && s->last_code != 421) {
        offset = 0;
        code = store(s, url, 0, size, after);
    }
    if (code == CURLE_OK || s->sent > 0)
        s->folders.insert(s->base + folder);
    s->broken_path.clear();
    bool broken = code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_PARTIAL_FILE;
    if (broken)
        s->broken_path = path;
    if (s->sent > 0 && !s->size_seen && (broken || s->last_code == 451)) {
        ftp_result_t cut = failure(s, code, true);   // before the probe's replies replace these
        disk_full(s, folder, cut);
        return cut;
    }
    r.sent = s->sent;
    r.resumed = offset > 0;
    if (s->shrunk) {
        r.status = FTP_FILE_FAILED;
        r.file_only = true;
        r.detail = "it became shorter on the card while it was sent";
        return r;
    }
    // The transfer is whole, but the server did not know the size command:
    // MLST is asked next, and without it the server cannot confirm sizes.
    if (code != CURLE_OK && s->size_refused && !s->held_back) {
        bool mlst_untried = s->size_method == SIZE_BY_SIZE;
        if (mlst_untried) {
            s->size_method = SIZE_BY_MLST;
            commands_t confirm;
            confirm.add(size_command(s, tmp_path));
            confirm.add("RNFR " + on_server(s, tmp_path));
            confirm.add("RNTO " + on_server(s, path));
            code = run_commands(s, confirm, true, size);
        }
        if (!mlst_untried || (code != CURLE_OK && s->size_refused)) {
            s->size_method = SIZE_UNKNOWN;
            if (!s->options.trust_transfer_reply) {
                r.status = FTP_NO_SIZE;
                r.detail = s->last_reply;
                return r;
            }
            commands_t rename;
            rename.add("RNFR " + on_server(s, tmp_path));
            rename.add("RNTO " + on_server(s, path));
            code = run_commands(s, rename, false, size);
        }
    }
    // A server that will not rename onto an existing name: the old file goes
    // first. The size is confirmed again before anything is removed.
    if (code != CURLE_OK && s->rnto_refused && !s->held_back) {
        commands_t replace;
        if (s->size_method != SIZE_UNKNOWN)
            replace.add(size_command(s, tmp_path));
        replace.add("*DELE " + on_server(s, path));
        replace.add("RNFR " + on_server(s, tmp_path));
        replace.add("RNTO " + on_server(s, path));
        code = run_commands(s, replace, s->size_method != SIZE_UNKNOWN, size);
    }
    // A wrong size is retried: the next attempt continues a short file and
    // starts a long one over.
    if (s->held_back) {
        r.status = FTP_FILE_FAILED;
        r.transient = true;
        r.file_only = true;
        r.size_mismatch = true;
        r.detail = "the server holds " + (s->size_seen ? std::to_string(s->size_reply) : "an unknown number of") +
                   " bytes of " + std::to_string(size);
        return r;
    }
    if (code != CURLE_OK)
        return failure(s, code, !s->size_seen);
    return r;
}

ftp_result_t ftp_drop_temporary(ftp_session_t *s, const std::string &path, uint64_t size, int64_t mtime)
{
    commands_t drop;
    drop.add(remove_command(s, temp_path_of(path, size, mtime)));
    CURLcode code = run_commands(s, drop, false, 0);
    return code == CURLE_OK ? ftp_result_t{} : failure(s, code, false);
}

ftp_result_t ftp_list(ftp_session_t *s, const std::string &folder, ftp_listing_t &listing)
{
    listing = ftp_listing_t();
    std::string body;
    CURLcode code = CURLE_OK;
    if (sftp(s)) {
        begin(s, url_of(s, folder));
        curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
        s->listing = &body;
        code = perform(s);
        s->listing = nullptr;
        if (code == CURLE_REMOTE_FILE_NOT_FOUND) {
            listing.missing = true;
            return {};
        }
    }
    for (; !sftp(s);) {
        body.clear();
        begin(s, url_of(s, folder));
        curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
        static const char *const commands[] = {"MLSD", "LIST -a", "LIST"};
        curl_easy_setopt(s->curl, CURLOPT_CUSTOMREQUEST, commands[s->list_method]);
        s->listing = &body;
        code = perform(s);
        s->listing = nullptr;
        curl_easy_setopt(s->curl, CURLOPT_CUSTOMREQUEST, nullptr);
        bool unknown = s->last_code == 500 || s->last_code == 501 || s->last_code == 502 || s->last_code == 504;
        if (code == CURLE_OK || !unknown || s->list_method == LIST_PLAIN)
            break;
        s->list_method = list_method_t(s->list_method + 1);
    }
    if (code != CURLE_OK && s->last_code == 550) {
        listing.missing = true;
        return {};
    }
    if (code != CURLE_OK)
        return failure(s, code, false);
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        std::string line = body.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string name;
        ftp_listed_t file;
        char type = s->list_method == LIST_BY_MLSD && !sftp(s) ? mlsd_entry(line, name, file)
                                                                : list_entry(line, name, file);
        if (name == "." || name == "..")
            continue;
        if (type == 'f')
            listing.files[name] = file;
        else if (type == 'd')
            listing.folders.insert(name);
    }
    return {};
}

ftp_result_t ftp_list_with_clock(ftp_session_t *s, ftp_listing_t &listing, int64_t &offset, int64_t &slack)
{
    offset = 0;
    slack = UNKNOWN_CLOCK_SLACK;
    bool probed = store_probe(s, CLOCK_PROBE) == CURLE_OK;
    time_t stored = time(nullptr);
    ftp_result_t r = ftp_list(s, "", listing);
    auto probe = listing.files.find(CLOCK_PROBE);
    if (probed && r.status == FTP_OK && probe != listing.files.end()) {
        // The probe was written at `stored` on this clock, within its
        // listing's precision and the second or two the store took.
        offset = probe->second.mtime - int64_t(stored);
        slack = probe->second.precision + 2;
    }
    listing.files.erase(CLOCK_PROBE);
    if (probed) {
        commands_t drop;
        drop.add(remove_command(s, CLOCK_PROBE));
        run_commands(s, drop, false, 0);
    }
    return r;
}

bool ftp_encrypted(const ftp_session_t *s)
{
    return s->encrypted;
}

bool ftp_logged_in(const ftp_session_t *s)
{
    return s->logged_in;
}

const char *ftp_kind(const ftp_options_t &o)
{
    return o.protocol == PROTOCOL_SFTP ? "SFTP" : "FTP";
}

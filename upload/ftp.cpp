#include "upload/ftp.h"
#include "upload/walk.h"

#include <algorithm>
#include <cstring>
#include <curl/curl.h>
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
constexpr const char *TMP_PREFIX = ".";
constexpr const char *TMP_SUFFIX = ".part-";

} // namespace

struct ftp_session_t {
    CURLM *multi = nullptr;   // holds the connection between transfers
    CURL *curl = nullptr;
    ftp_options_t options;
    std::string base;   // ftp://server/folder/, every segment encoded
    char error[CURL_ERROR_SIZE] = "";
    // The server's replies during one perform.
    int last_code = 0;
    std::string last_reply;
    bool replied = false;
    bool size_seen = false;
    // While storing, the rename is stopped (held back) unless the server
    // holds whole_size bytes of the temporary file.
    bool renaming = false;
    bool held_back = false;
    uint64_t size_reply = 0;
    uint64_t whole_size = 0;
    // For the whole session.
    bool encrypted = false;
    bool logged_in = false;
    // The file being sent.
    // A file whose last attempt broke off in the data connection, and how
    // much of it the server held before that attempt.
    std::string broken_path;
    bool broken_known = false;
    uint64_t broken_partial = 0;
    int fd = -1;
    uint64_t start = 0;
    uint64_t sent = 0;
    ftp_progress_fn progress = nullptr;
    void *progress_context = nullptr;
};

namespace {

bool digits3(const char *p)
{
    return p[0] >= '0' && p[0] <= '9' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9';
}

// libcurl hands every reply line of the server to the header callback.
size_t on_reply(char *data, size_t size, size_t count, void *context)
{
    auto *s = static_cast<ftp_session_t *>(context);
    size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.size() < 4 || !digits3(line.c_str()) || line[3] != ' ')
        return n;
    s->replied = true;
    s->last_code = std::atoi(line.substr(0, 3).c_str());
    s->last_reply = line;
    if (s->last_code == 234)
        s->encrypted = true;
    else if (s->last_code == 230)
        s->logged_in = true;
    else if (s->last_code == 213) {
        s->size_seen = true;
        s->size_reply = std::strtoull(line.c_str() + 4, nullptr, 10);
    }
    // Only a whole file gets its final name: the rename that follows the
    // size query is cut off here, before its RNTO, unless the server holds
    // every byte (a 350 without a size before it is stopped as well).
    bool whole = s->size_seen && s->size_reply == s->whole_size;
    if (s->renaming && (s->last_code == 213 || s->last_code == 350) && !whole) {
        s->held_back = true;
        return 0;
    }
    return n;
}

size_t on_read(char *buffer, size_t size, size_t count, void *context)
{
    auto *s = static_cast<ftp_session_t *>(context);
    ssize_t n = pread(s->fd, buffer, size * count, off_t(s->start + s->sent));
    if (n < 0)
        return CURL_READFUNC_ABORT;
    s->sent += uint64_t(n);
    return size_t(n);
}

// What a size query writes as if it were the file's contents.
size_t on_body(char *, size_t size, size_t count, void *)
{
    return size * count;
}

int on_progress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *s = static_cast<ftp_session_t *>(context);
    if (s->progress && !s->progress(s->progress_context, s->start + s->sent))
        return 1;
    return 0;
}

void set_tls(CURL *c, const ftp_options_t &o)
{
    if (o.tls == FTP_TLS_OFF) {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
        return;
    }
    curl_easy_setopt(c, CURLOPT_USE_SSL, long(o.tls == FTP_TLS_REQUIRE ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    bool verify = o.tls == FTP_TLS_REQUIRE || !o.ca_file.empty();
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, long(verify));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (!o.ca_file.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, o.ca_file.c_str());
}

void begin(ftp_session_t *s, const std::string &url, long seconds_left)
{
    s->replied = false;
    s->last_code = 0;
    s->last_reply.clear();
    s->size_seen = false;
    s->held_back = false;
    s->error[0] = 0;
    s->sent = 0;
    curl_easy_setopt(s->curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(s->curl, CURLOPT_TIMEOUT, seconds_left > 0 ? seconds_left : 0L);
}

ftp_result_t failure(const ftp_session_t *s, CURLcode code, bool storing)
{
    ftp_result_t r;
    r.detail = s->replied && s->last_code >= 400 ? s->last_reply
                                                 : s->error[0] ? s->error : curl_easy_strerror(code);
    r.sent = s->sent;
    if (s->last_code == 421) {
        r.status = FTP_UNREACHABLE;   // "too many users", or the server going down
        r.transient = true;
        return r;
    }
    if (storing && (s->last_code == 452 || s->last_code == 552 ||
                    (s->last_code == 451 && s->last_reply.find("writ") != std::string::npos))) {
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
    case CURLE_WEIRD_SERVER_REPLY:
        r.status = s->logged_in || s->replied ? FTP_FILE_FAILED : FTP_UNREACHABLE;
        r.transient = true;
        break;
    default:
        r.status = FTP_FILE_FAILED;
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
    return result;
}

// Size of the partial temporary file on the server, 0 when there is none.
bool partial_size(ftp_session_t *s, const std::string &url, long seconds_left, uint64_t &size,
                  ftp_result_t &r)
{
    begin(s, url, seconds_left);
    curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(s->curl, CURLOPT_POSTQUOTE, nullptr);
    CURLcode code = perform(s);
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
    size = 0;
    if (code == CURLE_REMOTE_FILE_NOT_FOUND)
        return true;
    if (code != CURLE_OK) {
        r = failure(s, code, false);
        return false;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(s->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    size = length > 0 ? uint64_t(length) : 0;
    return true;
}

CURLcode store(ftp_session_t *s, const std::string &url, uint64_t offset, uint64_t size,
               curl_slist *after, long seconds_left)
{
    begin(s, url, seconds_left);
    s->start = offset;
    curl_easy_setopt(s->curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(s->curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(s->curl, CURLOPT_APPEND, long(offset > 0));
    curl_easy_setopt(s->curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(size - offset));
    curl_easy_setopt(s->curl, CURLOPT_POSTQUOTE, after);
    s->renaming = true;
    s->whole_size = size;
    CURLcode code = perform(s);
    s->renaming = false;
    curl_easy_setopt(s->curl, CURLOPT_POSTQUOTE, nullptr);
    return code;
}

} // namespace

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
    s->base = "ftp://" + o.server + "/" + (folder.empty() ? "" : walk_encode(folder) + "/");

    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, s->error);
    curl_easy_setopt(c, CURLOPT_USERNAME, o.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, o.password.c_str());
    curl_easy_setopt(c, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_RETRY));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, o.connect_timeout);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::max(RESPONSE_TIMEOUT_MIN, 2 * o.low_speed_time));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, o.low_speed_limit);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, o.low_speed_time);
    if (o.max_rate)
        curl_easy_setopt(c, CURLOPT_MAX_SEND_SPEED_LARGE, curl_off_t(o.max_rate));
    // The control connection idles while a large file goes: keep mobile
    // network gateways from forgetting it.
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_reply);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, s);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(c, CURLOPT_READDATA, s);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, s);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
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

void ftp_set_progress(ftp_session_t *s, ftp_progress_fn fn, void *context)
{
    s->progress = fn;
    s->progress_context = context;
}

ftp_result_t ftp_put(ftp_session_t *s, const std::string &path, int fd, uint64_t size, int64_t mtime,
                     long seconds_left)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // The temporary name carries size and time: a partial file of an older
    // version of the file is never continued with the new one's bytes.
    std::string tmp = TMP_PREFIX + name + TMP_SUFFIX + std::to_string(size) + "-" + std::to_string(mtime);
    std::string tmp_url = s->base + walk_encode(folder) + walk_encode(tmp);
    s->fd = fd;

    ftp_result_t r;
    uint64_t offset = 0;
    bool again = s->broken_path == path;
    bool probed = size >= RESUME_MIN || again;
    if (probed && !partial_size(s, tmp_url, seconds_left, offset, r))
        return r;
    // The server took part of the file, then none of the last attempt's
    // bytes, while the link itself works: it has no room for them. (Its own
    // reply, 451 or 452, is lost when it cuts the data connection mid-way.)
    if (again && s->broken_known && offset > 0 && offset == s->broken_partial && offset < size) {
        s->broken_path.clear();
        r.status = FTP_DISK_FULL;
        r.detail = "it keeps no more than " + std::to_string(offset) + " of its " + std::to_string(size) + " bytes";
        return r;
    }
    uint64_t partial = offset;
    // A partial file larger than the local one is not ours to continue.
    if (offset > size)
        offset = 0;

    // The size query and the rename follow the transfer on the same request:
    // on_reply() stops the rename unless the size is the local one.
    curl_slist *after = curl_slist_append(nullptr, ("SIZE " + tmp).c_str());
    after = curl_slist_append(after, ("RNFR " + tmp).c_str());
    after = curl_slist_append(after, ("RNTO " + name).c_str());
    CURLcode code = store(s, tmp_url, offset, size, after, seconds_left);
    // A server that refuses to append gets the whole file again, once.
    if (code != CURLE_OK && offset > 0 && s->sent == 0 && !s->size_seen && s->last_code >= 500 &&
        s->last_code != 552) {
        offset = 0;
        code = store(s, tmp_url, 0, size, after, seconds_left);
    }
    curl_slist_free_all(after);
    s->broken_path.clear();
    if (code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_PARTIAL_FILE) {
        s->broken_path = path;
        s->broken_known = probed;
        s->broken_partial = partial;
    }
    r.sent = s->sent;
    r.resumed = offset > 0;
    // A wrong size is retried: the next attempt continues a short file and
    // starts a long one over.
    if (s->held_back) {
        r.status = FTP_FILE_FAILED;
        r.transient = true;
        r.detail = "the server holds " + (s->size_seen ? std::to_string(s->size_reply) : "an unknown number of") +
                   " bytes of " + std::to_string(size);
        return r;
    }
    // Once the size is known, only the rename can have failed.
    if (code != CURLE_OK)
        return failure(s, code, !s->size_seen);
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

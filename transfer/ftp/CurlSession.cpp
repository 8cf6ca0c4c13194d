#include "CurlSession.h"

#include "CertificateKey.h"
#include "FtpServerLearnt.h"
#include "FtpUrl.h"
#include "ResponseCodes.h"

#include <QFile>

#include <algorithm>
#include <memory>

namespace {

long seconds(std::chrono::milliseconds limit) {
    return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(limit).count());
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

Slist makeSlist(const QList<QByteArray>& lines) {
    curl_slist* list = nullptr;
    for (const QByteArray& line : lines)
        list = curl_slist_append(list, line.constData());
    return Slist(list);
}

} // namespace

CurlSession::CurlSession(const PublishJob& job, const std::atomic<bool>& abort,
                         std::unique_ptr<CurlConnection> held)
    : job_(job), abort_(abort), held_(held != nullptr),
      connection_(held ? std::move(held) : std::make_unique<CurlConnection>()),
      handle_(connection_->easy()) {
    base_ = CurlBaseUrl(job.endpoint);
    // A held connection made its TLS agreement at its own log-in, and is
    // held under what it got: see DestinationKey.
    if (connection_->tlsAccepted && job.report)
        job.report->tlsAccepted = true;
    loggedIn_ = held_;
    if (!connection_->optionalTls) {
        connection_->optionalTls = job.optionalTls;
        connection_->tlsRequired = job.tlsRequired;
    }
    optionalTls_ = *connection_->optionalTls;
    tlsRequired_ = connection_->tlsRequired;
    if (unverifiedTls())
        certificatePin_ = RecallFtpServer(KeyFor(job)).certificateKey;
    if (held_)
        trace_.note("going on with the session of an earlier upload: no new log-in");
}

CurlSession::~CurlSession() = default;

std::unique_ptr<CurlConnection> CurlSession::release() {
    const char* ip = nullptr;
    if (curl_easy_getinfo(handle_, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip)
        connection_->peer = QString::fromLatin1(ip);
    // The callbacks point into this session: none may outlive it.
    curl_easy_reset(handle_);
    handle_ = nullptr;
    return std::move(connection_);
}

size_t CurlSession::readFile(char* buffer, size_t size, size_t count, void* file) {
    const qint64 got = static_cast<LocalFile*>(file)->read(buffer, qint64(size * count));
    return got < 0 ? CURL_READFUNC_ABORT : size_t(got);
}

CURLcode CurlSession::store(const QString& remote, LocalFile& file, const QList<QByteArray>& checks,
                            bool askSize) {
    storedSize_.reset();
    prepare(EncodeRemotePath(remote));
    action_ = "STOR " + remote.toUtf8();
    curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle_, CURLOPT_READFUNCTION, &CurlSession::readFile);
    curl_easy_setopt(handle_, CURLOPT_READDATA, &file);
    curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size()));
    QList<QByteArray> before, after;
    before = utf8Option();
    if (askSize)
        after << "*SIZE " + remote.toUtf8();
    before += checks;
    Slist pre = makeSlist(before);
    Slist post = makeSlist(after);
    curl_easy_setopt(handle_, CURLOPT_QUOTE, pre.get());
    curl_easy_setopt(handle_, CURLOPT_POSTQUOTE, post.get());
    CURLcode rc = perform();
    curl_off_t uploaded = 0;
    if (curl_easy_getinfo(handle_, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK && uploaded > 0)
        bytesSent_ = true;
    if (rc == CURLE_OK)
        storedSize_ = sizeFromReplies();
    return rc;
}

CURLcode CurlSession::commands(const QList<QByteArray>& lines, bool cleanup) {
    cleanup_ = cleanup;
    prepare({});
    for (const QByteArray& line : lines)
        action_ += (action_.isEmpty() ? "" : ", ") + (line.startsWith('*') ? line.mid(1) : line);
    curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
    Slist list = makeSlist(lines);
    curl_easy_setopt(handle_, CURLOPT_QUOTE, list.get());
    if (cleanup)
        trace_.note("clean-up: " + action_);
    const CURLcode rc = perform();
    if (cleanup)
        trace_.note(QByteArray("clean-up ended: ") + curl_easy_strerror(rc));
    cleanup_ = false;
    return rc;
}

CURLcode CurlSession::listing(const QByteArray& command,
                              const std::function<void(QByteArrayView)>& sink,
                              std::chrono::milliseconds limit) {
    listingSink_ = &sink;
    replyCap_ = limit;
    const CURLcode rc = commands(utf8Option() + QList<QByteArray>{command});
    listingSink_ = nullptr;
    replyCap_.reset();
    return rc;
}

CURLcode CurlSession::listFolder(const QString& folder, const QByteArray& verb,
                                 const std::function<void(QByteArrayView)>& sink,
                                 std::chrono::milliseconds limit) {
    replyCap_ = limit;
    // A path that ends in "/" is a folder to libcurl; with no CWD it names
    // the folder after the verb.
    prepare(EncodeRemotePath(folder));
    action_ = verb + (folder.isEmpty() ? QByteArray() : ' ' + folder.toUtf8());
    curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, verb.constData());
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &CurlSession::onListing);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &sink);
    const Slist pre = makeSlist(utf8Option());
    curl_easy_setopt(handle_, CURLOPT_QUOTE, pre.get());
    const CURLcode rc = perform();
    replyCap_.reset();
    return rc;
}

size_t CurlSession::onListing(char* data, size_t size, size_t count, void* sink) {
    (*static_cast<const std::function<void(QByteArrayView)>*>(sink))(
        QByteArrayView(data, static_cast<qsizetype>(size * count)));
    return size * count;
}

QByteArray CurlSession::removeCommand(const QString& path) const {
    return "DELE " + path.toUtf8();
}

QList<QByteArray> CurlSession::renameCommands(const QString& from, const QString& to) const {
    return {"RNFR " + from.toUtf8(), "RNTO " + to.toUtf8()};
}

bool CurlSession::sawReply(int code) const {
    const QByteArray prefix = QByteArray::number(code) + ' ';
    return std::any_of(replies_.begin(), replies_.end(),
                       [&](const QByteArray& line) { return line.startsWith(prefix); });
}

bool CurlSession::refusedBeforeData(CURLcode rc, const LocalFile& file) const {
    if (file.sent() != 0 || aborted())
        return false;
    // 550 (not allowed) and 553 (name not allowed); anything else, a full
    // disk or a busy server, would refuse the next name just the same.
    const long reply = lastReply();
    return rc == CURLE_UPLOAD_FAILED && (reply == 550 || reply == 553) && !sawReply(150) &&
           !sawReply(125);
}

QString CurlSession::entryPath() const {
    const char* path = nullptr;
    if (curl_easy_getinfo(handle_, CURLINFO_FTP_ENTRY_PATH, &path) != CURLE_OK || !path)
        return {};
    return QString::fromUtf8(path);
}

bool CurlSession::mayHaveStored() const {
    return loggedIn_;
}

long CurlSession::lastReply() const {
    long reply = 0;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &reply);
    return reply;
}

qint32 CurlSession::failureCode(CURLcode rc, const LocalFile& file) const {
    note(file, rc);
    if (aborted())
        return ResponseCodes::Aborted;
    if (file.readError())
        return ResponseCodes::LocalFileUnreadable;
    const long reply = lastReply();
    if (reply >= 400 && reply < 600)
        return static_cast<qint32>(reply);
    return ResponseCodes::CurlBase + static_cast<qint32>(rc);
}

void CurlSession::note(const LocalFile& file, CURLcode rc) const {
    PublishReport* report = job_.report;
    if (!report)
        return;
    report->action = action_;
    report->engine = FtpFailure{rc, QByteArray(errorText_).trimmed()};
    report->serverReply = replies_.isEmpty() ? QByteArray() : replies_.last().trimmed();
    report->replyCode = lastReply();
    long osErrno = 0;
    curl_easy_getinfo(handle_, CURLINFO_OS_ERRNO, &osErrno);
    report->osErrno = static_cast<int>(osErrno);
    report->localErrno = file.error();
}

std::optional<qint64> CurlSession::sizeFromReplies() const {
    for (const QByteArray& line : replies_) {
        if (line.startsWith("213 ")) {
            bool ok = false;
            const qint64 size = line.mid(4).trimmed().toLongLong(&ok);
            if (ok)
                return size;
        }
    }
    return std::nullopt;
}

QList<QByteArray> CurlSession::utf8Option() const {
    if (!needsUtf8Option())
        return {};
    return {"*OPTS UTF8 ON"};
}

bool CurlSession::needsUtf8Option() const {
    const QString& path = job_.remoteFileName;
    return std::any_of(path.begin(), path.end(), [](QChar c) { return c.unicode() > 0x7f; });
}

void CurlSession::prepare(const QByteArray& path) {
    // Reset keeps the live connection; every option is set anew below.
    curl_easy_reset(handle_);
    replies_.clear();
    action_.clear();
    errorText_[0] = '\0';
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorText_);
    AttachTrace(handle_, trace_);
    url_ = base_ + path;
    curl_easy_setopt(handle_, CURLOPT_URL, url_.constData());
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    secure();
    if (!job_.userName.isEmpty()) {
        user_ = job_.userName.toUtf8();
        // libcurl keeps a copy of its own, for as long as the connection
        // lives (it matches a held connection by it); this one goes at once.
        QByteArray password = job_.password.toUtf8();
        curl_easy_setopt(handle_, CURLOPT_USERNAME, user_.constData());
        curl_easy_setopt(handle_, CURLOPT_PASSWORD, password.constData());
        password.fill('\0');
    }
    // Every command names its path from the log-in directory, as typed.
    // libcurl would otherwise drop "." and ".." segments from the path it
    // stores to, and the store would name another file than the checks,
    // the rename and the removal, which go out as typed.
    curl_easy_setopt(handle_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(handle_, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(handle_, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(handle_, CURLOPT_FTP_CREATE_MISSING_DIRS,
                     static_cast<long>(CURLFTP_CREATE_DIR_NONE));
    curl_easy_setopt(handle_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
    // libcurl caches the address of every passive data port it is sent
    // ("host:port") and prunes entries only once they are a minute old, so
    // a held connection grows by one entry per new port: thousands on a fast
    // server that picks ports at random. Nothing here looks an address up
    // twice (a held connection checks its host itself), so nothing is kept.
    curl_easy_setopt(handle_, CURLOPT_DNS_CACHE_TIMEOUT, 0L);

    const TransferTimeouts& t = job_.timeouts;
    const auto cap = [this, &t](std::chrono::milliseconds value) {
        return CleanupCapped(t, replyCap_ ? std::min(value, *replyCap_) : value, cleanup_);
    };
    const long connectMs = static_cast<long>(cap(t.connect).count());
    std::chrono::milliseconds reply = ReplyWait(t, held_ && requests_ == 0, cleanup_);
    if (replyCap_)
        reply = std::min(reply, *replyCap_);
    const long replyS = seconds(reply);
    const long stallS = seconds(cap(t.stall));
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(handle_, CURLOPT_SERVER_RESPONSE_TIMEOUT, replyS);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, stallS);
    // A listing that trickles on for ever ends at its limit, whatever
    // comes meanwhile.
    if (replyCap_)
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, static_cast<long>(replyCap_->count()));

    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &CurlSession::onReply);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &CurlSession::onProgress);
    curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, this);
}

CURLcode CurlSession::perform() {
    if (aborted())
        return CURLE_ABORTED_BY_CALLBACK;
    const bool first = requests_++ == 0;
    CURLcode rc = connection_->driver().perform(handle_);
    if (unverifiedTls() && certificatePin_.isEmpty())
        rememberCertificate();
    if (first && rc != CURLE_OK)
        firstFailed_ = true;
    lastCode_ = rc;
    switch (rc) {
    // The server's refusals leave the connection as it was.
    case CURLE_OK:
    case CURLE_QUOTE_ERROR:
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_DISK_FULL:
        break;
    default:
        sawError_ = true;
    }
    return rc;
}

size_t CurlSession::onReply(char* data, size_t size, size_t count, void* self) {
    auto* session = static_cast<CurlSession*>(self);
    const QByteArray line(data, static_cast<qsizetype>(size * count));
    // Replies are kept per request; the log-in is the session's.
    if (line.startsWith("230 ") || line.startsWith("202 ") || line.startsWith("232 "))
        session->loggedIn_ = true;
    // Whether the control connection is TLS is the TLS layer's to say: a
    // reply that came through it did. Any line of any reply may begin
    // with "234", a greeting's included.
    if (!session->connection_->tlsAccepted && session->controlOverTls()) {
        session->connection_->tlsAccepted = true;
        if (session->job_.report)
            session->job_.report->tlsAccepted = true;
    }
    // A listing's lines stream past: a folder of any size costs nothing
    // kept. Reply codes ("213-Status follows:", "213 End") are kept.
    if (session->listingSink_ && !IsCodeLine(line)) {
        (*session->listingSink_)(line);
        return size * count;
    }
    session->replies_.append(line);
    return size * count;
}

bool CurlSession::unverifiedTls() const {
    return job_.endpoint.transport == Transport::Ftp && optionalTls_ == OptionalTls::Unverified;
}

void CurlSession::rememberCertificate() {
    curl_certinfo* chain = nullptr;
    if (curl_easy_getinfo(handle_, CURLINFO_CERTINFO, &chain) != CURLE_OK || !chain ||
        chain->num_of_certs < 1)
        return;
    QByteArray pin;
    for (const curl_slist* field = chain->certinfo[0]; field && pin.isEmpty(); field = field->next) {
        const QByteArray text(field->data);
        if (text.startsWith("Cert:"))
            pin = PublicKeyPin(text.mid(5));
    }
    if (pin.isEmpty())
        return;
    // The first key seen wins: two publishes at once may both have seen one.
    LearnFtpServer(KeyFor(job_), [&pin](FtpServerLearnt& server) {
        if (server.certificateKey.isEmpty())
            server.certificateKey = pin;
        pin = server.certificateKey;
    });
    certificatePin_ = pin;
    trace_.note("the server's certificate key, held to for the rest of the run: " + pin);
}

bool CurlSession::controlOverTls() const {
    // Only while a request runs: libcurl detaches the connection after it.
    curl_tlssessioninfo* info = nullptr;
    return curl_easy_getinfo(handle_, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info &&
           info->backend != CURLSSLBACKEND_NONE && info->internals != nullptr;
}

int CurlSession::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* session = static_cast<CurlSession*>(self);
    if (!session->aborted())
        return 0;
    session->connection_->hurry = true;
    return 1;
}

#include "FtpPublisher.h"

#include "ResponseCodes.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

namespace {

// The local file, streamed: only a buffer's worth is in memory at a time.
// The size taken at open is what gets sent, so a file that grows meanwhile
// still yields one consistent, checkable copy.
class LocalFile {
public:
    bool open(const QString& path) {
        // Close-on-exec: nothing the program starts should inherit it.
        file_.reset(std::fopen(QFile::encodeName(path).constData(), "rbe"));
        struct stat st {};
        if (!file_ || ::fstat(fileno(file_.get()), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        size_ = st.st_size;
        opened_ = st;
        return true;
    }
    // Whether the file was written to since it was opened: its copy on the
    // server may then mix old and new bytes.
    bool changed() const {
        struct stat st {};
        return ::fstat(fileno(file_.get()), &st) != 0 || st.st_size != opened_.st_size ||
               st.st_mtim.tv_sec != opened_.st_mtim.tv_sec ||
               st.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec;
    }
    bool rewind() {
        sent_ = 0;
        return std::fseek(file_.get(), 0, SEEK_SET) == 0;
    }
    qint64 size() const { return size_; }
    bool readError() const { return readError_; }

    static size_t read(char* buffer, size_t size, size_t count, void* self) {
        auto* file = static_cast<LocalFile*>(self);
        const auto wanted = static_cast<qint64>(size * count);
        const auto chunk = static_cast<size_t>(std::min(wanted, file->size_ - file->sent_));
        const size_t got = std::fread(buffer, 1, chunk, file->file_.get());
        if (got < chunk && std::ferror(file->file_.get())) {
            file->readError_ = true;
            return CURL_READFUNC_ABORT;
        }
        file->sent_ += static_cast<qint64>(got);
        return got;
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    struct stat opened_ {};
    qint64 size_ = 0;
    qint64 sent_ = 0;
    bool readError_ = false;
};

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

// One easy handle for the whole publish, so that the store, the rename and
// any clean-up share one control connection and one log-in.
class Session {
public:
    Session(const PublishJob& job, const std::atomic<bool>& abort)
        : job_(job), abort_(abort), handle_(curl_easy_init()) {
        base_ = CurlBaseUrl(job.endpoint);
    }
    ~Session() { curl_easy_cleanup(handle_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool valid() const { return handle_ != nullptr; }
    bool sftp() const { return job_.endpoint.transport == Transport::Sftp; }
    bool aborted() const { return abort_.load(); }

    // STOR of the local file under `remote`, then SIZE of what arrived.
    CURLcode store(const QString& remote, LocalFile& file) {
        storedSize_.reset();
        prepare(EncodeRemotePath(remote, job_.endpoint.transport));
        curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle_, CURLOPT_READFUNCTION, &LocalFile::read);
        curl_easy_setopt(handle_, CURLOPT_READDATA, &file);
        curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size()));
        QList<QByteArray> before, after;
        if (!sftp()) {
            if (needsUtf8Option())
                before << "*OPTS UTF8 ON";
            after << "*SIZE " + remote.toUtf8();
        }
        Slist pre = makeSlist(before);
        Slist post = makeSlist(after);
        curl_easy_setopt(handle_, CURLOPT_QUOTE, pre.get());
        curl_easy_setopt(handle_, CURLOPT_POSTQUOTE, post.get());
        CURLcode rc = perform();
        if (rc == CURLE_OK && sftp())
            rc = statSize(remote);
        else if (rc == CURLE_OK)
            storedSize_ = sizeFromReplies();
        return rc;
    }

    // Plain FTP commands on the log-in directory, no transfer.
    CURLcode commands(const QList<QByteArray>& lines, bool cleanup = false) {
        cleanup_ = cleanup;
        prepare({});
        curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
        Slist list = makeSlist(lines);
        curl_easy_setopt(handle_, CURLOPT_QUOTE, list.get());
        const CURLcode rc = perform();
        cleanup_ = false;
        return rc;
    }

    // The size the server reported for what the last store sent, if it did.
    std::optional<qint64> reportedSize() const { return storedSize_; }

    // Removing and renaming in the server's own words.
    QByteArray removeCommand(const QString& path) const {
        return sftp() ? "rm " + quoted(path) : "DELE " + path.toUtf8();
    }
    QList<QByteArray> renameCommands(const QString& from, const QString& to) const {
        if (sftp())
            return {"rename " + quoted(from) + ' ' + quoted(to)};
        return {"RNFR " + from.toUtf8(), "RNTO " + to.toUtf8()};
    }

    bool sawReply(int code) const {
        const QByteArray prefix = QByteArray::number(code) + ' ';
        return std::any_of(replies_.begin(), replies_.end(),
                           [&](const QByteArray& line) { return line.startsWith(prefix); });
    }
    // Whether a failed store may have left a file behind.
    bool mayHaveStored(CURLcode rc) const {
        if (sftp()) {
            return rc != CURLE_LOGIN_DENIED && rc != CURLE_PEER_FAILED_VERIFICATION &&
                   rc != CURLE_COULDNT_CONNECT && rc != CURLE_COULDNT_RESOLVE_HOST &&
                   rc != CURLE_SSH;
        }
        return sawReply(230) || sawReply(202) || sawReply(232);
    }
    long lastReply() const {
        long reply = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &reply);
        return reply;
    }

    qint32 failureCode(CURLcode rc, const LocalFile& file) const {
        if (aborted())
            return ResponseCodes::Aborted;
        if (file.readError())
            return ResponseCodes::LocalFileUnreadable;
        const long reply = sftp() ? 0 : lastReply();
        if (reply >= 400 && reply < 600)
            return static_cast<qint32>(reply);
        return ResponseCodes::CurlBase + static_cast<qint32>(rc);
    }

private:
    static QByteArray quoted(const QString& path) {
        QByteArray text = SftpServerPath(path).toUtf8();
        text.replace('\\', "\\\\").replace('"', "\\\"");
        return '"' + text + '"';
    }

    // SFTP has no SIZE: a body-less fetch of the file reports its length.
    CURLcode statSize(const QString& remote) {
        prepare(EncodeRemotePath(remote, job_.endpoint.transport));
        curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
        const CURLcode rc = perform();
        curl_off_t length = -1;
        curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (rc == CURLE_OK && length >= 0)
            storedSize_ = length;
        return rc;
    }

    std::optional<qint64> sizeFromReplies() const {
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

    bool needsUtf8Option() const {
        const QString& path = job_.remoteFileName;
        return std::any_of(path.begin(), path.end(), [](QChar c) { return c.unicode() > 0x7f; });
    }

    void prepare(const QByteArray& path) {
        // Reset keeps the live connection; every option is set anew below.
        curl_easy_reset(handle_);
        replies_.clear();
        url_ = base_ + path;
        curl_easy_setopt(handle_, CURLOPT_URL, url_.constData());
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        secure();
        if (!job_.userName.isEmpty()) {
            user_ = job_.userName.toUtf8();
            password_ = job_.password.toUtf8();
            curl_easy_setopt(handle_, CURLOPT_USERNAME, user_.constData());
            curl_easy_setopt(handle_, CURLOPT_PASSWORD, password_.constData());
        }
        // Every command names its path from the log-in directory, as typed.
        curl_easy_setopt(handle_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
        curl_easy_setopt(handle_, CURLOPT_FTP_USE_EPSV, 1L);
        curl_easy_setopt(handle_, CURLOPT_FTP_CREATE_MISSING_DIRS,
                         static_cast<long>(CURLFTP_CREATE_DIR_NONE));
        curl_easy_setopt(handle_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);

        const TransferTimeouts& t = job_.timeouts;
        // Clean-up after a failure is best effort: it must not double the wait
        // on a server that has stopped answering.
        const auto cap = [this](auto value, auto limit) {
            return cleanup_ ? std::min(value, limit) : value;
        };
        const long connectMs =
            static_cast<long>(cap(t.connect, std::chrono::milliseconds(5000)).count());
        const long replyS = static_cast<long>(cap(t.serverReply, std::chrono::seconds(10)).count());
        const long stallS = static_cast<long>(cap(t.stall, std::chrono::seconds(10)).count());
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
        curl_easy_setopt(handle_, CURLOPT_SERVER_RESPONSE_TIMEOUT, replyS);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, stallS);

        curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &Session::onReply);
        curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &Session::onProgress);
        curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, this);
    }

    void secure() {
        switch (job_.endpoint.transport) {
        case Transport::Ftp:
            curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "ftp");
            break;
        case Transport::FtpExplicitTls:
        case Transport::FtpImplicitTls:
            curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "ftp,ftps");
            // TLS on the control and the data connections, or no upload: the
            // password never goes out in clear.
            curl_easy_setopt(handle_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
            curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
            curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
            // libcurl 7.88 can end an FTPS store under TLS 1.3 as an empty file.
            curl_easy_setopt(handle_, CURLOPT_SSLVERSION,
                             static_cast<long>(CURL_SSLVERSION_TLSv1_2) |
                                 static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
            // As OpenSSL programs do, so that a company's own authority can be
            // trusted; libcurl otherwise uses its built-in bundle path only.
            caFile_ = qgetenv("SSL_CERT_FILE");
            caDir_ = qgetenv("SSL_CERT_DIR");
            if (!caFile_.isEmpty())
                curl_easy_setopt(handle_, CURLOPT_CAINFO, caFile_.constData());
            if (!caDir_.isEmpty())
                curl_easy_setopt(handle_, CURLOPT_CAPATH, caDir_.constData());
            break;
        case Transport::Sftp:
            curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "sftp");
            curl_easy_setopt(handle_, CURLOPT_SSH_AUTH_TYPES,
                             static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
            knownHosts_ = QFile::encodeName(QDir::homePath() + QStringLiteral("/.ssh/known_hosts"));
            curl_easy_setopt(handle_, CURLOPT_SSH_KNOWNHOSTS, knownHosts_.constData());
            curl_easy_setopt(handle_, CURLOPT_SSH_KEYFUNCTION, &Session::onHostKey);
            break;
        }
    }

    // Only a key the user's known_hosts holds for this host is accepted: an
    // unknown or changed one fails the upload.
    static int onHostKey(CURL*, const curl_khkey*, const curl_khkey*, curl_khmatch match, void*) {
        return match == CURLKHMATCH_OK ? CURLKHSTAT_FINE : CURLKHSTAT_REJECT;
    }

    CURLcode perform() {
        if (aborted())
            return CURLE_ABORTED_BY_CALLBACK;
        return curl_easy_perform(handle_);
    }

    static size_t onReply(char* data, size_t size, size_t count, void* self) {
        static_cast<Session*>(self)->replies_.append(
            QByteArray(data, static_cast<qsizetype>(size * count)));
        return size * count;
    }
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Session*>(self)->aborted() ? 1 : 0;
    }

    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    CURL* handle_;
    QByteArray base_, url_, user_, password_, caFile_, caDir_, knownHosts_;
    std::optional<qint64> storedSize_;
    QList<QByteArray> replies_;
    bool cleanup_ = false;
};

qint32 checkedCopy(const Session& session, const LocalFile& file) {
    if (file.changed())
        return ResponseCodes::LocalFileChanged;
    const auto size = session.reportedSize();
    return size && *size != file.size() ? ResponseCodes::SizeMismatch : ResponseCodes::Ok;
}

} // namespace

qint32 Publish(const PublishJob& job, const std::atomic<bool>& abort) {
    LocalFile file;
    if (!file.open(job.localFileName))
        return ResponseCodes::LocalFileUnreadable;
    Session session(job, abort);
    if (!session.valid())
        return ResponseCodes::CurlBase + CURLE_FAILED_INIT;

    const QString& finalName = job.remoteFileName;
    const QString token = QString::number(QRandomGenerator::system()->generate64(), 16);
    const QString temporary = TemporaryNameFor(finalName, token);
    const auto removeTemporary = [&] {
        if (!session.aborted())
            session.commands({session.removeCommand(temporary)}, true);
    };

    CURLcode rc = session.store(temporary, file);
    if (rc != CURLE_OK) {
        const qint32 code = session.failureCode(rc, file);
        // Before the log-in went through there is nothing to remove, and a
        // second attempt would only double the wait on a refused password.
        if (session.mayHaveStored(rc))
            removeTemporary();
        return code;
    }
    if (const qint32 code = checkedCopy(session, file); code != ResponseCodes::Ok) {
        removeTemporary();
        return code;
    }

    rc = session.commands(session.renameCommands(temporary, finalName));
    if (rc == CURLE_OK)
        return ResponseCodes::Ok;
    if (rc != CURLE_QUOTE_ERROR) {
        // The server went away or stopped answering: not a refusal to act on.
        const qint32 code = session.failureCode(rc, file);
        removeTemporary();
        return code;
    }

    // FTP servers that answered RNFR and then refused RNTO with 550 or 553,
    // and SFTP servers (OpenSSH among them), will not rename onto an existing
    // file: make room first.
    const long refusal = session.lastReply();
    if (session.sftp() || (session.sawReply(350) && (refusal == 550 || refusal == 553))) {
        QList<QByteArray> replace{"*" + session.removeCommand(finalName)};
        replace += session.renameCommands(temporary, finalName);
        rc = session.commands(replace);
        if (rc == CURLE_OK)
            return ResponseCodes::Ok;
        if (rc != CURLE_QUOTE_ERROR) {
            const qint32 code = session.failureCode(rc, file);
            removeTemporary();
            return code;
        }
    }

    // No renames on this server: store under the final name, as a plain
    // store would, and drop the temporary copy.
    qint32 code = ResponseCodes::Ok;
    if (!file.rewind()) {
        code = ResponseCodes::LocalFileUnreadable;
    } else {
        rc = session.store(finalName, file);
        code = rc == CURLE_OK ? checkedCopy(session, file) : session.failureCode(rc, file);
    }
    removeTemporary();
    return code;
}

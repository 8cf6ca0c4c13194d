#pragma once

#include "CurlConnection.h"
#include "PublishJob.h"
#include "LocalFile.h"
#include "CurlTrace.h"
#include "FtpFailure.h"
#include "PublishReport.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

// One easy handle for the whole publish, so that the store, the rename and
// any clean-up share one control connection and one log-in.
class CurlSession {
public:
    // `held`: a connection kept from an earlier publish to the same
    // destination, already logged in; null for a fresh one.
    CurlSession(const PublishJob& job, const std::atomic<bool>& abort,
                std::unique_ptr<CurlConnection> held = nullptr);
    ~CurlSession();
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    bool valid() const { return handle_ != nullptr; }
    // Whether the connection came logged in from an earlier publish.
    bool held() const { return held_; }
    // Whether any byte of the file went out in this publish.
    bool bytesSent() const { return bytesSent_; }
    // Whether the first request of this publish failed.
    bool firstRequestFailed() const { return firstFailed_; }
    // Whether a request failed in a way a server's refusal does not: the
    // connection broke, timed out or is in doubt.
    bool sawError() const { return sawError_; }
    // Whether TLS was asked for with the certificate checked.
    bool verifiesCertificate() const {
        return job_.endpoint.transport != Transport::Ftp || optionalTls_ == OptionalTls::Verified;
    }
    // A fresh connection asks for TLS 1.2 at most; a held one goes on as
    // it began.
    void capTlsAt12() {
        if (!held_)
            connection_->tls12Max = true;
    }
    bool tlsCapped() const { return connection_ && connection_->tls12Max; }
    // Whether the last request failed in the TLS handshake.
    bool handshakeFailed() const { return lastCode_ == CURLE_SSL_CONNECT_ERROR; }
    // Whether the control connection runs through TLS.
    bool tlsAccepted() const { return connection_ && connection_->tlsAccepted; }
    // Hands the connection over, to be held for the next publish.
    std::unique_ptr<CurlConnection> release();
    bool aborted() const { return abort_.load(); }

    // STOR of the local file under `remote`, then SIZE of what arrived
    // unless `askSize` is false (the caller asks for more than the size).
    // `checks` are commands sent first; one the server refuses ends the
    // store before any data is sent.
    CURLcode store(const QString& remote, LocalFile& file, const QList<QByteArray>& checks = {},
                   bool askSize = true);
    // Plain commands on the log-in directory, no transfer. A clean-up is
    // best effort and gets shorter time limits.
    CURLcode commands(const QList<QByteArray>& lines, bool cleanup = false);
    // A command whose answer is a listing over the control connection
    // (STAT of a folder): each line of it that is no reply code's goes to
    // `sink` as it comes, and is not kept; `limit` for the whole answer.
    CURLcode listing(const QByteArray& command, const std::function<void(QByteArrayView)>& sink,
                     std::chrono::milliseconds limit);
    // The same over a data connection: `verb` ("LIST -a") of `folder` (as
    // RemoteFolderOf gives it).
    CURLcode listFolder(const QString& folder, const QByteArray& verb,
                        const std::function<void(QByteArrayView)>& sink,
                        std::chrono::milliseconds limit);
    // Whether `line` is a reply's code line ("213-Status follows:", "213
    // End"), not a line of what it carries.
    static bool IsCodeLine(QByteArrayView line) {
        const auto digit = [&line](int i) { return line[i] >= '0' && line[i] <= '9'; };
        return line.size() >= 4 && digit(0) && digit(1) && digit(2) &&
               (line[3] == '-' || line[3] == ' ');
    }
    // libcurl's own words for the last request's failure.
    QByteArray errorText() const { return QByteArray(errorText_); }

    // The size the server reported for what the last store sent, if it did.
    std::optional<qint64> reportedSize() const { return storedSize_; }

    // Removing and renaming in the server's own words.
    QByteArray removeCommand(const QString& path) const;
    QList<QByteArray> renameCommands(const QString& from, const QString& to) const;

    bool sawReply(int code) const;
    // Every reply line of the last request, as the server sent it.
    const QList<QByteArray>& replies() const { return replies_; }
    // The commands that switch the server to UTF-8 names, where a name
    // needs it; none otherwise.
    QList<QByteArray> utf8Option() const;
    // Whether the server refused to store under the name asked for before
    // a byte of the file went out: a 550 or 553 reply to STOR, with no 1xx
    // before it. Another name may then be tried.
    bool refusedBeforeData(CURLcode rc, const LocalFile& file) const;
    // The directory the server logged us into, as it answered PWD; empty
    // when unknown. Read it before the next request.
    QString entryPath() const;
    // Whether a failed store may have left a file behind: only once logged in.
    bool mayHaveStored() const;
    long lastReply() const;
    // The response code for a failed request; also notes in the job's
    // report what explains it.
    qint32 failureCode(CURLcode rc, const LocalFile& file) const;
    // A step of the program's own in the protocol trace.
    void trace(const QByteArray& line) const { trace_.note(line); }

private:
    std::optional<qint64> sizeFromReplies() const;
    bool needsUtf8Option() const;
    void prepare(const QByteArray& path);
    // The transport's own options: TLS.
    void secure();
    void tlsOptions(bool verify);
    CURLcode perform();
    void note(const LocalFile& file, CURLcode rc) const;

    // A bare host's TLS with a certificate nobody vouches for: held to the
    // key of the first one seen from the server in this run.
    bool unverifiedTls() const;
    void rememberCertificate();
    // Whether the control connection runs through TLS, asked of libcurl's
    // TLS layer; only inside a request's callbacks.
    bool controlOverTls() const;
    static size_t onReply(char* data, size_t size, size_t count, void* self);
    // The store's read callback; `file` is the LocalFile.
    static size_t readFile(char* buffer, size_t size, size_t count, void* file);
    static size_t onListing(char* data, size_t size, size_t count, void* sink);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    const bool held_; // before connection_, which takes the held one over
    std::unique_ptr<CurlConnection> connection_;
    CURL* handle_;
    int requests_ = 0;
    bool firstFailed_ = false;
    bool sawError_ = false;
    bool loggedIn_ = false;
    bool bytesSent_ = false;
    CURLcode lastCode_ = CURLE_OK;
    // How this session asks for TLS: the job's, or a held connection's.
    OptionalTls optionalTls_;
    bool tlsRequired_;
    QByteArray base_, url_, user_, caFile_, caDir_;
    QByteArray certificatePin_; // "sha256//...", for an unverified session
    std::optional<qint64> storedSize_;
    QList<QByteArray> replies_;
    bool cleanup_ = false;
    const std::function<void(QByteArrayView)>* listingSink_ = nullptr;
    std::optional<std::chrono::milliseconds> replyCap_; // for the listing
    QByteArray action_; // what the current request is for, in the server's words
    char errorText_[CURL_ERROR_SIZE] = {};
    ProtocolTrace trace_;
};

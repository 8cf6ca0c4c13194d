#include "TransferInet.h"

#include "FailureReason.h"
#include "Publish.h"
#include "PutOperation.h"
#include "ResponseCodes.h"
#include "TlsFallback.h"
#include "TransferLog.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/stat.h>

#include <cerrno>

namespace {

void wakeEventLoop() {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] {}, Qt::QueuedConnection);
}

// The local name a Put text most likely meant: all before its last space.
QString likelyLocalName(const QString& operation) {
    const QString names = operation.mid(4);
    const qsizetype space = names.lastIndexOf(u' ');
    return space < 0 ? names : names.left(space);
}

// Why `path` is no file to send: the system's error, or -1 when it is
// something other than a regular file.
int localFileError(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno;
    return S_ISREG(st.st_mode) ? 0 : -1;
}

} // namespace

TransferInet::TransferInet(TransferTimeouts timeouts, std::function<void()> wake)
    : timeouts_(timeouts), wake_(wake ? std::move(wake) : wakeEventLoop),
      responseCode_(ResponseCodes::NoOperation) {}

TransferInet::~TransferInet() {
    abort_ = true;
    if (worker_.joinable())
        worker_.join();
}

void TransferInet::SetProtocol(int protocol) {
    if (protocol != icFTP)
        throw InetError("only FTP is supported");
}

void TransferInet::SetRemoteHost(const QString& host) {
    remoteHost_ = host;
}
void TransferInet::SetUserName(const QString& userName) {
    userName_ = userName;
}
void TransferInet::SetPassword(const QString& password) {
    password_ = password;
}

QString TransferInet::URL() const {
    const auto endpoint = ParseRemoteHost(remoteHost_);
    if (!endpoint)
        throw InetError("not a host name");
    return FormUrl(*endpoint);
}

void TransferInet::Execute(const QString& url, const QString& operation) {
    if (running_)
        throw InetError("an operation is still running");
    if (worker_.joinable())
        worker_.join();
    abort_ = false;
    report_ = {};
    responseInfo_.clear();

    // Refusals are decided here, before any connection is made.
    PublishJob refused{{}, userName_, password_, {}, {}, timeouts_};
    refused.endpoint.host = remoteHost_;
    if (HasUnsafeText(remoteHost_) || HasUnsafeText(userName_) || HasUnsafeText(password_) ||
        HasUnsafeText(url) || HasUnsafeText(operation))
        return refuse(ResponseCodes::UnsafeText, refused);
    const auto endpoint = ParseUrl(url);
    if (!endpoint)
        return refuse(ResponseCodes::BadHost, refused);
    const auto put = SplitPutOperation(operation, IsRegularFile);
    if (!put) {
        refused.localFileName = likelyLocalName(operation);
        report_.localErrno = localFileError(refused.localFileName);
        return refuse(ResponseCodes::BadOperation, refused);
    }

    PublishJob job{*endpoint,          userName_,           password_,
                   put->localFileName, put->remoteFileName, timeouts_};
    job.report = &report_;
    responseCode_ = ResponseCodes::Running;
    running_ = true;
    worker_ = std::thread([this, job = std::move(job)] {
        // SFTP goes as typed; only FTP's engine knows a bare host's TLS.
        SecurityPath path = SecurityPath::AsTyped;
        const qint32 code = job.endpoint.transport == Transport::Sftp
                                ? Publish(job, abort_)
                                : PublishPreferringTls(job, abort_, &path, Publish, FailureReason);
        securityPath_ = path;
        finish(code, job);
    });
}

void TransferInet::refuse(qint32 code, PublishJob job) {
    responseInfo_ = FailureReason(code, report_, job);
    responseCode_ = code;
}

void TransferInet::finish(qint32 code, const PublishJob& job) {
    responseInfo_ = FailureReason(code, report_, job);
    // For a bare host, which way the password travelled belongs to the
    // reason of a failure the server or the connection had a part in.
    if (!responseInfo_.isEmpty() && securityPath_ != SecurityPath::AsTyped &&
        code < ResponseCodes::UnsafeText)
        responseInfo_ += QStringLiteral(" (") + DescribeSecurityPath(securityPath_) + u')';
    responseCode_ = code;
    running_ = false;
    wake_();
}

bool TransferInet::StillExecuting() const {
    return running_;
}
qint32 TransferInet::ResponseCode() const {
    return responseCode_;
}
QString TransferInet::ResponseInfo() const {
    return running_ ? QString() : responseInfo_;
}
void TransferInet::Abort() {
    if (running_ && !abort_)
        qCDebug(lcTransfer) << "ending an upload that is still running";
    abort_ = true;
}

InetFactory TransferInetFactory(TransferTimeouts timeouts) {
    return
        [timeouts]() -> std::unique_ptr<Inet> { return std::make_unique<TransferInet>(timeouts); };
}

#include "CurlInet.h"

#include "ResponseCodes.h"

#include <QCoreApplication>

namespace {

void wakeEventLoop() {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] {}, Qt::QueuedConnection);
}

} // namespace

CurlInet::CurlInet(TransferTimeouts timeouts, std::function<void()> wake)
    : timeouts_(timeouts), wake_(wake ? std::move(wake) : wakeEventLoop),
      responseCode_(ResponseCodes::NoOperation) {}

CurlInet::~CurlInet() {
    abort_ = true;
    if (worker_.joinable())
        worker_.join();
}

void CurlInet::SetProtocol(int protocol) {
    if (protocol != icFTP)
        throw InetError("only FTP is supported");
}

void CurlInet::SetRemoteHost(const QString& host) {
    remoteHost_ = host;
}
void CurlInet::SetUserName(const QString& userName) {
    userName_ = userName;
}
void CurlInet::SetPassword(const QString& password) {
    password_ = password;
}

QString CurlInet::URL() const {
    const auto endpoint = ParseRemoteHost(remoteHost_);
    if (!endpoint)
        throw InetError("not a host name");
    return FormUrl(*endpoint);
}

void CurlInet::Execute(const QString& url, const QString& operation) {
    if (running_)
        throw InetError("an operation is still running");
    if (worker_.joinable())
        worker_.join();
    abort_ = false;

    // Refusals are decided here, before any connection is made.
    if (HasUnsafeText(remoteHost_) || HasUnsafeText(userName_) || HasUnsafeText(password_) ||
        HasUnsafeText(url) || HasUnsafeText(operation)) {
        responseCode_ = ResponseCodes::UnsafeText;
        return;
    }
    const auto endpoint = ParseUrl(url);
    if (!endpoint) {
        responseCode_ = ResponseCodes::BadHost;
        return;
    }
    const auto put = SplitPutOperation(operation, IsRegularFile);
    if (!put) {
        responseCode_ = ResponseCodes::BadOperation;
        return;
    }

    PublishJob job{*endpoint,          userName_,           password_,
                   put->localFileName, put->remoteFileName, timeouts_};
    responseCode_ = ResponseCodes::Running;
    running_ = true;
    worker_ = std::thread([this, job = std::move(job)] { finish(Publish(job, abort_)); });
}

void CurlInet::finish(qint32 code) {
    responseCode_ = code;
    running_ = false;
    wake_();
}

bool CurlInet::StillExecuting() const {
    return running_;
}
qint32 CurlInet::ResponseCode() const {
    return responseCode_;
}
void CurlInet::Abort() {
    abort_ = true;
}

InetFactory CurlInetFactory(TransferTimeouts timeouts) {
    return [timeouts]() -> std::unique_ptr<Inet> { return std::make_unique<CurlInet>(timeouts); };
}

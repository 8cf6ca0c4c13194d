#pragma once

#include "Inet.h"
#include "PublishJob.h"
#include "SecurityPath.h"

#include <atomic>
#include <functional>
#include <thread>

// The transfer component, for every transport: FTP and FTPS through
// libcurl, SFTP through OpenSSH's own client. Execute hands the publish to a worker
// thread and returns at once; when the worker ends it calls `wake`, which by
// default posts an empty event to the application so that a wait blocked in
// the event loop looks again.
class TransferInet final : public Inet {
public:
    explicit TransferInet(TransferTimeouts timeouts = {}, std::function<void()> wake = {});
    ~TransferInet() override;
    TransferInet(const TransferInet&) = delete;
    TransferInet& operator=(const TransferInet&) = delete;

    void SetProtocol(int protocol) override;
    void SetRemoteHost(const QString& host) override;
    void SetUserName(const QString& userName) override;
    void SetPassword(const QString& password) override;
    QString URL() const override;
    void Execute(const QString& url, const QString& operation) override;
    bool StillExecuting() const override;
    qint32 ResponseCode() const override;
    QString ResponseInfo() const override;
    void Abort() override;

    // How the last operation's password and file travelled.
    SecurityPath LastSecurityPath() const { return securityPath_; }

private:
    void finish(qint32 code, const PublishJob& job);
    void refuse(qint32 code, PublishJob job);

    TransferTimeouts timeouts_;
    std::function<void()> wake_;
    QString remoteHost_;
    QString userName_;
    QString password_;
    std::atomic<bool> running_{false};
    std::atomic<bool> abort_{false};
    std::atomic<qint32> responseCode_;
    // Written by the worker before running_ turns false, read only after.
    PublishReport report_;
    QString responseInfo_;
    std::atomic<SecurityPath> securityPath_{SecurityPath::AsTyped};
    std::thread worker_;
};

InetFactory TransferInetFactory(TransferTimeouts timeouts = {});

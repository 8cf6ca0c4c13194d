#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>

// The transfer component: one object per upload, told the protocol, the host
// and the credentials, asked to run one "Put" operation, then polled until it
// is done. Any operation may throw InetError; callers decide what a failed
// operation means for them.
class Inet {
public:
    static constexpr int icFTP = 2;

    virtual ~Inet() = default;

    virtual void SetProtocol(int protocol) = 0;
    virtual void SetRemoteHost(const QString& host) = 0;
    virtual void SetUserName(const QString& userName) = 0;
    virtual void SetPassword(const QString& password) = 0;
    // The address the component will talk to; never carries credentials.
    virtual QString URL() const = 0;
    // Starts the operation and returns before it is finished.
    virtual void Execute(const QString& url, const QString& operation) = 0;
    virtual bool StillExecuting() const = 0;
    // 0 when the last operation succeeded; see ResponseCodes.h otherwise.
    virtual qint32 ResponseCode() const = 0;
    // Why the last operation failed, in plain words for a person; empty
    // after a success or when the component cannot tell.
    virtual QString ResponseInfo() const { return {}; }
    // Ends a running operation as soon as possible; it then fails.
    virtual void Abort() = 0;
};

class InetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Each upload asks the factory for a fresh component. A factory may return
// null or throw when no component can be had.
using InetFactory = std::function<std::unique_ptr<Inet>()>;

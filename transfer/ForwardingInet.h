#pragma once

#include "Inet.h"

#include <memory>

// A component that passes every call on to another one; a wrapper derives
// from it and overrides only what it adds.
class ForwardingInet : public Inet {
public:
    explicit ForwardingInet(std::unique_ptr<Inet> inner) : inner_(std::move(inner)) {}

    void SetProtocol(int protocol) override { inner_->SetProtocol(protocol); }
    void SetRemoteHost(const QString& host) override { inner_->SetRemoteHost(host); }
    void SetUserName(const QString& userName) override { inner_->SetUserName(userName); }
    void SetPassword(const QString& password) override { inner_->SetPassword(password); }
    QString URL() const override { return inner_->URL(); }
    void Execute(const QString& url, const QString& operation) override {
        inner_->Execute(url, operation);
    }
    bool StillExecuting() const override { return inner_->StillExecuting(); }
    qint32 ResponseCode() const override { return inner_->ResponseCode(); }
    QString ResponseInfo() const override { return inner_->ResponseInfo(); }
    void Abort() override { inner_->Abort(); }

protected:
    std::unique_ptr<Inet> inner_;
};

#include "SshConnection.h"

#include "SftpPublishSession.h"

SshConnection::~SshConnection() {
    client_.reset();
    ssh_.stop();
}

SftpClient& SshConnection::newClient() {
    client_ = std::make_unique<SftpClient>(ssh_);
    return *client_;
}

bool SshConnection::sound() const {
    return client_ && client_->connected() && client_->error() == SftpClient::Error::None &&
           ssh_.alive();
}

void SshConnection::notePeer() {
    if (!peer_.address.isEmpty())
        return;
    if (const auto peer = AuthenticatedPeer(ssh_.errorLines()))
        peer_ = *peer;
}

void SshConnection::detach() {
    ssh_.setAbort(nullptr);
    ssh_.onErrorLine({});
    ssh_.onPassedLine({});
    if (client_)
        client_->onTrace({});
}

std::unique_ptr<PublishSession> SshConnection::resume(const PublishJob& job,
                                                      const std::atomic<bool>& abort) {
    return std::make_unique<SftpPublishSession>(job, abort, std::unique_ptr<SshConnection>(this));
}

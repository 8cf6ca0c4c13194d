#pragma once

#include "Connection.h"
#include "SftpClient.h"
#include "SshCommand.h"
#include "SshProcess.h"

#include <memory>

// An ssh process with its SFTP channel, logged in: what an SFTP publish
// runs on, and what is held for the next one to the same destination.
class SshConnection final : public Connection {
public:
    SshConnection() = default;
    // Ends ssh and whatever it started.
    ~SshConnection() override;
    SshConnection(const SshConnection&) = delete;
    SshConnection& operator=(const SshConnection&) = delete;

    SshProcess& ssh() { return ssh_; }
    const SshProcess& ssh() const { return ssh_; }
    // The SFTP conversation; null before ssh was started.
    SftpClient* client() const { return client_.get(); }
    // Starts the conversation over the running ssh anew.
    SftpClient& newClient();

    // ssh runs, its channel is up and nothing on it has failed: a request
    // that timed out leaves its reply on the way, and the channel of no
    // more use.
    bool sound() const;
    bool looksAlive() const override { return sound(); }
    QString peerAddress() const override { return peer_.address; }
    QString peerHost(const QString& typed) const override {
        return peer_.host.isEmpty() ? typed : peer_.host;
    }
    // Notes where ssh said it logged in to, once it has said so.
    void notePeer();

    // Lets go of the publish that used it: none of its flags or callbacks
    // is touched again.
    void detach();

private:
    std::unique_ptr<PublishSession> resume(const PublishJob& job,
                                           const std::atomic<bool>& abort) override;

    SshProcess ssh_;
    std::unique_ptr<SftpClient> client_;
    SshPeer peer_;
};

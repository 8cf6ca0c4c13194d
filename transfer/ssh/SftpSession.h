#pragma once

#include "AskPass.h"
#include "FtpPublisher.h"
#include "HeldSessions.h"
#include "ProtocolTrace.h"
#include "PublishSession.h"
#include "SftpClient.h"
#include "SshProcess.h"

#include <QByteArray>

#include <atomic>
#include <memory>

// A publish over SFTP through the system's own OpenSSH client: ssh logs in
// as the user's `ssh` would (config, agent, keys, known_hosts), the typed
// password going to it only through AskPassServer.
class SftpSession final : public PublishSession, public HeldSession {
public:
    SftpSession(const PublishJob& job, const std::atomic<bool>& abort);
    ~SftpSession() override;

    bool aborted() const override { return abort_->load(); }
    Result stat(const QString& path, RemoteFileFacts& facts) override;
    Result store(const QString& path, LocalFile& file, int attempt, std::optional<quint32> mode,
                 RemoteFileFacts& stored) override;
    Result setMode(const QString& path, quint32 mode) override;
    Result rename(const QString& from, const QString& to) override;
    Result removeThenRename(const QString& from, const QString& to) override;
    bool remove(const QString& path) override;
    qint32 failureCode(const LocalFile& file) override;
    bool mayHaveStored() const override { return mayHaveStored_; }
    void trace(const QByteArray& line) const override { trace_.note(line); }

    // Carries the next publish to the same destination, logged in as it is.
    void rebind(const PublishJob& job, const std::atomic<bool>& abort);
    bool diedBeforeUse() const override { return failedUnused_; }

    // The flag that ends a wait early, for the next steps.
    void setAbort(const std::atomic<bool>& abort);
    // Whether the ssh process and its SFTP channel can still be used.
    bool alive() const { return client_ && client_->connected() && ssh_.alive(); }
    bool looksAlive() const override { return alive(); }
    // The ssh process of the session, -1 when none runs.
    pid_t sshPid() const { return ssh_.pid(); }

private:
    bool connect();
    bool tryLogin(bool passwordAlone);
    void loginFailed();
    // A request refused by the server: its status.
    Result refused(const Sftp::Reply& reply, const QByteArray& action);
    // The session broke while waiting for a reply.
    Result broken(const QByteArray& action);
    std::optional<Sftp::Reply> call(const QByteArray& packet, quint32 id, const QByteArray& what,
                                    std::chrono::milliseconds limit);
    std::chrono::milliseconds replyLimit() const;
    void noteSshSaid();

    const PublishJob* job_;
    const std::atomic<bool>* abort_;
    PublishReport ownReport_;
    PublishReport* report_;
    bool held_ = false;         // carries on from an earlier publish
    bool failedUnused_ = false; // a held session failed before any byte went out
    bool bytesSent_ = false;
    bool answered_ = false; // a request of this publish was answered
    ProtocolTrace trace_;
    std::unique_ptr<AskPassServer> askPass_;
    SshProcess ssh_;
    std::unique_ptr<SftpClient> client_;
    qint32 failure_ = 0;
    bool loginTried_ = false;
    bool mayHaveStored_ = false;
    bool cleanup_ = false;
};

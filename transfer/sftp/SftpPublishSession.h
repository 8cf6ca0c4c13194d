#pragma once

#include "ProtocolTrace.h"
#include "PublishJob.h"
#include "PublishSession.h"
#include "SftpFolder.h"
#include "SshConnection.h"
#include "SshLogIn.h"

#include <QByteArray>

#include <atomic>
#include <memory>

// The steps of one publish over SFTP, through the system's own OpenSSH
// client (SshLogIn): a small function per request, over shared checks of
// the replies; the requests sent ahead in the folder are SftpFolder's.
class SftpPublishSession final : public PublishSession {
public:
    // `held`: the connection of an earlier publish to the same destination,
    // logged in; null to log in anew.
    SftpPublishSession(const PublishJob& job, const std::atomic<bool>& abort,
                       std::unique_ptr<SshConnection> held = nullptr);
    ~SftpPublishSession() override;

    bool aborted() const override { return abort_.load(); }
    void plan(const Ahead& ahead) override { folder_.plan(ahead); }
    Result stat(const QString& path, FileStatus& status) override;
    Result store(const QString& path, LocalFile& file, std::optional<quint32> mode,
                 FileStatus& stored) override;
    Result setMode(const QString& path, quint32 mode) override;
    Result rename(const QString& from, const QString& to) override;
    Result removeThenRename(const QString& from, const QString& to, bool& listRemoved) override;
    Removal remove(const QString& path) override;
    Result listing(const QString& folder, const QString& finalBase,
                QList<ListedEntry>& entries) override;
    bool listingReady() const override { return folder_.listingReady(); }
    QStringList uncertainCopies() override;
    qint32 failureCode(const LocalFile& file) override;
    bool mayHaveStored() const override { return mayHaveStored_; }
    void trace(const QByteArray& line) const override { trace_.note(line); }
    RunAgain runAgain() const override {
        return failedUnused_ ? RunAgain::HeldSessionUnfit : RunAgain::No;
    }
    std::unique_ptr<Connection> release() override;

    // Whether the ssh process and its SFTP channel can still be used.
    bool alive() const { return connection_ && connection_->sound(); }
    // The ssh process of the session, -1 when none runs.
    pid_t sshPid() const { return connection_ ? connection_->ssh().pid() : -1; }

private:
    SshProcess& ssh() { return connection_->ssh(); }
    SftpClient* client() const { return connection_->client(); }
    // Logs in where no channel is up yet: once a session.
    bool connect();
    void fail(SshFailure failure) { failure_ = NoteSshFailure(report_->engine, failure); }
    // The shared checks of a reply. A request refused by the server: its
    // status noted for the report.
    Result refused(const Sftp::Reply& reply, const QByteArray& action);
    // The session broke while waiting for a reply.
    Result broken(const QByteArray& action);
    // The reply to request `id`, within the reply limit.
    std::optional<Sftp::Reply> answer(quint32 id);
    // A request answered with a status alone: Ok, or why not.
    Result status(const std::optional<Sftp::Reply>& reply, const QByteArray& action);
    // Closes a file or folder handle and waits for its answer.
    void closeHandle(const QByteArray& handle);
    std::chrono::milliseconds replyLimit() const;
    // The copy at `path` opened to write: the OPEN sent ahead, or one now.
    std::optional<Sftp::Reply> openCopy(const QString& path);
    // The writes stopped: the local file, the connection, or the server.
    Result writeFailed(const QByteArray& handle, const LocalFile& file, const Sftp::Reply& refusal,
                       const QByteArray& action);
    // The requests that end a store, in one flight with its last writes.
    Result closeCopy(const QByteArray& handle, std::optional<quint32> mode,
                     const std::deque<quint32>& writes, Sftp::Reply refusal,
                     const QByteArray& action, FileStatus& stored);
    // Closes and removes a copy opened early that no store took: the store
    // went elsewhere, or the publish ended before it (the name is a folder).
    void discardEarlyOpen();

    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    PublishReport ownReport_;
    PublishReport* report_;
    const bool held_;           // carries on from an earlier publish
    bool failedUnused_ = false; // a held session failed before any byte went out
    bool bytesSent_ = false;
    bool answered_ = false; // a request of this publish was answered
    bool sawError_ = false; // the connection broke, or a request went unanswered
    int names_ = 0;         // the names a store went under, for the trace
    ProtocolTrace trace_;
    SshLogIn logIn_;
    std::unique_ptr<SshConnection> connection_;
    SftpFolder folder_;
    qint32 failure_ = 0;
    bool loginTried_;
    bool mayHaveStored_ = false;
    bool cleanup_ = false; // answers awaited are a clean-up's
};

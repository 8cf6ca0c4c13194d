#pragma once

#include "AskPass.h"
#include "ProtocolTrace.h"
#include "PublishJob.h"
#include "PublishSession.h"
#include "SshConnection.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>

#include <atomic>
#include <memory>

// The steps of one publish over SFTP, through the system's own OpenSSH
// client: ssh logs in as the user's `ssh` would (config, agent, keys,
// known_hosts), the typed password going to it only through AskPassServer.
class SftpPublishSession final : public PublishSession {
public:
    // `held`: the connection of an earlier publish to the same destination,
    // logged in; null to log in anew.
    SftpPublishSession(const PublishJob& job, const std::atomic<bool>& abort,
                std::unique_ptr<SshConnection> held = nullptr);
    ~SftpPublishSession() override;

    bool aborted() const override { return abort_.load(); }
    void expectStore(const QString& path) override { expected_ = path; }
    Result stat(const QString& path, RemoteFileFacts& facts) override;
    Result store(const QString& path, LocalFile& file, int attempt, std::optional<quint32> mode,
                 RemoteFileFacts& stored) override;
    Result setMode(const QString& path, quint32 mode) override;
    Result rename(const QString& from, const QString& to) override;
    Result removeThenRename(const QString& from, const QString& to, bool& listRemoved) override;
    Removal remove(const QString& path) override;
    void expectListing(const QString& folder, const QString& finalBase) override;
    Result list(const QString& folder, const QString& finalBase,
                QList<ListedEntry>& entries) override;
    bool listingReady() const override { return listing_.has_value() && !listing_->handle.isEmpty(); }
    void expectRemovals(const QStringList& paths) override { removals_ = paths; }
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
    void attach();
    bool connect();
    // "user@host" as ssh's password prompt names it.
    QByteArray promptAccount(const QStringList& args);
    bool tryLogin(bool passwordAlone);
    void loginFailed();
    void fail(SshFailure failure);
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
    void noteSshSaid();
    // The copy at `path` opened to write: the OPEN sent ahead, or one now.
    std::optional<Sftp::Reply> openCopy(const QString& path);
    // The writes stopped: the local file, the link, or the server.
    Result writeFailed(const QByteArray& handle, const LocalFile& file, const Sftp::Reply& refusal,
                       const QByteArray& action);
    // The requests that end a store, in one flight with its last writes.
    Result closeCopy(const QByteArray& handle, std::optional<quint32> mode,
                     const std::deque<quint32>& writes, Sftp::Reply refusal,
                     const QByteArray& action, RemoteFileFacts& stored);
    // Closes and removes a copy opened early that no store took: the store
    // went elsewhere, or the publish ended before it (the name is a folder).
    void discardEarlyOpen();
    // Sends the removals expected to go with the next rename.
    void sendRemovals();
    // The listing opened ahead: its handle, then its entries, READDIR by
    // READDIR, a few in flight; closed once it ends or runs too long.
    void openListing(const QString& folder, const QString& finalBase);
    void readListing(bool wait);
    // Waits for the replies of requests that went out ahead and that no
    // step took: the session must hold no stray reply.
    bool settleAhead();

    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    PublishReport ownReport_;
    PublishReport* report_;
    const bool held_;           // carries on from an earlier publish
    bool failedUnused_ = false; // a held session failed before any byte went out
    bool bytesSent_ = false;
    bool answered_ = false; // a request of this publish was answered
    bool sawError_ = false; // the connection broke, or a request went unanswered
    ProtocolTrace trace_;
    std::unique_ptr<AskPassServer> askPass_;
    std::unique_ptr<SshConnection> connection_;
    qint32 failure_ = 0;
    bool loginTried_;
    bool mayHaveStored_ = false;
    bool cleanup_ = false;
    QString expected_; // where the next store is likely to go
    // An OPEN sent ahead of its store, with the request that went before it.
    struct EarlyOpen {
        QString path;
        quint32 id;
    };
    std::optional<EarlyOpen> early_;
    QStringList uncertain_; // copies opened ahead that may still be there

    // A folder listed alongside the publish's own requests.
    struct Listing {
        QString folder;
        QString base; // the name whose copies are wanted
        quint32 openId = 0;
        QByteArray handle;
        std::deque<quint32> reads; // READDIRs in flight
        std::optional<quint32> closeId;
        bool closed = false; // its CLOSE answered
        bool ended = false;
        bool refused = false;
        bool broken = false;
        QList<ListedEntry> entries;
        QElapsedTimer started;
    };
    // Entries kept of one listing, at the most: a folder's own copies of
    // the list are a handful.
    static constexpr qsizetype MaxListedEntries = 1000;
    std::optional<Listing> listing_;
    std::optional<std::pair<QString, QString>> expectedListing_; // folder, base
    QStringList removals_;            // to go with the next rename
    QHash<QString, quint32> removing_; // removals sent ahead, by path
};

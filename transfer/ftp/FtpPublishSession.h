#pragma once

#include "CurlSession.h"
#include "DestinationKey.h"
#include "FtpServerLearnt.h"
#include "PublishSession.h"

// The steps of a publish in FTP's words, on one CurlSession: one log-in,
// one control connection, held for the next publish where this one worked.
class FtpPublishSession final : public PublishSession {
public:
    // `held`: the connection of an earlier publish to the same destination,
    // logged in; null to log in anew.
    FtpPublishSession(const PublishJob& job, const std::atomic<bool>& abort,
                       std::unique_ptr<CurlConnection> held = nullptr);

    bool valid() const { return session_.valid(); }

    bool aborted() const override { return session_.aborted(); }
    Result stat(const QString& path, FileStatus& status) override;
    Result store(const QString& path, LocalFile& file, std::optional<quint32> mode,
                 FileStatus& stored) override;
    Result setMode(const QString& path, quint32 mode) override;
    Result rename(const QString& from, const QString& to) override;
    Result removeThenRename(const QString& from, const QString& to, bool& listRemoved) override;
    Removal remove(const QString& path) override;
    Result listing(const QString& folder, const QString& finalBase,
                QList<ListedEntry>& entries) override;
    qint32 failureCode(const LocalFile& file) override;
    bool mayHaveStored() const override;
    void trace(const QByteArray& line) const override;
    RunAgain runAgain() const override;
    void learnFromFailure() override;
    SessionTls tls() const override;
    std::unique_ptr<Connection> release() override;

private:
    // Asks the server of `path` as it answers; false when the request
    // failed (not refused).
    bool ask(const QString& path, std::optional<FileStatus>& status);
    Result commandResult(CURLcode rc);
    void learnTlsHolding(TlsHolding state) const;
    Result listOverData(const QByteArray& folder, const QString& finalBase,
                        QList<ListedEntry>& entries);

    const PublishJob& job_;
    const DestinationKey key_; // what is learnt of the server is found by
    CurlSession session_;
    CURLcode last_ = CURLE_OK;
    // The file of the last failed request, for its failure code.
    const LocalFile* file_ = nullptr;
    bool storedFacts_ = false; // the last store asked for status, not the size alone
    bool dataRefused_ = false; // the last store's data connection was refused
    // Names the server refused a store under; the store after the first
    // refusal checks that the folder is there.
    int namesRefused_ = 0;
    bool folderChecked_ = false;
};

#pragma once

#include "CurlSession.h"
#include "PublishSession.h"

// The steps of a publish in FTP's words, on one CurlSession: one log-in,
// one control connection, held for the next publish where this one worked.
class CurlPublishSession final : public PublishSession {
public:
    // `fresh`: log in anew even where a session to the destination is held.
    CurlPublishSession(const PublishJob& job, const std::atomic<bool>& abort, bool fresh = false);

    bool valid() const { return session_.valid(); }

    bool aborted() const override { return session_.aborted(); }
    Result stat(const QString& path, RemoteFileFacts& facts) override;
    Result store(const QString& path, LocalFile& file, int attempt, std::optional<quint32> mode,
                 RemoteFileFacts& stored) override;
    Result setMode(const QString& path, quint32 mode) override;
    Result rename(const QString& from, const QString& to) override;
    Result removeThenRename(const QString& from, const QString& to) override;
    bool remove(const QString& path) override;
    qint32 failureCode(const LocalFile& file) override;
    bool mayHaveStored() const override;
    void trace(const QByteArray& line) const override;
    bool diedBeforeUse() const override;
    void finish(bool keep) override;

private:
    // How this server answers for a file: STAT, else MLST, else not at all.
    enum class Asking { Stat, Mlst, Nothing };
    Asking asking() const;
    void learnAsking(Asking how);
    // Asks the server of `path` as it answers; false when the request
    // failed (not refused).
    bool ask(const QString& path, std::optional<RemoteFileFacts>& facts);
    Result commandResult(CURLcode rc);
    int holdingTlsState() const;
    void learnHoldingTls(int state) const;

    const PublishJob& job_;
    QByteArray key_; // the destination, for the held session
    CurlSession session_;
    QString server_; // scheme, host and port: what the ways of asking are kept for
    CURLcode last_ = CURLE_OK;
    // The file of the last failed request, for its failure code.
    const LocalFile* file_ = nullptr;
    bool storedFacts_ = false;
    bool dataRefused_ = false; // the last store's data connection was refused // the last store
                               // asked for facts, not the size alone
};

#pragma once

#include "LeftCopies.h"
#include "ProtocolTrace.h"
#include "PublishSession.h"
#include "SftpClient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

// A file's status as its attributes tell it: SFTP names owner and group by
// number.
void TakeAttrs(const Sftp::FileAttrs& attrs, FileStatus& status);
// The status of a name that exists, from its LSTAT's attributes and the
// answer to its READLINK.
void TakeStatus(const Sftp::FileAttrs& attrs, const Sftp::Reply& link, FileStatus& status);
// What a REMOVE's answer says: only "removed" and "no such file" count.
PublishSession::Removal RemovalOf(const Sftp::Reply& reply);

// One folder's listing: its OPENDIR goes out ahead, then its READDIRs, a
// few in flight, and it keeps the entries of the list and its copies alone.
// Closed once it ends or runs too long.
class SftpListing {
public:
    // The reply to a request, within the session's reply limit.
    using Answer = std::function<std::optional<Sftp::Reply>(quint32 id)>;

    // Sends the OPENDIR of `folder`, for the copies named after `base`.
    SftpListing(SftpClient& client, Answer answer, const ProtocolTrace& trace,
                std::chrono::milliseconds limit, const QString& folder, const QString& base);

    bool lists(const QString& folder, const QString& base) const {
        return folder_ == folder && base_ == base;
    }
    // Its OPENDIR answered with a handle.
    bool opened() const { return !handle_.isEmpty(); }
    // Sends its first READDIRs; with `wait`, reads it to its end and sends
    // its CLOSE.
    void read(bool wait);
    // Ends a listing not read to its end and waits for its CLOSE: false
    // where the connection broke meanwhile.
    bool settle();

    bool broken() const { return broken_; }
    bool refused() const { return refused_; }
    const QList<ListedEntry>& entries() const { return entries_; }

private:
    void ask();
    void take(const QList<Sftp::NameEntry>& names);

    SftpClient& client_;
    Answer answer_;
    const ProtocolTrace& trace_;
    const std::chrono::milliseconds limit_;
    const QString folder_;
    const QString base_; // the name whose copies are wanted
    quint32 openId_ = 0;
    QByteArray handle_;
    std::deque<quint32> reads_; // READDIRs in flight
    std::optional<quint32> closeId_;
    bool closed_ = false; // its CLOSE answered
    bool ended_ = false;
    bool refused_ = false;
    bool broken_ = false;
    QList<ListedEntry> entries_;
    QElapsedTimer started_;
};

// The requests a publish sends ahead in its folder, in the flight of the
// ones it waits for: the copy's OPEN, the listing, the removals of copies
// that go with the rename. Each reply is taken by the step that wants it,
// or waited for at the end, so that the session holds no stray reply.
class SftpFolder {
public:
    using Answer = SftpListing::Answer;

    // `client`: the session's client of the moment, which a log-in renews.
    SftpFolder(std::function<SftpClient*()> client, Answer answer, const ProtocolTrace& trace,
               std::chrono::milliseconds listingLimit);

    // What the publish plans next: each part that changed is sent with
    // the next request, once.
    void plan(const Ahead& ahead) {
        if (ahead.copy != planned_.copy)
            expectedStore_ = ahead.copy;
        if (!ahead.folder.isEmpty() &&
            (ahead.folder != planned_.folder || ahead.listBase != planned_.listBase))
            expectedListing_ = std::make_pair(ahead.folder, ahead.listBase);
        if (ahead.removals != planned_.removals)
            removals_ = ahead.removals;
        planned_ = ahead;
    }
    // Sends what the plan expects to come next: the copy's OPEN, the
    // folder's OPENDIR.
    void sendExpected();

    // The OPEN sent ahead for `path`, taken; none where it went elsewhere.
    std::optional<quint32> takeOpen(const QString& path);
    bool openAhead() const { return open_.has_value(); }
    // Closes and removes a copy opened ahead that no store took: false
    // where a reply did not come.
    bool discardOpen();
    // Copies opened ahead that may still be there; a copy opened ahead and
    // not discarded counts.
    QStringList uncertainCopies();

    // Sends the removals expected to go with the next rename.
    void sendRemovals();
    // The REMOVE of `path` sent ahead, taken; none where it was not sent.
    std::optional<quint32> takeRemoval(const QString& path);

    // Its listing opened, with a handle to read.
    bool listingReady() const { return listing_ && listing_->opened(); }
    // Where a listing was opened: takes its OPENDIR's answer and sends its
    // first READDIRs, to come back with the store's.
    void readAhead() {
        if (listing_)
            listing_->read(false);
    }
    // The listing of `folder`, read to its end: the one opened ahead, or
    // one now. Null where the connection broke while another one settled.
    const SftpListing* readListing(const QString& folder, const QString& base);
    // Waits for the replies of requests that went out ahead and that no
    // step took: false where the connection broke meanwhile.
    bool settle();

private:
    // Sends the OPENDIR of `folder`, for the copies named after `base`.
    void openListing(const QString& folder, const QString& base);

    std::function<SftpClient*()> client_;
    Answer answer_;
    const ProtocolTrace& trace_;
    const std::chrono::milliseconds listingLimit_;
    Ahead planned_;         // the publish's plan as last told
    QString expectedStore_; // where the next store is likely to go
    // An OPEN sent ahead of its store.
    struct Open {
        QString path;
        quint32 id;
    };
    std::optional<Open> open_;
    QStringList uncertain_; // copies opened ahead that may still be there
    std::optional<std::pair<QString, QString>> expectedListing_; // folder, base
    std::optional<SftpListing> listing_;
    QStringList removals_;             // to go with the next rename
    QHash<QString, quint32> removing_; // removals sent ahead, by path
};

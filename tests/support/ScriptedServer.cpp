#include "ScriptedServer.h"

#include "FtpListing.h"
#include "HeldSessions.h"
#include "LeftCopies.h"
#include "LocalFile.h"
#include "RemoteTarget.h"
#include "FtpFailure.h"
#include "ResponseCodes.h"
#include "SilenceLimit.h"

#include <QDateTime>
#include <QTimeZone>

#include <functional>

namespace {

using Result = PublishSession::Result;
using Removal = PublishSession::Removal;

QString baseOf(const QString& path) {
    return path.mid(RemoteFolderOf(path).size());
}

// ls's date as vsftpd and proftpd write it: with the year where the time
// is ahead of the server's or more than half a year gone.
QByteArray lsDate(qint64 changed, qint64 now, bool local) {
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDateTime at = local ? QDateTime::fromSecsSinceEpoch(
                                     changed, QTimeZone(QByteArrayLiteral("Europe/Berlin")))
                               : QDateTime::fromSecsSinceEpoch(changed, QTimeZone::utc());
    const QDate d = at.date();
    const bool year = changed > now || now - changed > 182 * 86400;
    const QByteArray last = year ? QByteArray::number(d.year()).rightJustified(5, ' ')
                                 : at.time().toString(QStringLiteral("HH:mm")).toLatin1();
    return QByteArray(months[d.month() - 1]) + ' ' + QByteArray::number(d.day()).rightJustified(2, ' ') +
           ' ' + last;
}

} // namespace

QByteArray ScriptedBehaviour::name() const {
    static const char* renames[] = {"renames onto a file", "renames onto a free name",
                                    "renames nothing"};
    static const char* listings[] = {"MLSD", "ls in UTC", "ls in local time", "SFTP names",
                                     "no listing"};
    static const char* statuses[] = {"modes settable", "modes fixed", "another group",
                                  "tells nothing"};
    QByteArray name = QByteArray(renames[int(rename)]) + ", " + listings[int(listing)] + ", " +
                      statuses[int(this->status)];
    if (dotNamesRefused)
        name += ", dot names refused";
    if (removalsRefused)
        name += ", removals refused";
    if (listIsSymlink)
        name += ", the list a symlink";
    if (besideRefused)
        name += ", nothing beside the list";
    if (tls13Only)
        name += ", TLS 1.3 alone";
    return name;
}

class ScriptedSession final : public PublishSession {
public:
    ScriptedSession(ScriptedServer& server, const PublishJob& job, const std::atomic<bool>& abort,
                    std::unique_ptr<Connection> held)
        : s_(server), job_(job), abort_(abort), held_(std::move(held)),
          loggedIn_(held_ != nullptr) {}

    bool aborted() const override { return abort_.load(); }

    Result stat(const QString& path, FileStatus& status) override {
        const Play p = play(path, Replies::Stat);
        if (p != Play::Serve)
            return failed(p);
        if (s_.behaviour.status == ScriptedBehaviour::Status::Nothing)
            return refuse();
        status = {};
        const auto node = s_.files.constFind(path);
        if (node == s_.files.cend())
            return Result::Ok;
        status.exists = true;
        status.kind = node->kind == ScriptedNode::Kind::File     ? FileStatus::Kind::Regular
                     : node->kind == ScriptedNode::Kind::Folder ? FileStatus::Kind::Folder
                                                                : FileStatus::Kind::Symlink;
        status.symlinkTarget = node->target;
        status.size = node->bytes.size();
        status.mode = node->mode;
        status.owner = QStringLiteral("web");
        status.group = node->group;
        if (s_.behaviour.listing == ScriptedBehaviour::Listing::Sftp)
            status.changed = node->changed;
        return Result::Ok;
    }

    Result store(const QString& named, LocalFile& file, std::optional<quint32> mode,
                 FileStatus& stored) override {
        // A store through a symlink writes the file it leads to.
        const QString path = s_.real(named);
        QByteArray bytes;
        char buffer[4096];
        for (qint64 n; (n = file.read(buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, n);
        const bool onList = path == s_.real(s_.list_);
        if ((s_.behaviour.dotNamesRefused && baseOf(path).startsWith(u'.')) ||
            (s_.behaviour.besideRefused && !onList)) {
            const Play p = play(path, Replies::Store);
            return p == Play::Serve ? Result::NameRefused : failed(p);
        }
        const int before = s_.replies_ + (loggedIn_ ? 0 : Replies::LogIn);
        const Play p = play(path, Replies::Store, [&] {
            write(path, bytes.left(bytes.size() / 2), mode);
            s_.inPlaceCut = s_.inPlaceCut || onList;
        });
        if (p == Play::Refuse)
            return refuse();
        if (p != Play::Serve) {
            mayHaveStored_ = true;
            write(path, p == Play::DoneDropped ? bytes : bytes.left(bytes.size() / 2), mode);
            s_.inPlaceCut = s_.inPlaceCut || (onList && p != Play::DoneDropped);
            return failed(p);
        }
        if (std::exchange(shortStore_, false)) {
            bytes.chop(1);
            s_.inPlaceCut = s_.inPlaceCut || onList;
        }
        const ScriptedNode& node = write(path, bytes, mode);
        if (!onList)
            s_.lastWrite_[path] = before;
        stored = {};
        stored.exists = true;
        stored.size = node.bytes.size();
        if (s_.behaviour.status != ScriptedBehaviour::Status::Nothing) {
            stored.mode = node.mode;
            stored.owner = QStringLiteral("web");
            stored.group = node.group;
        }
        if (s_.behaviour.listing == ScriptedBehaviour::Listing::Sftp)
            stored.changed = node.changed;
        return Result::Ok;
    }

    Result setMode(const QString& path, quint32 mode) override {
        const Play p = play(path, Replies::SetMode);
        if (p == Play::Drop || p == Play::Refuse)
            return failed(p);
        const bool can = s_.behaviour.status == ScriptedBehaviour::Status::ModesSettable &&
                         s_.files.contains(path);
        if (can)
            s_.files[path].mode = mode;
        if (p != Play::Serve)
            return failed(p);
        return can ? Result::Ok : refuse();
    }

    Result rename(const QString& from, const QString& to) override {
        const Play p = play(from, Replies::Rename);
        if (p == Play::Drop || p == Play::Refuse)
            return failed(p);
        const Result result = moveNode(from, to, false);
        return p == Play::Serve ? result : failed(p);
    }

    Result removeThenRename(const QString& from, const QString& to, bool& listRemoved) override {
        listRemoved = false;
        const Play removal = play(to, Replies::Remove);
        if (removal == Play::Refuse)
            return failed(removal);
        // A removal that went out may have been done: from then on the
        // ladder must take the copy for the list.
        listRemoved = wentOutNow_;
        if (removal == Play::Drop)
            return failed(removal);
        if (s_.behaviour.removalsRefused && s_.files.contains(to)) {
            listRemoved = false;
            return refuse();
        }
        s_.files.remove(to);
        if (removal != Play::Serve)
            return failed(removal);
        const Play p = play(from, Replies::Rename);
        if (p == Play::Drop || p == Play::Refuse)
            return failed(p);
        const Result result = moveNode(from, to, true);
        return p == Play::Serve ? result : failed(p);
    }

    Removal remove(const QString& path) override {
        const Play p = play(QString(), Replies::Remove);
        if (p == Play::Drop)
            return Removal::NoAnswer;
        if (p == Play::Refuse) {
            refuse();
            return Removal::Refused;
        }
        const auto node = s_.files.constFind(path);
        if (node == s_.files.cend())
            return p == Play::Serve ? Removal::NotThere : Removal::NoAnswer;
        if (s_.behaviour.removalsRefused)
            return p == Play::Serve ? Removal::Refused : Removal::NoAnswer;
        checkRemoval(path, *node);
        s_.files.remove(path);
        return p == Play::Serve ? Removal::Removed : Removal::NoAnswer;
    }

    Result listing(const QString& folder, const QString& finalBase,
                QList<ListedEntry>& entries) override {
        const Play p = play(QString(), 1);
        if (p != Play::Serve)
            return failed(p);
        using Listing = ScriptedBehaviour::Listing;
        const Listing how = s_.behaviour.listing;
        if (how == Listing::Nothing)
            return refuse();
        entries.clear();
        for (auto it = s_.files.cbegin(); it != s_.files.cend(); ++it) {
            if (RemoteFolderOf(it.key()) != folder)
                continue;
            const QByteArray name = baseOf(it.key()).toUtf8();
            const ScriptedNode& node = *it;
            std::optional<ListedEntry> entry;
            if (how == Listing::Mlsd) {
                const char* type = node.kind == ScriptedNode::Kind::File     ? "file"
                                   : node.kind == ScriptedNode::Kind::Folder ? "dir"
                                                                             : "OS.unix=symlink";
                entry = ParseMlsdLine(
                    "type=" + QByteArray(type) + ";modify=" +
                    QDateTime::fromSecsSinceEpoch(node.changed, QTimeZone::utc())
                        .toString(QStringLiteral("yyyyMMddHHmmss"))
                        .toLatin1() +
                    "; " + name);
            } else if (how == Listing::Sftp) {
                entry = ListedEntry{name,
                                    node.kind == ScriptedNode::Kind::File ? ListedEntry::Kind::Regular
                                    : node.kind == ScriptedNode::Kind::Folder
                                        ? ListedEntry::Kind::Folder
                                        : ListedEntry::Kind::Symlink,
                                    ListedTime{node.changed}};
            } else {
                const char kind = node.kind == ScriptedNode::Kind::File     ? '-'
                                  : node.kind == ScriptedNode::Kind::Folder ? 'd'
                                                                            : 'l';
                entry = ParseListLine(kind + QByteArray("rw-r--r--    1 web      www  ") +
                                      QByteArray::number(node.bytes.size()).rightJustified(8) +
                                      ' ' + lsDate(node.changed, s_.now, how == Listing::LsLocal) +
                                      ' ' + name);
            }
            if (entry && IsListOrCopy(entry->name, finalBase))
                entries << *entry;
        }
        return Result::Ok;
    }

    qint32 failureCode(const LocalFile&) override { return code_; }
    bool mayHaveStored() const override { return mayHaveStored_; }
    RunAgain runAgain() const override {
        if (aborted())
            return RunAgain::No;
        if (capRefused_)
            return RunAgain::Tls12Refused;
        return held_ && firstFailed_ ? RunAgain::HeldSessionUnfit : RunAgain::No;
    }
    void learnFromFailure() override { s_.uncapped_ = s_.uncapped_ || capRefused_; }
    void trace(const QByteArray& line) const override { s_.trace << line; }
    std::unique_ptr<Connection> release() override;

private:
    enum class Play { Serve, Drop, DoneDropped, Refuse };

    // One request, as the script plays it. `naming`: the copy it names,
    // whose silence since its last write is measured. `onKill`: what a kill
    // leaves done.
    Play play(const QString& naming, int replies, const std::function<void()>& onKill = {}) {
        wentOutNow_ = false;
        if (dead_ || aborted() || s_.connectionDown_) {
            dead_ = true;
            code_ = aborted() ? ResponseCodes::Aborted : 421;
            return Play::Drop;
        }
        wentOutNow_ = true;
        const bool first = !wentOut_;
        wentOut_ = true;
        if (!loggedIn_) {
            loggedIn_ = true;
            replies += Replies::LogIn;
            ++s_.logIns_;
            if (s_.behaviour.tls13Only && !s_.uncapped_) {
                capRefused_ = dead_ = firstFailed_ = true;
                code_ = ResponseCodes::CurlBase + 35; // the handshake failed
                return Play::Drop;
            }
        }
        const int index = s_.requests++;
        if (s_.otherAtWork_ && !s_.files.contains(s_.real(s_.list_)))
            landOther();
        if (s_.closed)
            ++s_.requestsAfterClose;
        s_.replies_ += replies;
        s_.now += 1;
        s_.boot += 1000;
        if (s_.lastWrite_.contains(naming))
            s_.longestCopySilence =
                std::max(s_.longestCopySilence, s_.replies_ - s_.lastWrite_.value(naming));
        const Ending ending = s_.endings_.value(index, Ending::None);
        if (ending == Ending::None)
            return Play::Serve;
        s_.settlingCut = s_.settlingCut || s_.closed;
        ++s_.endingsPlayed;
        const auto drop = [&](Play p, qint32 code) {
            dead_ = true;
            firstFailed_ = first;
            code_ = code;
            return p;
        };
        switch (ending) {
        case Ending::None:
            break;
        case Ending::ConnectionDown:
            s_.connectionDown_ = true;
            return drop(Play::Drop, 421);
        case Ending::DropBefore:
            return drop(Play::Drop, 421);
        case Ending::DropAfter:
            return drop(Play::DoneDropped, 421);
        case Ending::NoReply:
            s_.now += 60;
            s_.boot += 60'000;
            return drop(Play::Drop, ResponseCodes::CurlBase + 28);
        case Ending::Refused:
            return Play::Refuse;
        case Ending::CloseBefore:
        case Ending::CloseAfter:
            s_.abort_->store(true);
            s_.closed = true;
            s_.requestsAfterClose = 0;
            return drop(ending == Ending::CloseBefore ? Play::Drop : Play::DoneDropped,
                        ResponseCodes::Aborted);
        case Ending::Kill:
            if (onKill)
                onKill();
            throw ScriptedKill{};
        case Ending::OtherLands:
            s_.otherAtWork_ = true;
            landOther();
            break;
        case Ending::ShortStore:
            shortStore_ = true;
            break;
        case Ending::OtherSweeps:
            s_.files.removeIf([&](const auto& it) {
                return it.value().copy && it.value().list == s_.list_ && it.value().run == s_.run;
            });
            break;
        }
        return Play::Serve;
    }

    void landOther() {
        ScriptedNode other;
        other.bytes = "another publisher's list\n";
        other.changed = s_.now;
        s_.files.insert(s_.real(s_.list_), other);
    }

    Result failed(Play p) {
        if (p == Play::Refuse)
            return refuse();
        sawFailure_ = true;
        return Result::Failed;
    }
    Result refuse() {
        code_ = 550;
        return Result::Refused;
    }

    const ScriptedNode& write(const QString& path, const QByteArray& bytes,
                              std::optional<quint32> mode) {
        ScriptedNode& node = s_.files[path];
        const bool sftp = s_.behaviour.listing == ScriptedBehaviour::Listing::Sftp;
        if (node.kind != ScriptedNode::Kind::File || node.bytes.isNull()) {
            node = {};
            node.mode = mode && sftp && s_.behaviour.status == ScriptedBehaviour::Status::ModesSettable
                            ? *mode
                            : 0644;
            node.group = s_.behaviour.status == ScriptedBehaviour::Status::OtherGroup
                             ? QStringLiteral("other")
                             : QStringLiteral("www");
            node.copy = path != s_.real(s_.list_);
            node.list = s_.list_;
            node.run = s_.run;
            node.publish = s_.publishes;
        }
        node.bytes = bytes;
        node.changed = s_.now;
        return node;
    }

    Result moveNode(const QString& from, const QString& to, bool afterRemoval) {
        using Rename = ScriptedBehaviour::Rename;
        if (s_.behaviour.rename == Rename::Nothing || !s_.files.contains(from))
            return refuse();
        if (s_.files.contains(to)) {
            if (afterRemoval || s_.files.value(to).kind != ScriptedNode::Kind::File)
                return refuse();
            if (s_.behaviour.rename == Rename::OnlyFreeName) {
                code_ = 553;
                return Result::TargetExists;
            }
        }
        const ScriptedNode node = s_.files.take(from);
        if (!node.copy || node.list != s_.list_ || to != s_.real(s_.list_))
            s_.violations << "renamed " + from + " onto " + to;
        s_.files.insert(to, node);
        s_.files[to].copy = false;
        return Result::Ok;
    }

    // Only this program's own copies of this list: this run's, or older
    // than any live publish stays silent by the server's clock.
    void checkRemoval(const QString& path, const ScriptedNode& node) {
        const qint64 limit = LongestSilence(job_.timeouts).count();
        if (path == s_.real(s_.list_) || node.kind != ScriptedNode::Kind::File || !node.copy ||
            node.list != s_.list_ || (node.run != s_.run && s_.now - node.changed <= limit))
            s_.violations << "removed " + path;
    }

    ScriptedServer& s_;
    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    std::unique_ptr<Connection> held_;
    bool loggedIn_;
    bool wentOut_ = false;
    bool wentOutNow_ = false; // the last request went out
    bool dead_ = false;
    bool firstFailed_ = false;
    bool capRefused_ = false; // the handshake failed under the TLS 1.2 cap
    bool shortStore_ = false; // the store being played is kept one byte short
    bool sawFailure_ = false;
    bool mayHaveStored_ = false;
    qint32 code_ = ResponseCodes::Ok;
};

namespace {

class ScriptedConnection final : public Connection {
public:
    ScriptedConnection(ScriptedServer& server) : s_(server), run_(server.run) {}
    bool looksAlive() const override { return s_.run == run_; }

private:
    std::unique_ptr<PublishSession> resume(const PublishJob& job,
                                           const std::atomic<bool>& abort) override {
        return std::make_unique<ScriptedSession>(s_, job, abort,
                                                 std::unique_ptr<Connection>(this));
    }
    ScriptedServer& s_;
    int run_;
};

} // namespace

std::unique_ptr<Connection> ScriptedSession::release() {
    if (dead_ || sawFailure_ || aborted())
        return nullptr;
    return std::make_unique<ScriptedConnection>(s_);
}

ScriptedServer::ScriptedServer(ScriptedBehaviour b, qint64 start) : behaviour(b), now(start) {}

void ScriptedServer::beginPublish(const QString& list, const QByteArray& localBytes,
                                  std::atomic<bool>* abort, QMap<int, Ending> endings) {
    ++publishes;
    list_ = list;
    bytes_ = localBytes;
    abort_ = abort;
    endings_ = endings;
    connectionDown_ = false;
    otherAtWork_ = false;
    requests = 0;
    requestsAfterClose = -1;
    inPlaceCut = false;
    closed = false;
    settlingCut = false;
    endingsPlayed = 0;
    longestCopySilence = 0;
    lastWrite_.clear();
    replies_ = 0;
    logIns_ = 0;
    trace.clear();
}

SessionOpener ScriptedServer::opener() {
    return [this](bool fresh, const PublishJob& job,
                  const std::atomic<bool>& abort) -> std::unique_ptr<PublishSession> {
        if (!fresh) {
            if (std::unique_ptr<Connection> held = TakeHeldSession(KeyFor(job)))
                return Connection::Resume(std::move(held), job, abort);
        }
        return std::make_unique<ScriptedSession>(*this, job, abort, nullptr);
    };
}

QStringList ScriptedServer::copiesOf(const QString& list) const {
    QStringList copies;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it->copy && it->list == list)
            copies << it.key();
    }
    return copies;
}

QString ScriptedServer::real(const QString& path) const {
    QString at = path;
    for (int links = 0; links < 8 && files.value(at).kind == ScriptedNode::Kind::Symlink; ++links) {
        QStringList parts = RemoteFolderOf(at).split(u'/', Qt::SkipEmptyParts);
        for (const QString& part : files.value(at).target.split(u'/', Qt::SkipEmptyParts)) {
            if (part == QLatin1String(".."))
                parts.removeLast();
            else
                parts << part;
        }
        at = parts.join(u'/');
    }
    return at;
}

#include "FtpPublishSession.h"

#include "FtpFileStatus.h"
#include "FtpListing.h"


namespace {

bool endsReply(const QByteArray& line) {
    return CurlSession::IsCodeLine(line) && line[3] == ' ';
}

// The lines of the last reply of a request, which may have logged in first:
// all after the reply before it ended.
QList<QByteArray> lastReply(const QList<QByteArray>& lines) {
    qsizetype end = lines.size() - 1;
    while (end >= 0 && !endsReply(lines[end]))
        --end;
    qsizetype begin = end - 1;
    while (begin >= 0 && !endsReply(lines[begin]))
        --begin;
    return end < 0 ? QList<QByteArray>{} : lines.mid(begin + 1, end - begin);
}

QByteArray modeText(quint32 mode) {
    return QByteArray::number(mode & 07777, 8).rightJustified(3, '0');
}

// A listing's reader that keeps the list's own line and its copies'.
FtpListingReader readerFor(FtpListingReader::Format format, const QString& finalBase) {
    return FtpListingReader(format, [finalBase](const QByteArray& name) {
        return IsListOrCopy(name, finalBase);
    });
}

QByteArray describeRead(const FtpListingReader& reader) {
    return QByteArray::number(reader.lines()) + " lines, " +
           QByteArray::number(reader.entries().size()) + " of them the list's or its copies'";
}

} // namespace

FtpPublishSession::FtpPublishSession(const PublishJob& job, const std::atomic<bool>& abort,
                                       std::unique_ptr<CurlConnection> held)
    : job_(job), key_(KeyFor(job)), session_(job, abort, std::move(held)) {
    // How a server answers for a file is learnt once per server. STAT over
    // the control connection comes first: vsftpd, proftpd, pure-ftpd,
    // inetutils' ftpd and pyftpdlib all answer it with an "ls -l" line,
    // where vsftpd and inetutils know no MLST and pyftpdlib's leaves the
    // mode out. MLST serves where STAT tells nothing (pure-ftpd splits a
    // path holding a space).
    const FtpServerLearnt server = RecallFtpServer(key_);
    if (server.asking != StatusAsking::Stat)
        session_.trace(server.asking == StatusAsking::Mlst
                           ? "learnt earlier: the server's STAT tells nothing, so MLST is asked"
                           : "learnt earlier: the server answers neither STAT nor MLST");
    if (server.tlsHolding == TlsHolding::Tls12Only && !session_.held()) {
        session_.capTlsAt12();
        session_.trace("learnt earlier: a held TLS 1.3 session cannot open a second data "
                       "connection here, so TLS 1.2 at most");
    }
}

bool FtpPublishSession::ask(const QString& path, std::optional<FileStatus>& status) {
    status.reset();
    // '*': a refusal is an answer here, not a failed request.
    using enum StatusAsking;
    for (StatusAsking how = RecallFtpServer(key_).asking; how != Nothing;) {
        const QByteArray verb = how == Mlst ? "MLST " : "STAT ";
        last_ = session_.commands(session_.utf8Option() +
                                  QList<QByteArray>{"*" + verb + path.toUtf8()});
        if (last_ != CURLE_OK)
            return false;
        const QList<QByteArray> reply = lastReply(session_.replies());
        status = how == Mlst ? StatusFromMlst(reply) : StatusFromStat(reply, path);
        // An MLST without UNIX.mode (pyftpdlib's unless asked with OPTS
        // MLST) tells too little.
        if (status && status->exists && status->kind == FileStatus::Kind::Regular &&
            !status->mode)
            status.reset();
        if (status)
            return true;
        how = how == Stat ? Mlst : Nothing;
        LearnFtpServer(key_, [how](FtpServerLearnt& server) { server.asking = how; });
    }
    return true;
}

PublishSession::Result FtpPublishSession::stat(const QString& path, FileStatus& status) {
    file_ = nullptr;
    std::optional<FileStatus> told;
    if (!ask(path, told))
        return Result::Failed;
    if (!told)
        return Result::Refused;
    status = *told;
    // pure-ftpd's STAT shows nothing for a folder or a link it cannot
    // follow, pyftpdlib's nothing for a folder; their MLST tells what the
    // name is. Asked only where STAT found nothing: a first publish.
    if (!status.exists && RecallFtpServer(key_).asking == StatusAsking::Stat) {
        last_ = session_.commands(session_.utf8Option() +
                                  QList<QByteArray>{"*MLST " + path.toUtf8()});
        if (last_ != CURLE_OK)
            return Result::Failed;
        const auto mlst = StatusFromMlst(lastReply(session_.replies()));
        if (mlst && mlst->exists && mlst->kind != FileStatus::Kind::Regular)
            status = *mlst;
    }
    return Result::Ok;
}

PublishSession::Result FtpPublishSession::store(const QString& path, LocalFile& file,
                                                 std::optional<quint32> mode,
                                                 FileStatus& stored) {
    file_ = &file;
    // The store after a refused name goes with commands that fail where the
    // folder is missing, so that a mistyped folder costs one round trip,
    // not a store per name.
    QList<QByteArray> checks;
    if (namesRefused_ == 1 && !std::exchange(folderChecked_, true)) {
        QString folder = RemoteFolderOf(path);
        if (folder.size() > 1 && folder.endsWith(u'/'))
            folder.chop(1);
        const QString entry = session_.entryPath();
        if (!folder.isEmpty() && folder != u'/' && !entry.isEmpty() && !HasUnsafeText(entry))
            checks = {"CWD " + folder.toUtf8(), "CWD " + entry.toUtf8()};
    }
    // Where the copy's permissions matter, one answer after the store
    // gives them and the size together.
    storedFacts_ = mode.has_value() && RecallFtpServer(key_).asking != StatusAsking::Nothing;
    last_ = session_.store(path, file, checks, !storedFacts_);
    // No data connection came about: with TLS 1.3 the client may think its
    // bytes went out before the server refused to resume the session.
    const long reply = last_ == CURLE_OK ? 0 : session_.lastReply();
    dataRefused_ = reply == 425 || reply == 522;
    if (last_ != CURLE_OK) {
        if (!session_.refusedBeforeData(last_, file))
            return Result::Failed;
        ++namesRefused_;
        return Result::NameRefused;
    }
    stored = {};
    stored.exists = true;
    if (!storedFacts_) {
        stored.size = session_.reportedSize();
        return Result::Ok;
    }
    std::optional<FileStatus> told;
    if (!ask(path, told))
        return Result::Failed;
    if (told)
        stored = *told;
    return Result::Ok;
}

PublishSession::Result FtpPublishSession::commandResult(CURLcode rc) {
    last_ = rc;
    if (rc == CURLE_OK)
        return Result::Ok;
    return rc == CURLE_QUOTE_ERROR ? Result::Refused : Result::Failed;
}

PublishSession::Result FtpPublishSession::setMode(const QString& path, quint32 mode) {
    file_ = nullptr;
    return commandResult(session_.commands({"SITE CHMOD " + modeText(mode) + ' ' + path.toUtf8()}));
}

PublishSession::Result FtpPublishSession::rename(const QString& from, const QString& to) {
    file_ = nullptr;
    const Result result = commandResult(session_.commands(session_.renameCommands(from, to)));
    if (result != Result::Refused)
        return result;
    // FTP servers that answered RNFR and then refused RNTO with 550 or 553
    // will not rename onto an existing file.
    const long refusal = session_.lastReply();
    if (session_.sawReply(350) && (refusal == 550 || refusal == 553))
        return Result::TargetExists;
    return Result::Refused;
}

PublishSession::Result FtpPublishSession::removeThenRename(const QString& from,
                                                            const QString& to,
                                                            bool& listRemoved) {
    file_ = nullptr;
    listRemoved = false;
    // The removal on its own: libcurl waits for each reply anyway, and its
    // answer says whether the copy may now be the list's only one. A
    // refused one (the list is gone already, say) lets the rename try.
    const CURLcode removal = session_.commands({session_.removeCommand(to)});
    if (removal != CURLE_OK && removal != CURLE_QUOTE_ERROR) {
        listRemoved = true;
        return commandResult(removal);
    }
    listRemoved = removal == CURLE_OK;
    const Result result = commandResult(session_.commands(session_.renameCommands(from, to)));
    // Refused with the list still there: the removal was refused too.
    if (result == Result::Refused && !listRemoved)
        return Result::Refused;
    if (result != Result::Ok)
        listRemoved = true;
    return result;
}

PublishSession::Removal FtpPublishSession::remove(const QString& path) {
    if (session_.aborted())
        return Removal::NoAnswer;
    const CURLcode rc = session_.commands({session_.removeCommand(path)}, true);
    if (rc == CURLE_OK)
        return Removal::Removed;
    if (rc != CURLE_QUOTE_ERROR)
        return Removal::NoAnswer;
    // FTP's 550 says "no such file" and "not allowed" alike: the server is
    // asked whether the name is there.
    std::optional<FileStatus> status;
    if (!ask(path, status))
        return Removal::NoAnswer;
    return status && !status->exists ? Removal::NotThere : Removal::Refused;
}

PublishSession::Result FtpPublishSession::listOverData(const QByteArray& folder,
                                                        const QString& finalBase,
                                                        QList<ListedEntry>& entries) {
    session_.trace("the listing is too long for one reply (" + session_.errorText() +
                   "): listed over a data connection");
    const QString path = folder == "." ? QString() : QString::fromUtf8(folder) + u'/';
    // MLSD where the server knows it (times to the second); else LIST with
    // "-a" where STAT took it, and without, as pyftpdlib, which takes "-a"
    // for a name, wants it. Each refusal costs a round trip, in a folder
    // that costs many more to list.
    using Format = FtpListingReader::Format;
    const bool all = RecallFtpServer(key_).listing != FolderListingVerb::Stat;
    std::vector<std::pair<QByteArray, Format>> verbs{{"MLSD", Format::Mlsd}};
    if (all)
        verbs.push_back({"LIST -a", Format::List});
    verbs.push_back({"LIST", Format::List});
    for (const auto& [verb, format] : verbs) {
        FtpListingReader reader = readerFor(format, finalBase);
        last_ = session_.listFolder(path, verb,
                                    [&reader](QByteArrayView bytes) { reader.feed(bytes); },
                                    job_.timeouts.listing);
        reader.finish();
        if (reader.lines() == 0 && session_.lastReply() >= 500)
            continue;
        entries = reader.entries();
        if (last_ != CURLE_OK && last_ != CURLE_OPERATION_TIMEDOUT)
            return Result::Failed;
        session_.trace(verb + ": " + describeRead(reader));
        return Result::Ok;
    }
    return Result::Refused;
}

PublishSession::Result FtpPublishSession::listing(const QString& folder, const QString& finalBase,
                                                QList<ListedEntry>& entries) {
    file_ = nullptr;
    // Over the control connection, in one round trip: no data connection
    // (which a TLS 1.3 session that must be resumed cannot open twice), no
    // switch to ASCII that the next store would have to switch back.
    QByteArray path = folder.isEmpty() ? QByteArray(".") : folder.toUtf8();
    if (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    using enum FolderListingVerb;
    // Found out once per server; a folder it will not list does not make
    // it forget how it lists the others.
    const FolderListingVerb known = RecallFtpServer(key_).listing;
    const QList<FolderListingVerb> verbs = known == Unknown ? QList{StatAll, Stat}
                                           : known == Nothing ? QList<FolderListingVerb>{}
                                                              : QList{known};
    for (const FolderListingVerb verb : verbs) {
        FtpListingReader reader = readerFor(FtpListingReader::Format::List, finalBase);
        last_ = session_.listing(
            (verb == StatAll ? "*STAT -a " : "*STAT ") + path,
            [&reader](QByteArrayView line) {
                // proftpd sets its lines off by a space.
                while (line.startsWith(' '))
                    line = line.sliced(1);
                reader.feed(line);
            },
            job_.timeouts.listing);
        reader.finish();
        if (last_ == CURLE_OPERATION_TIMEDOUT) {
            session_.trace("the folder's listing did not end within its limit: only what came "
                           "of it is judged");
            entries = reader.entries();
            return Result::Ok;
        }
        // libcurl keeps at most 300 KB of one reply, a folder of a few
        // thousand names, and drops the connection past it (a line of a
        // megabyte does the same): such a folder is listed over a data
        // connection instead, on a connection of its own.
        if (last_ != CURLE_OK)
            return listOverData(path, finalBase, entries);
        const long reply = session_.lastReply();
        if (reply >= 211 && reply <= 213 && reader.lines() > 0) {
            if (known == Unknown)
                LearnFtpServer(key_, [verb](FtpServerLearnt& server) { server.listing = verb; });
            session_.trace("listed " + describeRead(reader));
            entries = reader.entries();
            return Result::Ok;
        }
    }
    if (known == Unknown)
        LearnFtpServer(key_, [](FtpServerLearnt& server) { server.listing = Nothing; });
    return Result::Refused;
}

qint32 FtpPublishSession::failureCode(const LocalFile& file) {
    return session_.failureCode(last_, file);
}

bool FtpPublishSession::mayHaveStored() const {
    // A refused command before the store (the folder check) means no STOR
    // went out.
    return last_ != CURLE_QUOTE_ERROR && session_.mayHaveStored() &&
           !(file_ && session_.refusedBeforeData(last_, *file_));
}

void FtpPublishSession::trace(const QByteArray& line) const {
    session_.trace(line);
}

PublishSession::RunAgain FtpPublishSession::runAgain() const {
    if (session_.aborted() || (session_.bytesSent() && !dataRefused_))
        return RunAgain::No;
    if (session_.held())
        return RunAgain::HeldSessionUnfit;
    return session_.tlsCapped() && session_.handshakeFailed() ? RunAgain::Tls12Refused
                                                              : RunAgain::No;
}

void FtpPublishSession::learnFromFailure() {
    switch (runAgain()) {
    case RunAgain::Tls12Refused:
        // TLS 1.3 it is, logged in each time.
        learnTlsHolding(TlsHolding::Never);
        break;
    case RunAgain::HeldSessionUnfit:
        // A held TLS session that answered, and then could not open a data
        // connection: OpenSSL resumes a TLS 1.3 session once, and servers
        // that require the data connection to resume the control
        // connection's session (vsftpd's require_ssl_reuse, proftpd's
        // default) refuse the next one. TLS 1.2 sessions resume as often as
        // asked.
        if (!session_.firstRequestFailed() && session_.tlsAccepted())
            learnTlsHolding(session_.tlsCapped() ? TlsHolding::Never : TlsHolding::Tls12Only);
        break;
    case RunAgain::No:
        // The publish ends here, failed.
        ForgetFtpServerAfterFailure(key_);
        break;
    }
}

void FtpPublishSession::learnTlsHolding(TlsHolding state) const {
    LearnFtpServer(key_, [state](FtpServerLearnt& server) { server.tlsHolding = state; });
}

SessionTls FtpPublishSession::tls() const {
    if (job_.endpoint.transport != Transport::Ftp)
        return SessionTls::Verified;
    if (!session_.tlsAccepted())
        return SessionTls::None;
    return session_.verifiesCertificate() ? SessionTls::Verified : SessionTls::Unverified;
}

std::unique_ptr<Connection> FtpPublishSession::release() {
    if (session_.aborted() || session_.sawError())
        return nullptr;
    // A TLS session is held where it can carry the next publish.
    const TlsHolding holding = RecallFtpServer(key_).tlsHolding;
    if (session_.tlsAccepted() && (holding == TlsHolding::Never ||
                                     (holding == TlsHolding::Tls12Only && !session_.tlsCapped()))) {
        session_.trace("learnt earlier: a held TLS session cannot carry the next publish here, "
                       "so it is closed");
        return nullptr;
    }
    return session_.release();
}

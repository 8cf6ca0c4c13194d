#include "SftpFolder.h"

namespace {

// Entries kept of one listing, at the most: a folder's own copies of the
// list are a handful.
constexpr qsizetype MaxListedEntries = 1000;

// READDIRs in flight: a folder of a few hundred names costs no round trip
// of its own; a bigger one is read on within the listing's limit.
constexpr std::size_t InFlight = 4;

ListedEntry::Kind kindOf(const Sftp::NameEntry& entry) {
    // Without permission bits, the kind is the ls line's first letter,
    // where the server sends one.
    static constexpr std::pair<char, quint32> kinds[] = {
        {'-', Sftp::TypeRegular}, {'d', Sftp::TypeFolder}, {'l', Sftp::TypeLink}};
    quint32 type = entry.attrs.permissions.value_or(0) & Sftp::TypeMask;
    for (const auto& [letter, kind] : kinds) {
        if (!entry.attrs.permissions && entry.longNameKind == letter)
            type = kind;
    }
    return type == Sftp::TypeRegular  ? ListedEntry::Kind::Regular
           : type == Sftp::TypeFolder ? ListedEntry::Kind::Folder
           : type == Sftp::TypeLink   ? ListedEntry::Kind::Symlink
                                      : ListedEntry::Kind::Other;
}

} // namespace

void TakeAttrs(const Sftp::FileAttrs& a, FileStatus& status) {
    if (a.size)
        status.size = qint64(*a.size);
    if (a.permissions)
        status.mode = *a.permissions & 07777;
    if (a.uid) {
        status.owner = QString::number(*a.uid);
        status.group = QString::number(*a.gid);
    }
    if (a.mtime)
        status.changed = *a.mtime;
}

void TakeStatus(const Sftp::FileAttrs& attrs, const Sftp::Reply& link, FileStatus& status) {
    status.exists = true;
    TakeAttrs(attrs, status);
    switch (attrs.permissions.value_or(0) & Sftp::TypeMask) {
    case Sftp::TypeLink:
        status.kind = FileStatus::Kind::Symlink;
        if (link.type == Sftp::Name)
            status.symlinkTarget = QString::fromUtf8(link.name);
        break;
    case Sftp::TypeFolder:
        status.kind = FileStatus::Kind::Folder;
        break;
    case Sftp::TypeRegular:
    case 0: // a server that sends the permission bits alone, or none
        break;
    default:
        status.kind = FileStatus::Kind::Other;
    }
}

PublishSession::Removal RemovalOf(const Sftp::Reply& reply) {
    using Removal = PublishSession::Removal;
    if (reply.ok())
        return Removal::Removed;
    if (reply.type == Sftp::Status && reply.code == Sftp::NoSuchFile)
        return Removal::NotThere;
    return Removal::Refused;
}

SftpListing::SftpListing(SftpClient& client, Answer answer, const ProtocolTrace& trace,
                         std::chrono::milliseconds limit, const QString& folder,
                         const QString& base)
    : client_(client), answer_(std::move(answer)), trace_(trace), limit_(limit), folder_(folder),
      base_(base) {
    // The log-in directory is ".": OpenSSH opens no folder named "".
    openId_ = client_.opendir(folder.isEmpty() ? QByteArray(".") : folder.toUtf8());
    started_.start();
}

void SftpListing::ask() {
    for (std::size_t i = 0; i < InFlight; ++i)
        reads_.push_back(client_.readdir(handle_));
}

void SftpListing::take(const QList<Sftp::NameEntry>& names) {
    for (const Sftp::NameEntry& entry : names) {
        if (!IsListOrCopy(entry.name, base_))
            continue;
        ListedEntry listed;
        listed.name = entry.name;
        listed.kind = kindOf(entry);
        if (entry.attrs.mtime)
            listed.changed = ListedTime{qint64(*entry.attrs.mtime)};
        if (entries_.size() < MaxListedEntries)
            entries_ << listed;
    }
}

void SftpListing::read(bool wait) {
    if (handle_.isEmpty() && !refused_ && !broken_) {
        const auto r = answer_(openId_);
        if (!r) {
            broken_ = true;
            return;
        }
        if (r->type != Sftp::Handle) {
            refused_ = true;
            return;
        }
        handle_ = r->handle;
    }
    if (handle_.isEmpty() || closeId_)
        return;
    if (reads_.empty() && !ended_)
        ask();
    if (!wait)
        return;
    // In waves: another only where the last one ended in no EOF, so that
    // a folder that fits in one costs no request after its end.
    while (!reads_.empty()) {
        const auto r = answer_(reads_.front());
        reads_.pop_front();
        if (!r) {
            broken_ = true;
            return;
        }
        if (r->type != Sftp::Name)
            ended_ = true; // EOF, or a refusal: what came is what there is
        else
            take(r->names);
        if (reads_.empty() && !ended_) {
            if (started_.hasExpired(limit_.count())) {
                trace_.note("the folder's listing is cut short: it took too long to read");
                ended_ = true;
            } else {
                ask();
            }
        }
    }
    closeId_ = client_.close(handle_);
}

bool SftpListing::settle() {
    if (broken_ || refused_)
        return true;
    // Not read to its end: it ends here, and its handle is closed.
    if (!closeId_) {
        ended_ = true;
        read(true);
    }
    if (closeId_ && !closed_) {
        closed_ = true;
        if (!answer_(*closeId_))
            broken_ = true;
    }
    return !broken_;
}

SftpFolder::SftpFolder(std::function<SftpClient*()> client, Answer answer,
                       const ProtocolTrace& trace, std::chrono::milliseconds listingLimit)
    : client_(std::move(client)), answer_(std::move(answer)), trace_(trace),
      listingLimit_(listingLimit) {}

void SftpFolder::sendExpected() {
    // The copy's OPEN waits for nothing the answers tell.
    if (!expectedStore_.isEmpty()) {
        open_ = Open{expectedStore_, client_()->open(expectedStore_.toUtf8())};
        expectedStore_.clear();
    }
    if (expectedListing_) {
        openListing(expectedListing_->first, expectedListing_->second);
        expectedListing_.reset();
    }
}

void SftpFolder::openListing(const QString& folder, const QString& base) {
    listing_.emplace(*client_(), answer_, trace_, listingLimit_, folder, base);
}

const SftpListing* SftpFolder::readListing(const QString& folder, const QString& base) {
    if (listing_ && !listing_->lists(folder, base)) {
        if (!settle())
            return nullptr;
        listing_.reset();
    }
    if (!listing_)
        openListing(folder, base);
    listing_->read(true);
    return &*listing_;
}

std::optional<quint32> SftpFolder::takeOpen(const QString& path) {
    if (!open_ || open_->path != path)
        return std::nullopt;
    return std::exchange(open_, std::nullopt)->id;
}

bool SftpFolder::discardOpen() {
    if (!open_)
        return true;
    const Open open = *std::exchange(open_, std::nullopt);
    const auto r = answer_(open.id);
    if (!r) {
        uncertain_ << open.path;
        return false;
    }
    if (r->type != Sftp::Handle)
        return true;
    const quint32 closeId = client_()->close(r->handle);
    const quint32 removeId = client_()->remove(open.path.toUtf8());
    const auto closed = answer_(closeId);
    const auto removed = closed ? answer_(removeId) : std::nullopt;
    if (!removed || RemovalOf(*removed) == PublishSession::Removal::Refused)
        uncertain_ << open.path;
    return closed && removed;
}

QStringList SftpFolder::uncertainCopies() {
    if (open_)
        uncertain_ << std::exchange(open_, std::nullopt)->path;
    return std::exchange(uncertain_, {});
}

void SftpFolder::sendRemovals() {
    for (const QString& path : std::exchange(removals_, {})) {
        if (!removing_.contains(path))
            removing_.insert(path, client_()->remove(path.toUtf8()));
    }
}

std::optional<quint32> SftpFolder::takeRemoval(const QString& path) {
    const auto ahead = removing_.find(path);
    if (ahead == removing_.end())
        return std::nullopt;
    const quint32 id = ahead.value();
    removing_.erase(ahead);
    return id;
}

bool SftpFolder::settle() {
    if (listing_ && !listing_->settle())
        return false;
    for (const quint32 id : std::as_const(removing_)) {
        if (!answer_(id))
            return false;
    }
    removing_.clear();
    return true;
}

#include "SftpClient.h"

#include "LocalFile.h"

#include <deque>

namespace {

// As OpenSSH's sftp: 32 KiB a request, up to 64 in flight.
constexpr qint64 WriteChunk = 32 * 1024;
constexpr int WritesInFlight = 64;

QByteArray describe(const Sftp::Reply& r) {
    switch (r.type) {
    case Sftp::Status:
        return "STATUS " + Sftp::StatusName(r.code) +
               (r.message.isEmpty() ? QByteArray() : " \"" + r.message + '"');
    case Sftp::Handle:
        return "HANDLE";
    case Sftp::Attrs: {
        QByteArray text = "ATTRS";
        if (r.attrs.size)
            text += " size " + QByteArray::number(*r.attrs.size);
        if (r.attrs.permissions)
            text += " mode " + QByteArray::number(*r.attrs.permissions & 07777, 8);
        if (r.attrs.uid)
            text += " uid " + QByteArray::number(*r.attrs.uid) + " gid " +
                    QByteArray::number(*r.attrs.gid);
        return text;
    }
    case Sftp::Name:
        return "NAME, " + QByteArray::number(r.names.size()) + " entries";
    default:
        return "type " + QByteArray::number(r.type);
    }
}

SftpClient::Error errorOf(SshProcess::Wait wait) {
    switch (wait) {
    case SshProcess::Wait::Timeout:
        return SftpClient::Error::Timeout;
    case SshProcess::Wait::Aborted:
        return SftpClient::Error::Aborted;
    case SshProcess::Wait::Garbled:
        return SftpClient::Error::Protocol;
    default:
        return SftpClient::Error::Closed;
    }
}

} // namespace

bool SftpClient::connect(std::chrono::milliseconds limit) {
    ssh_.send(Sftp::InitPacket());
    trace("> INIT 3");
    QByteArray packet;
    const SshProcess::Wait wait = ssh_.next(packet, limit);
    if (wait != SshProcess::Wait::Packet) {
        error_ = errorOf(wait);
        return false;
    }
    const auto version = Sftp::ParseVersion(packet);
    if (!version || version->version < 3) {
        error_ = Error::Protocol;
        trace("< not an SFTP version 3 reply");
        return false;
    }
    QByteArray text = "< VERSION " + QByteArray::number(version->version);
    for (const auto& [name, data] : version->extensions) {
        text += ' ' + name + '=' + data;
        if (name == "posix-rename@openssh.com")
            extensions_.posixRename = true;
        else if (name == "fsync@openssh.com")
            extensions_.fsync = true;
    }
    trace(text);
    connected_ = true;
    return true;
}

quint32 SftpClient::send(const QByteArray& packet, const QByteArray& what) {
    const auto header = Sftp::RequestHeader(packet);
    if (header)
        pending_.insert(header->second, what);
    if (!what.isEmpty())
        trace("> #" + QByteArray::number(header ? header->second : 0) + ' ' + what);
    ssh_.send(packet);
    return header ? header->second : 0;
}

std::optional<Sftp::Reply> SftpClient::reply(quint32 id, std::chrono::milliseconds limit) {
    if (error_ != Error::None)
        return std::nullopt;
    while (!early_.contains(id)) {
        QByteArray packet;
        const SshProcess::Wait wait = ssh_.next(packet, limit);
        if (wait != SshProcess::Wait::Packet) {
            error_ = errorOf(wait);
            return std::nullopt;
        }
        const auto parsed = Sftp::ParseReply(packet);
        if (!parsed || !pending_.contains(parsed->id)) {
            error_ = Error::Protocol;
            trace("< a reply that answers no request");
            return std::nullopt;
        }
        const QByteArray what = pending_.take(parsed->id);
        if (!what.isEmpty())
            trace("< #" + QByteArray::number(parsed->id) + ' ' + describe(*parsed));
        early_.insert(parsed->id, *parsed);
    }
    return early_.take(id);
}

bool SftpClient::write(const QByteArray& handle, LocalFile& file, std::chrono::milliseconds limit,
                       Sftp::Reply& refusal, std::deque<quint32>* unanswered) {
    std::deque<quint32> inFlight;
    qint64 offset = 0;
    int requests = 0;
    bool refused = false;
    readFailed_ = false;
    QByteArray chunk(WriteChunk, '\0');
    trace("> WRITE " + QByteArray::number(file.size()) + " bytes");
    while (!inFlight.empty() || (offset < file.size() && !refused && !readFailed_)) {
        while (!refused && !readFailed_ && offset < file.size() &&
               int(inFlight.size()) < WritesInFlight) {
            const qint64 got = file.read(chunk.data(), WriteChunk);
            if (got <= 0) {
                readFailed_ = true;
                break;
            }
            inFlight.push_back(send(Sftp::WritePacket(nextId(), handle, quint64(offset),
                                                      QByteArrayView(chunk.data(), got)),
                                    {}));
            offset += qint64(got);
            ++requests;
        }
        if (inFlight.empty())
            break;
        if (unanswered && offset >= file.size() && !refused && !readFailed_) {
            trace("> WRITE " + QByteArray::number(requests) + " requests, " +
                  QByteArray::number(inFlight.size()) + " still unanswered");
            *unanswered = std::move(inFlight);
            return true;
        }
        const auto r = reply(inFlight.front(), limit);
        inFlight.pop_front();
        if (!r)
            return false;
        if ((r->type != Sftp::Status || r->code != Sftp::Ok) && !refused) {
            refused = true;
            refusal = *r;
        }
    }
    trace("< WRITE " + QByteArray::number(requests) + " requests, " +
          (refused ? describe(refusal) : QByteArray("all SSH_FX_OK")));
    return !refused && !readFailed_;
}

namespace {

QByteArray quoted(const QByteArray& path) {
    return '"' + path + '"';
}

QByteArray octal(quint32 mode) {
    return QByteArray::number(mode, 8);
}

Sftp::FileAttrs modeOnly(quint32 mode) {
    Sftp::FileAttrs attrs;
    attrs.permissions = mode;
    return attrs;
}

} // namespace

quint32 SftpClient::open(const QByteArray& path) {
    return send(Sftp::OpenPacket(nextId(), path,
                                 Sftp::OpenWrite | Sftp::OpenCreate | Sftp::OpenTruncate, {}),
                "OPEN " + quoted(path) + " write,create,truncate");
}

quint32 SftpClient::close(const QByteArray& handle) {
    return send(Sftp::HandleRequest(Sftp::Close, nextId(), handle), "CLOSE");
}

quint32 SftpClient::lstat(const QByteArray& path) {
    return send(Sftp::PathRequest(Sftp::Lstat, nextId(), path), "LSTAT " + quoted(path));
}

quint32 SftpClient::readlink(const QByteArray& path) {
    return send(Sftp::PathRequest(Sftp::Readlink, nextId(), path), "READLINK " + quoted(path));
}

quint32 SftpClient::fstat(const QByteArray& handle) {
    return send(Sftp::HandleRequest(Sftp::Fstat, nextId(), handle), "FSTAT");
}

quint32 SftpClient::setMode(const QByteArray& path, quint32 mode) {
    return send(Sftp::SetstatPacket(nextId(), path, modeOnly(mode)),
                "SETSTAT " + quoted(path) + " mode " + octal(mode));
}

quint32 SftpClient::setModeOpen(const QByteArray& handle, quint32 mode) {
    return send(Sftp::FsetstatPacket(nextId(), handle, modeOnly(mode)),
                "FSETSTAT mode " + octal(mode));
}

quint32 SftpClient::fsync(const QByteArray& handle) {
    return send(Sftp::FsyncPacket(nextId(), handle), "fsync@openssh.com");
}

quint32 SftpClient::remove(const QByteArray& path) {
    return send(Sftp::PathRequest(Sftp::Remove, nextId(), path), "REMOVE " + quoted(path));
}

quint32 SftpClient::rename(const QByteArray& from, const QByteArray& to) {
    return send(Sftp::RenamePacket(nextId(), from, to),
                "RENAME " + quoted(from) + ' ' + quoted(to));
}

quint32 SftpClient::posixRename(const QByteArray& from, const QByteArray& to) {
    return send(Sftp::PosixRenamePacket(nextId(), from, to),
                "posix-rename@openssh.com " + quoted(from) + ' ' + quoted(to));
}

quint32 SftpClient::opendir(const QByteArray& path) {
    return send(Sftp::PathRequest(Sftp::Opendir, nextId(), path), "OPENDIR " + quoted(path));
}

quint32 SftpClient::readdir(const QByteArray& handle) {
    return send(Sftp::HandleRequest(Sftp::Readdir, nextId(), handle), "READDIR");
}

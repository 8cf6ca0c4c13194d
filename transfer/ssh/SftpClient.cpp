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
    version_ = *version;
    QByteArray text = "< VERSION " + QByteArray::number(version_.version);
    for (const auto& [name, data] : version_.extensions)
        text += ' ' + name + '=' + data;
    trace(text);
    connected_ = true;
    return true;
}

bool SftpClient::offers(const QByteArray& extension) const {
    for (const auto& [name, data] : version_.extensions) {
        if (name == extension)
            return true;
    }
    return false;
}

void SftpClient::send(const QByteArray& packet, const QByteArray& what) {
    const auto header = Sftp::RequestHeader(packet);
    if (header)
        pending_.insert(header->second, what);
    if (!what.isEmpty())
        trace("> #" + QByteArray::number(header ? header->second : 0) + ' ' + what);
    ssh_.send(packet);
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
            const size_t got = LocalFile::read(chunk.data(), 1, size_t(WriteChunk), &file);
            if (file.readError() || got == 0) {
                readFailed_ = true;
                break;
            }
            const quint32 id = nextId();
            send(Sftp::WritePacket(id, handle, quint64(offset), QByteArrayView(chunk.data(), got)),
                 {});
            inFlight.push_back(id);
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

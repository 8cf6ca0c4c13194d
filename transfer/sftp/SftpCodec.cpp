#include "SftpCodec.h"

namespace Sftp {

namespace {

namespace AttrFlag {
enum : quint32 {
    AttrSize = 0x01,
    AttrUidGid = 0x02,
    AttrPermissions = 0x04,
    AttrTimes = 0x08,
    AttrExtended = 0x80000000,
};
} // namespace AttrFlag
using namespace AttrFlag;

class Writer {
public:
    explicit Writer(quint8 type) { out_.append(4, '\0').append(char(type)); }
    Writer& u32(quint32 v) {
        const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        out_.append(bytes, 4);
        return *this;
    }
    Writer& u64(quint64 v) { return u32(quint32(v >> 32)).u32(quint32(v)); }
    Writer& string(QByteArrayView s) {
        u32(quint32(s.size()));
        out_.append(s);
        return *this;
    }
    Writer& attrs(const FileAttrs& a) {
        quint32 flags = 0;
        flags |= a.size ? quint32(AttrSize) : 0u;
        flags |= a.uid && a.gid ? quint32(AttrUidGid) : 0u;
        flags |= a.permissions ? quint32(AttrPermissions) : 0u;
        flags |= a.atime && a.mtime ? quint32(AttrTimes) : 0u;
        u32(flags);
        if (flags & AttrSize)
            u64(*a.size);
        if (flags & AttrUidGid)
            u32(*a.uid).u32(*a.gid);
        if (flags & AttrPermissions)
            u32(*a.permissions);
        if (flags & AttrTimes)
            u32(*a.atime).u32(*a.mtime);
        return *this;
    }
    QByteArray done() {
        const auto length = quint32(out_.size() - 4);
        for (int i = 0; i < 4; ++i)
            out_[i] = char(length >> (24 - 8 * i));
        return std::move(out_);
    }

private:
    QByteArray out_;
};

class Reader {
public:
    explicit Reader(QByteArrayView data) : data_(data) {}
    bool u8(quint8& v) {
        if (left() < 1)
            return false;
        v = quint8(data_[pos_++]);
        return true;
    }
    bool u32(quint32& v) {
        if (left() < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | quint8(data_[pos_++]);
        return true;
    }
    bool u64(quint64& v) {
        quint32 high = 0, low = 0;
        if (!u32(high) || !u32(low))
            return false;
        v = (quint64(high) << 32) | low;
        return true;
    }
    bool string(QByteArray& s) {
        quint32 length = 0;
        if (!u32(length) || length > quint64(left()))
            return false;
        s = data_.sliced(pos_, length).toByteArray();
        pos_ += length;
        return true;
    }
    bool skipString() {
        quint32 length = 0;
        if (!u32(length) || length > quint64(left()))
            return false;
        pos_ += length;
        return true;
    }
    bool attrs(FileAttrs& a) {
        quint32 flags = 0;
        if (!u32(flags))
            return false;
        if (flags & AttrSize && !read(a.size))
            return false;
        if (flags & AttrUidGid && (!read(a.uid) || !read(a.gid)))
            return false;
        if (flags & AttrPermissions && !read(a.permissions))
            return false;
        if (flags & AttrTimes && (!read(a.atime) || !read(a.mtime)))
            return false;
        if (flags & AttrExtended) {
            quint32 count = 0;
            if (!u32(count))
                return false;
            // Each pair takes at least eight bytes: a huge count ends at the
            // end of the packet, not after four billion turns.
            for (quint32 i = 0; i < count; ++i) {
                if (!skipString() || !skipString())
                    return false;
            }
        }
        return true;
    }
    qsizetype left() const { return data_.size() - pos_; }

private:
    template <typename T> bool read(std::optional<T>& v) {
        T value{};
        bool ok = false;
        if constexpr (sizeof(T) == 8)
            ok = u64(value);
        else
            ok = u32(value);
        if (ok)
            v = value;
        return ok;
    }

    QByteArrayView data_;
    qsizetype pos_ = 0;
};

} // namespace

QByteArray InitPacket() {
    return Writer(Init).u32(3).done();
}

QByteArray OpenPacket(quint32 id, const QByteArray& path, quint32 flags, const FileAttrs& attrs) {
    return Writer(Open).u32(id).string(path).u32(flags).attrs(attrs).done();
}

QByteArray HandleRequest(Type type, quint32 id, const QByteArray& handle) {
    return Writer(type).u32(id).string(handle).done();
}

QByteArray PathRequest(Type type, quint32 id, const QByteArray& path) {
    return Writer(type).u32(id).string(path).done();
}

QByteArray WritePacket(quint32 id, const QByteArray& handle, quint64 offset, QByteArrayView data) {
    return Writer(Write).u32(id).string(handle).u64(offset).string(data).done();
}

QByteArray SetstatPacket(quint32 id, const QByteArray& path, const FileAttrs& attrs) {
    return Writer(Setstat).u32(id).string(path).attrs(attrs).done();
}

QByteArray FsetstatPacket(quint32 id, const QByteArray& handle, const FileAttrs& attrs) {
    return Writer(Fsetstat).u32(id).string(handle).attrs(attrs).done();
}

QByteArray RenamePacket(quint32 id, const QByteArray& from, const QByteArray& to) {
    return Writer(Rename).u32(id).string(from).string(to).done();
}

QByteArray PosixRenamePacket(quint32 id, const QByteArray& from, const QByteArray& to) {
    return Writer(Extended)
        .u32(id)
        .string("posix-rename@openssh.com")
        .string(from)
        .string(to)
        .done();
}

QByteArray FsyncPacket(quint32 id, const QByteArray& handle) {
    return Writer(Extended).u32(id).string("fsync@openssh.com").string(handle).done();
}

std::optional<ServerVersion> ParseVersion(QByteArrayView packet) {
    Reader in(packet);
    quint8 type = 0;
    ServerVersion v;
    if (!in.u8(type) || type != Version || !in.u32(v.version))
        return std::nullopt;
    while (in.left() > 0) {
        QByteArray name, data;
        if (!in.string(name) || !in.string(data))
            return std::nullopt;
        v.extensions.append({name, data});
    }
    return v;
}

std::optional<Reply> ParseReply(QByteArrayView packet) {
    Reader in(packet);
    Reply r;
    if (!in.u8(r.type) || !in.u32(r.id))
        return std::nullopt;
    switch (r.type) {
    case Status:
        if (!in.u32(r.code))
            return std::nullopt;
        // Version 3 adds a message and a language tag; some servers leave
        // them out.
        if (in.left() > 0 && !in.string(r.message))
            return std::nullopt;
        return r;
    case Handle:
        if (!in.string(r.handle) || r.handle.size() > 256)
            return std::nullopt;
        return r;
    case Attrs:
        if (!in.attrs(r.attrs))
            return std::nullopt;
        return r;
    case Name: {
        quint32 count = 0;
        if (!in.u32(count))
            return std::nullopt;
        // Each entry takes at least twelve bytes: a huge count ends at the
        // end of the packet.
        for (quint32 i = 0; i < count; ++i) {
            NameEntry entry;
            QByteArray longName;
            if (!in.string(entry.name) || !in.string(longName) || !in.attrs(entry.attrs))
                return std::nullopt;
            entry.longNameKind = longName.isEmpty() ? 0 : longName.front();
            if (i == 0) {
                r.name = entry.name;
                r.attrs = entry.attrs;
            }
            r.names.append(std::move(entry));
        }
        return r;
    }
    case Data:
    case ExtendedReply:
        return r;
    default:
        return std::nullopt;
    }
}

std::optional<QPair<quint8, quint32>> RequestHeader(QByteArrayView packet) {
    Reader in(packet);
    quint32 length = 0, id = 0;
    quint8 type = 0;
    if (!in.u32(length) || !in.u8(type) || !in.u32(id))
        return std::nullopt;
    return QPair<quint8, quint32>(type, id);
}

QByteArray StatusName(quint32 code) {
    static const char* const names[] = {
        "SSH_FX_OK",
        "SSH_FX_EOF",
        "SSH_FX_NO_SUCH_FILE",
        "SSH_FX_PERMISSION_DENIED",
        "SSH_FX_FAILURE",
        "SSH_FX_BAD_MESSAGE",
        "SSH_FX_NO_CONNECTION",
        "SSH_FX_CONNECTION_LOST",
        "SSH_FX_OP_UNSUPPORTED",
    };
    if (code < std::size(names))
        return names[code];
    return "SSH_FX_" + QByteArray::number(code);
}

void Framer::feed(QByteArrayView bytes) {
    if (failed_)
        return;
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<QByteArray> Framer::next() {
    if (failed_ || buffered() < 4)
        return std::nullopt;
    quint32 length = 0;
    for (int i = 0; i < 4; ++i)
        length = (length << 8) | quint8(buffer_[start_ + i]);
    if (length == 0 || length > MaxPacket) {
        failed_ = true;
        return std::nullopt;
    }
    if (buffered() < 4 + qsizetype(length))
        return std::nullopt;
    QByteArray packet = buffer_.sliced(start_ + 4, length);
    start_ += 4 + length;
    // Keeps the buffer from growing without end on a long stream.
    if (start_ > 64 * 1024) {
        buffer_.remove(0, start_);
        start_ = 0;
    }
    return packet;
}

} // namespace Sftp

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

#include <optional>

// SFTP version 3 as OpenSSH's sftp-server speaks it: the packets the program
// sends, and the replies it reads. Pure byte handling, no I/O; malformed input
// gives nullopt, never an exception or a read past the end.
namespace Sftp {

enum Type : quint8 {
    Init = 1,
    Version = 2,
    Open = 3,
    Close = 4,
    Write = 6,
    Lstat = 7,
    Fstat = 8,
    Setstat = 9,
    Fsetstat = 10,
    Remove = 13,
    Opendir = 11,
    Readdir = 12,
    Stat = 17,
    Rename = 18,
    Readlink = 19,
    Status = 101,
    Handle = 102,
    Data = 103,
    Name = 104,
    Attrs = 105,
    Extended = 200,
    ExtendedReply = 201,
};

enum StatusCode : quint32 {
    Ok = 0,
    Eof = 1,
    NoSuchFile = 2,
    PermissionDenied = 3,
    Failure = 4,
    BadMessage = 5,
    NoConnection = 6,
    ConnectionLost = 7,
    OpUnsupported = 8,
};

enum OpenFlag : quint32 {
    OpenRead = 0x01,
    OpenWrite = 0x02,
    OpenAppend = 0x04,
    OpenCreate = 0x08,
    OpenTruncate = 0x10,
    OpenExclusive = 0x20,
};

// The biggest packet accepted: a 256 KiB write or data reply and its header.
constexpr quint32 MaxPacket = 256 * 1024 + 1024;

struct FileAttrs {
    std::optional<quint64> size;
    std::optional<quint32> uid;
    std::optional<quint32> gid;
    std::optional<quint32> permissions;
    std::optional<quint32> atime;
    std::optional<quint32> mtime;
};

struct ServerVersion {
    quint32 version = 0;
    QList<QPair<QByteArray, QByteArray>> extensions; // name, version data
};

// One name of a NAME reply: READDIR's entries, READLINK's target.
struct NameEntry {
    QByteArray name;
    FileAttrs attrs;
    // The first letter of the entry's "ls -l" line ('-', 'd', 'l'), for a
    // server that sends no permission bits; 0 where the line is empty.
    char longNameKind = 0;
};

// One reply to a request: STATUS (code, message), HANDLE (handle), ATTRS
// (attrs) or NAME (every entry; the first one's name and attributes also
// in name and attrs). Other types keep only their type and id.
struct Reply {
    quint8 type = 0;
    quint32 id = 0;
    quint32 code = Ok;
    QByteArray message;
    QByteArray handle;
    FileAttrs attrs;
    QByteArray name;
    QList<NameEntry> names;

    // A STATUS that says the request succeeded.
    bool ok() const { return type == Status && code == Ok; }
};

// The file type bits of FileAttrs::permissions, as POSIX's st_mode has them.
constexpr quint32 TypeMask = 0170000;
constexpr quint32 TypeRegular = 0100000;
constexpr quint32 TypeFolder = 0040000;
constexpr quint32 TypeLink = 0120000;

// Requests, each a whole packet with its length in front.
QByteArray InitPacket();
QByteArray OpenPacket(quint32 id, const QByteArray& path, quint32 flags, const FileAttrs& attrs);
QByteArray HandleRequest(Type type, quint32 id, const QByteArray& handle); // CLOSE, FSTAT, READDIR
// LSTAT, STAT, REMOVE, READLINK, OPENDIR
QByteArray PathRequest(Type type, quint32 id, const QByteArray& path);
QByteArray WritePacket(quint32 id, const QByteArray& handle, quint64 offset, QByteArrayView data);
QByteArray SetstatPacket(quint32 id, const QByteArray& path, const FileAttrs& attrs);
QByteArray FsetstatPacket(quint32 id, const QByteArray& handle, const FileAttrs& attrs);
QByteArray RenamePacket(quint32 id, const QByteArray& from, const QByteArray& to);
QByteArray PosixRenamePacket(quint32 id, const QByteArray& from, const QByteArray& to);
QByteArray FsyncPacket(quint32 id, const QByteArray& handle);

// `packet` is one framed packet without its length: type byte and payload.
std::optional<ServerVersion> ParseVersion(QByteArrayView packet);
std::optional<Reply> ParseReply(QByteArrayView packet);

// The request's type and id, for the trace; nullopt when too short.
std::optional<QPair<quint8, quint32>> RequestHeader(QByteArrayView packet);
// A status code's name as the draft gives it, e.g. "SSH_FX_FAILURE".
QByteArray StatusName(quint32 code);

// Cuts a byte stream into packets as the bytes come. A length over
// MaxPacket, or too short to hold a type, fails the stream for good.
class Framer {
public:
    void feed(QByteArrayView bytes);
    // The next whole packet (type and payload), if one has arrived.
    std::optional<QByteArray> next();
    bool failed() const { return failed_; }
    qsizetype buffered() const { return buffer_.size() - start_; }

private:
    QByteArray buffer_;
    qsizetype start_ = 0;
    bool failed_ = false;
};

} // namespace Sftp

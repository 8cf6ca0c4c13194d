#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Pure text handling for one store: where to connect, what to send where.
// Kept apart from the engines so that it can be tested and fuzzed on its own.

// How the file travels. Plain FTP unless the host box names a scheme.
enum class Transport {
    Ftp,            // ftp://, or a bare host
    FtpExplicitTls, // ftpes://: TLS asked for at once, required on control and data
    FtpImplicitTls, // ftps://: TLS from the first byte, port 990
    Sftp,           // sftp://: SFTP, port 22
};

// Where an upload goes, as the host box says it.
struct Endpoint {
    Transport transport = Transport::Ftp;
    QString host; // without brackets, also for IPv6 addresses
    quint16 port = 0; // the transport's own where none was typed
    bool portTyped = false;
    bool ipv6 = false;
};

// Accepts "host", "host:port", "[v6]" and "[v6]:port"; a bare IPv6 address
// (two or more colons) is taken as a host without a port. Any of them may
// follow "ftp://", "ftpes://", "ftps://" or "sftp://".
std::optional<Endpoint> ParseRemoteHost(const QString& text);

// "scheme://host[:port]/", the port only where one was typed; the scheme
// says the transport. Never carries credentials.
QString FormUrl(const Endpoint& endpoint);
std::optional<Endpoint> ParseUrl(const QString& url);

// CR and LF would end a request line early and let the rest run as a
// request of its own; NUL truncates C strings. None belongs in a host, a credential
// or a path.
bool HasUnsafeText(const QString& text);

// A name beside the final one, hidden from plain listings, unique per upload.
QString TemporaryNameFor(const QString& remoteFileName, const QString& token);

// The same beside the final name, for servers that refuse names beginning
// with a dot: visible in listings while it is sent, still unique.
QString VisibleTemporaryNameFor(const QString& remoteFileName, const QString& token);

// The folder part of a remote name, with its trailing slash; empty for a
// name in the log-in directory.
QString RemoteFolderOf(const QString& remoteFileName);

#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Pure text handling for one store: where to connect, what to send where.
// Kept apart from the engines so that it can be tested and fuzzed on its own.

// How the file travels. Plain FTP unless the host box names a scheme.
enum class Transport {
    Ftp,            // ftp://, or a bare host
    FtpExplicitTls, // ftpes://: AUTH TLS, required on control and data
    FtpImplicitTls, // ftps://: TLS from the first byte, port 990
    Sftp,           // sftp://: SSH file transfer, port 22
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

// The same address as libcurl wants it for FTP and FTPS: its scheme for the
// transport and always the port. Empty for SFTP, which libcurl does not run.
QByteArray CurlBaseUrl(const Endpoint& endpoint);

// CR and LF would end an FTP command early and let the rest run as a command
// of its own; NUL truncates C strings. None belongs in a host, a credential
// or a path.
bool HasUnsafeText(const QString& text);

struct PutOperation {
    QString localFileName;
    QString remoteFileName;
};

// Splits "Put <local> <remote>". Both names may hold spaces: the split is at
// the last space whose left part names an existing regular file.
std::optional<PutOperation>
SplitPutOperation(const QString& operation,
                  const std::function<bool(const QString&)>& isRegularFile);
bool IsRegularFile(const QString& path);

// The path part of an ftp:// URL for a remote name as typed: relative to
// the login directory, absolute when it starts with "/". Each segment is
// percent-encoded as UTF-8.
QByteArray EncodeRemotePath(const QString& remoteFileName);

// A name beside the final one, hidden from plain listings, unique per upload.
QString TemporaryNameFor(const QString& remoteFileName, const QString& token);

// The same beside the final name, for servers that refuse names beginning
// with a dot: visible in listings while it is sent, still unique.
QString VisibleTemporaryNameFor(const QString& remoteFileName, const QString& token);

// The folder part of a remote name, with its trailing slash; empty for a
// name in the log-in directory.
QString RemoteFolderOf(const QString& remoteFileName);

#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <any>

// Why an SSH session failed, in the program's own terms: the response code
// is ResponseCodes::SshBase + one of these.
enum class SshFailure {
    None = 0,
    CannotStart,     // ssh could not be run, or there was no socket for the password
    HostNotFound,    // ssh could not resolve the host name
    CannotConnect,   // osErrno says why where ssh did
    ConnectTimedOut, // ssh's ConnectTimeout, or the program's limit for the log-in
    LoginDenied,
    HostKeyUnknown, // knownHosts holds no key for the server
    HostKeyChanged, // knownHosts holds another key for it
    NoReply,        // a request went unanswered for the reply limit
    Stalled,        // the file's writes made no progress for the stall limit
    ConnectionLost, // ssh ended, or its pipes broke off
    Garbled,        // a reply no SFTP server sends
    Refused,        // the server refused a request: serverReply says how
    NoSuchFile,     // ... because a name in it does not exist
    SessionFailed,  // ssh ended before the session began, for a reason it did not name
    UnsafeUser,     // the user name holds what a shell would read as its own; nothing sent
    // ssh, or a program it started, asked for the password of another
    // account or host than the one typed (a ProxyJump's bastion): withheld
    PasswordWithheld,
};

// The SFTP engine's account of its failure, carried in PublishReport::engine.
struct SftpFailure {
    SshFailure why = SshFailure::None;
    QString knownHosts; // the known_hosts file an SSH host key was checked against
    QByteArray sshSaid; // ssh's own words on why it ended, from its standard error
};

namespace ResponseCodes {
// A failure of the SSH session below SFTP's own replies: 3000 + SshFailure.
constexpr qint32 SshBase = 3000;
} // namespace ResponseCodes

// The SFTP failure noted in a report's `engine`, made one where it holds
// none.
inline SftpFailure& SftpFailureIn(std::any& engine) {
    if (SftpFailure* noted = std::any_cast<SftpFailure>(&engine))
        return *noted;
    return engine.emplace<SftpFailure>();
}

// The failure noted in a report's `engine`, null where the SFTP engine
// noted none.
inline const SftpFailure* SftpFailureOf(const std::any& engine) {
    return std::any_cast<SftpFailure>(&engine);
}

// The response code of an SSH failure.
constexpr qint32 SshCode(SshFailure why) {
    return ResponseCodes::SshBase + static_cast<qint32>(why);
}

// Notes `why` in a report's `engine`; its response code.
inline qint32 NoteSshFailure(std::any& engine, SshFailure why) {
    SftpFailureIn(engine).why = why;
    return SshCode(why);
}

#pragma once

#include <QByteArray>
#include <QString>

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

// What a publish noted about its failure, for the words that explain it:
// filled where the failure is met, read once the publish has ended.
struct PublishReport {
    bool tlsAccepted = false; // the control connection ran through TLS
    QByteArray action;        // what the failing request was for, in the engine's words
    SshFailure sshFailure = SshFailure::None; // SFTP
    QByteArray serverReply; // the server's last reply line
    long replyCode = 0;
    int osErrno = 0;        // the system's error of the last connect
    int localErrno = 0;     // why the local file could not be read; -1: not a regular file
    QString knownHosts;     // the known_hosts file an SSH host key was checked against
    qint64 sentSize = -1;   // bytes sent by the last store
    qint64 storedSize = -1; // what the server said it holds, -1 when it did not say
    QByteArray sshSaid;     // SFTP: ssh's own words on why it ended, from its standard error
    // The engine's own account of its failure, which the core carries
    // without reading it: the component's words read it back.
    std::any engine;
};

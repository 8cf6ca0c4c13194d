#pragma once

#include <QByteArray>
#include <QString>

// The conversation with the server, written as debug messages of
// harlune.transfer, one per line: FTP's commands, replies and TLS steps as
// libcurl tells them, SFTP's requests and replies and ssh's own lines as
// the SFTP engine notes them, never the file's bytes. The argument of PASS
// reads as asterisks, found by its place in the line: the password itself
// is never searched for, since which words were masked would tell a short
// one, and the trace holds no copy of it.
class ProtocolTrace {
public:
    ProtocolTrace();

    // What a line of the conversation looks like in the log.
    QByteArray masked(QByteArray line) const;

    // A step of the program's own, in the same trace: what libcurl does not
    // tell, such as SFTP's commands, and clean-up after a failure.
    void note(const QByteArray& text) const;

    // One line of the conversation: `marker` says whose ("<" the server's,
    // ">" the program's request, "*" the engine's own account).
    void write(const char* marker, QByteArray line) const;

private:
    int id_;
};

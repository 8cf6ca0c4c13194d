#pragma once

#include <QByteArray>
#include <QString>

// The conversation with the server, written as debug messages of
// harlune.transfer, one per line: the requests, replies and steps of the
// session as its engine tells them, never the file's bytes, and never the
// password: the engine masks the line that carries it before it comes here,
// and the trace holds no copy of it.
class ProtocolTrace {
public:
    ProtocolTrace();

    // A step of the program's own, in the same trace: what the engine's
    // library does not tell, and clean-up after a failure.
    void note(const QByteArray& text) const;

    // One line of the conversation: `marker` says whose ("<" the server's,
    // ">" the program's request, "*" the engine's own account).
    void write(const char* marker, QByteArray line) const;

private:
    int id_;
};

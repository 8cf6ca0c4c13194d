#pragma once

#include <QByteArray>
#include <QString>

#include <any>

// What a publish noted about its failure, for the words that explain it:
// filled where the failure is met, read once the publish has ended.
struct PublishReport {
    bool tlsAccepted = false; // the control connection ran through TLS
    QByteArray action;        // what the failing request was for, in the engine's words
    QByteArray serverReply; // the server's last reply line
    long replyCode = 0;
    int osErrno = 0;        // the system's error of the last connect
    int localErrno = 0;     // why the local file could not be read; -1: not a regular file
    qint64 sentSize = -1;   // bytes sent by the last store
    qint64 storedSize = -1; // what the server said it holds, -1 when it did not say
    // The engine's own account of its failure, which the core carries
    // without reading it: the component's words read it back.
    std::any engine;
};

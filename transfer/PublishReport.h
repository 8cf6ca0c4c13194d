#pragma once

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

// What a publish noted about its failure, for the words that explain it:
// filled where the failure is met, read once the publish has ended.
struct PublishReport {
    bool tlsAccepted = false; // the server agreed to AUTH TLS
    QByteArray action;        // what the failing request was for, e.g. "STOR <name>"
    CURLcode curlCode = CURLE_OK;
    QByteArray curlError;   // libcurl's own account (its error buffer)
    QByteArray serverReply; // the server's last reply line
    long replyCode = 0;
    int osErrno = 0;        // the system's error of the last connect
    int localErrno = 0;     // why the local file could not be read; -1: not a regular file
    QString knownHosts;     // the known_hosts file an SSH host key was checked against
    int hostKeyMatch = -1;  // libcurl's curl_khmatch for that check, -1 when none was made
    qint64 sentSize = -1;   // bytes sent by the last store
    qint64 storedSize = -1; // what the server said it holds, -1 when it did not say
    QByteArray sshSaid;     // SFTP: ssh's own words on why it ended, from its standard error
};

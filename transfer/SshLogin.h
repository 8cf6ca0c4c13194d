#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

// How an SFTP session logs in, in the order OpenSSH's client uses: the keys
// the user's ssh-agent holds, then the user's default key files, then the
// typed password (password and keyboard-interactive).
//
// libcurl tries a key file before the password and the agent after it, all
// on one connection, so each step that must come before the password gets a
// connection of its own; the last key file shares the password's, where
// libcurl's order is the right one. A step that fails moves on only when the
// server refused the log-in: a host key that does not match, or a server
// that cannot be reached, ends the upload with nothing offered.
class SshLogin {
public:
    struct Step {
        long authTypes = 0;    // CURLSSH_AUTH_*
        QByteArray privateKey; // for CURLSSH_AUTH_PUBLICKEY
        QByteArray publicKey;  // empty: libssh2 reads it from the private key
        QString label;         // what the step offers, for the failure reason
    };

    // Plans for the user whose home is `home`, with the agent at
    // `agentSocket` (empty: none), asking the agent for its keys. An agent
    // without keys is left out, and so are key files that are missing,
    // unreadable or need a passphrase: there is nowhere to ask for one.
    SshLogin(const QString& home, const QByteArray& agentSocket);
    // For the current user: $HOME and $SSH_AUTH_SOCK.
    static SshLogin ForUser();

    const QList<Step>& steps() const { return steps_; }

    // Sets the current step's log-in options on a handle.
    void apply(CURL* handle);
    // After a transfer: whether the log-in failed and another step should
    // follow on a fresh connection. Once logged in, the step that worked is
    // kept for the rest of the session.
    bool retry(CURLcode rc);

    // Why no step worked: what was tried and what the server answered.
    // Empty while none has failed.
    QString failure() const;

    // libcurl's informational lines, from which the server's list of the
    // methods it accepts is kept.
    void noteText(const QByteArray& line);

    // Whether a private key file's contents can be used as they stand: a
    // key in OpenSSH's own or a PEM format that needs no passphrase.
    static bool OpensWithoutPassphrase(const QByteArray& keyFile);

private:
    QList<Step> steps_;
    qsizetype current_ = 0;
    bool settled_ = false;
    QStringList tried_;
    QByteArray serverMethods_;
    QByteArray lastError_;
};

#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The test's own ~/.ssh: a fresh home with an empty .ssh folder, which $HOME
// names from construction on. ssh itself would look in the passwd entry's
// home; the program follows $HOME and hands ssh the files there. No agent
// is reached (SSH_AUTH_SOCK is unset) until startAgent().
class SshAccount {
public:
    SshAccount();
    ~SshAccount();
    SshAccount(const SshAccount&) = delete;
    SshAccount& operator=(const SshAccount&) = delete;

    QString home() const { return home_.path(); }
    QString file(const QString& name) const; // in ~/.ssh

    // known_hosts holding `lines` alone, or with `line` added.
    bool setKnownHosts(const QString& lines) const;
    bool addKnownHost(const QString& line) const;
    // A known_hosts line for [127.0.0.1]:port naming a fresh key, not the
    // server's; empty where ssh-keygen failed.
    QString strangerLine(quint16 port) const;
    bool setConfig(const QString& text) const;

    // An ssh-agent of the account's own on a socket in the home; it ends
    // with the object, and SSH_AUTH_SOCK names it until then.
    bool startAgent();
    bool addToAgent(const QString& keyFile) const;
    QString agentSocket() const { return socket_; }

private:
    QTemporaryDir home_;
    QProcess agent_;
    QString socket_;
};

// A new key pair at `path` and `path`.pub, as ssh-keygen writes it; `format`
// ("-m", "PEM" or "PKCS8") picks another format for the private key than
// OpenSSH's own. An empty `type` takes ssh-keygen's default (RSA).
bool MakeSshKey(const QString& path, const QString& type, const QString& passphrase = {},
                const QStringList& format = {});

#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// An ssh-agent of the test's own, on a socket in a temporary folder; it ends
// with the object. The program finds it through SSH_AUTH_SOCK, which the
// test sets to socket().
class TestSshAgent {
public:
    ~TestSshAgent();
    bool start();
    bool add(const QString& keyFile);
    QString socket() const { return socket_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString socket_;
};

// A new key pair at `path` and `path`.pub, as ssh-keygen writes it; `format`
// ("-m", "PEM" or "PKCS8") picks another format for the private key than
// OpenSSH's own. An empty `type` takes ssh-keygen's default (RSA).
bool MakeSshKey(const QString& path, const QString& type, const QString& passphrase = {},
                const QStringList& format = {});

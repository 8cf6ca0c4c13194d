#pragma once

#include "TransferInet.h"
#include "Publish.h"
#include "ResponseCodes.h"
#include "ServerSkip.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

// Short enough for a test, yet longer than any pause the test servers make
// on purpose before answering.
inline TransferTimeouts TestTimeouts() {
    TransferTimeouts t;
    t.connect = std::chrono::milliseconds(3000);
    t.serverReply = std::chrono::seconds(5);
    t.stall = std::chrono::seconds(3);
    return t;
}

// A publish of `local` to public_html/channel_list.txt on `host`, with the
// tests' time limits; SSH's log-in gets longer, as it takes longer than a
// socket's connect on a busy machine.
inline PublishJob TestSftpJob(const QString& host, const QString& user, const QString& password,
                              const QString& local, PublishReport* report) {
    PublishJob job;
    job.endpoint = *ParseRemoteHost(host);
    job.userName = user;
    job.password = password;
    job.localFileName = local;
    job.remoteFileName = QStringLiteral("public_html/channel_list.txt");
    job.timeouts = TestTimeouts();
    job.timeouts.connect = std::chrono::seconds(20);
    job.report = report;
    return job;
}

// Runs one Put on a component and waits for it the way UploadFile does;
// a host the component will not use reads as BadHost.
inline qint32 RunPut(TransferInet& inet, const QString& host, const QString& user,
                     const QString& password, const QString& local, const QString& remote) {
    inet.SetRemoteHost(host);
    inet.SetUserName(user);
    inet.SetPassword(password);
    QString url;
    try {
        url = inet.URL();
    } catch (const InetError&) {
        return ResponseCodes::BadHost;
    }
    inet.Execute(url, "Put " + local + " " + remote);
    while (inet.StillExecuting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return inet.ResponseCode();
}

// Starts a server that cannot run everywhere (vsftpd, sshd and the packaged
// servers need root): skips the test with the reason (fails it under
// CI=true), or fails it. STARTED_OR_SKIP takes the start's outcome, for a
// test that starts its server a way of its own.
#define STARTED_OR_SKIP(started, server)                                                           \
    do {                                                                                           \
        if (!(started)) {                                                                          \
            if (!(server).skipReason().isEmpty())                                                  \
                SKIP_FOR_SERVER((server).skipReason());                                            \
            QFAIL(qPrintable((server).errorString()));                                             \
        }                                                                                          \
    } while (false)
#define START_OR_SKIP(server) STARTED_OR_SKIP((server).start(), server)

// Runs as another user for as long as it lives; root reads any file
// whatever its mode.
class EffectiveUser {
public:
    explicit EffectiveUser(uid_t uid) : saved_(geteuid()) { ok_ = seteuid(uid) == 0; }
    ~EffectiveUser() {
        if (ok_ && seteuid(saved_) != 0)
            qFatal("cannot restore the effective user id");
    }
    EffectiveUser(const EffectiveUser&) = delete;
    EffectiveUser& operator=(const EffectiveUser&) = delete;
    bool ok() const { return ok_; }

private:
    uid_t saved_;
    bool ok_ = false;
};

#include "UploadFile.h"

#include "PutOperation.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <optional>

namespace {

// Each step stands on its own: one that fails is skipped and the next runs.
// What went wrong is kept, for the reason of a failure.
template <typename Step> void attempt(Step&& step, QString& error) {
    try {
        step();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    } catch (...) {
        error = QStringLiteral("unknown error");
    }
}

} // namespace

bool UploadFile(const InetFactory& factory, QString HostName, QString username, QString password,
                QString LocalFileName, QString RemoteFileName) {
    QString reason;
    return UploadFile(factory, std::move(HostName), std::move(username), std::move(password),
                      std::move(LocalFileName), std::move(RemoteFileName), reason);
}

bool UploadFile(const InetFactory& factory, QString HostName, QString username, QString password,
                QString LocalFileName, QString RemoteFileName, QString& reason) {
    bool result = false;
    QString stepError; // of the last step that failed
    const auto attempt = [&stepError](auto&& step) { ::attempt(step, stepError); };
    std::unique_ptr<Inet> inet;
    attempt([&] { inet = factory(); });
    // Without a component every step below fails, and so the upload.
    const auto onInet = [&](auto&& step) {
        attempt([&] {
            if (!inet)
                throw InetError("no transfer component");
            step(*inet);
        });
    };

    onInet([](Inet& i) { i.SetProtocol(Inet::icFTP); });
    onInet([&](Inet& i) { i.SetRemoteHost(HostName); });
    onInet([&](Inet& i) { i.SetUserName(username); });
    onInet([&](Inet& i) { i.SetPassword(password); });
    stepError.clear();
    onInet([&](Inet& i) {
        const QString url = i.URL();
        const QString operation = QStringLiteral("Put ") + LocalFileName + u' ' + RemoteFileName;
        // The names travel joined by a space; a local name that holds a space
        // after an existing file's name would be read as another file and
        // another remote name. Such an upload is not started.
        const auto put = SplitPutOperation(operation, IsRegularFile);
        if (put && (put->localFileName != LocalFileName || put->remoteFileName != RemoteFileName))
            throw InetError("the names cannot be told apart");
        i.Execute(url, operation);
    });
    const QString startError = stepError;

    // Wait for the component, dispatching events meanwhile. Blocking in the
    // event loop, instead of polling, keeps a waiting upload off the CPU:
    // the component posts an event when it is done. A test that fails ends
    // the wait, since nothing could tell us when to stop.
    for (;;) {
        bool executing = false;
        try {
            executing = inet && inet->StillExecuting();
        } catch (...) {
            break;
        }
        if (!executing)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }

    std::optional<qint32> code;
    onInet([&](Inet& i) {
        code = i.ResponseCode();
        result = *code == 0;
    });
    reason.clear();
    if (!result) {
        onInet([&](Inet& i) { reason = i.ResponseInfo(); });
        if (reason.isEmpty() && !startError.isEmpty())
            reason = QStringLiteral("the upload could not be started: ") + startError;
        else if (reason.isEmpty())
            reason = code ? QStringLiteral("the transfer component reported code %1").arg(*code)
                          : QStringLiteral("the transfer component gave no answer");
    }
    attempt([&] { inet.reset(); });
    return result;
}

#include "UploadFile.h"

#include "FtpTarget.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace {

// Each step stands on its own: one that fails is skipped and the next runs.
template <typename Step> void attempt(Step&& step) {
    try {
        step();
    } catch (...) {
    }
}

} // namespace

bool UploadFile(const InetFactory& factory, QString HostName, QString username, QString password,
                QString LocalFileName, QString RemoteFileName) {
    bool result = false;
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

    onInet([&](Inet& i) { result = i.ResponseCode() == 0; });
    attempt([&] { inet.reset(); });
    return result;
}

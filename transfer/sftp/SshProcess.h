#pragma once

#include "SftpCodec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>

// One ssh process running the SFTP subsystem: packets go to its standard
// input, replies come from its standard output, and its standard error
// tells why it ended. It runs in a session of its own, with no terminal to
// ask on, and everything it started goes when the object does.
class SshProcess {
public:
    enum class Wait {
        Packet,  // a whole packet arrived
        Timeout, // no progress for the limit given
        Aborted,
        Closed,  // ssh ended, or its output broke off
        Garbled, // a packet length no SFTP server sends
    };

    SshProcess() = default;
    ~SshProcess();
    SshProcess(const SshProcess&) = delete;
    SshProcess& operator=(const SshProcess&) = delete;

    // Starts `program` with `arguments`, the program's environment plus
    // `environment` ("NAME=value"). False, with errno, if it could not.
    bool start(const QString& program, const QStringList& arguments,
               const QStringList& environment);
    // Checked at least every 100 ms while waiting; may change per request.
    void setAbort(const std::atomic<bool>* abort) { abort_ = abort; }
    // ssh writes its own words to a log of the program's (-E): its standard
    // error also carries what ssh only passes on, the server's banner and
    // the words of the programs it starts, which may read like ssh's own.
    // Those are traced, and never read for meaning.
    // Each line of ssh's log, and of its standard error, as it comes.
    void onErrorLine(std::function<void(const QByteArray&)> listener) {
        errorLine_ = std::move(listener);
    }
    void onPassedLine(std::function<void(const QByteArray&)> listener) {
        passedLine_ = std::move(listener);
    }

    // Queues bytes for ssh's input; they go out while waiting.
    void send(const QByteArray& bytes) { queued_.append(bytes); }
    // Sends what is queued and waits for the next packet, at most `limit`
    // without progress in either direction.
    Wait next(QByteArray& packet, std::chrono::milliseconds limit);

    // Whether ssh still runs and its pipes still carry packets.
    bool alive() const;
    pid_t pid() const { return pid_; }
    // ssh's log so far, the last lines of it.
    const QList<QByteArray>& errorLines();

    // Ends ssh and whatever it started, and reaps it. Called by the
    // destructor; harmless twice.
    void stop();

private:
    // A stream of lines from ssh: its log, or its standard error.
    struct Lines {
        int fd = -1;
        bool file = false; // read from `offset` on, and never ends
        off_t offset = 0;
        QByteArray text; // what came after the last whole line
        QList<QByteArray> lines;
        std::function<void(const QByteArray&)>* listener = nullptr;
    };
    static bool read(Lines& from);
    static void split(Lines& from, bool flush);
    void readErrors();
    void drainErrors();
    void closeAll();

    bool exited() const;
    bool waitExit(std::chrono::milliseconds limit) const;

    std::atomic<pid_t> pid_{-1}; // read by a watcher of the session too
    int input_ = -1;             // ssh's standard input, ours to write
    int replies_ = -1;           // ssh's standard output
    bool repliesEnded_ = false;
    bool inputBroken_ = false;
    const std::atomic<bool>* abort_ = nullptr;
    QByteArray queued_;
    qsizetype written_ = 0;
    Sftp::Framer framer_;
    std::function<void(const QByteArray&)> errorLine_;
    std::function<void(const QByteArray&)> passedLine_;
    Lines errors_{-1, true, 0, {}, {}, &errorLine_};    // ssh's log
    Lines passed_{-1, false, 0, {}, {}, &passedLine_}; // ssh's standard error
};

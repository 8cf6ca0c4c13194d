#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/types.h>

// Hands ssh the typed password without a command line, a variable or a
// file carrying it. ssh runs its askpass program (this program again, see
// AskPassMain) for each prompt; that asks this server over a Unix socket in
// a folder only the user can enter, presenting a one-time token and the
// prompt. ssh runs the askpass for the programs it starts too (the inner
// ssh of a ProxyJump, a ProxyCommand), which may log in elsewhere: only an
// askpass that the upload's own ssh started is answered, only for a prompt
// that names the account the password was typed for, and once.
class AskPassServer {
public:
    // `account`: "user@host" as ssh names it in its prompts.
    AskPassServer(const QString& password, const QByteArray& account);
    ~AskPassServer();
    AskPassServer(const AskPassServer&) = delete;
    AskPassServer& operator=(const AskPassServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    // "<token>:<socket path>", for the askpass variable.
    QString variableValue() const;
    // The ssh whose askpass alone is answered; none is before this.
    void answerFor(pid_t ssh) { ssh_.store(ssh); }
    // How many prompts were answered with the password: one at most.
    int answered() const;
    // The last prompt left unanswered because it came from another program
    // or named another account, in its own words; empty if none.
    QByteArray withheld() const;

    // Whether ssh's prompt asks for the password of `account` ("user@host"):
    // "user@host's password:", or keyboard-interactive "(user@host)
    // Password:".
    static bool IsPasswordPrompt(const QByteArray& prompt, const QByteArray& account);

private:
    void serve();
    void answer(int client);
    void withhold(const QByteArray& prompt);

    QByteArray password_;
    QByteArray account_;
    QByteArray token_;
    QString dir_;
    QString socket_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<pid_t> ssh_{-1};
    std::atomic<int> answered_{0};
    mutable std::mutex withheldLock_;
    QByteArray withheld_;
    std::thread thread_;
};

// The program's askpass program: the program itself, unless set otherwise
// (tests set the built program).
QString AskPassProgram();
void SetAskPassProgram(const QString& path);

// Run as ssh's askpass (the askpass variable is set): asks the server for
// the answer to argv[1] and prints it. Returns the exit code: 0 with an
// answer, 1 without.
int AskPassMain(int argc, char** argv);

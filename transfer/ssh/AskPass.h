#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

// Hands ssh the typed password without a command line, a variable or a
// file carrying it. ssh runs its askpass program (this program again, see
// AskPassMain) for each prompt; that asks this server over a Unix socket in
// a folder only the user can enter, presenting a one-time token and the
// prompt. Only a password prompt is answered, and only with a password
// typed: never a passphrase or any other question.
class AskPassServer {
public:
    explicit AskPassServer(const QString& password);
    ~AskPassServer();
    AskPassServer(const AskPassServer&) = delete;
    AskPassServer& operator=(const AskPassServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    // "<token>:<socket path>", for the askpass variable.
    QString variableValue() const;
    // How many prompts were answered with the password.
    int answered() const;

    // Whether ssh's prompt asks for the account's password: "user@host's
    // password:" or keyboard-interactive "Password:".
    static bool IsPasswordPrompt(const QByteArray& prompt);

private:
    void serve();
    void answer(int client);

    QByteArray password_;
    QByteArray token_;
    QString dir_;
    QString socket_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> answered_{0};
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

// What the SSH log-in steps cost: uploads to a loopback sshd that accepts
// keys and passwords, each way of logging in timed over a number of rounds.
// Prints "ms_<case> <median>" and "connections_<case> <n>" lines.
//
//   bench_ssh_login [ROUNDS]
//
// Cases: the typed password alone; a key in the ssh-agent; a key file in
// ~/.ssh; the password after an agent whose one key the server refuses (one
// connection more), and after an agent with eight refused keys. Needs root
// (sshd logs in a system user); exits 77 where it cannot run.

#include "AskPass.h"
#include "TransferInet.h"
#include "TransferRuntime.h"
#include "HeldSessions.h"
#include "SecureTestServer.h"
#include "SshAccount.h"
#include "UploadFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>


#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Case {
    const char* name;
    QString home;
    QString agentSocket; // empty: no agent
    QString password;
};

} // namespace

int main(int argc, char* argv[]) {
    const TransferRuntime::Guard runtime;
    QCoreApplication app(argc, argv);
    SetAskPassProgram(QStringLiteral(HARLUNE_ASKPASS_PROGRAM));
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: %s [ROUNDS]\n", argv[0]);
        return 2;
    }
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods(QStringLiteral("publickey,password"));
    if (!server.start()) {
        const bool skip = !server.skipReason().isEmpty();
        std::fprintf(stderr, "%s\n", qPrintable(server.errorString()));
        return skip ? 77 : 1;
    }

    QTemporaryDir work;
    const auto at = [&](const QString& name) { return work.filePath(name); };
    const QString local = at(QStringLiteral("channel_list.txt"));
    bool ready = writeFile(local, QByteArray(64 * 1024, 'x'));
    // Two homes: one with only known_hosts, one with an authorised id_ed25519;
    // and three agents, each in an account of its own.
    SshAccount plain, keyed, keyAgent, refusedAgent, crowdedAgent;
    for (const SshAccount* home : {&plain, &keyed})
        ready = ready && home->setKnownHosts(server.knownHostsLine());
    const QString keyFile = keyed.file(QStringLiteral("id_ed25519"));
    ready = ready && MakeSshKey(keyFile, QStringLiteral("ed25519")) &&
            server.authorizeKey(keyFile + QStringLiteral(".pub"));
    ready = ready && keyAgent.startAgent() && keyAgent.addToAgent(keyFile) &&
            refusedAgent.startAgent() && crowdedAgent.startAgent();
    for (int i = 0; ready && i < 8; ++i) {
        const QString other = at(QStringLiteral("refused_%1").arg(i));
        ready = MakeSshKey(other, QStringLiteral("ed25519")) && crowdedAgent.addToAgent(other) &&
                (i > 0 || refusedAgent.addToAgent(other));
    }
    if (!ready) {
        std::fprintf(stderr, "cannot prepare the keys and agents\n");
        return 1;
    }

    const std::vector<Case> cases{
        {"password", plain.home(), {}, server.password()},
        {"agent_key", plain.home(), keyAgent.agentSocket(), {}},
        {"key_file", keyed.home(), {}, {}},
        {"password_after_refused_agent_key", plain.home(), refusedAgent.agentSocket(),
         server.password()},
        {"password_after_8_refused_agent_keys", plain.home(), crowdedAgent.agentSocket(),
         server.password()},
    };
    const QString host = QStringLiteral("sftp://127.0.0.1:%1").arg(server.port());
    const QString remote = QStringLiteral("public_html/channel_list.txt");
    // Round by round across the cases, so that a change in the machine's
    // load meanwhile falls on all of them alike.
    std::vector<std::vector<double>> times(cases.size());
    std::vector<qsizetype> connections(cases.size(), 0);
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            qputenv("HOME", QFile::encodeName(c.home));
            if (c.agentSocket.isEmpty())
                qunsetenv("SSH_AUTH_SOCK");
            else
                qputenv("SSH_AUTH_SOCK", QFile::encodeName(c.agentSocket));
            const qsizetype before = server.serverLog().count(QStringLiteral("Connection from"));
            QElapsedTimer timer;
            timer.start();
            if (!UploadFile(TransferInetFactory(), host, server.user(), c.password, local, remote)) {
                std::fprintf(stderr, "%s: upload failed\n", c.name);
                return 1;
            }
            times[i].push_back(timer.nsecsElapsed() / 1e6);
            // Each upload logs in anew: the session is not held for the next.
            CloseHeldSessions();
            connections[i] += server.serverLog().count(QStringLiteral("Connection from")) - before;
        }
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        std::sort(times[i].begin(), times[i].end());
        std::printf("ms_%s %.1f\nconnections_%s %.1f\n", cases[i].name,
                    times[i][times[i].size() / 2], cases[i].name, double(connections[i]) / rounds);
    }
    server.stop();
    return 0;
}

#pragma once

#include "RemoteTarget.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

// What the ssh command line for one SFTP destination depends on.
struct SshCommandInput {
    Endpoint endpoint;
    QString userName; // empty: the user ~/.ssh/config or the account names
    std::chrono::seconds connectTimeout{30};
    bool verbose = false;       // ssh -v, for the trace
    bool passwordAlone = false; // no keys: after "Too many authentication failures"
    bool passwordTyped = false; // without one, ssh never asks for a password
    QString home;               // $HOME
    QString accountHome;        // the account's home in the passwd file
    std::function<bool(const QString&)> exists;
};

// ssh's default identity files, in its own order.
const QStringList& SshDefaultIdentities();

// Whether a host can be handed to ssh as it is: no option, no user@ part,
// nothing ssh would read as anything but a host name or address.
bool SafeSshHost(const QString& host);

// Where ssh is: a fixed system path, never one that PATH leads to.
inline constexpr char SshProgram[] = "/usr/bin/ssh";

// Whether a user name can be handed to ssh: nothing a shell reads as its
// own, which a user's configuration may pass to one ("%r" in a
// ProxyCommand or a Match exec), as OpenSSH 9.6 refuses on its command
// line; no option; no white space or control character.
bool SafeSshUser(const QString& user);

// The account ssh's prompts name ("user@host"), from its account of its
// configuration for the destination (`ssh -G`): the user, and the host key
// alias or the host name. Empty where it says neither.
QByteArray PromptAccount(const QByteArray& configuration);

// The arguments for ssh (without "ssh" itself) that open the SFTP subsystem
// at the destination; nullopt for a host that is not safe to pass.
std::optional<QStringList> SshArguments(const SshCommandInput& input);

// The server ssh logged in to, from its own words at LogLevel VERBOSE
// ("Authenticated to NAME ([ADDRESS]:PORT) using ..."): the name it looked
// up (the host as typed, or the HostName its configuration gives it) and
// the address it reached. Nothing where it went through a proxy, or did
// not say.
struct SshPeer {
    QString host;
    QString address;
};
std::optional<SshPeer> AuthenticatedPeer(const QList<QByteArray>& lines);

// The variables ssh runs with besides the program's own: its askpass is
// `askPass`, forced, and finds the program through `askPassValue` (the
// socket and a one-time token; never the password).
QStringList SshEnvironment(const QString& askPass, const QString& askPassValue);

// The variable that hands the askpass its socket and token.
inline constexpr char AskPassVariable[] = "HARLUNE_ASKPASS";

#pragma once

#include "DestinationKey.h"
#include "TlsFallback.h"

#include <QByteArray>
#include <QString>

#include <functional>

// What publishes learnt about servers, so that later publishes go straight
// to the step that works there: in memory only, for the life of the
// program, in this one place under one lock. Each fact is found by a part
// of the destination's key and has a rule of its own for when it is
// forgotten; a publish that a fact changes says so in its trace.

// How a server answers for a file.
enum class FileFactsAsking { Stat, Mlst, Nothing };

// Found by DestinationKey::server().
struct ServerFacts {
    // STAT first, MLST where STAT told nothing, or neither. Forgotten when
    // a publish to the server fails: a reconfigured server is asked anew.
    FileFactsAsking asking = FileFactsAsking::Stat;
    // Whether its TLS sessions can be held: 0 yes; 1 under TLS 1.2 only (a
    // held TLS 1.3 session could not open a second data connection); 2 no,
    // it speaks TLS 1.3 alone. Never forgotten: it is the server's TLS
    // stack, and finding out again costs a failed held publish.
    int tlsHolding = 0;
    // A bare host: how the last publish that worked went. Forgotten when a
    // publish fails, so that the next one asks for verified TLS again.
    SecurityPath tlsPath = SecurityPath::AsTyped;
    // A bare host that took TLS (1), or showed a verified certificate (2),
    // is held to it. Never forgotten and only ever tightened: nothing a
    // server or a network in between says may talk a publish down to clear
    // text.
    int tlsPin = 0;
};

// Found by DestinationKey::account() and the remote path; a changed
// password is another account and starts from nothing. All forgotten when
// a publish to the target fails: the next one starts from the top.
struct TargetFacts {
    // Which of the publish's names the server took last: 0 the hidden
    // temporary name, 1 the visible one, 2 the final name itself.
    int firstName = 0;
    // Publishes store straight over the final file, as a plain store does:
    // the server keeps a temporary copy it cannot remove, or a renamed copy
    // could not keep the file's permissions, owner or group. Says why.
    QString storeInPlace;
    // The server tells nothing of a file's permissions (neither MLST nor
    // STAT answers): they cannot be kept, and are not asked for again.
    bool tellsNoFacts = false;
    // Where the name, a link, led: the copy can be opened beside that file
    // before the link is asked about again.
    QString linkedTo;
};

ServerFacts RecallServer(const DestinationKey& key);
// Changes what is known of the server, under the lock.
void LearnServer(const DestinationKey& key, const std::function<void(ServerFacts&)>& change);

TargetFacts RecallTarget(const DestinationKey& key, const QString& remotePath);
void LearnTarget(const DestinationKey& key, const QString& remotePath, const TargetFacts& facts);

// A publish to the target failed: each fact goes by its rule.
void ForgetAfterFailure(const DestinationKey& key, const QString& remotePath);

// True the first time `what` is asked about, for the life of the program:
// a warning that an upload every second would otherwise repeat every
// second.
bool FirstTimeTold(const QByteArray& what);

#pragma once

#include <QString>

// What publishes have learnt about one target (the address, the user name
// and the final name) for the life of the program, so that later publishes
// go straight to the step that works there. Held in memory only, for every
// thread. A publish that fails forgets it: the next one starts from the top.
struct ServerTraits {
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
};

ServerTraits RecallServer(const QString& target);
void RememberServer(const QString& target, const ServerTraits& traits);
void ForgetServer(const QString& target);

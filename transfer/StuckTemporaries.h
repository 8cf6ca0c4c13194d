#pragma once

#include <QString>

// Targets where a publish could neither put its temporary copy in place by a
// rename nor remove it again: the server lets a client overwrite the final
// file and nothing more (OpenSSH's SFTP server with removing denied, for
// one). There every temporary copy would stay behind, so later publishes in
// this run store straight under the final name, as a plain store would. A
// target is the address, the user name and the final name; held in memory
// only, for every thread.
void RememberStuckTemporary(const QString& target);
bool TemporaryWouldStick(const QString& target);

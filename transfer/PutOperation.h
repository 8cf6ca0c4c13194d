#pragma once

#include <QString>

#include <functional>
#include <optional>

// The names of a "Put <local> <remote>" operation, as the component is
// handed it.
struct PutOperation {
    QString localFileName;
    QString remoteFileName;
};

// Splits "Put <local> <remote>". Both names may hold spaces: the split is at
// the last space whose left part names an existing regular file.
std::optional<PutOperation>
SplitPutOperation(const QString& operation,
                  const std::function<bool(const QString&)>& isRegularFile);
bool IsRegularFile(const QString& path);

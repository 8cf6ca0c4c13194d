#include "PutOperation.h"

#include <QFile>

#include <sys/stat.h>

bool IsRegularFile(const QString& path) {
    if (path.isEmpty())
        return false;
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<PutOperation>
SplitPutOperation(const QString& operation,
                  const std::function<bool(const QString&)>& isRegularFile) {
    const QString verb = QStringLiteral("Put ");
    if (!operation.startsWith(verb, Qt::CaseInsensitive))
        return std::nullopt;
    const QString names = operation.mid(verb.size());
    for (qsizetype space = names.lastIndexOf(u' '); space > 0;
         space = names.lastIndexOf(u' ', space - 1)) {
        const QString local = names.left(space);
        const QString remote = names.mid(space + 1);
        if (remote.isEmpty() || remote.endsWith(u'/'))
            continue;
        if (isRegularFile(local))
            return PutOperation{local, remote};
    }
    return std::nullopt;
}

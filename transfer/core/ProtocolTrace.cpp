#include "ProtocolTrace.h"

#include "LogText.h"
#include "TransferLog.h"

#include <atomic>

namespace {

std::atomic<int> sessions{0};

} // namespace

ProtocolTrace::ProtocolTrace() : id_(++sessions) {}

QByteArray ProtocolTrace::masked(QByteArray line) const {
    // Whatever the password is, PASS carries it, an empty one too.
    if (line.size() >= 4 && line.first(4).toUpper() == "PASS" && (line.size() == 4 || line[4] == ' '))
        return "PASS ****";
    return line;
}

void ProtocolTrace::note(const QByteArray& text) const {
    if (lcTransfer().isDebugEnabled())
        write("+", text);
}

void ProtocolTrace::write(const char* marker, QByteArray line) const {
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return;
    qCDebug(lcTransfer).noquote() << QStringLiteral("#%1 %2").arg(id_).arg(QLatin1String(marker))
                                  << LogText(masked(std::move(line)));
}

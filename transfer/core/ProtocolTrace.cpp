#include "ProtocolTrace.h"

#include "LogText.h"
#include "TransferLog.h"

#include <atomic>

namespace {

std::atomic<int> sessions{0};

} // namespace

ProtocolTrace::ProtocolTrace() : id_(++sessions) {}

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
                                  << LogText(line);
}

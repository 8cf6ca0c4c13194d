#include "ProtocolTrace.h"

#include "LogText.h"
#include "TransferLog.h"

#include <atomic>

namespace {

std::atomic<int> sessions{0};

} // namespace

ProtocolTrace::ProtocolTrace(const QString& password)
    : secret_(password.toUtf8()), id_(++sessions) {}

QByteArray ProtocolTrace::masked(QByteArray line) const {
    // Whatever the password is, PASS carries it; also when it is empty and
    // so cannot be searched for.
    if (line.size() > 4 && line.first(5).toUpper() == "PASS ")
        line = "PASS ****";
    return MaskSecret(std::move(line), secret_);
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

#include "ProtocolTrace.h"

#include "LogText.h"
#include "TransferLog.h"

#include <atomic>

namespace {

std::atomic<int> sessions{0};

} // namespace

ProtocolTrace::ProtocolTrace(const QString& password)
    : secret_(password.toUtf8()), id_(++sessions) {}

void ProtocolTrace::attach(CURL* handle) {
    if (!lcTransfer().isDebugEnabled())
        return;
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &ProtocolTrace::onDebug);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
}

QByteArray ProtocolTrace::masked(QByteArray line) const {
    // Whatever the password is, PASS carries it; also when it is empty and
    // so cannot be searched for.
    if (line.size() > 4 && line.first(5).toUpper() == "PASS ")
        line = "PASS ****";
    return MaskSecret(std::move(line), secret_);
}

int ProtocolTrace::onDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    const char* marker = nullptr;
    switch (type) {
    case CURLINFO_TEXT:
        marker = "*";
        break;
    case CURLINFO_HEADER_IN:
        marker = "<";
        break;
    case CURLINFO_HEADER_OUT:
        marker = ">";
        break;
    default:
        // The file's bytes and raw TLS records stay out of the log.
        return 0;
    }
    const auto* trace = static_cast<const ProtocolTrace*>(self);
    const QByteArray text(data, static_cast<qsizetype>(size));
    if (!lcTransfer().isDebugEnabled())
        return 0;
    for (QByteArray line : text.split('\n'))
        trace->write(marker, std::move(line));
    return 0;
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

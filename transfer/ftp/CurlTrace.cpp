#include "CurlTrace.h"

#include "TransferLog.h"

namespace {

int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
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
    if (!lcTransfer().isDebugEnabled())
        return 0;
    const auto* trace = static_cast<const ProtocolTrace*>(self);
    for (QByteArray line : QByteArray(data, static_cast<qsizetype>(size)).split('\n'))
        trace->write(marker, MaskedFtpLine(std::move(line)));
    return 0;
}

} // namespace

QByteArray MaskedFtpLine(QByteArray line) {
    if (line.endsWith('\r'))
        line.chop(1);
    // Whatever the password is, PASS carries it, an empty one too.
    if (line.size() >= 4 && line.first(4).toUpper() == "PASS" &&
        (line.size() == 4 || line[4] == ' '))
        return "PASS ****";
    return line;
}

void AttachTrace(CURL* handle, const ProtocolTrace& trace) {
    if (!lcTransfer().isDebugEnabled())
        return;
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &onDebug);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, &trace);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
}

// libFuzzer target for the SFTP reply parser and the stream framer in
// transfer/ssh/SftpCodec.h: the bytes an ssh process hands back. Every input
// is parsed as one packet, and cut into packets fed in pieces whose sizes
// the input itself picks; a broken property aborts.
#include "SftpCodec.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void broken(const char* property) {
    std::fprintf(stderr, "broken: %s\n", property);
    std::abort();
}

void parse(QByteArrayView packet) {
    if (const auto reply = Sftp::ParseReply(packet)) {
        if (packet.size() < 5 || reply->type != quint8(packet[0]))
            broken("a reply shorter than its header, or of another type");
        if (reply->handle.size() > 256)
            broken("a handle over 256 bytes");
        if (reply->message.size() > packet.size())
            broken("a message longer than its packet");
    }
    if (const auto version = Sftp::ParseVersion(packet)) {
        qsizetype total = 5;
        for (const auto& [name, data] : version->extensions)
            total += 8 + name.size() + data.size();
        if (total != packet.size())
            broken("extensions that do not add up to the packet");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    parse(input);

    // The first byte picks the piece size, as reads of a pipe would cut.
    const qsizetype piece = input.isEmpty() ? 1 : 1 + quint8(input[0]) % 64;
    const QByteArray stream = input.mid(1);
    Sftp::Framer framer;
    qsizetype consumed = 0;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
        framer.feed(QByteArrayView(stream).sliced(at, std::min(piece, stream.size() - at)));
        while (const auto packet = framer.next()) {
            if (packet->isEmpty() || quint32(packet->size()) > Sftp::MaxPacket)
                broken("a packet of a length the framer should refuse");
            if (stream.mid(consumed + 4, packet->size()) != *packet)
                broken("a packet that is not the next bytes of the stream");
            consumed += 4 + packet->size();
            parse(*packet);
        }
    }
    if (!framer.failed() && framer.buffered() != stream.size() - consumed)
        broken("bytes lost between packets");
    return 0;
}

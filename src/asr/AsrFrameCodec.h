#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

namespace Kelvane {
namespace AsrCodec {

// gzip (RFC 1952) with zlib; both return an empty array on failure.
QByteArray gzipCompress(const QByteArray &data);
QByteArray gzipDecompress(const QByteArray &data);

// One audio-only request frame: header, 32-bit big-endian size, the PCM bytes uncompressed.
QByteArray buildAudioFrame(const char *data, size_t size, bool isLast);

// One full-client-request frame around the request JSON text, gzip-compressed.
QByteArray buildFullClientRequestFrame(const QByteArray &jsonText);

// What a received binary message leaves for the session's JSON handling.
struct ServerPayload {
    bool hasJson = false; // a JSON payload is to be handed on
    QString jsonText;
    bool isLastPackage = false;
};

// Decodes one received binary message, logging each step. Error frames (type 15) never
// yield a payload: their code and text are only logged.
ServerPayload decodeServerFrame(const QByteArray &message);

} // namespace AsrCodec
} // namespace Kelvane

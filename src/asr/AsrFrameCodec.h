#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

namespace Kelvane {
namespace AsrCodec {

// Nothing the service sends inflates past this: a small hostile payload must not take memory.
constexpr qsizetype kMaxInflatedBytes = 16 * 1024 * 1024;

// gzip (RFC 1952) with zlib; both return an empty array on failure, decompression also when
// the output would pass kMaxInflatedBytes.
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
    bool isError = false; // an error frame: the service ends the session
    quint32 errorCode = 0;
    QString errorText; // the error frame's payload
};

// Decodes one received binary message, logging each step. Error frames (type 15) never
// yield a JSON payload: their code and text come back as the error fields.
ServerPayload decodeServerFrame(const QByteArray &message);

} // namespace AsrCodec
} // namespace Kelvane

#include "AsrFrameCodec.h"

#include "Log.h"

#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace Kelvane {
namespace AsrCodec {

namespace {

constexpr int kGzipWindowBits = 31; // 15-bit window with the gzip wrapper
constexpr size_t kChunkSize = 32768;

void appendBigEndian32(QByteArray &frame, uint32_t value) {
    frame.append(static_cast<char>((value >> 24) & 0xFF));
    frame.append(static_cast<char>((value >> 16) & 0xFF));
    frame.append(static_cast<char>((value >> 8) & 0xFF));
    frame.append(static_cast<char>(value & 0xFF));
}

uint32_t readBigEndian32(const QByteArray &message, int offset) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(message.constData()) + offset;
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

std::string headerHex(const QByteArray &header) {
    std::string text;
    char byteText[8];
    for (int i = 0; i < header.size(); ++i) {
        std::snprintf(byteText, sizeof byteText, "0x%02x",
                      static_cast<unsigned>(static_cast<unsigned char>(header[i])));
        if (i > 0)
            text += ' ';
        text += byteText;
    }
    return text;
}

std::atomic<int> audioFrameLogCounter{0};

} // namespace

namespace {

// Feeds the whole input through one zlib step function, 32 KiB of output at a time, for as
// long as it reports progress; returns the last status and appends the output to result.
template <typename Step>
int pump(z_stream &stream, const QByteArray &input, QByteArray &result, Step step,
         qsizetype limit = -1) {
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
    stream.avail_in = static_cast<uInt>(input.size());
    unsigned char chunk[kChunkSize];
    int status = Z_OK;
    do {
        stream.next_out = chunk;
        stream.avail_out = kChunkSize;
        status = step(&stream);
        result.append(reinterpret_cast<const char *>(chunk),
                      static_cast<qsizetype>(stream.total_out - uLong(result.size())));
        if (limit >= 0 && result.size() > limit)
            return Z_MEM_ERROR;
    } while (status == Z_OK);
    return status;
}

} // namespace

QByteArray gzipCompress(const QByteArray &data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        Log::err("[ASRClient] deflateInit2 failed");
        return {};
    }
    QByteArray result;
    const int status = pump(stream, data, result, [](z_stream *s) { return deflate(s, Z_FINISH); });
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        Log::err("[ASRClient] GZIP compression failed");
        return {};
    }
    return result;
}

QByteArray gzipDecompress(const QByteArray &data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) {
        Log::err("[ASRClient] inflateInit2 failed");
        return {};
    }
    QByteArray result;
    const int status = pump(
        stream, data, result, [](z_stream *s) { return inflate(s, Z_NO_FLUSH); },
        kMaxInflatedBytes);
    inflateEnd(&stream);
    if (status == Z_MEM_ERROR) {
        Log::err("[ASRClient] GZIP payload inflates past ", kMaxInflatedBytes, " bytes: rejected");
        return {};
    }
    if (status != Z_STREAM_END) {
        Log::err("[ASRClient] GZIP decompression failed");
        return {};
    }
    return result;
}

QByteArray buildAudioFrame(const char *data, size_t size, bool isLast) {
    QByteArray header;
    header.append(char(0x11));
    header.append(char(isLast ? 0x22 : 0x20));
    header.append(char(0x00));
    header.append(char(0x00));

    const int logIndex = audioFrameLogCounter.fetch_add(1);
    if (logIndex < 3 || isLast)
        Log::frame("[ASRClient] Audio message header (isLast=", isLast ? 1 : 0,
                   "): ", headerHex(header), " (payload size: ", size, " bytes)");

    const auto payloadSize = static_cast<int32_t>(size);
    QByteArray frame = header;
    frame.reserve(8 + payloadSize);
    appendBigEndian32(frame, static_cast<uint32_t>(payloadSize));
    if (data && payloadSize > 0)
        frame.append(data, payloadSize);
    return frame;
}

QByteArray buildFullClientRequestFrame(const QByteArray &jsonText) {
    const QByteArray compressed = gzipCompress(jsonText);
    QByteArray frame;
    frame.reserve(8 + compressed.size());
    frame.append(char(0x11));
    frame.append(char(0x10));
    frame.append(char(0x11));
    frame.append(char(0x00));
    appendBigEndian32(frame, static_cast<uint32_t>(compressed.size()));
    frame.append(compressed);
    return frame;
}

ServerPayload decodeServerFrame(const QByteArray &message) {
    ServerPayload result;
    const int length = static_cast<int>(message.size());
    if (length < 4) {
        Log::err("[ASRClient] Response too short: ", length, " bytes");
        return result;
    }

    const auto byte = [&message](int i) { return static_cast<unsigned char>(message[i]); };
    const int headerLength = (byte(0) & 0x0F) * 4;
    const int messageType = byte(1) >> 4;
    const int flags = byte(1) & 0x0F;
    const int serialization = byte(2) >> 4;
    const int compression = byte(2) & 0x0F;
    Log::frame("[ASRClient] Response: headerLen=", headerLength, ", messageType=", messageType,
               ", flags=", flags, ", serial=", serialization, ", compress=", compression);

    // Offsets are kept in 64 bits so a hostile header length cannot overflow the checks.
    int64_t offset = headerLength;

    if (flags & 0x01) {
        if (offset + 4 > length) {
            Log::err("[ASRClient] Message too short for sequence");
            return result;
        }
        const auto sequence = static_cast<int32_t>(readBigEndian32(message, int(offset)));
        offset += 4;
        Log::frame("[ASRClient] Sequence: ", sequence);
    }

    if (flags & 0x02) {
        result.isLastPackage = true;
        Log::out("[ASRClient] Last package flag detected");
    }

    const bool isError = messageType == 15;
    if (messageType == 9 || messageType == 11) {
        if (offset + 4 <= length) {
            const auto payloadSize = static_cast<int32_t>(readBigEndian32(message, int(offset)));
            offset += 4;
            Log::frame("[ASRClient] Payload length: ", payloadSize);
        }
    } else if (isError) {
        result.isError = true;
        if (offset + 8 <= length) {
            const uint32_t code = readBigEndian32(message, int(offset));
            offset += 8;
            result.errorCode = code;
            Log::err("[ASRClient] Server error: code=", code);
        }
    }

    if (offset >= length) {
        Log::out("[ASRClient] No payload");
        return result;
    }

    QByteArray payload = message.mid(offset);
    if (compression == 1)
        payload = gzipDecompress(payload);

    if (isError) {
        Log::err("[ASRClient] Server error payload: ", payload);
        result.errorText = QString::fromUtf8(payload);
        return result;
    }

    if (serialization != 1 || payload.isEmpty())
        return result;

    result.hasJson = true;
    result.jsonText = QString::fromUtf8(payload);
    return result;
}

} // namespace AsrCodec
} // namespace Kelvane

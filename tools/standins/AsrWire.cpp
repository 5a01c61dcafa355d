#include "AsrWire.h"

#include <zlib.h>

#include <cstring>

namespace AsrWire {

namespace {

void appendBigEndian(QByteArray &out, quint32 value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((value >> shift) & 0xFF));
}

quint32 readBigEndian(const QByteArray &in, qsizetype offset) {
    const auto *b = reinterpret_cast<const unsigned char *>(in.constData()) + offset;
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

constexpr qsizetype kMaxInflated = 64 * 1024 * 1024;

} // namespace

ClientFrame parseClientFrame(const QByteArray &message) {
    ClientFrame frame;
    if (message.size() < 8) {
        frame.problem = "frame too short";
        return frame;
    }
    const auto byte = [&message](int i) { return static_cast<unsigned char>(message[i]); };
    const int headerLength = (byte(0) & 0x0F) * 4;
    frame.type = byte(1) >> 4;
    frame.flags = byte(1) & 0x0F;
    frame.serialization = byte(2) >> 4;
    frame.compression = byte(2) & 0x0F;
    qsizetype offset = headerLength;
    if (frame.flags & 0x01)
        offset += 4;
    if (headerLength < 4 || offset + 4 > message.size()) {
        frame.problem = "frame too short";
        return frame;
    }
    const quint32 size = readBigEndian(message, offset);
    offset += 4;
    frame.payload = message.mid(offset);
    if (frame.payload.size() != qsizetype(size)) {
        frame.problem = "payload size mismatch";
        return frame;
    }
    if (frame.compression == 1) {
        frame.payload = gunzip(frame.payload);
        if (frame.payload.isEmpty() && size > 0) {
            frame.problem = "payload is not gzip";
            return frame;
        }
    }
    frame.valid = true;
    return frame;
}

QByteArray serverFrame(int type, int flags, qint32 sequence, const QByteArray &json,
                       quint32 errorCode, bool compress) {
    const QByteArray payload = compress ? gzip(json) : json;
    QByteArray out;
    out.append(char(0x11));
    out.append(char((type << 4) | flags));
    out.append(char(compress ? 0x11 : 0x10));
    out.append(char(0x00));
    if (flags & 0x01)
        appendBigEndian(out, quint32(sequence));
    if (type == ServerError)
        appendBigEndian(out, errorCode);
    appendBigEndian(out, quint32(payload.size()));
    out.append(payload);
    return out;
}

QByteArray gzip(const QByteArray &data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

QByteArray gunzip(const QByteArray &data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, 31) != Z_OK)
        return {};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray out;
    char chunk[16384];
    int status = Z_OK;
    while (status == Z_OK && out.size() <= kMaxInflated) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, qsizetype(sizeof chunk - stream.avail_out));
        if (status == Z_BUF_ERROR && stream.avail_in == 0)
            break;
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

} // namespace AsrWire

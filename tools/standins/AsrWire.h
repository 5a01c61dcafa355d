#pragma once

#include <QByteArray>

// The recognition service's binary frames as the service side sees them. Written apart from
// the program's own codec on purpose: the stand-in is the oracle the client is tested against.
namespace AsrWire {

enum MessageType {
    FullClientRequest = 1,
    AudioOnlyRequest = 2,
    FullServerResponse = 9,
    ServerError = 15,
};

struct ClientFrame {
    bool valid = false;
    QByteArray problem; // why it is not valid
    int type = 0;
    int flags = 0;
    int serialization = 0;
    int compression = 0;
    QByteArray payload; // gunzipped when the frame said gzip
    bool isLast() const { return (flags & 0x02) != 0; }
};

ClientFrame parseClientFrame(const QByteArray &message);

// A server frame: header, sequence (when flags has bit 0), error code (type 15), size, payload.
QByteArray serverFrame(int type, int flags, qint32 sequence, const QByteArray &json,
                       quint32 errorCode = 0, bool gzip = true);

QByteArray gzip(const QByteArray &data);
QByteArray gunzip(const QByteArray &data); // empty on any error

} // namespace AsrWire

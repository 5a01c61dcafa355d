#include "LocalAsrServer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <zlib.h>

#include <cstring>

namespace KelvaneTest {

namespace {

void appendBigEndian(QByteArray &out, quint32 value) {
    out.append(char((value >> 24) & 0xFF));
    out.append(char((value >> 16) & 0xFF));
    out.append(char((value >> 8) & 0xFF));
    out.append(char(value & 0xFF));
}

quint32 readBigEndian(const QByteArray &in, int offset) {
    const auto *b = reinterpret_cast<const unsigned char *>(in.constData()) + offset;
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    default:
        return "Error";
    }
}

} // namespace

LocalAsrServer::LocalAsrServer(QObject *parent)
    : QObject(parent)
    , tcpServer(new QTcpServer(this))
    , wsServer(
          new QWebSocketServer(QStringLiteral("asr-test"), QWebSocketServer::NonSecureMode, this)) {
    connect(tcpServer, &QTcpServer::newConnection, this, &LocalAsrServer::onTcpConnection);
    connect(wsServer, &QWebSocketServer::newConnection, this, [this]() {
        while (QWebSocket *socket = wsServer->nextPendingConnection()) {
            if (client) {
                client->disconnect(this);
                client->deleteLater();
            }
            socket->setParent(this); // freed with the server even if it never disconnects
            client = socket;
            ++connections;
            connect(socket, &QWebSocket::binaryMessageReceived, this,
                    &LocalAsrServer::onBinaryMessage);
            connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
                closeCodes.append(int(socket->closeCode()));
                if (client == socket)
                    client = nullptr;
                socket->deleteLater();
                emit clientClosed();
            });
        }
    });
}

LocalAsrServer::~LocalAsrServer() {
    if (client)
        client->disconnect(this);
}

bool LocalAsrServer::listen() {
    return tcpServer->listen(QHostAddress::LocalHost, 0);
}

quint16 LocalAsrServer::port() const {
    return tcpServer->serverPort();
}

QString LocalAsrServer::url() const {
    return QStringLiteral("ws://127.0.0.1:%1/api/v3/sauc/bigmodel").arg(port());
}

void LocalAsrServer::onTcpConnection() {
    while (QTcpSocket *socket = tcpServer->nextPendingConnection()) {
        // Read the upgrade request without consuming it, then let the WebSocket server take
        // the connection over (or refuse it here).
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
            const QByteArray head = socket->peek(socket->bytesAvailable());
            const int end = int(head.indexOf("\r\n\r\n"));
            if (end < 0)
                return;
            socket->disconnect(this);
            QList<QPair<QByteArray, QByteArray>> headers;
            const QList<QByteArray> lines = head.left(end).split('\n');
            for (int i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const int colon = int(line.indexOf(':'));
                if (colon > 0)
                    headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            handshakes.append(headers);
            emit handshakeSeen();

            bool missing = false;
            for (const QString &name : requiredHeaders) {
                bool found = false;
                for (const auto &header : headers)
                    found = found || header.first.compare(name.toUtf8(), Qt::CaseInsensitive) == 0;
                missing = missing || !found;
            }
            const int status = refuseStatus ? refuseStatus : (missing ? 401 : 0);
            if (status) {
                socket->readAll();
                socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' +
                              reasonPhrase(status) +
                              "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                              "Connection: close\r\n\r\n{}");
                socket->disconnectFromHost();
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                return;
            }
            wsServer->handleConnection(socket);
        });
    }
}

void LocalAsrServer::onBinaryMessage(const QByteArray &message) {
    if (message.size() < 8)
        return;
    ClientFrame frame;
    const auto byte = [&message](int i) { return static_cast<unsigned char>(message[i]); };
    const int headerLength = (byte(0) & 0x0F) * 4;
    frame.type = byte(1) >> 4;
    frame.flags = byte(1) & 0x0F;
    frame.serialization = byte(2) >> 4;
    frame.compression = byte(2) & 0x0F;
    frame.declaredSize = readBigEndian(message, headerLength);
    frame.payload = message.mid(headerLength + 4);
    if (frame.compression == 1)
        frame.payload = gunzip(frame.payload);
    if (keepAudio || frame.type != 2)
        frames.append(frame);
    emit frameReceived();

    if (frame.type == 1) {
        fullRequests.append(frame.payload);
        emit fullRequestReceived();
        if (answerInit)
            sendToClient(resultFrame(initReply, 0, true));
    } else if (frame.type == 2) {
        audioBytes += frame.payload.size();
        if (keepAudio) {
            audio.append(frame.payload);
            audioFrameSizes.append(int(frame.payload.size()));
        }
        if (frame.flags & 0x02)
            ++lastFrames;
        emit audioReceived();
    }
}

QByteArray LocalAsrServer::serverFrame(int type, int flags, const QByteArray &payload, bool gzipped,
                                       qint32 sequence, quint32 errorCode) {
    QByteArray frame;
    frame.append(char(0x11));
    frame.append(char((type << 4) | (flags & 0x0F)));
    frame.append(char((1 << 4) | (gzipped ? 1 : 0)));
    frame.append(char(0x00));
    if (flags & 0x01)
        appendBigEndian(frame, quint32(sequence));
    const QByteArray body = gzipped ? gzip(payload) : payload;
    if (type == 15)
        appendBigEndian(frame, errorCode);
    appendBigEndian(frame, quint32(body.size()));
    frame.append(body);
    return frame;
}

QByteArray LocalAsrServer::resultFrame(const QByteArray &json, int flags, bool gzipped,
                                       qint32 sequence) {
    return serverFrame(9, flags, json, gzipped, sequence);
}

void LocalAsrServer::sendToClient(const QByteArray &frame) {
    if (client)
        client->sendBinaryMessage(frame);
}

void LocalAsrServer::closeClient() {
    if (client)
        client->close();
}

void LocalAsrServer::dropClient() {
    if (client)
        client->abort();
}

QByteArray LocalAsrServer::gzip(const QByteArray &data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + 32, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QByteArray LocalAsrServer::gunzip(const QByteArray &data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    inflateInit2(&stream, 31);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray out;
    char chunk[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, qsizetype(sizeof chunk - stream.avail_out));
    }
    inflateEnd(&stream);
    return out;
}

} // namespace KelvaneTest

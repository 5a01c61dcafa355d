#include "LocalChatServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace KelvaneTest {

QByteArray LocalChatServer::Request::header(const QByteArray &name) const {
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

LocalChatServer::LocalChatServer(QObject *parent)
    : QObject(parent)
    , server(new QTcpServer(this)) {
    connect(server, &QTcpServer::newConnection, this, &LocalChatServer::onConnection);
    responder = [](const Request &) {
        Response response;
        response.pieces = sseAnswer({QStringLiteral("答案")});
        return response;
    };
}

bool LocalChatServer::listen() {
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 LocalChatServer::port() const {
    return server->serverPort();
}

QString LocalChatServer::url() const {
    return QStringLiteral("http://127.0.0.1:%1/v1/chat/completions").arg(port());
}

QByteArray LocalChatServer::sseChunk(const QString &content) {
    QJsonObject delta{{QStringLiteral("content"), content}};
    QJsonObject choice{{QStringLiteral("index"), 0}, {QStringLiteral("delta"), delta}};
    QJsonObject chunk{{QStringLiteral("id"), QStringLiteral("chatcmpl-test")},
                      {QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
                      {QStringLiteral("choices"), QJsonArray{choice}}};
    return "data: " + QJsonDocument(chunk).toJson(QJsonDocument::Compact) + "\n\n";
}

QList<QByteArray> LocalChatServer::sseAnswer(const QStringList &fragments, bool withDone) {
    QList<QByteArray> pieces;
    pieces.append(": keep-alive\n\n");
    pieces.append(R"(data: {"choices":[{"index":0,"delta":{"role":"assistant","content":""}}]})"
                  "\n\n");
    for (const QString &fragment : fragments)
        pieces.append(sseChunk(fragment));
    pieces.append(
        R"(data: {"choices":[{"index":0,"delta":{},"finish_reason":"stop"}],"usage":{"total_tokens":9}})"
        "\n\n");
    if (withDone)
        pieces.append("data: [DONE]\n\n");
    return pieces;
}

void LocalChatServer::onConnection() {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        const int index = int(connections.size());
        connections.append(Connection{socket, {}, true});
        connect(socket, &QTcpSocket::readyRead, this, [this, index]() { tryParse(index); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LocalChatServer::tryParse(int index) {
    Connection &connection = connections[index];
    if (!connection.socket)
        return;
    connection.incoming.append(connection.socket->readAll());
    const int headEnd = int(connection.incoming.indexOf("\r\n\r\n"));
    if (headEnd < 0)
        return;

    Request request;
    const QList<QByteArray> lines = connection.incoming.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    int contentLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = int(line.indexOf(':'));
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            contentLength = value.toInt();
    }
    if (connection.incoming.size() < headEnd + 4 + contentLength)
        return;
    request.body = connection.incoming.mid(headEnd + 4, contentLength);
    connection.incoming.remove(0, headEnd + 4 + contentLength);

    const int requestIndex = int(requests.size());
    requests.append(request);
    connectionOfRequest.append(index);
    const Response response = responder ? responder(request) : Response{};
    emit requestReceived(requestIndex);
    startResponse(requestIndex, response);
}

void LocalChatServer::startResponse(int requestIndex, const Response &response) {
    Connection &connection = connections[connectionOfRequest[requestIndex]];
    if (!connection.socket)
        return;
    connection.chunked = response.chunked;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " " +
                      (response.status == 200 ? "OK" : "Error") + "\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    head += response.chunked ? "Transfer-Encoding: chunked\r\n" : "Connection: close\r\n";
    head += "Cache-Control: no-cache\r\n\r\n";
    connection.socket->write(head);
    connection.socket->flush();
    if (response.manual)
        return;

    pending[requestIndex] = Pending{response.pieces, response.pieceDelayMs, response.endStream};
    QTimer::singleShot(0, this, [this, requestIndex]() { sendNextPiece(requestIndex); });
}

// Writes the pieces apart in time, so each tends to arrive as a read of its own.
void LocalChatServer::sendNextPiece(int requestIndex) {
    auto it = pending.find(requestIndex);
    if (it == pending.end())
        return;
    if (it->pieces.isEmpty()) {
        const bool endStream = it->endStream;
        pending.erase(it);
        if (endStream)
            end(requestIndex);
        else
            drop(requestIndex);
        return;
    }
    writeBody(requestIndex, it->pieces.takeFirst());
    QTimer::singleShot(it->delayMs, this, [this, requestIndex]() { sendNextPiece(requestIndex); });
}

void LocalChatServer::writeBody(int requestIndex, const QByteArray &bytes) {
    Connection &connection = connections[connectionOfRequest[requestIndex]];
    if (!connection.socket || bytes.isEmpty())
        return;
    if (connection.chunked)
        connection.socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    else
        connection.socket->write(bytes);
    connection.socket->flush();
}

void LocalChatServer::push(int requestIndex, const QByteArray &bytes) {
    writeBody(requestIndex, bytes);
}

void LocalChatServer::end(int requestIndex) {
    Connection &connection = connections[connectionOfRequest[requestIndex]];
    if (!connection.socket)
        return;
    if (connection.chunked) {
        connection.socket->write("0\r\n\r\n");
        connection.socket->flush();
    } else {
        connection.socket->disconnectFromHost();
    }
}

void LocalChatServer::drop(int requestIndex) {
    Connection &connection = connections[connectionOfRequest[requestIndex]];
    if (connection.socket)
        connection.socket->disconnectFromHost();
}

} // namespace KelvaneTest

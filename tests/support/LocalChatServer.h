#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace KelvaneTest {

// An HTTP/1.1 server on 127.0.0.1 for chat-completion requests. It records every request and
// streams a response, either on its own (pieces written some milliseconds apart) or piece by
// piece under the test's control, so the test decides where the bytes are cut into reads.
class LocalChatServer : public QObject {
    Q_OBJECT

public:
    struct Request {
        QByteArray method;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QByteArray header(const QByteArray &name) const;
    };

    struct Response {
        int status = 200;
        QByteArray contentType = "text/event-stream";
        bool chunked = true;
        QList<QByteArray> pieces;
        int pieceDelayMs = 10;
        bool manual = false;   // only the status line and headers; the test pushes the rest
        bool endStream = true; // finish the body (otherwise the connection is just closed)
    };

    explicit LocalChatServer(QObject *parent = nullptr);

    bool listen();
    quint16 port() const;
    QString url() const; // .../v1/chat/completions

    // Builds the answer the real service streams for a list of content fragments.
    static QList<QByteArray> sseAnswer(const QStringList &fragments, bool withDone = true);
    static QByteArray sseChunk(const QString &content);

    std::function<Response(const Request &)> responder;
    QList<Request> requests;

    // Manual responses, by request index.
    void push(int requestIndex, const QByteArray &bytes);
    void end(int requestIndex);
    void drop(int requestIndex);

signals:
    void requestReceived(int index);

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QByteArray incoming;
        bool chunked = true;
    };
    void onConnection();
    void tryParse(int connection);
    void writeBody(int requestIndex, const QByteArray &bytes);
    void startResponse(int requestIndex, const Response &response);
    void sendNextPiece(int requestIndex);

    struct Pending {
        QList<QByteArray> pieces;
        int delayMs = 0;
        bool endStream = true;
    };
    QMap<int, Pending> pending;

    QTcpServer *server = nullptr;
    QList<Connection> connections;
    QList<int> connectionOfRequest;
};

} // namespace KelvaneTest

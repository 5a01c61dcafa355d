#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

namespace KelvaneTest {

// A recognition service on 127.0.0.1 that speaks the binary frame protocol: it reads the
// handshake headers (and may refuse the upgrade), decodes the client's frames, answers the full
// client request, and records the audio it receives.
class LocalAsrServer : public QObject {
    Q_OBJECT

public:
    struct ClientFrame {
        int type = 0;
        int flags = 0;
        int serialization = 0;
        int compression = 0;
        quint32 declaredSize = 0;
        QByteArray payload; // decompressed when the frame said gzip
    };

    explicit LocalAsrServer(QObject *parent = nullptr);
    ~LocalAsrServer() override;

    bool listen();
    quint16 port() const;
    QString url() const;

    // Builds a frame as the service sends it.
    static QByteArray serverFrame(int type, int flags, const QByteArray &payload, bool gzip,
                                  qint32 sequence = 0, quint32 errorCode = 0);
    static QByteArray resultFrame(const QByteArray &json, int flags = 0, bool gzip = true,
                                  qint32 sequence = 1);

    void sendToClient(const QByteArray &frame);
    void closeClient();
    void dropClient(); // TCP abort, no close frame

    // Behaviour.
    int refuseStatus = 0;   // answer the upgrade with this HTTP status instead
    bool answerInit = true; // reply to the full client request with a success frame
    QByteArray initReply = R"({"result":{"additions":{"log_id":"test-log-id"}}})";
    QStringList requiredHeaders = {
        QStringLiteral("X-Api-App-Key"), QStringLiteral("X-Api-Access-Key"),
        QStringLiteral("X-Api-Resource-Id"), QStringLiteral("X-Api-Connect-Id")};

    bool keepAudio = true; // record audio bytes and frames (off for long sessions)

    // What was seen.
    QList<QList<QPair<QByteArray, QByteArray>>> handshakes; // header lines in wire order
    QList<ClientFrame> frames;
    QList<QByteArray> fullRequests; // decompressed JSON texts
    QByteArray audio;               // all audio payload bytes in arrival order
    QList<int> audioFrameSizes;
    int lastFrames = 0;
    qint64 audioBytes = 0;
    QList<int> closeCodes;
    int connections = 0;
    bool clientConnected() const { return client != nullptr; }

    static QByteArray gunzip(const QByteArray &data);
    static QByteArray gzip(const QByteArray &data);

signals:
    void handshakeSeen();
    void frameReceived();
    void fullRequestReceived();
    void audioReceived();
    void clientClosed();

private:
    void onTcpConnection();
    void onBinaryMessage(const QByteArray &message);

    QTcpServer *tcpServer = nullptr;
    QWebSocketServer *wsServer = nullptr;
    QWebSocket *client = nullptr;
};

} // namespace KelvaneTest

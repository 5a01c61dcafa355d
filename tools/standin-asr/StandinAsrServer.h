#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTimer;
class QWebSocket;
class QWebSocketServer;

// A stand-in for the streaming recognition service. It speaks the binary frame protocol as the
// real service does and "recognises" by script: each speech segment found in the received
// 16 kHz PCM reveals the next line of the script, first as growing partial results, then,
// after about 600 ms of quiet, as a definite sentence.
class StandinAsrServer : public QObject {
    Q_OBJECT

public:
    struct Options {
        quint16 port = 0;
        QStringList script;
        int refuseStatus = 0;     // refuse every upgrade with this HTTP status
        int dropAfterFrames = 0;  // abort the connection after this many audio frames
        int stallAfterFrames = 0; // stop answering after this many audio frames
        bool garbage = false;     // answer audio with frames that are not the protocol
        int idleTimeoutMs = 8000; // the real service ends a session without audio after ~8 s
    };

    explicit StandinAsrServer(const Options &options, QObject *parent = nullptr);
    bool listen();
    quint16 port() const;

private:
    struct Session {
        bool started = false;
        int audioFrames = 0;
        qint32 sequence = 0;
        QByteArray pcmTail;    // samples short of a whole 10 ms block
        qint64 receivedMs = 0; // audio time so far
        bool inSpeech = false;
        qint64 speechStartMs = 0;
        qint64 speechMs = 0;  // loud time in the current segment
        qint64 quietMs = 0;   // quiet time since the last loud block
        QStringList definite; // sentences recognised so far
        QList<QPair<qint64, qint64>> times;
        int scriptIndex = 0;
        QString partial; // the sentence being revealed
        QTimer *idle = nullptr;
    };

    void onTcpConnection();
    void onSocket(QWebSocket *socket);
    void onBinaryMessage(QWebSocket *socket, const QByteArray &message);
    void handleFullRequest(QWebSocket *socket, Session &session, const QByteArray &payload);
    void handleAudio(QWebSocket *socket, Session &session, const QByteArray &pcm, bool last);
    void sendResult(QWebSocket *socket, Session &session, bool last);
    void sendError(QWebSocket *socket, quint32 code, const QString &message);
    QString currentLine(const Session &session) const;

    Options options;
    QTcpServer *tcpServer = nullptr;
    QWebSocketServer *wsServer = nullptr;
    QHash<QWebSocket *, Session> sessions;
};

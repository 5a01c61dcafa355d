#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class QJsonObject;
class QTcpServer;
class QTimer;
class QWebSocket;
class QWebSocketServer;

// A stand-in for the streaming recognition service. It speaks the binary frame protocol as the
// real service does and "recognises" by script: each speech segment found in the received
// 16 kHz PCM reveals the next line of the script, first as growing partial results, then,
// after about 600 ms of quiet, as a definite sentence. It refuses what the real service's
// documentation rules out (a model other than "bigmodel", audio packets far from 100 ms, a
// malformed hotword corpus), records what clients sent, so tests can read it, and misbehaves
// on request.
class StandinAsrServer : public QObject {
    Q_OBJECT

public:
    struct Options {
        quint16 port = 0;
        QStringList script;
        int refuseStatus = 0;      // refuse every upgrade with this HTTP status
        int dropAfterFrames = 0;   // abort the connection after this many audio frames
        int stallAfterFrames = 0;  // stop answering after this many audio frames
        bool garbage = false;      // answer audio with frames that are not the protocol
        int refuseSessionCode = 0; // answer the session request with this error code
        int handshakeDelayMs = 0;  // answer the upgrade only after this long
        int idleTimeoutMs = 8000;  // the real service ends a session without audio after ~8 s
        int settleMs = 200;        // quiet after which the partial result shows the whole line
        bool quiet = false;        // no log lines on standard output
        // Second thoughts: a line recognised is rewritten this long after it became definite
        // (as a recogniser's second pass rewrites a sentence).
        QMap<QString, QString> corrections;
        int correctAfterMs = 900;
    };

    explicit StandinAsrServer(const Options &options, QObject *parent = nullptr);
    bool listen();
    quint16 port() const;
    QString url() const; // ws://127.0.0.1:PORT/api/v3/sauc/bigmodel

    // Misbehaviour may change between sessions.
    Options &options() { return options_; }

    // Towards every open session.
    void sendToClients(const QByteArray &frame);
    void sendError(quint32 code, const QString &message);
    void closeClients();
    void dropClients(); // TCP abort, no close frame
    int openSessions() const { return int(sessions.size()); }

    // What clients sent.
    QList<QMap<QString, QString>> handshakes; // lower-case header names
    QList<QByteArray> fullRequests;           // request JSON texts
    QByteArray audio;                         // audio payload bytes in arrival order
    int audioFrames = 0;
    int lastFrames = 0;
    QList<int> closeCodes;
    QList<int> packetBytes;      // each audio packet's size, the last ones included
    QStringList logIds;          // what each accepted session was told its log id is
    QStringList hotwordContexts; // request.corpus.context of each session that sent one
    bool keepAudio = true;       // off for long sessions

signals:
    void sessionStarted();
    void audioReceived();
    void sessionClosed(int closeCode);

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
        QString partial;           // the sentence being revealed
        QList<int> correctionsDue; // definite sentences to rewrite later
        QTimer *idle = nullptr;
    };

    void log(const QString &line) const;
    void onTcpConnection();
    void onSocket(QWebSocket *socket);
    void onBinaryMessage(QWebSocket *socket, const QByteArray &message);
    void handleFullRequest(QWebSocket *socket, Session &session, const QByteArray &payload);
    void handleAudio(QWebSocket *socket, Session &session, const QByteArray &pcm, bool last);
    bool listenToAudio(Session &session, const QByteArray &pcm);
    void sendResult(QWebSocket *socket, Session &session, bool last);
    void correctLater(QWebSocket *socket, int sentence);
    void sendErrorTo(QWebSocket *socket, quint32 code, const QString &message);
    QString currentLine(const Session &session) const;
    QString corpusProblem(const QJsonObject &request);

    Options options_;
    QTcpServer *tcpServer = nullptr;
    QWebSocketServer *wsServer = nullptr;
    QHash<QWebSocket *, Session> sessions;
    int scriptPosition = 0; // the script goes on across sessions
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// A stand-in for an OpenAI-compatible chat-completion service: POST /v1/chat/completions with
// a Bearer key, answered as server-sent events with a Markdown answer built from the question.
class StandinChatServer : public QObject {
    Q_OBJECT

public:
    struct Options {
        quint16 port = 0;
        QString apiKey; // empty: any key is accepted
        int deltaIntervalMs = 20;
        int refuseStatus = 0;        // answer every request with this status and a JSON error
        int dropAfterDeltas = 0;     // close the connection after this many deltas, no [DONE]
        int stallAfterDeltas = 0;    // stop sending after this many deltas, keep the connection
        bool garbage = false;        // send lines that are not JSON between the deltas
        bool compactData = false;    // "data:{...}", without the space
        bool noDone = false;         // end the stream without the [DONE] line
        bool resetAfterDone = false; // abort the connection right after [DONE]
        int firstDeltaDelayMs = 0;   // hold back the first content delta this long
        int reasoningMs = 0;         // send reasoning_content deltas this long before content
        bool timing = false;         // log each delta with the wall clock
        bool quiet = false;          // no log lines on standard output
    };

    struct Request {
        QByteArray authorization;
        QByteArray body;
        QString question; // as read from the user message
    };

    explicit StandinChatServer(const Options &options, QObject *parent = nullptr);
    bool listen();
    quint16 port() const;
    QString url() const; // http://127.0.0.1:PORT/v1/chat/completions

    // Misbehaviour may change between requests.
    Options &options() { return options_; }

    // The deterministic answer for a question, as the deltas that carry it, and whole.
    static QStringList answerDeltas(const QString &question);
    static QString answer(const QString &question);

    QList<Request> requests;

signals:
    void requestReceived(int number);
    void answerCompleted(int number);
    // The client closed the connection before the answer's end.
    void answerAbandoned(int number);

private:
    void log(const QString &line) const;
    void onConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &method, const QByteArray &target,
                 const QByteArray &authorization, const QByteArray &body);
    void sendJson(QTcpSocket *socket, int status, const QByteArray &json);
    void stream(QPointer<QTcpSocket> socket, int number, QStringList deltas, int sent);

    Options options_;
    QTcpServer *server = nullptr;
    int requestCount = 0;
};

#pragma once

#include <QString>
#include <QtGlobal>

namespace Kelvane {

// What listening is doing and what mends it: the status line, when to reconnect to the
// recogniser, and which refusals end listening. Plain and synchronous; the controller feeds it
// events and carries out its decisions (timers, sockets, capture).
class ListeningSupervisor {
public:
    enum class Next { Nothing, Reconnect, Stop };
    struct Decision {
        Next next = Next::Nothing;
        int delayMs = 0; // for Reconnect
    };
    struct Status {
        QString text;
        QString detail;
    };

    // A session that streamed this long proves the service works: the next drop starts the
    // reconnect delays afresh.
    static constexpr qint64 kHealthySessionMs = 30000;

    void start();

    void sessionReady(qint64 nowMs);
    // Recognised text came back: the service works.
    void textArrived();
    Decision connectionFailed(int httpStatus, const QString &error);
    Decision sessionRefused(int code, const QString &message);
    Decision serviceError(quint32 code, const QString &message);
    Decision sessionEnded(qint64 nowMs);
    // The session returned nothing for a long time while audio went out.
    Decision sessionStalled(qint64 nowMs);

    void captureLost(quint32 code);
    // code: why the last open failed (0: unknown), shown in the detail.
    void captureUnavailable(quint32 code = 0);
    void captureRunning(bool fellBackToDefault);

    Status status() const;
    bool streaming() const { return asr == Asr::Streaming; }
    int attempt() const { return attempts; }

    // The reconnect delay for an attempt: 0.5 s, doubling, at most 15 s.
    static int reconnectDelayMs(int attempt);
    // Whether a session refusal is one a retry cannot mend: the request itself is wrong.
    static bool refusalIsFinal(int code);

private:
    Decision retry(const QString &reason, const QString &detail, qint64 nowMs = -1);
    Decision stop(const QString &text, const QString &detail);

    enum class Asr { Connecting, Streaming, Retrying, Stopped };
    Asr asr = Asr::Connecting;
    QString reason;
    QString reasonDetail;
    int attempts = 0;
    qint64 readyAtMs = -1;
    QString captureProblem;
    QString captureDetail;
    bool fellBack = false;
};

} // namespace Kelvane

#pragma once

#include "LLMClient.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace Kelvane {

// When to ask the chat service before a pause is long enough to end the question, the request
// in flight meanwhile, and what becomes of it when the question ends. The early request must
// leave about one first-token time before the threshold for the answer to appear as the pause
// ends, so the point follows the service's measured speed: late for a fast service (few
// requests wasted on pauses inside a question), early for a slow one. Plain and synchronous:
// the caller sends and cancels, this keeps the books.
class EarlyRequestPlan {
public:
    static constexpr qint64 kSeedFirstTokenMs = 700; // until a few answers are measured
    static constexpr int kMeasuredBeforeUse = 2;
    static constexpr int kWindow = 9; // the median of the last nine
    // Covers the wait for the recogniser's answer at the point (kRecogniserGraceMs) and the
    // window's own delay.
    static constexpr qint64 kMarginMs = 50;
    static constexpr qint64 kRecogniserGraceMs = 20;
    static constexpr qint64 kEarliestMs = 200; // never earlier into a pause

    // Request sent to the first content or reasoning delta, as this run measured it.
    void recordFirstToken(qint64 ms);
    qint64 firstTokenEstimateMs() const;
    // The silent buffers (10 ms) after which to send the early request; 0: none.
    int earlyBuffers(int thresholdBuffers) const;

    struct Request {
        int serial = 0;
        int requestId = 0; // the chat client's, to cancel it
        QString text;      // what it asked
        QList<ChatMessage> messages;
        QString answer; // what arrived before adoption
        QString error;
        int askedBefore = 0; // questions asked when it was sent: the pause it belongs to
        int forQuestion = 0; // the number its messages were built for (0: any)
        bool done = false;
        bool failed = false;
        bool reasoning = false;
    };

    // Whether the early point (or a new text past it) calls for a request of this question:
    // the same question already on its way is not asked twice.
    bool wantsToSend(const QString &question) const;
    // A request about to be sent; the one before must have been withdrawn. Returns its serial.
    int begin(const QString &question, QList<ChatMessage> messages, int askedBefore,
              int forQuestion = 0);
    void sent(int serial, int requestId);
    // Forgets the request in flight: returns the chat client's id to cancel, 0 for none.
    int withdraw();
    // The recogniser changed the text during the pause the request belongs to. Once the pause
    // has ended the question, the result belongs to that question, not to the request.
    bool outdatedBy(int questionsAsked, const QString &currentText) const;
    const std::optional<Request> &inFlight() const { return early; }

    // Replies of request `serial`: the question they now belong to, 0 while they are kept for
    // adoption (or belong to a cancelled request).
    int replyArrived(int serial, const QString &text, bool isDone);
    int failureArrived(int serial, const QString &error);
    int reasoningArrived(int serial);

    // What becomes of the early request when the question ends.
    enum class Adoption { Adopt, SendAnew, ShowFailure };
    struct Outcome {
        Adoption decision = Adoption::SendAnew;
        std::optional<Request> request; // adopted or failed: what it has; otherwise none
        int cancelId = 0;               // a request asked for something else, to cancel
        bool showThinking = false;      // it began reasoning before the question ended
    };
    Outcome adopt(int questionId, const QString &question);

    // A failure the same request would meet again: the key or the account.
    static bool failureIsFinal(int httpStatus);
    // The status at the start of a chat failure's text ("HTTP 401 ..."), 0 for none.
    static int httpStatusOf(const QString &error);

private:
    std::vector<qint64> measured; // newest last, at most kWindow
    std::optional<Request> early;
    QMap<int, int> adopted; // adopted requests still streaming, by serial: their question
    int serials = 0;
};

} // namespace Kelvane

#include "EarlyRequestPlan.h"

#include <QRegularExpression>

#include <algorithm>

namespace Kelvane {

void EarlyRequestPlan::recordFirstToken(qint64 ms) {
    if (ms < 0)
        return;
    measured.push_back(ms);
    if (measured.size() > size_t(kWindow))
        measured.erase(measured.begin());
}

qint64 EarlyRequestPlan::firstTokenEstimateMs() const {
    if (measured.size() < size_t(kMeasuredBeforeUse))
        return kSeedFirstTokenMs;
    std::vector<qint64> sorted = measured;
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    return sorted[sorted.size() / 2];
}

int EarlyRequestPlan::earlyBuffers(int thresholdBuffers) const {
    const qint64 thresholdMs = qint64(thresholdBuffers) * 10;
    const qint64 point = std::max(kEarliestMs, thresholdMs - firstTokenEstimateMs() - kMarginMs);
    // A point at or after the threshold is no early point.
    return point < thresholdMs ? int(point / 10) : 0;
}

bool EarlyRequestPlan::wantsToSend(const QString &question) const {
    return !question.isEmpty() && !(early && early->text == question && !early->failed);
}

int EarlyRequestPlan::begin(const QString &question, QList<ChatMessage> messages, int askedBefore,
                            int forQuestion) {
    early = Request{};
    early->serial = ++serials;
    early->text = question;
    early->messages = std::move(messages);
    early->askedBefore = askedBefore;
    early->forQuestion = forQuestion;
    return early->serial;
}

void EarlyRequestPlan::sent(int serial, int requestId) {
    if (early && early->serial == serial)
        early->requestId = requestId;
}

int EarlyRequestPlan::withdraw() {
    const int id = early ? early->requestId : 0;
    early.reset();
    return id;
}

bool EarlyRequestPlan::outdatedBy(int questionsAsked, const QString &currentText) const {
    return early && questionsAsked == early->askedBefore && currentText != early->text;
}

int EarlyRequestPlan::replyArrived(int serial, const QString &text, bool isDone) {
    if (const auto question = adopted.constFind(serial); question != adopted.constEnd()) {
        const int id = *question;
        if (isDone)
            adopted.remove(serial);
        return id;
    }
    if (early && early->serial == serial) {
        early->answer += text;
        early->done = early->done || isDone;
    }
    return 0;
}

int EarlyRequestPlan::failureArrived(int serial, const QString &error) {
    if (adopted.contains(serial))
        return adopted.take(serial);
    // (a failure after the whole answer arrived is no failure of the answer)
    if (early && early->serial == serial && !early->done) {
        early->failed = true;
        early->error = error;
    }
    return 0;
}

int EarlyRequestPlan::reasoningArrived(int serial) {
    if (adopted.contains(serial))
        return adopted.value(serial);
    if (early && early->serial == serial)
        early->reasoning = true;
    return 0;
}

EarlyRequestPlan::Outcome EarlyRequestPlan::adopt(int questionId, const QString &question) {
    Outcome outcome;
    if (!early)
        return outcome;
    // Another question took the number its messages were built for: their context is wrong.
    if (early->text != question || (early->forQuestion && early->forQuestion != questionId)) {
        outcome.cancelId = withdraw();
        return outcome;
    }
    // A failure of the connection may not happen again; one of the key or account will.
    if (early->failed && !failureIsFinal(httpStatusOf(early->error))) {
        withdraw();
        return outcome;
    }
    outcome.decision = early->failed ? Adoption::ShowFailure : Adoption::Adopt;
    if (outcome.decision == Adoption::Adopt) {
        outcome.showThinking = early->reasoning && early->answer.isEmpty();
        if (!early->done)
            adopted.insert(early->serial, questionId);
    }
    outcome.request = std::move(early);
    early.reset();
    return outcome;
}

bool EarlyRequestPlan::failureIsFinal(int httpStatus) {
    return httpStatus == 401 || httpStatus == 402 || httpStatus == 403;
}

int EarlyRequestPlan::httpStatusOf(const QString &error) {
    static const QRegularExpression status(QStringLiteral("^HTTP (\\d{3})\\b"));
    const QRegularExpressionMatch match = status.match(error);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

} // namespace Kelvane

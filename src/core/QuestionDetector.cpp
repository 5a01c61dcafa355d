#include "QuestionDetector.h"

#include "Log.h"
#include "Remarks.h"

#include <QRegularExpression>

#include <algorithm>

namespace Kelvane {

namespace {

const QRegularExpression &symbolsAndSpace() {
    static const QRegularExpression expression(QStringLiteral("[？?！!。.,，、；;：:\\s]"));
    return expression;
}

const QRegularExpression &symbolsOnly() {
    static const QRegularExpression expression(QStringLiteral("[？?！!。.,，、；;：:]"));
    return expression;
}

bool onlySymbols(const QString &text) {
    QString withoutSymbols = text;
    return withoutSymbols.remove(symbolsAndSpace()).isEmpty();
}

bool sameAs(const QString &text, const QString &last) {
    QString current = text;
    QString before = last;
    current.remove(symbolsOnly());
    before.remove(symbolsOnly());
    return current == before && !before.isEmpty();
}

} // namespace

QuestionDetector::Ended QuestionDetector::onBuffer(bool loud, int sessionNow, qint64 audioMs) {
    // The first buffer for a new session: its timeline starts again.
    if (sessionNow != 0 && sessionNow != session) {
        session = sessionNow;
        spans.startSession();
    }
    streamingNow = sessionNow != 0;
    if (streamingNow)
        audioNowMs = audioMs;
    if (!loud) {
        ++silentBufferCount;
    } else {
        if (silentBufferCount > 0)
            Log::out("[Silence] Reset silent counter (was ", silentBufferCount, " frames)");
        hasSpeech = true;
        silentBufferCount = 0;
        earlyNoted = false;
        nothingHeardNoted = false;
    }
    // (at or past it: a threshold lowered below the silence already counted ends it now; a
    // pause already found to hold nothing is checked again only when new text arrives)
    if (silentBufferCount == 0 || silentMs() < qint64(thresholdBuffers) * 10 || nothingHeardNoted)
        return Ended();
    Log::out("[Silence] Detected ", thresholdBuffers * 10,
             "ms silence, checking if should trigger LLM");
    return checkSilenceTrigger();
}

qint64 QuestionDetector::tailMs() const {
    if (silentBufferCount == 0 || !streamingNow || spans.openEndMs() < 0)
        return 0;
    // Where the level gate's pause began; only a recogniser that has heard that far knows
    // whether a word ended before it.
    const qint64 gateStart = audioNowMs + 10 - qint64(silentBufferCount) * 10;
    if (spans.heardMs() < gateStart)
        return 0;
    return std::clamp<qint64>(gateStart - spans.openEndMs(), 0, kMaxTailMs);
}

QString QuestionDetector::earlyQuestion(bool pastPoint) const {
    // The first packet to leave at or after the point.
    const qint64 silent = silentMs();
    const qint64 point = qint64(earlyBuffers) * 10;
    const bool atPoint = silent >= point && (pastPoint || silent - kPacketBuffers * 10 < point);
    if (earlyBuffers <= 0 || !atPoint || silent >= qint64(thresholdBuffers) * 10 || !hasSpeech ||
        !wouldAsk(currentText()))
        return QString();
    return currentText();
}

// The trigger's checks, without their log lines: not empty, not only symbols, not the last
// question again, not a mere acknowledgement.
bool QuestionDetector::wouldAsk(const QString &text) const {
    return !onlySymbols(text) && !sameAs(text, lastTriggeredText) &&
           !Remarks::isAcknowledgement(text);
}

QuestionDetector::Ended QuestionDetector::checkSilenceTrigger() {
    const QString text = currentText();
    if (!hasSpeech || text.isEmpty()) {
        Log::out("[Silence] Skip LLM trigger: hasSpeech=", hasSpeech ? 1 : 0,
                 ", currentASRText=", text);
        nothingHeardNoted = true;
        return Ended();
    }
    Ended ended;
    if (onlySymbols(text)) {
        Log::out("[Silence] ⚠️ Skip LLM trigger: text contains only symbols: \"", text, "\"");
        spans.close(audioNowMs);
    } else if (sameAs(text, lastTriggeredText)) {
        Log::out("[Silence] ⚠️ Skip duplicate trigger (same as last): ", text);
        spans.close(audioNowMs);
    } else if (Remarks::isAcknowledgement(text)) {
        // Heard and kept as the interviewer's, never asked nor joined to the next question.
        Log::out("[Silence] Remark, not a question: ", text);
        ended = {text, 0, true, tailMs()};
        ended.span = spans.close(audioNowMs);
    } else {
        Log::out("[Silence] ✅ Triggering LLM with text: ", text);
        lastTriggeredText = text;
        ended = {text, 0, false, tailMs()};
        ended.span = spans.close(audioNowMs);
        ++asked;
        Log::out("[Silence] 📝 更新已处理累积文本为: \"", text, "\"");
    }
    restartSilence();
    return ended;
}

void QuestionDetector::restartSilence() {
    hasSpeech = false;
    silentBufferCount = 0;
    earlyNoted = false;
}

bool QuestionDetector::earlyPointReached() {
    if (earlyNoted || earlyQuestion(true).isEmpty())
        return false;
    earlyNoted = true;
    return true;
}

std::vector<QuestionSpans::Correction> QuestionDetector::onResult(const RecognitionResult &result) {
    // (a result of a session the audio has left behind places nothing)
    if (result.session != session && result.session != 0)
        return {};
    const QString before = currentText();
    const qint64 silentBefore = silentMs();
    auto corrections = spans.onResult(result);
    const qint64 point = qint64(earlyBuffers) * 10;
    if (earlyBuffers > 0 && silentBefore < point && silentMs() >= point && !earlyNoted)
        earlyDue = earlyNoted = true;
    if (currentText() != before && !currentText().isEmpty()) {
        hasSpeech = true;
        nothingHeardNoted = false;
        Log::out("[Application] Updated current ASR text: ", currentText());
    }
    return corrections;
}

QString QuestionDetector::dropHeard() {
    const QString dropped = currentText();
    if (dropped.isEmpty())
        return dropped;
    spans.close(audioNowMs);
    restartSilence();
    return dropped;
}

QString QuestionDetector::endQuestion() {
    const QString unasked = hasSpeech && wouldAsk(currentText()) ? currentText() : QString();
    restartSilence();
    spans.clear();
    return unasked;
}

} // namespace Kelvane
